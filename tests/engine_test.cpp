#include <gtest/gtest.h>
#include "tests/support/TestSupport.h"
TEST(Placeholder, Builds) { EXPECT_TRUE(true); }
