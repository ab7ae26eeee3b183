#include "window/VYRView.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QHeaderView>

#include "app/TrafficLines.h"
#include "foundation/Presenter.h"
#include "window/DialogSnapshot.h"
#include "window/MerchantParametersDlg.h"
#include "window/SetupDialogFactory.h"
#include "window/TimedMessageBox.h"

class CVYRView::CBusyScope {
public:
    explicit CBusyScope(CVYRView& view) : m_View(view) { ++m_View.m_Busy; }
    ~CBusyScope() {
        if (--m_View.m_Busy == 0) {
            m_View.RunDeferred();
        }
    }
    CBusyScope(const CBusyScope&) = delete;
    CBusyScope& operator=(const CBusyScope&) = delete;

private:
    CVYRView& m_View;
};

CVYRView::CVYRView(std::unique_ptr<IInterfaceSet> interfaces, const CAppModeFlags& mode, QWidget* parent,
                   CParamStore& store)
    : QTreeWidget(parent), m_Store(store), m_Interfaces(std::move(interfaces)),
      m_Controller(m_Interfaces->Parts(), *this, mode, store) {
    // The report style: one column with its header, no tree decoration.
    setColumnCount(1);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    header()->setStretchLastSection(true);
    m_TitleTimer.setInterval(kTitleTimerMs);
    // TitleTimerProc: the refresh goes through the view's queue like every other view message.
    connect(&m_TitleTimer, &QTimer::timeout, this, [this] { PostViewMessage(WM_REFRESH_TITLE); });

    m_pLauncherView = m_Interfaces->LauncherView();
    if (m_pLauncherView != nullptr) {
        // The pipe thread asks; this thread makes the dialog and its picture, from its event loop.
        m_pLauncherView->ConnectWindow(
            [this](std::function<void()> work) {
                QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
            },
            [this] { return MakeSettingsFormSnapshot([this] { return CreateSetupDialog(m_Store); }); });
    }
}

CVYRView::~CVYRView() {
    // No worker may post into a view that is going; then the members go in reverse order: the progress boxes,
    // the timer, the controller with its POS server, and the pieces.
    m_TrafficView.reset();
    if (m_pLauncherView != nullptr) {
        m_pLauncherView->DisconnectWindow();
    }
}

void CVYRView::OnInitialUpdate() {
    setHeaderLabels({QString(kTrafficColumnTitle)});
    if (m_pLauncherView != nullptr) {
        m_pLauncherView->SetCaption(window()->windowTitle().toStdString());
    }
    m_TrafficView = std::make_unique<CScopedTrafficView>(*this);
    PostViewMessage(WM_START_INTERFACES);
}

void CVYRView::PostViewMessage(EViewMessage message) {
    // Qt takes the event and deletes it once delivered (or when the view goes first).
    QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(message)));
}

bool CVYRView::event(QEvent* event) {
    const auto type = static_cast<uint32_t>(event->type());
    if (type >= WM_START_INTERFACES && type <= WM_TRAY_NOTIFY) {
        WindowProc(static_cast<EViewMessage>(type));
        return true;
    }
    return QTreeWidget::event(event);
}

int CVYRView::WindowProc(EViewMessage message) {
    switch (message) {
    case WM_START_INTERFACES:
        OnStartInterfaces();
        return 0;
    case WM_REFRESH_TITLE:
        RefreshTitle();
        return 0;
    case WM_STOP_INTERFACES:
        return StopForClose(true) == EStopResult::Stopped ? 0 : 1;
    case WM_SET_OFFLINE_TITLE:
        SetCaption(kOfflineCaption);
        return 0;
    case WM_TRAY_NOTIFY:
        return 0; // the frame's
    default:
        break;
    }
    const std::string text = TrafficLineText(message);
    if (!text.empty()) {
        AddTrafficLine(text);
    }
    return 0;
}

void CVYRView::AddTrafficLine(const std::string& text) {
    const std::string line = StampTrafficLine(text);
    if (m_pLauncherView != nullptr) {
        m_pLauncherView->AddTrafficLine(line);
    }
    auto item = std::make_unique<QTreeWidgetItem>(QStringList{QString::fromStdString(line)});
    insertTopLevelItem(0, item.release()); // the list owns its items
    if (topLevelItemCount() > kTrafficMostLines) {
        setUpdatesEnabled(false);
        while (topLevelItemCount() > kTrafficKeptLines) {
            std::unique_ptr<QTreeWidgetItem> oldest(takeTopLevelItem(kTrafficKeptLines));
        }
        setUpdatesEnabled(true);
    }
}

