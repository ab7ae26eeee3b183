#pragma once
// The COM port under the dial backup: a serial device opened with fixed line settings, a comm-event thread
// that turns line changes and arrivals into events, writes and reads with time-outs that give way to a cancel
// event, the modem's status lines, AT commands and their answers, the check that the attached modem is the
// maker's model, and the two ways of hanging up.

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "host/DialTimings.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"
#include "platform/WorkerThread.h"

// Result codes of the waiting operations.
enum ComResult : int {
    kComSuccess = 0,     // the expected answer arrived, or the write completed
    kComFailure = 1,     // wrong device, write error, or an unexpected byte
    kComTimeout = 5,     // the time ran out
    kComCancelled = 6,   // the cancel event was set
    kComCarrierLost = 9, // the carrier dropped
};

// The identity check's command, the genuine-model check's command and the hang-up commands.
inline constexpr char kModemIdentityCommand[] = "AT&FE0Q0V1&C1&Q6X4$F1&D2S7=23S12=4S25=8I3";
inline constexpr char kModemModelCheckCommand[] = "AT&UT0 0 1 1";
inline constexpr char kModemEscape[] = "+++";
inline constexpr char kModemHangUpCommand[] = "ATH0";
// The texts of a failed identity check.
inline constexpr char kModemNoResponseText[] = "Timeout on Response.";
inline constexpr char kModemNotGenuineText[] = "Make Sure Device is Genuine Corvane Wirebell Modem (not Fluxcart).";

inline constexpr size_t kComReceiveBufferSize = 1024;

// Owns the serial device, the comm-event thread and its events. The owner's one thread (the dial backup
// worker) makes every call; the comm-event thread only reads the lines and the input count and sets events,
// and does so only while a call is up (the carrier on) or an operation of the port waits for an answer: an idle
// port costs no wake-ups. The cancel event is not owned: the owner keeps it alive while the port is open.
class CComPort {
public:
    using Resolver = std::function<CComPortLocation(int port)>;
    // Takes the status lines as the port reads them (kLine* bits) and gives what its callers see.
    using LineFilter = std::function<unsigned(unsigned lines)>;

    explicit CComPort(const SDialTimings& timings = SDialTimings());
    virtual ~CComPort();
    CComPort(const CComPort&) = delete;
    CComPort& operator=(const CComPort&) = delete;

    // Where port numbers lead (ResolveComPort unless a test points them elsewhere). Before Open.
    void SetResolver(Resolver resolver) { m_Resolver = std::move(resolver); }
    void SetTimings(const SDialTimings& timings) { m_Timings = timings; }
    // A test's hand on the status lines that IsCarrier, IsDsr and IsCts read: how a carrier that drops between
    // two reads, too short to play on a pty, is played. Before Open.
    void SetLineFilter(LineFilter filter) { m_LineFilter = std::move(filter); }

    // Opens COM port |port| (1..255) with the line settings, raises DTR and RTS and starts the comm-event
    // thread; false (closed, nothing left running) when any step fails, the reason in the log.
    bool Open(int port, int baud, char parity, char dataBits, char stopBits);
    // Ends the comm-event thread, drops DTR and closes the device. True when it was closed or is now.
    bool Close();
    bool IsOpen() const { return m_Serial.IsOpen(); }
    int GetPortNumber() const { return m_PortNumber; }

    void SetCancelEvent(CEvent* cancel) { m_pCancel = cancel; }
    // kComCancelled when the cancel event is set within |ms|, else kComTimeout.
    int WaitCancel(uint32_t ms);

    // Writes all |length| bytes and waits until they have left the output queue, at most |timeoutMs|:
    // kComSuccess, kComFailure (the device refused them), kComTimeout or kComCancelled (what was not sent is
    // dropped then, so no piece of it goes out later).
    int Write(const char* bytes, size_t length, uint32_t timeoutMs);
    int WriteString(const std::string& text, uint32_t timeoutMs) { return Write(text.data(), text.size(), timeoutMs); }

    // Bytes waiting to be read (0 on failure).
    int BytesAvailable();
    // Reads what is waiting, at most |max| (-1: no limit of the caller's) and at most 1023 bytes, into the
    // receive buffer; returns the count. A read that meets a byte with a parity or framing error returns 0: that
    // byte is dropped and the rest is left for the next read.
    int Read(int max);
    const char* GetReceiveBuffer() const { return m_ReceiveBuffer.data(); }
    // Puts |bytes| back before anything still waiting, so the next Read returns them first: a reader that
    // stopped in the middle of what it read leaves the rest for the next one.
    void Unread(const std::string& bytes) { m_Pending.insert(0, bytes); }
    // Drops whatever is waiting.
    void PurgeInput();

