#include "app/HeadlessView.h"

#include <iostream>

#include "app/TrafficLines.h"

void CHeadlessView::SetProgress(const std::string& text) {
    Print(text);
}

void CHeadlessView::PostViewMessage(EViewMessage message) {
    const std::string text = TrafficLineText(message);
    if (text.empty()) {
        return;
    }
    Print(StampTrafficLine(text));
}

void CHeadlessView::Print(const std::string& line) {
    if (!m_Echo) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    std::cout << line << std::endl;
}
