#pragma once
// The operating system's own text for an error number. A free function without state: any thread may call it.

#include <cerrno>
#include <cstdint>
#include <string>

// The C library's text for the errno value |code|, without a line end; "" for a code it has no text for.
std::string OsErrorText(uint64_t code);
// The error text of a failed call: |what|, ": " and the C library's text for the errno value |code| ("Unknown
// error N" for a code it has no text for).
std::string OsFailureText(const std::string& what, int code);
// For a call that failed with errno set: |error| (when given) becomes OsFailureText(|what|, errno), and errno is
// kept for the caller. Always false.
bool FailWithErrno(std::string* error, const std::string& what);

// Runs |call|, a system call that answers -1 with errno set, again for as long as it fails with EINTR; its
// last answer.
template <typename Call> auto RetryOnEintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}
