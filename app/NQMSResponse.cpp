#include "app/NQMSResponse.h"

namespace {
constexpr int kStatusParsed = 200;
} // namespace

int CNQMSResponse::SplitLines(const std::string& text, std::list<std::string>& lines, std::string& body) {
    lines.clear();
    body.clear();
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            continue;
        }
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.empty()) {
            body = text.substr(i + 1);
            return static_cast<int>(lines.size());
        }
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return static_cast<int>(lines.size());
}

bool CNQMSResponse::Parse(const std::string& text) {
    std::string body;
    if (SplitLines(text, m_Lines, body) < 1 || body.empty()) {
        return false;
    }
    m_Status = kStatusParsed;
    m_Body = body;
    return true;
}
