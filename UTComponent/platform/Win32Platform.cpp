#include "platform/Win32Platform.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>

#include "base/UTTextCodec.h"

namespace {

constexpr int64_t kNanosPerTick = 100;
// FILETIME ticks (100 ns) from 1601-01-01 to 1970-01-01.
constexpr int64_t kTicksTo1970 = 116444736000000000LL;

// Reparse tags that make an entry a link to somewhere else; other tags
// (deduplicated files, cloud placeholders) mark ordinary files.
bool IsLinkTag(DWORD tag) {
    return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

int64_t FileTimeTicks(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
}

int64_t TicksToNanos(int64_t ticks) {
    return (ticks - kTicksTo1970) * kNanosPerTick;
}

int64_t TicksToSeconds(int64_t ticks) {
    const int64_t since = ticks - kTicksTo1970;
    return since >= 0 ? since / 10000000 : -((-since + 9999999) / 10000000);
}

// The mode bits a POSIX system would show: read and write for the owner, no
// write when the file is read-only, and search for folders.
uint32_t PermissionsOf(DWORD attributes) {
    uint32_t bits = 0400;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        bits |= 0200;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        bits |= 0100;
    }
    return bits;
}

void FillFromAttributes(DWORD attributes, uint64_t size, const FILETIME& write,
                        const FILETIME& access, const FILETIME& creation, CUTFileStatus* status) {
    status->is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->is_regular_file = !status->is_folder && (attributes & FILE_ATTRIBUTE_DEVICE) == 0;
    status->is_link = false;
    status->owner_writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
    status->size = status->is_regular_file ? size : 0;
    status->last_write_nanos = TicksToNanos(FileTimeTicks(write));
    status->change_nanos = status->last_write_nanos;
    status->times.last_write = TicksToSeconds(FileTimeTicks(write));
    status->times.last_access = TicksToSeconds(FileTimeTicks(access));
    status->times.creation = TicksToSeconds(FileTimeTicks(creation));
    status->permissions = PermissionsOf(attributes);
    status->device = 0;
    status->inode = 0;
}

// The status of an open file or folder; false with GetLastError set.
bool StatusOfHandle(HANDLE handle, CUTFileStatus* status) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info)) {
        return false;
    }
    const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    FillFromAttributes(info.dwFileAttributes, size, info.ftLastWriteTime, info.ftLastAccessTime,
                       info.ftCreationTime, status);
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        status->is_regular_file = false;
        status->size = 0;
    }
    status->device = info.dwVolumeSerialNumber;
    status->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    // The change time counts renames and attribute changes too; file systems
    // without one report zero.
    FILE_BASIC_INFO basic;
    if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic)) &&
        basic.ChangeTime.QuadPart != 0) {
        status->change_nanos = TicksToNanos(basic.ChangeTime.QuadPart);
    }
    return true;
}

// The reparse tag of an open entry; 0 for one that is no reparse point.
DWORD ReparseTagOf(HANDLE handle, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return 0;
    }
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
        return IO_REPARSE_TAG_SYMLINK;  // cannot tell: never followed either
    }
    return tag.ReparseTag;
}

// Opens path for a status query only: no data access, so no other opener's
// sharing can refuse it. Folders need backup semantics to be opened at all.
HANDLE OpenForQuery(const std::wstring& path, DWORD access, bool follow_links) {
    return ::CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

// Closes a handle on every way out of a scope.
class CUTHandle {
public:
    explicit CUTHandle(HANDLE handle) : handle_(handle) {}
    ~CUTHandle() {
        if (valid()) {
            ::CloseHandle(handle_);
        }
    }
    CUTHandle(const CUTHandle&) = delete;
    CUTHandle& operator=(const CUTHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

private:
    HANDLE handle_;
};

// An absolute Windows path: a drive and its root ("C:\", "C:/") or a UNC or
// device path ("\\server\share", "\\?\C:\").
bool IsAbsoluteWindowsPath(const std::wstring& path) {
    if (path.size() >= 3 &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
        return path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    }
    return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\';
}

// A root named by an environment variable (the tests' scratch roots, an
// installer's staging folder): used only when it is an absolute path.
bool RootFromEnvironment(CUTPlatform* platform, const char* variable, std::wstring* root) {
    std::string text;
    std::wstring path;
    if (!platform->GetEnvironment(variable, &text) || !Utf8ToWide(text, &path) ||
        !IsAbsoluteWindowsPath(path)) {
        return false;
    }
    *root = WithoutTrailingSeparator(path);
    return true;
}

// The shell's folder for csidl, asked with this process's token.
bool ShellFolder(int csidl, std::wstring* root) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_IMPERSONATE, &token)) {
        token = nullptr;
    }
    wchar_t path[MAX_PATH + 1] = {};
    const HRESULT result = ::SHGetFolderPathW(nullptr, csidl, token, SHGFP_TYPE_CURRENT, path);
    if (token != nullptr) {
        ::CloseHandle(token);
    }
    if (FAILED(result) || path[0] == L'\0') {
        return false;
    }
    *root = WithoutTrailingSeparator(path);
    return !root->empty();
}

