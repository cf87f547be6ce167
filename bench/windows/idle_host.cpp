// windows_idle_host: a Windows host that starts a tvUT session and then does
// nothing, for idle_wakeups.py, which counts from the Linux side how often
// the threads tvUT added wake while wine runs it. Driven through its
// standard streams, so that it never sleeps on a guess:
//   prints "before", waits for a line; starts the session (InitUTComponent,
//   SetUserID, GetUBInformation, LogUsageData), prints "ready", waits for a
//   line; CleanUp, prints "done".
// The roots come from UT_MACHINE_DATA_DIR and XDG_DATA_HOME, whose settings
// the script points at 127.0.0.1. Only the public headers and tvUT.dll.
#include <cstdio>
#include <iostream>
#include <string>

#include <tvUT/UTFacade.h>

namespace {

void Say(const char* what) {
    std::printf("%s\n", what);
    std::fflush(stdout);
}

void AwaitLine() {
    std::string line;
    std::getline(std::cin, line);
}

kormSTRING Text(const wchar_t* text) {
    return kormSTRING{const_cast<kormCHAR*>(text), -1};
}

}  // namespace

int main() {
    Say("before");
    AwaitLine();
    if (CUTFacade::InitUTComponent() != UT_INIT_OK) {
        Say("InitUTComponent failed");
        return 1;
    }
    CUTUserInfo* user = CUTUserInfo::Create();
    user->SetLogin(Text(L"idle.user@example.com"));
    CUTFacade::SetUserID(user);
    CUTProductInfo* product = CUTProductInfo::Create();
    product->SetProductLineId(Text(L"IDLE"));
    product->SetReleaseId(Text(L"2026"));
    product->SetReleaseType(Text(L"F"));
    CUTFacade::GetUBInformation(product, user, kormFALSE);
    CUTFacade::LogUsageData();
    product->Dispose();
    user->Dispose();
    Say("ready");
    AwaitLine();
    const int status = CUTFacade::CleanUp();
    Say("done");
    return status == UT_CLEANUP_OK ? 0 : 1;
}
