#include "platform/PosixPlatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "base/UTTextCodec.h"

namespace {

// File names on disk are UTF-8.
std::string NativePath(const std::wstring& path) {
    return ToUtf8(path);
}

// Maps the errno of a failed call to the kinds callers decide on.
UTOsError KindOf(int error) {
    switch (error) {
        case 0:
            return UTOsError::kNone;
        case ENOENT:
            return UTOsError::kNotFound;
        case EEXIST:
        case ENOTEMPTY:
            return UTOsError::kExists;
        case ELOOP:
            return UTOsError::kIsLink;
        case EISDIR:
        case ENOTDIR:
            return UTOsError::kNotAFile;
        case EACCES:
        case EPERM:
        case EROFS:
            return UTOsError::kAccessDenied;
        case ENOSPC:
        case EDQUOT:
            return UTOsError::kNoSpace;
        case EFBIG:
            return UTOsError::kTooLarge;
        case EINVAL:
        case EBADF:
        case ENAMETOOLONG:
            return UTOsError::kInvalid;
        default:
            return UTOsError::kOther;
    }
}

// In a privileged process (setuid, setgid, file capabilities) the
// environment belongs to whoever started it: secure_getenv then reads
// nothing, so no root, trust store or proxy comes from there.
bool AbsoluteEnvironmentPath(const char* name, std::string* value) {
    const char* text = ::secure_getenv(name);
    if (text == nullptr || text[0] != '/') {
        return false;
    }
    *value = text;
    return true;
}

}  // namespace

CUTOsStatus PosixFailure(const char* operation, int error) {
    return CUTOsStatus::Failure(operation, KindOf(error != 0 ? error : EIO),
                                error != 0 ? error : EIO);
}

std::string OsErrorText(int code) {
    char buffer[256];
    // The GNU form returns the text, which may or may not be the buffer.
    return std::string(::strerror_r(code, buffer, sizeof(buffer)));
}

bool CUTPosixPlatform::MachineDataRoot(std::wstring* root) {
    std::string path;
    if (!AbsoluteEnvironmentPath("UT_MACHINE_DATA_DIR", &path)) {
        path = "/var/lib";
    }
    *root = WithoutTrailingSeparator(FromUtf8(path));
    return !root->empty();
}

bool CUTPosixPlatform::UserDataRoot(std::wstring* root) {
    std::string path;
    if (!AbsoluteEnvironmentPath("XDG_DATA_HOME", &path)) {
        std::string home;
        if (!AbsoluteEnvironmentPath("HOME", &home)) {
            return false;
        }
        path = home + "/.local/share";
    }
    *root = WithoutTrailingSeparator(FromUtf8(path));
    return !root->empty();
}

std::wstring CUTPosixPlatform::NewGuidText() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof(bytes)) {
        const ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::wstring();
        }
        got += static_cast<size_t>(n);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[39];
    std::snprintf(text, sizeof(text),
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
                  bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14],
                  bytes[15]);
    return FromUtf8(text);
}

int64_t CUTPosixPlatform::CurrentTimeNanos() {
    struct timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return static_cast<int64_t>(std::time(nullptr)) * 1000000000;
    }
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + static_cast<int64_t>(now.tv_nsec);
}

std::wstring CUTPosixPlatform::ModuleVersion() {
    return FromUtf8(TVUT_MODULE_VERSION);
}

