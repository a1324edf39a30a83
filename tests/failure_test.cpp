#include "failure.h"

#include <gtest/gtest.h>

namespace {

TEST(FatalErrorDeathTest, PrintsMessageThenDetailOnOneLineAndExitsWithOne) {
    EXPECT_EXIT(fatal_error(MSG_INVALID_INTEGER, "12abc"), testing::ExitedWithCode(1),
                "^Invalid integer: 12abc\n$");
    EXPECT_EXIT(fatal_error(MSG_NO_MEMORY, ""), testing::ExitedWithCode(1),
                "^Failure to allocate memory \n$");
    EXPECT_EXIT(fatal_error(failure{MSG_FATAL, MSG_NOT_A_GRID}), testing::ExitedWithCode(1),
                "^Fatal error Unrecognized input file format:\n$");
}

}  // namespace
