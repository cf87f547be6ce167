// CUTTranscriptManager: decides when tvUT talks to the usage server, and
// writes the session's transcript.
//
// One per process (CUTSingleton), created by InitUTComponent (or by
// RegisterCallbackFunction when that comes first) and destroyed by CleanUp,
// by the library unload or at process exit. It owns a daemon thread that
// sleeps on an auto-reset wake-up event and runs process() each time it is
// woken, and three timers that wake it: the repeating check timer (id 1,
// started at construction, so the first check comes one interval later), the
// retry timer (id 2) and the restart timer (id 3), both started by the send
// cycle after a failed upload. OnSendNow wakes it on a host's request. Every
// waker sets m_reason first; requests that arrive while the daemon thread is
// busy collapse into one further wake-up. While nothing is due no thread of
// the manager wakes up.
//
// Timer durations are read once, at construction, from the settings (in
// milliseconds, divided by 1000 to whole seconds); a duration below 1 second
// becomes 1 second and one beyond the int range the largest int, so no timer
// spins. retriesLeft is refilled from the current CommunicationRetryTimes.
//
// The send cycle (process()) runs under the machine-wide sending lock
// "TELVORAN_UT_SENDING_LOCK", the outermost lock of the component: one
// decision and upload at a time among all threads and processes of the
// user. It gathers the pending files (CUTPendingTranscripts), packs them
// (CUTZipper), uploads them (CUTHttpClient), removes what the server
// accepted (only entries that were packed and still hold exactly the bytes
// that were packed) and otherwise arms the retry or restart timer. After a
// cycle that sent a request, once the lock is released, the host's callback
// learns whether the server accepted the upload.
//
// Threads: host threads construct and destroy the manager and call the
// public operations; handle_timeout runs on the timers' threads (two at once
// is possible); process() runs on the daemon thread or, for a synchronous
// send, on the host's thread, and the host's callback runs on that same
// thread. m_reason and retriesLeft are single atomic words without a lock:
// the last write before process() reads it wins. sendOnWorker hands a cycle
// to the daemon thread with its own reason (under a lock, so a timer that
// fires meanwhile cannot change it) and waits a bounded time for it. A send
// on a host's thread is always bounded (HostThreadBoundMs). Nothing is
// recorded or sent while the user's tracking is off: a cycle finds that
// under the sending lock, and once more just before its upload.
//
// The destructor returns once every thread of the manager has ended: it
// stops the daemon thread (waiting for a process() in progress, which the
// stop flag cuts short), writes the final transcript and joins the timers'
// threads. Construction fails (throws) only when a thread or the check timer
// cannot be started; nothing is left running then. serializeTranscript never
// throws.
#ifndef TVUT_MANAGER_UTTRANSCRIPTMANAGER_H
#define TVUT_MANAGER_UTTRANSCRIPTMANAGER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <tvUT/UTTypes.h>

#include "base/UTSingleton.h"

