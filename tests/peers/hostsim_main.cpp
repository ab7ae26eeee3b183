// hostsim: the card host simulator as a program, for trying the server by hand. One TLS port on 127.0.0.1 serves
// service discovery ("GET /sd/104"), pings and transactions; the card accounts live in memory until it ends.
//
//   hostsim [--port P] [--cert FILE --key FILE] [--ca-out FILE] [--name 127.0.0.1|localhost]
//           [--card ACCOUNT=CENTS ...] [--quiet]
//
// The first line on standard output is the port it listens on. Point the server's PRIMARY URL at
// "127.0.0.1:<port>" (or "localhost:<port>") and trust the CA (SSL_CERT_FILE). Without --cert and --key it makes a
// test CA of its own and, with --ca-out, writes the CA certificate there. SIGINT or SIGTERM ends it.

#include <poll.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "peers/HostSimulator.h"
#include "peers/LoadedIdentity.h"
#include "peers/PeerProgram.h"
#include "peers/TestPki.h"
#include "platform/Socket.h"
#include "platform/TcpClient.h"
#include "platform/WorkerThread.h"

namespace {

struct Options {
    int port = 0;
    std::string certFile;
    std::string keyFile;
    std::string caOut;
    std::string name = "127.0.0.1";
    std::vector<std::pair<std::string, long long>> cards;
    bool quiet = false;
};

// The usage with the defaults; on standard output for --help, else standard error.
void Usage(std::FILE* out = stderr) {
    const Options defaults;
    std::fprintf(out,
                 "usage: hostsim [--port P] [--cert FILE --key FILE] [--ca-out FILE] [--name 127.0.0.1|localhost]\n"
                 "               [--card ACCOUNT=CENTS ...] [--quiet] [--help]\n"
                 "The card host simulator: service discovery (GET /sd/104), pings and transactions on one TLS port\n"
                 "of 127.0.0.1; the first line on standard output is that port. SIGINT or SIGTERM ends it.\n"
                 "defaults: --port %d (0: the system chooses) --name %s; without --cert and --key a test CA of\n"
                 "          its own (written with --ca-out); no cards until a card is issued; every exchange\n"
                 "          shown on standard error unless --quiet\n",
                 defaults.port, defaults.name.c_str());
}

bool ParseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) { return TakeArgument(argc, argv, &i, out); };
        std::string text;
        if (arg == "--port" && value(&text)) {
            char* end = nullptr;
            const long port = std::strtol(text.c_str(), &end, 10);
            if (end == text.c_str() || *end != '\0' || port < 0 || port > 65535) {
                return false;
            }
            options->port = static_cast<int>(port);
        } else if (arg == "--cert" && value(&options->certFile)) {
        } else if (arg == "--key" && value(&options->keyFile)) {
        } else if (arg == "--ca-out" && value(&options->caOut)) {
        } else if (arg == "--name" && value(&options->name)) {
        } else if (arg == "--card" && value(&text)) {
            const size_t eq = text.find('=');
            if (eq == std::string::npos || eq == 0) {
                return false;
            }
            options->cards.emplace_back(text.substr(0, eq), std::atoll(text.c_str() + eq + 1));
        } else if (arg == "--quiet") {
            options->quiet = true;
        } else {
            return false;
        }
    }
    return options->certFile.empty() == options->keyFile.empty();
}

