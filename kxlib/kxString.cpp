#include "kxlib/kxString.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <stdexcept>

#include "kxlib/kxDate.h"
#include "kxlib/kxNarrowBuffer.h"
#include "kxlib/kxTime.h"
#include "platform/AsciiChars.h"
#include "platform/Hex.h"
#include "platform/OsError.h"
#include "platform/TextFormat.h"
#include "platform/Uuid.h"

namespace {

char LowerByte(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char UpperByte(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string LowerCopy(const std::string& text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerByte);
    return lower;
}

// The character classes of FindCharClass, in the C locale.
bool InClasses(char ch, unsigned flags) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool upper = c >= 'A' && c <= 'Z';
    const bool lower = c >= 'a' && c <= 'z';
    const bool digit = c >= '0' && c <= '9';
    return ((flags & kxString::kClassSpace) && IsAsciiWhiteSpace(ch)) || ((flags & kxString::kClassDigit) && digit) ||
           ((flags & kxString::kClassHexDigit) && (digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) ||
           ((flags & kxString::kClassUpper) && upper) || ((flags & kxString::kClassLower) && lower) ||
           ((flags & kxString::kClassControl) && (c < 32 || c == 127)) ||
           ((flags & kxString::kClassPrintable) && c >= 32 && c < 127);
}

// Decimal digits of a 64-bit value by repeated division: the library's own conversion, which for 0 to
// 2147483647 writes what the int overload writes.
std::string IntegerText(unsigned long long magnitude, bool negative) {
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::string text;
    if (negative) {
        text += '-';
    }
    while (n > 0) {
        text += digits[--n];
    }
    return text;
}
std::string SignedText(long long value) {
    const bool negative = value < 0;
    // Negate in unsigned arithmetic so that the most negative value has a magnitude too.
    const unsigned long long magnitude =
        negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    return IntegerText(magnitude, negative);
}

std::string DoubleText(double value) {
    return FormatText("%+2.15f", value);
}

// Every non-overlapping occurrence of |needle| from |from|, left to right, at most |maximum|.
std::vector<size_t> Occurrences(const std::string& text, const std::string& find, bool caseSensitive, size_t maximum,
                                size_t from = 0) {
    std::vector<size_t> found;
    if (text.empty() || find.empty() || maximum == 0) {
        return found;
    }
    try {
        const std::string hay = caseSensitive ? text : LowerCopy(text);
        const std::string needle = caseSensitive ? find : LowerCopy(find);
        for (size_t at = hay.find(needle, from); at != std::string::npos && found.size() < maximum;
             at = hay.find(needle, at + needle.size())) {
            found.push_back(at);
        }
    } catch (const std::bad_alloc&) {
        // What was found so far stands.
    }
    return found;
}

const std::set<kxString>& TrueWords() {
    static const std::set<kxString> words = {"TRUE", "T", "YES", "Y", "ON", "1"};
    return words;
}

// |indent| tabs, |body|, then "\r\n" with |newline|.
kxString XmlLine(int indent, const std::string& body, bool newline) {
    std::string text = indent > 0 ? std::string(static_cast<size_t>(indent), '\t') : std::string();
    text += body;
    if (newline) {
        text += "\r\n";
    }
    return kxString(std::move(text));
}

// The 32-bit strtol: the 64-bit result held at the 32-bit range, as a 32-bit long overflows to its limit.
int32_t Strtol32(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

} // namespace

// ---- Construction ----

kxString::kxString(const kxString* other) {
    if (other != nullptr) {
        m_Text = other->m_Text;
    }
}

kxString::kxString(const char* text, size_t length) {
    if (text != nullptr) {
        m_Text.assign(text, length == npos ? std::strlen(text) : length);
    }
}

kxString::kxString(const kxString& text, size_t count) {
    Assign(text).Repeat(count);
}

const char* kxString::BoolText(bool value, int style) {
    switch (style) {
    case 1:
        return value ? "true" : "false";
    case 2:
        return value ? "1" : "0";
    case 3:
        return value ? "Y" : "N";
    default:
        return "";
    }
}

kxString::kxString(unsigned char value) : m_Text(SignedText(value)) {}
kxString::kxString(short value) : m_Text(SignedText(value)) {}
kxString::kxString(unsigned short value) : m_Text(SignedText(value)) {}
kxString::kxString(int value) : m_Text(SignedText(value)) {}
kxString::kxString(unsigned int value) : m_Text(SignedText(value)) {}
kxString::kxString(long value) : m_Text(SignedText(value)) {}
kxString::kxString(unsigned long value) : m_Text(IntegerText(value, false)) {}
kxString::kxString(long long value) : m_Text(SignedText(value)) {}
kxString::kxString(unsigned long long value) : m_Text(IntegerText(value, false)) {}
kxString::kxString(float value) : m_Text(DoubleText(value)) {}
kxString::kxString(double value) : m_Text(DoubleText(value)) {}
kxString::kxString(const kxDate& date) : kxString(date.FormatDate(1, '-', true)) {}
kxString::kxString(const kxTime& time) : kxString(time.Format(true, false, ':')) {}

char kxString::GetAt(size_t position) const {
    return position < m_Text.size() ? m_Text[position] : '\0';
}

// ---- Assignment and appending ----

kxString& kxString::Assign(const char* text) {
    if (text == nullptr) {
        m_Text.clear();
    } else {
        m_Text.assign(text);
    }
    return *this;
}

kxString& kxString::Assign(const char* text, size_t length) {
    *this = kxString(text, length);
    return *this;
}

kxString& kxString::Assign(const kxString& text) {
    if (&text != this) {
        m_Text = text.m_Text;
    }
    return *this;
}

kxString& kxString::Assign(const std::string& text) {
    m_Text = text;
    return *this;
}

kxString& kxString::Assign(const kxString& source, size_t position, size_t count) {
    m_Text = source.m_Text.substr(position, count);
    return *this;
}

kxString& kxString::Append(const char* text) {
    if (text != nullptr) {
        m_Text.append(text);
    }
    return *this;
}

kxString& kxString::Append(const char* text, size_t count) {
    if (text != nullptr) {
        m_Text.append(text, count == npos ? std::strlen(text) : count);
    }
    return *this;
}

kxString& kxString::Append(const kxString& text) {
    m_Text.append(text.m_Text);
    return *this;
}

kxString& kxString::Append(const kxString& source, size_t position, size_t count) {
    m_Text.append(source.m_Text, position, count);
    return *this;
}

kxString& kxString::Append(char c) {
    m_Text += c;
    return *this;
}

kxString& kxString::Append(bool value) {
    return Append(value ? "true" : "false");
}

kxString& kxString::Append(const kxDate& date) {
    return Append(kxString(date));
}
kxString& kxString::Append(const kxTime& time) {
    return Append(kxString(time));
}

kxString& kxString::Append(const char16_t* text) {
    if (text != nullptr) {
        const kxNarrowBuffer narrow(text);
        if (narrow.Data() != nullptr) {
            m_Text.append(narrow.Data(), narrow.Length());
        }
    }
    return *this;
}

kxString& kxString::Prepend(const char* text, size_t count) {
    if (text != nullptr) {
        m_Text.insert(0, text, count == npos ? std::strlen(text) : count);
    }
    return *this;
}

kxString& kxString::Prepend(const kxString& text) {
    m_Text.insert(0, text.m_Text);
    return *this;
}

kxString& kxString::Prepend(const kxString& source, size_t position, size_t count) {
    m_Text.insert(0, source.m_Text, position, count);
    return *this;
}

size_t kxString::Insert(size_t position, const kxString& source, size_t sourcePosition, size_t sourceCount) {
    const size_t oldLength = m_Text.size();
    if (sourcePosition == npos) {
        sourcePosition = 0;
    }
    if (position > oldLength || source.m_Text.empty() || sourcePosition >= source.m_Text.size()) {
        return oldLength;
    }
    try {
        // Copy first: |source| may be this string.
        const std::string part = source.m_Text.substr(sourcePosition, sourceCount);
        m_Text.insert(position, part);
    } catch (const std::bad_alloc&) {
        return oldLength;
    }
    return m_Text.size();
}

// ---- Formatting ----

const char* kxString::FormatV(const char* format, va_list args) {
    m_Text.clear();
    if (format == nullptr) {
        return nullptr;
    }
    m_Text = ::FormatV(format, args);
    return m_Text.c_str();
}

const char* kxString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const char* text = FormatV(format, args);
    va_end(args);
    return text;
}

kxString kxString::FormattedV(const char* format, va_list args) {
    kxString text;
    text.FormatV(format, args);
    return text;
}

kxString kxString::Formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    kxString text = FormattedV(format, args);
    va_end(args);
    return text;
}

