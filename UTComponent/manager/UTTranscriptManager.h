// CUTTranscriptManager: writes the session's transcript and runs the send
// cycle on a worker thread of its own.
//
// This build has no transcript writer and no send cycle yet. The manager is
// already the singleton the facade creates, destroys and talks to, and it
// reports honestly that the work was not done: writing a transcript fails,
// a synchronous send reports that the cycle could not run, and a send request
// is refused. It stores the host's callback. Any thread may call it.
#ifndef TVUT_MANAGER_UTTRANSCRIPTMANAGER_H
#define TVUT_MANAGER_UTTRANSCRIPTMANAGER_H

#include <atomic>

#include <tvUT/UTTypes.h>

#include "info/UTSingleton.h"

// Why a send is asked for.
enum UTSendReason {
    UT_SEND_REASON_NONE = 0,
    UT_SEND_REASON_FORCED = 1,
    UT_SEND_REASON_RETRY = 2,
    UT_SEND_REASON_CHECK = 3
};

typedef void (*UTCallback)(bool);

class CUTTranscriptManager : public CUTSingleton<CUTTranscriptManager> {
public:
    CUTTranscriptManager();
    ~CUTTranscriptManager();
    CUTTranscriptManager(const CUTTranscriptManager&) = delete;
    CUTTranscriptManager& operator=(const CUTTranscriptManager&) = delete;

    // Writes the session's transcript; false when it could not be written.
    bool serializeTranscript();
    // Runs the send cycle on the calling thread and returns its status.
    UTStatus sendSynchronously(int reason);
    // Wakes the worker thread for a send; false when there is none to wake.
    bool OnSendNow();
    void setCallback(UTCallback function) { callback_.store(function); }
    UTCallback callback() const { return callback_.load(); }

private:
    std::atomic<UTCallback> callback_{nullptr};
};

#endif  // TVUT_MANAGER_UTTRANSCRIPTMANAGER_H
