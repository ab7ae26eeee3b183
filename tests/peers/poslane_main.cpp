// poslane: one POS lane driven by hand against a running server.
//   poslane --host H --port P --trancode Sale --acct 6011000000000012 --purchase 1.00 [options]
// Connects, logs in, sends one request (or an abort request with --abort) and prints the reply document.
// With --flood N it sends N such requests at once (invoice numbers counting up from --invoice) and prints how
// they were answered. With --idle SECONDS it logs in --lanes N lanes (default 1), keeps them connected and quiet
// for that long and closes them: what an idle shop looks like to the server.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PosClient.h"

namespace {

constexpr char kDefaultHost[] = "127.0.0.1";
constexpr int kDefaultPort = 9100;
constexpr char kDefaultHeader[] = "Lane01";
constexpr int kDefaultTimeoutSeconds = 120;

// The usage with the defaults the options start from; on standard output for --help, else standard error.
void Usage(std::FILE* out = stderr) {
    const SPosRequest defaults;
    std::fprintf(out,
                 "usage: poslane [--host H] [--port P] [--trancode Sale] [--acct N | --track2 T] [--expdate MMYY]\n"
                 "               [--purchase 1.00] [--invoice N] [--refno N] [--merchant ID] [--authcode C]\n"
                 "               [--terminal ID] [--operator ID] [--memo TEXT] [--field KEY=VALUE]...\n"
                 "               [--header TEXT] [--password PW] [--abort] [--flood N] [--timeout SECONDS]\n"
                 "               [--idle SECONDS [--lanes N]] [--help]\n"
                 "Logs in to the server as one POS lane, sends one request (or an abort request) and prints the\n"
                 "decrypted reply document; exit 0 when the reply says Approved, 3 otherwise, 1 on a failure.\n"
                 "With --flood N it sends N such requests at once (invoices counting up) and prints how they\n"
                 "were answered. With --idle SECONDS it logs in --lanes N lanes (default 1), keeps them quiet for\n"
                 "that long and closes them.\n"
                 "defaults: --host %s --port %d --trancode %s --merchant %s --invoice %s --refno %s\n"
                 "          --header %s --timeout %d; no account, amount, password, terminal or operator\n",
                 kDefaultHost, kDefaultPort, defaults.tranCode.c_str(), defaults.merchantId.c_str(),
                 defaults.invoiceNo.c_str(), defaults.refNo.c_str(), kDefaultHeader, kDefaultTimeoutSeconds);
}

void PrintReply(const char* what, const SPosReply& reply) {
    std::fprintf(stderr, "%s: %06d %s %s\n", what, reply.returnCode, reply.cmdStatus.c_str(),
                 reply.encrypted ? "(encrypted)" : "(plain)");
}

} // namespace