kxString kxString::FormatNumber(double value, int decimals, bool rounded, const kxString& groupSeparator,
                                const kxString& prefix, const kxString& suffix) {
    const bool negative = value < 0;
    std::string integer;
    std::string fraction;
    if (decimals > 0) {
        const std::string text = rounded ? FormatText("%2.*f", decimals, value) : FormatText("%2.15f", value);
        const size_t dot = text.rfind('.');
        integer = text.substr(0, dot);
        if (dot != std::string::npos) {
            fraction = text.substr(dot + 1, static_cast<size_t>(decimals));
        }
    } else {
        const std::string text = rounded ? FormatText("%2.0f", value) : FormatText("%2.15f", value);
        integer = text.substr(0, text.rfind('.'));
    }
    if (negative && integer.size() > 1 && integer[0] == '-') {
        integer.erase(0, 1);
    }
    kxString result;
    if (!integer.empty()) {
        if (groupSeparator.m_Text.empty()) {
            result.m_Text = integer;
        } else {
            for (size_t i = 0; i < integer.size(); ++i) {
                if (i > 0 && (integer.size() - i) % 3 == 0) {
                    result.m_Text += groupSeparator.m_Text;
                }
                result.m_Text += integer[i];
            }
        }
        if (!fraction.empty()) {
            result.m_Text += '.';
            result.m_Text += fraction;
        }
        if (negative) {
            result.m_Text.insert(0, 1, '-');
        }
    }
    if (!result.m_Text.empty()) {
        result.m_Text += suffix.m_Text;
        result.m_Text.insert(0, prefix.m_Text);
    }
    return result;
}