class CUTWin32ReadableFile : public CUTReadableFile {
public:
    explicit CUTWin32ReadableFile(HANDLE handle) : handle_(handle) {}
    ~CUTWin32ReadableFile() override { ::CloseHandle(handle_); }

    CUTOsStatus Read(void* bytes, size_t size, size_t* count) override {
        char* next = static_cast<char*>(bytes);
        size_t done = 0;
        while (done < size) {
            const size_t left = size - done;
            const DWORD want = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
            DWORD got = 0;
            if (!::ReadFile(handle_, next + done, want, &got, nullptr)) {
                const DWORD error = ::GetLastError();
                if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) {
                    break;
                }
                return Win32Failure("read", error);
            }
            if (got == 0) {
                break;
            }
            done += got;
        }
        *count = done;
        return CUTOsStatus();
    }

private:
    HANDLE handle_;
};

class CUTWin32WritableFile : public CUTWritableFile {
public:
    CUTWin32WritableFile(HANDLE handle, bool append) : handle_(handle), append_(append) {}
    ~CUTWin32WritableFile() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }

    // In append mode every write names the end of the file as its offset,
    // which the system resolves and writes at in one step, as O_APPEND does.
    CUTOsStatus Append(const void* bytes, size_t size) override {
        if (handle_ == INVALID_HANDLE_VALUE) {
            return Win32Failure("write", ERROR_INVALID_HANDLE);
        }
        const char* next = static_cast<const char*>(bytes);
        while (size > 0) {
            const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
            DWORD written = 0;
            OVERLAPPED at_end = {};
            at_end.Offset = 0xFFFFFFFFu;
            at_end.OffsetHigh = 0xFFFFFFFFu;
            if (!::WriteFile(handle_, next, want, &written, append_ ? &at_end : nullptr)) {
                return Win32Failure("write", ::GetLastError());
            }
            if (written == 0) {
                return Win32Failure("write", ERROR_WRITE_FAULT);
            }
            next += written;
            size -= written;
        }
        return CUTOsStatus();
    }

    CUTOsStatus WriteAt(uint64_t offset, const void* bytes, size_t size) override {
        if (handle_ == INVALID_HANDLE_VALUE) {
            return Win32Failure("write", ERROR_INVALID_HANDLE);
        }
        // A positioned write moves the file pointer of a synchronous handle:
        // it is put back afterwards.
        LARGE_INTEGER zero = {};
        LARGE_INTEGER position = {};
        if (!::SetFilePointerEx(handle_, zero, &position, FILE_CURRENT)) {
            return Win32Failure("seek", ::GetLastError());
        }
        const char* next = static_cast<const char*>(bytes);
        CUTOsStatus result;
        while (size > 0 && result) {
            const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD written = 0;
            if (!::WriteFile(handle_, next, want, &written, &at)) {
                result = Win32Failure("write", ::GetLastError());
            } else if (written == 0) {
                result = Win32Failure("write", ERROR_WRITE_FAULT);
            }
            next += written;
            offset += written;
            size -= written;
        }
        ::SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN);
        return result;
    }

    CUTOsStatus Sync() override {
        return ::FlushFileBuffers(handle_) ? CUTOsStatus() : Win32Failure("sync", ::GetLastError());
    }

    CUTOsStatus Truncate(uint64_t size) override {
        FILE_END_OF_FILE_INFO end;
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
        return ::SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof(end))
                   ? CUTOsStatus()
                   : Win32Failure("truncate", ::GetLastError());
    }

    CUTOsStatus Status(CUTFileStatus* status) override {
        return StatusOfHandle(handle_, status) ? CUTOsStatus()
                                               : Win32Failure("stat", ::GetLastError());
    }

    CUTOsStatus Close() override {
        if (handle_ == INVALID_HANDLE_VALUE) {
            return Win32Failure("close", ERROR_INVALID_HANDLE);
        }
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return ::CloseHandle(handle) ? CUTOsStatus() : Win32Failure("close", ::GetLastError());
    }

