// CUTTransferRegistry: the transfer sessions in progress in this process, so
// that CleanUp can wake a transfer that waits for the network.
//
// A transfer waits for its sockets in bounded slices and looks at the stop
// flag between them; CleanUp raises the flag and then calls WakeAll, which
// interrupts every registered wait at once, so an upload in progress ends
// promptly instead of after its slice. A transfer is registered for the life
// of a CUTTransferRegistration. Any thread: WakeAll and the end of a
// registration exclude each other under one lock, so a session is never
// woken after it was unregistered (and may be freed). Nothing throws: a
// session that cannot be registered (no memory) is still stopped by the
// flag within one slice.
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

private:
    CURLM* multi_;
    bool registered_;
};

#endif  // TVUT_COMM_UTTRANSFERREGISTRY_H
