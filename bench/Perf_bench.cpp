// The program's cost beside the physical floor of one transaction, measured in the same run and printed as one
// table: the build's kestrove runs as a service in a folder of its own against the host simulator of this process
// (real TLS, the test CA, the certificate checked), and lanes of this process do Sale and Balance back to back.
//
// Each run (the table shows the median of the runs) starts a fresh server and measures, in this order:
//   idle with no lane: context switches of all its threads per second, and its CPU (schedstat, in ns: the tick
//     counters cannot see 0.1% of a core in 10 s);
//   1, 20 and 200 lanes (only those logged in) for a fixed time, the lanes' starts spread over the first second
//     (lanes started together stay in step, since each waits the delivery second, and the phase would measure a
//     burst of every lane once a second instead of a steady load; the burst has a phase of its own): CPU per
//     transaction (the process's CPU clock over the phase, in ns, exited threads included, divided by the
//     transactions; the tick counters of /proc/<pid>/stat are 10 ms, a third of a transaction's CPU at 1 lane),
//     the same less what the idle process spends in that time (its named timers), its share of one core, the peak
//     threads and resident memory (and its anonymous part: the rest is the mapped libraries' pages), the reply's
//     lateness against the delivery moment (a final reply goes out once the lane has sent nothing for a second:
//     lateness = reply - send - 1 s), the time from the lane's "Queued" reply to the host's accept of the
//     connection that carries it, and the exchange as the host sees it (accept to close);
//   idle again with the 200 lanes logged in;
//   200 lanes sending at the same instant (the simulator's listen backlog is no limit);
//   the floor: one RSA-1024 private decrypt with the server's kind of key, and one TLS exchange of a request the
//     server sent, replayed to the same simulator by a bare OpenSSL client (TCP_NODELAY, a client session cache,
//     the certificate checked in the handshake), full and resumed.
//
// Usage: Perf_bench [--quick] [--runs N] [--seconds S] [--in-step]. --quick: one run, short phases, for a smoke
// check; --in-step: the lanes of a load phase start together (and stay in step) as they did before.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/ChildProcess.h"
#include "app/TestHostSide.h"
#include "common/LaneRequestKey.h"
#include "common/PeakSampler.h"
#include "common/TempDir.h"
#include "common/Wait.h"
#include "foundation/Request.h"
#include "host/HostWorkerPool.h"
#include "peers/EndToEndFixture.h"
#include "platform/Files.h"

namespace {

using testing_child::CChildProcess;
using testing_child::CTestHostSide;
using testing_child::KestroveProgram;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 120000;
constexpr long long kCardCents = 100000000;
constexpr int kMaxLanes = 200;
constexpr double kDeliveryMs = 1000.0;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string Card(int lane) {
    return "60064933" + std::to_string(10000000 + lane);
}

// The lane whose card |hostMessage| carries; -1 when none.
int LaneOfHostMessage(const std::string& hostMessage) {
    const size_t at = hostMessage.find("60064933");
    if (at == std::string::npos || at + 16 > hostMessage.size()) {
        return -1;
    }
    const int lane = std::atoi(hostMessage.substr(at + 8, 8).c_str()) - 10000000;
    return lane >= 0 && lane < kMaxLanes ? lane : -1;
}

double Percentile(std::vector<double> values, double q) {
    if (values.empty()) {
        return std::nan("");
    }
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

double Median(std::vector<double> values) {
    return Percentile(std::move(values), 0.5);
}

// ---- what /proc tells of the server ----

// utime + stime of the whole process (exited threads included), in clock ticks.
long long ProcessCpuTicks(pid_t pid) {
    const std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    for (int index = 3; fields >> field; ++index) { // the state is field 3
        if (index == 14) {
            utime = std::atoll(field.c_str());
        } else if (index == 15) {
            stime = std::atoll(field.c_str());
            break;
        }
    }
    return utime + stime;
}

double TicksToMs(long long ticks) {
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The CPU time of the whole process (exited threads included) in ms, to the ns; NaN when it cannot be read.
double ProcessCpuMs(pid_t pid) {
    clockid_t clock{};
    timespec now{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &now) != 0) {
        return std::nan("");
    }
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Over the live threads: voluntary + nonvoluntary context switches, and the CPU time of schedstat in ns.
struct SThreadTotals {
    long long switches = 0;
    long long cpuNs = 0;
};

SThreadTotals ThreadTotals(pid_t pid) {
    SThreadTotals totals;
    std::error_code ec;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (std::filesystem::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
        std::istringstream status(ReadFileBytes(it->path() / "status"));
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                totals.switches += std::atoll(line.c_str() + line.find(':') + 1);
            }
        }
        totals.cpuNs += std::atoll(ReadFileBytes(it->path() / "schedstat").c_str());
    }
    return totals;
}

// ---- the server and its host ----

CHostSimulatorOptions PerfSimulatorOptions() {
    CHostSimulatorOptions options = testing_child::ProgramSimulatorOptions();
    options.backlog = 4096; // the kernel caps it at somaxconn
    return options;
}

// The simulator, the server's folder and the running server, for one run. Not thread-safe.
class CProgramRun {
public:
    CProgramRun() : m_HostSide(PerfSimulatorOptions()) {}
    ~CProgramRun() {
        if (m_Server.Signal(SIGTERM)) {
            m_Server.Wait(kTimeoutMs);
        }
    }
    CProgramRun(const CProgramRun&) = delete;
    CProgramRun& operator=(const CProgramRun&) = delete;

