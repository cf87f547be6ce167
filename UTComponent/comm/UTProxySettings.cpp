#include "comm/UTProxySettings.h"

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

// The value of a hexadecimal digit, -1 for any other character.
int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// An IPv4 address in the strict dotted form, into 4 bytes: four decimal
// parts of 0 to 255 without leading zeros. Shorter forms ("127.1") and other
// bases are no address here, as for the socket API's strict text-to-address
// conversion; written out so that every system reads an entry alike.
bool ParseIpv4(const char* text, const char* end, unsigned char* bytes) {
    unsigned char parsed[4] = {};
    int dots = 0;
    bool in_part = false;  // the current part has a digit
    for (; text != end; ++text) {
        const char c = *text;
        if (c >= '0' && c <= '9') {
            if (in_part && parsed[dots] == 0) {
                return false;
            }
            const int value = parsed[dots] * 10 + (c - '0');
            if (value > 255) {
                return false;
            }
            parsed[dots] = static_cast<unsigned char>(value);
            in_part = true;
        } else if (c == '.' && in_part && dots < 3) {
            ++dots;
            in_part = false;
        } else {
            return false;
        }
    }
    if (dots != 3 || !in_part) {
        return false;
    }
    std::memcpy(bytes, parsed, sizeof(parsed));
    return true;
}

// An IPv6 address without brackets, into 16 bytes: groups of one to four
// hexadecimal digits, at most one "::", and optionally a dotted IPv4 address
// as the last 4 bytes.
bool ParseIpv6(const std::string& address, unsigned char* bytes) {
    unsigned char parsed[16] = {};
    const char* text = address.data();
    const char* const end = text + address.size();
    if (text == end) {
        return false;
    }
    // A leading colon is only the start of a leading "::".
    if (*text == ':' && (++text == end || *text != ':')) {
        return false;
    }
    const char* group = text;
    size_t filled = 0;
    size_t gap = sizeof(parsed) + 1;  // where "::" stands; none yet
    unsigned value = 0;
    int digits = 0;
    while (text != end) {
        const char c = *text++;
        const int digit = HexDigitValue(c);
        if (digit >= 0) {
            if (digits == 4) {
                return false;
            }
            value = (value << 4) | static_cast<unsigned>(digit);
            ++digits;
            continue;
        }
        if (c == ':') {
            group = text;
            if (digits == 0) {
                if (gap <= sizeof(parsed)) {
                    return false;
                }
                gap = filled;
                continue;
            }
            if (text == end || filled + 2 > sizeof(parsed)) {
                return false;
            }
            parsed[filled++] = static_cast<unsigned char>(value >> 8);
            parsed[filled++] = static_cast<unsigned char>(value & 0xff);
            value = 0;
            digits = 0;
            continue;
        }
        if (c == '.' && filled + 4 <= sizeof(parsed) && ParseIpv4(group, end, parsed + filled)) {
            filled += 4;
            digits = 0;
            break;
        }
        return false;
    }
    if (digits > 0) {
        if (filled + 2 > sizeof(parsed)) {
            return false;
        }
        parsed[filled++] = static_cast<unsigned char>(value >> 8);
        parsed[filled++] = static_cast<unsigned char>(value & 0xff);
    }
    if (gap <= sizeof(parsed)) {
        // "::" must stand for at least one group of zeros.
        if (filled == sizeof(parsed)) {
            return false;
        }
        const size_t after = filled - gap;
        std::memmove(parsed + sizeof(parsed) - after, parsed + gap, after);
        std::memset(parsed + gap, 0, sizeof(parsed) - after - gap);
        filled = sizeof(parsed);
    }
    if (filled != sizeof(parsed)) {
        return false;
    }
    std::memcpy(bytes, parsed, sizeof(parsed));
    return true;
}

// The bytes of an IP address literal: 4 for IPv4, 16 for IPv6, 0 when text
// is no address. A text is never both.
size_t ParseIpAddress(const std::string& text, unsigned char* bytes) {
    if (ParseIpv4(text.data(), text.data() + text.size(), bytes)) {
        return 4;
    }
    return ParseIpv6(text, bytes) ? 16 : 0;
}

// Both texts name the same IP address (of one family).
bool SameAddress(const std::string& a, const std::string& b) {
    unsigned char left[16], right[16];
    const size_t size = ParseIpAddress(a, left);
    return size != 0 && ParseIpAddress(b, right) == size && std::memcmp(left, right, size) == 0;
}

bool IsAddress(const std::string& host) {
    unsigned char bytes[16];
    return ParseIpAddress(host, bytes) != 0;
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
