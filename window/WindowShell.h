#pragma once
// The program with its window: the application object whose shell is the document, the main frame and the
// traffic view, shown on the desktop; the window's event loop runs until File > Exit or a termination signal
// has stopped the interfaces and closed the window. Operator boxes are windows while it lives.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QSocketNotifier>

#include "app/VYRRuvuzUvirIP_Voda50App.h"
#include "foundation/Presenter.h"
#include "platform/ProcessSignals.h"
#include "window/MainFrame.h"
#include "window/VYRRuvuzUvirIP_Voda50Doc.h"
#include "window/WindowPresenter.h"

// The user-interface thread (the program's main thread) makes it, runs it and destroys it; nothing else
// touches it.
class CWindowShell final : public CVYRRuvuzUvirIP_Voda50App {
public:
    // Starts Qt on the display when one is named ($DISPLAY or $WAYLAND_DISPLAY) and Qt can open it. Otherwise
    // null, and |whyNot| holds the log line saying that the program runs in the terminal. Called on the main
    // thread after the termination signals are blocked.
    static std::unique_ptr<CWindowShell> Open(int argc, char** argv, std::string* whyNot);
    // Keeps the program's arguments for Qt; Open makes one.
    explicit CWindowShell(const std::vector<std::string>& arguments);
    ~CWindowShell() override;
    CWindowShell(const CWindowShell&) = delete;
    CWindowShell& operator=(const CWindowShell&) = delete;

    // The start-up, the window's event loop and the exit: the process's exit code (1 when the start-up failed).
    int Run(const std::string& commandLine);
    // ID_APP_ABOUT: the About box, modal.
    void OnAppAbout();

    // The main window while it exists, for tests.
    CMainFrame* MainFrame() const { return m_pMainFrame.get(); }

protected:
    // The document, the frame and the view, the frame shown; the view's first update posts the start-up.
    bool CreateShell() override;

private:
    void OnTerminationSignal();

    // QApplication keeps references to the argument count and vector: they live as long as it does.
    std::vector<std::string> m_Arguments;
    std::vector<char*> m_Argv;
    int m_Argc = 0;
    std::unique_ptr<QApplication> m_pApplication;
    std::unique_ptr<CWindowPresenter> m_pPresenter;
    std::optional<CScopedPresenter> m_ScopedPresenter;
    CVYRRuvuzUvirIP_Voda50Doc m_Document;
    std::unique_ptr<CMainFrame> m_pMainFrame;
    CTerminationSignalFd m_Signals;
    std::unique_ptr<QSocketNotifier> m_pSignalNotifier;
};
