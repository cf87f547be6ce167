// CUTTranscriptManager: writes the session's transcript and runs the send
// cycle on a worker thread of its own.
//
// One per process (CUTSingleton), created by InitUTComponent (or by
// RegisterCallbackFunction when that comes first) and destroyed by CleanUp,
// by the library unload or at process exit. Its constructor makes sure the
// configuration manager exists and creates the transcript serializer; its
// destructor destroys the serializer, which writes the session's transcript
// one last time. The worker thread, the wake-up event and the timers come
// with the send cycle; construction and destruction already run in the order
// that leaves their places (see the .cpp).
//
// This build has no send cycle yet: a synchronous send reports that the
// cycle could not run, and a send request is refused. serializeTranscript
// never throws. Any host thread may call; the host does not overlap the
// destruction with other calls.
#ifndef TVUT_MANAGER_UTTRANSCRIPTMANAGER_H
#define TVUT_MANAGER_UTTRANSCRIPTMANAGER_H

#include <atomic>

#include <tvUT/UTTypes.h>

#include "info/UTSingleton.h"

// Why the worker is woken: what the send decision does with m_reason.
enum UTSendReason {
    UT_SEND_REASON_FORCED = 1,   // send, whatever the last send time
    UT_SEND_REASON_NO_SEND = 2,  // do not send
    UT_SEND_REASON_CHECK = 3,    // trim old transcripts; send when the interval has passed
    UT_SEND_REASON_RETRY = 4,    // resend after a failed upload
    UT_SEND_REASON_RESTART = 5   // resend after the server announced a restart
};

typedef void (*UTCallback)(bool);

class CUTTranscriptManager : public CUTSingleton<CUTTranscriptManager> {
public:
    CUTTranscriptManager();
    virtual ~CUTTranscriptManager();
    CUTTranscriptManager(const CUTTranscriptManager&) = delete;
    CUTTranscriptManager& operator=(const CUTTranscriptManager&) = delete;

    // Writes the session's transcript; false (logged as "Serialize
    // Transcript File Error!!") when it could not be written.
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
