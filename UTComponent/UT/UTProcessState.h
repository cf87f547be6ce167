// The process-wide words of the component: the lifecycle flags of the facade,
// the stop flag that the transport polls, the client mode that transcripts
// and requests report, and the status codes of the server's last reply. Single atomic words without
// a lock: each read and write is indivisible, nothing more is promised.
#ifndef TVUT_UT_UTPROCESSSTATE_H
#define TVUT_UT_UTPROCESSSTATE_H

#include <atomic>
#include <cstdint>

struct CUTProcessState {
    static inline std::atomic<bool> initialised{false};
    static inline std::atomic<bool> initialisation_started{false};
    // Raised by CleanUp before the managers go: an upload in progress stops.
    static inline std::atomic<bool> stop{false};
    static inline std::atomic<int> client_mode{0};
    // REQ_STATUS_CODE and EXT_DEP_STATUS_CODE of the last reply, written by
    // the reply handling; the send cycle sets both to 0 before each send,
    // and a reply without a readable number leaves them as they are.
    static inline std::atomic<int> server_status_code{0};
    static inline std::atomic<int> ext_dep_status_code{0};
    // The time of a crash that OnCrash could not write because it
    // interrupted a facade call on its own thread (a signal handler); -1
    // when none waits. The interrupted call writes it when it returns.
    static inline std::atomic<int64_t> pending_crash_time{-1};
    // Set in a child forked from this process: tvUT's threads, events and
    // locks were not copied with it, so nothing of tvUT may run or be torn
    // down there (every facade call refuses, exit leaks on purpose).
    static inline std::atomic<bool> forked_child{false};
    // Facade calls under way on all threads.
    static inline std::atomic<int> calls_in_flight{0};
    // Set once the exit or unload tears tvUT down: facade calls made from
    // then on return at once.
    static inline std::atomic<bool> teardown_started{false};
    // The last answer on whether this user's tracking is off (revoked in
    // this process, or found off when last looked at): an upload in
    // progress stops, and OnCrash from a signal handler records nothing.
    static inline std::atomic<bool> tracking_off{false};
    // A revocation this process could not save: the user said no, so it
    // holds here, whatever the settings file says, until consent is given.
    static inline std::atomic<bool> revoked_unsaved{false};
    // The process is ending with its other threads gone (UTLibraryProcessEnding).
    static inline std::atomic<bool> process_ending{false};
};

// TeardownIsSafe (declared with CUTSingleton): the first call decides for
// all: in a forked child never, nor once the process is ending; otherwise it ends uploads in
// progress as CleanUp does and waits a bounded time for facade calls under way on other host
// threads. False when some are still running: then nothing is destroyed (the objects are left to
// the process's end), never one a running call still uses. Defined with the facade.
#include "base/UTSingleton.h"

#endif  // TVUT_UT_UTPROCESSSTATE_H