private:
    HANDLE handle_;
    const bool append_;
};

// Newer than the headers of some toolchains.
constexpr DWORD kErrorDiskQuotaExceeded = 1295;

}  // namespace

UTOsError Win32ErrorKind(unsigned long error) {
    switch (error) {
        case ERROR_SUCCESS:
            return UTOsError::kNone;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_ENVVAR_NOT_FOUND:
            return UTOsError::kNotFound;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
        case ERROR_DIR_NOT_EMPTY:
            return UTOsError::kExists;
        case ERROR_CANT_ACCESS_FILE:
        case ERROR_CANT_RESOLVE_FILENAME:
            return UTOsError::kIsLink;
        case ERROR_DIRECTORY:
            return UTOsError::kNotAFile;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
        case ERROR_PRIVILEGE_NOT_HELD:
        case ERROR_NOT_OWNER:
            return UTOsError::kAccessDenied;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case kErrorDiskQuotaExceeded:
            return UTOsError::kNoSpace;
        case ERROR_FILE_TOO_LARGE:
        case ERROR_INSUFFICIENT_BUFFER:
            return UTOsError::kTooLarge;
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_HANDLE:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BAD_PATHNAME:
            return UTOsError::kInvalid;
        default:
            return UTOsError::kOther;
    }
}

CUTOsStatus Win32Failure(const char* operation, unsigned long error) {
    if (error == ERROR_SUCCESS) {
        error = ERROR_GEN_FAILURE;  // a call that failed without saying why
    }
    return CUTOsStatus::Failure(operation, Win32ErrorKind(error), static_cast<int>(error));
}

std::string OsErrorText(int code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide = length != 0 && text != nullptr ? std::wstring(text, length) : L"";
    if (text != nullptr) {
        ::LocalFree(text);
    }
    // The system's texts end in a full stop and a line break.
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' ||
                             wide.back() == L'.')) {
        wide.pop_back();
    }
    if (wide.empty()) {
        return "error " + std::to_string(static_cast<unsigned long>(code));
    }
    return ToUtf8(wide);
}

// Both roots come from the shell; the variables let a test or an installer
// point the component at a folder of its own, as on other systems.
bool CUTWin32Platform::MachineDataRoot(std::wstring* root) {
    return RootFromEnvironment(this, "UT_MACHINE_DATA_DIR", root) ||
           ShellFolder(CSIDL_COMMON_APPDATA, root);
}

bool CUTWin32Platform::UserDataRoot(std::wstring* root) {
    return RootFromEnvironment(this, "XDG_DATA_HOME", root) || ShellFolder(CSIDL_APPDATA, root);
}

std::wstring CUTWin32Platform::NewGuidText() {
    GUID guid;
    if (FAILED(::CoCreateGuid(&guid))) {
        return std::wstring();
    }
    wchar_t text[40];
    // Registry form: braces, upper case, 38 characters.
    if (::StringFromGUID2(guid, text, 40) != 39) {
        return std::wstring();
    }
    return std::wstring(text, 38);
}

int64_t CUTWin32Platform::CurrentTimeNanos() {
    // The precise clock exists from Windows 8 on; looked up once.
    using PreciseClock = VOID(WINAPI*)(LPFILETIME);
    static const PreciseClock precise = reinterpret_cast<PreciseClock>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    FILETIME now;
    if (precise != nullptr) {
        precise(&now);
    } else {
        ::GetSystemTimeAsFileTime(&now);
    }
    return TicksToNanos(FileTimeTicks(now));
}

