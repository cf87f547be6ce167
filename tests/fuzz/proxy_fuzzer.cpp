// Fuzz target: arbitrary proxy settings and no_proxy lists in the
// environment, through the proxy-settings service the transport asks before
// each upload (kelGetProxyInfo, kelDeallocate). The environment is faked
// through the platform layer, so each run sees exactly the variables it sets.
//
// Input: byte 0 picks the URL asked about (bits 0-1: three fixed ones or the
// input's own), the variable that carries the proxy value (bits 2-4), the
// name of the no_proxy variable (bit 5), whether it is set (bit 6) and
// whether the other name is set to "*" (bit 7). The rest is split at zero
// bytes (which no environment value can hold) into the proxy value, the
// no_proxy list and the URL.
//
// What must hold: nothing crashes or leaks; the answer is 0 or 1 and its
// fields are consistent (an unanswered question or a direct answer names
// nothing; a proxy has a host and a numeric port, a user only with a host);
// the same environment gives the same answer; for a URL that can be read,
// an applicable no_proxy "*" or the lack of any applicable proxy variable
// (HTTP_PROXY never applies) means a direct answer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "comm/UTProxySettings.h"
#include "platform/UTPlatform.h"

namespace {

class FakeEnvironment : public CUTPlatformWrapper {
public:
    FakeEnvironment() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    bool GetEnvironment(const char* name, std::string* value) override {
        const auto found = variables.find(name);
        if (found == variables.end()) {
            return false;
        }
        *value = found->second;
        return true;
    }
    std::map<std::string, std::string> variables;
};

FakeEnvironment* g_environment = nullptr;

struct FixedUrl {
    const char* url;
    bool https;
};
const FixedUrl kUrls[] = {
    {"https://receiver.example.com:8443/BRIMReceiver/receiver.aspx", true},
    {"http://10.1.2.3/BRIMReceiver/receiver.aspx", false},
    {"https://[2001:db8::7]/BRIMReceiver/receiver.aspx", true},
};

// Where the proxy value goes; the last two set an earlier variable empty
// first, which must count as unset.
const char* const kProxyVariables[] = {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY",
                                       "all_proxy",   "ALL_PROXY",   "all_proxy",  "ALL_PROXY"};

using Text = std::optional<std::string>;

struct Answer {
    int result;
    Text host, port, user, password;
    bool operator==(const Answer& other) const {
        return result == other.result && host == other.host && port == other.port &&
               user == other.user && password == other.password;
    }
};

Answer Ask(const char* url) {
    KelProxyRequest request{url, {0, 0, 0}};
    KelProxyInfo info{};
    Answer answer;
    answer.result = kelGetProxyInfo(&request, &info);
    auto take = [](const char* text) { return text != nullptr ? Text(text) : Text(); };
    answer.host = take(info.host);
    answer.port = take(info.port);
    answer.user = take(info.user);
    answer.password = take(info.password);
    kelDeallocate(&info);
    if (info.user != nullptr || info.password != nullptr || info.host != nullptr ||
        info.port != nullptr) {
        __builtin_trap();
    }
    kelDeallocate(&info);
    return answer;
}

bool ListHasStar(const std::string& list) {
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = list.find_first_of(", \t", start);
        if (list.compare(start, end == std::string::npos ? std::string::npos : end - start, "*") ==
            0) {
            return true;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

// The value of the first of names that is set and not empty.
const std::string* FirstSet(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const auto found = g_environment->variables.find(name);
        if (found != g_environment->variables.end() && !found->second.empty()) {
            return &found->second;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static FakeEnvironment environment;
    g_environment = &environment;
    CUTPlatform::Install(&environment);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t control = data[0];
    std::vector<std::string> fields(3);
    size_t field = 0;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0 && field + 1 < fields.size()) {
            ++field;
        } else if (data[i] != 0) {
            fields[field].push_back(static_cast<char>(data[i]));
        }
    }
    const std::string& proxy_value = fields[0];
    const std::string& no_proxy_list = fields[1];
    const unsigned url_choice = control & 3;
    const std::string url = url_choice < 3 ? kUrls[url_choice].url : fields[2];

    std::map<std::string, std::string>& variables = g_environment->variables;
    variables.clear();
    const unsigned proxy_choice = (control >> 2) & 7;
    if (proxy_choice >= 6) {
        variables[proxy_choice == 6 ? "https_proxy" : "http_proxy"] = "";
    }
    variables[kProxyVariables[proxy_choice]] = proxy_value;
    const char* no_proxy_name = (control & 0x20) != 0 ? "NO_PROXY" : "no_proxy";
    const char* other_name = (control & 0x20) != 0 ? "no_proxy" : "NO_PROXY";
    if ((control & 0x40) != 0) {
        variables[no_proxy_name] = no_proxy_list;
    }
    if ((control & 0x80) != 0) {
        variables[other_name] = "*";
    }

    const Answer answer = Ask(url.c_str());
    if (answer.result != 0 && answer.result != 1) {
        __builtin_trap();
    }
    if (answer.result == 1 && (answer.host || answer.port || answer.user || answer.password)) {
        __builtin_trap();  // an unanswered question names nothing
    }
    if (answer.host.has_value() != answer.port.has_value() ||
        ((answer.user || answer.password) && !answer.host)) {
        __builtin_trap();
    }
    if (answer.host && answer.host->empty()) {
        __builtin_trap();
    }
    if (answer.port && (answer.port->empty() ||
                        answer.port->find_first_not_of("0123456789") != std::string::npos)) {
        __builtin_trap();
    }
    if (!(Ask(url.c_str()) == answer)) {
        __builtin_trap();  // the same environment, another answer
    }

    if (url_choice < 3) {
        const bool https = kUrls[url_choice].https;
        const std::string* proxy =
            https ? FirstSet({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
                  : FirstSet({"http_proxy", "all_proxy", "ALL_PROXY"});
        // no_proxy wins over NO_PROXY whenever it is set and not empty.
        const std::string* list = FirstSet({"no_proxy", "NO_PROXY"});
        const bool direct = proxy == nullptr || (list != nullptr && ListHasStar(*list));
        if (direct && (answer.result != 0 || answer.host)) {
            __builtin_trap();  // must go direct
        }
    }
    return 0;
}