// ---- Trimming ----

kxString& kxString::TrimLeft() {
    m_Text.erase(0, m_Text.find_first_not_of(kAsciiWhiteSpace));
    return *this;
}

kxString& kxString::TrimRight() {
    const size_t last = m_Text.find_last_not_of(kAsciiWhiteSpace);
    m_Text.erase(last == npos ? 0 : last + 1);
    return *this;
}

kxString& kxString::Trim() {
    return TrimRight().TrimLeft();
}

kxString& kxString::TrimLeft(const kxString& chars, bool asSet) {
    if (chars.m_Text.empty()) {
        return *this;
    }
    if (asSet) {
        m_Text.erase(0, m_Text.find_first_not_of(chars.m_Text));
    } else if (m_Text.compare(0, chars.m_Text.size(), chars.m_Text) == 0) {
        m_Text.erase(0, chars.m_Text.size());
    }
    return *this;
}

kxString& kxString::TrimRight(const kxString& chars, bool asSet) {
    if (chars.m_Text.empty()) {
        return *this;
    }
    if (asSet) {
        const size_t last = m_Text.find_last_not_of(chars.m_Text);
        m_Text.erase(last == npos ? 0 : last + 1);
    } else if (EndsWith(chars)) {
        m_Text.erase(m_Text.size() - chars.m_Text.size());
    }
    return *this;
}

kxString& kxString::Trim(const kxString& chars, bool asSet) {
    return TrimRight(chars, asSet).TrimLeft(chars, asSet);
}

kxString kxString::Trimmed(const kxString& text) {
    kxString copy(text);
    return copy.Trim();
}

kxString kxString::Trimmed(const kxString& text, const kxString& chars, bool asSet) {
    kxString copy(text);
    return copy.Trim(chars, asSet);
}

// ---- Case ----

kxString& kxString::MakeLower(size_t from) {
    if (from >= m_Text.size()) {
        from = 0;
    }
    std::transform(m_Text.begin() + static_cast<std::ptrdiff_t>(from), m_Text.end(),
                   m_Text.begin() + static_cast<std::ptrdiff_t>(from), LowerByte);
    return *this;
}

const char* kxString::MakeUpper(size_t from) {
    if (m_Text.empty()) {
        return nullptr;
    }
    if (from >= m_Text.size()) {
        from = 0;
    }
    std::transform(m_Text.begin() + static_cast<std::ptrdiff_t>(from), m_Text.end(),
                   m_Text.begin() + static_cast<std::ptrdiff_t>(from), UpperByte);
    return m_Text.c_str();
}

kxString kxString::Lower(const kxString& text, size_t from) {
    kxString copy(text);
    return copy.MakeLower(from);
}

