// The named locks of the Win32 platform: one machine-wide named mutex a name,
// in the global namespace, so that processes of every session and user that
// use the same files exclude each other.
//
// The mutex is made so that every user may wait for it and release it (and
// nothing more): the machine-wide settings file is shared by all users, and a
// mutex that only its first creator could open would lock everybody else out.
// The system hands a mutex whose holder died to the next waiter (abandoned),
// which counts as taken. A Windows mutex belongs to the thread that took it:
// a lock object is released on the thread that locked it, and the platform's
// table of held names keeps two objects of one name apart on one thread.
// windows.h first: the other system headers build on it.
#include <windows.h>

#include <sddl.h>

#include <string>

#include "base/UTNameHash.h"
#include "base/UTTextCodec.h"
#include "platform/Win32Platform.h"

namespace {

const wchar_t kGlobalPrefix[] = L"Global\\";
constexpr size_t kReadablePrefix = 100;

// Everyone may wait for and release the mutex; the system and the
// administrators have full control.
const wchar_t kMutexSecurity[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;WD)";

constexpr DWORD kMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

class CUTWin32NamedMutex : public CUTSystemLock {
public:
    CUTWin32NamedMutex(CUTWin32Platform* platform, HANDLE mutex, const std::wstring& name)
        : platform_(platform), mutex_(mutex), name_(name) {}
    ~CUTWin32NamedMutex() override {
        if (held_) {
            Unlock();
        }
        ::CloseHandle(mutex_);
    }

    CUTOsStatus Lock() override {
        const DWORD result = ::WaitForSingleObject(mutex_, INFINITE);
        if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
            return Win32Failure("lock", ::GetLastError());
        }
        if (!Taken(result)) {
            // Another object of this thread holds it: waiting would never end.
            return Win32Failure("lock", ERROR_POSSIBLE_DEADLOCK);
        }
        return CUTOsStatus();
    }

    CUTOsStatus TryLock(bool* taken) override {
        *taken = false;
        const DWORD result = ::WaitForSingleObject(mutex_, 0);
        if (result == WAIT_TIMEOUT) {
            return CUTOsStatus();
        }
        if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
            return Win32Failure("lock", ::GetLastError());
        }
        *taken = Taken(result);
        return CUTOsStatus();
    }

    CUTOsStatus Unlock() override {
        if (!held_) {
            return Win32Failure("unlock", ERROR_NOT_OWNER);
        }
        if (!::ReleaseMutex(mutex_)) {
            return Win32Failure("unlock", ::GetLastError());
        }
        held_ = false;
        platform_->MarkLockReleased(name_);
        return CUTOsStatus();
    }

private:
    // After a wait succeeded: true when this object now holds the mutex,
    // false when the thread already held it through another object (the
    // extra count is given back at once).
    bool Taken(DWORD result) {
        if (!platform_->MarkLockHeld(name_, result == WAIT_ABANDONED)) {
            ::ReleaseMutex(mutex_);
            return false;
        }
        held_ = true;
        return true;
    }

    CUTWin32Platform* platform_;
    HANDLE mutex_;
    const std::wstring name_;
    bool held_ = false;
};

bool IsPlainCharacter(wchar_t c) {
    return c != L'\\' && c != L'\0';
}

}  // namespace

std::wstring NamedMutexName(const std::wstring& name) {
    const size_t room = MAX_PATH - (sizeof(kGlobalPrefix) / sizeof(wchar_t) - 1);
    bool plain = !name.empty() && name.size() <= room;
    for (size_t i = 0; plain && i < name.size(); ++i) {
        plain = IsPlainCharacter(name[i]);
    }
    if (plain) {
        return kGlobalPrefix + name;
    }
    std::wstring readable;
    for (size_t i = 0; i < name.size() && i < kReadablePrefix; ++i) {
        readable.push_back(IsPlainCharacter(name[i]) ? name[i] : L'_');
    }
    // "~" and 32 digits make a hashed name longer than any readable part
    // alone, and a plain name of that form hashes to something else.
    return kGlobalPrefix + readable + L"~" + FromUtf8(NameHash(name));
}

bool CUTWin32Platform::MarkLockHeld(const std::wstring& mutex_name, bool abandoned) {
    std::lock_guard<std::mutex> guard(held_locks_mutex_);
    // Held by another object while this thread's wait succeeded: that object
    // is on this thread (another thread's hold would have kept the wait
    // going), unless its thread died holding it, which the wait reports.
    if (!abandoned && held_locks_.count(mutex_name) != 0) {
        return false;
    }
    held_locks_.insert(mutex_name);
    return true;
}

void CUTWin32Platform::MarkLockReleased(const std::wstring& mutex_name) {
    std::lock_guard<std::mutex> guard(held_locks_mutex_);
    const auto found = held_locks_.find(mutex_name);
    if (found != held_locks_.end()) {
        held_locks_.erase(found);
    }
}

CUTOsStatus CUTWin32Platform::OpenNamedLock(const std::wstring& name,
                                            std::unique_ptr<CUTSystemLock>* lock) {
    lock->reset();
    if (name.empty()) {
        return Win32Failure("open lock", ERROR_INVALID_PARAMETER);
    }
    const std::wstring mutex_name = NamedMutexName(name);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSecurity, SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return Win32Failure("open lock", ::GetLastError());
    }
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    // Opens the mutex when it exists, asking only for what a lock needs, so
    // that one another user made can be opened too.
    HANDLE mutex = ::CreateMutexExW(&attributes, mutex_name.c_str(), 0, kMutexAccess);
    const DWORD error = ::GetLastError();
    ::LocalFree(descriptor);
    if (mutex == nullptr) {
        return Win32Failure("open lock", error);
    }
    lock->reset(new CUTWin32NamedMutex(this, mutex, mutex_name));
    return CUTOsStatus();
}
