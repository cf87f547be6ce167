// CUTHttpClient: one upload of usage data to the usage server.
//
// The send cycle makes one client per send with the receiving URL (UTF-8),
// calls Send once and destroys the client. Send runs one transfer: the
// request body goes into the client's BlockQueue (BuildRequest) and from
// there into one contiguous buffer that the transfer posts; the write
// callback appends the reply to the same queue, and HandleResponse turns it
// into a send result code (UTSendResult), publishes the server's status
// codes process-wide (CUTProcessState) and, for a delivered send, records
// its time in LastSendTimestamp and saves the settings. Each exchange leaves
// a "Metric:" line with its start and end times in the log.
//
// TLS: https URLs need TLS 1.2 or later; the server's certificate and name
// are verified against the system's trust store, or against the bundle that
// the environment variable UT_CA_BUNDLE names. Proxy: the proxy-settings
// service (UTProxySettings.h) decides, and nothing else: when it says
// "direct", no proxy of the environment is used either. A transfer that
// cannot connect through its proxy is tried once more without one. Neither
// a proxy password nor credentials in the receiving URL reach the log.
//
// The write callback takes at most kReplyMaxBytes of reply: a reply is a
// few hundred bytes, and a server that sends more (broken or hostile) must
// not grow the host's memory with it. The callback refuses the piece that
// would cross the cap, which ends the transfer as a failure (send result 3)
// before the bytes are kept.
//
// Threads: a client belongs to the sending thread. The transfer waits for
// its sockets until libcurl's next timeout and looks at the stop flag
// (CUTProcessState::stop) and the tracking-off flag each time it wakes (a
// user who revokes consent ends the upload too); whoever raises a flag calls
// WakeTransfers, which ends the wait of every transfer in the process at
// once. The process-wide codes are single atomic words written
// here and read by the send cycle after the send. Failures: Send never
// throws; every failure ends in a send result code and log lines.
// BuildRequest throws CUTCommException (code 2) when the payload cannot be
// read; HandleResponse, ParseResponse and the write callback never throw.
#ifndef TVUT_COMM_UTHTTPCLIENT_H
#define TVUT_COMM_UTHTTPCLIENT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "comm/UTBlockQueue.h"
#include "comm/UTProxySettings.h"

class CUTStringFormater;

// What Send returns; the send cycle judges a delivery by the last server
// status code and treats UT_SEND_RESULT_SERVER_RESTARTING as a restart.
enum UTSendResult {
    UT_SEND_RESULT_OK = 0,                 // reply read, server status 199
    UT_SEND_RESULT_TIMED_OUT = 2,          // the transfer's time-out
    UT_SEND_RESULT_FAILED = 3,             // any other failure of the transfer
    UT_SEND_RESULT_NO_SESSION = 4,         // no transfer session could be made
    UT_SEND_RESULT_NO_SSL = 5,             // HTTPS without TLS support
    UT_SEND_RESULT_EMPTY_REPLY = 6,        // the reply body is empty
    UT_SEND_RESULT_NO_XML = 7,             // no "<?xml", unparsable, or no root
    UT_SEND_RESULT_SERVER_ERROR = 8,       // server status other than 199 and 120
    UT_SEND_RESULT_SERVER_RESTARTING = 9,  // server status 120
    UT_SEND_RESULT_NO_STATUS = 10,         // no REQ_STATUS_CODE or no text in it
};

// Server status codes of the reply.
constexpr int kServerStatusAccepted = 199;
constexpr int kServerStatusNoPayload = 189;
constexpr int kServerStatusRejected = 190;
constexpr int kServerStatusMissingParameters = -100;
constexpr int kServerStatusRestarting = 120;

// What ParseResponse reads from a reply besides the status codes; lives for
// one HandleResponse.
struct UsageReply {
    std::wstring session_id;
    std::wstring ext_dep_message;
};

// url without the "user:password@" of its authority, for log lines. Any
// thread.
std::string UrlWithoutUserinfo(const std::string& url);

class CUTHttpClient {
public:
    // The one boundary of every request body.
    static const char kBoundary[];
    // The most reply bytes the write callback keeps.
    static constexpr size_t kReplyMaxBytes = 1024 * 1024;
    // The longest a registered transfer waits for its sockets when libcurl
    // has no timer due sooner (WakeTransfers ends the wait at once).
    static constexpr int kIdleWaitMs = 60 * 60 * 1000;
    // The longest an unregistered transfer (the registry had no memory)
    // waits before it looks at the stop flags again.
    static constexpr int kPollSliceMs = 100;

