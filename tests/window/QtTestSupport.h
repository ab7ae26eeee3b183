#pragma once
// The QApplication of a test program for the window classes: made before the first test on Qt's offscreen
// platform (no display needed) and destroyed after the last. Including this header registers it.

#include <memory>

#include <QApplication>
#include <QtGlobal>

#include <gtest/gtest.h>

class CQtTestEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        s_QtMessages = qInstallMessageHandler(FilterMessages);
        m_Application = std::make_unique<QApplication>(m_Argc, m_Argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override {
        m_Application.reset();
        qInstallMessageHandler(s_QtMessages);
    }

private:
    // The offscreen platform cannot size, raise or dock windows, and says so on every window: noise.
    static void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (message.contains("This plugin does not support") || message.contains("systemTrayWindowChanged")) {
            return;
        }
        s_QtMessages(type, context, message);
    }

    static inline QtMessageHandler s_QtMessages = nullptr;
    char m_Name[16] = "kestrove-tests";
    char* m_Argv[2] = {m_Name, nullptr};
    int m_Argc = 1;
    std::unique_ptr<QApplication> m_Application;
};

// gtest owns the environment and runs it around all tests of the program.
inline ::testing::Environment* const g_QtTestEnvironment =
    ::testing::AddGlobalTestEnvironment(new CQtTestEnvironment); // NOLINT: gtest takes ownership
