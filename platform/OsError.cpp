#include "platform/OsError.h"

#include <cerrno>
#include <climits>
#include <cstring>

std::string OsErrorText(uint64_t code) {
    if (code > INT_MAX) {
        return std::string();
    }
    // glibc knows a text for every errno value it defines and answers "Unknown error N" for the rest.
    char buffer[256] = {};
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof(buffer));
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) {
        return std::string();
    }
    return std::string(text);
}

bool FailWithErrno(std::string* error, const std::string& what) {
    const int saved = errno;
    if (error != nullptr) {
        *error = OsFailureText(what, saved);
    }
    errno = saved;
    return false;
}

std::string OsFailureText(const std::string& what, int code) {
    char buffer[256] = {};
    return what + ": " + strerror_r(code, buffer, sizeof(buffer));
}
