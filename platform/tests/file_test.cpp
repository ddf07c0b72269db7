#include "plat/file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("plat_file_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::all, ec);
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

TEST_F(FileTest, OpenFailuresMapOntoWindowsErrorClasses) {
    struct Case {
        std::string name;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {path("missing.hex"), plat::kErrFileNotFound},
        {path("nodir/missing.hex"), plat::kErrPathNotFound},
        {"", plat::kErrInvalidName},
        {path("bad\x01name"), plat::kErrInvalidName},
        {std::string(5000, 'a'), plat::kErrInvalidName},
        {dir_.string(), plat::kErrAccessDenied},
    };
    for (const auto &c : cases) {
        std::uint32_t err = 0;
        plat::File f = plat::File::openExisting(c.name.c_str(), err);
        EXPECT_FALSE(f.isOpen()) << c.name;
        EXPECT_EQ(err, c.expected) << c.name;
    }
}

TEST_F(FileTest, FileWithoutWriteBitsIsReadOnlyEvenForRoot) {
    const std::string p = path("ro.bin");
    {
        std::uint32_t err = 0;
        plat::File f = plat::File::createAlways(p.c_str(), err);
        ASSERT_TRUE(f.isOpen());
    }
    ::chmod(p.c_str(), 0444);
    bool ro = false;
    ASSERT_TRUE(plat::getReadOnlyAttribute(p.c_str(), ro));
    EXPECT_TRUE(ro);
    std::uint32_t err = 0;
    plat::File f = plat::File::createAlways(p.c_str(), err);
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(err, plat::kErrAccessDenied);
}

TEST_F(FileTest, WriteThenReadBackAndInjectedWriteFailure) {
    const std::string p = path("data.bin");
    std::uint32_t err = 0;
    plat::File f = plat::File::createAlways(p.c_str(), err);
    ASSERT_TRUE(f.isOpen());
    std::uint32_t n = 0;
    ASSERT_TRUE(f.write("abcd", 4, n));
    EXPECT_EQ(n, 4u);
    plat::failNextWrites(1);
    EXPECT_FALSE(f.write("ef", 2, n));
    EXPECT_TRUE(f.write("gh", 2, n));
    f.close();

    plat::File r = plat::File::openExisting(p.c_str(), err);
    ASSERT_TRUE(r.isOpen());
    char buf[16] = {};
    ASSERT_TRUE(r.read(buf, sizeof buf, n));
    EXPECT_EQ(std::string(buf, n), "abcdgh");
    ASSERT_TRUE(r.read(buf, sizeof buf, n));
    EXPECT_EQ(n, 0u);
}

} // namespace
