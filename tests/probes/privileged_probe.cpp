// Prints what tvUT takes from its environment, one "name=value" line each,
// and then starts the transport's libcurl as a send would. The privileged
// host test runs it set-user-id and plain, as an unprivileged user, and
// compares: a privileged process must take nothing from an environment that
// its caller chose.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/UTTextCodec.h"
#include "comm/UTHttpClient.h"
#include "platform/UTPlatform.h"

// A set-user-id process is not dumpable, which LeakSanitizer's check at exit
// cannot work with: in a sanitizer build the probe leaves leaks to the other
// tests. Ignored by builds without AddressSanitizer.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

int main() {
    CUTPlatform* platform = CUTPlatform::Default();
    std::wstring root;
    std::printf("euid=%d\n", static_cast<int>(::geteuid()));
    std::printf("secure=%d\n", IsSecureExecution() ? 1 : 0);
    std::printf("machine=%s\n", platform->MachineDataRoot(&root) ? ToUtf8(root).c_str() : "none");
    std::printf("user=%s\n", platform->UserDataRoot(&root) ? ToUtf8(root).c_str() : "none");
    for (const char* name : {"UT_CA_BUNDLE", "https_proxy", "no_proxy", "XDG_RUNTIME_DIR"}) {
        std::string value;
        std::printf("%s=%s\n", name,
                    platform->GetEnvironment(name, &value) ? value.c_str() : "unset");
    }
    std::fflush(stdout);
    // A client starts libcurl, which would open SSLKEYLOGFILE now.
    CUTHttpClient client("https://127.0.0.1:1/BRIMReceiver/receiver.aspx");
    CUTHttpClient::ReleaseLibcurl();
    return 0;
}
