// What a host that loads and unloads libtvUT.so many times keeps of it: the
// heap in use and the resident size after each of N cycles of dlopen,
// InitUTComponent, a session handed over (GetUBInformation, kormFALSE,
// sending on the host's thread to a port of 127.0.0.1 where nothing
// listens), LogUsageData, CleanUp and dlclose. The first cycles load the
// dependencies for good, so growth is measured from the end of the warm-up.
// Goal: no growth per cycle.
//
// Run: unload_cycle_bench [cycles]   (200 when not given)
// Scratch roots keep the real ones untouched.
#include <dlfcn.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <tvUT/UTFacade.h>

#include "support/LoadedFacade.h"
#include "support/ScratchRoots.h"

namespace {

constexpr int kWarmUpCycles = 10;

long long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long long pages = 0;
    long long resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

long long HeapInUse() {
    return static_cast<long long>(mallinfo2().uordblks);
}

// One whole life of the library in the process; false when a step failed.
bool Cycle() {
    void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return false;
    }
    const tvut_test::LoadedFacade facade(library);
    bool ok = facade.complete() && facade.init() == UT_INIT_OK;
    if (ok) {
        char16_t line[] = u"UNLOAD";
        char16_t release[] = u"1";
        CUTProductInfo* product = facade.create_product();
        CUTUserInfo* user = facade.create_user();
        product->SetProductLineId({line, -1});
        product->SetReleaseId({release, -1});
        facade.information(product, user, kormFALSE);
        ok = facade.log_usage() == UT_LOG_USAGE_OK;
        product->Dispose();
        user->Dispose();
        ok = facade.cleanup() == UT_CLEANUP_OK && ok;
    }
    return dlclose(library) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 200;
    tvut_test::ScratchRoots roots;
    for (int i = 0; i < kWarmUpCycles; ++i) {
        if (!Cycle()) {
            return 1;
        }
    }
    const long long heap_before = HeapInUse();
    const long long resident_before = ResidentBytes();
    for (int i = 0; i < cycles; ++i) {
        if (!Cycle()) {
            return 1;
        }
    }
    const long long heap_growth = HeapInUse() - heap_before;
    const long long resident_growth = ResidentBytes() - resident_before;
    std::printf("cycles after %d of warm-up: %d\n", kWarmUpCycles, cycles);
    std::printf("heap in use: %+lld bytes (%+.1f per cycle)\n", heap_growth,
                static_cast<double>(heap_growth) / cycles);
    std::printf("resident size: %+lld bytes (%+.1f per cycle)\n", resident_growth,
                static_cast<double>(resident_growth) / cycles);
    return 0;
}
