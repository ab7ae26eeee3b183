#include "platform/OsError.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

TEST(OsErrorTest, FailureTextIsWhatThenTheLibrarysText) {
    EXPECT_EQ(OsFailureText("cannot open a/b", ENOENT), "cannot open a/b: No such file or directory");
    EXPECT_EQ(OsFailureText("cannot lock x", EWOULDBLOCK), "cannot lock x: Resource temporarily unavailable");
    EXPECT_EQ(OsFailureText("odd", 12345), "odd: Unknown error 12345");
    EXPECT_EQ(OsErrorText(12345), "");
}

TEST(OsErrorTest, FailWithErrnoKeepsErrnoForTheCaller) {
    std::string error;
    errno = EACCES;
    EXPECT_FALSE(FailWithErrno(&error, "cannot write f"));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(error, "cannot write f: Permission denied");
    errno = ENOSPC;
    EXPECT_FALSE(FailWithErrno(nullptr, "no text wanted"));
    EXPECT_EQ(errno, ENOSPC);
}
