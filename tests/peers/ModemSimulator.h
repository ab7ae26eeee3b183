#pragma once
// The dial-up modem and the host's dial-in service, on the master side of a pty: the server's COM port opens the
// pty's slave and meets a modem that answers its AT commands by script (identity and genuine-model checks, echo,
// OK/ERROR, CONNECT with the carrier raised, BUSY, NO DIALTONE or silence, "+++" and ATH0, a hang-up when DTR
// drops), then, in data mode, the host: ENQ, the LRC check of the server's frame, ACK/NAK, and the answer frame
// from the same card host (CCardHost) that the IP simulator uses, so balances agree whichever path a
// transaction took. A pty has no modem lines: DCD, DSR and CTS live in a line-state file
// (platform/SharedModemLines.h) that the server's port maps.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/DialTimings.h"
#include "peers/CardHost.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "platform/SerialPort.h"
#include "platform/SharedModemLines.h"

// How the modem answers the dial command.
enum class ModemDialAnswer {
    Connect,               // CONNECT with the carrier raised
    ConnectWithoutCarrier, // CONNECT, but the carrier never comes
    Busy,
    NoDialtone,
    NoCarrier,
    Error,
    Other, // a line that names no known failure (the script's otherText)
    Silence,
};

// What the host does with a frame it accepted.
enum class ModemHostAnswer {
    Good,              // the answer frame
    BadLrcFirst,       // the answer with a wrong LRC, then the good one after the server's NAK
    LineErrorFirst,    // the answer with a byte in its middle that arrived with a parity error, then the good one
    CarrierLostMidway, // half the answer, then the carrier drops
    None,              // no answer at all
};

struct CModemScript {
    bool dsr = true;
    bool cts = true;
    bool answers = true;           // false: a modem that says nothing at all
    std::string identity = "CX84"; // the first line of the identity answer
    bool genuine = true;           // the maker's model refuses the other model's command
    bool answersModelCheck = true; // false: silent to that command alone
    bool echo = true;              // echo at power-up
    bool honoursEchoOff = true;    // "E0" turns the echo off
    std::string initAnswer = "OK"; // the answer to the initialisation command ("" none)
    ModemDialAnswer dial = ModemDialAnswer::Connect;
    std::string connectText = "CONNECT 14400";
    std::string otherText = "RINGING";
    bool enq = true;              // the host sends ENQ when it is ready for a frame
    bool enqBehindConnect = true; // that ENQ in the same write as the CONNECT line
    int nakFrames = 0;            // the host NAKs this many good frames first
    bool enqAfterNak = true;      // and sends ENQ after each NAK
    ModemHostAnswer host = ModemHostAnswer::Good;
    // Replaces the card host's answer to a request, when set (the card host then sees nothing).
    std::function<std::string(const std::string& request)> answerer;
    uint32_t answerDelayMs = 0; // real time between the ACK and the answer
    bool hangUpOnDtrDrop = true;
    // The modem goes away 200 ms after its CONNECT (unplugged): the server's next write fails.
    bool vanishOnConnect = false;
    // Whether the card host books a message whose answer it does not give (ModemHostAnswer::None).
    bool hostApplies = true;
};

// Owns the pty, the line-state file and the modem's thread. Thread-safe: the script and the recordings may be
// used from the test thread while the modem's thread serves the port.
class CModemSimulator {
public:
    // |host| must outlive the simulator.
    explicit CModemSimulator(CCardHost& host, CModemScript script = CModemScript());
    ~CModemSimulator();
    CModemSimulator(const CModemSimulator&) = delete;
    CModemSimulator& operator=(const CModemSimulator&) = delete;

    // Opens the pty, makes the line-state file at |linesFile| and starts serving. False with LastError.
    bool Start(const std::string& linesFile);
    void Stop();
    const std::string& LastError() const { return m_LastError; }

    // The pty's slave, for the server's port, and the line-state file.
    const std::string& DevicePath() const { return m_DevicePath; }
    const std::string& LinesPath() const { return m_LinesPath; }
    CComPortLocation Location() const { return {m_DevicePath, m_LinesPath}; }

