#include "kxlib/kxDate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <map>
#include <vector>

#include "kxlib/kxException.h"
#include "kxlib/kxFormatString.h"
#include "platform/AsciiChars.h"
#include "platform/Clock.h"
#include "platform/LocalTime.h"

namespace {

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kMsPerMinute = 60 * kMsPerSecond;
constexpr int64_t kMsPerHour = 60 * kMsPerMinute;
constexpr int64_t kMsPerDay = 24 * kMsPerHour;

const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};
const char* const kDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const int kDaysPerMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Lower-case month name (whole and three-letter) to its number, built on first use.
const std::map<kxString, int>& MonthsByName(bool threeLetters) {
    static const auto build = [](bool three) {
        std::map<kxString, int> map;
        for (int m = 1; m <= 12; ++m) {
            map[kxString::Lower(three ? kxString(kMonthNames[m - 1], 3) : kxString(kMonthNames[m - 1]))] = m;
        }
        return map;
    };
    static const std::map<kxString, int> whole = build(false);
    static const std::map<kxString, int> three = build(true);
    return threeLetters ? three : whole;
}

kxString NameOf(const char* name, int length) {
    switch (length) {
    case kxDate::kWholeName:
        return kxString(name);
    case kxDate::kThreeLetters:
        return kxString(name, 3);
    case kxDate::kFirstLetter:
        return kxString(name, 1);
    default:
        return kxString();
    }
}

// Julian Day Number of a Gregorian date (ACM Algorithm 199).
int64_t JulianDay(int64_t year, int64_t month, int64_t day) {
    const int64_t c = month < 3 ? month + 9 : month - 3;
    const int64_t y = month < 3 ? year - 1 : year;
    const int64_t k = y / 100;
    return (146097 * k) / 4 + (1461 * (y - 100 * k)) / 4 + (153 * c + 2) / 5 + day + 1721119;
}

// The range of values whose parts a kxDateParts can hold.
const int64_t kFirstMs = JulianDay(1, 1, 1) * kMsPerDay;
const int64_t kLastMs = (JulianDay(65535, 12, 31) + 1) * kMsPerDay - 1;

// Checks the parts in the library's order; throws the first failure.
void CheckParts(const kxDateParts& p) {
    if (p.Year == 0) {
        throw kxException("Year cannot be zero.");
    }
    if (p.Month > 12) {
        throw kxException(kxFormatString("Invalid month: %d, valid months: %d through %d.", p.Month, 1, 12));
    }
    const int days = kxDate::DaysInMonthOfYear(p.Month, p.Year); // throws for month 0
    if (p.Day == 0 || p.Day > days) {
        throw kxException(kxFormatString("Invalid day: %d, valid days in %s: %d through %d.", p.Day,
                                         kxDate::MonthName(p.Month, kxDate::kThreeLetters).c_str(), 1, days));
    }
    if (p.Hour >= 24) {
        throw kxException(kxFormatString("Invalid hour: %d, valid hours: %d through %d.", p.Hour, 0, 23));
    }
    if (p.Minute >= 60) {
        throw kxException(kxFormatString("Invalid minute: %d, valid minutes: %d through %d.", p.Minute, 0, 59));
    }
    if (p.Second >= 60) {
        throw kxException(kxFormatString("Invalid second: %d, valid seconds: %d through %d.", p.Second, 0, 59));
    }
    if (p.Millisecond >= 1000) {
        throw kxException(
            kxFormatString("Invalid millisecond: %d, valid milliseconds: %d through %d.", p.Millisecond, 0, 999));
    }
}

int64_t PartsToMs(const kxDateParts& p) {
    CheckParts(p);
    return JulianDay(p.Year, p.Month, p.Day) * kMsPerDay + p.Hour * kMsPerHour + p.Minute * kMsPerMinute +
           p.Second * kMsPerSecond + p.Millisecond;
}

kxDateParts PartsOfTm(const std::tm& local) {
    kxDateParts p;
    p.Year = static_cast<uint16_t>(local.tm_year + 1900);
    p.Month = static_cast<uint16_t>(local.tm_mon + 1);
    p.Day = static_cast<uint16_t>(local.tm_mday);
    p.Hour = static_cast<uint16_t>(local.tm_hour);
    p.Minute = static_cast<uint16_t>(local.tm_min);
    // A leap second shows as 60; the library's seconds end at 59.
    p.Second = static_cast<uint16_t>(std::min(local.tm_sec, 59));
    return p;
}

std::tm TmOfParts(const kxDateParts& p) {
    std::tm local{};
    local.tm_year = p.Year - 1900;
    local.tm_mon = p.Month - 1;
    local.tm_mday = p.Day;
    local.tm_hour = p.Hour;
    local.tm_min = p.Minute;
    local.tm_sec = p.Second;
    return local;
}

