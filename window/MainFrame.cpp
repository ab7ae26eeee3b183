#include "window/MainFrame.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>

#include "foundation/ParamSettings.h"
#include "host/ViewSink.h"
#include "window/VYRView.h"

namespace {
constexpr char kWindowIcon[] = ":/res/kestrove.png";
constexpr char kTrayIcon[] = ":/res/tray.png";
constexpr int kDefaultWidth = 720;
constexpr int kDefaultHeight = 420;

// WM_TRAY_NOTIFY as the tray icon's activation reaches the frame: the icon id and what the mouse did.
class CTrayNotifyEvent final : public QEvent {
public:
    CTrayNotifyEvent(int iconId, QSystemTrayIcon::ActivationReason reason)
        : QEvent(static_cast<QEvent::Type>(WM_TRAY_NOTIFY)), m_IconId(iconId), m_Reason(reason) {}
    int IconId() const { return m_IconId; }
    QSystemTrayIcon::ActivationReason Reason() const { return m_Reason; }

private:
    int m_IconId;
    QSystemTrayIcon::ActivationReason m_Reason;
};
} // namespace

void InitWindowResources() {
    // The resources are compiled into the static library `app`; this keeps the linker from dropping them.
    Q_INIT_RESOURCE(kestrove);
}

CMainFrame::CMainFrame(CParamStore& store)
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinMaxButtonsHint),
      m_Store(store), m_TrayIcon(this), m_CapsIndicator("CAP"), m_NumIndicator("NUM"), m_ScrollIndicator("SCRL"),
      m_TrayAvailable(&QSystemTrayIcon::isSystemTrayAvailable) {
    setWindowTitle(kFrameTitle);
    setWindowIcon(QIcon(kWindowIcon));
    resize(kDefaultWidth, kDefaultHeight);

    // Menu 128.
    QMenu* file = menuBar()->addMenu("&File");
    m_pExitAction = file->addAction("E&xit");
    m_pExitAction->setStatusTip("Quit the application");
    connect(m_pExitAction, &QAction::triggered, this, [this] { close(); });
    QMenu* setup = menuBar()->addMenu("Setup");
    m_pMerchantParametersAction = setup->addAction("&Merchant Parameters");
    m_pMerchantParametersAction->setData(kMerchantParametersCommand);
    QMenu* help = menuBar()->addMenu("&Help");
    m_pAboutAction = help->addAction("&About");
    m_pAboutAction->setStatusTip("Display program information and version");
    m_pAboutAction->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));

    connect(&m_TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // Qt takes the event and deletes it once delivered.
        QCoreApplication::postEvent(this, new CTrayNotifyEvent(kTrayIconId, reason));
    });
}

CMainFrame::~CMainFrame() {
    // The view goes first, while the frame around it is whole.
    m_pView.reset();
}

bool CMainFrame::OnCreate() {
    // Toolbar 128: flat, movable, docked at the top, with tool tips and status tips.
    QToolBar* toolbar = addToolBar("Standard");
    toolbar->setObjectName("toolbar128");
    toolbar->setMovable(true);
    toolbar->addAction(m_pAboutAction);

    // Status bar: the message pane, then CAPS, NUM and SCRL. Qt cannot read the lock keys' state, so the
    // indicators stay grayed, as they show while a key is off.
    statusBar()->showMessage("Ready");
    for (QLabel* indicator : {&m_CapsIndicator, &m_NumIndicator, &m_ScrollIndicator}) {
        indicator->setEnabled(false);
        indicator->setAlignment(Qt::AlignCenter);
        indicator->setMinimumWidth(indicator->fontMetrics().horizontalAdvance(indicator->text()) + 12);
        statusBar()->addPermanentWidget(indicator);
    }

    UpdateTrayIcon(ETrayOperation::Add);
    return true;
}

void CMainFrame::SetView(std::unique_ptr<CVYRView> view) {
    m_pView = std::move(view);
    setCentralWidget(m_pView.get());
    m_pView->SetCloseHandler([this](bool canAskOperator) { RequestClose(canAskOperator); });
    CVYRView* shown = m_pView.get();
    connect(m_pMerchantParametersAction, &QAction::triggered, shown, [shown] { shown->OnMerchantParameters(); });
}

bool CMainFrame::UpdateTrayIcon(ETrayOperation operation) {
    if (operation == ETrayOperation::Add) {
        m_TrayIcon.setIcon(QIcon(kTrayIcon));
        m_TrayIcon.setToolTip(QString(kTrayTip).left(127));
        m_TrayIcon.show();
    } else {
        m_TrayIcon.hide();
    }
    return true;
}

bool CMainFrame::OnClose(bool canAskOperator) {
    if (m_Closing) {
        return true;
    }
    if (m_pView != nullptr) {
        if (m_pView->StopForClose(canAskOperator) != EStopResult::Stopped) {
            return false;
        }
        UpdateTrayIcon(ETrayOperation::Delete);
    }
    m_Closing = true;
    return true;
}

void CMainFrame::RequestClose(bool canAskOperator) {
    if (OnClose(canAskOperator)) {
        close();
    }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // The window manager's close control is disabled; only the program's own close gets through.
    if (!m_Closing && (event->spontaneous() || !OnClose(true))) {
        event->ignore();
        return;
    }
    event->accept();
    // A close asked for again after the window has gone (a deferred one) ends nothing a second time.
    if (m_ClosedHandler && !m_ClosedNotified) {
        m_ClosedNotified = true;
        m_ClosedHandler();
    }
}

bool CMainFrame::GoToTrayWhenMinimized() const {
    return m_Store.GetParams().GetParamMap().GetValue(kParamGoToSystemTray) == "Y";
}

void CMainFrame::changeEvent(QEvent* event) {
    // Minimised with "GO TO SYSTEM TRAY WHEN MINIMIZED": the window lives on as the tray icon alone. Without a
    // tray to hold the icon nothing could bring it back, so it then stays an ordinary minimised window.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && GoToTrayWhenMinimized() && m_TrayAvailable()) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                hide();
            }
        });
    }
    QMainWindow::changeEvent(event);
}

bool CMainFrame::event(QEvent* event) {
    if (static_cast<uint32_t>(event->type()) == WM_TRAY_NOTIFY) {
        const auto* notify = static_cast<const CTrayNotifyEvent*>(event);
        OnTrayNotify(notify->IconId(), notify->Reason());
        return true;
    }
    return QMainWindow::event(event);
}

void CMainFrame::OnTrayNotify(int iconId, QSystemTrayIcon::ActivationReason reason) {
    if (iconId != kTrayIconId || reason != QSystemTrayIcon::DoubleClick || !GoToTrayWhenMinimized()) {
        return;
    }
    showNormal();
    raise();
    activateWindow();
    setFocus();
}
