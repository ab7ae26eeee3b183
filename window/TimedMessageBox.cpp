#include "window/TimedMessageBox.h"

#include <algorithm>
#include <atomic>

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QMainWindow>
#include <QTimer>

#include "app/OperatorText.h"
#include "foundation/TimedBoxModel.h"

namespace {
std::atomic<int> g_TimeDivisor{1};
constexpr int kCentredMessageChars = 40;
constexpr int kMinimumBoxWidth = 340;
} // namespace

QWidget* ApplicationMainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMainWindow*>(widget) != nullptr) {
            return widget;
        }
    }
    return nullptr;
}

std::unique_ptr<CTimedMessageBox> ShowProgressBox() {
    auto box = std::make_unique<CTimedMessageBox>();
    box->Create();
    box->PrepareCaption();
    box->SetMessage("");
    box->show();
    return box;
}

void CTimedMessageBox::SetTimeDivisorForTesting(int divisor) {
    g_TimeDivisor.store(std::max(1, divisor));
}

CTimedMessageBox::CTimedMessageBox()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_Layout(this), m_Yes("Yes"),
      m_No("No") {
    // Closing a box must never end the program, even when the main window lives in the tray.
    setAttribute(Qt::WA_QuitOnClose, false);
    m_Message.setObjectName("message");
    m_Message.setWordWrap(true);
    m_Message.setMinimumWidth(kMinimumBoxWidth);
    m_CountDown.setObjectName("countDown");
    m_CountDown.setAlignment(Qt::AlignCenter);
    m_CountDown.hide();
    m_Yes.setObjectName("yes");
    m_No.setObjectName("no");
    m_Yes.hide();
    m_No.hide();
    m_Layout.addWidget(&m_Message);
    m_Layout.addWidget(&m_CountDown);
    m_Buttons.addStretch();
    m_Buttons.addWidget(&m_Yes);
    m_Buttons.addWidget(&m_No);
    m_Buttons.addStretch();
    m_Layout.addLayout(&m_Buttons);
    m_Layout.setSizeConstraint(QLayout::SetFixedSize);
    connect(&m_Yes, &QPushButton::clicked, this, [this] { OnButton(true); });
    connect(&m_No, &QPushButton::clicked, this, [this] { OnButton(false); });
}

// The controls and layouts are members: each leaves its parent as it is destroyed, before QDialog's own
// destructor looks for children to delete.
CTimedMessageBox::~CTimedMessageBox() = default;

bool CTimedMessageBox::Create() {
    setWindowModality(Qt::ApplicationModal);
    return true;
}

void CTimedMessageBox::PrepareCaption() {
    setWindowTitle(kAppTitle);
}

void CTimedMessageBox::SetMessage(const std::string& text) {
    m_MessageText = text;
    // The boxes' texts break lines with "\r\n" or a lone "\r"; a label breaks them at new lines.
    m_Message.setText(QString::fromStdString(TerminalText(text)));
    m_Message.setAlignment(text.size() <= kCentredMessageChars ? Qt::AlignCenter : (Qt::AlignLeft | Qt::AlignVCenter));
    // The start-up and shut-down change the progress text without pumping in between: paint it now.
    if (isVisible()) {
        m_Message.repaint();
    }
}

void CTimedMessageBox::setVisible(bool visible) {
    if (visible && !m_AllowShow) {
        const QWidget* main = ApplicationMainWindow();
        if (main != nullptr && !main->isVisible()) {
            return;
        }
    }
    QDialog::setVisible(visible);
}

void CTimedMessageBox::closeEvent(QCloseEvent* event) {
    event->ignore();
}

void CTimedMessageBox::OnButton(bool yes) {
    if (m_pModel == nullptr) {
        return;
    }
    m_pModel->OnClick(yes ? EBoxButton::Yes : EBoxButton::No);
    if (m_pModel->Done() && m_pLoop != nullptr) {
        m_pLoop->quit();
    }
}

void CTimedMessageBox::ShowCountDown() {
    if (m_pModel->CountDownVisible()) {
        m_CountDown.setText(QString::fromStdString(m_pModel->CountDownLine()));
        m_CountDown.show();
    } else {
        m_CountDown.hide();
    }
}

int CTimedMessageBox::Run(uint32_t timeoutMs, int defaultButton, const std::string& countDownFormat, bool* timedOut) {
    if (timedOut != nullptr) {
        *timedOut = false;
    }
    if (!isVisible() && timeoutMs == 0) {
        m_AllowShow = true;
        show();
        m_AllowShow = false;
    }

    CBoxRequest request = TimedBoxRequest(m_MessageText, defaultButton, timeoutMs);
    request.countDownFormat = countDownFormat;
    CTimedBoxModel model(request);

    m_Yes.setVisible(model.YesVisible());
    m_No.setText(QString::fromStdString(model.NoLabel()));
    m_No.show();
    QPushButton& marked = model.DefaultMarked() == EBoxButton::Yes ? m_Yes : m_No;
    QPushButton& other = &marked == &m_Yes ? m_No : m_Yes;
    other.setDefault(false);
    marked.setDefault(true);
    marked.setFocus();

    const QString savedCountDown = m_CountDown.text();
    const bool countDownWasVisible = m_CountDown.isVisibleTo(this);
    m_pModel = &model;
    ShowCountDown();

    if (timedOut != nullptr) {
        *timedOut = true;
    }
    QEventLoop loop;
    m_pLoop = &loop;
    QTimer timer;
    const uint32_t period = model.TimerPeriodMs();
    if (period != 0) {
        timer.setInterval(static_cast<int>(std::max<uint32_t>(1, period / static_cast<uint32_t>(g_TimeDivisor))));
        connect(&timer, &QTimer::timeout, &loop, [this, &model, &loop] {
            if (model.OnTimerTick()) {
                loop.quit();
            } else {
                ShowCountDown();
            }
        });
        timer.start();
    }
    // Leaves on an answer, or when the application quits (the answer is then the default).
    loop.exec();
    timer.stop();
    m_pLoop = nullptr;
    m_pModel = nullptr;

    if (timedOut != nullptr) {
        *timedOut = !model.Done() || model.TimedOut();
    }
    m_Yes.hide();
    m_No.hide();
    m_CountDown.setText(savedCountDown);
    m_CountDown.setVisible(countDownWasVisible);
    return model.Answer();
}
