// Named locks shared by every process of one user.
//
// Each name is a named lock of the platform's (CUTPlatform::OpenNamedLock).
// The process-wide registry maps a name to one lock, made on first use: an
// in-process mutex, taken first so that the threads of this process queue on
// it, and the system's lock, kept open until the library unloads so that
// nothing else the process opens and closes can drop a held lock. CUTNamedLockGuard holds the
// lock for its scope, waiting without limit; when the lock cannot be made
// (no lock folder, a lock that cannot be opened) or taken, the guard is not
// held and the caller must skip the work it guards and report failure; the
// next guard of that name tries again. The system releases the lock of a
// process that dies; nothing is left in the kernel.
// Everything here may be used from any thread. A child forked without exec
// opens locks of its own, so its locks exclude its parent's; it must not
// be forked while a guard is held, as it would inherit the held in-process
// mutex with no thread to release it.
#ifndef TVUT_PLATFORM_UTNAMEDLOCK_H
#define TVUT_PLATFORM_UTNAMEDLOCK_H

#include <chrono>
#include <optional>
#include <string>

// Name of the lock that guards the file at path: the path with every
// separator replaced by "_" when it is shorter than 260 characters, the fixed
// "UT_FILE_LOCK_CONFIG_FILE" otherwise, "UT_GLOBAL_FILE_LOCK" for an empty path.
std::wstring FileLockName(const std::wstring& path);

class CUTNamedLockGuard {
public:
    // Waits for the lock without limit, or until deadline when one is
    // given; IsHeld tells whether it was taken.
    explicit CUTNamedLockGuard(
        const std::wstring& name,
        const std::optional<std::chrono::steady_clock::time_point>& deadline = std::nullopt);
    ~CUTNamedLockGuard();
    CUTNamedLockGuard(const CUTNamedLockGuard&) = delete;
    CUTNamedLockGuard& operator=(const CUTNamedLockGuard&) = delete;

    bool IsHeld() const { return held_; }
    // Not held because the deadline came first (not because of a failure).
    bool TimedOut() const { return timed_out_; }

private:
    class CUTProcessLock* lock_;
    bool held_;
    bool timed_out_ = false;
};

// Closes the lock files of the registry and frees it (library unload, once
// the workers and the host's calls have ended). A lock that a guard holds or
// waits for stays open and registered, and the registry with it.
void ReleaseNamedLocks();

#endif  // TVUT_PLATFORM_UTNAMEDLOCK_H
