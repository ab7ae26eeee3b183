#pragma once
// Stand-ins for the interface pieces of the start-up and shut-down, which write what is done to them into one
// journal, and the small helpers their tests share: a configured parameter set and the log read back.

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/InterfaceController.h"
#include "app/LauncherViewCopy.h"
#include "common/LogFolder.h"
#include "common/ParamSets.h"
#include "foundation/AppMode.h"
#include "foundation/Logger.h"
#include "foundation/ParamStore.h"
#include "platform/Clock.h"
#include "transaction/TransactionQueue.h"

// Everything the stand-ins, the view and the presenter see, in the order it happened.
class CJournal {
public:
    void Add(const std::string& entry) {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Entries.push_back(entry);
    }
    std::vector<std::string> Entries() const {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Entries;
    }
    bool Contains(const std::string& entry) const {
        for (const std::string& e : Entries()) {
            if (e == entry) {
                return true;
            }
        }
        return false;
    }
    // Position of the first |entry|, or -1.
    int IndexOf(const std::string& entry) const {
        const std::vector<std::string> entries = Entries();
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i] == entry) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

private:
    mutable std::mutex m_Lock;
    std::vector<std::string> m_Entries;
};

// Results a stand-in gives to its successive Start calls; the last one repeats.
class CStartScript {
public:
    explicit CStartScript(std::vector<bool> results = {true}) : m_Results(std::move(results)) {}
    bool Next() {
        const bool result = m_Results.at(std::min(m_Calls, m_Results.size() - 1));
        ++m_Calls;
        return result;
    }
    void Set(std::vector<bool> results) {
        m_Results = std::move(results);
        m_Calls = 0;
    }

private:
    std::vector<bool> m_Results;
    size_t m_Calls = 0;
};

class CFakeReverseWorker final : public IReversalWorkerPart {
public:
    explicit CFakeReverseWorker(CJournal& journal) : m_Journal(journal) {}
    bool Start() override {
        m_Journal.Add("ReverseWorker.Start");
        return script.Next();
    }
    void Stop() override { m_Journal.Add("ReverseWorker.Stop"); }
    CStartScript script;

private:
    CJournal& m_Journal;
};

class CFakeHostInterface final : public IHostInterfacePart {
public:
    explicit CFakeHostInterface(CJournal& journal) : m_Journal(journal) {}
    bool Start() override {
        m_Journal.Add("RuvuzUvir.Start");
        if (whileStarting) {
            whileStarting();
        }
        return script.Next();
    }
    void Stop() override { m_Journal.Add("RuvuzUvir.Stop"); }
    std::string GetLastErrorText() const override { return "Host unreachable"; }
    CStartScript script;
    // Runs inside each Start, as a real start's wait would (a test may pump events there).
    std::function<void()> whileStarting;

private:
    CJournal& m_Journal;
};

class CFakeDialBackup final : public IDialBackupPart {
public:
    explicit CFakeDialBackup(CJournal& journal) : m_Journal(journal) {}
    bool Start(int comPort) override {
        m_Journal.Add("DialBackup.Start(" + std::to_string(comPort) + ")");
        return script.Next();
    }
    void Stop() override { m_Journal.Add("DialBackup.Stop"); }
    std::string GetLastErrorText() const override { return "COM 04 could not be opened."; }
    bool IsRunning() const override { return false; }
    CStartScript script;

private:
    CJournal& m_Journal;
};

class CFakeServiceDiscovery final : public IServiceDiscoveryPart {
public:
    explicit CFakeServiceDiscovery(CJournal& journal) : m_Journal(journal) {}
    bool Start() override {
        m_Journal.Add("ServiceDiscovery.Start");
        return script.Next();
    }
    void Stop() override { m_Journal.Add("ServiceDiscovery.Stop"); }
    CStartScript script;

private:
    CJournal& m_Journal;
};

class CFakePipe final : public ILauncherPipePart {
public:
    explicit CFakePipe(CJournal& journal) : m_Journal(journal) {}
    bool Start(const std::string& pipeName) override {
        m_Journal.Add("Pipe.Start(" + pipeName + ")");
        return script.Next();
    }
    int GetLastErrorCode() const override { return 5; }
    std::string GetLastErrorText() const override { return "The pipe folder /run/none does not exist."; }
    void Stop() override { m_Journal.Add("Pipe.Stop"); }
    CStartScript script;

private:
    CJournal& m_Journal;
};

// How the stand-in server's session count moves: a function of the clock seam's time.
using ActiveCountScript = std::function<int(uint64_t tick)>;

// Makes stand-in servers that read its settings while they live, so a test can change them mid-way.
class CFakeServerFactory final : public IClientServerFactory {
public:
    explicit CFakeServerFactory(CJournal& journal) : m_Journal(journal) {}
    std::unique_ptr<IClientServerPart> Create() override;

    bool failAllocation = false;
    int startResult = 0;
    int requestedPort = 9100;
    int stopResult = 0;
    ActiveCountScript activeCount;
    uint64_t destroyedAtTick = 0;

private:
    CJournal& m_Journal;
};