kxString kxString::Upper(const kxString& text, size_t from) {
    kxString copy(text);
    copy.MakeUpper(from);
    return copy;
}

kxString& kxString::Reverse() {
    std::reverse(m_Text.begin(), m_Text.end());
    return *this;
}

// ---- Searching ----

size_t kxString::Find(size_t start, const kxString& text, bool caseSensitive, size_t n, bool reverse) const {
    const size_t length = m_Text.size();
    const size_t needleLength = text.m_Text.size();
    if (n == 0 || length == 0 || needleLength == 0 || start >= length || needleLength > length - start) {
        return npos;
    }
    try {
        const std::string hay = caseSensitive ? m_Text : LowerCopy(m_Text);
        const std::string needle = caseSensitive ? text.m_Text : LowerCopy(text.m_Text);
        if (!reverse) {
            const std::vector<size_t> found = Occurrences(hay, needle, true, n, start);
            return found.size() == n ? found.back() : npos;
        }
        // From the end: the part leaves out the last |start| characters, and each further occurrence must
        // end where the one before began (no overlap).
        size_t limit = length - start; // occurrences end at or before |limit|
        size_t at = npos;
        for (size_t i = 0; i < n; ++i) {
            if (limit < needleLength) {
                return npos;
            }
            at = hay.rfind(needle, limit - needleLength);
            if (at == npos) {
                return npos;
            }
            limit = at;
        }
        return at;
    } catch (const std::bad_alloc&) {
        return npos;
    }
}

size_t kxString::Find(size_t start, const char* text, bool caseSensitive, size_t n, bool reverse) const {
    return Find(start, kxString(text), caseSensitive, n, reverse);
}

size_t kxString::Find(const kxString& text, bool caseSensitive, size_t n, bool reverse) const {
    return Find(0, text, caseSensitive, n, reverse);
}

