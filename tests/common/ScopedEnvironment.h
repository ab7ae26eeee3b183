#pragma once
// Puts an environment variable in place (or removes it) for one scope and restores what was there before.
// Not thread-safe: the environment is the process's; use it before the threads that read the variable start.

#include <optional>
#include <string>

class CScopedEnvironmentVariable {
public:
    // |value| null removes the variable for the scope.
    CScopedEnvironmentVariable(const char* name, const char* value);
    ~CScopedEnvironmentVariable();
    CScopedEnvironmentVariable(const CScopedEnvironmentVariable&) = delete;
    CScopedEnvironmentVariable& operator=(const CScopedEnvironmentVariable&) = delete;

private:
    std::string m_Name;
    std::optional<std::string> m_Previous;
};