std::vector<std::string> CVYRView::TrafficLines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        lines.push_back(topLevelItem(i)->text(0).toStdString());
    }
    return lines;
}

void CVYRView::RefreshTitle() {
    if (const std::optional<std::string> caption = m_Controller.RefreshTitle()) {
        SetCaption(*caption);
    }
}

void CVYRView::SetCaption(const std::string& text) {
    window()->setWindowTitle(QString::fromStdString(text));
    if (m_pLauncherView != nullptr) {
        m_pLauncherView->SetCaption(text);
    }
}

void CVYRView::OnStartInterfaces() {
    if (m_Closed) {
        return;
    }
    CBusyScope busy(*this);
    m_Controller.StartInterfaces();
}

EStopResult CVYRView::StopForClose(bool canAskOperator) {
    if (m_Closed) {
        return EStopResult::Stopped;
    }
    if (Busy()) {
        // A close that nobody can be asked about (a signal) stays so, whatever else was asked meanwhile.
        m_DeferredClose = m_DeferredClose.value_or(true) && canAskOperator;
        return EStopResult::Deferred;
    }
    CBusyScope busy(*this);
    if (!m_Controller.OnStopInterfaces(canAskOperator)) {
        return EStopResult::Refused;
    }
    m_Closed = true;
    // The window goes: so does a Setup dialog left open (by a close that nobody could be asked about).
    if (m_pSetupDialog != nullptr) {
        m_pSetupDialog->CloseWindow();
    }
    return EStopResult::Stopped;
}

void CVYRView::OnMerchantParameters() {
    if (m_Closed || Busy() || m_pSetupDialog != nullptr) {
        return;
    }
    CMerchantParametersDlg dialog(nullptr, &m_Interfaces->Parts().parameterDownload, m_Store);
    m_pSetupDialog = &dialog;
    const int result = dialog.DoModal();
    m_pSetupDialog = nullptr;
    // New values take effect only through a restart. A load stores its set the moment it succeeds, so a dialog
    // left after a load attempt restarts whatever button ended it.
    if (result == kIdOk || dialog.ParametersReloaded()) {
        RequestRestart();
    }
}

void CVYRView::RequestRestart() {
    if (m_Closed) {
        return;
    }
    if (Busy()) {
        m_DeferredRestart = true;
        return;
    }
    CBusyScope busy(*this);
    m_Controller.RestartInterfaces();
}

void CVYRView::RunDeferred() {
    // Queued, so each runs from the event loop with the finished handler off the stack; a close goes first, and
    // a restart after a successful close finds the view closed and does nothing.
    if (m_DeferredClose.has_value()) {
        const bool canAsk = *m_DeferredClose;
        m_DeferredClose.reset();
        QMetaObject::invokeMethod(
            this,
            [this, canAsk] {
                if (m_CloseHandler) {
                    m_CloseHandler(canAsk);
                }
            },
            Qt::QueuedConnection);
    }
    if (m_DeferredRestart) {
        m_DeferredRestart = false;
        QMetaObject::invokeMethod(
            this, [this] { RequestRestart(); }, Qt::QueuedConnection);
    }
}

void CVYRView::PostOfflineTitle() {
    PostViewMessage(WM_SET_OFFLINE_TITLE);
}

void CVYRView::BeginProgress() {
    m_ProgressBoxes.push_back(ShowProgressBox());
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void CVYRView::SetProgress(const std::string& text) {
    if (!m_ProgressBoxes.empty()) {
        m_ProgressBoxes.back()->SetMessage(text);
    }
}

void CVYRView::EndProgress() {
    if (m_ProgressBoxes.empty()) {
        return;
    }
    QApplication::restoreOverrideCursor();
    m_ProgressBoxes.pop_back();
}

void CVYRView::StartTitleTimer() {
    m_TitleTimer.start();
}

void CVYRView::KillTitleTimer() {
    m_TitleTimer.stop();
}
