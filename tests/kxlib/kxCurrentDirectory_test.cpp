#include "kxlib/kxCurrentDirectory.h"

#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"

namespace fs = std::filesystem;

namespace {

class kxCurrentDirectoryTest : public TempDirTest {
protected:
    void SetUp() override {
        fs::create_directories("a/b");
        m_Start = fs::current_path();
    }
    fs::path m_Start;
};

// Changes into |to| and leaves by |exit|: 0 the end of the scope, 1 an early return, 2 an exception.
bool LeaveBy(int exit, const fs::path& to) {
    kxCurrentDirectory changer(to.string());
    if (!changer.Changed() || fs::current_path() != to) {
        return false;
    }
    if (exit == 1) {
        return true;
    }
    if (exit == 2) {
        throw std::runtime_error("leaving");
    }
    return true;
}

} // namespace

TEST_F(kxCurrentDirectoryTest, TheFolderComesBackOnEveryWayOut) {
    const fs::path target = m_Start / "a/b";
    for (const int exit : {0, 1, 2}) {
        SCOPED_TRACE(exit);
        try {
            EXPECT_TRUE(LeaveBy(exit, target));
        } catch (const std::runtime_error&) {
            EXPECT_EQ(exit, 2);
        }
        EXPECT_EQ(fs::current_path(), m_Start);
    }
}

TEST_F(kxCurrentDirectoryTest, ChangesRestoreAndFailures) {
    {
        kxCurrentDirectory changer;
        EXPECT_EQ(changer.Saved(), m_Start.string());
        EXPECT_TRUE(changer.Change(""));
        EXPECT_FALSE(changer.Changed()); // nothing happened
        EXPECT_EQ(fs::current_path(), m_Start);
        EXPECT_TRUE(changer.Change("a"));
        EXPECT_TRUE(changer.Change("b")); // relative to the new current folder
        EXPECT_EQ(fs::current_path(), m_Start / "a/b");
        // A failed change keeps the duty to restore the earlier one.
        EXPECT_FALSE(changer.Change("missing"));
        EXPECT_FALSE(changer.Changed());
        EXPECT_TRUE(changer.Restore());
        EXPECT_EQ(fs::current_path(), m_Start);
        EXPECT_TRUE(changer.Change("a"));
    }
    EXPECT_EQ(fs::current_path(), m_Start);
    {
        kxCurrentDirectory nothing("missing");
        EXPECT_FALSE(nothing.Changed());
    }
    EXPECT_EQ(fs::current_path(), m_Start);
    {
        kxCurrentDirectory outer("a");
        {
            kxCurrentDirectory inner("b");
            EXPECT_EQ(fs::current_path(), m_Start / "a/b");
        }
        EXPECT_EQ(fs::current_path(), m_Start / "a");
    }
    EXPECT_EQ(fs::current_path(), m_Start);
}
