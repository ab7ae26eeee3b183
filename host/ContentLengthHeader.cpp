#include "host/ContentLengthHeader.h"

#include <cctype>
#include <cstdint>

namespace {
constexpr char kContentLengthName[] = "CONTENT-LENGTH:";
constexpr size_t kContentLengthNameSize = sizeof kContentLengthName - 1;
} // namespace

bool IsContentLengthHeader(const std::string& line) {
    if (line.size() < kContentLengthNameSize) {
        return false;
    }
    for (size_t i = 0; i < kContentLengthNameSize; ++i) {
        if (std::toupper(static_cast<unsigned char>(line[i])) != kContentLengthName[i]) {
            return false;
        }
    }
    return true;
}

size_t ParseContentLength(const std::string& line) {
    size_t i = kContentLengthNameSize;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
    }
    size_t length = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        if (length > (SIZE_MAX - 9) / 10) {
            return SIZE_MAX;
        }
        length = length * 10 + static_cast<size_t>(line[i] - '0');
    }
    return length;
}

CFramedHeader ScanFramedHeader(const std::string& text) {
    CFramedHeader header;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t lf = text.find('\n', pos);
        if (lf == std::string::npos) {
            break; // the header has not ended yet
        }
        size_t end = lf;
        if (end > pos && text[end - 1] == '\r') {
            --end;
        }
        if (end == pos) {
            header.ended = true;
            header.bodyStart = lf + 1;
            break;
        }
        const std::string line = text.substr(pos, end - pos);
        if (IsContentLengthHeader(line)) {
            header.haveLength = true;
            header.contentLength = ParseContentLength(line);
        }
        pos = lf + 1;
    }
    return header;
}
