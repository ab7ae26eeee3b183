// nqmssim: the management-service fake as a program, for trying the server's parameter download by hand. It
// listens on 127.0.0.1 with TLS and hands out one merchant's parameters to every device that asks.
//
//   nqmssim [--cert FILE --key FILE] [--ca-out FILE] [--name 127.0.0.1|localhost] [--params FILE]
//           [--set INDEX=VALUE ...] [--fault NAME] [--error TEXT] [--quiet]
//
// The first line on standard output is the port it listens on; point the server at it with
// KESTROVE_NQMS_HOSTS=127.0.0.1:<port> and trust the CA (SSL_CERT_FILE). Without --cert and --key it makes a test
// CA of its own and, with --ca-out, writes the CA certificate there. The set handed out starts from the defaults,
// or from a saved parameter text ("4;" and 22 values, as MerchantParams.dat holds it) with --params; each --set
// changes one parameter by its index. --fault makes every session misbehave one way: service-error (with --error
// as the text), wrong-answer, no-answer, wrong-type, wrong-length, invalid-value, 21-pairs, 23-pairs, cut-short,
// odd-challenge, silent, silent-after-request, oversized, close-with-message. SIGINT or SIGTERM ends it.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/ParamSets.h"
#include "foundation/ParamSettings.h"
#include "peers/LoadedIdentity.h"
#include "peers/ManagementService.h"
#include "peers/PeerProgram.h"
#include "platform/Files.h"

namespace {

struct Options {
    std::string certFile;
    std::string keyFile;
    std::string caOut;
    std::string name = "127.0.0.1";
    std::string paramsFile;
    std::vector<std::pair<unsigned, std::string>> values;
    NqmsFault fault = NqmsFault::None;
    std::string error = "Device not registered";
    bool quiet = false;
};

const std::pair<const char*, NqmsFault> kFaults[] = {
    {"none", NqmsFault::None},
    {"service-error", NqmsFault::ServiceError},
    {"wrong-answer", NqmsFault::WrongChallengeAnswer},
    {"no-answer", NqmsFault::NoChallengeAnswer},
    {"wrong-type", NqmsFault::WrongType},
    {"wrong-length", NqmsFault::WrongLength},
    {"invalid-value", NqmsFault::InvalidValue},
    {"21-pairs", NqmsFault::Pairs21},
    {"23-pairs", NqmsFault::Pairs23},
    {"cut-short", NqmsFault::BodyCutShort},
    {"odd-challenge", NqmsFault::OddChallenge},
    {"silent", NqmsFault::Silent},
    {"silent-after-request", NqmsFault::SilentAfterRequest},
    {"oversized", NqmsFault::Oversized},
    {"close-with-message", NqmsFault::CloseWithMessage},
};

void Usage() {
    std::fprintf(stderr, "usage: nqmssim [--cert FILE --key FILE] [--ca-out FILE] [--name 127.0.0.1|localhost] "
                         "[--params FILE] [--set INDEX=VALUE ...] [--fault NAME] [--error TEXT] [--quiet]\n");
}

bool ParseFault(const std::string& name, NqmsFault* fault) {
    for (const auto& [text, value] : kFaults) {
        if (name == text) {
            *fault = value;
            return true;
        }
    }
    return false;
}

bool ParseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) { return TakeArgument(argc, argv, &i, out); };
        std::string text;
        if (arg == "--cert" && value(&options->certFile)) {
        } else if (arg == "--key" && value(&options->keyFile)) {
        } else if (arg == "--ca-out" && value(&options->caOut)) {
        } else if (arg == "--name" && value(&options->name)) {
        } else if (arg == "--params" && value(&options->paramsFile)) {
        } else if (arg == "--error" && value(&options->error)) {
        } else if (arg == "--fault" && value(&text)) {
            if (!ParseFault(text, &options->fault)) {
                return false;
            }
        } else if (arg == "--set" && value(&text)) {
            const size_t eq = text.find('=');
            char* end = nullptr;
            const unsigned long index = std::strtoul(text.c_str(), &end, 10);
            if (eq == std::string::npos || end != text.c_str() + eq || eq == 0) {
                return false;
            }
            options->values.emplace_back(static_cast<unsigned>(index), text.substr(eq + 1));
        } else if (arg == "--quiet") {
            options->quiet = true;
        } else {
            return false;
        }
    }
    return options->certFile.empty() == options->keyFile.empty();
}

// The set handed out; false with a reason when a file or a value is refused.
bool BuildSettings(const Options& options, CParamSettings* settings, std::string* error) {
    settings->BuildDefaults();
    if (!options.paramsFile.empty()) {
        std::string text;
        if (!ReadWholeFile(options.paramsFile, &text) || !settings->FromString(text)) {
            *error = "cannot read a parameter text of version 4 from " + options.paramsFile;
            return false;
        }
    }
    *settings = ParamsWith(*settings, options.values, error);
    return error->empty();
}

void PrintSession(const CNqmsSession& session) {
    const std::string outcome = session.laterMessages.empty() ? "(no last message)" : session.laterMessages.back();
    std::fprintf(stderr, "nqmssim: DEVID=%s RUN_AS_SERVICE=%s MACHINE_ID=%s challenge %s -> %s\n",
                 session.Field("DEVID").c_str(), session.Field("RUN_AS_SERVICE").c_str(),
                 session.Field("MACHINE_ID").c_str(), session.challengeAnswered ? "answered" : "NOT answered",
                 outcome.c_str());
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, &options)) {
        Usage();
        return 2;
    }
    CParamSettings settings;
    std::string error;
    if (!BuildSettings(options, &settings, &error)) {
        std::fprintf(stderr, "nqmssim: %s\n", error.c_str());
        return 2;
    }
    CStopSignals stopSignals;

    CProgramIdentity identity;
    if (!identity.Prepare(options.certFile, options.keyFile, options.caOut, options.name, &error)) {
        std::fprintf(stderr, "nqmssim: %s\n", error.c_str());
        return 1;
    }
    CManagementService service(identity.Identity());
    service.SetParams(settings);
    service.SetFault(options.fault);
    service.SetServiceError(options.error);
    if (!service.Start()) {
        std::fprintf(stderr, "nqmssim: cannot listen\n");
        return 1;
    }
    std::printf("%d\n", service.Port());
    std::fflush(stdout);
    std::fprintf(stderr, "nqmssim: management service at %s:%d\n", options.name.c_str(), service.Port());

    size_t shown = 0;
    stopSignals.RunUntilStop([&] {
        if (!options.quiet) {
            const std::vector<CNqmsSession> sessions = service.Sessions();
            for (; shown < sessions.size(); ++shown) {
                PrintSession(sessions[shown]);
            }
        }
    });
    service.Stop();
    std::fprintf(stderr, "nqmssim: stopped\n");
    return 0;
}
