#include "comm/UTProxySettings.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/UTPlatform.h"

namespace {

// Proxies without a port listen here, as command-line tools assume.
const char kDefaultProxyPort[] = "1080";

enum class UTAnswer { kDirect, kProxy, kUnanswered };

struct UTProxyAddress {
    std::string host;  // with "scheme://" when not http; IPv6 in brackets
    std::string port;
    std::unique_ptr<std::string> user;      // absent when the setting names none
    std::unique_ptr<std::string> password;  // absent when the setting names none
};

// The parts of a URL that the proxy decision needs.
struct UTUrlTarget {
    std::string scheme;  // lower case
    std::string host;    // lower case, IPv6 without brackets, no trailing dot
    std::string port;    // explicit or the scheme's default
};

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// Owns a parsed URL handle of the transfer library.
class UTUrlHandle {
public:
    UTUrlHandle() : url_(curl_url()) {}
    ~UTUrlHandle() { curl_url_cleanup(url_); }
    UTUrlHandle(const UTUrlHandle&) = delete;
    UTUrlHandle& operator=(const UTUrlHandle&) = delete;

    bool Parse(const std::string& text, unsigned int flags) {
        return url_ != nullptr &&
               curl_url_set(url_, CURLUPART_URL, text.c_str(), flags) == CURLUE_OK;
    }
    // The part, or false when the URL has none.
    bool Get(CURLUPart part, unsigned int flags, std::string* value) {
        char* text = nullptr;
        if (curl_url_get(url_, part, &text, flags) != CURLUE_OK || text == nullptr) {
            return false;
        }
        *value = text;
        curl_free(text);
        return true;
    }

private:
    CURLU* url_;
};

// Host without the brackets of an IPv6 address and without a trailing dot,
// in lower case.
std::string NormalisedHost(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    while (!host.empty() && host.back() == '.') {
        host.pop_back();
    }
    return Lower(host);
}

bool ReadTarget(const char* url, UTUrlTarget* target) {
    UTUrlHandle handle;
    std::string host;
    if (!handle.Parse(url, 0) || !handle.Get(CURLUPART_SCHEME, 0, &target->scheme) ||
        !handle.Get(CURLUPART_HOST, 0, &host) ||
        !handle.Get(CURLUPART_PORT, CURLU_DEFAULT_PORT, &target->port)) {
        return false;
    }
    target->scheme = Lower(target->scheme);
    target->host = NormalisedHost(host);
    return true;
}

// The value of the first variable in names that is set and not empty.
bool FirstSetVariable(const char* const* names, size_t count, std::string* value) {
    CUTPlatform* platform = CUTPlatform::Current();
    for (size_t i = 0; i < count; ++i) {
        if (platform->GetEnvironment(names[i], value) && !value->empty()) {
            return true;
        }
    }
    return false;
}

bool ProxySetting(const std::string& scheme, std::string* value) {
    static const char* const kHttps[] = {"https_proxy", "HTTPS_PROXY"};
    static const char* const kHttp[] = {"http_proxy"};
    static const char* const kAll[] = {"all_proxy", "ALL_PROXY"};
    if (scheme == "https" && FirstSetVariable(kHttps, 2, value)) {
        return true;
    }
    if (scheme == "http" && FirstSetVariable(kHttp, 1, value)) {
        return true;
    }
    return FirstSetVariable(kAll, 2, value);
}

// Both texts name the same IP address (of one family).
bool SameAddress(const std::string& a, const std::string& b) {
    unsigned char left[16], right[16];
    for (int family : {AF_INET, AF_INET6}) {
        if (inet_pton(family, a.c_str(), left) == 1) {
            return inet_pton(family, b.c_str(), right) == 1 &&
                   std::memcmp(left, right, family == AF_INET ? 4 : 16) == 0;
        }
    }
    return false;
}

bool IsAddress(const std::string& host) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

// Does one no_proxy entry cover the target?
bool EntryCovers(const std::string& entry, const UTUrlTarget& target) {
    if (entry == "*") {
        return true;
    }
    std::string name = entry, port;
    if (entry.front() == '[') {
        const size_t close = entry.find(']');
        if (close == std::string::npos) {
            return false;
        }
        name = entry.substr(1, close - 1);
        const std::string rest = entry.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return false;
            }
            port = rest.substr(1);
        }
    } else {
        const size_t colon = entry.find(':');
        // More than one colon: an IPv6 address without brackets and port.
        if (colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos) {
            name = entry.substr(0, colon);
            port = entry.substr(colon + 1);
        }
    }
    if (!port.empty() && port != target.port) {
        return false;
    }
    if (IsAddress(target.host)) {
        return SameAddress(target.host, name);
    }
    if (name.compare(0, 2, "*.") == 0) {
        name.erase(0, 1);
    }
    while (!name.empty() && name.front() == '.') {
        name.erase(0, 1);
    }
    name = NormalisedHost(name);
    if (name.empty()) {
        return false;
    }
    if (target.host == name) {
        return true;
    }
    return target.host.size() > name.size() &&
           target.host.compare(target.host.size() - name.size(), name.size(), name) == 0 &&
           target.host[target.host.size() - name.size() - 1] == '.';
}