// The local date and time of the process clock, with milliseconds.
kxDateParts NowParts() {
    const auto now = GetClock().WallNow();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    std::tm local{};
    if (!LocalCalendarTime(seconds, local)) {
        throw kxException("Failed to properly create an instance of \"kxDate\".");
    }
    kxDateParts p = PartsOfTm(local);
    p.Millisecond = static_cast<uint16_t>(((ms % 1000) + 1000) % 1000);
    return p;
}

// ---- Parsing ----

// The value of a run of digits, held at 65535 (a part never holds more).
uint16_t DigitsValue(const std::string& text, size_t from = 0, size_t count = std::string::npos) {
    uint32_t value = 0;
    for (size_t i = from; i < text.size() && i - from < count && IsAsciiDigit(text[i]); ++i) {
        value = std::min<uint32_t>(value * 10 + static_cast<uint32_t>(text[i] - '0'), 65535);
    }
    return static_cast<uint16_t>(value);
}

bool AllDigits(const std::string& text, size_t from, size_t count) {
    if (from + count > text.size()) {
        return false;
    }
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                       text.begin() + static_cast<std::ptrdiff_t>(from + count), IsAsciiDigit);
}

[[noreturn]] void ThrowWithText(const char* format, const kxString& text) {
    throw kxException(kxFormatString(format, text.c_str()));
}

// ISO 8601: 'YYYYMMDD' or 'YYYY-MM-DD', then optionally "T" and 'HHMMSS' or 'HH:MM:SS' with ".mmm".
kxDateParts ParseIso(const kxString& text) {
    const char* const kNonConforming = "Date string does not conform to ISO8601 standard: \"%s\".";
    const std::string& t = text.Str();
    kxString datePart = text;
    kxString timePart;
    const size_t tee = t.find('T');
    if (tee != std::string::npos) {
        const bool around8 = t.size() > 9 && IsAsciiDigit(t[7]) && IsAsciiDigit(t[9]);
        const bool around10 = t.size() > 11 && IsAsciiDigit(t[9]) && IsAsciiDigit(t[11]);
        if (tee < 8 || t.size() <= 9 || !(around8 || around10)) {
            ThrowWithText(kNonConforming, text);
        }
        datePart = kxString::Trimmed(text.Left(tee));
        timePart = kxString::Trimmed(text.Mid(tee + 1));
    }
    kxDateParts p;
    const std::string& d = datePart.Str();
    if (d.size() == 8 && AllDigits(d, 0, 8)) {
        p.Year = DigitsValue(d, 0, 4);
        p.Month = DigitsValue(d, 4, 2);
        p.Day = DigitsValue(d, 6, 2);
    } else if (d.size() == 10 && d[4] == d[7] && !IsAsciiDigit(d[4]) && AllDigits(d, 0, 4) && AllDigits(d, 5, 2) &&
               AllDigits(d, 8, 2)) {
        p.Year = DigitsValue(d, 0, 4);
        p.Month = DigitsValue(d, 5, 2);
        p.Day = DigitsValue(d, 8, 2);
    } else {
        ThrowWithText(kNonConforming, text);
    }
    std::string h = timePart.Str();
    if (h.empty()) {
        return p;
    }
    if (h.size() < 6 || h.size() > 12) {
        ThrowWithText(kNonConforming, text);
    }
    if (h.size() == 12) {
        const size_t dot = h.find('.');
        if (dot == std::string::npos || dot + 1 == h.size() || !AllDigits(h, dot + 1, h.size() - dot - 1)) {
            ThrowWithText(kNonConforming, text);
        }
        p.Millisecond = DigitsValue(h, dot + 1);
        h.erase(dot);
    }
    if (h.size() == 6 && AllDigits(h, 0, 6)) {
        p.Hour = DigitsValue(h, 0, 2);
        p.Minute = DigitsValue(h, 2, 2);
        p.Second = DigitsValue(h, 4, 2);
    } else if (h.size() == 8 && h[2] == h[5] && !IsAsciiDigit(h[2]) && AllDigits(h, 0, 2) && AllDigits(h, 3, 2) &&
               AllDigits(h, 6, 2)) {
        p.Hour = DigitsValue(h, 0, 2);
        p.Minute = DigitsValue(h, 3, 2);
        p.Second = DigitsValue(h, 6, 2);
    } else {
        ThrowWithText(kNonConforming, text);
    }
    return p;
}

// Field orders of the numeric types 2 to 17, and where each field stands in an all-digit text.
enum class EOrder { MDY, YMD, YDM, DMY };

struct SFieldPlaces {
    size_t Year, Month, Day;
};

SFieldPlaces PlacesOf(EOrder order) {
    switch (order) {
    case EOrder::MDY:
        return {4, 0, 2};
    case EOrder::YMD:
        return {0, 4, 6};
    case EOrder::YDM:
        return {0, 6, 4};
    case EOrder::DMY:
    default:
        return {4, 2, 0};
    }
}

// How much of the time a type shows.
enum class EPrecision { None, Hour, HourMinute, HourMinuteSecond, Milliseconds };

