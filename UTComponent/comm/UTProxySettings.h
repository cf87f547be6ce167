// The proxy-settings service that the transport asks before each upload:
// which proxy, if any, carries a transfer to a given URL.
//
// On this system the answer comes from the environment, as command-line
// tools take it: for an https URL https_proxy, then HTTPS_PROXY; for an http
// URL http_proxy only (never HTTP_PROXY, which a CGI server sets from the
// client's "Proxy:" header); then all_proxy, then ALL_PROXY. A variable that
// is set but empty counts as unset. no_proxy (else NO_PROXY) lists targets
// that go direct: "*" for all, or host names, domain suffixes (with or
// without a leading dot: "example.com" covers a.example.com and example.com,
// not badexample.com), IP addresses (IPv6 with or without brackets) and any
// of these with ":port" (that port only), separated by commas or spaces,
// compared without regard to case.
//
// A proxy value reads "[scheme://][user[:password]@]host[:port][/]"; an
// IPv6 host is written in brackets and keeps them in the reply, so that
// "host:port" stays unambiguous. The port defaults to 1080. User and
// password are percent-decoded. The scheme defaults to http; https, socks4,
// socks4a, socks5 and socks5h proxies are answered with the host prefixed
// by "scheme://" so that the transfer still speaks the right protocol; any
// other scheme is not answered.
//
// The environment is read through CUTPlatform, so tests can fake it. Any
// thread; nothing throws (a failed allocation is reported as no answer).
#ifndef TVUT_COMM_UTPROXYSETTINGS_H
#define TVUT_COMM_UTPROXYSETTINGS_H

#include <cstdint>

// The question: the URL a transfer goes to. The three further words are
// reserved and must be 0.
struct KelProxyRequest {
    const char* url;
    int32_t reserved[3];
};

// The answer. Each text is NUL-terminated, owned by the reply and valid until
// kelDeallocate; absent texts are null. The last word is reserved.
struct KelProxyInfo {
    char* user;
    char* password;
    char* host;
    char* port;
    int32_t reserved;
};

// Fills info and returns 0 when it could answer: host and port are set when
// the URL goes through a proxy (user and password when the setting names
// them), all four are null when it goes direct. Returns non-zero, with all
// four null, when it could not answer: a null argument, a URL that cannot be
// read, a proxy setting that cannot be read or uses an unknown scheme.
int kelGetProxyInfo(KelProxyRequest* request, KelProxyInfo* info);

// Frees the texts of an answer and sets them to null; a second call, or a
// call on a zeroed record, does nothing.
void kelDeallocate(KelProxyInfo* info);

#endif  // TVUT_COMM_UTPROXYSETTINGS_H
