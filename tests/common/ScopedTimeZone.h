#pragma once
// Puts a TZ value in place for one scope and restores the previous one, for tests of local-time texts.
// Not thread-safe: the environment is the process's; use it before any thread reads the local time.

#include <optional>
#include <string>

class CScopedTimeZone {
public:
    explicit CScopedTimeZone(const char* zone);
    ~CScopedTimeZone();
    CScopedTimeZone(const CScopedTimeZone&) = delete;
    CScopedTimeZone& operator=(const CScopedTimeZone&) = delete;

private:
    std::optional<std::string> m_Previous;
};
