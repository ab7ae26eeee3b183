// The crash soak (by hand, not in CI): POS lanes send Sales, Reloads and Returns through the real kestrove program
// to the host simulator, which is sometimes slow and sometimes books a transaction and closes without an answer;
// the program is killed with SIGKILL at random moments and started again in the same folder. Once the lanes stop,
// the last run is left until its journal is empty (every reversal settled), and then each card's balance at the
// host must equal its start plus what the lanes saw approved, and no STAN may have reached the host twice.
//
// Usage: CrashSoak_bench [crashes (20)] [lanes (4)] [seed (time)]
// Prints the crashes, the requests and how they ended, the reversals the host got, the cards off and by how much,
// and the STANs sent more than once. Exits 0 when no card is off, no STAN was reused and the journal emptied.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/ProgramWorld.h"
#include "common/TempDir.h"
#include "peers/DatawireEndpoint.h"
#include "platform/Mutex.h"
#include "transaction/ReversalJournal.h"

using testing_child::CProgramWorld;

namespace {

constexpr int kCardsPerLane = 3;
constexpr int64_t kStartBalance = 10000000; // far above what a soak can spend
constexpr int kReplyTimeoutMs = 60000;      // more than the program's 35 s read budget
constexpr int kSettleTimeoutMs = 600000;    // reversals wait 35 s, failed ones are retried after 60 s

// The steady clock in ms, on the host simulator's basis, so that its arrival times compare with the soak's own.
uint64_t NowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// Seconds since |startMs|, for the lines that put a lane's requests beside the host's exchanges and the kills.
double SecondsSince(uint64_t startMs, uint64_t ms) {
    return (static_cast<double>(ms) - static_cast<double>(startMs)) / 1000.0;
}

struct CFigures {
    std::atomic<int> requests{0};
    std::atomic<int> approved{0};
    std::atomic<int> declined{0};
    std::atomic<int> errors{0};     // answered with an error (4003 and the like)
    std::atomic<int> unanswered{0}; // the program died before the final reply
};

// One lane: its own cards, what it saw approved on each, and its thread.
class CSoakLane {
public:
    CSoakLane(int index, unsigned seed, CFigures& figures, const std::atomic<int>& port, uint64_t startMs)
        : m_Index(index), m_Random(seed), m_Figures(figures), m_Port(port), m_StartMs(startMs) {
        for (int i = 0; i < kCardsPerLane; ++i) {
            char card[32];
            std::snprintf(card, sizeof card, "60064980%04d%04d", index, i);
            m_Cards.push_back(card);
            m_Expected[card] = kStartBalance;
        }
    }

    void Start() {
        m_Thread = std::thread([this] { Run(); });
    }
    void Stop() {
        m_Stop = true;
        if (m_Thread.joinable()) {
            m_Thread.join();
        }
    }

    const std::vector<std::string>& Cards() const { return m_Cards; }
    // What the lane sent for |card| and how it ended, one line each, with when it was sent and when it ended.
    std::vector<std::string> History(const std::string& card) {
        CMutexLock lock(m_Lock);
        return m_History[card];
    }
    int64_t Expected(const std::string& card) {
        CMutexLock lock(m_Lock);
        return m_Expected[card];
    }

private:
    void Run() {
        std::unique_ptr<CPosClient> lane;
        int invoice = m_Index * 100000;
        while (!m_Stop) {
            if (lane == nullptr) {
                const int port = m_Port.load();
                if (port > 0) {
                    lane = CProgramWorld::Lane(port);
                }
                if (lane == nullptr) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    continue;
                }
            }
            const std::string& card = m_Cards[m_Random() % m_Cards.size()];
            static const char* const kTranCodes[] = {"Sale", "Reload", "Return"};
            const std::string tranCode = kTranCodes[m_Random() % 3];
            const int64_t cents = 100 + static_cast<int64_t>(m_Random() % 1900);
            char amount[32];
            std::snprintf(amount, sizeof amount, "%lld.%02lld", static_cast<long long>(cents / 100),
                          static_cast<long long>(cents % 100));
            m_Figures.requests++;
            SPosReply reply;
            const SPosRequest request = CEndToEndWorld::Request(tranCode, card, amount, std::to_string(++invoice));
            const uint64_t sentMs = NowMs();
            bool answered = lane->SendRequest(request) && lane->ReadReply(&reply, kReplyTimeoutMs);
            if (answered && reply.returnCode == 0 && reply.textResponse.rfind("Queued:", 0) == 0) {
                answered = lane->ReadReply(&reply, kReplyTimeoutMs);
            }
            const std::string outcome = !answered ? "unanswered" : reply.cmdStatus + " " + reply.textResponse;
            char when[64];
            std::snprintf(when, sizeof when, "%.3f-%.3f s ", SecondsSince(m_StartMs, sentMs),
                          SecondsSince(m_StartMs, NowMs()));
            {
                CMutexLock lock(m_Lock);
                m_History[card].push_back(when + tranCode + " " + amount + " invoice " + std::to_string(invoice) +
                                          ": " + outcome);
            }
            if (!answered) {
                m_Figures.unanswered++;
                lane.reset(); // the program went away: connect again once it is back
                continue;
            }
            if (reply.cmdStatus == "Approved") {
                m_Figures.approved++;
                CMutexLock lock(m_Lock);
                m_Expected[card] += tranCode == "Sale" ? -cents : cents;
            } else if (reply.cmdStatus == "Declined") {
                m_Figures.declined++;
            } else {
                m_Figures.errors++;
            }
        }
    }