std::wstring CUTWin32Platform::ModuleVersion() {
    // The product version of the module this code is in (tvUT.dll), read
    // from its version resource.
    static const char kInThisModule = 0;
    HMODULE module = nullptr;
    if (::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&kInThisModule), &module)) {
        std::wstring path(MAX_PATH, L'\0');
        for (int attempt = 0; attempt < 5; ++attempt) {
            const DWORD length =
                ::GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
            if (length == 0) {
                path.clear();
                break;
            }
            if (length < path.size()) {
                path.resize(length);
                break;
            }
            path.assign(path.size() * 2, L'\0');
        }
        DWORD ignored = 0;
        const DWORD size = path.empty() ? 0 : ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
        if (size != 0) {
            std::string data(size, '\0');
            VS_FIXEDFILEINFO* info = nullptr;
            UINT info_size = 0;
            if (::GetFileVersionInfoW(path.c_str(), 0, size, &data[0]) &&
                ::VerQueryValueW(&data[0], L"\\", reinterpret_cast<void**>(&info), &info_size) &&
                info != nullptr && info_size >= sizeof(VS_FIXEDFILEINFO)) {
                return std::to_wstring(HIWORD(info->dwProductVersionMS)) + L"." +
                       std::to_wstring(LOWORD(info->dwProductVersionMS)) + L"." +
                       std::to_wstring(HIWORD(info->dwProductVersionLS)) + L"." +
                       std::to_wstring(LOWORD(info->dwProductVersionLS));
            }
        }
    }
#ifdef TVUT_MODULE_VERSION
    // A program that links the component's code directly has no resource of
    // tvUT's: the version it was built as.
    return FromUtf8(TVUT_MODULE_VERSION);
#else
    return std::wstring();
#endif
}

CUTOsStatus CUTWin32Platform::GetFileStatus(const std::wstring& path, CUTFileStatus* status) {
    if (path.empty()) {
        return Win32Failure("stat", ERROR_INVALID_PARAMETER);
    }
    CUTHandle handle(OpenForQuery(path, FILE_READ_ATTRIBUTES, true));
    if (handle.valid()) {
        return StatusOfHandle(handle.get(), status) ? CUTOsStatus()
                                                    : Win32Failure("stat", ::GetLastError());
    }
    const DWORD error = ::GetLastError();
    // A file that cannot be opened even for its attributes (being deleted,
    // a system file held exclusively) still has a status in its folder.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) &&
        ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        FillFromAttributes(data.dwFileAttributes,
                           (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                           data.ftLastWriteTime, data.ftLastAccessTime, data.ftCreationTime,
                           status);
        return CUTOsStatus();
    }
    return Win32Failure("stat", error);
}

CUTOsStatus CUTWin32Platform::GetEntryStatus(const std::wstring& path, CUTFileStatus* status) {
    if (path.empty()) {
        return Win32Failure("stat", ERROR_INVALID_PARAMETER);
    }
    CUTHandle handle(OpenForQuery(path, FILE_READ_ATTRIBUTES, false));
    if (!handle.valid()) {
        return Win32Failure("stat", ::GetLastError());
    }
    if (!StatusOfHandle(handle.get(), status)) {
        return Win32Failure("stat", ::GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileInformationByHandle(handle.get(), &info) &&
        IsLinkTag(ReparseTagOf(handle.get(), info.dwFileAttributes))) {
        status->is_link = true;
        status->is_regular_file = false;
        status->is_folder = false;
        status->size = 0;
    }
    return CUTOsStatus();
}

CUTOsStatus CUTWin32Platform::OpenForReading(const std::wstring& path, CUTFileStatus* status,
                                             std::unique_ptr<CUTReadableFile>* file) {
    file->reset();
    if (path.empty()) {
        return Win32Failure("open", ERROR_INVALID_PARAMETER);
    }
    // Backup semantics let a folder be opened, so that it is reported as not
    // a file rather than as access denied.
    HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Win32Failure("open", ::GetLastError());
    }
    std::unique_ptr<CUTReadableFile> opened(new CUTWin32ReadableFile(handle));
    if (!StatusOfHandle(handle, status)) {
        return Win32Failure("stat", ::GetLastError());
    }
    if (!status->is_regular_file) {
        return CUTOsStatus::Failure("open", UTOsError::kNotAFile);
    }
    *file = std::move(opened);
    return CUTOsStatus();
}

