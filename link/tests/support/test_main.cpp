// The main of the link tests: every case starts from the library as it is
// just after loading, and from a quiet platform, so that a test binary can
// run all its cases in one process, in any order and more than once.
#include "api.h"
#include "capture.h"

#include "plat/file.h"
#include "plat/named_mutex.h"

#include <gtest/gtest.h>

namespace {

class FreshLibrary : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override {
        plat::NamedMutex::setTestHooks({});
        plat::clearFileFaults();
        API_ResetState();
        ferrox_test::captured() = {};
    }
};

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshLibrary);
    return RUN_ALL_TESTS();
}
