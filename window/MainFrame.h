#pragma once
// The main window: menu, toolbar, status bar with its four indicators, the tray icon, and the view in the
// middle. Its caption is the view's (never a document name), its close control is disabled: File > Exit, a
// termination signal or the program close it, and only after the view has stopped the interfaces.

#include <functional>
#include <memory>

#include <QLabel>
#include <QMainWindow>
#include <QSystemTrayIcon>

#include "app/VYRRuvuzUvirIP_Voda50App.h" // kStartupVersionText
#include "foundation/ParamStore.h"

class CVYRView;
class QAction;

// The tray icon's id and tip.
inline constexpr int kTrayIconId = 150;
inline constexpr const char* kTrayTip = kStartupVersionText;
// The caption until the view sets one: the document template's title.
inline constexpr char kFrameTitle[] = "Kestrove";
// Setup > Merchant Parameters.
inline constexpr int kMerchantParametersCommand = 32772;

// Tray icon operations (Shell_NotifyIcon's NIM_ADD and NIM_DELETE).
enum class ETrayOperation { Add, Delete };

// Owns its bars, menus, tray icon and the view. Not thread-safe: for the user-interface thread.
class CMainFrame final : public QMainWindow {
public:
    explicit CMainFrame(CParamStore& store = CParamStore::Instance());
    ~CMainFrame() override;
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // The toolbar, the status bar, the tray icon and the disabled close control. True.
    bool OnCreate();
    // Puts the view in the middle of the window; the frame owns it from now on.
    void SetView(std::unique_ptr<CVYRView> view);
    CVYRView* View() const { return m_pView.get(); }

    // Adds the tray icon (tip "VL 5.06") or removes it. True.
    bool UpdateTrayIcon(ETrayOperation operation);
    // Closes the window once the view has stopped the interfaces: asks when lanes are connected (unless
    // |canAskOperator| is false), keeps the window when the operator refuses, and waits for a start or stop
    // under way to end first.
    void RequestClose(bool canAskOperator);
    // Called once the window has closed (the program then leaves its event loop).
    void SetClosedHandler(std::function<void()> handler) { m_ClosedHandler = std::move(handler); }

    QAction* ExitAction() const { return m_pExitAction; }
    QAction* AboutAction() const { return m_pAboutAction; }
    QAction* MerchantParametersAction() const { return m_pMerchantParametersAction; }
    QSystemTrayIcon& TrayIcon() { return m_TrayIcon; }
    // Whether a system tray can hold the icon now: QSystemTrayIcon's answer unless a test says otherwise.
    void SetTrayAvailabilityForTesting(std::function<bool()> available) { m_TrayAvailable = std::move(available); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    // The close: the view's stop (WM_STOP_INTERFACES), then the tray icon goes. True when the window may close.
    bool OnClose(bool canAskOperator);
    // WM_TRAY_NOTIFY: a double click on icon 150 brings the window back while parameter 13 is "Y".
    void OnTrayNotify(int iconId, QSystemTrayIcon::ActivationReason reason);
    bool GoToTrayWhenMinimized() const;

    CParamStore& m_Store;
    std::unique_ptr<CVYRView> m_pView;
    QSystemTrayIcon m_TrayIcon;
    QLabel m_CapsIndicator;
    QLabel m_NumIndicator;
    QLabel m_ScrollIndicator;
    QAction* m_pExitAction = nullptr;  // owned by the menu
    QAction* m_pAboutAction = nullptr; // owned by the menu
    QAction* m_pMerchantParametersAction = nullptr;
    bool m_Closing = false;        // the view has stopped: the next close event is accepted
    bool m_ClosedNotified = false; // the closed handler has run
    std::function<void()> m_ClosedHandler;
    std::function<bool()> m_TrayAvailable;
};

// Makes the window's icons (window/res) available; called before the first window is made.
void InitWindowResources();
