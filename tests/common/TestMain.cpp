#include <gtest/gtest.h>

#include "Utils/StringUtils.h"

int main(int argc, char** argv)
{
    // Text conversions must not depend on the environment the tests run in.
    Utils::SetupLocaleCodePage();
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests re-run the binary from the start, which is safe with the threads we start.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
