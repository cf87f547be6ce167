#include "comm/UTTransferRegistry.h"

#include <mutex>
#include <set>

#include "info/UTReleasedAtUnload.h"

namespace {

struct CUTRegistryState {
    std::mutex mutex;
    std::set<CURLM*> sessions;
};

// Never destroyed by static destruction: a transfer on a thread that
// outlives it still finds the registry. Release frees it at unload.
CUTReleasedAtUnload<CUTRegistryState> g_state;

CUTRegistryState& State() {
    return g_state.Get();
}

}  // namespace

void CUTTransferRegistry::WakeAll() {
    try {
        CUTRegistryState& state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        for (CURLM* multi : state.sessions) {
            curl_multi_wakeup(multi);
        }
    } catch (...) {
        // Without the registry nothing can be registered either.
    }
}

bool CUTTransferRegistry::Add(CURLM* multi) {
    try {
        CUTRegistryState& state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        return state.sessions.insert(multi).second;
    } catch (...) {
        return false;
    }
}

void CUTTransferRegistry::Remove(CURLM* multi) {
    CUTRegistryState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.sessions.erase(multi);
}

void CUTTransferRegistry::Release() {
    bool idle = false;
    {
        CUTRegistryState& state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        idle = state.sessions.empty();
    }
    // A session still registered keeps the registry to the process's end.
    if (idle) {
        g_state.Release();
    }
}