int main(int argc, char** argv) {
    std::string host = kDefaultHost;
    int port = kDefaultPort;
    std::string header = kDefaultHeader;
    std::string password;
    bool abort = false;
    int flood = 0;
    int idleSeconds = -1;
    int lanes = 1;
    int timeoutSeconds = kDefaultTimeoutSeconds;
    SPosRequest request;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        if (arg == "--host") {
            host = value();
        } else if (arg == "--port") {
            port = std::atoi(value().c_str());
        } else if (arg == "--trancode") {
            request.tranCode = value();
        } else if (arg == "--acct") {
            request.acctNo = value();
        } else if (arg == "--track2") {
            request.track2 = value();
        } else if (arg == "--expdate") {
            request.expDate = value();
        } else if (arg == "--purchase") {
            request.purchase = value();
        } else if (arg == "--invoice") {
            request.invoiceNo = value();
        } else if (arg == "--refno") {
            request.refNo = value();
        } else if (arg == "--merchant") {
            request.merchantId = value();
        } else if (arg == "--authcode") {
            request.authCode = value();
        } else if (arg == "--terminal") {
            request.terminalId = value();
        } else if (arg == "--operator") {
            request.operatorId = value();
        } else if (arg == "--memo") {
            request.memo = value();
        } else if (arg == "--field") {
            const std::string field = value();
            const size_t equals = field.find('=');
            if (equals == std::string::npos) {
                Usage();
                return 2;
            }
            request.extra.emplace_back(field.substr(0, equals), field.substr(equals + 1));
        } else if (arg == "--header") {
            header = value();
        } else if (arg == "--password") {
            password = value();
        } else if (arg == "--abort") {
            abort = true;
        } else if (arg == "--flood") {
            flood = std::atoi(value().c_str());
        } else if (arg == "--idle") {
            idleSeconds = std::atoi(value().c_str());
        } else if (arg == "--lanes") {
            lanes = std::atoi(value().c_str());
        } else if (arg == "--timeout") {
            timeoutSeconds = std::atoi(value().c_str());
        } else {
            Usage();
            return 2;
        }
    }

    if (idleSeconds >= 0) {
        std::vector<std::unique_ptr<CPosClient>> idle;
        for (int i = 0; i < lanes; ++i) {
            auto lane = std::make_unique<CPosClient>();
            SPosReply greeting;
            SPosLogin login;
            login.password = password;
            if (!lane->ConnectAndLogIn(host, port, &greeting, login)) {
                std::fprintf(stderr, "poslane: lane %d: %s\n", i + 1, lane->LastError().c_str());
                return 1;
            }
            idle.push_back(std::move(lane));
        }
        std::printf("%d lane(s) logged in, idle for %d s\n", lanes, idleSeconds);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        return 0;
    }

    CPosClient client;
    SPosReply reply;
    if (!client.Connect(host, port)) {
        std::fprintf(stderr, "poslane: %s\n", client.LastError().c_str());
        return 1;
    }
    if (!client.ReadGreeting(&reply)) {
        std::fprintf(stderr, "poslane: %s\n%s\n", client.LastError().c_str(), reply.document.c_str());
        return 1;
    }
    PrintReply("greeting", reply);
    SPosLogin login;
    login.password = password;
    if (!client.Login(&reply, login)) {
        std::fprintf(stderr, "poslane: %s\n", client.LastError().c_str());
        std::printf("%s", reply.document.c_str());
        return 1;
    }
    PrintReply("login", reply);
    std::fprintf(stderr, "server %s the login key\n", client.ServerProvedKey() ? "proved" : "did NOT prove");

    const int timeoutMs = timeoutSeconds * 1000;
    if (flood > 0) {
        std::string frames;
        const long firstInvoice = std::atol(request.invoiceNo.c_str());
        for (int i = 0; i < flood; ++i) {
            SPosRequest one = request;
            one.invoiceNo = std::to_string(firstInvoice + i);
            frames += client.RequestFrame(RequestFields(one), header);
        }
        SPosFloodReplies replies;
        const bool complete = FloodRequests(client, frames, flood, &replies, timeoutMs);
        std::printf("queued %d, approved %d, other finals %zu\n", replies.queued, replies.approved,
                    replies.otherFinals.size());
        for (const auto& [code, count] : replies.refused) {
            std::printf("refused %06d: %d\n", code, count);
        }
        for (const std::string& text : replies.refusalTexts) {
            std::printf("  %s\n", text.c_str());
        }
        if (!complete) {
            std::fprintf(stderr, "poslane: %s\n", replies.error.c_str());
        }
        return complete ? 0 : 1;
    }
    if (!(abort ? client.SendAbort(header) : client.SendRequest(request, header))) {
        std::fprintf(stderr, "poslane: %s\n", client.LastError().c_str());
        return 1;
    }
    if (abort) {
        std::fprintf(stderr, "abort request sent\n");
        return 0;
    }
    // A valid request is answered "Queued" at once and its result after the host answered; an invalid one
    // only with its error.
    if (!client.ReadReply(&reply, timeoutMs)) {
        std::fprintf(stderr, "poslane: %s\n", client.LastError().c_str());
        return 1;
    }
    if (reply.returnCode == 0 && reply.textResponse.rfind("Queued:", 0) == 0) {
        PrintReply("queued", reply);
        if (!client.ReadReply(&reply, timeoutMs)) {
            std::fprintf(stderr, "poslane: %s\n", client.LastError().c_str());
            return 1;
        }
    }
    PrintReply("reply", reply);
    std::printf("%s", reply.document.c_str());
    return reply.cmdStatus == "Approved" ? 0 : 3;
}
