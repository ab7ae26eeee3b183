// modemsim: the dial-up modem and the host's dial-in service on a pty, for trying the server's dial path by hand.
// The card accounts live in memory until it ends.
//
//   modemsim [--com N] [--lines FILE] [--card ACCOUNT=CENTS ...] [--not-genuine] [--identity TEXT]
//            [--dial connect|busy|no-dialtone|no-carrier|error|silence] [--no-enq]
//            [--host good|bad-lrc-first|carrier-lost|none] [--quiet]
//
// The first line on standard output is the pty the modem serves, the second the line-state file (a pty has no
// modem lines: DCD, DSR and CTS live there). Start the server with COM port N (MODEM COM PORT, default 1) moved
// there: KESTROVE_COM<N>=<pty> KESTROVE_COM<N>_LINES=<file>. SIGINT or SIGTERM ends it.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "peers/CardHost.h"
#include "peers/ModemSimulator.h"
#include "peers/PeerProgram.h"

namespace {

struct Options {
    int com = 1;
    std::string lines;
    std::vector<std::pair<std::string, long long>> cards;
    CModemScript script;
    bool quiet = false;
};

void Usage() {
    std::fprintf(stderr, "usage: modemsim [--com N] [--lines FILE] [--card ACCOUNT=CENTS ...] [--not-genuine] "
                         "[--identity TEXT] [--dial connect|busy|no-dialtone|no-carrier|error|silence] [--no-enq] "
                         "[--host good|bad-lrc-first|carrier-lost|none] [--quiet]\n");
}

bool ParseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string text;
        auto value = [&] {
            if (i + 1 >= argc) {
                return false;
            }
            text = argv[++i];
            return true;
        };
        if (arg == "--com" && value()) {
            options->com = std::atoi(text.c_str());
            if (options->com < 1 || options->com > 255) {
                return false;
            }
        } else if (arg == "--lines" && value()) {
            options->lines = text;
        } else if (arg == "--card" && value()) {
            const size_t eq = text.find('=');
            if (eq == std::string::npos || eq == 0) {
                return false;
            }
            options->cards.emplace_back(text.substr(0, eq), std::atoll(text.c_str() + eq + 1));
        } else if (arg == "--not-genuine") {
            options->script.genuine = false;
        } else if (arg == "--identity" && value()) {
            options->script.identity = text;
        } else if (arg == "--dial" && value()) {
            const std::pair<const char*, ModemDialAnswer> answers[] = {{"connect", ModemDialAnswer::Connect},
                                                                       {"busy", ModemDialAnswer::Busy},
                                                                       {"no-dialtone", ModemDialAnswer::NoDialtone},
                                                                       {"no-carrier", ModemDialAnswer::NoCarrier},
                                                                       {"error", ModemDialAnswer::Error},
                                                                       {"silence", ModemDialAnswer::Silence}};
            bool known = false;
            for (const auto& [name, answer] : answers) {
                if (text == name) {
                    options->script.dial = answer;
                    known = true;
                }
            }
            if (!known) {
                return false;
            }
        } else if (arg == "--no-enq") {
            options->script.enq = false;
        } else if (arg == "--host" && value()) {
            const std::pair<const char*, ModemHostAnswer> answers[] = {
                {"good", ModemHostAnswer::Good},
                {"bad-lrc-first", ModemHostAnswer::BadLrcFirst},
                {"carrier-lost", ModemHostAnswer::CarrierLostMidway},
                {"none", ModemHostAnswer::None}};
            bool known = false;
            for (const auto& [name, answer] : answers) {
                if (text == name) {
                    options->script.host = answer;
                    known = true;
                }
            }
            if (!known) {
                return false;
            }
        } else if (arg == "--quiet") {
            options->quiet = true;
        } else {
            return false;
        }
    }
    return true;
}

// The text with its control characters shown by name, for the terminal.
std::string Shown(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        switch (c) {
        case 0x02:
            shown += "<STX>";
            break;
        case 0x03:
            shown += "<ETX>";
            break;
        case 0x1C:
            shown += '|';
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "<%02X>", static_cast<unsigned char>(c));
                shown += hex;
            } else {
                shown += c;
            }
        }
    }
    return shown;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, &options)) {
        Usage();
        return 2;
    }
    // Before the modem's thread exists, so the signals wait for the loop below.
    CStopSignals stopSignals;

    if (options.lines.empty()) {
        options.lines = (std::filesystem::temp_directory_path() /
                         ("modemsim-" + std::to_string(static_cast<long>(::getpid())) + ".lines"))
                            .string();
    }
    CCardHost host;
    for (const auto& [account, cents] : options.cards) {
        host.AddCard(account, cents);
    }
    CModemSimulator modem(host, options.script);
    if (!modem.Start(options.lines)) {
        std::fprintf(stderr, "modemsim: %s\n", modem.LastError().c_str());
        return 1;
    }
    std::printf("%s\n%s\n", modem.DevicePath().c_str(), modem.LinesPath().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "modemsim: start the server with KESTROVE_COM%d=%s KESTROVE_COM%d_LINES=%s\n", options.com,
                 modem.DevicePath().c_str(), options.com, modem.LinesPath().c_str());

    size_t commands = 0;
    size_t exchanges = 0;
    stopSignals.RunUntilStop([&] {
        if (!options.quiet) {
            const auto seen = modem.Commands();
            for (; commands < seen.size(); ++commands) {
                std::fprintf(stderr, "modemsim: command %s\n", seen[commands].c_str());
            }
            const auto done = host.Exchanges();
            for (; exchanges < done.size(); ++exchanges) {
                std::fprintf(
                    stderr, "modemsim: %s %s -> %s balance %lld -> %lld\nmodemsim:   [%s]\n",
                    done[exchanges].type.c_str(), done[exchanges].account.c_str(), done[exchanges].responseCode.c_str(),
                    static_cast<long long>(done[exchanges].balanceBefore),
                    static_cast<long long>(done[exchanges].balanceAfter), Shown(done[exchanges].request).c_str());
            }
        }
    });
    modem.Stop();
    std::filesystem::remove(options.lines);
    std::fprintf(stderr, "modemsim: stopped\n");
    return 0;
}
