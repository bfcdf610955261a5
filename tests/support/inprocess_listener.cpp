// Every unit test starts on a device of its own, so that the binary passes
// run as one process just as it does one test per process under ctest.
#include <gtest/gtest.h>

#include "tests/support/inprocess.h"

namespace {

class RenewDevice : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { inProcessRenew(); }
};

[[maybe_unused]] const bool g_registered =
    (testing::UnitTest::GetInstance()->listeners().Append(new RenewDevice), true);

}  // namespace
