#include "config/UTNamedLock.h"

#include <map>
#include <memory>
#include <mutex>

#include <ace/Process_Mutex.h>

#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"

// One named machine-wide mutex. The process-local mutex is taken first: the
// threads of this process queue on it instead of in the kernel, and thread
// checkers, which cannot see through a System V semaphore, see the ordering
// that the lock gives to the data it guards.
class CUTProcessLock {
public:
    explicit CUTProcessLock(const std::string& name) : mutex_(name.c_str()) {}

    bool Acquire() {
        local_.lock();
        if (mutex_.acquire() != 0) {
            local_.unlock();
            return false;
        }
        return true;
    }

    void Release() {
        mutex_.release();
        local_.unlock();
    }

private:
    std::mutex local_;
    ACE_Process_Mutex mutex_;
};

namespace {

constexpr size_t kMaxLockPathLength = 260;

class CUTNamedLockRegistry {
public:
    CUTProcessLock* Find(const std::wstring& name) {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = locks_.find(name);
        if (it != locks_.end()) {
            return it->second.get();
        }
        try {
            auto lock = std::make_unique<CUTProcessLock>(ToUtf8(name));
            CUTProcessLock* result = lock.get();
            locks_.emplace(name, std::move(lock));
            return result;
        } catch (...) {
            return nullptr;
        }
    }

    void Clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        locks_.clear();
    }

private:
    std::mutex mutex_;
    std::map<std::wstring, std::unique_ptr<CUTProcessLock>> locks_;
};

CUTNamedLockRegistry& Registry() {
    // Never destroyed during exit: guards may still run in other objects'
    // destructors. ReleaseNamedLocks empties it at unload.
    static CUTNamedLockRegistry* const registry = new CUTNamedLockRegistry();
    return *registry;
}

}  // namespace

std::wstring FileLockName(const std::wstring& path) {
    if (path.empty()) {
        return L"UT_GLOBAL_FILE_LOCK";
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

CUTNamedLockGuard::CUTNamedLockGuard(const std::wstring& name) : lock_(nullptr) {
    const std::wstring effective = name.empty() ? L"UT_GLOBAL_FILE_LOCK" : name;
    CUTProcessLock* lock = Registry().Find(effective);
    if (lock != nullptr && lock->Acquire()) {
        lock_ = lock;
    }
}

CUTNamedLockGuard::~CUTNamedLockGuard() {
    if (lock_ != nullptr) {
        lock_->Release();
    }
}

void ReleaseNamedLocks() {
    Registry().Clear();
}
