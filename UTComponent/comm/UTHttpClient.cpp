#include "comm/UTHttpClient.h"

#include <curl/curl.h>

#include <ace/OS_NS_sys_time.h>
#include <ace/OS_NS_time.h>
#include <ace/Time_Value.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "UT/UTProcessState.h"
#include "base/UTReleasedAtUnload.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigManager.h"
#include "config/UTRuntimeConfig.h"
#include "log/UTException.h"
#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"

namespace {

// libcurl's process-wide state: initialised by the first client, released
// when the library unloads.
std::once_flag g_libcurl_once;
std::atomic<bool> g_libcurl_initialised{false};
std::atomic<bool> g_ssl_available{false};
std::atomic<bool> g_libcurl_refused{false};

// libcurl reads SSLKEYLOGFILE with plain getenv when it starts and appends
// the TLS secrets of every connection to the file it names. In a privileged
// process (setuid and the like) that environment belongs to whoever started
// it, who could make the process append to any file with its privileges: it
// then never starts libcurl, and every upload fails.
bool EnvironmentSteersLibcurl() {
    return IsSecureExecution() && std::getenv("SSLKEYLOGFILE") != nullptr;
}

void InitialiseLibcurl() {
    if (EnvironmentSteersLibcurl()) {
        g_libcurl_refused.store(true);
        return;
    }
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        return;
    }
    g_libcurl_initialised.store(true);
    const curl_version_info_data* info = curl_version_info(CURLVERSION_FOURTH);
    g_ssl_available.store(info != nullptr && (info->features & CURL_VERSION_SSL) != 0);
}

// The multi sessions of the transfers in progress in this process, so that
// CleanUp can wake a transfer that waits for the network.
//
// A registered transfer waits for its sockets until libcurl's own next
// timeout and looks at the stop flags when it wakes; whoever raises a flag
// (CleanUp, a revocation of consent) then calls WakeAll, which interrupts
// every registered wait at once, so an upload in progress ends promptly
// while a wait for a slow reply costs no wakeups. A transfer is registered
// for the life of a CUTTransferRegistration. Any thread: WakeAll and the end
// of a registration exclude each other under one lock, so a session is never
// woken after it was unregistered (and may be freed). Nothing throws: a
// session that cannot be registered (no memory) waits in short slices
// instead, and so is still stopped by the flag within one slice.
class CUTTransferRegistry {
public:
    // Interrupts the wait of every registered session.
    static void WakeAll();
    // Frees the registry at unload, when no transfer is registered.
    static void Release();
    // False when the registry could not take the session.
    static bool Add(CURLM* multi);
    static void Remove(CURLM* multi);

private:
    struct State {
        std::mutex mutex;
        std::set<CURLM*> sessions;
    };
    // Never destroyed by static destruction: a transfer on a thread that
    // outlives it still finds the registry. Release frees it at unload.
    static CUTReleasedAtUnload<State> state_;
};

CUTReleasedAtUnload<CUTTransferRegistry::State> CUTTransferRegistry::state_;

void CUTTransferRegistry::WakeAll() {
    try {
        State& state = state_.Get();
        std::lock_guard<std::mutex> lock(state.mutex);
        for (CURLM* multi : state.sessions) {
            curl_multi_wakeup(multi);
        }
    } catch (...) {
        // Without the registry nothing can be registered either.
    }
}

bool CUTTransferRegistry::Add(CURLM* multi) {
    try {
        State& state = state_.Get();
        std::lock_guard<std::mutex> lock(state.mutex);
        return state.sessions.insert(multi).second;
    } catch (...) {
        return false;
    }
}

void CUTTransferRegistry::Remove(CURLM* multi) {
    State& state = state_.Get();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.sessions.erase(multi);
}

void CUTTransferRegistry::Release() {
    bool idle = false;
    {
        State& state = state_.Get();
        std::lock_guard<std::mutex> lock(state.mutex);
        idle = state.sessions.empty();
    }
    // A session still registered keeps the registry to the process's end.
    if (idle) {
        state_.Release();
    }
}

