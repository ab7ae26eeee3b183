#include "app/HeadlessView.h"

#include <iostream>

#include "app/TrafficLines.h"

void CHeadlessView::PostOfflineTitle() {
    if (m_pLauncherView != nullptr) {
        m_pLauncherView->SetCaption(kOfflineCaption);
    }
}

void CHeadlessView::SetProgress(const std::string& text) {
    Print(text);
}

void CHeadlessView::StartTitleTimer() {
    if (m_pLauncherView == nullptr || !m_TitleSource || m_TitleTimer.IsRunning()) {
        return;
    }
    m_TitleTimer.Join(); // one that was stopped before
    m_TitleTimerStop.Reset();
    m_TitleTimer.Start();
}

void CHeadlessView::KillTitleTimer() {
    m_TitleTimerStop.Set();
    m_TitleTimer.Join();
}

int CHeadlessView::TitleTimerProc() {
    while (!m_TitleTimerStop.Wait(kTitleTimerMs)) {
        if (const std::optional<std::string> caption = m_TitleSource()) {
            m_pLauncherView->SetCaption(*caption);
        }
    }
    return 0;
}

void CHeadlessView::PostViewMessage(EViewMessage message) {
    const std::string text = TrafficLineText(message);
    if (text.empty()) {
        return;
    }
    const std::string line = StampTrafficLine(text);
    if (m_pLauncherView != nullptr) {
        m_pLauncherView->AddTrafficLine(line);
    }
    Print(line);
}

void CHeadlessView::Print(const std::string& line) {
    if (!m_Echo) {
        return;
    }
    CMutexLock guard(m_Lock);
    std::cout << line << std::endl;
}