// The precision of the numeric and named types (1 and 30/35 are handled apart).
EPrecision PrecisionOf(int type) {
    if (type >= 2 && type <= 17) {
        static const EPrecision kCycle[] = {EPrecision::HourMinuteSecond, EPrecision::HourMinute, EPrecision::Hour,
                                            EPrecision::None};
        return kCycle[(type - 2) % 4];
    }
    if (type >= 18 && type <= 25) {
        static const EPrecision kPairs[] = {EPrecision::HourMinuteSecond, EPrecision::HourMinute, EPrecision::Hour,
                                            EPrecision::None};
        return kPairs[(type - 18) / 2];
    }
    if ((type >= 26 && type <= 29) || (type >= 31 && type <= 34)) {
        static const EPrecision kCycle[] = {EPrecision::HourMinuteSecond, EPrecision::HourMinute, EPrecision::Hour,
                                            EPrecision::None};
        return kCycle[(type - (type <= 29 ? 26 : 31))];
    }
    return type == 1 ? EPrecision::Milliseconds : EPrecision::None;
}

// The time of day at |precision|, "%02d" fields with |zeroPad| ("%d" without), |separator| 0 meaning none; on
// the 12-hour clock hours 0 to 11 take " am" (0 shows as 12) and 12 to 23 " pm" (13 to 23 show as 1 to 11).
kxString TimeText(const kxDateParts& p, EPrecision precision, bool twelveHour, char separator, bool zeroPad) {
    int hour = p.Hour;
    const char* marker = hour < 12 ? "am" : "pm";
    if (twelveHour) {
        hour %= 12;
        if (hour == 0) {
            hour = 12;
        }
    }
    const kxString sepText = separator ? kxString(separator) : kxString();
    const char* sep = sepText.c_str();
    kxString time;
    switch (precision) {
    case EPrecision::Milliseconds:
        time.Format(zeroPad ? "%02d%s%02d%s%02d.%03d" : "%d%s%d%s%d.%d", hour, sep, p.Minute, sep, p.Second,
                    p.Millisecond);
        break;
    case EPrecision::HourMinuteSecond:
        time.Format(zeroPad ? "%02d%s%02d%s%02d" : "%d%s%d%s%d", hour, sep, p.Minute, sep, p.Second);
        break;
    case EPrecision::HourMinute:
        time.Format(zeroPad ? "%02d%s%02d" : "%d%s%d", hour, sep, p.Minute);
        break;
    case EPrecision::Hour:
        time.Format(zeroPad ? "%02d" : "%d", hour);
        break;
    case EPrecision::None:
        break;
    }
    if (twelveHour) {
        time.Append(" ").Append(marker);
    }
    return time;
}