namespace {

void FillStatus(const struct statx& sx, CUTFileStatus* status) {
    status->last_write_nanos = static_cast<int64_t>(sx.stx_mtime.tv_sec) * 1000000000 +
                               static_cast<int64_t>(sx.stx_mtime.tv_nsec);
    status->change_nanos = static_cast<int64_t>(sx.stx_ctime.tv_sec) * 1000000000 +
                           static_cast<int64_t>(sx.stx_ctime.tv_nsec);
    status->device = (static_cast<uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    status->inode = static_cast<uint64_t>(sx.stx_ino);
    status->permissions = static_cast<uint32_t>(sx.stx_mode & 07777);
    status->is_regular_file = S_ISREG(sx.stx_mode);
    status->is_folder = S_ISDIR(sx.stx_mode);
    status->is_link = false;
    status->owner_writable = (sx.stx_mode & S_IWUSR) != 0;
    status->size = status->is_regular_file ? static_cast<uint64_t>(sx.stx_size) : 0;
    status->times.last_write = static_cast<int64_t>(sx.stx_mtime.tv_sec);
    status->times.last_access = static_cast<int64_t>(sx.stx_atime.tv_sec);
    status->times.creation = (sx.stx_mask & STATX_BTIME) != 0
                                 ? static_cast<int64_t>(sx.stx_btime.tv_sec)
                                 : status->times.last_write;
}

void FillStatus(const struct stat& st, CUTFileStatus* status) {
    status->last_write_nanos = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                               static_cast<int64_t>(st.st_mtim.tv_nsec);
    status->change_nanos = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 +
                           static_cast<int64_t>(st.st_ctim.tv_nsec);
    status->device = (static_cast<uint64_t>(major(st.st_dev)) << 32) | minor(st.st_dev);
    status->inode = static_cast<uint64_t>(st.st_ino);
    status->permissions = static_cast<uint32_t>(st.st_mode & 07777);
    status->is_regular_file = S_ISREG(st.st_mode);
    status->is_folder = S_ISDIR(st.st_mode);
    status->is_link = false;
    status->owner_writable = (st.st_mode & S_IWUSR) != 0;
    status->size = status->is_regular_file ? static_cast<uint64_t>(st.st_size) : 0;
    status->times.last_write = static_cast<int64_t>(st.st_mtime);
    status->times.last_access = static_cast<int64_t>(st.st_atime);
    status->times.creation = status->times.last_write;
}

class CUTPosixReadableFile : public CUTReadableFile {
public:
    explicit CUTPosixReadableFile(int fd) : fd_(fd) {}
    ~CUTPosixReadableFile() override { ::close(fd_); }

    CUTOsStatus Read(void* bytes, size_t size, size_t* count) override {
        char* next = static_cast<char*>(bytes);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::read(fd_, next + done, size - done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return PosixFailure("read", errno);
            }
            if (n == 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        *count = done;
        return CUTOsStatus();
    }

private:
    int fd_;
};

bool StatusOfOpenFile(int fd, CUTFileStatus* status) {
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
        FillStatus(sx, status);
        return true;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    FillStatus(st, status);
    return true;
}

class CUTPosixWritableFile : public CUTWritableFile {
public:
    explicit CUTPosixWritableFile(int fd) : fd_(fd) {}
    ~CUTPosixWritableFile() override {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    CUTOsStatus Append(const void* bytes, size_t size) override {
        const char* next = static_cast<const char*>(bytes);
        while (size > 0) {
            const ssize_t n = ::write(fd_, next, size);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return PosixFailure("write", errno);
            }
            next += n;
            size -= static_cast<size_t>(n);
        }
        return CUTOsStatus();
    }

    CUTOsStatus WriteAt(uint64_t offset, const void* bytes, size_t size) override {
        const char* next = static_cast<const char*>(bytes);
        while (size > 0) {
            const ssize_t n = ::pwrite(fd_, next, size, static_cast<off_t>(offset));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return PosixFailure("write", errno);
            }
            next += n;
            offset += static_cast<uint64_t>(n);
            size -= static_cast<size_t>(n);
        }
        return CUTOsStatus();
    }

    CUTOsStatus Sync() override {
        return ::fsync(fd_) == 0 ? CUTOsStatus() : PosixFailure("sync", errno);
    }

    CUTOsStatus Truncate(uint64_t size) override {
        return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 ? CUTOsStatus()
                                                               : PosixFailure("truncate", errno);
    }

    CUTOsStatus Status(CUTFileStatus* status) override {
        return StatusOfOpenFile(fd_, status) ? CUTOsStatus() : PosixFailure("stat", errno);
    }

    CUTOsStatus Close() override {
        if (fd_ < 0) {
            return PosixFailure("close", EBADF);
        }
        const int fd = fd_;
        fd_ = -1;
        // The descriptor is released even when close reports an error; a
        // retry could close a descriptor another thread has just opened.
        return ::close(fd) == 0 || errno == EINTR ? CUTOsStatus() : PosixFailure("close", errno);
    }

private:
    int fd_;
};

}  // namespace

CUTOsStatus CUTPosixPlatform::GetFileStatus(const std::wstring& path, CUTFileStatus* status) {
    if (path.empty()) {
        return PosixFailure("stat", EINVAL);
    }
    const std::string native = NativePath(path);
    struct statx sx;
    if (statx(AT_FDCWD, native.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
        FillStatus(sx, status);
        return CUTOsStatus();
    }
    struct stat st;
    if (::stat(native.c_str(), &st) != 0) {
        return PosixFailure("stat", errno);
    }
    FillStatus(st, status);
    return CUTOsStatus();
}

CUTOsStatus CUTPosixPlatform::GetEntryStatus(const std::wstring& path, CUTFileStatus* status) {
    if (path.empty()) {
        return PosixFailure("stat", EINVAL);
    }
    struct statx sx;
    if (statx(AT_FDCWD, NativePath(path).c_str(), AT_SYMLINK_NOFOLLOW,
              STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
        return PosixFailure("stat", errno);
    }
    FillStatus(sx, status);
    status->is_link = S_ISLNK(sx.stx_mode);
    return CUTOsStatus();
}

CUTOsStatus CUTPosixPlatform::OpenForReading(const std::wstring& path, CUTFileStatus* status,
                                             std::unique_ptr<CUTReadableFile>* file) {
    file->reset();
    if (path.empty()) {
        return PosixFailure("open", EINVAL);
    }
    // Non-blocking, so that opening a FIFO does not wait for a writer; reads
    // of regular files ignore the flag.
    const int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return PosixFailure("open", errno);
    }
    std::unique_ptr<CUTReadableFile> opened(new CUTPosixReadableFile(fd));
    if (!StatusOfOpenFile(fd, status)) {
        return PosixFailure("stat", errno);
    }
    if (!status->is_regular_file) {
        return CUTOsStatus::Failure("open", UTOsError::kNotAFile);
    }
    *file = std::move(opened);
    return CUTOsStatus();
}

namespace {

// May a file be written into the folder st describes? Only when the folder
// belongs to the effective user or to root and neither its group nor others
// may write it: nobody else can then plant a link or a file in it, or swap
// what tvUT just wrote.
bool IsSafeFolderToWrite(const struct stat& st) {
    return S_ISDIR(st.st_mode) && (st.st_uid == ::geteuid() || st.st_uid == 0) &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

CUTOsStatus CUTPosixPlatform::OpenForWriting(const std::wstring& path, UTWriteMode mode,
                                             uint32_t permissions,
                                             std::unique_ptr<CUTWritableFile>* file) {
    file->reset();
    // A link at the path is never followed, whatever the mode: in a
    // privileged host it would turn tvUT's write into a write of any file.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
    switch (mode) {
        case UTWriteMode::kTruncate:
            flags |= O_TRUNC;
            break;
        case UTWriteMode::kAppend:
            flags |= O_APPEND;
            break;
        case UTWriteMode::kCreateNew:
            flags |= O_EXCL;
            break;
    }
    auto fail = [](int code) { return PosixFailure("open", code); };
    std::string native;
    if (path.empty() || !WideToUtf8(path, &native)) {
        return fail(EINVAL);
    }
    const size_t slash = native.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : native.substr(0, slash));
    const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
    if (name.empty()) {
        return fail(EISDIR);
    }
    // The folder is opened once and the file opened relative to it, so the
    // folder checked is the folder written into.
    const int folder_fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd < 0) {
        return fail(errno);
    }
    struct stat folder_status;
    const bool safe = ::fstat(folder_fd, &folder_status) == 0 && IsSafeFolderToWrite(folder_status);
    const mode_t bits = static_cast<mode_t>(permissions & 07777);
    // Non-blocking while opening, so that a FIFO at the path cannot hang the
    // caller; anything but a regular file is refused below.
    const int fd = safe ? ::openat(folder_fd, name.c_str(), flags | O_NONBLOCK, bits) : -1;
    const int open_error = safe ? errno : EPERM;
    ::close(folder_fd);
    if (fd < 0) {
        return fail(open_error);
    }
    std::unique_ptr<CUTWritableFile> opened(new CUTPosixWritableFile(fd));
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return fail(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return CUTOsStatus::Failure("open", UTOsError::kNotAFile);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // The mode is the caller's, whatever the umask took away from a new file
    // or an earlier writer left on an old one.
    if ((st.st_mode & 07777) != bits && st.st_uid == ::geteuid()) {
        ::fchmod(fd, bits);
    }
    *file = std::move(opened);
    return CUTOsStatus();
}

CUTOsStatus CUTPosixPlatform::RemoveFile(const std::wstring& path) {
    if (path.empty()) {
        return PosixFailure("unlink", EINVAL);
    }
    return ::unlink(NativePath(path).c_str()) == 0 ? CUTOsStatus() : PosixFailure("unlink", errno);
}

CUTOsStatus CUTPosixPlatform::RenameReplacing(const std::wstring& source,
                                              const std::wstring& target) {
    if (source.empty() || target.empty()) {
        return PosixFailure("rename", EINVAL);
    }
    return ::rename(NativePath(source).c_str(), NativePath(target).c_str()) == 0
               ? CUTOsStatus()
               : PosixFailure("rename", errno);
}

namespace {

UTEntryKind KindOfMode(mode_t mode) {
    return S_ISREG(mode)   ? UTEntryKind::kRegularFile
           : S_ISDIR(mode) ? UTEntryKind::kFolder
           : S_ISLNK(mode) ? UTEntryKind::kLink
                           : UTEntryKind::kOther;
}

}  // namespace

CUTOsStatus CUTPosixPlatform::ListFolder(const std::wstring& folder, UTListing what,
                                         bool (*match)(const std::wstring& name),
                                         std::vector<CUTFolderEntry>* entries,
                                         size_t* skipped_names) {
    entries->clear();
    if (skipped_names != nullptr) {
        *skipped_names = 0;
    }
    if (folder.empty()) {
        return PosixFailure("opendir", EINVAL);
    }
    DIR* dir = ::opendir(NativePath(folder).c_str());
    if (dir == nullptr) {
        return PosixFailure("opendir", errno);
    }
    const bool files_only = what != UTListing::kEveryEntry;
    const bool with_status = what == UTListing::kRegularFilesWithStatus;
    for (const struct dirent* item = ::readdir(dir); item != nullptr; item = ::readdir(dir)) {
        const char* raw = item->d_name;
        if (std::strcmp(raw, ".") == 0 || std::strcmp(raw, "..") == 0) {
            continue;
        }
        // Kinds the listing tells are settled without a query.
        if (files_only && item->d_type != DT_REG && item->d_type != DT_UNKNOWN) {
            continue;
        }
        CUTFolderEntry entry;
        // A name without a wide form is never reported as something else.
        if (!Utf8ToWide(raw, &entry.name) || entry.name.empty()) {
            if (skipped_names != nullptr) {
                ++*skipped_names;
            }
            continue;
        }
        if (match != nullptr && !match(entry.name)) {
            continue;
        }
        entry.kind = item->d_type == DT_REG   ? UTEntryKind::kRegularFile
                     : item->d_type == DT_DIR ? UTEntryKind::kFolder
                     : item->d_type == DT_LNK ? UTEntryKind::kLink
                                              : UTEntryKind::kOther;
        if (with_status || item->d_type == DT_UNKNOWN) {
            // File systems that do not keep the kind in the folder, and the
            // statuses asked for: ask the entry itself, relative to the open
            // folder.
            struct statx sx;
            if (statx(::dirfd(dir), raw, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                      &sx) != 0) {
                continue;  // gone since the listing
            }
            entry.kind = KindOfMode(sx.stx_mode);
            if (files_only && entry.kind != UTEntryKind::kRegularFile) {
                continue;
            }
            if (with_status) {
                FillStatus(sx, &entry.status);
            }
        }
        entries->push_back(std::move(entry));
    }
    ::closedir(dir);
    return CUTOsStatus();
}

CUTOsStatus CUTPosixPlatform::CreateFolder(const std::wstring& path) {
    if (path.empty()) {
        return PosixFailure("mkdir", EINVAL);
    }
    const std::string native = NativePath(path);
    if (::mkdir(native.c_str(), 0700) != 0) {
        return PosixFailure("mkdir", errno);
    }
    // The umask may have taken bits away; the owner needs all three.
    ::chmod(native.c_str(), 0700);
    return CUTOsStatus();
}

CUTOsStatus CUTPosixPlatform::RemoveFolder(const std::wstring& path) {
    if (path.empty()) {
        return PosixFailure("rmdir", EINVAL);
    }
    return ::rmdir(NativePath(path).c_str()) == 0 ? CUTOsStatus() : PosixFailure("rmdir", errno);
}

CUTOsStatus CUTPosixPlatform::MakeOwnerWritable(const std::wstring& path) {
    if (path.empty()) {
        return PosixFailure("chmod", EINVAL);
    }
    const std::string native = NativePath(path);
    // lstat: a symbolic link is never followed, so a link planted at a
    // settings path cannot make a privileged process open up its target.
    struct stat st;
    if (::lstat(native.c_str(), &st) != 0) {
        return PosixFailure("chmod", errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return CUTOsStatus::Failure(
            "chmod", S_ISLNK(st.st_mode) ? UTOsError::kIsLink : UTOsError::kNotAFile);
    }
    if (st.st_uid != ::geteuid()) {
        return PosixFailure("chmod", EPERM);
    }
    if ((st.st_mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR)) {
        return CUTOsStatus();
    }
    // Change the mode through a descriptor of that very file, opened without
    // following a link, so that a link swapped in after the check is refused.
    const int fd = ::open(native.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return PosixFailure("chmod", errno);
    }
    struct stat opened;
    CUTOsStatus changed = CUTOsStatus::Failure("chmod", UTOsError::kNotFound);
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_ino == st.st_ino &&
        opened.st_dev == st.st_dev) {
        // fchmod does not take an O_PATH descriptor; its /proc name does.
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        // Set-id and sticky bits go: a settings file is never a program.
        changed = ::chmod(proc.c_str(), (opened.st_mode & 0777) | S_IRUSR | S_IWUSR) == 0
                      ? CUTOsStatus()
                      : PosixFailure("chmod", errno);
    }
    ::close(fd);
    return changed;
}

CUTOsStatus CUTPosixPlatform::CanOpenForUpdate(const std::wstring& path) {
    if (path.empty()) {
        return PosixFailure("open", EINVAL);
    }
    const int fd = ::open(NativePath(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return PosixFailure("open", errno);
    }
    ::close(fd);
    return CUTOsStatus();
}

bool IsPrivateFolder(const std::wstring& path) {
    struct stat st;
    if (path.empty() || ::stat(NativePath(path).c_str(), &st) != 0) {
        return false;
    }
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void CallInForkedChild(void (*handler)()) {
    ::pthread_atfork(nullptr, nullptr, handler);
}

bool IsSecureExecution() {
    return ::getauxval(AT_SECURE) != 0;
}

int LastOsErrorCode() {
    return errno;
}

void RestoreOsErrorCode(int code) {
    errno = code;
}

int CurrentProcessId() {
    return static_cast<int>(::getpid());
}

int64_t CurrentThreadId() {
    return static_cast<int64_t>(::syscall(SYS_gettid));
}

UTPolicyRead CUTPosixPlatform::ReadMachinePolicy(std::string* bytes, std::wstring* source,
                                                 std::string* problem) {
    // The variable is for installers and tests of one account; a set-id
    // process never reads it (secure_getenv), so the file in /etc holds there.
    std::string path;
    if (!AbsoluteEnvironmentPath("UT_POLICY_FILE", &path)) {
        path = "/etc/tvut/policy.xml";
    }
    *source = FromUtf8(path);
    bytes->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        struct stat link;
        if (errno == ENOENT && ::lstat(path.c_str(), &link) != 0) {
            return UTPolicyRead::kAbsent;
        }
        if (errno == ENOENT) {
            // Someone placed a policy there and its target has gone.
            *problem = "is a link to nothing";
            return UTPolicyRead::kUnusable;
        }
        *problem = std::string("cannot be opened: ") + std::strerror(errno);
        return UTPolicyRead::kUnusable;
    }
    CUTPosixReadableFile file(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *problem = std::string("cannot be examined: ") + std::strerror(errno);
        return UTPolicyRead::kUnusable;
    }
    if (!S_ISREG(st.st_mode)) {
        *problem = "is not a regular file";
        return UTPolicyRead::kUnusable;
    }
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        *problem = "belongs to user " + std::to_string(st.st_uid) + ", not to root or this user";
        return UTPolicyRead::kUnusable;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *problem = "may be written by its group or by others";
        return UTPolicyRead::kUnusable;
    }
    // One byte past the limit tells a file that grew while it was read.
    std::string data(kPolicyMaxBytes + 1, '\0');
    size_t count = 0;
    const CUTOsStatus read = file.Read(&data[0], data.size(), &count);
    if (!read) {
        *problem = "cannot be read: " + OsErrorText(read.code());
        return UTPolicyRead::kUnusable;
    }
    if (count > kPolicyMaxBytes) {
        *problem = "is larger than " + std::to_string(kPolicyMaxBytes) + " bytes";
        return UTPolicyRead::kUnusable;
    }
    data.resize(count);
    *bytes = std::move(data);
    return UTPolicyRead::kRead;
}

bool CUTPosixPlatform::GetEnvironment(const char* name, std::string* value) {
    const char* text = name != nullptr ? ::secure_getenv(name) : nullptr;
    if (text == nullptr) {
        return false;
    }
    *value = text;
    return true;
}