    bool Start(std::string* error) {
        for (int lane = 0; lane < kMaxLanes; ++lane) {
            m_HostSide.Simulator().Host().AddCard(Card(lane), kCardCents);
        }
        m_ServerFolder = m_Folder.Path() / "server";
        m_Port = m_HostSide.StartService(m_Server, m_ServerFolder, m_Folder.Path(), kTimeoutMs, error);
        return m_Port > 0;
    }

    pid_t Pid() const { return m_Server.Pid(); }
    CHostSimulator& Simulator() { return m_HostSide.Simulator(); }
    std::filesystem::path CaFile() const { return m_ServerFolder / "ca.pem"; }

    std::unique_ptr<CPosClient> NewLane(std::string* error) {
        auto lane = std::make_unique<CPosClient>();
        SPosReply reply;
        if (!lane->ConnectAndLogIn("127.0.0.1", m_Port, &reply, SPosLogin(), kTimeoutMs)) {
            *error = lane->LastError();
            return nullptr;
        }
        return lane;
    }

    // Every connection the providers saw that carried a transaction, and the provider that saw the most.
    std::vector<CDatawireConnectionTimes> TransactionConnections(int* busiest) {
        std::vector<CDatawireConnectionTimes> all;
        size_t most = 0;
        *busiest = 0;
        for (int i = 0; i < Simulator().ProviderCount(); ++i) {
            size_t count = 0;
            for (CDatawireConnectionTimes& times : Simulator().Provider(i).ConnectionTimes()) {
                if (times.firstKind == DatawireRequestKind::Transaction) {
                    all.push_back(std::move(times));
                    ++count;
                }
            }
            if (count > most) {
                most = count;
                *busiest = i;
            }
        }
        return all;
    }

private:
    CScopedTempDir m_Folder{"kestrove-perf"};
    CTestHostSide m_HostSide;
    std::filesystem::path m_ServerFolder;
    CChildProcess m_Server;
    int m_Port = -1;
};

// ---- the lanes ----

struct STransaction {
    int lane = 0;
    bool approved = false;
    bool sale = false;
    Clock::time_point sent;
    Clock::time_point queued;
    Clock::time_point final;
};

std::atomic<int> g_Invoice{100000};

// One Sale or Balance on |lane|: the send, the "Queued" reply and the final reply, timed.
STransaction Transact(CPosClient& lane, int index, bool sale) {
    STransaction t;
    t.lane = index;
    t.sale = sale;
    const std::string invoice = std::to_string(g_Invoice.fetch_add(1));
    const SPosRequest request =
        CEndToEndWorld::Request(sale ? "Sale" : "Balance", Card(index), sale ? "1.00" : "", invoice);
    SPosReply queued;
    SPosReply final;
    t.sent = Clock::now();
    if (!lane.SendRequest(request) || !lane.ReadReply(&queued, kTimeoutMs)) {
        t.queued = t.final = Clock::now();
        return t;
    }
    t.queued = Clock::now();
    if (queued.returnCode != 0 || !lane.ReadReply(&final, kTimeoutMs)) {
        t.final = Clock::now();
        return t;
    }
    t.final = Clock::now();
    t.approved = final.cmdStatus == "Approved";
    return t;
}

struct SLoadFigures {
    int lanes = 0;
    double seconds = 0;
    int transactions = 0;
    int approved = 0;
    double cpuMsPerTransaction = 0;
    double cpuMs = 0;                       // over the phase
    double cpuMsLessIdlePerTransaction = 0; // less the idle process's CPU (no lane) over the same time
    double coreShare = 0;
    double peakThreads = 0;
    double peakRssMb = 0;
    double peakAnonMb = 0;
    double lateP50 = 0, lateP99 = 0; // reply - (send + 1 s)
    double queuedToAcceptP50 = 0, queuedToAcceptP99 = 0;
    double queuedToAcceptSaleP50 = 0, queuedToAcceptBalanceP50 = 0; // a Sale's in-doubt entry is synced first
    double exchangeP50 = 0, exchangeP99 = 0;                        // accept to close at the host
    int matched = 0;                                                // host connections matched to a lane's transaction
};

// The first |count| lanes do Sale and Balance back to back for |seconds|; the lane in flight finishes. Lane i
// starts i/|count| of a second after the first, unless |inStep|.
SLoadFigures RunLoad(CProgramRun& run, std::vector<std::unique_ptr<CPosClient>>& lanes, int count, double seconds,
                     bool inStep) {
    SLoadFigures figures;
    figures.lanes = count;
    std::vector<std::vector<STransaction>> done(static_cast<size_t>(count));
    CPeakSampler sampler(run.Pid(), 10, false);
    const double cpuBefore = ProcessCpuMs(run.Pid());
    const Clock::time_point began = Clock::now();
    const Clock::time_point until = began + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            if (!inStep) {
                std::this_thread::sleep_until(began + std::chrono::microseconds(1000000LL * i / count));
            }
            for (bool sale = true; Clock::now() < until; sale = !sale) {
                done[static_cast<size_t>(i)].push_back(Transact(*lanes[static_cast<size_t>(i)], i, sale));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const Clock::time_point ended = Clock::now();
    const double cpuMs = ProcessCpuMs(run.Pid()) - cpuBefore;
    sampler.Stop();

    figures.seconds = std::chrono::duration<double>(ended - began).count();
    std::vector<double> late;
    for (const std::vector<STransaction>& laneDone : done) {
        for (const STransaction& t : laneDone) {
            ++figures.transactions;
            if (t.approved) {
                ++figures.approved;
                late.push_back(Ms(t.final - t.sent) - kDeliveryMs);
            }
        }
    }
    figures.cpuMs = cpuMs;
    figures.cpuMsPerTransaction = figures.transactions > 0 ? cpuMs / figures.transactions : std::nan("");
    figures.coreShare = cpuMs / (figures.seconds * 1000.0);
    figures.peakThreads = static_cast<double>(sampler.Threads());
    figures.peakRssMb = static_cast<double>(sampler.RssKb()) / 1024.0;
    figures.peakAnonMb = static_cast<double>(sampler.AnonKb()) / 1024.0;
    figures.lateP50 = Percentile(late, 0.5);
    figures.lateP99 = Percentile(late, 0.99);

    // Each connection carries one lane's transaction: the one in flight when the host accepted it.
    int busiest = 0;
    std::vector<double> queuedToAccept;
    std::vector<double> queuedToAcceptSale;
    std::vector<double> queuedToAcceptBalance;
    std::vector<double> exchange;
    for (const CDatawireConnectionTimes& c : run.TransactionConnections(&busiest)) {
        if (c.accepted < began || c.accepted > ended) {
            continue;
        }
        const int lane = LaneOfHostMessage(c.firstHostMessage);
        if (lane < 0 || lane >= count) {
            continue;
        }
        for (const STransaction& t : done[static_cast<size_t>(lane)]) {
            if (t.sent <= c.accepted && c.accepted <= t.final) {
                queuedToAccept.push_back(Ms(c.accepted - t.queued));
                (t.sale ? queuedToAcceptSale : queuedToAcceptBalance).push_back(Ms(c.accepted - t.queued));
                exchange.push_back(Ms(c.ended - c.accepted));
                ++figures.matched;
                break;
            }
        }
    }
    figures.queuedToAcceptP50 = Percentile(queuedToAccept, 0.5);
    figures.queuedToAcceptP99 = Percentile(queuedToAccept, 0.99);
    figures.queuedToAcceptSaleP50 = Percentile(queuedToAcceptSale, 0.5);
    figures.queuedToAcceptBalanceP50 = Percentile(queuedToAcceptBalance, 0.5);
    figures.exchangeP50 = Percentile(exchange, 0.5);
    figures.exchangeP99 = Percentile(exchange, 0.99);
    return figures;
}

struct SIdleFigures {
    double wakeupsPerSecond = 0;
    double coreShare = 0;
    double tickShare = 0; // the same from utime+stime, to 1 tick
    double threads = 0;
    double rssMb = 0;
};

SIdleFigures MeasureIdle(pid_t pid, double seconds) {
    SIdleFigures figures;
    const SThreadTotals before = ThreadTotals(pid);
    const long long ticksBefore = ProcessCpuTicks(pid);
    const Clock::time_point began = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    const SThreadTotals after = ThreadTotals(pid);
    const long long ticks = ProcessCpuTicks(pid) - ticksBefore;
    const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    figures.wakeupsPerSecond = static_cast<double>(after.switches - before.switches) / elapsed;
    figures.coreShare = static_cast<double>(after.cpuNs - before.cpuNs) / (elapsed * 1e9);
    figures.tickShare = TicksToMs(ticks) / (elapsed * 1000.0);
    figures.threads = static_cast<double>(ProcessStatusField(pid, "Threads:"));
    figures.rssMb = static_cast<double>(ProcessStatusField(pid, "VmRSS:")) / 1024.0;
    return figures;
}

struct SBurstFigures {
    int approved = 0;
    int total = 0;
    double lastReplyMs = 0; // from the common instant to the last final reply
    std::map<std::string, int> others;
};

// Every lane sends a Sale at the same instant.
SBurstFigures RunBurst(std::vector<std::unique_ptr<CPosClient>>& lanes) {
    SBurstFigures figures;
    std::latch start(static_cast<std::ptrdiff_t>(lanes.size()) + 1);
    std::vector<STransaction> done(lanes.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < lanes.size(); ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            done[i] = Transact(*lanes[i], static_cast<int>(i), true);
        });
    }
    const Clock::time_point began = Clock::now();
    start.arrive_and_wait();
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const STransaction& t : done) {
        ++figures.total;
        figures.lastReplyMs = std::max(figures.lastReplyMs, Ms(t.final - began));
        if (t.approved) {
            ++figures.approved;
        } else {
            ++figures.others["not approved"];
        }
    }
    return figures;
}

