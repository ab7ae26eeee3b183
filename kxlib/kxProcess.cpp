#include "kxlib/kxProcess.h"

#include <string>

#include "kxlib/kxException.h"
#include "kxlib/kxFormatString.h"

std::vector<kxString> kxProcess::SplitCommandLine(const kxString& commandLine) {
    std::vector<kxString> arguments;
    const std::string& text = commandLine.Str();
    std::string current;
    bool inQuotes = false;
    bool inArgument = false;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\\') {
            size_t run = 0;
            while (i + run < text.size() && text[i + run] == '\\') {
                ++run;
            }
            inArgument = true;
            if (i + run < text.size() && text[i + run] == '"') {
                // 2n backslashes before a quote are n backslashes and the quote is a delimiter; 2n + 1 are n
                // backslashes and a literal quote.
                current.append(run / 2, '\\');
                i += run;
                if (run % 2 == 1) {
                    current += '"';
                    ++i;
                }
            } else {
                current.append(run, '\\');
                i += run;
            }
            continue;
        }
        if (c == '"') {
            inArgument = true;
            if (inQuotes && i + 1 < text.size() && text[i + 1] == '"') {
                current += '"'; // "" inside quotes is one literal quote
                i += 2;
            } else {
                inQuotes = !inQuotes;
                ++i;
            }
            continue;
        }
        if ((c == ' ' || c == '\t') && !inQuotes) {
            if (inArgument) {
                arguments.emplace_back(current);
                current.clear();
                inArgument = false;
            }
            ++i;
            continue;
        }
        current += c;
        inArgument = true;
        ++i;
    }
    if (inArgument) {
        arguments.emplace_back(current);
    }
    return arguments;
}

bool kxProcess::Start(const kxString& programPath, const kxString& commandLine, bool wait) {
    CloseHandles();
    if (programPath.Length() == 0) {
        return false;
    }
    std::vector<std::string> arguments;
    for (const kxString& argument : SplitCommandLine(commandLine)) {
        arguments.push_back(argument.Str());
    }
    if (!m_Process.Start(programPath.Str(), arguments)) {
        throw kxException(kxFormatString("Failed to start application (%s) with command line (%s).",
                                         programPath.c_str(), commandLine.c_str()));
    }
    if (wait) {
        WaitForExit();
    }
    return true;
}

bool kxProcess::WaitForExit() {
    return m_Process.Wait();
}

uint32_t kxProcess::GetExitCode() {
    return m_Process.HasExited() && m_Process.ExitCode() >= 0 ? static_cast<uint32_t>(m_Process.ExitCode()) : 0;
}

bool kxProcess::HasExited() {
    return m_Process.HasExited();
}

void kxProcess::CloseHandles() {
    m_Process.Release();
}
