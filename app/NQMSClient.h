#pragma once
// The management service (NQMS) that hands out a merchant's parameters: one TLS session to the primary host,
// else the secondary, with two Content-Length framed messages each way. The service sends a challenge, which we
// answer with session key 2 of the crypto object; we ask for this device's parameters with a challenge of our
// own, which the service must answer the same way; a set that passes every check becomes the current, saved set.
// The session ends with a last message, "OK" or what went wrong.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "host/TlsChannel.h"
#include "platform/MachineId.h"

// One host of the management service.
struct CServiceHost {
    std::string name;
    int port = 443;
    bool operator==(const CServiceHost& other) const = default;
};

// Names the management-service hosts in place of ours, for a site or a test: "host:port[,host:port]" (the port
// may be left out: 443).
inline constexpr char kNqmsHostsVariable[] = "KESTROVE_NQMS_HOSTS";

// The hosts of |text| in that form, at most two, blanks around each ignored; empty when it names none.
std::vector<CServiceHost> ParseServiceHosts(const std::string& text);
// The hosts from $KESTROVE_NQMS_HOSTS when it names any, else our primary and secondary host on port 443.
std::vector<CServiceHost> ManagementServiceHosts();

// Owns one TLS connection and the texts of one retrieval; shares the process's credential, crypto object and
// parameter store (all of which must outlive it). Errors are the socket's last error code and text. Not
// thread-safe: one worker thread runs a retrieval; the thread that made the client reads the result after it.
class CNQMSClient : public CTlsChannel {
public:
    static constexpr char kPrimaryHost[] = "nqms1.kestrove.com";
    static constexpr char kSecondaryHost[] = "nqms2.kestrove.com";
    static constexpr int kServicePort = 443;
    // The fixed fields of the parameter request.
    static constexpr char kApplicationVersion[] = "VL 5.06";
    static constexpr char kApplicationBuild[] = "0001";
    static constexpr char kPartNumber[] = "5006.1621";
    static constexpr char kParamSetVersion[] = "4";
    static constexpr char kProtocolVersion[] = "1";
    static constexpr size_t kChallengeBytes = 16;

    static constexpr uint32_t kConnectTimeoutMs = 10000;
    static constexpr uint32_t kHandshakeTimeoutMs = 10000;
    // How long one message may take to arrive whole, on the clock seam.
    static constexpr uint32_t kReceiveBudgetMs = 20000;
    // No parameter message comes near this; a longer one is refused.
    static constexpr size_t kMaxMessageBytes = 65536;

    // Codes of this class (the socket's and the channel's are in their classes).
    static constexpr int kCodeMessageTooLarge = 3130;
    static constexpr int kCodeMessageIncomplete = 3131;

    // |deviceId| is what the request names this device by (CVYRRuvuzUvirIP_Voda50App::GetDeviceId); the
    // service's certificate is checked against its host name on every connect.
    explicit CNQMSClient(std::string deviceId, const CTlsContext* credential = g_SspiProvider.GetCredential(),
                         CRequest& crypto = CRequest::Instance(), CParamStore& store = CParamStore::Instance());
    ~CNQMSClient() override;

    // The hosts to try in order (ManagementServiceHosts() until set).
    void SetHosts(std::vector<CServiceHost> hosts) { m_Hosts = std::move(hosts); }
    const std::vector<CServiceHost>& GetHosts() const { return m_Hosts; }
    // The receive budget of one message, for tests (kReceiveBudgetMs otherwise).
    void SetReceiveBudgetMs(uint32_t ms) { m_ReceiveBudgetMs = ms; }
    // Where the machine id is read from (/etc/machine-id until set).
    void SetMachineIdFile(std::filesystem::path file) { m_MachineIdFile = std::move(file); }

    // One whole session: connect (primary, else secondary), the exchange, the last message, close. True when the
    // received set was stored; the result is kept for GetRetrievalResult as well.
    bool RetrieveParameters();
    bool GetRetrievalResult() const { return m_bRetrievalResult; }
    // The two-message exchange on a connected channel; false with the error text set.
    bool ExchangeParameters();
    // Frames the request for |clientChallenge| with |challengeAnswer| (the answer to the service's challenge).
    // False when this device cannot be named (no device id, no machine id: logged with its reason).
    bool BuildParametersRequest(const std::string& clientChallenge, const std::string& challengeAnswer);
    // The outgoing message becomes "Content-Length: <n>\r\n\r\n" + |body|; false for a body under 2 characters.
    bool FrameMessage(const std::string& body);
    bool SendMessage();
    bool SendFramed(const std::string& text);
    // Receives one message into the receive buffer: its length once it is whole. When the budget runs out, or the
    // service's close-notify comes in the same read as bytes, the length of what came, whole or not; 0 when a read
    // times out, the connection closes, or a close-notify comes in a read of its own; -1 on an error (a message
    // over kMaxMessageBytes too). Its callers tell a message cut short from a whole one.
    int ReceiveMessage();
    // The receive buffer holds a whole message: the header ended and the body is exactly the declared length
    // (any body when no length or 0 is declared).
    bool IsMessageComplete() const { return IsMessageComplete(m_ReceiveBuffer); }
    static bool IsMessageComplete(const std::string& text);

    // The MACHINE_ID value: our application-specific id of this machine in upper-case hex; "" when unknown, with
    // the reason in |error| (when given).
    std::string MachineIdText(std::string* error = nullptr) const;

    const std::string& GetOutgoingMessage() const { return m_OutgoingMessage; }
    const std::string& GetReceiveBuffer() const { return m_ReceiveBuffer; }

private:
    // Sets the error text (the code stays as the socket or channel left it); returns false.
    bool Fail(const std::string& text);
    // The error text and the code in decimal, as the receive and send failures show them.
    std::string ErrorWithCode() const;

    CRequest& m_Crypto;
    CParamStore& m_Store;
    const std::string m_DeviceId;
    std::vector<CServiceHost> m_Hosts;
    std::filesystem::path m_MachineIdFile = kMachineIdFile;
    uint32_t m_ReceiveBudgetMs = kReceiveBudgetMs;
    bool m_bRetrievalResult = false;
    std::string m_OutgoingMessage;
    std::string m_ReceiveBuffer;
};

// The answer to the service's challenge |serviceChallenge| (hex): its bytes encrypted with session key 2 of |crypto|,
// in upper-case hex; empty for an odd number of digits. False when they could not be encrypted.
bool AnswerServiceChallenge(CRequest& crypto, const std::string& serviceChallenge, std::string* answer);
// Form encoding: letters and digits stay, a blank becomes "+", every other byte "%" and two lower-case hex digits.
std::string UrlEncode(const std::string& text);
// "Y" in service mode, else "N".
std::string RunAsServiceFlag();