// Carries connections from the port the user asked for to the endpoint's own port (the endpoint always takes a
// port of the system's choosing). One thread accepts; each connection gets a thread that copies both ways.
class CPortForwarder {
public:
    bool Start(int listenPort, int targetPort) {
        m_TargetPort = targetPort;
        m_Listen = ListenOnLoopback(listenPort, 16, &m_Port);
        if (!m_Listen.Valid()) {
            return false;
        }
        m_AcceptThread = std::make_unique<CWorkerThread>("hostsim-accept", [this] { return AcceptLoop(); });
        return m_AcceptThread->Start();
    }
    void Stop() {
        m_Stopping.store(true);
        m_AcceptThread.reset();
        m_Threads.clear();
    }
    int Port() const { return m_Port; }

private:
    int AcceptLoop() {
        while (!m_Stopping.load()) {
            if (PollReadable(m_Listen.Get(), 100) != PollResult::Ready) {
                continue;
            }
            auto client = std::make_shared<CSocketFd>(AcceptOne(m_Listen.Get()));
            auto target = std::make_shared<CSocketFd>(ConnectTcp(LoopbackIpv4(), m_TargetPort, 2000));
            if (!client->Valid() || !target->Valid()) {
                continue;
            }
            auto thread = std::make_unique<CWorkerThread>("hostsim-pipe", [this, client, target] {
                Pump(client->Get(), target->Get());
                return 0;
            });
            if (thread->Start()) {
                m_Threads.push_back(std::move(thread));
            }
        }
        return 0;
    }
    void Pump(int a, int b) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        char buffer[16384];
        while (!m_Stopping.load()) {
            const int ready = ::poll(fds, 2, 100);
            if (ready < 0) {
                return;
            }
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                    continue;
                }
                const long got = RecvSome(fds[i].fd, buffer, sizeof buffer);
                if (got <= 0 || SendAll(fds[1 - i].fd, buffer, static_cast<size_t>(got)) != got) {
                    return;
                }
            }
        }
    }

    CSocketFd m_Listen;
    int m_Port = 0;
    int m_TargetPort = 0;
    std::atomic<bool> m_Stopping{false};
    std::unique_ptr<CWorkerThread> m_AcceptThread;
    std::vector<std::unique_ptr<CWorkerThread>> m_Threads; // accept thread only, then Stop
};

void PrintExchange(const CHostExchange& exchange) {
    std::string shown = exchange.request;
    for (char& c : shown) {
        if (c == 0x1C) {
            c = '|';
        }
    }
    std::fprintf(stderr, "hostsim: %s %s %s -> %s balance %lld -> %lld%s%s\n", exchange.type.c_str(),
                 exchange.origType.empty() ? "" : ("of " + exchange.origType).c_str(), exchange.account.c_str(),
                 exchange.responseCode.c_str(), static_cast<long long>(exchange.balanceBefore),
                 static_cast<long long>(exchange.balanceAfter),
                 exchange.wellFormed ? "" : " BAD FORMAT: ", exchange.problem.c_str());
    std::fprintf(stderr, "hostsim:   [%s]\n", shown.c_str());
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
    }
    Options options;
    if (!ParseArguments(argc, argv, &options)) {
        Usage();
        return 2;
    }
    CStopSignals stopSignals;

    CProgramIdentity programIdentity;
    std::string error;
    if (!programIdentity.Prepare(options.certFile, options.keyFile, options.caOut, options.name, &error)) {
        std::fprintf(stderr, "hostsim: %s\n", error.c_str());
        return 1;
    }
    const CTestIdentity* identity = &programIdentity.Identity();

    CHostSimulatorOptions simulatorOptions;
    simulatorOptions.providers = 1;
    simulatorOptions.discoveryHosts = 0;
    CHostSimulator simulator(*identity, simulatorOptions);
    if (!simulator.Start()) {
        std::fprintf(stderr, "hostsim: cannot listen\n");
        return 1;
    }
    // The endpoint takes a port of the system's choosing; a port asked for is carried over to it.
    CPortForwarder forwarder;
    int port = simulator.ProviderPort(0);
    if (options.port != 0) {
        if (!forwarder.Start(options.port, port)) {
            std::fprintf(stderr, "hostsim: cannot listen on port %d: %s\n", options.port, std::strerror(errno));
            return 1;
        }
        port = forwarder.Port();
    }
    // The discovery answer names the provider by the name the certificate was made for and the port users reach.
    simulator.SetAdvertisedHost(options.name + ":" + std::to_string(port));
    for (const auto& [account, cents] : options.cards) {
        simulator.Host().AddCard(account, cents);
    }
    std::printf("%d\n", port);
    std::fflush(stdout);
    std::fprintf(stderr, "hostsim: discovery, ping and transactions at https://%s:%d (GET /sd/104)\n",
                 options.name.c_str(), port);

    size_t shown = 0;
    size_t shownProblems = 0;
    stopSignals.RunUntilStop([&] {
        if (!options.quiet) {
            const auto exchanges = simulator.Exchanges();
            for (; shown < exchanges.size(); ++shown) {
                PrintExchange(exchanges[shown]);
            }
            const auto problems = simulator.EnvelopeProblems();
            for (; shownProblems < problems.size(); ++shownProblems) {
                std::fprintf(stderr, "hostsim: BAD REQUEST: %s\n", problems[shownProblems].c_str());
            }
        }
    });
    forwarder.Stop();
    simulator.Stop();
    std::fprintf(stderr, "hostsim: stopped\n");
    return 0;
}
