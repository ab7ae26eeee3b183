#pragma once
// One HTTP/1.1 conversation with a Datawire VXN endpoint over TLS: the XML request envelopes of the transport
// (transaction, service discovery, ping, self-registration and activation), the HTTP request that carries them,
// the reading of the answer under one time budget, and the decoding of its Datawire status into a code and the
// operator text "DW:%d %s".

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/ServiceProviderList.h"
#include "host/TlsChannel.h"

class CTransaction;

// The outcome of one Datawire read: whether it succeeded and, for a Datawire failure, its code (0 otherwise).
struct CDatawireResult {
    bool ok = false;
    int code = 0;
};

// Owns one TLS connection to one endpoint and the texts of one exchange (request, response, payload); shares the
// process's TLS credential and reads a fresh copy of the merchant parameters for each envelope and connect.
// Failures are reported through the results and the socket's last error code and text. Not thread-safe: a client
// belongs to the thread that made it, is used for one exchange and then closed or destroyed.
class CDatawireClient : public CTlsChannel {
public:
    // Fixed texts of the transport.
    static constexpr char kUserAgent[] = "vxnapi_xml_3_2_0_21";
    static constexpr char kAppId[] = "CORVANEGIFTPPXML";
    static constexpr char kRegistrationPath[] = "/nocportal/SRS.do";
    static constexpr char kRegistrationPublicId[] =
        "-//Datawire Communication Networks INC//DTD VXN API Self-Registration 3.0//EN";
    // The system address of the self-registration document type (a configuration of ours, see SetRegistrationDtd).
    static constexpr char kDefaultRegistrationDtd[] = "srs.dtd";

    static constexpr uint32_t kHandshakeTimeoutMs = 10000;
    // How long one response may take to arrive whole, counted on the clock seam.
    static constexpr uint32_t kResponseBudgetMs = 35000;
    // A response that grows past this without being complete is refused (code 50051).
    static constexpr size_t kMaxResponseBytes = 1 << 20;

    // Datawire codes this class stores itself.
    static constexpr int kCodeBadResponse = 50048;
    static constexpr int kCodeOtherError = 50050;
    static constexpr int kCodeResponseOverflow = 50051;

    // |credential| is the process's TLS credential (g_SspiProvider); it must outlive the client.
    explicit CDatawireClient(const CTlsContext* credential = g_SspiProvider.GetCredential());
    ~CDatawireClient() override;

    // The endpoint, as SplitServiceUrl splits a provider URL: the connection goes to its host name and port, the
    // "Host:" header carries its host as the URL gave it, and the posts go to its path ("/sd" when empty).
    void SetServiceID(const std::string& serviceId) { m_ServiceID = serviceId; }
    void SetEndpoint(const CServiceUrl& endpoint) { m_Endpoint = endpoint; }
    const std::string& GetServiceID() const { return m_ServiceID; }
    const CServiceUrl& GetEndpoint() const { return m_Endpoint; }

    // Connects to the endpoint within the IP CONNECT TIMEOUT parameter (seconds) and runs the TLS handshake; with
    // VERIFY SSL CERTIFICATE "Y" the server's certificate must pass the check for the host name. On failure the
    // channel is closed and the socket or TLS error is kept.
    bool Connect();

    // Each Build* fills the request buffer with the whole HTTP request (header and envelope) and returns true.
    // The transaction envelope carries |transaction|'s host message; its ClientRef is |stan|.
    bool BuildTransactionRequest(const CTransaction& transaction, int32_t stan);
    bool BuildServiceDiscoveryRequest();
    bool BuildPingRequest(int32_t clientRef);
    bool BuildRegistrationRequest(int32_t clientRef);
    bool BuildActivationRequest(int32_t clientRef);

    // Each Read* sends the request buffer, reads the answer and decodes it.
    // SendAndReceive: clears the awaiting flag, then ReadTransactionResponse; returns its ok flag.
    bool SendAndReceive();
    // On success the unescaped payload is in GetPayloadText. The awaiting flag is set once the request is out and
    // cleared only when a complete response came back.
    CDatawireResult ReadTransactionResponse();
    // The provider addresses of the answer, scheme dropped ("host[:port]/path"), in the order received.
    CDatawireResult ReadServiceDiscoveryResponse(std::vector<std::string>* urls);
    // The provider's TransactionTimeMs.
    CDatawireResult ReadPingResponse(int* milliseconds);
    // The new DID and the provider address (host, and path from the last "/sd"), either of which may be empty.
    CDatawireResult ReadRegistrationResponse(std::string* did, std::string* providerHost, std::string* providerPath);
    CDatawireResult ReadActivationResponse();