    void SetScript(const CModemScript& script);
    CModemScript Script() const;
    // The line drops the call: the carrier goes, "NO CARRIER", and the modem is back in command mode.
    void LoseCarrier();
    // Raises or drops DSR, CTS or DCD (a kLine* bit) at once.
    void SetLine(unsigned line, bool on);
    // Sends |before|, then |bad| as a byte that arrived with a parity or framing error, then |after|.
    void SendWithLineError(const std::string& before, char bad, const std::string& after);
    bool Line(unsigned line) const;

    // Every command line the modem received (from "AT" on, without CR), in order.
    std::vector<std::string> Commands() const;
    // The numbers dialled (after "ATDT").
    std::vector<std::string> Dialled() const;
    // Each frame the host received, whole: STX, message, ETX, LRC.
    std::vector<std::string> Frames() const;
    // Each answer frame the host sent, whole.
    std::vector<std::string> Answers() const;
    // Every byte that reached the host in data mode, in order.
    std::string DataBytes() const;
    int DtrDrops() const;
    int Calls() const;
    bool Connected() const;

private:
    enum class Mode { Command, Data };
    enum class Frame { Idle, Body, Lrc };

    void Serve();
    void Take(char c) REQUIRES(m_Lock);
    void Execute(const std::string& line) REQUIRES(m_Lock);
    void DialNumber(const std::string& number) REQUIRES(m_Lock);
    void TakeData(char c) REQUIRES(m_Lock);
    void OnFrame(const std::string& body, bool lrcOk) REQUIRES(m_Lock);
    void Answer(const std::string& text) REQUIRES(m_Lock);
    void HangUp() REQUIRES(m_Lock);
    // Writes |bytes| to the port |delayMs| of real time from now (after what is already waiting), then runs
    // |after|.
    void Send(const std::string& bytes, uint32_t delayMs = 0, std::function<void()> after = {}) REQUIRES(m_Lock);
    void RunDueOutput() REQUIRES(m_Lock);
    // |bad| as the port reads a byte in error (marked), the pty's own marking of the byte 0xFF turned off for it.
    std::string LineError(char bad) REQUIRES(m_Lock);
    void WriteMaster(const std::string& bytes) REQUIRES(m_Lock);

    struct COutput {
        uint64_t dueMs;
        std::string bytes;
        std::function<void()> after;
    };

    CCardHost& m_Host;
    std::string m_LastError;
    std::string m_DevicePath;
    std::string m_LinesPath;
    int m_Master = -1;
    int m_Slave = -1; // kept open so the pty lives on between the port's opens
    std::unique_ptr<CSharedModemLines> m_Lines;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;

    mutable CMutex m_Lock;
    CModemScript m_Script GUARDED_BY(m_Lock);
    Mode m_Mode GUARDED_BY(m_Lock) = Mode::Command;
    bool m_Echo GUARDED_BY(m_Lock) = true;
    std::string m_Line GUARDED_BY(m_Lock);
    Frame m_Frame GUARDED_BY(m_Lock) = Frame::Idle;
    std::string m_Body GUARDED_BY(m_Lock);
    int m_Pluses GUARDED_BY(m_Lock) = 0;
    int m_NaksLeft GUARDED_BY(m_Lock) = 0;
    std::string m_PendingAnswer GUARDED_BY(m_Lock); // the good answer frame until the server ACKs it
    unsigned m_SeenDtrDrops GUARDED_BY(m_Lock) = 0;
    std::vector<std::string> m_Commands GUARDED_BY(m_Lock), m_Dialled GUARDED_BY(m_Lock), m_Frames GUARDED_BY(m_Lock),
        m_Answers GUARDED_BY(m_Lock);
    std::string m_DataBytes GUARDED_BY(m_Lock);
    int m_DtrDrops GUARDED_BY(m_Lock) = 0;
    int m_Calls GUARDED_BY(m_Lock) = 0;
    std::deque<COutput> m_Outbox GUARDED_BY(m_Lock);
    CSystemClock m_RealClock; // the modem keeps real time whatever clock the server runs on
};

// |timings| with every limit divided by |divisor| (at least 1 ms each), for tests that wait out time limits.
SDialTimings ScaleDialTimings(const SDialTimings& timings, uint32_t divisor);
