// Named locks shared by every process of one user.
//
// Each name is a lock file in the user's lock folder (NamedLockFolder), held
// with an advisory lock of the platform's (CUTLockFile). The process-wide
// registry maps a name to one lock, made on first use: an in-process mutex,
// taken first so that the threads of this process queue on it, and the open
// lock file, kept open until the library unloads so that nothing else the
// process opens and closes can drop a held lock. CUTNamedLockGuard holds the
// lock for its scope, waiting without limit; when the lock cannot be made
// (no lock folder, a file that cannot be opened) or taken, the guard is not
// held and the caller must skip the work it guards and report failure; the
// next guard of that name tries again. The system releases the lock of a
// process that dies; nothing is left in the kernel. Users never share a lock
// folder, so one user's locks can neither block nor lock out another's.
// Everything here may be used from any thread. A child forked without exec
// opens lock files of its own, so its locks exclude its parent's; it must not
// be forked while a guard is held, as it would inherit the held in-process
// mutex with no thread to release it.
#ifndef TVUT_CONFIG_UTNAMEDLOCK_H
#define TVUT_CONFIG_UTNAMEDLOCK_H

#include <chrono>
#include <optional>
#include <string>

// Name of the lock that guards the file at path: the path with every
// separator replaced by "_" when it is shorter than 260 characters, the fixed
// "UT_FILE_LOCK_CONFIG_FILE" otherwise, "UT_GLOBAL_FILE_LOCK" for an empty path.
std::wstring FileLockName(const std::wstring& path);

// The folder of this user's lock files, created (owner only) when missing:
// "$XDG_RUNTIME_DIR/tvut" when that variable names an absolute path to a
// folder the user owns that nobody else may write, else ".locks" in the user
// component folder. Empty when neither is usable.
std::wstring NamedLockFolder();

// The file name of a lock in the lock folder, the same in every process: the
// name itself when it is short and made of letters, digits, ".", "_" and "-"
// only (not starting with "."); otherwise a readable prefix of it (other
// characters as "_"), "~" and 32 hexadecimal digits of the SHA-256 of the
// name in UTF-8. At most 255 bytes either way.
std::wstring LockFileName(const std::wstring& name);

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

#endif  // TVUT_CONFIG_UTNAMEDLOCK_H
