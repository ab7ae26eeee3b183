#include "platform/OsError.h"

#include <cerrno>

#include <gtest/gtest.h>

TEST(OsErrorTest, FailureTextIsWhatThenTheLibrarysText) {
    EXPECT_EQ(OsFailureText("cannot open a/b", ENOENT), "cannot open a/b: No such file or directory");
    EXPECT_EQ(OsFailureText("cannot lock x", EWOULDBLOCK), "cannot lock x: Resource temporarily unavailable");
    EXPECT_EQ(OsFailureText("odd", 12345), "odd: Unknown error 12345");
    EXPECT_EQ(OsErrorText(12345), "");
}
