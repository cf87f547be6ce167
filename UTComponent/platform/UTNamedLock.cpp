#include "platform/UTNamedLock.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/UTReleasedAtUnload.h"
#include "platform/UTPlatform.h"

namespace {

constexpr size_t kMaxLockPathLength = 260;

const wchar_t kGlobalLockName[] = L"UT_GLOBAL_FILE_LOCK";

}  // namespace

// One named lock of this process. The in-process mutex is taken first: the
// threads of this process queue on it (one open lock file cannot tell them
// apart), and thread checkers, which cannot see file locks, see the ordering
// that the lock gives to the data it guards.
class CUTProcessLock {
public:
    explicit CUTProcessLock(const std::wstring& name) : name_(name) {}

    bool Acquire() {
        local_.lock();
        if (!OpenFile() || !file_->Lock()) {
            local_.unlock();
            return false;
        }
        return true;
    }

    // Acquire, giving up at deadline: the lock file offers no timed wait, so
    // both locks are tried again every few milliseconds (a timed mutex
    // would do for the first, but thread checkers cannot follow its clock
    // wait and report every release as wrong).
    bool AcquireBefore(std::chrono::steady_clock::time_point deadline, bool* timed_out) {
        *timed_out = false;
        while (!local_.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                *timed_out = true;
                return false;
            }
            std::this_thread::sleep_for(kRetryInterval);
        }
        if (OpenFile()) {
            for (;;) {
                bool taken = false;
                if (!file_->TryLock(&taken)) {
                    break;
                }
                if (taken) {
                    return true;
                }
                if (std::chrono::steady_clock::now() >= deadline) {
                    *timed_out = true;
                    break;
                }
                std::this_thread::sleep_for(kRetryInterval);
            }
        }
        local_.unlock();
        return false;
    }

    void Release() {
        file_->Unlock();
        local_.unlock();
    }

    // Guards that hold or wait for this lock; guarded by the registry's lock.
    int users = 0;

private:
    // Under local_. Opens the system's lock on first use, after a failed
    // attempt, and in a child forked from the process that opened it: the
    // child shares the parent's open lock and so would take the parent's
    // lock as its own.
    bool OpenFile() {
        const int pid = CurrentProcessId();
        if (file_ && opener_ == pid) {
            return true;
        }
        // Closing the inherited lock leaves the parent's lock alone.
        file_.reset();
        opener_ = pid;
        return CUTPlatform::Current()->OpenNamedLock(name_, &file_).ok();
    }

    static constexpr std::chrono::milliseconds kRetryInterval{5};

    const std::wstring name_;
    std::mutex local_;
    std::unique_ptr<CUTSystemLock> file_;
    int opener_ = 0;
};

namespace {

class CUTNamedLockRegistry {
public:
    // The lock of name, counted as used until Leave; null when it cannot be
    // made.
    CUTProcessLock* Enter(const std::wstring& name) {
        std::lock_guard<std::mutex> guard(mutex_);
        try {
            std::unique_ptr<CUTProcessLock>& lock = locks_[name];
            if (!lock) {
                lock.reset(new CUTProcessLock(name));
            }
            ++lock->users;
            return lock.get();
        } catch (...) {
            locks_.erase(name);
            return nullptr;
        }
    }

    void Leave(CUTProcessLock* lock) {
        std::lock_guard<std::mutex> guard(mutex_);
        --lock->users;
    }

    // Drops (and so closes) every lock that no guard uses; true when none
    // is left.
    bool Clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto it = locks_.begin(); it != locks_.end();) {
            it = it->second->users == 0 ? locks_.erase(it) : std::next(it);
        }
        return locks_.empty();
    }

private:
    std::mutex mutex_;
    std::map<std::wstring, std::unique_ptr<CUTProcessLock>> locks_;
};

// Never destroyed during exit: guards may still run in other objects'
// destructors. ReleaseNamedLocks frees it at unload.
CUTReleasedAtUnload<CUTNamedLockRegistry> g_registry;

CUTNamedLockRegistry& Registry() {
    return g_registry.Get();
}

}  // namespace

std::wstring FileLockName(const std::wstring& path) {
    if (path.empty()) {
        return kGlobalLockName;
    }
    if (path.size() >= kMaxLockPathLength) {
        return L"UT_FILE_LOCK_CONFIG_FILE";
    }
    std::wstring name = path;
    for (wchar_t& c : name) {
        if (c == kPathSeparator || c == L'\\') {
            c = L'_';
        }
    }
    return name;
}

CUTNamedLockGuard::CUTNamedLockGuard(
    const std::wstring& name, const std::optional<std::chrono::steady_clock::time_point>& deadline)
    : lock_(nullptr), held_(false) {
    lock_ = Registry().Enter(name.empty() ? std::wstring(kGlobalLockName) : name);
    if (lock_ != nullptr) {
        held_ = deadline ? lock_->AcquireBefore(*deadline, &timed_out_) : lock_->Acquire();
    }
}

CUTNamedLockGuard::~CUTNamedLockGuard() {
    if (held_) {
        lock_->Release();
    }
    if (lock_ != nullptr) {
        Registry().Leave(lock_);
    }
}

void ReleaseNamedLocks() {
    // A lock a guard still holds keeps the registry (and the guard's lock)
    // alive to the process's end.
    if (Registry().Clear()) {
        g_registry.Release();
    }
}
