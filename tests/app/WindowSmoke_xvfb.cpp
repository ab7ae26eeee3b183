#include <gtest/gtest.h>
TEST(WindowSmoke, Stub) {}
