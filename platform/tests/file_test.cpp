#include "plat/file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

int processId() {
#ifdef _WIN32
    return _getpid();
#else
    return ::getpid();
#endif
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("plat_file_" + std::to_string(processId()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        // Read-only files cannot be removed on Windows: give everything its
        // write bits back first.
        std::error_code ec;
        fs::permissions(dir_, fs::perms::all, ec);
        for (const auto &entry : fs::recursive_directory_iterator(dir_, ec)) {
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
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
    // No write bit: the read-only attribute on Windows.
    fs::permissions(p, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
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
