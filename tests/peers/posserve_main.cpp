// posserve: the POS server with a stand-in host that answers every transaction at once, for driving lanes
// (poslane) by hand. Keeps its key, parameter and log files in the current directory.
//   posserve [--port P] [--decline] [--seconds N]
// Runs until interrupted (or for N seconds).

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "QueueStandInHost.h"
#include "foundation/Logger.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "server/PosServer.h"

namespace {
std::atomic<bool> g_Interrupted{false};
void OnSignal(int) {
    g_Interrupted = true;
}
} // namespace

int main(int argc, char** argv) {
    int port = kPosServerPort;
    bool decline = false;
    long seconds = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (arg == "--decline") {
            decline = true;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atol(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: posserve [--port P] [--decline] [--seconds N]\n");
            return 2;
        }
    }
    std::filesystem::create_directory(CLogger::kFolderName);
    CParamStore::Instance().LoadParams();
    if (!CRequest::Instance().StartCrypto()) {
        std::fprintf(stderr, "posserve: the crypto object did not start (see %s)\n", CLogger::kFolderName);
        return 1;
    }
    CQueueStandInHost host(decline ? CQueueStandInHost::Decline : CQueueStandInHost::Approve);
    host.Start();
    CPosServer server;
    const int started = server.Start(port);
    if (started != 0) {
        std::fprintf(stderr, "posserve: cannot serve on port %d (step %d)\n", port, started);
        return 1;
    }
    std::fprintf(stderr, "posserve: serving on port %d\n", server.GetPort());
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    for (long waited = 0; !g_Interrupted.load() && (seconds < 0 || waited < seconds * 10); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::fprintf(stderr, "posserve: stopping\n");
    return 0;
}