// ---- the floor ----

struct SFloorFigures {
    double rsaMs = 0;            // bare RSA-1024 private decrypt
    double requestDecryptMs = 0; // the crypto object's whole request decrypt (import, hex, RC4)
    double fullWallMs = 0, fullCpuMs = 0, fullAtHostMs = 0;
    double resumedWallMs = 0, resumedCpuMs = 0, resumedAtHostMs = 0;
    int resumedCount = 0, resumedTries = 0;
    std::string protocol;
};

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The RSA floor with the server's own crypto object and key: a key made as the server makes its own.
void MeasureRsa(int iterations, SFloorFigures* figures) {
    CScopedTempDir folder("kestrove-perf-rsa");
    CRequest crypto;
    if (folder.Path().empty() || !crypto.StartCrypto()) {
        figures->rsaMs = figures->requestDecryptMs = std::nan("");
        return;
    }
    const CLaneRequestKey lane(crypto.GetPublicKeyHex());
    const std::string requestHex = lane.Encrypt(JoinFields(KeyedSaleFields()));
    const std::vector<uint8_t>& blob = lane.Blob();
    const std::vector<uint8_t> cipher(blob.rbegin(), blob.rend() - 12); // the blob's RSA block, big-endian
    std::string pem;
    ReadWholeFile(std::filesystem::path("CORVANE_KEYS") / (std::string(kKeyContainerName) + ".pem"), &pem);
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!lane.Ok() || key == nullptr) {
        EVP_PKEY_free(key);
        figures->rsaMs = figures->requestDecryptMs = std::nan("");
        return;
    }
    std::vector<double> rsa;
    std::vector<double> request;
    std::vector<uint8_t> out(128);
    std::string text;
    for (int i = 0; i < iterations; ++i) {
        const double before = ThreadCpuMs();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
        size_t length = out.size();
        const bool ok = ctx != nullptr && EVP_PKEY_decrypt_init(ctx) == 1 &&
                        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                        EVP_PKEY_decrypt(ctx, out.data(), &length, cipher.data(), cipher.size()) == 1;
        EVP_PKEY_CTX_free(ctx);
        const double middle = ThreadCpuMs();
        const bool decrypted =
            crypto.DecryptWithClientKey(blob.data(), static_cast<uint32_t>(blob.size()), requestHex, &text);
        const double after = ThreadCpuMs();
        if (!ok || !decrypted) {
            figures->rsaMs = figures->requestDecryptMs = std::nan("");
            EVP_PKEY_free(key);
            return;
        }
        rsa.push_back(middle - before);
        request.push_back(after - middle);
    }
    EVP_PKEY_free(key);
    figures->rsaMs = Median(rsa);
    figures->requestDecryptMs = Median(request);
}