CUTOsStatus CUTWin32Platform::OpenForWriting(const std::wstring& path, UTWriteMode mode,
                                             uint32_t permissions,
                                             std::unique_ptr<CUTWritableFile>* file) {
    file->reset();
    if (path.empty()) {
        return Win32Failure("open", ERROR_INVALID_PARAMETER);
    }
    // A link at the path is never followed, whatever the mode: the reparse
    // point itself is opened and refused below. Truncation waits until the
    // opened file is known to be no link. Backup semantics open a folder too,
    // which is then refused as not a file.
    const DWORD disposition = mode == UTWriteMode::kCreateNew ? CREATE_NEW : OPEN_ALWAYS;
    // Only the owner's write bit has a Windows form: the read-only
    // attribute of a new file.
    const DWORD attributes =
        (permissions & 0200) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    HANDLE handle = ::CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
        attributes | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Win32Failure("open", ::GetLastError());
    }
    std::unique_ptr<CUTWritableFile> opened(
        new CUTWin32WritableFile(handle, mode == UTWriteMode::kAppend));
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info)) {
        return Win32Failure("open", ::GetLastError());
    }
    if (IsLinkTag(ReparseTagOf(handle, info.dwFileAttributes))) {
        return CUTOsStatus::Failure("open", UTOsError::kIsLink, ERROR_CANT_ACCESS_FILE);
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        ::GetFileType(handle) != FILE_TYPE_DISK) {
        return CUTOsStatus::Failure("open", UTOsError::kNotAFile);
    }
    if (mode == UTWriteMode::kTruncate) {
        const CUTOsStatus emptied = opened->Truncate(0);
        if (!emptied) {
            return emptied;
        }
    }
    *file = std::move(opened);
    return CUTOsStatus();
}

CUTOsStatus CUTWin32Platform::RemoveFile(const std::wstring& path) {
    if (path.empty()) {
        return Win32Failure("unlink", ERROR_INVALID_PARAMETER);
    }
    if (::DeleteFileW(path.c_str())) {
        return CUTOsStatus();
    }
    DWORD error = ::GetLastError();
    // The read-only attribute guards the data, not the name: a removal
    // goes ahead as it does where the folder decides.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (::DeleteFileW(path.c_str())) {
            return CUTOsStatus();
        }
        error = ::GetLastError();
        ::SetFileAttributesW(path.c_str(), attributes);
    }
    return Win32Failure("unlink", error);
}