    // The modem's status lines; false when closed or unreadable.
    bool IsCarrier();
    bool IsDsr();
    bool IsCts();
    // DTR and RTS; false when closed or refused.
    bool SetDtr(bool on);
    bool SetRts(bool on);
    // The output lines as last set.
    bool GetDtr() const { return m_DtrOn; }
    bool GetRts() const { return m_RtsOn; }

    // Sends |text| and, with |addCr|, a CR after a short settle that drops the text's echo.
    int SendCommand(const std::string& text, bool addCr);
    // The first non-empty line within |timeoutMs| without CR or LF; whatever followed its LF stays waiting.
    int ReadLine(uint32_t timeoutMs, std::string* line);
    // kComSuccess once the answer holds "OK" or the numeric "0\r".
    int WaitForOk(uint32_t timeoutMs);
    // True once the carrier is on; false after |timeoutMs| or on cancel.
    bool WaitForCarrier(uint32_t timeoutMs);
    // Checks that the modem is the maker's model: its identity answer, then its refusal of a command that only
    // the other model takes. kComSuccess; otherwise a code with |text| saying why (empty when the identity answer
    // came and the model check then went unanswered or was cancelled).
    int CheckModemIdentity(std::string* text, uint32_t timeoutMs);
    // Drops DTR and waits for the carrier to go; when it stays, escapes to command mode and sends "ATH0".
    // DTR is raised again whatever happened.
    bool HangUp();

    // Events of the comm-event thread (automatic reset): the carrier, CTS or DSR changed, or data arrived. They
    // are seen while the thread watches: a change while the port is idle is reported once it watches again.
    CEvent& CarrierChangedEvent() { return m_CarrierChanged; }
    CEvent& CtsChangedEvent() { return m_CtsChanged; }
    CEvent& DataReceivedEvent() { return m_DataReceived; }
    CEvent& DsrChangedEvent() { return m_DsrChanged; }
    // How many times the comm-event thread has woken to look at the lines since the port was made. Any thread.
    uint64_t LineWatchWakeUps() const { return m_WatchWakeUps.load(); }

private:
    // Keeps the comm-event thread watching while an operation of the port waits for an answer. Owner's thread.
    class CWatchHold {
    public:
        explicit CWatchHold(CComPort& port);
        ~CWatchHold();
        CWatchHold(const CWatchHold&) = delete;
        CWatchHold& operator=(const CWatchHold&) = delete;

    private:
        CComPort& m_Port;
    };

    int CommEventThread();
    bool Cancelled() const { return m_pCancel != nullptr && m_pCancel->IsSet(); }
    bool HasLine(unsigned line);
    // The reading loop: until |timeoutMs| has passed, gives way to the cancel event within a millisecond and
    // hands every arrival to |take|, which returns the code to end with or -1 to read on.
    int ReadUntil(uint32_t timeoutMs, const std::function<int(const std::string& bytes)>& take);
    // Accumulates the answer until |done| finds in it the code to end with (or -1 to read on).
    int Accumulate(uint32_t timeoutMs, const std::function<int(const std::string& answer)>& done);
    void LogTransmitTimeout();

    SDialTimings m_Timings;
    Resolver m_Resolver;
    LineFilter m_LineFilter;
    int m_PortNumber = 0;
    CSerialPort m_Serial;
    CEvent* m_pCancel = nullptr;
    std::unique_ptr<CWorkerThread> m_pEventThread;
    CEvent m_CarrierChanged{false};
    CEvent m_CtsChanged{false};
    CEvent m_DataReceived{false};
    CEvent m_DsrChanged{false};
    CEvent m_ThreadFailed{true};
    CEvent m_ThreadStarted{true};
    CEvent m_ThreadStop{true};
    CEvent m_WatchWanted{false};      // set when the first hold begins
    std::atomic<int> m_WatchHolds{0}; // operations waiting for an answer now
    std::atomic<uint64_t> m_WatchWakeUps{0};
    bool m_DtrOn = false; // the output lines as last set
    bool m_RtsOn = false;
    std::string m_Pending; // read from the device but not yet taken by a reader
    std::array<char, kComReceiveBufferSize> m_ReceiveBuffer{};
};