// A bare TLS client of the simulator: a client session cache, the certificate checked in the handshake.
class CBareTlsClient {
public:
    explicit CBareTlsClient(const std::filesystem::path& caFile) : m_Ctx(SSL_CTX_new(TLS_client_method())) {
        SSL_CTX_set_min_proto_version(m_Ctx, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(m_Ctx, TLS1_3_VERSION); // as the program's client offers
        SSL_CTX_load_verify_locations(m_Ctx, caFile.c_str(), nullptr);
        SSL_CTX_set_verify(m_Ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_session_cache_mode(m_Ctx, SSL_SESS_CACHE_CLIENT);
    }
    ~CBareTlsClient() {
        SSL_SESSION_free(m_Session);
        SSL_CTX_free(m_Ctx);
    }
    CBareTlsClient(const CBareTlsClient&) = delete;
    CBareTlsClient& operator=(const CBareTlsClient&) = delete;

    // Connects, shakes hands (resuming the kept session when |resume|), sends |request|, reads the whole HTTP
    // answer, sends the close-notify and closes. False on any failure.
    bool Exchange(int port, const std::string& request, bool resume, bool* reused, std::string* protocol) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        SSL* ssl = ok ? SSL_new(m_Ctx) : nullptr;
        if (ssl != nullptr) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
            SSL_set_fd(ssl, fd);
            if (resume && m_Session != nullptr) {
                SSL_set_session(ssl, m_Session);
            }
            ok = SSL_connect(ssl) == 1 && SSL_get_verify_result(ssl) == X509_V_OK &&
                 SSL_write(ssl, request.data(), static_cast<int>(request.size())) == static_cast<int>(request.size());
            ok = ok && ReadAnswer(ssl);
            if (ok) {
                *reused = SSL_session_reused(ssl) == 1;
                *protocol = SSL_get_version(ssl);
                SSL_SESSION* session = SSL_get1_session(ssl);
                SSL_SESSION_free(m_Session);
                m_Session = session;
                SSL_shutdown(ssl);
            }
            SSL_free(ssl);
        }
        ::close(fd);
        ERR_clear_error();
        return ok;
    }

private:
    static bool ReadAnswer(SSL* ssl) {
        std::string answer;
        char buffer[16384];
        for (;;) {
            const size_t header = answer.find("\r\n\r\n");
            if (header != std::string::npos) {
                const size_t at = answer.find("Content-Length:");
                if (at == std::string::npos || at > header) {
                    return false;
                }
                const size_t length = std::strtoul(answer.c_str() + at + 15, nullptr, 10);
                if (answer.size() >= header + 4 + length) {
                    return true;
                }
            }
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) {
                return false;
            }
            answer.append(buffer, static_cast<size_t>(n));
        }
    }

    SSL_CTX* m_Ctx;
    SSL_SESSION* m_Session = nullptr;
};

