#pragma once
// The operator's box as a window: a message, a count-down line and the Yes and No buttons (No reads "OK" on
// an OK box). Run shows the question and waits for the answer or the time-out in a loop of its own, so the
// window behind it keeps painting; without Run the box is the progress box of the start-up and shut-down.
// The rules (default word, count-down, who answers what) are those of foundation/TimedBoxModel.h.

#include <cstdint>
#include <memory>
#include <string>

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/VYRRuvuzUvirIP_Voda50App.h"

class CTimedBoxModel;
class QEventLoop;

// Owns its controls. Not thread-safe: the user-interface thread makes, runs and destroys it.
class CTimedMessageBox final : public QDialog {
public:
    CTimedMessageBox();
    ~CTimedMessageBox() override;
    CTimedMessageBox(const CTimedMessageBox&) = delete;
    CTimedMessageBox& operator=(const CTimedMessageBox&) = delete;

    // Makes the box modal for the whole application while it shows: the windows behind it take no input until
    // it goes. True.
    bool Create();
    // The caption bar with the application's title.
    void PrepareCaption();
    // The message; texts of at most 40 characters are centred, longer ones left-aligned.
    void SetMessage(const std::string& text);
    // Shows the question: the buttons and the count-down line as |defaultButton| (kIdOk, kIdYes, kIdNo) and
    // |timeoutMs| call for, then waits for a click, the time-out (0: none) or the application's quit.
    // |countDownFormat| (one "%d") replaces the standard count-down text. Returns the button clicked, or the
    // default; |timedOut|, when given, is true unless the operator answered. Shows a hidden box only when
    // there is no time-out.
    int Run(uint32_t timeoutMs, int defaultButton, const std::string& countDownFormat = {}, bool* timedOut = nullptr);

    // The controls, for tests.
    const QLabel& MessageControl() const { return m_Message; }
    const QLabel& CountDownControl() const { return m_CountDown; }
    QPushButton& YesButton() { return m_Yes; }
    QPushButton& NoButton() { return m_No; }

    // Makes every box's timer run |divisor| times faster (1: real time), so tests of 10-second count-downs take
    // milliseconds.
    static void SetTimeDivisorForTesting(int divisor);

    // A box shows only while the application's main window is visible, or while showing is allowed for one
    // call: a box that pops up over a window living in the tray would hide nothing and confuse the operator.
    void setVisible(bool visible) override;

protected:
    // Only the buttons and the time-out end a box: Escape and the window manager's close do nothing.
    void reject() override {}
    void closeEvent(QCloseEvent* event) override;

private:
    void OnButton(bool yes);
    void ShowCountDown();

    QVBoxLayout m_Layout;
    QLabel m_Message;   // control 1005
    QLabel m_CountDown; // control 1000
    QHBoxLayout m_Buttons;
    QPushButton m_Yes; // IDYES
    QPushButton m_No;  // IDNO, "OK" on an OK box
    bool m_AllowShow = false;
    std::string m_MessageText;
    CTimedBoxModel* m_pModel = nullptr; // while Run runs
    QEventLoop* m_pLoop = nullptr;      // while Run runs
};

// A progress box: modal for the whole application, with the caption and an empty message, shown (while the main
// window is). The caller sets its text as the work goes on and destroys it at the end.
std::unique_ptr<CTimedMessageBox> ShowProgressBox();

// The main window of the application (the first visible or hidden top-level main window), or null.
QWidget* ApplicationMainWindow();