namespace {

// FILE_RENAME_INFO with the flags word of FileRenameInfoEx (Windows 10
// 1607 on), which older headers lack.
constexpr int kFileRenameInfoEx = 22;
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;
constexpr DWORD kRenameIgnoreReadOnly = 0x40;

struct CUTRenameInfo {
    DWORD flags;
    HANDLE root_directory;
    DWORD file_name_length;
    WCHAR file_name[1];
};

// Attempts of the plain rename when another opener briefly keeps the target
// (a reader without delete sharing, a virus scanner), and the pause between
// them: at most about a quarter of a second in all.
constexpr int kRenameAttempts = 8;
constexpr DWORD kRenameRetryMs = 30;

// Renames with the POSIX semantics of newer systems: the target's name is
// replaced even while readers hold the old file open (they keep reading the
// old bytes). False with GetLastError set, ERROR_INVALID_PARAMETER (or
// another refusal of the information class) where the system lacks it.
bool RenameWithPosixSemantics(const std::wstring& source, const std::wstring& target) {
    CUTHandle handle(::CreateFileW(
        source.c_str(), DELETE | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) {
        return false;
    }
    const size_t name_bytes = target.size() * sizeof(wchar_t);
    std::string buffer(sizeof(CUTRenameInfo) + name_bytes, '\0');
    CUTRenameInfo* info = reinterpret_cast<CUTRenameInfo*>(&buffer[0]);
    info->root_directory = nullptr;
    info->file_name_length = static_cast<DWORD>(name_bytes);
    std::copy(target.begin(), target.end(), info->file_name);
    // The read-only flag came later than the other two: without it first.
    const DWORD attempts[] = {
        kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly,
        kRenameReplaceIfExists | kRenamePosixSemantics};
    for (DWORD flags : attempts) {
        info->flags = flags;
        if (::SetFileInformationByHandle(handle.get(),
                                         static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileRenameInfoEx),
                                         info, static_cast<DWORD>(buffer.size()))) {
            return true;
        }
        if (::GetLastError() != ERROR_INVALID_PARAMETER) {
            return false;
        }
    }
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

// What a reader or a scanner holding the target for a moment reports.
bool IsTransientRenameError(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
           error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

// One replacement without POSIX renames. ReplaceFileW moves the old file
// aside first, which a reader that shares delete allows, so the old file's
// readers go on reading it; a plain rename is refused while anybody has the
// target open. The plain rename serves a target that does not exist yet.
// Whether the target's name may change at all is asked first, with an open
// for delete access alone: ReplaceFileW cannot succeed while a reader does
// not share delete, and wine's leaves a file of its own ("rf*.tmp") in the
// folder each time it fails.
bool ReplaceOnce(const std::wstring& source, const std::wstring& target) {
    {
        CUTHandle probe(::CreateFileW(
            target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!probe.valid()) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_FILE_NOT_FOUND) {
                ::SetLastError(error);
                return false;
            }
            return ::MoveFileExW(source.c_str(), target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        }
    }
    if (::ReplaceFileW(target.c_str(), source.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                       nullptr, nullptr)) {
        return true;
    }
    const DWORD error = ::GetLastError();
    // ReplaceFileW opens the source without sharing write, so a source that
    // is still open for writing (the log file its writer archives) is a
    // sharing violation; a plain rename allows that writer and fails only
    // while the target is open.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_SHARING_VIOLATION) {
        return false;
    }
    if (::MoveFileExW(source.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    if (error == ERROR_SHARING_VIOLATION) {
        ::SetLastError(error);
    }
    return false;
}

}  // namespace

CUTOsStatus CUTWin32Platform::RenameReplacing(const std::wstring& source,
                                              const std::wstring& target) {
    if (source.empty() || target.empty()) {
        return Win32Failure("rename", ERROR_INVALID_PARAMETER);
    }
    // A folder in the target's place stays, as a POSIX rename of a file
    // leaves it (EISDIR): Windows refuses such a replacement, but wine
    // carries it out, and the caller must see the same failure on both.
    const DWORD target_attributes = ::GetFileAttributesW(target.c_str());
    if (target_attributes != INVALID_FILE_ATTRIBUTES &&
        (target_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Win32Failure("rename", ERROR_ACCESS_DENIED);
    }
    // Where the system has POSIX renames, only they are retried: the other
    // ways cannot succeed where they fail (a reader that does not share
    // delete forbids every change of the name), and ReplaceFileW leaves a
    // file of its own in the folder on some systems each time it fails.
    bool posix = true;
    for (int attempt = 0;; ++attempt) {
        if (posix) {
            if (RenameWithPosixSemantics(source, target)) {
                return CUTOsStatus();
            }
            const DWORD error = ::GetLastError();
            // A missing source or folder is missing for the other ways too.
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
                return Win32Failure("rename", error);
            }
            // Any other refusal than a reader's may come from a system or
            // file system without POSIX renames.
            posix = IsTransientRenameError(error);
            if (posix && attempt + 1 >= kRenameAttempts) {
                return Win32Failure("rename", error);
            }
        }
        if (!posix) {
            if (ReplaceOnce(source, target)) {
                return CUTOsStatus();
            }
            const DWORD error = ::GetLastError();
            if (!IsTransientRenameError(error) || attempt + 1 >= kRenameAttempts) {
                return Win32Failure("rename", error);
            }
        }
        ::Sleep(kRenameRetryMs);
    }
}

namespace {

UTEntryKind KindOfFound(const WIN32_FIND_DATAW& found) {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        IsLinkTag(found.dwReserved0)) {
        return UTEntryKind::kLink;
    }
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return UTEntryKind::kFolder;
    }
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return UTEntryKind::kOther;
    }
    return UTEntryKind::kRegularFile;
}

}  // namespace

