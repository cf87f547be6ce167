// Machine-wide named locks.
//
// CUTNamedLockRegistry maps a lock name to one ACE_Process_Mutex, created on
// first use and kept until the library unloads, so every thread of the process
// that asks for a name gets the same mutex. CUTNamedLockGuard acquires the
// named mutex for its scope, waiting without limit; when the lock cannot be
// made or acquired the guard is not held and the caller must skip the work it
// guards and report failure. A lock held by a process that dies is released
// by the system. Both classes may be used from any thread; the registry
// guards its map with a lock of its own.
#ifndef TVUT_CONFIG_UTNAMEDLOCK_H
#define TVUT_CONFIG_UTNAMEDLOCK_H

#include <string>

// Name of the lock that guards the file at path: the path with every
// separator replaced by "_" when it is shorter than 260 characters, the fixed
// "UT_FILE_LOCK_CONFIG_FILE" otherwise, "UT_GLOBAL_FILE_LOCK" for an empty path.
std::wstring FileLockName(const std::wstring& path);

class CUTNamedLockGuard {
public:
    explicit CUTNamedLockGuard(const std::wstring& name);
    ~CUTNamedLockGuard();
    CUTNamedLockGuard(const CUTNamedLockGuard&) = delete;
    CUTNamedLockGuard& operator=(const CUTNamedLockGuard&) = delete;

    bool IsHeld() const { return lock_ != nullptr; }

private:
    class CUTProcessLock* lock_;
};

// Releases every mutex of the registry (library unload).
void ReleaseNamedLocks();

#endif  // TVUT_CONFIG_UTNAMEDLOCK_H