    const int m_Index;
    std::mt19937 m_Random;
    CFigures& m_Figures;
    const std::atomic<int>& m_Port;
    const uint64_t m_StartMs;
    std::vector<std::string> m_Cards;
    CMutex m_Lock;
    std::map<std::string, int64_t> m_Expected GUARDED_BY(m_Lock);
    std::map<std::string, std::vector<std::string>> m_History GUARDED_BY(m_Lock);
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

// Now and then makes the provider slow, or has it book the next transaction and close without an answer.
class CMoodyHost {
public:
    CMoodyHost(CHostSimulator& simulator, unsigned seed) : m_Simulator(simulator), m_Random(seed) {
        m_Thread = std::thread([this] { Run(); });
    }
    ~CMoodyHost() {
        m_Stop = true;
        m_Thread.join();
        Calm();
    }
    void Calm() {
        for (int i = 0; i < m_Simulator.ProviderCount(); ++i) {
            m_Simulator.ScriptProvider(i, CProviderScript());
        }
    }

private:
    void Run() {
        while (!m_Stop) {
            for (int i = 0; i < m_Simulator.ProviderCount(); ++i) {
                CProviderScript script;
                const unsigned roll = m_Random() % 10;
                if (roll < 3) {
                    script.delayMs = 300 + m_Random() % 2700; // slow
                } else if (roll == 3) {
                    script.fault = ProviderFault::CloseAfterRequest; // booked, no answer
                    script.hostApplies = true;
                    script.count = 1;
                }
                m_Simulator.ScriptProvider(i, script);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    }

    CHostSimulator& m_Simulator;
    std::mt19937 m_Random;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

} // namespace

int main(int argc, char** argv) {
    const int crashes = argc > 1 ? std::atoi(argv[1]) : 20;
    const int laneCount = argc > 2 ? std::atoi(argv[2]) : 4;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10))
                                   : static_cast<unsigned>(std::time(nullptr));
    std::printf("crash soak: %d crashes, %d lanes, seed %u\n", crashes, laneCount, seed);
    std::signal(SIGPIPE, SIG_IGN);

    CScopedTempDir bench("kestrove-soak");
    if (bench.Path().empty()) {
        std::fprintf(stderr, "no temporary folder could be made\n");
        return 2;
    }
    CProgramWorld world(bench.Path() / "server", bench.Path());
    if (!world.Ok()) {
        std::fprintf(stderr, "the program's folder or the host simulator could not be set up\n");
        return 2;
    }
    CFigures figures;
    std::atomic<int> port{0};
    const uint64_t start = NowMs();
    std::vector<std::unique_ptr<CSoakLane>> lanes;
    for (int i = 0; i < laneCount; ++i) {
        lanes.push_back(std::make_unique<CSoakLane>(i, seed + 17 * static_cast<unsigned>(i), figures, port, start));
        for (const std::string& card : lanes.back()->Cards()) {
            world.Simulator().Host().AddCard(card, kStartBalance);
        }
    }

    std::mt19937 random(seed);
    auto moody = std::make_unique<CMoodyHost>(world.Simulator(), seed + 1);
    for (auto& lane : lanes) {
        lane->Start();
    }
    for (int crash = 0; crash <= crashes; ++crash) {
        if (!world.Start()) {
            std::fprintf(stderr, "the program did not start\n");
            return 2;
        }
        const int servedOn = world.WaitForPort();
        if (servedOn <= 0) {
            std::fprintf(stderr, "run %d did not finish its start-up:\n%s\n", crash + 1, world.LogOfThisRun().c_str());
            return 2;
        }
        port = servedOn;
        if (crash == crashes) {
            break; // the last run is left to settle
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500 + random() % 5500));
        port = 0;
        const uint64_t killedMs = NowMs();
        world.Server().Signal(SIGKILL);
        world.Server().Wait(testing_child::kProgramTimeoutMs);
        std::printf("crash %d at %.3f s: %d requests so far\n", crash + 1, SecondsSince(start, killedMs),
                    figures.requests.load());
    }