    // Initialises libcurl for the process on the first construction (once,
    // whichever threads construct the first clients).
    explicit CUTHttpClient(const std::string& url);
    ~CUTHttpClient();
    CUTHttpClient(const CUTHttpClient&) = delete;
    CUTHttpClient& operator=(const CUTHttpClient&) = delete;

    const std::string& Url() const { return url_; }

    // A delivered send stores the time in LastSendTimestamp and saves the
    // settings as the reply is handled, unless the caller defers that to
    // its own call of RecordDeliveredSend: the send cycle removes the
    // delivered files first, so that a process killed in between sends them
    // again at worst once less often.
    void DeferDeliveredTime(bool defer) { defer_delivered_time_ = defer; }
    // The longest a transfer may take, in milliseconds, in place of
    // CommunicationTimeOut (for a send on a host's thread, which must never
    // be unbounded).
    void BoundTransfer(int64_t milliseconds) { bound_ms_ = milliseconds; }
    // Stores now as LastSendTimestamp and saves the settings (merging, so
    // what another process saved meanwhile stays).
    static void RecordDeliveredSend();

    // Posts one upload: the request body with the archive at payload_path
    // (empty: no payload) to the URL; returns a send result code
    // (UTSendResult) and fills session_id with the reply's request session
    // id. Never throws. Clears the session's sending flag on every path.
    int Send(const std::wstring& payload_path, std::wstring* session_id);
    // Why the last Send failed, as its first error said (libcurl's text
    // for a transfer that failed); empty after a Send without error.
    const std::wstring& FailureCause() const { return failure_cause_; }
    BlockQueue& Queue() { return queue_; }

    // Asks the proxy-settings service about the URL. True when the transfer
    // goes through the proxy in *proxy (host and port present), which the
    // caller then releases with kelDeallocate; false (nothing to release)
    // for a direct transfer.
    bool QueryProxy(KelProxyInfo* proxy);

    // Ends the current wait of every transfer in the process, so that each
    // sees the stop flag at once. CleanUp calls it after raising the flag.
    static void WakeTransfers();
    // libcurl's process-wide clean-up, when the first construction
    // initialised it, and the transfer registry's; the library's unload
    // calls it once no transfer runs.
    static void ReleaseLibcurl();
    // Did the process-wide initialisation find TLS support?
    static bool SslAvailable();

    // Appends the whole request body to the queue: the 20 descriptive
    // fields, PAYLOAD_PRESENT and, when payload_path names a regular file of
    // non-zero size, the archive as the UsageFile part. An empty path means
    // no payload. Throws CUTCommException (code 2, "Payload not found
    // following path: " and the path) when the payload disappears, empties
    // or cannot be read after it was chosen; part of the body may be queued
    // by then.
    void BuildRequest(const std::wstring& payload_path);

    // One text or number part of the body, logged at level 5.
    static void WriteTextPart(CUTStringFormater& stream, const char* name,
                              const std::string& value);
    static void WriteNumberPart(CUTStringFormater& stream, const char* name, int32_t value);

    // libcurl's write callback (client is the CUTHttpClient): queues the
    // piece and returns its size, or returns 0 (libcurl then ends the
    // transfer with a write error) when the piece would take the reply past
    // kReplyMaxBytes; the piece is not kept.
    static size_t WriteCallback(char* data, size_t size, size_t count, void* client);
    // Did the write callback refuse a piece?
    bool ReplyTooLarge() const { return reply_too_large_; }

    // Turns the reply in the queue (which it drains) into a send result
    // code; session_id receives the reply's REQ_SESSION_ID (empty when it
    // has none).
    int HandleResponse(std::wstring* session_id);

    // Reads a reply document (text from "<?xml" to its first NUL) into reply
    // and the process-wide status codes; returns 0, 7 or 10.
    static int ParseResponse(const char* text, UsageReply* reply);

private:
    struct SendTimes;
    // libcurl's sessions and error text of one Send; defined with the
    // transport, so that no includer sees libcurl.
    struct CUTTransfer;
    bool defer_delivered_time_ = false;
    int64_t bound_ms_ = -1;  // -1: CommunicationTimeOut
    // Send's work from the sessions to the reply; returns false when the
    // HTTP status was not 200 (no metric line then). Sets *result before it
    // throws.
    bool Exchange(const std::wstring& payload_path, std::wstring* session_id, int* result,
                  SendTimes* times);
    // Drops what the queue holds (a reply of an earlier attempt).
    void DiscardQueue();

    std::string url_;
    BlockQueue queue_;
    bool reply_too_large_ = false;
    std::wstring failure_cause_;
};

#endif  // TVUT_COMM_UTHTTPCLIENT_H
