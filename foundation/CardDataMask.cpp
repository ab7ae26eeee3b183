#include "foundation/CardDataMask.h"

#include <cstddef>

#include "platform/AsciiChars.h"
#include "platform/ControlChars.h"

namespace {
constexpr char kMaskChar = 'X';
constexpr size_t kKeptChars = 4;
// A card number is at least this many digits long.
constexpr size_t kCardNumberDigits = 13;

// End of the value that starts at |from|: the next FS or ETX, the next "</", or the end of the text.
size_t ValueEnd(const std::string& text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == kCharFS || text[i] == kCharETX ||
            (text[i] == '<' && i + 1 < text.size() && text[i + 1] == '/')) {
            return i;
        }
    }
    return text.size();
}

// End of the host field that starts at |from|: the next FS, STX or ETX, or the end of the text.
size_t HostFieldEnd(const std::string& text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == kCharFS || text[i] == kCharSTX || text[i] == kCharETX) {
            return i;
        }
    }
    return text.size();
}

void MaskRange(std::string& text, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        text[i] = kMaskChar;
    }
}

// An account in [from, end): all but its last four characters.
void MaskAccount(std::string& text, size_t from, size_t end) {
    if (end - from > kKeptChars) {
        MaskRange(text, from, end - kKeptChars);
    }
}

// A track in [from, end): the last four characters of the account before its first '=' stay, and so do the '='
// separators; everything else goes.
void MaskTrack(std::string& text, size_t from, size_t end) {
    size_t accountEnd = end;
    for (size_t i = from; i < end; ++i) {
        if (text[i] == '=') {
            accountEnd = i;
            break;
        }
    }
    const size_t keepFrom = accountEnd - from > kKeptChars ? accountEnd - kKeptChars : from;
    for (size_t i = from; i < end; ++i) {
        if (text[i] != '=' && (i < keepFrom || i >= accountEnd)) {
            text[i] = kMaskChar;
        }
    }
}

// Applies |mask| to the value of every occurrence of |key|.
template <typename Mask> void MaskEveryValue(std::string& text, const std::string& key, Mask mask) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + key.size())) {
        const size_t from = at + key.size();
        mask(text, from, ValueEnd(text, from));
    }
}

void MaskHostFields(std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = HostFieldEnd(text, start);
        if (end - start > 2 && text.compare(start, 2, "70") == 0) {
            MaskAccount(text, start + 2, end);
        } else if (end - start > 2 && text.compare(start, 2, "35") == 0) {
            MaskTrack(text, start + 2, end);
        }
        start = end + 1;
    }
}

void MaskElement(std::string& text, const std::string& name) {
    const std::string open = "<" + name + ">";
    for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + open.size())) {
        const size_t from = at + open.size();
        const size_t close = text.find('<', from);
        MaskAccount(text, from, close == std::string::npos ? text.size() : close);
    }
}

void MaskLongDigitRuns(std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        if (!IsAsciiDigit(text[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && IsAsciiDigit(text[end])) {
            ++end;
        }
        if (end - i >= kCardNumberDigits) {
            MaskRange(text, i, end - kKeptChars);
        }
        i = end;
    }
}
} // namespace

std::string MaskCardData(const std::string& text) {
    std::string masked = text;
    const bool hasTrack = masked.find("Track2=") != std::string::npos;
    MaskEveryValue(masked, "Track2=", MaskTrack);
    MaskEveryValue(masked, "AcctNo=", MaskAccount);
    if (!hasTrack) {
        MaskEveryValue(masked, "ExpDate=", MaskRange);
    }
    MaskEveryValue(masked, "CVVData=", MaskRange);
    MaskHostFields(masked);
    MaskElement(masked, "AcctNo");
    MaskElement(masked, "RefNo");
    MaskLongDigitRuns(masked);
    return masked;
}