// Numeric dates in the type's field order, with the time the type shows.
kxDateParts ParseNumeric(const kxString& text, int type) {
    const std::string& t = text.Str();
    const EOrder order = static_cast<EOrder>((type - 2) / 4);
    const EPrecision precision = PrecisionOf(type);
    const bool withTime = precision != EPrecision::None;
    kxDateParts p;
    if (std::all_of(t.begin(), t.end(), IsAsciiDigit)) {
        const SFieldPlaces places = PlacesOf(order);
        p.Year = DigitsValue(t, places.Year, 4);
        p.Month = DigitsValue(t, places.Month, 2);
        p.Day = DigitsValue(t, places.Day, 2);
        if (!withTime) {
            if (t.size() > 8) {
                ThrowWithText("Date string should not contain a time portion: \"%s\"", text);
            }
            return p;
        }
        if (t.size() != 14) {
            throw kxException(
                kxFormatString("Date/Time string too %s: \"%s\".", t.size() < 14 ? "short" : "long", text.c_str()));
        }
        p.Hour = DigitsValue(t, 8, 2);
        if (precision != EPrecision::Hour) {
            p.Minute = DigitsValue(t, 10, 2);
        }
        if (precision == EPrecision::HourMinuteSecond) {
            p.Second = DigitsValue(t, 12, 2);
        }
        return p;
    }

    const size_t formatting =
        static_cast<size_t>(std::count_if(t.begin(), t.end(), [](char c) { return !IsAsciiDigit(c); }));
    const kxString lower = kxString::Lower(text);
    const bool marked = lower.EndsWith("am") || lower.EndsWith("pm");
    const size_t fewest = withTime ? 3 : 2;
    const size_t most = withTime ? (marked ? 8 : 5) : 2;
    if (formatting < fewest || formatting > most) {
        throw kxException(kxFormatString("Date/Time string contains too %s formatting characters: \"%s\"",
                                         formatting < fewest ? "few" : "many", text.c_str()));
    }

    // The digit runs in order: the three date numbers, then hour, minute and second.
    std::vector<uint16_t> numbers;
    size_t end = 0; // just past the last run read
    for (size_t i = 0; i < t.size();) {
        if (!IsAsciiDigit(t[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < t.size() && IsAsciiDigit(t[j])) {
            ++j;
        }
        if (numbers.size() == 3 && !withTime) {
            ThrowWithText("Date string should not contain a time portion: \"%s\"", text);
        }
        if (numbers.size() == 6) {
            ThrowWithText("Date/Time string contains an unknown component at the end of the string: \"%s\".", text);
        }
        numbers.push_back(DigitsValue(t, i, j - i));
        end = j;
        i = j;
    }
    numbers.resize(6, 0);
    const uint16_t first = numbers[0], second = numbers[1], third = numbers[2];
    switch (order) {
    case EOrder::MDY:
        p.Month = first, p.Day = second, p.Year = third;
        break;
    case EOrder::YMD:
        p.Year = first, p.Month = second, p.Day = third;
        break;
    case EOrder::YDM:
        p.Year = first, p.Day = second, p.Month = third;
        break;
    case EOrder::DMY:
        p.Day = first, p.Month = second, p.Year = third;
        break;
    }
    if (!withTime) {
        return p;
    }
    p.Hour = numbers[3];
    p.Minute = numbers[4];
    p.Second = numbers[5];
    // After the time only blanks and one "am" or "pm" marker.
    kxString tail = kxString::Lower(text.Mid(end));
    tail.Replace(" ", "");
    if (!(tail.IsEmpty() || tail == "am" || tail == "pm")) {
        ThrowWithText("Date/Time string contains an unknown component at the end of the string: \"%s\".", text);
    }
    if (tail == "pm" && p.Hour < 12) {
        p.Hour = static_cast<uint16_t>(p.Hour + 12);
    } else if (tail == "am" && p.Hour == 12) {
        p.Hour = 0;
    }
    return p;
}

uint16_t MonthOfPiece(const kxString& piece) {
    const kxString lower = kxString::Lower(piece);
    for (bool three : {true, false}) {
        const auto& names = MonthsByName(three);
        const auto found = names.find(lower);
        if (found != names.end()) {
            return static_cast<uint16_t>(found->second);
        }
    }
    if (piece.IsNumeric(true)) {
        const uint16_t month = DigitsValue(piece.Str());
        if (month >= 1 && month <= 12) {
            return month;
        }
    }
    ThrowWithText("Invalid month name: \"%s\".", piece);
}

// A year piece is digits only: a time such as "10:15:20" in the year's place means the text has another type.
uint16_t YearOfPiece(const kxString& piece) {
    return piece.IsNumeric(true) ? DigitsValue(piece.Str()) : 0;
}

// "h:m:s" with missing parts 0; returns how many parts the piece had.
size_t ReadTimePiece(const kxString& piece, kxDateParts& p) {
    std::vector<kxString> parts;
    piece.Split(":", parts, true, true);
    uint16_t* const targets[] = {&p.Hour, &p.Minute, &p.Second};
    for (size_t i = 0; i < 3; ++i) {
        *targets[i] = i < parts.size() ? DigitsValue(parts[i].Str()) : 0;
    }
    return parts.size();
}

// Dates with month (and day) names: 'Mar 15 2012 8:05:09 EST', 'Tue, Mar 15, 2012 8:05:09',
// 'Tue Mar 15 8:05:09 EST 2012'.
kxDateParts ParseNamed(const kxString& text, int type) {
    std::vector<kxString> split;
    text.Split(" ", split, true, false);
    std::vector<kxString> pieces;
    std::copy_if(split.begin(), split.end(), std::back_inserter(pieces),
                 [](const kxString& s) { return !s.IsEmpty(); });
    const int count = static_cast<int>(pieces.size());
    const char* const kTooFew =
        "Dates of this format must contain at least three parts. Only %d parts were found in: \"%s\".";
    kxDateParts p;
    if (type == 30 || type == 35) {
        if (text.Length() < 27) {
            ThrowWithText("Date string too short: \"%s\".", text);
        }
        if (count != 6) {
            throw kxException(kxFormatString("Dates of this format must contain six parts. %d parts were found in: "
                                             "\"%s\".",
                                             count, text.c_str()));
        }
        const size_t timeParts = ReadTimePiece(pieces[3], p);
        if (timeParts != 3) {
            throw kxException(kxFormatString("Dates of this format must contain three time parts. %d time parts "
                                             "were found in: \"%s\".",
                                             static_cast<int>(timeParts), text.c_str()));
        }
        p.Month = MonthOfPiece(pieces[1]);
        p.Day = DigitsValue(pieces[2].Str());
        p.Year = YearOfPiece(pieces[5]);
        return p;
    }
    if (type >= 18 && type <= 25) {
        if (count < 3) {
            throw kxException(kxFormatString(kTooFew, count, text.c_str()));
        }
        if (count > 5) {
            throw kxException(kxFormatString("Dates of this format must contain at least three parts and no more "
                                             "than five. %d parts were found in: \"%s\".",
                                             count, text.c_str()));
        }
        pieces.resize(5);
        p.Month = MonthOfPiece(pieces[0]);
        p.Day = DigitsValue(pieces[1].Str());
        p.Year = YearOfPiece(pieces[2]);
        ReadTimePiece(pieces[3], p);
        return p;
    }
    // 26 to 29 and 31 to 34.
    const bool withTime = PrecisionOf(type) != EPrecision::None;
    if (count < (withTime ? 5 : 4)) {
        throw kxException(kxFormatString(kTooFew, count, text.c_str()));
    }
    for (kxString& piece : pieces) {
        piece.Trim(" ,;.-_", true);
    }
    p.Month = MonthOfPiece(pieces[1]);
    p.Day = DigitsValue(pieces[2].Str());
    p.Year = YearOfPiece(pieces[3]);
    if (withTime) {
        ReadTimePiece(pieces[4], p);
    }
    return p;
}

// Parses one definite type and checks the parts.
kxDateParts ParseType(const kxString& text, int type) {
    kxDateParts p;
    if (type == 1) {
        p = ParseIso(text);
    } else if (type <= 17) {
        p = ParseNumeric(text, type);
    } else {
        p = ParseNamed(text, type);
    }
    CheckParts(p);
    return p;
}

} // namespace

// ---- Construction ----

kxDate::kxDate(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute, uint16_t second,
               uint16_t millisecond)
    : kxDate(kxDateParts{year, month, day, hour, minute, second, millisecond}) {}

kxDate::kxDate(const kxDateParts& parts) : m_Ms(PartsToMs(parts)) {}

kxDate::kxDate(const kxString& text, int formatType) {
    try {
        m_Ms = PartsToMs(ParseParts(text, formatType));
    } catch (const kxException&) {
        m_Ms = 0;
        throw;
    } catch (const std::exception&) {
        m_Ms = 0;
        throw kxException("Failed to properly create an instance of \"kxDate\".");
    }
}

kxDate::kxDate(std::time_t time) {
    SetTimeT(time);
}

kxDate kxDate::Now() {
    return kxDate(NowParts());
}

kxDate kxDate::Today() {
    kxDateParts p = NowParts();
    p.Hour = p.Minute = p.Second = p.Millisecond = 0;
    return kxDate(p);
}

void kxDate::SetParts(const kxDateParts& parts) {
    m_Ms = PartsToMs(parts);
}

bool kxDate::SetTimeT(std::time_t time) {
    std::tm local{};
    if (time == static_cast<std::time_t>(-1) || !LocalCalendarTime(time, local)) {
        return false;
    }
    const kxDateParts p = PartsOfTm(local);
    if (local.tm_year + 1900 < 1 || local.tm_year + 1900 > 65535) {
        return false;
    }
    m_Ms = PartsToMs(p);
    return true;
}

kxDateParts kxDate::ParseParts(const kxString& text, int formatType) {
    if (text.Length() < 8) {
        ThrowWithText("Date string too short: \"%s\".", text);
    }
    if (formatType < 0 || formatType > kLastFormatType) {
        throw kxException("Unknown date format type.");
    }
    if (formatType != 0) {
        return ParseType(text, formatType);
    }
    // Detect the type: a leading digit means a numeric or ISO form, anything else a form with names.
    const bool digit = IsAsciiDigit(text.GetAt(0));
    for (int type = digit ? 1 : 26; type <= (digit ? 25 : kLastFormatType); ++type) {
        try {
            return ParseType(text, type);
        } catch (const kxException&) {
            // The next type may fit.
        }
    }
    CheckParts(kxDateParts{}); // throws "Year cannot be zero."
    return kxDateParts{};
}

// ---- Accessors ----

int64_t kxDate::DayNumber() const {
    return m_Ms / kMsPerDay;
}

int32_t kxDate::MsOfDay() const {
    return static_cast<int32_t>(m_Ms % kMsPerDay);
}

double kxDate::Value() const {
    if (!HasDate()) {
        return 0;
    }
    return static_cast<double>(DayNumber()) + static_cast<double>(MsOfDay()) / static_cast<double>(kMsPerDay);
}

kxDateParts kxDate::GetParts() const {
    kxDateParts p;
    if (!HasDate()) {
        return p;
    }
    // The inverse of ACM Algorithm 199.
    const int64_t n = DayNumber();
    const int64_t k = (4 * n - 6884477) / 146097;
    const int64_t d = 4 * n - ((146097 * k) / 4) * 4 - 6884480;
    const int64_t y = (d + 3) / 1461;
    const int64_t e = ((d - 1461 * y + 7) / 4) * 5;
    const int64_t m = (e - 3) / 153;
    p.Day = static_cast<uint16_t>(((e - 3) % 153 + 5) / 5);
    if (m > 9) {
        p.Month = static_cast<uint16_t>(m - 9);
        p.Year = static_cast<uint16_t>(100 * k + y + 1);
    } else {
        p.Month = static_cast<uint16_t>(m + 3);
        p.Year = static_cast<uint16_t>(100 * k + y);
    }
    const int32_t ms = MsOfDay();
    p.Hour = static_cast<uint16_t>(ms / kMsPerHour);
    p.Minute = static_cast<uint16_t>(ms / kMsPerMinute % 60);
    p.Second = static_cast<uint16_t>(ms / kMsPerSecond % 60);
    p.Millisecond = static_cast<uint16_t>(ms % kMsPerSecond);
    return p;
}

int kxDate::YearInCentury() const {
    return GetParts().Year % 100;
}

int kxDate::Century() const {
    const int year = GetParts().Year;
    return year - year % 100;
}

int kxDate::PreviousYear() const {
    return HasDate() ? GetParts().Year - 1 : 0;
}

int kxDate::NextYear() const {
    return HasDate() ? GetParts().Year + 1 : 0;
}

int kxDate::DayOfWeek() const {
    if (!HasDate()) {
        return 0;
    }
    const int monday0 = static_cast<int>(DayNumber() % 7); // 0 Monday .. 6 Sunday
    return monday0 == 6 ? 1 : monday0 + 2;
}

bool kxDate::IsWeekend() const {
    const int day = DayOfWeek();
    return day == 1 || day == 7;
}

bool kxDate::IsWeekday() const {
    return HasDate() && !IsWeekend();
}

int kxDate::DayOfYear() const {
    if (!HasDate()) {
        return 0;
    }
    return static_cast<int>(DayNumber() - JulianDay(GetParts().Year, 1, 1)) + 1;
}

int kxDate::WeekOfYear() const {
    return HasDate() ? (DayOfYear() + 6) / 7 : 0;
}

int kxDate::DaysInYear() const {
    if (!HasDate()) {
        return 0;
    }
    return IsLeapYear() ? 366 : 365;
}

bool kxDate::IsLeapYear() const {
    return HasDate() && IsLeapYear(GetParts().Year);
}

kxDate kxDate::LastDayOfYear() const {
    if (!HasDate()) {
        return kxDate();
    }
    return kxDate(GetParts().Year, 12, 31);
}

void kxDate::GoToLastDayOfYear() {
    *this = LastDayOfYear();
}

bool kxDate::HasNoTime() const {
    return HasDate() && MsOfDay() == 0;
}

double kxDate::TimeFraction() const {
    return HasDate() ? static_cast<double>(MsOfDay()) / static_cast<double>(kMsPerDay) : 0.0;
}

int32_t kxDate::SecondsOfDay() const {
    return HasDate() ? (MsOfDay() + 500) / 1000 : 0;
}

int32_t kxDate::MillisecondsOfDay() const {
    return HasDate() ? MsOfDay() : 0;
}

double kxDate::AsNumber() const {
    if (!HasDate()) {
        return 0;
    }
    const kxDateParts p = GetParts();
    return p.Year * 10000.0 + p.Month * 100.0 + p.Day + TimeFraction();
}

float kxDate::AsFloat() const {
    return static_cast<float>(AsNumber());
}

int kxDate::AsInt() const {
    return static_cast<int>(AsNumber());
}

int32_t kxDate::AsLong() const {
    return static_cast<int32_t>(AsNumber());
}

uint32_t kxDate::AsULong() const {
    return static_cast<uint32_t>(AsNumber());
}

kxString kxDate::MonthName(int length) const {
    return HasDate() ? MonthName(GetParts().Month, length) : kxString();
}

kxString kxDate::DayName(int length) const {
    return HasDate() ? DayName(DayOfWeek(), length) : kxString();
}

kxString kxDate::TimeZoneName(bool abbreviate) const {
    if (!HasDate()) {
        return kxString();
    }
    std::tm local = TmOfParts(GetParts());
    local.tm_isdst = -1;
    std::time_t instant = 0;
    if (!LocalInstant(local, instant)) {
        return kxString();
    }
    char name[80] = {};
    if (std::strftime(name, sizeof(name), "%Z", &local) == 0) {
        return kxString();
    }
    const kxString whole(name);
    if (!abbreviate || whole.Find(" ") == kxString::npos) {
        return whole;
    }
    std::vector<kxString> words;
    whole.Split(" ", words);
    kxString letters;
    for (const kxString& word : words) {
        if (!word.IsEmpty()) {
            letters.Append(word.GetAt(0));
        }
    }
    return letters;
}

bool kxDate::ToTimeT(std::time_t& time) const {
    if (!HasDate()) {
        return false;
    }
    std::tm local = TmOfParts(GetParts());
    local.tm_isdst = -1;
    return LocalInstant(local, time);
}

kxSecureString kxDate::ToIso8601() const {
    if (!HasDate()) {
        return kxSecureString();
    }
    const kxDateParts p = GetParts();
    return kxSecureString(kxFormatString("%d-%02d-%02dT%02d:%02d:%02d.%03d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                                         p.Second, p.Millisecond));
}

// ---- Text ----
//
// Format types (Y, M, D the year, month and day; the numeric pairs are "%d%s%d%s%d", or "%02d%s%02d%s%02d"
// with zero padding, around the caller's separator):
//   1        "%02d-%02d-%02d" of Y, M, D, "T", the time with milliseconds on the 24-hour clock with ":"
//   2..5     M D Y     with h:m:s, h:m, h, none
//   6..9     Y M D     the same
//   10..13   Y D M     the same
//   14..17   D M Y     the same
//   18..25   "%s %d %d" of the month's three letters, D, Y; 18/19 h:m:s, 20/21 h:m, 22/23 h, 24/25 none; the
//            even types end in " " and the zone's abbreviated name
//   26..29   "%s, %s %d, %d" of the day's and month's three letters, D, Y; h:m:s, h:m, h, none
//   30       "%s %s %d %d:%d:%d %s %d": day, month, D, hour, minute, second, zone, Y
//   31..34   as 26..29 with whole names
//   35       as 30 with whole names
// The time, where a type shows one, follows the date and the between text.

kxString kxDate::FormatWith(int formatType, int timeType, char dateSeparator, char timeSeparator, const char* between,
                            bool dateZeroPad, bool timeZeroPad) const {
    if (!HasDate() || formatType < 1 || formatType > kLastFormatType) {
        return kxString();
    }
    const kxDateParts p = GetParts();
    const int dayOfWeek = DayOfWeek();
    const kxString dateSep = dateSeparator ? kxString(dateSeparator) : kxString();
    bool twelveHour = timeType == 2 || timeType == 3 || timeType == 4;
    const EPrecision precision = PrecisionOf(formatType);
    kxString text;
    if (formatType == 1) {
        text = kxFormatString("%02d%s%02d%s%02d", p.Year, "-", p.Month, "-", p.Day);
        between = "T";
        timeSeparator = ':';
        twelveHour = false;
    } else if (formatType <= 17) {
        const char* pattern = dateZeroPad ? "%02d%s%02d%s%02d" : "%d%s%d%s%d";
        int a = 0, b = 0, c = 0;
        switch (static_cast<EOrder>((formatType - 2) / 4)) {
        case EOrder::MDY:
            a = p.Month, b = p.Day, c = p.Year;
            break;
        case EOrder::YMD:
            a = p.Year, b = p.Month, c = p.Day;
            break;
        case EOrder::YDM:
            a = p.Year, b = p.Day, c = p.Month;
            break;
        case EOrder::DMY:
            a = p.Day, b = p.Month, c = p.Year;
            break;
        }
        text.Format(pattern, a, dateSep.c_str(), b, dateSep.c_str(), c);
    } else if (formatType <= 25) {
        text = kxFormatString("%s %d %d", MonthName(p.Month, kThreeLetters).c_str(), p.Day, p.Year);
    } else if (formatType == 30 || formatType == 35) {
        const int length = formatType == 30 ? kThreeLetters : kWholeName;
        text = kxFormatString("%s %s %d %d:%d:%d %s %d", DayName(dayOfWeek, length).c_str(),
                              MonthName(p.Month, length).c_str(), p.Day, p.Hour, p.Minute, p.Second,
                              TimeZoneName(true).c_str(), p.Year);
    } else {
        const int length = formatType <= 29 ? kThreeLetters : kWholeName;
        text = kxFormatString("%s, %s %d, %d", DayName(dayOfWeek, length).c_str(), MonthName(p.Month, length).c_str(),
                              p.Day, p.Year);
    }

    if (precision != EPrecision::None) {
        text.Append(between).Append(TimeText(p, precision, twelveHour, timeSeparator, timeZeroPad));
    }
    if (formatType >= 18 && formatType <= 24 && formatType % 2 == 0) {
        text.Append(" ").Append(TimeZoneName(true));
    }
    return text;
}

kxString kxDate::FormatDate(int formatType, char separator, bool zeroPad) const {
    return FormatWith(formatType, 0, separator, ':', "", zeroPad, zeroPad);
}

kxString kxDate::FormatTime(int timeType, char separator, bool zeroPad) const {
    static const EPrecision kByType[] = {EPrecision::Milliseconds, EPrecision::HourMinuteSecond, EPrecision::HourMinute,
                                         EPrecision::Hour};
    if (!HasDate() || timeType < 1 || timeType > 8) {
        return kxString();
    }
    return TimeText(GetParts(), kByType[(timeType - 1) % 4], timeType <= 4, separator, zeroPad);
}

kxString kxDate::FormatDateTime(int formatType, bool twentyFourHour, char dateSeparator, char timeSeparator,
                                const kxString& between, bool dateZeroPad, bool timeZeroPad) const {
    return FormatWith(formatType, twentyFourHour ? 6 : 2, dateSeparator, timeSeparator, between.c_str(), dateZeroPad,
                      timeZeroPad);
}

kxString kxDate::FormatStrftime(const kxString& pattern) const {
    if (!HasDate() || pattern.IsEmpty()) {
        return kxString();
    }
    std::tm local = TmOfParts(GetParts());
    local.tm_wday = DayOfWeek() - 1;
    local.tm_yday = DayOfYear() - 1;
    local.tm_isdst = 0;
    std::vector<char> buffer(pattern.Length() + 1000);
    const size_t written = std::strftime(buffer.data(), buffer.size(), pattern.c_str(), &local);
    return kxString(buffer.data(), written);
}

// ---- Names and calendar rules ----

kxString kxDate::MonthName(int month, int length) {
    return (month >= 1 && month <= 12) ? NameOf(kMonthNames[month - 1], length) : kxString();
}

kxString kxDate::DayName(int day, int length) {
    return (day >= 1 && day <= 7) ? NameOf(kDayNames[day - 1], length) : kxString();
}

int kxDate::DaysInMonth(int month, bool leapYear) {
    if (month < 1 || month > 12) {
        throw kxException(kxFormatString("Index (%d) is an invalid eMonths enum.", month));
    }
    return kDaysPerMonth[month - 1] + (month == kxDate::February && leapYear ? 1 : 0);
}

int kxDate::DaysInMonthOfYear(int month, int year) {
    return DaysInMonth(month, IsLeapYear(year));
}

bool kxDate::IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// ---- Arithmetic ----

void kxDate::Shift(int64_t count, int64_t unitMs, bool subtract) {
    if (!HasDate()) {
        return;
    }
    int64_t delta = 0;
    int64_t moved = 0;
    if (__builtin_mul_overflow(count, unitMs, &delta) ||
        (subtract ? __builtin_sub_overflow(m_Ms, delta, &moved) : __builtin_add_overflow(m_Ms, delta, &moved))) {
        return;
    }
    if (moved < kFirstMs || moved > kLastMs) {
        return;
    }
    m_Ms = moved;
}

void kxDate::AddDays(int64_t days) {
    Shift(days, kMsPerDay, false);
}
void kxDate::SubtractDays(int64_t days) {
    Shift(days, kMsPerDay, true);
}
void kxDate::AddHours(int64_t hours) {
    Shift(hours, kMsPerHour, false);
}
void kxDate::SubtractHours(int64_t hours) {
    Shift(hours, kMsPerHour, true);
}
void kxDate::AddMinutes(int64_t minutes) {
    Shift(minutes, kMsPerMinute, false);
}
void kxDate::SubtractMinutes(int64_t minutes) {
    Shift(minutes, kMsPerMinute, true);
}
void kxDate::AddSeconds(int64_t seconds) {
    Shift(seconds, kMsPerSecond, false);
}
void kxDate::SubtractSeconds(int64_t seconds) {
    Shift(seconds, kMsPerSecond, true);
}
void kxDate::AddMilliseconds(int64_t milliseconds) {
    Shift(milliseconds, 1, false);
}
void kxDate::SubtractMilliseconds(int64_t milliseconds) {
    Shift(milliseconds, 1, true);
}

kxDate kxDate::PlusDays(int64_t days) const {
    kxDate moved(*this);
    moved.AddDays(days);
    return moved;
}

kxDate kxDate::MinusDays(int64_t days) const {
    kxDate moved(*this);
    moved.SubtractDays(days);
    return moved;
}

int64_t kxDate::DaysBetween(const kxDate& other) const {
    if (!HasDate() || !other.HasDate()) {
        return 0;
    }
    const int64_t difference = DayNumber() - other.DayNumber();
    return difference < 0 ? -difference : difference;
}

int kxDate::Compare(const kxDate& other) const {
    return m_Ms == other.m_Ms ? 0 : (m_Ms > other.m_Ms ? 1 : -1);
}

template <typename Change> void kxDate::ChangePart(Change change) {
    if (!HasDate()) {
        return;
    }
    kxDateParts p = GetParts();
    change(p);
    m_Ms = PartsToMs(p);
}

void kxDate::SetYear(uint16_t year) {
    ChangePart([year](kxDateParts& p) { p.Year = year; });
}
void kxDate::SetMonth(uint16_t month) {
    ChangePart([month](kxDateParts& p) { p.Month = month; });
}
void kxDate::SetDay(uint16_t day) {
    ChangePart([day](kxDateParts& p) { p.Day = day; });
}
void kxDate::SetHour(uint16_t hour) {
    ChangePart([hour](kxDateParts& p) { p.Hour = hour; });
}
void kxDate::SetMinute(uint16_t minute) {
    ChangePart([minute](kxDateParts& p) { p.Minute = minute; });
}
void kxDate::SetSecond(uint16_t second) {
    ChangePart([second](kxDateParts& p) { p.Second = second; });
}
void kxDate::SetMillisecond(uint16_t millisecond) {
    ChangePart([millisecond](kxDateParts& p) { p.Millisecond = millisecond; });
}

void kxDate::SetTimeFraction(double fraction) {
    if (!HasDate() || !(fraction >= 0.0 && fraction < 1.0)) {
        return;
    }
    const int64_t ms = std::min<int64_t>(
        static_cast<int64_t>(std::floor(fraction * static_cast<double>(kMsPerDay) + 0.5)), kMsPerDay - 1);
    m_Ms = DayNumber() * kMsPerDay + ms;
}