// Keeps multi registered from construction to destruction.
class CUTTransferRegistration {
public:
    explicit CUTTransferRegistration(CURLM* multi)
        : multi_(multi), registered_(CUTTransferRegistry::Add(multi)) {}
    ~CUTTransferRegistration() {
        if (registered_) {
            CUTTransferRegistry::Remove(multi_);
        }
    }
    CUTTransferRegistration(const CUTTransferRegistration&) = delete;
    CUTTransferRegistration& operator=(const CUTTransferRegistration&) = delete;

    // False when the registry could not take it: WakeAll cannot reach it.
    bool registered() const { return registered_; }

private:
    CURLM* multi_;
    bool registered_;
};

// The item's default, for a send without a configuration manager.
constexpr int64_t kDefaultTimeOutMs = 30000;
// The one header line of every request; the body's delimiters use the same
// boundary.
const char kContentTypePrefix[] = "Content-Type: multipart/form-data; boundary=";
// Schemes a receiving URL may use: a damaged or planted setting must not
// turn an upload into a file read or a mail.
const char kAllowedProtocols[] = "http,https";
// Names the trust store for the usage server's certificate (a file of PEM
// certificates); the system's store when unset or empty.
const char kCaBundleVariable[] = "UT_CA_BUNDLE";

struct CUTMultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct CUTEasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct CUTHeaderListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CUTMultiSession = std::unique_ptr<CURLM, CUTMultiCleanup>;
using CUTEasySession = std::unique_ptr<CURL, CUTEasyCleanup>;
using CUTHeaderList = std::unique_ptr<curl_slist, CUTHeaderListFree>;

// A proxy answer in use; released once, at the latest when it goes.
class CUTProxyAnswer {
public:
    CUTProxyAnswer() : info_(), in_use_(false) {}
    ~CUTProxyAnswer() { Release(); }
    CUTProxyAnswer(const CUTProxyAnswer&) = delete;
    CUTProxyAnswer& operator=(const CUTProxyAnswer&) = delete;

    KelProxyInfo* Info() { return &info_; }
    bool InUse() const { return in_use_; }
    void SetInUse(bool in_use) { in_use_ = in_use; }
    void Release() {
        if (in_use_) {
            kelDeallocate(&info_);
            in_use_ = false;
        }
    }

private:
    KelProxyInfo info_;
    bool in_use_;
};

// Detaches an easy session from its multi session when it goes.
class CUTAttachedTransfer {
public:
    CUTAttachedTransfer(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {}
    ~CUTAttachedTransfer() { curl_multi_remove_handle(multi_, easy_); }
    CUTAttachedTransfer(const CUTAttachedTransfer&) = delete;
    CUTAttachedTransfer& operator=(const CUTAttachedTransfer&) = delete;

private:
    CURLM* multi_;
    CURL* easy_;
};

// Clears the session's sending flag when Send returns, however it returns.
class CUTSendingFlagReset {
public:
    CUTSendingFlagReset() = default;
    ~CUTSendingFlagReset() {
        CUTConfigManager* config = CUTConfigManager::PeekInstance();
        if (config != nullptr && config->Runtime() != nullptr) {
            config->Runtime()->SetSending(false);
        }
    }
    CUTSendingFlagReset(const CUTSendingFlagReset&) = delete;
    CUTSendingFlagReset& operator=(const CUTSendingFlagReset&) = delete;
};

bool IsHttpsUrl(const std::string& url) {
    static const char kHttps[] = "https";
    if (url.size() < 5) {
        return false;
    }
    // Setting bit 5 folds exactly 'H', 'T', 'P' and 'S' onto their lower
    // case; no other byte becomes one of these letters.
    for (size_t i = 0; i < 5; ++i) {
        if ((url[i] | 0x20) != kHttps[i]) {
            return false;
        }
    }
    return true;
}

// The "user:password@" of url (without the "@"), empty when it has none.
std::string UserinfoOf(const std::string& url) {
    const size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos) {
        return std::string();
    }
    const size_t authority = scheme_end + 3;
    const size_t authority_end = url.find_first_of("/?#", authority);
    const size_t at =
        url.rfind('@', authority_end == std::string::npos ? url.size() - 1 : authority_end - 1);
    if (at == std::string::npos || at < authority) {
        return std::string();
    }
    return url.substr(authority, at - authority);
}

