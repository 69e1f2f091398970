#include <gtest/gtest.h>
TEST(Placeholder, Builds) {}
#include "demonstration.h"
#include "allelix/platform.h"
