// CUTFacade: everything a host product does with tvUT.
//
// A host calls, in this order: InitUTComponent once; RegisterCallbackFunction
// if it wants to; GetUBInformation with its product and user information;
// LogUsageData when its session starts; OnCrash if it crashes; CleanUp before
// it exits. SetUserID and GetUserID store and read the user's account login
// and work at any time, also before InitUTComponent and after CleanUp.
//
// Failures come back only as UTStatus codes; no exception ever leaves these
// calls. Any host thread may call; InitUTComponent and CleanUp must not
// overlap other calls, and CleanUp must not run on a thread of tvUT's own.
//
// A process that exits (or unloads the library) without CleanUp while other
// threads are inside these calls: the exit ends their uploads, waits up to
// two seconds for them to return, and leaves tvUT's objects to the process's
// end if they have not, rather than destroy what they use. Calls made once
// that has begun return at once: -1000 (GetUserID a null text).
//
// fork: in a child forked after InitUTComponent every call returns -1002
// (GetUserID a null text) at once, and the child's exit waits on nothing.
// tvUT's threads and locks were not copied into the child; it may use tvUT
// only after exec.
#ifndef TVUT_UTFACADE_H
#define TVUT_UTFACADE_H

#include <tvUT/UTProductInfo.h>

class TVUT_API CUTFacade {
public:
    // 100 when initialised (also when it already was), -103 when the runtime
    // library could not start, -104 when the per-user folder or its
    // configuration file cannot be used.
    static UTStatus InitUTComponent();

    // Hands over the product and user information (copied; the host keeps
    // ownership) and asks for an upload.
    // - synchronous kormTRUE: the upload runs on this thread and the call
    //   returns its outcome. It lasts at most CommunicationTimeOut; a
    //   CommunicationTimeOut under 1000 (no bound on tvUT's worker) bounds it
    //   at 30 seconds here. Waiting for another send of the same user counts
    //   against that bound (-301 when it takes all of it).
    // - kormFALSE while nothing was ever delivered: tvUT's worker uploads at
    //   once and this call waits for the outcome at most 3 seconds, then
    //   returns 300 and the upload goes on in the background.
    // - kormFALSE otherwise: the worker decides whether an upload is due;
    //   300 at once.
    // While tracking is off (see SetUsageConsent) the product is still
    // handed over, nothing is sent, and the call returns -800.
    static UTStatus GetUBInformation(const CUTProductInfo* product, const CUTUserInfo* user,
                                     kormBOOLEAN synchronous);

    // Stamps the session start and writes the session's transcript: 200;
    // -800 while tracking is off.
    static UTStatus LogUsageData();

    // Records a crash and the end time and writes the transcript: 400, or
    // -400 when the transcript cannot be written, -800 while tracking is off. From a signal handler
    // that interrupted another facade call on the same thread, it waits on no lock: it notes the
    // crash and its time in a lock-free word and returns 401; the interrupted call writes it when
    // it returns (a handler that then ends the process loses it). Nothing else in this interface
    // may be called from a signal handler.
    static UTStatus OnCrash();

    // Stores the user's decision on usage tracking for every product of
    // this user (the per-user settings file, item UsageConsent): 700, or
    // -700 when it cannot be saved. Works at any time, like SetUserID.
    // Revoking (kormFALSE) turns tracking off at once: the user's pending
    // transcripts and upload archives are deleted, an upload in progress in
    // this process ends, no transcript is written and nothing is sent until
    // consent is given again. A machine policy may keep tracking off, or
    // require consent before anything is recorded, whatever is stored here.
    static UTStatus SetUsageConsent(kormBOOLEAN given);

    // The user's stored decision: 1 given, 0 revoked, -1 never decided
    // (tracking runs then, unless the machine policy requires consent).
    static int32_t GetUsageConsent();

    // Stores the user's login: 600, or -600 without user information.
    static UTStatus SetUserID(const CUTUserInfo* user);

    // The stored login; an empty one comes back as a null text with length
    // 0. The record belongs to the calling thread: every call on one thread
    // returns the same record, and its text stays valid and unchanged until
    // that thread calls GetUserID again (or the library is unloaded). Calls
    // on other threads and tvUT's other operations never touch it. Copy the
    // text if it must outlive the thread's next GetUserID.
    static const kormSTRING& GetUserID();

    // Stores a callback; a later call replaces it (null: none). After every
    // upload request tvUT makes, the callback is called with true when the
    // usage server accepted the upload and false when it did not (no
    // connection, a time-out, an error reply): once per request, on the
    // thread that sent it (tvUT's worker thread, or the host's own thread in
    // a synchronous GetUBInformation, before that call returns), after tvUT
    // has released its locks. The callback may call the facade, a
    // synchronous GetUBInformation included (the cycles that call runs do not
    // call the callback again on this thread), but not CleanUp: called from
    // the callback, CleanUp does nothing and returns -500. It is not called
    // once CleanUp has begun. Keep it short: a CleanUp on another thread
    // waits for a callback that is running to return (and logs that it
    // waits), and so does the worker.
    static void RegisterCallbackFunction(void (*callback)(bool));

    // Stamps the end time, writes the final transcript and shuts down: 500.
    // -500, and nothing done, when called from the host's callback; -1000
    // when not initialised.
    static UTStatus CleanUp();

    CUTFacade() = delete;
};

#endif  // TVUT_UTFACADE_H
