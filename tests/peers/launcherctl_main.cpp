// launcherctl: asks a running kestrove one launcher command over its pipe, as the launcher would.
//   launcherctl [--timeout MS] [--raw] PID COMMAND...
// The command is the words after the process id joined by spaces: APP NAME, APP CAPTION, APP SETTINGS FORM,
// APP LOG LOCATION or APP VIEW. The pipe is looked for in $KESTROVE_PIPE_DIR, else $XDG_RUNTIME_DIR, else
// /tmp, as the program puts it. The reply is printed with each US (between traffic lines) as a new line and
// each RS (after "ERROR") as ": "; --raw prints it as it came, without its NUL. Exit 0 when a reply came
// (empty or not), 1 when the pipe could not be reached or did not answer, 2 for a bad command line.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "peers/LauncherClient.h"

namespace {

constexpr int kDefaultTimeoutMs = 10000;

void Usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: launcherctl [--timeout MS] [--raw] PID COMMAND...\n"
                 "Sends \"COMMAND\" + RS + COMMAND (the words joined by spaces) to the launcher pipe of the\n"
                 "kestrove with process id PID and prints the reply; for example: launcherctl 4242 APP VIEW\n"
                 "defaults: --timeout %d\n",
                 kDefaultTimeoutMs);
}

std::string Readable(const std::string& reply) {
    std::string out;
    for (const char c : reply) {
        if (c == '\x1F') {
            out += '\n';
        } else if (c == '\x1E') {
            out += ": ";
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    int timeoutMs = kDefaultTimeoutMs;
    bool raw = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        if (arg == "--raw") {
            raw = true;
        } else if (arg == "--timeout" && i + 1 < argc) {
            timeoutMs = std::atoi(argv[++i]);
        } else {
            break;
        }
    }
    char* end = nullptr;
    const long pid = i < argc ? std::strtol(argv[i], &end, 10) : 0;
    if (i + 1 >= argc || *end != '\0' || pid <= 0 || timeoutMs <= 0) {
        Usage(stderr);
        return 2;
    }
    std::string command;
    for (int w = i + 1; w < argc; ++w) {
        command += (w > i + 1 ? " " : "") + std::string(argv[w]);
    }

    CLauncherClient client;
    std::string reply;
    if (!client.Connect(pid) || !client.Ask(command, &reply, timeoutMs)) {
        std::fprintf(stderr, "launcherctl: %s\n", client.LastError().c_str());
        return 1;
    }
    const std::string shown = raw ? reply : Readable(reply);
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    if (!raw) {
        std::fputc('\n', stdout);
    }
    return 0;
}
