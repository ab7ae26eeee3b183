#include "foundation/TextHelpers.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/AsciiChars.h"
#include "platform/OsError.h"

bool SplitToItems(char separator, const std::string& text, CItemMap& items) {
    items.clear();
    if (text.empty()) {
        return false;
    }
    int number = 1;
    std::string current;
    for (char c : text) {
        if (c == separator) {
            items[number++] = current;
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        items[number] = current;
    }
    return true;
}

std::string GetItem(const CItemMap& items, int number) {
    auto it = items.find(number);
    return it == items.end() ? std::string() : it->second;
}

std::string SafeMid(const std::string& text, int start, int count) {
    const size_t from = start < 0 ? 0 : static_cast<size_t>(start);
    if (from >= text.size() || count <= 0) {
        return std::string();
    }
    return text.substr(from, static_cast<size_t>(count));
}

std::string SafeMid(const std::string& text, int start) {
    const size_t from = start < 0 ? 0 : static_cast<size_t>(start);
    if (from >= text.size()) {
        return std::string();
    }
    return text.substr(from);
}

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

std::string TrimChars(const std::string& text, std::string_view blanks) {
    const size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string::npos) {
        return std::string();
    }
    return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

bool IsAllDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), IsAsciiDigit);
}

int64_t LeadingInt64(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value > (INT64_MAX - digit) / 10) {
            return negative ? INT64_MIN : INT64_MAX;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

int LeadingInt(const std::string& text) {
    const int64_t value = LeadingInt64(text);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

std::string IntToString(int value) {
    return std::to_string(value);
}

std::string LookupText(const CStringMap& map, const std::string& key) {
    auto it = map.find(key);
    return it == map.end() ? std::string() : it->second;
}

namespace {

// Digits and exactly one ".", with an optional "-" in front: a sign anywhere else would be dropped silently by
// FormatAmount and AmountToCents and turn the text into a different amount.
bool HasAmountCharacters(const std::string& text) {
    size_t points = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            ++points;
        } else if (c == '-') {
            if (i != 0) {
                return false;
            }
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    return points == 1;
}

} // namespace

bool IsValidAmount(const std::string& text, bool shortForm) {
    const size_t length = text.size();
    if (length < 3 || length > (shortForm ? 7u : 9u)) {
        return false;
    }
    if (text.find('-') != std::string::npos && length > 8) {
        return false;
    }
    return text[length - 3] == '.' && HasAmountCharacters(text);
}

bool IsValidThreeDecimals(const std::string& text) {
    const size_t length = text.size();
    if (length < 4 || length > 7) {
        return false;
    }
    return text[length - 4] == '.' && HasAmountCharacters(text);
}

namespace {

std::string RemoveAll(std::string text, char c) {
    text.erase(std::remove(text.begin(), text.end(), c), text.end());
    return text;
}

// Blanks and "+" go; every "C" or "-" goes and makes the amount negative.
std::string StripSigns(const std::string& text, bool& negative) {
    std::string result = RemoveAll(text, ' ');
    negative = false;
    if (result.find('C') != std::string::npos) {
        result = RemoveAll(result, 'C');
        negative = true;
    }
    if (result.find('-') != std::string::npos) {
        result = RemoveAll(result, '-');
        negative = true;
    }
    return RemoveAll(result, '+');
}

// Exactly two digits after the first ".", filled with "0" or cut (no rounding).
std::string FixTwoDecimals(std::string text) {
    const size_t point = text.find('.');
    if (point == std::string::npos) {
        return text;
    }
    const size_t wanted = point + 3;
    if (text.size() < wanted) {
        text.append(wanted - text.size(), '0');
    } else {
        text.resize(wanted);
    }
    return text;
}

} // namespace

std::string FormatAmount(const std::string& text) {
    bool negative = false;
    std::string amount = RemoveAll(FixTwoDecimals(StripSigns(text, negative)), '.');
    if (amount.size() < 3) {
        amount.insert(0, 3 - amount.size(), '0');
    }
    amount.insert(amount.size() - 2, ".");
    if (negative) {
        amount.insert(0, "-");
    }
    amount.erase(0, amount.find_first_not_of('0'));
    if (amount.size() < 4) {
        amount.insert(0, "0");
    }
    return amount;
}

long AmountToCents(const std::string& text) {
    bool negative = false;
    std::string amount = StripSigns(text, negative);
    if (amount.empty()) {
        amount = ".00";
    }
    amount = RemoveAll(FixTwoDecimals(amount), '.');
    if (negative) {
        amount.insert(0, "-");
    }
    // strtol stops at the first character that is not a digit and saturates instead of overflowing.
    return std::strtol(amount.c_str(), nullptr, 10);
}

std::string CentsToAmount(long cents) {
    return FormatAmount(std::to_string(cents));
}

namespace {

struct SCodeText {
    uint64_t Code;
    const char* Text;
};

constexpr SCodeText kCodeTexts[] = {
    {kCryptBadKey, "Bad Key."},
    {kCryptBadLen, "Bad Length."},
    {kCryptBadData, "Bad Data."},
    {kCryptBadAlgId, "Invalid algorithm specified."},
    {kCryptBadType, "Invalid type specified."},
    {kCryptBadKeyState, "Key not valid for use in specified state."},
    {kCryptNoKey, "Key does not exist."},
    {kCryptExists, "Object already exists."},
    {kCryptBadKeyset, "Keyset does not exist"},
    {kCryptFail, "An internal error occurred."},
    {kCertExpired, "The certificate has expired or is not yet valid."},
    {kCertUntrustedRoot, "The certificate chain ends in a root certificate that is not trusted."},
    {kCertChaining, "The certificate chain could not be built to a trusted root authority."},
    {kTrustFail, "The certificate failed the trust verification."},
    {kCertCnNoMatch, "The certificate's name does not match the name of the server."},
    {kCertWrongUsage, "The certificate is not valid for the requested usage."},
};

} // namespace

std::string GetErrorText(uint64_t code) {
    for (const SCodeText& entry : kCodeTexts) {
        if (entry.Code == code) {
            return std::string(entry.Text) + "\r\n";
        }
    }
    const std::string text = OsErrorText(code);
    return text.empty() ? text : text + "\r\n";
}

std::string GetErrorTextInline(uint64_t code) {
    std::string text = GetErrorText(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(code) : text;
}
