// Which platform the component uses: the system's own, unless a test has
// installed another. The same on every system but for the class made.
#include <atomic>

#include "base/UTReleasedAtUnload.h"
#include "platform/UTPlatform.h"
#ifdef _WIN32
#include "platform/Win32Platform.h"
using CUTSystemPlatform = CUTWin32Platform;
#else
#include "platform/PosixPlatform.h"
using CUTSystemPlatform = CUTPosixPlatform;
#endif

namespace {

std::atomic<CUTPlatform*> g_current{nullptr};

// Never destroyed by static destruction: other objects may still use it
// during process exit. Freed at unload, after everything else.
CUTReleasedAtUnload<CUTSystemPlatform> g_default;

}  // namespace

CUTPlatform* CUTPlatform::Default() {
    return &g_default.Get();
}

void CUTPlatform::ReleaseDefault() {
    g_default.Release();
}

CUTPlatform* CUTPlatform::Current() {
    CUTPlatform* current = g_current.load(std::memory_order_acquire);
    return current != nullptr ? current : Default();
}

CUTPlatform* CUTPlatform::Install(CUTPlatform* platform) {
    CUTPlatform* previous = g_current.exchange(platform, std::memory_order_acq_rel);
    return previous != nullptr ? previous : Default();
}
