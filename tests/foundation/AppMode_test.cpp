#include "foundation/AppMode.h"

#include <gtest/gtest.h>

namespace {

TEST(AppModeFlagsTest, FlagsAreProcessWideAndStartCleared) {
    CAppModeFlags& flags = AppModeFlags();
    EXPECT_EQ(&flags, &AppModeFlags());
    EXPECT_FALSE(flags.StartedAsService());
    EXPECT_FALSE(flags.StartedByLauncher());
    flags.SetStartedAsService(true);
    EXPECT_TRUE(AppModeFlags().StartedAsService());
    EXPECT_FALSE(AppModeFlags().StartedByLauncher());
    flags.SetStartedAsService(false);
}

} // namespace
