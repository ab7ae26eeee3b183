// kestrove: the gift-card payment server. "kestrove /started_as_service" runs it headless under a service
// manager; SIGTERM or SIGINT stops it.

#include <memory>
#include <optional>
#include <string>

#include "app/Program.h"
#include "window/RecentFileSettings.h"
#include "window/WindowShell.h"

int main(int argc, char** argv) {
    // The program decides whether a window opens; only here are both the program and the window in sight.
    SProgramWindow window;
    window.run = [](int count, char** arguments, const std::string& commandLine,
                    std::string* whyNot) -> std::optional<int> {
        std::unique_ptr<CWindowShell> shell = CWindowShell::Open(count, arguments, whyNot);
        if (shell == nullptr) {
            return std::nullopt;
        }
        return shell->Run(commandLine);
    };
    window.readRecentFiles = ReadRecentFileSettings;
    return RunKestrove(argc, argv, window);
}
