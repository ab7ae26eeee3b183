#include "kxlib/kxTime.h"

#include <cmath>
#include <ctime>

#include "platform/AsciiChars.h"
#include "platform/LocalTime.h"

namespace {

const kxString& Marker(bool pm) {
    static const kxString am("am");
    static const kxString pmText("pm");
    return pm ? pmText : am;
}

kxString PartText(int value, bool pad) {
    kxString text(value);
    if (pad && text.Length() == 1) {
        text.Prepend("0");
    }
    return text;
}

} // namespace

kxTime::kxTime(const char* text) {
    Parse(kxString(text));
}

kxTime::kxTime(const kxString& text) {
    Parse(text);
}

kxTime::kxTime(int32_t seconds) : kxTime(static_cast<int64_t>(seconds)) {}

kxTime::kxTime(int64_t seconds) {
    if (seconds >= 0 && seconds <= kSecondsPerDay) {
        m_Seconds = static_cast<int32_t>(seconds);
    }
}

kxTime::kxTime(double seconds) {
    if (seconds > -1.0 && seconds <= kSecondsPerDay) {
        m_Seconds = static_cast<int32_t>(seconds);
    }
}

kxTime& kxTime::operator=(const kxString& text) {
    Parse(text);
    return *this;
}

kxTime& kxTime::operator=(int32_t seconds) {
    return *this = kxTime(seconds);
}

kxTime& kxTime::operator=(int64_t seconds) {
    return *this = kxTime(seconds);
}

kxTime& kxTime::operator=(double seconds) {
    return *this = kxTime(seconds);
}

bool kxTime::Parse(const kxString& text) {
    m_Seconds = kUnset;
    // Not trimmed: a blank is a field character like a digit, so "  9:05" reads as 00:09:05.
    const std::string& t = text.Str();
    int fields[3] = {0, 0, 0};
    bool digitRead = false;
    size_t at = 0;
    for (int& field : fields) {
        int taken = 0;
        while (at < t.size() && taken < 2 && (IsAsciiDigit(t[at]) || t[at] == ' ')) {
            if (IsAsciiDigit(t[at])) {
                field = field * 10 + (t[at] - '0');
                digitRead = true;
            }
            ++taken;
            ++at;
        }
        // Any other character ends the field and is its separator; a third digit or blank starts the next.
        if (at < t.size() && !IsAsciiDigit(t[at]) && t[at] != ' ') {
            ++at;
        }
    }
    if (!digitRead) {
        return false;
    }
    int hour = fields[0];
    if (kxString::Lower(kxString(t)).Find("pm") != kxString::npos && hour < 12) {
        hour += 12;
    }
    if (hour > 24 || fields[1] > 60 || fields[2] > 60) {
        return false;
    }
    return Rebuild(hour, fields[1], fields[2]);
}

int kxTime::GetHour() const {
    return IsSet() ? m_Seconds / 3600 : 0;
}

int kxTime::GetMinute() const {
    return IsSet() ? (m_Seconds / 60) % 60 : 0;
}

int kxTime::GetSecond() const {
    return IsSet() ? m_Seconds % 60 : 0;
}

bool kxTime::Rebuild(int hour, int minute, int second) {
    const int32_t seconds = hour * 3600 + minute * 60 + second;
    if (seconds > kSecondsPerDay) {
        return false;
    }
    m_Seconds = seconds;
    return true;
}

bool kxTime::SetHour(int hour) {
    // Never cut to 16 bits: 65541 would set hour 5, a wrong time reported as set.
    if (hour < 0 || hour > 24) {
        return false;
    }
    const kxTime before = IsSet() ? *this : kxTime(0);
    return Rebuild(hour, before.GetMinute(), before.GetSecond());
}

bool kxTime::SetMinute(int minute) {
    if (minute < 0 || minute > 59) {
        return false;
    }
    const kxTime before = IsSet() ? *this : kxTime(0);
    return Rebuild(before.GetHour(), minute, before.GetSecond());
}

bool kxTime::SetSecond(int second) {
    if (second < 0 || second > 59) {
        return false;
    }
    const kxTime before = IsSet() ? *this : kxTime(0);
    return Rebuild(before.GetHour(), before.GetMinute(), second);
}

bool kxTime::Set(int hour, int minute, int second) {
    m_Seconds = kUnset;
    if (hour < 0 || hour > 24 || minute < 0 || minute > 60 || second < 0 || second > 60) {
        return false;
    }
    return Rebuild(hour, minute, second);
}

double kxTime::GetDayFraction() const {
    return m_Seconds < 1 ? 0.0 : m_Seconds * (1.0 / kSecondsPerDay);
}

void kxTime::SetDayFraction(double fraction) {
    m_Seconds = kUnset;
    if (!(fraction >= 0.0) || !std::isfinite(fraction)) {
        return;
    }
    fraction -= std::floor(fraction);
    // Rounded, not truncated: a fraction made from whole seconds comes back as those seconds.
    m_Seconds = static_cast<int32_t>(std::lround(fraction * kSecondsPerDay));
}

kxTime kxTime::Now() {
    std::tm local{};
    if (!LocalCalendarNow(local, ZoneRead::kAgain)) {
        return kxTime();
    }
    return kxTime(static_cast<int64_t>(local.tm_hour) * 3600 + local.tm_min * 60 + local.tm_sec);
}

bool kxTime::IsWithin(const kxTime& other, int32_t toleranceSeconds) const {
    if (!IsSet() || !other.IsSet() || m_Seconds == other.m_Seconds) {
        return true;
    }
    const int32_t tolerance =
        toleranceSeconds < 0 ? 0 : (toleranceSeconds > kSecondsPerDay ? kSecondsPerDay : toleranceSeconds);
    const int32_t difference = m_Seconds > other.m_Seconds ? m_Seconds - other.m_Seconds : other.m_Seconds - m_Seconds;
    return difference <= tolerance;
}

int kxTime::Compare(const kxTime& other) const {
    return m_Seconds == other.m_Seconds ? 0 : (m_Seconds < other.m_Seconds ? -1 : 1);
}

kxString kxTime::FormatHour(bool pad) const {
    return IsSet() ? PartText(GetHour(), pad) : kxString();
}

kxString kxTime::FormatMinute(bool pad) const {
    return IsSet() ? PartText(GetMinute(), pad) : kxString();
}

kxString kxTime::FormatSecond(bool pad) const {
    return IsSet() ? PartText(GetSecond(), pad) : kxString();
}

kxString kxTime::FormatCompact() const {
    if (!IsSet()) {
        return kxString();
    }
    return FormatHour(true).Append(FormatMinute(true)).Append(FormatSecond(true));
}

kxString kxTime::Format(bool pad, bool twelveHour, char separator) const {
    if (!IsSet()) {
        return kxString();
    }
    int hour = GetHour();
    bool pm = false;
    if (twelveHour) {
        hour %= 24; // 24:00:00 is midnight
        pm = hour > 11;
        if (hour > 12) {
            hour -= 12;
        } else if (hour == 0) {
            hour = 12;
        }
    }
    kxString text = PartText(hour, pad);
    if (separator != '\0') {
        text.Append(separator);
    }
    text.Append(FormatMinute(pad));
    if (separator != '\0') {
        text.Append(separator);
    }
    text.Append(FormatSecond(pad));
    if (twelveHour) {
        text.Append(" ").Append(Marker(pm));
    }
    return text;
}