// text without the credentials of url wherever they appear as "userinfo@".
std::string WithoutUserinfo(std::string text, const std::string& url) {
    const std::string userinfo = UserinfoOf(url);
    if (userinfo.empty()) {
        return text;
    }
    const std::string pattern = userinfo + "@";
    for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at)) {
        text.erase(at, pattern.size());
    }
    return text;
}

// Now, in local time, as the metric line shows it; empty when the clock
// cannot be read.
std::wstring MetricTimeText() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int64_t now = CUTPlatform::Current()->CurrentTimeNanos();
    tm local{};
    if (!ToLocalTime(now / 1000000000, &local) || local.tm_wday < 0 || local.tm_wday > 6 ||
        local.tm_mon < 0 || local.tm_mon > 11) {
        return std::wstring();
    }
    const int milliseconds = static_cast<int>((now % 1000000000) / 1000000);
    char text[64];
    std::snprintf(text, sizeof(text), "%3s %3s %2d %04d %02d:%02d:%02d.%06d", kDays[local.tm_wday],
                  kMonths[local.tm_mon], local.tm_mday, local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec, milliseconds * 1000);
    try {
        return FromUtf8(text);
    } catch (...) {
        return std::wstring();
    }
}

int64_t CommunicationTimeOutMs() {
    CUTConfigManager* config = CUTConfigManager::PeekInstance();
    return config != nullptr ? config->GetCommunicationTimeOut() : kDefaultTimeOutMs;
}

}  // namespace

std::string UrlWithoutUserinfo(const std::string& url) {
    return WithoutUserinfo(url, url);
}

struct CUTHttpClient::SendTimes {
    std::wstring start;
    std::wstring end;
};

struct CUTHttpClient::CUTTransfer {
    // Runs the easy session inside the multi session until it ends; returns
    // its libcurl result. Throws CUTCommException ("Payload transmission
    // stopped") when the stop flag is raised meanwhile; easy is detached from
    // multi on every path.
    CURLcode Perform();
    // A failure of libcurl's multi machinery, as a failed transfer whose
    // error text names it.
    CURLcode MachineryFailed(CURLMcode code);
    // The failure text of the last transfer, without credentials of url.
    std::string ErrorText(CURLcode code, const std::string& url) const;

    CUTMultiSession multi;
    CUTEasySession easy;
    char error_buffer[CURL_ERROR_SIZE] = {};
};

CUTHttpClient::CUTHttpClient(const std::string& url) : url_(url) {
    std::call_once(g_libcurl_once, InitialiseLibcurl);
}

CUTHttpClient::~CUTHttpClient() = default;

bool CUTHttpClient::SslAvailable() {
    return g_ssl_available.load();
}

void CUTHttpClient::ReleaseLibcurl() {
    CUTTransferRegistry::Release();
    if (g_libcurl_initialised.exchange(false)) {
        curl_global_cleanup();
    }
}

void CUTHttpClient::WakeTransfers() {
    CUTTransferRegistry::WakeAll();
}

int CUTHttpClient::Send(const std::wstring& payload_path, std::wstring* session_id) {
    CUTSendingFlagReset sending_flag_reset;
    std::wstring unused_id;
    std::wstring* id = session_id != nullptr ? session_id : &unused_id;
    id->clear();
    failure_cause_.clear();
    int result = UT_SEND_RESULT_FAILED;
    SendTimes times;
    try {
        if (!Exchange(payload_path, id, &result, &times)) {
            return result;
        }
    } catch (const CUTException& e) {
        times.end = MetricTimeText();
        try {
            failure_cause_ = e.Message();
        } catch (...) {
        }
        LogExceptionChain(e);
    } catch (...) {
        times.end = MetricTimeText();
        UT_LOG(UT_LOG_ERROR, "Undefined exception occurred during sending process");
    }
    try {
        const std::wstring shown_id = id->empty() ? std::wstring(L"N/A") : *id;
        // Both formats in the call, so that the compiler checks each.
        UT_LOG(UT_LOG_DEVDBG,
               result == UT_SEND_RESULT_TIMED_OUT
                   ? "Metric: Communication with Server Timed Out: %ls, %s, %ls, %ls."
                   : "Metric: Communication with Server Elapsed Time: %ls, %s, %ls, %ls.",
               shown_id.c_str(), WithoutUserinfo(url_, url_).c_str(), times.start.c_str(),
               times.end.c_str());
    } catch (...) {
        // No memory for the line: the result stands.
    }
    return result;
}