CUTOsStatus CUTWin32Platform::ListFolder(const std::wstring& folder, UTListing what,
                                         bool (*match)(const std::wstring& name),
                                         std::vector<CUTFolderEntry>* entries,
                                         size_t* skipped_names) {
    entries->clear();
    if (skipped_names != nullptr) {
        *skipped_names = 0;
    }
    if (folder.empty()) {
        return Win32Failure("opendir", ERROR_INVALID_PARAMETER);
    }
    const std::wstring prefix = WithoutTrailingSeparator(folder) + kPathSeparator;
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW((prefix + L"*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // Nothing matched: an empty folder (a drive's root has no "." entry).
        const DWORD attributes = ::GetFileAttributesW(folder.c_str());
        if (error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return CUTOsStatus();
        }
        return Win32Failure("opendir", error);
    }
    const bool files_only = what != UTListing::kEveryEntry;
    const bool with_status = what == UTListing::kRegularFilesWithStatus;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const UTEntryKind kind = KindOfFound(found);
        if (files_only && kind != UTEntryKind::kRegularFile) {
            continue;
        }
        // A name that has no UTF-8 form (a lone surrogate) would be written
        // as something else elsewhere: left out.
        std::string utf8;
        if (name.empty() || !WideToUtf8(name, &utf8)) {
            if (skipped_names != nullptr) {
                ++*skipped_names;
            }
            continue;
        }
        if (match != nullptr && !match(name)) {
            continue;
        }
        CUTFolderEntry entry;
        entry.name = name;
        entry.kind = kind;
        if (with_status) {
            // The listing has no file identity: the entry itself is asked.
            if (!GetEntryStatus(prefix + name, &entry.status) || !entry.status.is_regular_file) {
                continue;  // gone or changed since the listing
            }
        }
        entries->push_back(std::move(entry));
    } while (::FindNextFileW(search, &found));
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    return error == ERROR_NO_MORE_FILES ? CUTOsStatus() : Win32Failure("readdir", error);
}

CUTOsStatus CUTWin32Platform::CreateFolder(const std::wstring& path) {
    if (path.empty()) {
        return Win32Failure("mkdir", ERROR_INVALID_PARAMETER);
    }
    // The folder takes the access its parent passes on: the user's own
    // profile for the user root, the machine's shared data for the other.
    return ::CreateDirectoryW(path.c_str(), nullptr) ? CUTOsStatus()
                                                     : Win32Failure("mkdir", ::GetLastError());
}

CUTOsStatus CUTWin32Platform::RemoveFolder(const std::wstring& path) {
    if (path.empty()) {
        return Win32Failure("rmdir", ERROR_INVALID_PARAMETER);
    }
    return ::RemoveDirectoryW(path.c_str()) ? CUTOsStatus()
                                            : Win32Failure("rmdir", ::GetLastError());
}

CUTOsStatus CUTWin32Platform::MakeOwnerWritable(const std::wstring& path) {
    if (path.empty()) {
        return Win32Failure("chmod", ERROR_INVALID_PARAMETER);
    }
    // The attribute is changed through a handle of the entry itself, opened
    // without following a reparse point, so that a link planted at a
    // settings path (or swapped in after a check) is refused.
    CUTHandle handle(OpenForQuery(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, false));
    if (!handle.valid()) {
        return Win32Failure("chmod", ::GetLastError());
    }
    FILE_BASIC_INFO basic;
    if (!::GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof(basic))) {
        return Win32Failure("chmod", ::GetLastError());
    }
    if (IsLinkTag(ReparseTagOf(handle.get(), basic.FileAttributes))) {
        return CUTOsStatus::Failure("chmod", UTOsError::kIsLink);
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        ::GetFileType(handle.get()) != FILE_TYPE_DISK) {
        return CUTOsStatus::Failure("chmod", UTOsError::kNotAFile);
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return CUTOsStatus();
    }
    // Zero times leave the times as they are.
    FILE_BASIC_INFO change = {};
    change.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (change.FileAttributes == 0) {
        change.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    return ::SetFileInformationByHandle(handle.get(), FileBasicInfo, &change, sizeof(change))
               ? CUTOsStatus()
               : Win32Failure("chmod", ::GetLastError());
}

CUTOsStatus CUTWin32Platform::CanOpenForUpdate(const std::wstring& path) {
    if (path.empty()) {
        return Win32Failure("open", ERROR_INVALID_PARAMETER);
    }
    CUTHandle handle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return handle.valid() ? CUTOsStatus() : Win32Failure("open", ::GetLastError());
}

void CallInForkedChild(void (*)()) {
    // No fork here: a child process starts with nothing of its parent's.
}