class UTTimer;

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
    enum TimerId { CHECK_TIMER = 1, RETRY_TIMER = 2, RESTART_TIMER = 3 };

    CUTTranscriptManager();
    virtual ~CUTTranscriptManager();
    CUTTranscriptManager(const CUTTranscriptManager&) = delete;
    CUTTranscriptManager& operator=(const CUTTranscriptManager&) = delete;

    // Writes the session's transcript; false (logged as "Serialize
    // Transcript File Error!!") when it could not be written.
    bool serializeTranscript();
    // Runs the send cycle on the calling thread with the given reason and
    // maps its result, with the server's status codes of that same cycle, to
    // a status code.
    UTStatus sendSynchronously(int reason);
    // Has the daemon thread run a send cycle with the given reason at once
    // and waits at most bound for its outcome: the status code of that
    // cycle, or UT_SEND_OK when it is still running (it goes on in the
    // background) or the manager is going.
    UTStatus sendOnWorker(int reason, std::chrono::milliseconds bound);
    // The longest an upload may take on a host's thread: CommunicationTimeOut,
    // or kHostThreadDefaultBoundMs where that means "no bound".
    static int64_t HostThreadBoundMs(int64_t communication_timeout_ms);
    static constexpr int64_t kHostThreadDefaultBoundMs = 30000;
    // Asks the daemon thread for a scheduled check: 0 when it was woken,
    // -1 when the wake-up event could not be signalled.
    int OnSendNow();
    // The timers' handler; runs on the expiring timer's thread.
    void handle_timeout(int timerId);
    void setCallback(UTCallback function) { callback_.store(function); }
    // True on a thread that is running the host's callback now: the worker,
    // or a host thread inside a synchronous send. CleanUp must not run
    // there (it would join or destroy what that thread is in the middle of).
    static bool IsInHostCallback();
    // True while the host's callback runs on some thread.
    bool IsCallbackRunning() const { return callbacks_running_.load() > 0; }
    UTCallback callback() const { return callback_.load(); }

    int reason() const { return m_reason.load(); }
    // The timer with the given id (1, 2 or 3); null for any other id.
    UTTimer* timer(int timerId) const;

    // The status code of a synchronous send, from process()'s result and the
    // status codes of the server's last reply.
    static UTStatus StatusOfProcessResult(int result, int server_status, int ext_dep_status);
    // process()'s result for a cycle that found the user's tracking off.
    static constexpr int kResultTrackingOff = 100;
    // A send on a host's thread found the sending lock held past its bound.
    static constexpr int kResultSendingElsewhere = 101;

    // Resend chances left in the current retry series; process-wide.
    static inline std::atomic<int> retriesLeft{0};

    // Test seam: called at the start of every process() with the reason it
    // runs for, on the thread that runs it, before the sending lock is taken.
    // Set it while no manager exists. Defined only in the tests' build of the
    // component (TVUT_TEST_SEAMS, tvut_core_for_tests): the shipped library
    // has neither the hook nor its lock in the cycle, and a call from the
    // library's own code fails to link.
    static void SetProcessObserver(std::function<void(int reason)> observer);
    // Frees the observer's storage at unload, once no manager exists; does
    // nothing in the shipped library, which has none.
    static void ReleaseProcessObserver();

    // The machine-wide lock around every send decision and upload.
    static const wchar_t kSendingLockName[];

private:
    struct WakeEvent;
    // A cycle a host thread waits for (sendOnWorker): shared, so that a
    // host that stops waiting, and a manager that goes, each let go safely.
    struct Handoff {
        std::mutex mutex;
        std::condition_variable done_signal;
        bool done = false;
        UTStatus status = UT_SEND_OK;
        int reason = 0;
    };
    // Ends a handoff with status and wakes its waiter.
    static void finishHandoff(const std::shared_ptr<Handoff>& handoff, UTStatus status);
    // What one process() did, read while it held the sending lock.
    struct CycleOutcome {
        int result = -1;
        bool sent = false;  // an upload request went out
        int server_status = 0;
        int ext_dep_status = 0;
    };

    void daemonThread();
    // The send decision and send cycle: -1 when it could not run (the
    // sending lock, an exception), 1 when it was not time to send, otherwise
    // the send result of sendFile.
    int process();
    CycleOutcome runCycle();
    bool isTimeToSend();
    void removeOldTranscripts();
    // Removes the temporary files that writers killed while writing left in
    // the product folders (transcripts and product settings).
    static void removeLeftTemporaryFiles(const std::wstring& component_folder);
    // *sent becomes true once the upload request has gone out.
    int sendFile(bool* sent);
    // Calls the host's callback after a cycle that sent; see the .cpp.
    void notifyHost(bool delivered);
    // True the first time this manager reports path: a file too large to
    // travel waits for trimming, and every cycle meets it again.
    bool reportOnce(const std::wstring& path);
    void stopDaemonThread();

    std::atomic<UTCallback> callback_{nullptr};
    std::atomic<int> callbacks_running_{0};
    std::unique_ptr<WakeEvent> event_;
    std::thread daemon_;
    std::atomic<bool> exit_{false};
    std::atomic<int> m_reason{UT_SEND_REASON_FORCED};
    std::unique_ptr<UTTimer> checkTimer_;
    std::unique_ptr<UTTimer> retryTimer_;
    std::unique_ptr<UTTimer> restartTimer_;
    std::mutex handoff_mutex_;
    std::shared_ptr<Handoff> handoff_;  // the next cycle's waiter, if any
    std::mutex reported_mutex_;
    std::set<std::wstring> reported_oversized_;
};

#endif  // TVUT_MANAGER_UTTRANSCRIPTMANAGER_H
