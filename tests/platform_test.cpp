#include <gtest/gtest.h>
#include "support.h"
TEST(Placeholder, Builds) { allelix::testing::CountedDraws c; allelix::Rand(); EXPECT_EQ(c.Drawn(), 1u); }
