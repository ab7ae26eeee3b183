#pragma once
// Base fixture that runs each test in a temporary folder of its own, made the current directory.

#include <gtest/gtest.h>

#include "common/TempDir.h"

class TempDirTest : public ::testing::Test {
protected:
    TempDirTest() {
        if (m_TempDir.Path().empty()) {
            ADD_FAILURE() << "no temporary folder could be made";
        }
    }

    CScopedTempDir m_TempDir;
};