class CFakeServer final : public IClientServerPart {
public:
    CFakeServer(CJournal& journal, CFakeServerFactory& factory) : m_Journal(journal), m_Factory(factory) {}
    ~CFakeServer() override {
        m_Factory.destroyedAtTick = GetClock().TickMs();
        m_Journal.Add("Server.Destroy");
    }
    void SetMaxConnections(int count) override {
        m_Journal.Add("Server.SetMaxConnections(" + std::to_string(count) + ")");
    }
    int Start() override {
        m_Journal.Add("Server.Start");
        m_Started = m_Factory.startResult == 0;
        return m_Factory.startResult;
    }
    int Stop() override {
        m_Journal.Add("Server.Stop");
        return m_Factory.stopResult;
    }
    int GetActiveCount() const override {
        return m_Factory.activeCount ? m_Factory.activeCount(GetClock().TickMs()) : 0;
    }
    void SetGoingOffline() override { m_Journal.Add("Server.GoingOffline"); }
    int GetPort() const override { return m_Started ? m_Factory.requestedPort : -1; }
    int GetRequestedPort() const override { return m_Factory.requestedPort; }
    std::string GetLastErrorText() const override {
        return m_Factory.startResult == 0 ? "" : "bind: Address already in use";
    }

private:
    CJournal& m_Journal;
    CFakeServerFactory& m_Factory;
    bool m_Started = false;
};

inline std::unique_ptr<IClientServerPart> CFakeServerFactory::Create() {
    m_Journal.Add("Server.Create");
    if (failAllocation) {
        return nullptr;
    }
    return std::make_unique<CFakeServer>(m_Journal, *this);
}

// Stands in for the management-service download; may store a new parameter set as a real one would.
class CFakeDownload final : public IParameterDownloadPart {
public:
    explicit CFakeDownload(CJournal& journal) : m_Journal(journal) {}
    void Run() override {
        m_Journal.Add("Download.Run");
        ranOnOtherThread = std::this_thread::get_id() != mainThread;
        flagSetBeforeRun = g_bParametersRetrievedOnce.load();
        if (store != nullptr) {
            CParamStore::Instance().SetParams(*store);
        }
    }
    bool Succeeded() const override { return true; }
    std::string GetLastErrorText() const override { return ""; }
    std::thread::id mainThread = std::this_thread::get_id();
    bool ranOnOtherThread = false;
    bool flagSetBeforeRun = false;
    const CParamSettings* store = nullptr;

private:
    CJournal& m_Journal;
};

// Owns one journal and a stand-in for every piece, for a view that keeps its pieces.
class CFakeInterfaces final : public IInterfaceSet {
public:
    CInterfaceParts Parts() override {
        return CInterfaceParts{reverse, host, dial, discovery, pipe, factory, download};
    }
    CLauncherViewCopy* LauncherView() override { return &launcherView; }

    // What a launcher pipe would answer from; the stand-in pipe itself reads nothing.
    CLauncherViewCopy launcherView;

    CJournal journal;
    CFakeReverseWorker reverse{journal};
    CFakeHostInterface host{journal};
    CFakeDialBackup dial{journal};
    CFakeServiceDiscovery discovery{journal};
    CFakePipe pipe{journal};
    CFakeServerFactory factory{journal};
    CFakeDownload download{journal};
};

// A configured parameter set (not the defaults) with the given transport, COM port and lanes, unchecked, so that
// values the types would refuse (an empty lane count) can be tried too.
inline CParamSettings ConfiguredSettings(const std::string& transport = "0", const std::string& lanes = "2",
                                         const std::string& comPort = "4") {
    return ParamsWithUnchecked(DefaultParams(), {{kParamMerchantId, "MERCHANT001"},
                                                 {kParamTerminalId, "0001"},
                                                 {kParamTransportMethod, transport},
                                                 {kParamModemComPort, comPort},
                                                 {kParamNumberOfLanes, lanes}});
}

// Whether |lines| stand in |log| in this order.
inline ::testing::AssertionResult LoggedInOrder(const std::string& log, const std::vector<std::string>& lines) {
    size_t from = 0;
    for (const std::string& line : lines) {
        const size_t at = log.find(line, from);
        if (at == std::string::npos) {
            return ::testing::AssertionFailure() << "\"" << line << "\" is not logged after the lines before it in:\n"
                                                 << log;
        }
        from = at + line.size();
    }
    return ::testing::AssertionSuccess();
}

// The process-wide state a start-up reads, as a test of the start-up wants it: a log folder in the current
// directory, neither service nor launcher mode, the parameter download already done (the download tests clear
// it themselves), an empty transaction queue.
inline void PrepareStartUpState() {
    std::filesystem::create_directory(CLogger::kFolderName);
    AppModeFlags().SetStartedAsService(false);
    AppModeFlags().SetStartedByLauncher(false);
    g_bParametersRetrievedOnce.store(true);
    g_TransactionQueue.RemoveAll();
}
