#pragma once
// The dial backup: when the merchant's transport method allows dial, a worker thread opens the modem's COM
// port, checks the line and the modem, and then serves the transactions that the host interface hands over in
// g_TransactionQueue with state 8: it initialises the modem, dials the host, exchanges the host message in an
// STX/ETX/LRC frame with ACK/NAK, writes the answer back and marks the transaction 10 (answered) or 9/11
// (failed). g_DialConnectedEvent is set while a call is up.

#include <atomic>
#include <memory>
#include <string>

#include "host/ComPort.h"
#include "host/DialTimings.h"
#include "platform/ControlChars.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/WorkerThread.h"
#include "transaction/Transaction.h"

// The modem's initialisation command.
inline constexpr char kModemInitCommand[] = "AT&FE0Q0V1&C1&Q6X4$F1&D2S7=23S12=4S25=8";
// The most a response frame may carry between STX and ETX.
inline constexpr size_t kDialResponseLimit = 4096;

// The texts of the dial backup.
inline constexpr char kDialOpenFailedFormat[] = "Could not Open Com Port %d.";
inline constexpr char kDialDsrInactiveFormat[] =
    "DSR found Inactive on Com Port %d.\r\nMake Sure Corvane Device is Connected and Powered.";
inline constexpr char kDialCtsInactiveFormat[] =
    "CTS found Inactive on Com Port %d.\r\nYou may have a defective COM Port.\r\nIf you are emulating a COM "
    "Port,(USB to Serial Converter or equivalent)\r\nthe emulation may not fully support Flow Control.\r\nFlow "
    "Control is required.\r\n";
inline constexpr char kDialDeviceFailedFormat[] = "Failed to Initialize Device on Com Port %d.\r\n%s";
inline constexpr char kDialThreadFailedText[] = "The DialBackupServer thread could NOT be started.\r\nThis error is "
                                                "FATAL!";
inline constexpr char kDialHangUpFailedText[] = "Failed to Hang up Modem!";
inline constexpr char kDialTransmitFailedText[] = "Com Port Transmit Failed!";
inline constexpr char kDialNoInitResponseText[] = "Modem Failed - No Response to Init Command";
inline constexpr char kDialNoDialResponseText[] = "Modem Failed - No Response to Dial Command";
inline constexpr char kDialFailedToConnectText[] = "Failed To Connect.";
inline constexpr char kDialResponseTimeoutText[] = "Timeout Waiting for Response.";
inline constexpr char kDialShuttingDownText[] = "Dial Backup Server Shutting Down.";
inline constexpr char kDialLostCarrierText[] = "Lost Carrier Waiting for Response.";
inline constexpr char kDialBadLrcText[] = "Bad LRC on Response NAK'd.";
inline constexpr char kDialResponseTooLongText[] = "Response Too Long NAK'd.";

// The LRC of a frame carrying |body|: the XOR of every body byte and ETX.
char DialFrameLrc(const std::string& body);
// STX + |message| + ETX + LRC.
std::string BuildDialFrame(const std::string& message);
// Whether |received| is the LRC of |body|.
bool CheckLrc(const std::string& body, char received);
// "ATDT" + |prefix| + |number| without the CR, LF and ';' that would end the command or start another;
// |stripped| says whether any was there.
std::string BuildDialString(const std::string& prefix, const std::string& number, bool* stripped);

// Owns the COM port and the worker thread. Start, Stop and the destructor are for the owning thread (the
// view); the worker thread owns the port while it runs; IsRunning may be asked from any thread (the host
// workers' probe).
class CDialBackupServer {
public:
    explicit CDialBackupServer(const SDialTimings& timings = SDialTimings());
    virtual ~CDialBackupServer();
    CDialBackupServer(const CDialBackupServer&) = delete;
    CDialBackupServer& operator=(const CDialBackupServer&) = delete;

    // Starts the worker on COM port |comPort| and waits (keeping the window responsive) until it serves or has
    // failed; false with GetLastErrorText saying why.
    bool Start(int comPort);
    // Ends the worker (a dial or an exchange under way gives up within a few milliseconds) and joins it.
    // Harmless when not running.
    void Stop();
    std::string GetLastErrorText() const;
    // Whether the worker serves the queue's state-8 transactions now.
    bool IsRunning() const { return m_Serving.load(); }

    // The port, for a test to point its numbers elsewhere before Start.
    CComPort& Port() { return m_Port; }
    const std::string& GetPortName() const { return m_PortName; }

    // The worker's body.
    int Run();

private:
    void Fail(const std::string& text);
    // One transaction in state 8: a call (hung up first for a reversal), the exchange, the write-back. False when
    // no carrier was there to send it on: the record is left in state 8 for the next pass.
    bool Serve(CTransaction& transaction);
    void EndFailed(CTransaction& transaction, int32_t state);
    bool InitModem();
    bool Dial();
    bool WaitForEnq();
    bool ExchangeFrame(CTransaction& transaction);
    // Answers a bad response frame with NAK after a pause; the exchange then waits for the host's resend.
    void RejectResponse(const char* text);
    bool HangUp();
    void SetLastError(const std::string& text);

    SDialTimings m_Timings;
    CComPort m_Port;
    int m_ComPortNumber = 0;
    std::string m_PortName;
    std::unique_ptr<CWorkerThread> m_pThread;
    CEvent m_FailedEvent{false};
    CEvent m_StartedEvent{true};
    CEvent m_StopEvent{true};     // also the port's cancel event
    CEvent m_QueueChanged{false}; // set by g_TransactionQueue on every add and replace while the worker serves
    std::atomic<bool> m_Serving{false};
    // Whether the last failed exchange was not a reversal's (a reversal then keeps the call that is up).
    bool m_LastFailureNotReversal = false; // worker thread only
    mutable CMutex m_ErrorLock;
    std::string m_LastError GUARDED_BY(m_ErrorLock);
};