bool CUTHttpClient::Exchange(const std::wstring& payload_path, std::wstring* session_id,
                             int* result, SendTimes* times) {
    if (g_libcurl_refused.load()) {
        *result = UT_SEND_RESULT_NO_SESSION;
        ThrowCommException(L"SSLKEYLOGFILE is set in a privileged process: libcurl is not started");
    }
    CUTTransfer transfer;
    transfer.multi.reset(curl_multi_init());
    if (!transfer.multi) {
        *result = UT_SEND_RESULT_NO_SESSION;
        ThrowCommException(L"Fail to initiate libcurl multi session");
    }
    transfer.easy.reset(curl_easy_init());
    if (!transfer.easy) {
        *result = UT_SEND_RESULT_NO_SESSION;
        ThrowCommException(L"Fail to initiate libcurl easy session");
    }
    CURL* easy = transfer.easy.get();
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.error_buffer);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CUTHttpClient::WriteCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);

    if (IsHttpsUrl(url_)) {
        if (!SslAvailable()) {
            *result = UT_SEND_RESULT_NO_SSL;
            ThrowCommException(L"The current libcurl does not support SSL");
        }
        curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        std::string bundle;
        if (CUTPlatform::Current()->GetEnvironment(kCaBundleVariable, &bundle) && !bundle.empty()) {
            curl_easy_setopt(easy, CURLOPT_CAINFO, bundle.c_str());
        }
#ifdef _WIN32
        else {
            // OpenSSL knows no Windows trust store of its own: libcurl reads
            // the system's root certificates into it.
            curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
        }
#endif
    }

    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    const int64_t bound_ms = bound_ms_ >= 0 ? bound_ms_ : CommunicationTimeOutMs();
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, static_cast<long>(bound_ms / 1000));

    CUTProxyAnswer proxy;
    proxy.SetInUse(QueryProxy(proxy.Info()));
    if (proxy.InUse()) {
        const KelProxyInfo* info = proxy.Info();
        const std::string address = std::string(info->host) + ":" + info->port;
        const std::string credentials = info->user != nullptr && info->password != nullptr
                                            ? std::string(info->user) + ":" + info->password
                                            : std::string();
        curl_easy_setopt(easy, CURLOPT_PROXY, address.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, credentials.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXYAUTH,
                         ~static_cast<unsigned long>(CURLAUTH_NEGOTIATE | CURLAUTH_DIGEST_IE));
        // The proxy layer has applied no_proxy already; libcurl must not
        // apply the environment's list a second time.
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    } else {
        // Direct means direct: libcurl would otherwise take a proxy from
        // the environment itself.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
    }

    CUTHeaderList headers;
    std::unique_ptr<char[]> body;
    CURLcode code;
    for (;;) {
        headers.reset(
            curl_slist_append(nullptr, (std::string(kContentTypePrefix) + kBoundary).c_str()));
        if (!headers) {
            throw std::bad_alloc();
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());

        DiscardQueue();
        BuildRequest(payload_path);
        const size_t size = queue_.Pending();
        std::unique_ptr<char[]> next(new char[size + 1]);
        queue_.Read(next.get(), size);
        next[size] = '\0';
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, next.get());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(size));
        body = std::move(next);

        times->start = MetricTimeText();
        code = transfer.Perform();
        if (code == CURLE_COULDNT_CONNECT && proxy.InUse()) {
            curl_easy_setopt(easy, CURLOPT_PROXY, "");
            proxy.Release();
            transfer.error_buffer[0] = '\0';
            continue;
        }
        break;
    }
    proxy.Release();

    if (code != CURLE_OK) {
        *result =
            code == CURLE_OPERATION_TIMEDOUT ? UT_SEND_RESULT_TIMED_OUT : UT_SEND_RESULT_FAILED;
        const std::string text = transfer.ErrorText(code, url_);
        UT_LOG(UT_LOG_DEVDBG, "HTTP Send Error! %s", text.c_str());
        ThrowCommException(L"Initial handshake failed due to ", text);
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        UT_LOG(UT_LOG_ERROR, "HTTP status %d, Error!!", static_cast<int>(status));
        failure_cause_ = L"HTTP status " + std::to_wstring(status);
        *result = UT_SEND_RESULT_FAILED;
        return false;
    }
    times->end = MetricTimeText();
    *result = HandleResponse(session_id);
    return true;
}

