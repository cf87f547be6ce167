#include "comm/UTTransferRegistry.h"

#include <mutex>
#include <set>

namespace {

struct CUTRegistryState {
    std::mutex mutex;
    std::set<CURLM*> sessions;
};

// Never destroyed: a transfer on a thread that outlives static destruction
// still finds it.
CUTRegistryState& State() {
    static CUTRegistryState* state = new CUTRegistryState;
    return *state;
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