// The bare exchanges of |request| to provider |provider|: the client's wall and CPU time, and the host's view.
// Full and resumed exchanges take turns, so both meet the same load of a shared machine.
void MeasureTls(CProgramRun& run, int provider, const std::string& request, int iterations, SFloorFigures* figures) {
    struct SExchange {
        bool resumed = false;
        Clock::time_point before;
        Clock::time_point after;
    };
    CBareTlsClient client(run.CaFile());
    const int port = run.Simulator().ProviderPort(provider);
    std::vector<double> wall[2];
    std::vector<double> cpu[2];
    std::vector<SExchange> exchanges;
    bool reused = false;
    client.Exchange(port, request, false, &reused, &figures->protocol); // a session to resume, a warm path
    for (int i = 0; i < 2 * iterations; ++i) {
        const bool resume = i % 2 == 1;
        const double cpuBefore = ThreadCpuMs();
        SExchange exchange;
        exchange.before = Clock::now();
        if (!client.Exchange(port, request, resume, &reused, &figures->protocol)) {
            continue;
        }
        exchange.after = Clock::now();
        exchange.resumed = resume && reused;
        wall[exchange.resumed].push_back(Ms(exchange.after - exchange.before));
        cpu[exchange.resumed].push_back(ThreadCpuMs() - cpuBefore);
        exchanges.push_back(exchange);
        if (resume) {
            ++figures->resumedTries;
            figures->resumedCount += reused ? 1 : 0;
        }
    }
    // The host's view of the same exchanges: accept to close.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<double> atHost[2];
    for (const CDatawireConnectionTimes& c : run.Simulator().Provider(provider).ConnectionTimes()) {
        for (const SExchange& exchange : exchanges) {
            if (exchange.before <= c.accepted && c.accepted <= exchange.after) {
                atHost[exchange.resumed].push_back(Ms(c.ended - c.accepted));
                break;
            }
        }
    }
    figures->fullWallMs = Median(wall[0]);
    figures->fullCpuMs = Median(cpu[0]);
    figures->fullAtHostMs = Median(atHost[0]);
    figures->resumedWallMs = Median(wall[1]);
    figures->resumedCpuMs = Median(cpu[1]);
    figures->resumedAtHostMs = Median(atHost[1]);
}

// ---- one run ----

struct SOptions {
    int runs = 3;
    double loadSeconds = 20;
    double idleSeconds = 10;
    int floorIterations = 200;
    bool quick = false;
    bool inStep = false;
};

struct SRunFigures {
    SIdleFigures idleNoLane;
    SIdleFigures idleLanes;
    std::vector<SLoadFigures> loads;
    SBurstFigures burst;
    SFloorFigures floor;
    double startedRssMb = 0;
};

