// CUTTransferRegistry: the transfer sessions in progress in this process, so
// that CleanUp can wake a transfer that waits for the network.
//
// A registered transfer waits for its sockets until libcurl's own next
// timeout and looks at the stop flags when it wakes; whoever raises a flag
// (CleanUp, a revocation of consent) then calls WakeAll, which interrupts
// every registered wait at once, so an upload in progress ends promptly
// while a wait for a slow reply costs no wakeups. A transfer is registered
// for the life of a CUTTransferRegistration. Any thread: WakeAll and the end
// of a registration exclude each other under one lock, so a session is never
// woken after it was unregistered (and may be freed). Nothing throws: a
// session that cannot be registered (no memory) waits in short slices
// instead, and so is still stopped by the flag within one slice.
#ifndef TVUT_COMM_UTTRANSFERREGISTRY_H
#define TVUT_COMM_UTTRANSFERREGISTRY_H

#include <curl/curl.h>

class CUTTransferRegistry {
public:
    // Interrupts the wait of every registered session.
    static void WakeAll();
    // Frees the registry at unload, when no transfer is registered.
    static void Release();

private:
    friend class CUTTransferRegistration;
    static bool Add(CURLM* multi);
    static void Remove(CURLM* multi);
};

// Keeps multi registered from construction to destruction.
class CUTTransferRegistration {
public:
    explicit CUTTransferRegistration(CURLM* multi)
        : multi_(multi), registered_(CUTTransferRegistry::Add(multi)) {}
    ~CUTTransferRegistration() {
        if (registered_) {
            CUTTransferRegistry::Remove(multi_);
        }
    }
    CUTTransferRegistration(const CUTTransferRegistration&) = delete;
    CUTTransferRegistration& operator=(const CUTTransferRegistration&) = delete;

    // False when the registry could not take it: WakeAll cannot reach it.
    bool registered() const { return registered_; }

private:
    CURLM* multi_;
    bool registered_;
};

#endif  // TVUT_COMM_UTTRANSFERREGISTRY_H
