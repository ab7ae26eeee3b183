#pragma once
// The view of the main window: a one-column report list "Internet Traffic" with the newest line on top, the
// owner of the interface pieces and of the controller that starts and stops them, and the receiver of the
// view messages that worker threads post (as Qt events of the messages' own numbers).
//
// The caption of the main window and the traffic lines change in one place each (SetCaption, AddTrafficLine),
// on the user-interface thread, which also keeps the launcher pipe's copy of them (app/LauncherViewCopy.h) and
// makes the pipe's Setup-dialog snapshots.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QTimer>
#include <QTreeWidget>

#include "app/InterfaceController.h"
#include "app/InterfaceParts.h"
#include "app/LauncherViewCopy.h"
#include "app/TrafficLines.h"
#include "foundation/AppMode.h"
#include "foundation/ParamStore.h"
#include "host/ViewSink.h"

class CMerchantParametersDlg;
class CTimedMessageBox;

inline constexpr char kTrafficColumnTitle[] = "Internet Traffic";

// How a stop asked for by the main window's close ended.
enum class EStopResult {
    Stopped,  // the interfaces are down: the window may close
    Refused,  // the operator answered No: everything keeps running
    Deferred, // a start or stop is under way: the close comes back through the close handler when it ends
};

// Owns the interface pieces (|interfaces|) and the controller for its lifetime; the destructor disconnects
// the view messages and the launcher pipe's copy first, then deletes the server and the pieces.
// Thread-safety: PostViewMessage may be called from any thread; everything else is for the user-interface
// thread, which alone touches the widgets.
class CVYRView final : public QTreeWidget, public IInterfaceView, public IViewSink {
public:
    CVYRView(std::unique_ptr<IInterfaceSet> interfaces, const CAppModeFlags& mode, QWidget* parent = nullptr,
             CParamStore& store = CParamStore::Instance());
    ~CVYRView() override;
    CVYRView(const CVYRView&) = delete;
    CVYRView& operator=(const CVYRView&) = delete;

    // The first update: the column, the view's sink connected for the workers, WM_START_INTERFACES posted.
    void OnInitialUpdate();
    // The effect of one view message. WM_STOP_INTERFACES answers 1 when the window must stay open.
    int WindowProc(EViewMessage message);

    // A traffic line: the local time, then |text|, inserted on top; the list is trimmed past 50 lines.
    void AddTrafficLine(const std::string& text);
    // Timer 52's caption, only while the POS server exists.
    void RefreshTitle();
    // Sets the main window's caption.
    void SetCaption(const std::string& text);

    // The main window asks to close (WM_STOP_INTERFACES): the question when lanes are connected (unless
    // |canAskOperator| is false: then its default, Yes), the stop, and in launcher mode the pipe's stop. While
    // a start or stop is under way the close is only noted, and comes back through the close handler once it
    // has ended, so two of them never run nested.
    EStopResult StopForClose(bool canAskOperator);
    // Stop and start again (after the Setup dialog); deferred like a close while a start or stop runs.
    void RequestRestart();
    // Command 32772, Setup > Merchant Parameters: the Setup dialog, modal; when it ends with OK or after a load
    // was tried from it, the interfaces restart. Not while a start or stop is under way (its progress box keeps
    // the menu out of reach then). A close of the window meanwhile ends the dialog too.
    void OnMerchantParameters();
    // The Setup dialog while it shows, or null.
    CMerchantParametersDlg* SetupDialog() const { return m_pSetupDialog; }
    // How a deferred close comes back to the main window.
    void SetCloseHandler(std::function<void(bool canAskOperator)> handler) { m_CloseHandler = std::move(handler); }
    // A start, stop or restart is under way (its waits pump the event loop).
    bool Busy() const { return m_Busy > 0; }

    // The traffic lines, newest first.
    std::vector<std::string> TrafficLines() const;
    const CInterfaceController& Controller() const { return m_Controller; }
    // See CInterfaceController::SetClientSettleMs; before the first start-up.
    void SetClientSettleMs(uint64_t ms) { m_Controller.SetClientSettleMs(ms); }

    // IInterfaceView: what the controller shows while it runs.
    void PostOfflineTitle() override;
    void BeginProgress() override;
    void SetProgress(const std::string& text) override;
    void EndProgress() override;
    void StartTitleTimer() override;
    void KillTitleTimer() override;

    // IViewSink: posts |message| to this view's event queue. Any thread.
    void PostViewMessage(EViewMessage message) override;

protected:
    bool event(QEvent* event) override;

private:
    // Counts a start, stop or restart under way; when the last one ends, runs what was deferred.
    class CBusyScope;
    void RunDeferred();
    void OnStartInterfaces();

    CParamStore& m_Store;
    std::unique_ptr<IInterfaceSet> m_Interfaces;
    CInterfaceController m_Controller;                 // made from m_Interfaces, so declared after it
    CLauncherViewCopy* m_pLauncherView = nullptr;      // m_Interfaces's, when it has a launcher pipe
    std::unique_ptr<CScopedTrafficView> m_TrafficView; // connected from the first update on
    QTimer m_TitleTimer;
    std::vector<std::unique_ptr<CTimedMessageBox>> m_ProgressBoxes; // one for each handler under way
    int m_Busy = 0;
    bool m_Closed = false;               // stopped for the window's close: nothing starts again
    std::optional<bool> m_DeferredClose; // a close asked for while busy; whether the operator may be asked
    bool m_DeferredRestart = false;
    std::function<void(bool)> m_CloseHandler;
    CMerchantParametersDlg* m_pSetupDialog = nullptr; // while OnMerchantParameters shows it
};
