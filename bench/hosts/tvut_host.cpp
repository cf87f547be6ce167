// A product host as small as one can be, for host_cost_bench: it uses only
// the public headers and libtvUT.so, like any product.
//
//   tvut_host idle            returns at once (what linking costs at start-up)
//   tvut_host lifecycle       InitUTComponent, SetUserID, the hand-over
//                             (GetUBInformation, kormFALSE: the first send of a
//                             new folder, waited for), LogUsageData, CleanUp;
//                             prints the process CPU of that span
//   tvut_host getuserid N     N calls of GetUserID outside a session; prints
//                             the thread CPU per call
//   tvut_host ... --smaps     also prints the resident size of each mapped file
//
// The roots and the server come from the environment the bench sets up.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tvUT/UTFacade.h>
#include <tvUT/UTProductInfo.h>

#include "HostMeasures.h"

namespace {

struct Text {
    explicit Text(const char* text) : units(text, text + std::strlen(text)) {}
    kormSTRING Get() { return kormSTRING{&units[0], static_cast<int32_t>(units.size())}; }
    std::basic_string<kormCHAR> units;
};

int Lifecycle() {
    const double before = CpuUs(RUSAGE_SELF);
    int failures = CUTFacade::InitUTComponent() == UT_INIT_OK ? 0 : 1;
    CUTUserInfo* user = CUTUserInfo::Create();
    Text login("bench.user@example.com");
    user->SetLogin(login.Get());
    failures += CUTFacade::SetUserID(user) == UT_SET_USER_OK ? 0 : 1;
    CUTProductInfo* product = CUTProductInfo::Create();
    Text line("BENCH"), release("2026"), type("F"), country("US"), language("en"), program("TERM"),
        serial("0000-1111-2222");
    product->SetProductLineId(line.Get());
    product->SetReleaseId(release.Get());
    product->SetReleaseType(type.Get());
    product->SetCountryCode(country.Get());
    product->SetLanguage(language.Get());
    product->SetProgramType(program.Get());
    product->SetSerialNumber(serial.Get());
    failures += CUTFacade::GetUBInformation(product, user, kormFALSE) == UT_SEND_OK ? 0 : 1;
    failures += CUTFacade::LogUsageData() == UT_LOG_USAGE_OK ? 0 : 1;
    product->Dispose();
    user->Dispose();
    failures += CUTFacade::CleanUp() == UT_CLEANUP_OK ? 0 : 1;
    std::printf("cpu_us %.0f\n", CpuUs(RUSAGE_SELF) - before);
    return failures == 0 ? 0 : 1;
}

int GetUserIds(long calls) {
    long length = 0;
    const double before = CpuUs(RUSAGE_THREAD);
    for (long i = 0; i < calls; ++i) {
        length += CUTFacade::GetUserID().length;
    }
    std::printf("cpu_us_per_call %.3f\n", (CpuUs(RUSAGE_THREAD) - before) / calls);
    return length > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s idle|lifecycle|getuserid N [--smaps]\n", argv[0]);
        return 2;
    }
    const bool smaps = std::strcmp(argv[argc - 1], "--smaps") == 0;
    int rc = 0;
    if (std::strcmp(argv[1], "lifecycle") == 0) {
        rc = Lifecycle();
    } else if (std::strcmp(argv[1], "getuserid") == 0 && argc >= 3) {
        rc = GetUserIds(std::atol(argv[2]));
    } else if (std::strcmp(argv[1], "idle") == 0) {
        // Linked for real: the address of a facade call keeps the library.
        volatile auto keep = &CUTFacade::CleanUp;
        (void)keep;
    } else {
        return 2;
    }
    if (smaps) {
        PrintResidentByFile();
    }
    return rc;
}