    // What each Read* does with the response once it has come whole, apart from the reading: the same results
    // from the response text in hand (SetResponseText). For tests and fuzzing, which have no connection.
    CDatawireResult DecodeTransactionResponse();
    CDatawireResult DecodeServiceDiscoveryResponse(std::vector<std::string>* urls);
    CDatawireResult DecodePingResponse(int* milliseconds);
    CDatawireResult DecodeRegistrationResponse(std::string* did, std::string* providerHost, std::string* providerPath);
    CDatawireResult DecodeActivationResponse();
    // Puts |text| in place of the last response read, as a whole response (CompleteResponseLength long).
    void SetResponseText(std::string text) { m_ResponseText = std::move(text); }

    std::string GetPayloadText() const { return m_PayloadText; }
    // True from the moment a transaction request was sent until a complete response had been read.
    bool IsAwaitingResponse() const { return m_AwaitingResponse; }
    // True once every byte of the last request had gone out (whatever came back after).
    bool RequestWentOut() const { return m_RequestWentOut; }
    // The HTTP status of the last response read: -1 for one that did not start with "HTTP/", 0 before any.
    int GetHttpStatus() const { return m_HttpStatus; }
    // True once a failure came from a Datawire status word, a non-zero ReturnCode or a missing answer element.
    bool IsDatawireStatus() const { return m_IsDatawireStatus != 0; }
    const std::string& GetRequestBuffer() const { return m_RequestBuffer; }
    const std::string& GetResponseText() const { return m_ResponseText; }

    // The response budget, for tests (kResponseBudgetMs otherwise).
    void SetResponseBudgetMs(uint32_t ms) { m_ResponseBudgetMs = ms; }
    uint32_t GetResponseBudgetMs() const { return m_ResponseBudgetMs; }
    void SetRegistrationDtd(const std::string& systemAddress) { m_RegistrationDtd = systemAddress; }

    // Letters and digits as they are; every other byte as '|' and two lower-case hex digits.
    static std::string PipeHexEncode(const std::string& text);
    // The reverse: '|' and two hex digits (either case) give one byte; any other character, also a '|' that is
    // not followed by two hex digits, is copied as it stands.
    static std::string PipeHexDecode(const std::string& text);

    // The length of the complete HTTP response at the start of |text|, or 0 while it is not complete: the header
    // ends at the first empty line, and the body is the Content-Length bytes behind it. A response without a
    // Content-Length is complete only once |sessionEnded| (the server closed after it).
    static size_t CompleteResponseLength(const std::string& text, bool sessionEnded);

private:
    std::string BuildClientIdBlock(const std::string& did, int32_t clientRef) const;
    // The header lines that the service discovery and the POSTs of the service share, in their order.
    std::string BuildRequestHeaderLines() const;
    std::string BuildHttpPostHeader(size_t contentLength) const;
    // The whole POST of a request envelope with the client id of |clientRef| and then |body|.
    std::string BuildPostedRequest(int32_t clientRef, const std::string& body) const;
    std::string BuildRegistrationEnvelope(const std::string& element, int32_t clientRef) const;
    // Sends the request buffer and reads the answer into m_ResponseText: its length, or 0 or less for none.
    int SendRequestAndRead(bool transaction);
    int ReadResponse();
    // The steps every reader shares: HTTP status, status word, ReturnCode. ok false ends the reader.
    CDatawireResult DecodeCommon();
    // Sends the request buffer and reads the answer: false when none came. With |setUp| ("Registration",
    // "Activation") the request and the answer are logged as that step of the merchant set-up.
    bool Exchange(const char* setUp = nullptr);
    CDatawireResult DatawireFailure(int code);

    std::string m_ServiceID;
    CServiceUrl m_Endpoint;
    std::string m_PayloadText;
    std::string m_RequestBuffer;
    std::string m_ResponseText;
    int32_t m_IsDatawireStatus = 0;
    bool m_AwaitingResponse = false;
    bool m_RequestWentOut = false;
    int m_HttpStatus = 0;
    uint32_t m_ResponseBudgetMs = kResponseBudgetMs;
    std::string m_RegistrationDtd = kDefaultRegistrationDtd;
};

// "%07dV005006": the number in at least seven digits, then "V005006".
std::string FormatClientRef(int32_t number);
// "DW:%d %s" with |code| and the message of its table entry; a code below 1000 is looked up as code + 50000.
std::string DatawireStatusText(int code);
// The code of a Datawire status word (50050 for any word not in the table, an empty one too).
int DatawireStatusWordCode(const std::string& word);

// Plain text searches, no XML parser. The text between the |occurrence|-th "<tag>" and the "</tag>" after it;
// empty when either is missing.
std::string GetElementText(const std::string& xml, const std::string& tag, int occurrence);
// The quoted value of |attribute| inside the first "<element" (up to its "</element>" or "/>"), trimmed; empty
// when any of them is missing.
std::string GetAttribute(const std::string& xml, const std::string& element, const std::string& attribute);
