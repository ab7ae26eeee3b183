#include "foundation/TimedBoxModel.h"

#include <cctype>

#include "foundation/ErrorReporter.h"

namespace {
// True when |format| holds exactly one integer conversion ("%d" or "%i", with flags, width and precision)
// and no other conversion than "%%".
bool IsSingleIntFormat(const std::string& format) {
    int conversions = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        ++i;
        if (i < format.size() && format[i] == '%') {
            continue;
        }
        while (i < format.size() &&
               (format[i] == '-' || format[i] == '+' || format[i] == ' ' || format[i] == '0' || format[i] == '#')) {
            ++i;
        }
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) {
            ++i;
        }
        if (i < format.size() && format[i] == '.') {
            ++i;
            while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) {
                ++i;
            }
        }
        if (i >= format.size() || (format[i] != 'd' && format[i] != 'i')) {
            return false;
        }
        ++conversions;
    }
    return conversions == 1;
}
} // namespace

std::string DefaultButtonWord(int button) {
    switch (button) {
    case kIdOk:
        return "\"OK\"";
    case kIdYes:
        return "\"Yes\"";
    case kIdNo:
        return "\"No\"";
    default:
        return "UNKNOWN";
    }
}

int CountDownSeconds(uint32_t timeoutMs) {
    return static_cast<int>(timeoutMs / 1000);
}

bool ShowsCountDown(uint32_t timeoutMs) {
    return CountDownSeconds(timeoutMs) > 1;
}

std::string CountDownText(int seconds, int defaultButton, const std::string& format) {
    if (!format.empty() && IsSingleIntFormat(format)) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
        return FormatText(format.c_str(), seconds);
#pragma GCC diagnostic pop
    }
    return FormatText("%d seconds until %s is automatically selected", seconds,
                      DefaultButtonWord(defaultButton).c_str());
}

CTimedBoxModel::CTimedBoxModel(const CBoxRequest& request)
    : m_Request(request), m_CountDown(ShowsCountDown(request.timeoutMs)),
      m_Seconds(CountDownSeconds(request.timeoutMs)), m_Answer(request.defaultButton) {}

std::string CTimedBoxModel::CountDownLine() const {
    if (!m_CountDown) {
        return {};
    }
    return CountDownText(m_Seconds - m_Ticks, m_Request.defaultButton, m_Request.countDownFormat);
}

uint32_t CTimedBoxModel::TimerPeriodMs() const {
    if (m_Request.timeoutMs == 0) {
        return 0;
    }
    return m_CountDown ? 1000 : m_Request.timeoutMs;
}

bool CTimedBoxModel::OnTimerTick() {
    if (m_Done || TimerPeriodMs() == 0) {
        return false;
    }
    ++m_Ticks;
    if (!m_CountDown || m_Ticks >= m_Seconds) {
        m_Done = true;
        m_TimedOut = true;
        m_Answer = m_Request.defaultButton;
    }
    return m_Done;
}

void CTimedBoxModel::OnClick(EBoxButton button) {
    if (m_Done) {
        return;
    }
    if (button == EBoxButton::Yes) {
        if (!YesVisible()) {
            return;
        }
        m_Answer = kIdYes;
    } else {
        m_Answer = m_Request.kind == EBoxKind::Ok ? kIdOk : kIdNo;
    }
    m_Done = true;
    m_TimedOut = false;
}
