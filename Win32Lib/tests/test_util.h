// Small helpers shared by the file tests: a scratch directory per test and
// whole-file reads and writes.
#pragma once

#include "MEMAREA_Int.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace testutil {

inline int processId() {
#ifdef _WIN32
    return _getpid();
#else
    return ::getpid();
#endif
}

// No write bit (the read-only attribute on Windows).
inline void makeReadOnly(const std::string &p) {
    namespace fs = std::filesystem;
    fs::permissions(p, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("win32lib_" + std::to_string(processId()) + "_" + info->name());
        std::filesystem::create_directories(dir_);
        h_ = MEMAREA_Create();
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        MEMAREA__SetAllocFailAfter(-1);
        MEMAREA_Delete(h_);
        // Read-only files cannot be removed on Windows: write bits back first.
        std::error_code ec;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(dir_, ec)) {
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add, ec);
        }
        std::filesystem::remove_all(dir_, ec);
    }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    std::string writeFile(const std::string &name, const std::string &content) const {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

    static std::string readFile(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::vector<std::pair<U32, U32>> ranges() const {
        std::vector<std::pair<U32, U32>> out;
        for (int i = 0; i < MEMAREA_GetNumRanges(h_); ++i) {
            U32 a = 0, s = 0;
            MEMAREA_GetRangeInfo(h_, i, &a, &s);
            out.emplace_back(a, s);
        }
        return out;
    }

    std::vector<U8> bytes(U32 adr, U32 len) const {
        std::vector<U8> v(len);
        MEMAREA_ReadMem(h_, adr, len, v.data(), 0xEE);
        return v;
    }

    std::filesystem::path dir_;
    MEMAREA_HANDLE h_ = nullptr;
};

// Records the progress reports of one file operation.
struct Progress {
    std::vector<MEMAREA_STATUS_INFO> calls;
    static void callback(void *ctx, const MEMAREA_STATUS_INFO *info) {
        static_cast<Progress *>(ctx)->calls.push_back(*info);
    }
};

// One well-formed Intel HEX record line, without its line end.
inline std::string rec(int type, U32 offset, const std::vector<U8> &data) {
    std::string s = ":";
    U8 sum = 0;
    auto put = [&](U32 b) {
        char t[3];
        std::snprintf(t, sizeof t, "%02X", b & 0xFF);
        s += t;
        sum = static_cast<U8>(sum + b);
    };
    put(static_cast<U32>(data.size()));
    put(offset >> 8);
    put(offset);
    put(static_cast<U32>(type));
    for (U8 b : data) {
        put(b);
    }
    put(static_cast<U8>(0x100 - sum));
    return s;
}

} // namespace testutil
