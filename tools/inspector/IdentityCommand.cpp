// tvut_inspect identity: everything tvUT reports about this machine and its
// user, computed the way the component computes it, so that a product team or
// a user can see exactly what leaves the machine. Texts are printed in UTF-8,
// the form in which they are sent.
#include <cstdio>
#include <cstring>
#include <string>

#include "InspectorCommands.h"
#include "base/UTStringFormater.h"
#include "base/UTTextCodec.h"
#include "transcript/UTMachineIdentity.h"
#include "transcript/UTSystemInfo.h"

namespace {

void PrintLine(const char* label, const std::wstring& value) {
    std::printf("%-34s %s\n", label, ToUtf8(value).c_str());
}

}  // namespace

int RunIdentityCommand(int argc, char** argv) {
    if (argc > 0 && (std::strcmp(argv[0], "-h") == 0 || std::strcmp(argv[0], "--help") == 0)) {
        std::printf("usage: tvut_inspect identity\n");
        return 0;
    }
    if (argc > 0) {
        std::fprintf(stderr, "usage: tvut_inspect identity\n");
        return 2;
    }

    std::wstring computer;
    std::wstring user;
    CUTSystemInfo::ComputerName(&computer);
    CUTSystemInfo::UserName(&user);
    std::wstring os_name;
    std::wstring os_version;
    std::wstring os_locale;
    std::wstring domain;
    CUTSystemInfo::GatherOSInformation(&os_name, &os_version, &os_locale, &domain);

    PrintLine("Computer name:", computer);
    PrintLine("User name:", user);
    PrintLine("Domain:", domain);
    PrintLine("OS name:", os_name);
    PrintLine("OS version:", os_version);
    PrintLine("OS locale id:", os_locale);
    PrintLine("Time zone offset (minutes):", IntToWString(CUTSystemInfo::TimeZoneOffsetMinutes()));
    PrintLine("OS platform:", CUTSystemInfo::OsPlatform());
    PrintLine("Hashed user identity:", CUTMachineIdentity::HashedUserIdentity());
    PrintLine("Hashed OS product id:", CUTMachineIdentity::HashedOsProductId());
    PrintLine("Hashed volume serial:", CUTMachineIdentity::HashedVolumeSerial());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