size_t kxString::FindAll(const kxString& text, std::vector<size_t>& positions, bool caseSensitive) const {
    const std::vector<size_t> found = Occurrences(m_Text, text.m_Text, caseSensitive, npos);
    try {
        positions.insert(positions.end(), found.begin(), found.end());
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return found.size();
}

size_t kxString::Count(const kxString& text, bool caseSensitive, size_t maximum, size_t* firstPosition) const {
    const std::vector<size_t> found = Occurrences(m_Text, text.m_Text, caseSensitive, maximum);
    if (firstPosition != nullptr) {
        *firstPosition = found.empty() ? npos : found.front();
    }
    return found.size();
}

namespace {

// The first (last, with |reverse|) position from |start| whose character's membership in |set| is |wanted|.
size_t ScanForSet(const std::string& text, const std::string& set, size_t start, bool caseSensitive, bool reverse,
                  bool wanted) {
    if (text.empty() || set.empty()) {
        return std::string::npos;
    }
    try {
        const std::string hay = caseSensitive ? text : LowerCopy(text);
        const std::string chars = caseSensitive ? set : LowerCopy(set);
        auto matches = [&](size_t i) { return (chars.find(hay[i]) != std::string::npos) == wanted; };
        if (!reverse) {
            for (size_t i = start; i < hay.size(); ++i) {
                if (matches(i)) {
                    return i;
                }
            }
            return std::string::npos;
        }
        for (size_t i = std::min(start, hay.size() - 1) + 1; i-- > 0;) {
            if (matches(i)) {
                return i;
            }
        }
    } catch (const std::bad_alloc&) {
    }
    return std::string::npos;
}

size_t ScanForClass(const std::string& text, unsigned flags, size_t start, bool reverse, bool wanted) {
    if (text.empty()) {
        return std::string::npos;
    }
    if (reverse && start == std::string::npos) {
        start = text.size() - 1;
    }
    if (start >= text.size()) {
        return std::string::npos;
    }
    if (!reverse) {
        for (size_t i = start; i < text.size(); ++i) {
            if (InClasses(text[i], flags) == wanted) {
                return i;
            }
        }
        return std::string::npos;
    }
    for (size_t i = start + 1; i-- > 0;) {
        if (InClasses(text[i], flags) == wanted) {
            return i;
        }
    }
    return std::string::npos;
}

} // namespace

size_t kxString::FindOneOf(const kxString& set, size_t start, bool caseSensitive, bool reverse) const {
    return ScanForSet(m_Text, set.m_Text, start, caseSensitive, reverse, true);
}

size_t kxString::FindNotOneOf(const kxString& set, size_t start, bool caseSensitive, bool reverse) const {
    return ScanForSet(m_Text, set.m_Text, start, caseSensitive, reverse, false);
}

size_t kxString::FindCharClass(unsigned flags, size_t start, bool reverse) const {
    return ScanForClass(m_Text, flags, start, reverse, true);
}

size_t kxString::FindNotCharClass(unsigned flags, size_t start, bool reverse) const {
    return ScanForClass(m_Text, flags, start, reverse, false);
}

unsigned kxString::EdgeCharsInSet(const kxString& set, unsigned flags) const {
    if (m_Text.empty() || set.m_Text.empty()) {
        return 0;
    }
    unsigned result = 0;
    if ((flags & 1) && set.m_Text.find(m_Text.front()) != npos) {
        result |= 1;
    }
    if ((flags & 2) && set.m_Text.find(m_Text.back()) != npos) {
        result |= 2;
    }
    return result;
}

bool kxString::StartsWith(const kxString& text, bool caseSensitive, bool skipWhiteSpace) const {
    if (text.m_Text.empty()) {
        return m_Text.empty();
    }
    const size_t begin = skipWhiteSpace ? std::min(m_Text.find_first_not_of(kAsciiWhiteSpace), m_Text.size()) : 0;
    if (m_Text.size() - begin < text.m_Text.size()) {
        return false;
    }
    const std::string head = m_Text.substr(begin, text.m_Text.size());
    return caseSensitive ? head == text.m_Text : LowerCopy(head) == LowerCopy(text.m_Text);
}

bool kxString::EndsWith(const kxString& text, bool caseSensitive, bool skipWhiteSpace) const {
    if (text.m_Text.empty()) {
        return m_Text.empty();
    }
    size_t end = m_Text.size();
    if (skipWhiteSpace) {
        const size_t last = m_Text.find_last_not_of(kAsciiWhiteSpace);
        end = last == npos ? 0 : last + 1;
    }
    if (end < text.m_Text.size()) {
        return false;
    }
    const std::string tail = m_Text.substr(end - text.m_Text.size(), text.m_Text.size());
    return caseSensitive ? tail == text.m_Text : LowerCopy(tail) == LowerCopy(text.m_Text);
}

// ---- Replacing ----

size_t kxString::Replace(const kxString& find, const kxString& replacement, bool caseSensitive, size_t maximum) {
    if (m_Text.empty() || find.m_Text.empty() || find.m_Text == replacement.m_Text) {
        return 0;
    }
    if (find.m_Text.size() == 1 && replacement.m_Text.size() == 1) {
        return ReplaceChar(find.m_Text[0], replacement.m_Text[0], caseSensitive, maximum);
    }
    const std::vector<size_t> found = Occurrences(m_Text, find.m_Text, caseSensitive, maximum);
    if (found.empty()) {
        return 0;
    }
    try {
        // Build the result once at its final length.
        std::string result;
        result.reserve(m_Text.size() - found.size() * find.m_Text.size() + found.size() * replacement.m_Text.size());
        size_t from = 0;
        for (size_t at : found) {
            result.append(m_Text, from, at - from);
            result.append(replacement.m_Text);
            from = at + find.m_Text.size();
        }
        result.append(m_Text, from, npos);
        m_Text.swap(result);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return found.size();
}

size_t kxString::ReplaceChar(char find, char replacement, bool caseSensitive, size_t maximum) {
    if (find == replacement) {
        return 0;
    }
    size_t count = 0;
    const char lowerFind = LowerByte(find);
    for (char& c : m_Text) {
        if (count >= maximum) {
            break;
        }
        if (c == find || (!caseSensitive && LowerByte(c) == lowerFind)) {
            c = replacement;
            ++count;
        }
    }
    return count;
}

kxString kxString::Replaced(const kxString& text, const kxString& find, const kxString& replacement, bool caseSensitive,
                            size_t maximum) {
    kxString copy(text);
    copy.Replace(find, replacement, caseSensitive, maximum);
    return copy;
}

kxString kxString::ReplacedChar(const kxString& text, char find, char replacement, bool caseSensitive, size_t maximum) {
    kxString copy(text);
    copy.ReplaceChar(find, replacement, caseSensitive, maximum);
    return copy;
}

// ---- Splitting ----

size_t kxString::Split(const kxString& delimiters, std::vector<kxString>& items, bool trim, bool keepEmpty) const {
    items.clear();
    if (m_Text.empty()) {
        return 0;
    }
    if (delimiters.m_Text.empty()) {
        items.push_back(*this);
        return items.size();
    }
    size_t from = 0;
    while (true) {
        const size_t at = m_Text.find_first_of(delimiters.m_Text, from);
        kxString piece(m_Text.substr(from, at == npos ? npos : at - from));
        if (trim) {
            piece.Trim();
        }
        if (at == npos) {
            // The text after the last delimiter stays, even when trimming emptied it.
            items.push_back(std::move(piece));
            break;
        }
        if (!piece.m_Text.empty() || keepEmpty) {
            items.push_back(std::move(piece));
        }
        from = at + 1;
        if (from == m_Text.size()) {
            break;
        }
    }
    return items.size();
}

size_t kxString::SplitRuns(std::vector<kxString>& items) const {
    items.clear();
    for (size_t from = 0; from < m_Text.size();) {
        size_t end = from + 1;
        while (end < m_Text.size() && m_Text[end] == m_Text[from]) {
            ++end;
        }
        items.emplace_back(m_Text.substr(from, end - from));
        from = end;
    }
    return items.size();
}

// ---- Parts of the text ----

kxString kxString::Left(size_t n) const {
    return kxString(m_Text.substr(0, n));
}

kxString kxString::Right(size_t n) const {
    return kxString(m_Text.substr(m_Text.size() - std::min(n, m_Text.size())));
}

kxString kxString::Mid(size_t position, size_t count) const {
    return kxString(m_Text.substr(position, count));
}

kxString kxString::Cut(size_t position, size_t count) {
    if (position >= m_Text.size()) {
        return kxString();
    }
    kxString removed(m_Text.substr(position, count));
    m_Text.erase(position, count);
    return removed;
}

kxString& kxString::Repeat(size_t n) {
    if (n == 0 || m_Text.empty()) {
        m_Text.clear();
        return *this;
    }
    if (n > m_Text.max_size() / m_Text.size()) {
        throw std::length_error("kxString::Repeat");
    }
    std::string result;
    result.reserve(m_Text.size() * n);
    for (size_t i = 0; i < n; ++i) {
        result += m_Text;
    }
    m_Text.swap(result);
    return *this;
}

kxString kxString::Repeated(const kxString& text, size_t n) {
    kxString copy(text);
    return copy.Repeat(n);
}

kxString& kxString::Pad(bool atFront, const kxString& padText, size_t width) {
    if (m_Text.size() >= width || padText.m_Text.empty()) {
        return *this;
    }
    const size_t missing = width - m_Text.size();
    std::string fill;
    fill.reserve(missing + padText.m_Text.size());
    while (fill.size() < missing) {
        fill += padText.m_Text;
    }
    fill.resize(missing);
    if (atFront) {
        m_Text.insert(0, fill);
    } else {
        m_Text += fill;
    }
    return *this;
}

kxString kxString::Digits(size_t start, const kxString& stopChars) const {
    kxString digits;
    for (size_t i = start; i < m_Text.size(); ++i) {
        if (stopChars.m_Text.find(m_Text[i]) != npos) {
            break;
        }
        if (IsAsciiDigit(m_Text[i])) {
            digits.m_Text += m_Text[i];
        }
    }
    return digits;
}

kxString& kxString::Fill(char c, size_t from, size_t to) {
    if (from == npos) {
        from = 0;
    }
    if (m_Text.empty() || from >= m_Text.size()) {
        return *this;
    }
    if (to == npos || to > m_Text.size()) {
        to = m_Text.size();
    }
    for (size_t i = from; i < to; ++i) {
        m_Text[i] = c;
    }
    return *this;
}

// ---- Tests and conversions ----

bool kxString::IsEmpty(bool whitespaceIsEmpty) const {
    if (m_Text.empty()) {
        return true;
    }
    return whitespaceIsEmpty && m_Text.find_first_not_of(kAsciiWhiteSpace) == npos;
}

bool kxString::IsNumeric(bool digitsOnly) const {
    if (m_Text.empty()) {
        return false;
    }
    if (digitsOnly) {
        return std::all_of(m_Text.begin(), m_Text.end(), IsAsciiDigit);
    }
    size_t i = m_Text.find_first_not_of(' ');
    bool digit = false;
    bool sign = false;
    bool dot = false;
    for (; i < m_Text.size(); ++i) {
        const char c = m_Text[i];
        if (IsAsciiDigit(c)) {
            digit = true;
        } else if ((c == '+' || c == '-') && !sign && !digit && !dot) {
            sign = true;
        } else if (c == '.' && !dot) {
            dot = true;
        } else {
            return false;
        }
    }
    return digit;
}

bool kxString::IsTrue() const {
    return !m_Text.empty() && TrueWords().count(Upper(*this)) != 0;
}

int32_t kxString::AsLong() const {
    return m_Text.empty() ? 0 : Strtol32(m_Text.c_str());
}

uint32_t kxString::AsULong() const {
    if (m_Text.empty()) {
        return 0;
    }
    // A 32-bit strtoul: a magnitude beyond 32 bits gives the maximum, and a minus sign negates in 32 bits.
    const char* p = m_Text.c_str();
    while (IsAsciiWhiteSpace(*p)) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    if (!IsAsciiDigit(*p)) {
        return 0;
    }
    // Past the range strtoull gives its maximum, which is beyond 32 bits too.
    const unsigned long long magnitude = std::strtoull(p, nullptr, 10);
    if (magnitude > UINT32_MAX) {
        return UINT32_MAX;
    }
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0U - value : value;
}

int kxString::AsInt() const {
    return m_Text.empty() ? 0 : Strtol32(m_Text.c_str());
}

double kxString::AsDouble() const {
    return m_Text.empty() ? 0.0 : std::strtod(m_Text.c_str(), nullptr);
}

int kxString::Compare(const kxString& other, bool caseSensitive, bool prefixOnly, bool trimFirst) const {
    std::string a = m_Text;
    std::string b = other.m_Text;
    if (trimFirst) {
        a = kxString(a).TrimRight().m_Text;
        b = kxString(b).TrimRight().m_Text;
    }
    if (a.empty() || b.empty()) {
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    }
    if (!caseSensitive) {
        a = LowerCopy(a);
        b = LowerCopy(b);
    }
    if (prefixOnly) {
        const size_t n = std::min(a.size(), b.size());
        return a.compare(0, n, b, 0, n);
    }
    return a.compare(b);
}

void kxString::Clear(bool secure) {
    if (secure) {
        // Through a volatile pointer, so the writes are not dropped as dead stores before the storage is freed.
        volatile char* p = m_Text.data();
        for (size_t i = 0; i < m_Text.size(); ++i) {
            p[i] = '\0';
        }
    }
    m_Text.clear();
}

// ---- Library-wide helpers ----

kxString kxString::SystemErrorText(uint32_t code, bool trimEnd) {
    const std::string text = OsErrorText(code);
    if (text.empty()) {
        return kxString();
    }
    kxString result(text + "\r\n");
    return trimEnd ? result.TrimRight() : result;
}

kxString kxString::NewGuidString() {
    CUuidBytes bytes;
    if (!NewRandomUuid(bytes)) {
        return kxString();
    }
    return kxString(UuidText(bytes, '-', HexCase::kLower));
}

const char* kxString::StrStrNoCase(const char* text, const char* find) {
    if (text == nullptr || find == nullptr) {
        return nullptr;
    }
    if (*find == '\0') {
        return text;
    }
    const size_t findLength = std::strlen(find);
    for (const char* p = text; *p != '\0'; ++p) {
        size_t i = 0;
        while (i < findLength && p[i] != '\0' && LowerByte(p[i]) == LowerByte(find[i])) {
            ++i;
        }
        if (i == findLength) {
            return p;
        }
    }
    return nullptr;
}

kxString kxString::XmlAttribute(const kxString& name, const kxString& value) {
    return kxString(" " + name.m_Text + "=\"" + value.m_Text + "\"");
}

kxString kxString::XmlElement(const kxString& name, const kxString& value, bool newline, int indent) {
    return XmlLine(indent, "<" + name.m_Text + ">" + value.m_Text + "</" + name.m_Text + ">", newline);
}

kxString kxString::XmlOpenTag(const kxString& name, bool newline, int indent) {
    return XmlLine(indent, "<" + name.m_Text + ">", newline);
}

kxString kxString::XmlCloseTag(const kxString& name, bool newline, int indent) {
    return XmlLine(indent, "</" + name.m_Text + ">", newline);
}

void kxBytesToHex(const uint8_t* bytes, size_t count, kxString& out) {
    out = kxString(HexEncode(bytes, count, HexCase::kUpper));
}