bool NoProxyCovers(const UTUrlTarget& target) {
    static const char* const kNoProxy[] = {"no_proxy", "NO_PROXY"};
    std::string list;
    if (!FirstSetVariable(kNoProxy, 2, &list)) {
        return false;
    }
    size_t start = 0;
    while (start < list.size()) {
        const size_t end = list.find_first_of(", \t", start);
        const std::string entry =
            list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!entry.empty() && EntryCovers(Lower(entry), target)) {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

bool ParseProxyValue(const std::string& value, UTProxyAddress* proxy) {
    UTUrlHandle handle;
    const std::string text =
        value.find("://") == std::string::npos ? "http://" + value : std::string(value);
    std::string scheme;
    if (!handle.Parse(text, CURLU_NON_SUPPORT_SCHEME) ||
        !handle.Get(CURLUPART_SCHEME, 0, &scheme) || !handle.Get(CURLUPART_HOST, 0, &proxy->host)) {
        return false;
    }
    scheme = Lower(scheme);
    static const char* const kKnown[] = {"http", "https", "socks4", "socks4a", "socks5", "socks5h"};
    bool known = false;
    for (const char* name : kKnown) {
        known = known || scheme == name;
    }
    if (!known || proxy->host.empty()) {
        return false;
    }
    if (scheme != "http") {
        proxy->host = scheme + "://" + proxy->host;
    }
    if (!handle.Get(CURLUPART_PORT, 0, &proxy->port)) {
        proxy->port = kDefaultProxyPort;
    }
    std::string part;
    if (handle.Get(CURLUPART_USER, CURLU_URLDECODE, &part)) {
        proxy->user.reset(new std::string(part));
    }
    if (handle.Get(CURLUPART_PASSWORD, CURLU_URLDECODE, &part)) {
        proxy->password.reset(new std::string(part));
    }
    return true;
}

UTAnswer Decide(const char* url, UTProxyAddress* proxy) {
    UTUrlTarget target;
    if (!ReadTarget(url, &target)) {
        return UTAnswer::kUnanswered;
    }
    std::string value;
    if (!ProxySetting(target.scheme, &value) || NoProxyCovers(target)) {
        return UTAnswer::kDirect;
    }
    return ParseProxyValue(value, proxy) ? UTAnswer::kProxy : UTAnswer::kUnanswered;
}

char* CopyText(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

int kelGetProxyInfo(KelProxyRequest* request, KelProxyInfo* info) {
    if (info == nullptr) {
        return 1;
    }
    info->user = info->password = info->host = info->port = nullptr;
    if (request == nullptr || request->url == nullptr) {
        return 1;
    }
    try {
        UTProxyAddress proxy;
        switch (Decide(request->url, &proxy)) {
            case UTAnswer::kDirect:
                return 0;
            case UTAnswer::kUnanswered:
                return 1;
            case UTAnswer::kProxy:
                break;
        }
        info->host = CopyText(proxy.host);
        info->port = CopyText(proxy.port);
        if (proxy.user) {
            info->user = CopyText(*proxy.user);
        }
        if (proxy.password) {
            info->password = CopyText(*proxy.password);
        }
        return 0;
    } catch (...) {
        kelDeallocate(info);
        return 1;
    }
}

void kelDeallocate(KelProxyInfo* info) {
    if (info == nullptr) {
        return;
    }
    for (char** text : {&info->user, &info->password, &info->host, &info->port}) {
        delete[] * text;
        *text = nullptr;
    }
}