bool IsSecureExecution() {
    // A process never gains privileges its starter lacks by being started
    // (no set-id programs): its environment is its starter's to set.
    return false;
}

int LastOsErrorCode() {
    return static_cast<int>(::GetLastError());
}

void RestoreOsErrorCode(int code) {
    ::SetLastError(static_cast<DWORD>(code));
}

int CurrentProcessId() {
    return static_cast<int>(::GetCurrentProcessId());
}

int64_t CurrentThreadId() {
    return static_cast<int64_t>(::GetCurrentThreadId());
}

bool CUTWin32Platform::GetEnvironment(const char* name, std::string* value) {
    std::wstring wide_name;
    if (name == nullptr || name[0] == '\0' || !Utf8ToWide(name, &wide_name)) {
        return false;
    }
    std::wstring text(256, L'\0');
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD length =
            ::GetEnvironmentVariableW(wide_name.c_str(), &text[0], static_cast<DWORD>(text.size()));
        if (length == 0) {
            // Zero is both "unset" and "set to nothing".
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return false;
            }
            value->clear();
            return true;
        }
        if (length < text.size()) {
            text.resize(length);
            break;
        }
        text.assign(length, L'\0');  // length counts the terminator here
    }
    std::string utf8;
    if (!WideToUtf8(text, &utf8)) {
        return false;
    }
    value->swap(utf8);
    return true;
}

// The policy is a string value of the machine's Policies key, which only
// administrators (and what they deploy) may write. The 64-bit view is read,
// where policy tools write, whatever this process's own width.
namespace {

const wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Telvoran\\TVUT";
const wchar_t kPolicyValue[] = L"Policy";

}  // namespace

UTPolicyRead CUTWin32Platform::ReadMachinePolicy(std::string* bytes, std::wstring* source,
                                                 std::string* problem) {
    *source = std::wstring(L"HKEY_LOCAL_MACHINE\\") + kPolicyKey + L"\\" + kPolicyValue;
    bytes->clear();
    HKEY key = nullptr;
    LSTATUS opened =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return UTPolicyRead::kAbsent;
    }
    if (opened != ERROR_SUCCESS) {
        *problem = "cannot be opened: " + OsErrorText(static_cast<int>(opened));
        return UTPolicyRead::kUnusable;
    }
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS queried = ::RegQueryValueExW(key, kPolicyValue, nullptr, &type, nullptr, &size);
    // Every UTF-16 unit is at least one byte of UTF-8: a value of more units
    // than the limit (and its terminator) is too large whatever it holds.
    const bool too_large = queried == ERROR_SUCCESS && size / sizeof(wchar_t) > kPolicyMaxBytes + 1;
    std::wstring text;
    if (queried == ERROR_SUCCESS && !too_large) {
        text.assign(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        queried = ::RegQueryValueExW(key, kPolicyValue, nullptr, &type,
                                     reinterpret_cast<BYTE*>(&text[0]), &got);
        text.resize(got / sizeof(wchar_t));
    }
    ::RegCloseKey(key);
    if (queried == ERROR_FILE_NOT_FOUND) {
        return UTPolicyRead::kAbsent;
    }
    if (queried != ERROR_SUCCESS) {
        *problem = "cannot be read: " + OsErrorText(static_cast<int>(queried));
        return UTPolicyRead::kUnusable;
    }
    if (too_large) {
        *problem = "is larger than " + std::to_string(kPolicyMaxBytes) + " bytes";
        return UTPolicyRead::kUnusable;
    }
    if (type != REG_SZ && type != REG_MULTI_SZ) {
        *problem = "is not a string value";
        return UTPolicyRead::kUnusable;
    }
    // A multi-string holds the document a line a string, as the registry
    // editor shows it.
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    for (wchar_t& c : text) {
        if (c == L'\0') {
            c = L'\n';
        }
    }
    std::string utf8;
    if (!WideToUtf8(text, &utf8)) {
        *problem = "is not valid text";
        return UTPolicyRead::kUnusable;
    }
    if (utf8.size() > kPolicyMaxBytes) {
        *problem = "is larger than " + std::to_string(kPolicyMaxBytes) + " bytes";
        return UTPolicyRead::kUnusable;
    }
    *bytes = std::move(utf8);
    return UTPolicyRead::kRead;
}
