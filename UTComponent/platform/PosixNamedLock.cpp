// The named locks of the POSIX platform: one lock file a name in the user's
// private lock folder, held with flock(2).
//
// Users never share a lock folder, so one user's locks can neither block nor
// lock out another's. The system releases a dead holder's lock; the file
// itself stays for the next holder.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/UTNameHash.h"
#include "base/UTProductNames.h"
#include "base/UTTextCodec.h"
#include "platform/PosixPlatform.h"

namespace {

// Lock names kept as they are up to this length; longer or unusual ones get a
// prefix of kReadablePrefix characters and a hash, well below NAME_MAX.
constexpr size_t kMaxPlainLength = 200;
constexpr size_t kReadablePrefix = 100;

const wchar_t kRuntimeLockFolderName[] = L"tvut";
const wchar_t kUserLockFolderName[] = L".locks";

bool IsPlainCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'.' || c == L'_' || c == L'-';
}

// flock(2), not fcntl record locks: those belong to the process and are
// dropped when any descriptor of the file in the process is closed, and they
// would not exclude two open files of one process from each other.
class CUTPosixLockFile : public CUTSystemLock {
public:
    explicit CUTPosixLockFile(int fd) : fd_(fd) {}
    ~CUTPosixLockFile() override { ::close(fd_); }

    CUTOsStatus Lock() override {
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                return PosixFailure("flock", errno);
            }
        }
        return CUTOsStatus();
    }

    CUTOsStatus TryLock(bool* taken) override {
        *taken = false;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                return CUTOsStatus();
            }
            if (errno != EINTR) {
                return PosixFailure("flock", errno);
            }
        }
        *taken = true;
        return CUTOsStatus();
    }

    CUTOsStatus Unlock() override {
        return ::flock(fd_, LOCK_UN) == 0 ? CUTOsStatus() : PosixFailure("flock", errno);
    }

private:
    int fd_;
};

}  // namespace

std::wstring NamedLockFolder() {
    CUTPlatform* platform = CUTPlatform::Current();
    // The runtime folder is the user's own and lives as long as the user's
    // sessions; a variable that names anything else (another user's folder,
    // kept by su, say) is passed over.
    std::string runtime;
    std::wstring runtime_folder;
    if (platform->GetEnvironment("XDG_RUNTIME_DIR", &runtime) && !runtime.empty() &&
        runtime[0] == '/' && Utf8ToWide(runtime, &runtime_folder)) {
        runtime_folder = WithoutTrailingSeparator(runtime_folder);
        if (IsPrivateFolder(runtime_folder)) {
            const std::wstring folder = runtime_folder + kPathSeparator + kRuntimeLockFolderName;
            // Another process may create it at the same moment.
            platform->CreateFolder(folder);
            if (IsPrivateFolder(folder)) {
                return folder;
            }
        }
    }
    std::wstring root;
    if (!platform->UserDataRoot(&root)) {
        return std::wstring();
    }
    const std::wstring folder = root + kPathSeparator + kCompanyFolderName + kPathSeparator +
                                kComponentFolderName + kPathSeparator + kUserLockFolderName;
    CreateFolderTree(platform, folder);
    return IsPrivateFolder(folder) ? folder : std::wstring();
}

std::wstring LockFileName(const std::wstring& name) {
    bool plain = !name.empty() && name.size() <= kMaxPlainLength && name[0] != L'.';
    for (size_t i = 0; plain && i < name.size(); ++i) {
        plain = IsPlainCharacter(name[i]);
    }
    if (plain) {
        return name;
    }
    std::wstring file_name;
    for (size_t i = 0; i < name.size() && i < kReadablePrefix; ++i) {
        file_name.push_back(IsPlainCharacter(name[i]) ? name[i] : L'_');
    }
    // "~" never occurs in a plain name: no hashed name equals a plain one.
    return file_name + L"~" + FromUtf8(NameHash(name));
}

CUTOsStatus CUTPosixPlatform::OpenNamedLock(const std::wstring& name,
                                            std::unique_ptr<CUTSystemLock>* lock) {
    lock->reset();
    const std::wstring folder = NamedLockFolder();
    if (folder.empty()) {
        return CUTOsStatus::Failure("find the lock folder", UTOsError::kAccessDenied);
    }
    std::string native;
    if (name.empty() || !WideToUtf8(folder + kPathSeparator + LockFileName(name), &native)) {
        return PosixFailure("open", EINVAL);
    }
    // Read access is all a lock needs, so a umask that took the owner's write
    // bit away does not lock the owner out. Non-blocking while opening, so
    // that a FIFO planted at the path cannot hang the caller.
    const int fd = ::open(
        native.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        return PosixFailure("open", errno);
    }
    std::unique_ptr<CUTSystemLock> opened(new CUTPosixLockFile(fd));
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return PosixFailure("stat", errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return CUTOsStatus::Failure("open", UTOsError::kNotAFile);
    }
    *lock = std::move(opened);
    return CUTOsStatus();
}