CURLcode CUTHttpClient::CUTTransfer::Perform() {
    const CURLMcode added = curl_multi_add_handle(multi.get(), easy.get());
    if (added != CURLM_OK) {
        return MachineryFailed(added);
    }
    CUTAttachedTransfer attached(multi.get(), easy.get());
    CUTTransferRegistration registration(multi.get());
    for (;;) {
        if (CUTProcessState::stop.load()) {
            ThrowCommException(L"Payload transmission stopped");
        }
        if (CUTProcessState::tracking_off.load()) {
            ThrowCommException(L"Payload transmission stopped: tracking is off");
        }
        int running = 0;
        const CURLMcode performed = curl_multi_perform(multi.get(), &running);
        if (performed == CURLM_CALL_MULTI_PERFORM) {
            continue;
        }
        if (performed != CURLM_OK) {
            return MachineryFailed(performed);
        }
        if (running == 0) {
            break;
        }
        // Sleeps until a socket is ready, libcurl's own timer is due or
        // WakeTransfers interrupts it (a wakeup that came before the wait
        // ends the wait at once); a transfer WakeTransfers cannot reach
        // wakes every slice to look at the flags.
        const CURLMcode polled =
            curl_multi_poll(multi.get(), nullptr, 0,
                            registration.registered() ? kIdleWaitMs : kPollSliceMs, nullptr);
        if (polled != CURLM_OK) {
            return MachineryFailed(polled);
        }
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get()) {
            return message->data.result;
        }
    }
    return CURLE_OK;
}

bool CUTHttpClient::QueryProxy(KelProxyInfo* proxy) {
    KelProxyRequest request;
    std::memset(&request, 0, sizeof(request));
    std::memset(proxy, 0, sizeof(*proxy));
    request.url = url_.c_str();
    const int answered = kelGetProxyInfo(&request, proxy);
    if (answered != 0 || proxy->host == nullptr || proxy->port == nullptr) {
        kelDeallocate(proxy);
        return false;
    }
    UT_LOG(UT_LOG_DEVDBG, "Proxy %s is enabled!", proxy->host);
    return true;
}

CURLcode CUTHttpClient::CUTTransfer::MachineryFailed(CURLMcode code) {
    std::snprintf(error_buffer, sizeof(error_buffer), "%s", curl_multi_strerror(code));
    return CURLE_FAILED_INIT;
}

std::string CUTHttpClient::CUTTransfer::ErrorText(CURLcode code, const std::string& url) const {
    // libcurl leaves its buffer empty for some failures; its generic text
    // for the code still says what happened.
    const std::string text =
        error_buffer[0] != '\0' ? std::string(error_buffer) : std::string(curl_easy_strerror(code));
    return WithoutUserinfo(text, url);
}

void CUTHttpClient::DiscardQueue() {
    char sink[4096];
    while (queue_.Pending() > 0) {
        queue_.Read(sink, sizeof(sink));
    }
    reply_too_large_ = false;
}

size_t CUTHttpClient::WriteCallback(char* data, size_t size, size_t count, void* client) {
    CUTHttpClient* self = static_cast<CUTHttpClient*>(client);
    // Decided before anything is kept, so a reply past the cap never costs
    // more than the cap. The request body was drained before the transfer:
    // what is pending is reply.
    const size_t room = kReplyMaxBytes - self->queue_.Pending();
    if (count != 0 && size > room / count) {
        if (!self->reply_too_large_) {
            self->reply_too_large_ = true;
            UT_LOG(UT_LOG_ERROR, "Response Data exceeds %d bytes, transfer stopped!!",
                   static_cast<int>(kReplyMaxBytes));
        }
        return 0;
    }
    try {
        self->queue_.Append(data, size * count);
    } catch (...) {
        // No memory for the piece: libcurl ends the transfer with a write
        // error, which is a failed send.
        return 0;
    }
    return size * count;
}