    // Let the lanes run a little on the last run, then stop them and wait for the journal to empty.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (auto& lane : lanes) {
        lane->Stop();
    }
    moody.reset();
    const uint64_t settleStart = NowMs();
    // A journal without entries is an empty file (or none); it is only looked at, never opened for writing.
    const std::filesystem::path journalFile = world.Folder() / kReversalJournalFileName;
    bool settled = false;
    while (NowMs() - settleStart < kSettleTimeoutMs) {
        std::error_code ec;
        const bool present = std::filesystem::exists(journalFile, ec);
        if (!present || std::filesystem::file_size(journalFile, ec) == 0) {
            settled = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    world.Server().Signal(SIGTERM);
    world.Server().Wait(testing_child::kProgramTimeoutMs);

    int reversals = 0;
    int reversalsApplied = 0;
    for (const CHostExchange& exchange : world.Simulator().Exchanges()) {
        if (exchange.type == kMsgReversal) {
            ++reversals;
            reversalsApplied += exchange.applied ? 1 : 0;
        }
    }
    // Every transaction sent takes a STAN of its own, a retry and a reversal too, across every run of the program.
    std::map<std::string, int> stanUses;
    for (int i = 0; i < world.Simulator().ProviderCount(); ++i) {
        for (const CDatawireRequest& request : world.Simulator().Provider(i).Requests()) {
            if (request.kind == DatawireRequestKind::Transaction) {
                ++stanUses[request.clientRef.substr(0, 7)];
            }
        }
    }
    int stansReused = 0;
    for (const auto& [stan, uses] : stanUses) {
        if (uses > 1) {
            ++stansReused;
            std::printf("  STAN %s sent %d times\n", stan.c_str(), uses);
        }
    }
    int cards = 0;
    int cardsOff = 0;
    int64_t centsOff = 0;
    for (auto& lane : lanes) {
        for (const std::string& card : lane->Cards()) {
            ++cards;
            const int64_t off = world.Simulator().Host().Balance(card) - lane->Expected(card);
            if (off != 0) {
                ++cardsOff;
                centsOff += off;
                std::printf("  card %s off by %lld cents; the lane's requests:\n", card.c_str(),
                            static_cast<long long>(off));
                for (const std::string& line : lane->History(card)) {
                    std::printf("    %s\n", line.c_str());
                }
                std::printf("  and what the host did with it:\n");
                for (const CHostExchange& exchange : world.Simulator().Exchanges()) {
                    if (exchange.account == card) {
                        std::printf("    %.3f s %s%s %lld -> %s%s\n", SecondsSince(start, exchange.receivedTickMs),
                                    exchange.type.c_str(),
                                    exchange.origType.empty() ? "" : ("/" + exchange.origType).c_str(),
                                    static_cast<long long>(exchange.amountCents), exchange.responseCode.c_str(),
                                    exchange.applied ? " applied" : "");
                    }
                }
            }
        }
    }
    std::printf("crashes %d, requests %d (approved %d, declined %d, errors %d, unanswered %d)\n", crashes,
                figures.requests.load(), figures.approved.load(), figures.declined.load(), figures.errors.load(),
                figures.unanswered.load());
    std::printf("host exchanges %zu, reversals %d (%d undid a booked transaction)\n",
                world.Simulator().Exchanges().size(), reversals, reversalsApplied);
    std::printf("journal %s after %.1f s; cards %d, cards off %d (%lld cents in all)\n",
                settled ? "empty" : "NOT EMPTY", (NowMs() - settleStart) / 1000.0, cards, cardsOff,
                static_cast<long long>(centsOff));
    std::printf("STANs %zu, reused %d\n", stanUses.size(), stansReused);
    std::printf("wall time %.1f s\n", (NowMs() - start) / 1000.0);
    if (cardsOff != 0 || !settled || stansReused != 0) {
        // The folder goes with the bench folder: keep a copy of what the program left for a look.
        const std::filesystem::path kept =
            std::filesystem::temp_directory_path() / ("kestrove-soak-" + std::to_string(seed));
        std::error_code ec;
        std::filesystem::copy(world.Folder(), kept, std::filesystem::copy_options::recursive, ec);
        std::printf("the program's folder is kept in %s\n", kept.c_str());
        return 1;
    }
    return 0;
}