bool RunOnce(const SOptions& options, SRunFigures* figures, std::string* error) {
    CProgramRun run;
    if (!run.Start(error)) {
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the start-up's own work settles
    figures->startedRssMb = static_cast<double>(ProcessStatusField(run.Pid(), "VmRSS:")) / 1024.0;
    figures->idleNoLane = MeasureIdle(run.Pid(), options.idleSeconds);

    // Only the lanes of a phase are connected in it: a session of its own costs the server a thread.
    std::vector<std::unique_ptr<CPosClient>> lanes;
    for (const int count : {1, 20, kMaxLanes}) {
        while (static_cast<int>(lanes.size()) < count) {
            std::unique_ptr<CPosClient> lane = run.NewLane(error);
            if (lane == nullptr) {
                *error = "lane " + std::to_string(lanes.size()) + " did not log in: " + *error;
                return false;
            }
            lanes.push_back(std::move(lane));
        }
        std::this_thread::sleep_for(std::chrono::seconds(1)); // the log-ins' work settles
        figures->loads.push_back(RunLoad(run, lanes, count, options.loadSeconds, options.inStep));
        SLoadFigures& load = figures->loads.back();
        load.cpuMsLessIdlePerTransaction =
            load.transactions > 0
                ? (load.cpuMs - figures->idleNoLane.coreShare * load.seconds * 1000.0) / load.transactions
                : std::nan("");
        std::this_thread::sleep_for(std::chrono::seconds(2)); // nothing of one phase runs into the next
    }
    figures->idleLanes = MeasureIdle(run.Pid(), options.idleSeconds);
    figures->burst = RunBurst(lanes);

    int provider = 0;
    run.TransactionConnections(&provider);
    std::string request;
    for (const CDatawireRequest& r : run.Simulator().Provider(provider).Requests()) {
        if (r.kind == DatawireRequestKind::Transaction) {
            request = r.raw;
        }
    }
    if (request.empty()) {
        *error = "the host saw no transaction to replay";
        return false;
    }
    MeasureRsa(options.floorIterations * 5, &figures->floor);
    MeasureTls(run, provider, request, options.floorIterations, &figures->floor);
    return true;
}

// ---- the table ----

template <typename Get> double MedianOf(const std::vector<SRunFigures>& runs, Get get) {
    std::vector<double> values;
    for (const SRunFigures& run : runs) {
        values.push_back(get(run));
    }
    return Median(values);
}

std::string Fixed(double value, int decimals) {
    if (std::isnan(value)) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string LoadAverage() {
    std::string text = ReadFileBytes("/proc/loadavg");
    const size_t cut = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return cut == std::string::npos ? text : text.substr(0, cut);
}

void Row(const std::string& figure, const std::string& a, const std::string& b, const std::string& c,
         const std::string& floor, const std::string& ratio, const std::string& goal, const std::string& met) {
    std::printf("%-38s %9s %9s %9s | %9s %13s | %-28s %s\n", figure.c_str(), a.c_str(), b.c_str(), c.c_str(),
                floor.c_str(), ratio.c_str(), goal.c_str(), met.c_str());
}

const char* Met(bool met) {
    return met ? "yes" : "NO";
}

void PrintTable(const SOptions& options, const std::vector<SRunFigures>& runs, const std::string& loadBefore) {
    auto load = [&](size_t phase, auto get) {
        return MedianOf(runs, [&](const SRunFigures& r) { return get(r.loads[phase]); });
    };
    auto floor = [&](auto get) { return MedianOf(runs, [&](const SRunFigures& r) { return get(r.floor); }); };
    auto cells = [&](auto get, int decimals) {
        std::vector<std::string> out;
        for (size_t phase = 0; phase < 3; ++phase) {
            out.push_back(Fixed(load(phase, get), decimals));
        }
        return out;
    };

    const double rsa = floor([](const SFloorFigures& f) { return f.rsaMs; });
    const double resumedWall = floor([](const SFloorFigures& f) { return f.resumedWallMs; });
    const double resumedCpu = floor([](const SFloorFigures& f) { return f.resumedCpuMs; });
    const double resumedAtHost = floor([](const SFloorFigures& f) { return f.resumedAtHostMs; });
    const double floorMs = rsa + resumedWall;
    const double floorCpuMs = rsa + resumedCpu;

    std::printf("kestrove against its floor: %d run%s (medians), %.0f s per load phase, %.0f s per idle window\n",
                static_cast<int>(runs.size()), runs.size() == 1 ? "" : "s", options.loadSeconds, options.idleSeconds);
    std::printf("machine: %u cores, load average %s before, %s after\n", std::thread::hardware_concurrency(),
                loadBefore.c_str(), LoadAverage().c_str());
    std::printf("load phases: the lanes %s\n\n",
                options.inStep ? "start together and stay in step (--in-step)" : "start spread over the first second");

    std::printf("floor of one transaction (this process, same run)\n");
    std::printf("  RSA-1024 private decrypt, the server's kind of key (CPU)      %8.3f ms\n", rsa);
    std::printf("  the crypto object's whole request decrypt (import, RC4; CPU) %8.3f ms\n",
                floor([](const SFloorFigures& f) { return f.requestDecryptMs; }));
    std::printf("  bare TLS exchange (%s), full:    wall %7.3f ms, client CPU %7.3f ms, at the host %7.3f ms\n",
                runs.front().floor.protocol.c_str(), floor([](const SFloorFigures& f) { return f.fullWallMs; }),
                floor([](const SFloorFigures& f) { return f.fullCpuMs; }),
                floor([](const SFloorFigures& f) { return f.fullAtHostMs; }));
    std::printf("  bare TLS exchange (%s), resumed: wall %7.3f ms, client CPU %7.3f ms, at the host %7.3f ms"
                " (%d of %d resumed)\n",
                runs.front().floor.protocol.c_str(), resumedWall, resumedCpu, resumedAtHost,
                runs.front().floor.resumedCount, runs.front().floor.resumedTries);
    std::printf("  floor = RSA + resumed exchange: %.3f ms (wall of the exchange); %.3f ms (client CPU only)\n\n",
                floorMs, floorCpuMs);

    Row("figure", "1 lane", "20 lanes", "200 lanes", "floor", "ratio", "goal", "met");
    Row("transactions (approved/all)", "", "", "", "", "", "", "");
    {
        std::vector<std::string> c;
        for (size_t phase = 0; phase < 3; ++phase) {
            c.push_back(Fixed(load(phase, [](const SLoadFigures& l) { return l.approved; }), 0) + "/" +
                        Fixed(load(phase, [](const SLoadFigures& l) { return l.transactions; }), 0));
        }
        Row("", c[0], c[1], c[2], "", "", "", "");
    }
    const std::vector<std::string> perSecond =
        cells([](const SLoadFigures& l) { return l.seconds > 0 ? l.transactions / l.seconds : 0; }, 1);
    Row("transactions per second", perSecond[0], perSecond[1], perSecond[2], "", "", "", "");

    const std::vector<std::string> cpu = cells([](const SLoadFigures& l) { return l.cpuMsPerTransaction; }, 2);
    const double cpu1 = load(0, [](const SLoadFigures& l) { return l.cpuMsPerTransaction; });
    const double cpu200 = load(2, [](const SLoadFigures& l) { return l.cpuMsPerTransaction; });
    Row("server CPU per transaction (ms)", cpu[0], cpu[1], cpu[2], Fixed(floorMs, 3),
        Fixed(cpu1 / floorMs, 1) + "x/" + Fixed(cpu200 / floorMs, 1) + "x", "<=2x at 1, <=1.5x at 200",
        Met(cpu1 <= 2 * floorMs && cpu200 <= 1.5 * floorMs));
    Row("  the same against the CPU-only floor", "", "", "", Fixed(floorCpuMs, 3),
        Fixed(cpu1 / floorCpuMs, 1) + "x/" + Fixed(cpu200 / floorCpuMs, 1) + "x", "<=2x at 1, <=1.5x at 200",
        Met(cpu1 <= 2 * floorCpuMs && cpu200 <= 1.5 * floorCpuMs));
    const std::vector<std::string> lessIdle =
        cells([](const SLoadFigures& l) { return l.cpuMsLessIdlePerTransaction; }, 2);
    const double lessIdle1 = load(0, [](const SLoadFigures& l) { return l.cpuMsLessIdlePerTransaction; });
    const double lessIdle200 = load(2, [](const SLoadFigures& l) { return l.cpuMsLessIdlePerTransaction; });
    Row("  less the idle process's CPU (ms)", lessIdle[0], lessIdle[1], lessIdle[2], Fixed(floorMs, 3),
        Fixed(lessIdle1 / floorMs, 1) + "x/" + Fixed(lessIdle200 / floorMs, 1) + "x", "", "");
    const std::vector<std::string> share = cells([](const SLoadFigures& l) { return 100 * l.coreShare; }, 1);
    Row("share of one core (%)", share[0], share[1], share[2], "", "", "", "");
    const std::vector<std::string> threads = cells([](const SLoadFigures& l) { return l.peakThreads; }, 0);
    const double threads200 = load(2, [](const SLoadFigures& l) { return l.peakThreads; });
    const int threadBound = kMaxLanes + kDefaultHostWorkers + 16;
    Row("threads (peak)", threads[0], threads[1], threads[2], "", "",
        "<= lanes+" + std::to_string(kDefaultHostWorkers) + "+16 at 200", Met(threads200 <= threadBound));
    const std::vector<std::string> rss = cells([](const SLoadFigures& l) { return l.peakRssMb; }, 1);
    const double rss200 = load(2, [](const SLoadFigures& l) { return l.peakRssMb; });
    Row("resident memory (peak MB)", rss[0], rss[1], rss[2], "", "", "< 30 MB at 200", Met(rss200 < 30));
    const std::vector<std::string> anon = cells([](const SLoadFigures& l) { return l.peakAnonMb; }, 1);
    Row("  of it anonymous (peak MB)", anon[0], anon[1], anon[2], "", "", "", "");
    const std::vector<std::string> late50 = cells([](const SLoadFigures& l) { return l.lateP50; }, 1);
    Row("reply - delivery moment p50 (ms)", late50[0], late50[1], late50[2], "", "", "", "");
    const std::vector<std::string> late99 = cells([](const SLoadFigures& l) { return l.lateP99; }, 1);
    const double late200 = load(2, [](const SLoadFigures& l) { return l.lateP99; });
    Row("reply - delivery moment p99 (ms)", late99[0], late99[1], late99[2], "0", "", "<= 5 ms at 200",
        Met(late200 <= 5));
    const std::vector<std::string> q50 = cells([](const SLoadFigures& l) { return l.queuedToAcceptP50; }, 1);
    const double q200 = load(2, [](const SLoadFigures& l) { return l.queuedToAcceptP50; });
    Row("'Queued' reply -> host accept p50 (ms)", q50[0], q50[1], q50[2], "", "", "< 1 ms", Met(q200 < 1));
    const std::vector<std::string> qSale = cells([](const SLoadFigures& l) { return l.queuedToAcceptSaleP50; }, 1);
    Row("  Sale p50 (the in-doubt entry synced)", qSale[0], qSale[1], qSale[2], "", "", "", "");
    const std::vector<std::string> qBalance =
        cells([](const SLoadFigures& l) { return l.queuedToAcceptBalanceP50; }, 1);
    Row("  Balance p50 (nothing to journal)", qBalance[0], qBalance[1], qBalance[2], "", "", "", "");
    const std::vector<std::string> q99 = cells([](const SLoadFigures& l) { return l.queuedToAcceptP99; }, 1);
    Row("'Queued' reply -> host accept p99 (ms)", q99[0], q99[1], q99[2], "", "", "", "");
    const std::vector<std::string> x50 = cells([](const SLoadFigures& l) { return l.exchangeP50; }, 2);
    const double x200 = load(2, [](const SLoadFigures& l) { return l.exchangeP50; });
    const double x1 = load(0, [](const SLoadFigures& l) { return l.exchangeP50; });
    Row("host exchange at host p50 (ms)", x50[0], x50[1], x50[2], Fixed(resumedAtHost, 2),
        "+" + Fixed(x1 - resumedAtHost, 2) + "/+" + Fixed(x200 - resumedAtHost, 2), "<= bare + 1 ms",
        Met(x1 - resumedAtHost <= 1 && x200 - resumedAtHost <= 1));
    const std::vector<std::string> x99 = cells([](const SLoadFigures& l) { return l.exchangeP99; }, 2);
    Row("host exchange at host p99 (ms)", x99[0], x99[1], x99[2], "", "", "", "");
    const std::vector<std::string> matched = cells([](const SLoadFigures& l) { return l.matched; }, 0);
    Row("  host connections matched to lanes", matched[0], matched[1], matched[2], "", "", "", "");

    const double idle0 = MedianOf(runs, [](const SRunFigures& r) { return r.idleNoLane.wakeupsPerSecond; });
    const double idle200 = MedianOf(runs, [](const SRunFigures& r) { return r.idleLanes.wakeupsPerSecond; });
    const double share0 = MedianOf(runs, [](const SRunFigures& r) { return 100 * r.idleNoLane.coreShare; });
    const double share200 = MedianOf(runs, [](const SRunFigures& r) { return 100 * r.idleLanes.coreShare; });
    std::printf("\n");
    Row("idle", "no lane", "", "200 idle", "", "", "", "");
    Row("idle wake-ups per second", Fixed(idle0, 1), "", Fixed(idle200, 1), "", "", "only the named timers", "");
    Row("idle share of one core (%)", Fixed(share0, 3), "", Fixed(share200, 3), "", "", "< 0.1%",
        Met(share0 < 0.1 && share200 < 0.1));
    Row("  the same from utime+stime (%)",
        Fixed(MedianOf(runs, [](const SRunFigures& r) { return 100 * r.idleNoLane.tickShare; }), 3), "",
        Fixed(MedianOf(runs, [](const SRunFigures& r) { return 100 * r.idleLanes.tickShare; }), 3), "", "", "", "");
    Row("idle threads", Fixed(MedianOf(runs, [](const SRunFigures& r) { return r.idleNoLane.threads; }), 0), "",
        Fixed(MedianOf(runs, [](const SRunFigures& r) { return r.idleLanes.threads; }), 0), "", "", "", "");
    Row("idle resident memory (MB)", Fixed(MedianOf(runs, [](const SRunFigures& r) { return r.idleNoLane.rssMb; }), 1),
        "", Fixed(MedianOf(runs, [](const SRunFigures& r) { return r.idleLanes.rssMb; }), 1), "", "", "", "");

    std::printf("\n200 lanes sending a Sale at the same instant:");
    bool allApproved = true;
    for (const SRunFigures& r : runs) {
        std::printf(" %d/%d approved (last reply after %.0f ms);", r.burst.approved, r.burst.total,
                    r.burst.lastReplyMs);
        allApproved = allApproved && r.burst.approved == r.burst.total;
    }
    std::printf(" goal: all approved: %s\n", Met(allApproved));
    std::printf("\nreply - delivery moment: final reply - send - 1 s, approved transactions. 'Queued' reply -> "
                "host accept:\nfrom the lane's reading of its \"Queued\" reply to the simulator's accept of the "
                "connection that carries\nthe transaction (negative: the connection came first). Host exchange: "
                "accept to close, as the simulator\nsees it; the floor column is the bare resumed exchange seen the "
                "same way.\n");
}

bool ParseOptions(int argc, char** argv, SOptions* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options->quick = true;
            options->runs = 1;
            options->loadSeconds = 3;
            options->idleSeconds = 2;
            options->floorIterations = 20;
        } else if (arg == "--runs" && i + 1 < argc) {
            options->runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--in-step") {
            options->inStep = true;
        } else if (arg == "--seconds" && i + 1 < argc) {
            options->loadSeconds = std::max(1.0, std::atof(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--runs N] [--seconds S] [--in-step]\n", argv[0]);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    SOptions options;
    if (!ParseOptions(argc, argv, &options)) {
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const std::string loadBefore = LoadAverage();
    std::vector<SRunFigures> runs;
    for (int i = 0; i < options.runs; ++i) {
        SRunFigures figures;
        std::string error;
        if (!RunOnce(options, &figures, &error)) {
            std::fprintf(stderr, "run %d failed: %s\n", i + 1, error.c_str());
            return 1;
        }
        std::fprintf(stderr, "run %d of %d done\n", i + 1, options.runs);
        runs.push_back(std::move(figures));
    }
    PrintTable(options, runs, loadBefore);
    return 0;
}
