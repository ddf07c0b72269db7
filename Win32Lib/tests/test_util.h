// Small helpers shared by the file tests: a scratch directory per test and
// whole-file reads and writes.
#pragma once

#include "MEMAREA_Int.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace testutil {

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("win32lib_" + std::to_string(::getpid()) + "_" + info->name());
        std::filesystem::create_directories(dir_);
        h_ = MEMAREA_Create();
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        MEMAREA__SetAllocFailAfter(-1);
        MEMAREA_Delete(h_);
        std::error_code ec;
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

} // namespace testutil
