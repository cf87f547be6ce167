// CUTPlatform: every operating-system service tvUT uses, behind one interface.
//
// CUTPlatform::Default() is the implementation for this system (POSIX here);
// the rest of the component reaches the OS only through CUTPlatform::Current(),
// which tests may point at a CUTPlatformWrapper subclass that fakes a single
// service. Paths are wide strings joined with kPathSeparator. No operation
// throws: failures come back as false, empty text or the documented value.
// Every operation may be called from any thread.
#ifndef TVUT_PLATFORM_UTPLATFORM_H
#define TVUT_PLATFORM_UTPLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

// The one separator of composed paths; every "split at the last separator"
// uses it.
constexpr wchar_t kPathSeparator = L'/';

// path without trailing separators, so that callers can append their own; a
// lone root separator stays.
inline std::wstring WithoutTrailingSeparator(std::wstring path) {
    while (path.size() > 1 && path.back() == kPathSeparator) {
        path.pop_back();
    }
    return path;
}

// One entry of a one-level folder walk.
struct CUTFolderEntry {
    std::wstring path;
    bool is_folder = false;
    uint32_t size = 0;
};

// What an entry of a folder is, as its listing tells; a link is never
// followed.
enum class UTEntryKind { kRegularFile, kFolder, kLink, kOther };

// One entry of a folder listing that queries no status.
struct CUTFolderName {
    std::wstring path;
    UTEntryKind kind = UTEntryKind::kOther;
};

// Times of a file in seconds since 1970-01-01 UTC.
struct CUTFileTimes {
    int64_t last_write = -1;
    int64_t last_access = -1;
    int64_t creation = -1;  // birth time where the file system keeps one, else last_write
};

// What one status query tells about a path.
struct CUTFileStatus {
    bool is_regular_file = false;
    bool is_folder = false;
    // Only GetEntryStatus reports a link as itself (then neither a regular
    // file nor a folder); every other query follows links.
    bool is_link = false;
    bool owner_writable = false;
    uint64_t size = 0;  // regular files only
    CUTFileTimes times;
    // Last write time in nanoseconds since 1970, for ordering files written
    // within one second.
    int64_t last_write_nanos = -1;
    // Last change of the file or its status (any write, a rename, a change
    // of mode) in nanoseconds since 1970, where the system keeps one; else
    // last_write_nanos. Readers that keep what they parsed compare it.
    int64_t change_nanos = -1;
    // Identity of the file itself: two paths (or an open file and a path)
    // with equal identities are the same file.
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t permissions = 0;  // the permission bits (07777)
};

// One regular file of a folder listing, with its status.
struct CUTFolderFile {
    std::wstring name;  // without the folder
    CUTFileStatus status;
};

// How far from now a temporary file's last write must be for it to count as
// left by a writer that died (IsAbandonedTemporaryFile).
constexpr int64_t kAbandonedTemporarySeconds = 300;

// The documented ceiling of ReadWholeFile when the caller gives none.
constexpr uint64_t kNoReadLimit = ~static_cast<uint64_t>(0);

// A file opened for reading; closed when destroyed. One thread at a time.
class CUTReadableFile {
public:
    CUTReadableFile() = default;
    CUTReadableFile(const CUTReadableFile&) = delete;
    CUTReadableFile& operator=(const CUTReadableFile&) = delete;
    virtual ~CUTReadableFile() = default;
    // Reads up to size bytes into bytes and stores the count, which is below
    // size only at the end of the file. False on a read error.
    virtual bool Read(void* bytes, size_t size, size_t* count) = 0;
};

// What ReadMachinePolicy found.
enum class UTPolicyRead {
    kAbsent,    // no policy: the place holds nothing
    kRead,      // the document is in bytes
    kUnusable,  // something is there but cannot be trusted or read: problem says why
};

// The largest policy document read.
constexpr uint64_t kPolicyMaxBytes = 65536;

// How OpenForWriting treats the file at the path.
enum class UTWriteMode {
    kTruncate,   // create when missing, else empty it
    kAppend,     // create when missing; every Append goes to the end of the file
    kCreateNew,  // create; fails (EEXIST) when anything, a link too, is there
};

// The errno of an open file's last failed call. Fail keeps it and returns
// false, so that a failing call can end with "return Fail(errno)".
class CUTFailureRecord {
public:
    // errno of the last failure, 0 when none failed.
    int Error() const { return error_; }

protected:
    bool Fail(int error) {
        error_ = error;
        return false;
    }

private:
    int error_ = 0;
};

// A file opened for writing, close-on-exec so that a child process the host
// starts never inherits it; closed when destroyed. One thread at a time.
// Every failing call returns false and keeps the errno of the failure for
// Error(); nothing throws.
class CUTWritableFile : public CUTFailureRecord {
public:
    CUTWritableFile() = default;
    CUTWritableFile(const CUTWritableFile&) = delete;
    CUTWritableFile& operator=(const CUTWritableFile&) = delete;
    virtual ~CUTWritableFile() = default;
    // Writes all size bytes at the current position (at the end in append
    // mode, in one system call where the system allows, so that lines of
    // several processes appending to one file do not interleave). A short
    // write is a failure.
    virtual bool Append(const void* bytes, size_t size) = 0;
    // Writes all size bytes at offset; the current position does not move.
    virtual bool WriteAt(uint64_t offset, const void* bytes, size_t size) = 0;
    // Hands buffered bytes to the system (none are buffered here).
    virtual bool Flush() = 0;
    // Makes the written bytes durable.
    virtual bool Sync() = 0;
    virtual bool Truncate(uint64_t size) = 0;
    // Status of the open file itself (see GetFileStatus).
    virtual bool Status(CUTFileStatus* status) = 0;
    // Closes the file; later calls fail with EBADF. A failing close (a full
    // disk may only show here) is reported.
    virtual bool Close() = 0;
};

// An open lock file for an advisory, exclusive lock on the whole file. The
// lock belongs to this open file, not to the process: a descriptor of the same
// file opened and closed elsewhere in the process leaves it held, and two
// CUTLockFile objects of one file exclude each other even within a process.
// The system releases the lock when its holder dies; nothing outlives the
// process but the file itself. Close-on-exec. A child forked without exec
// shares the open file and with it the lock: it must open its own.
// One thread at a time; failing calls keep the errno for Error().
class CUTLockFile : public CUTFailureRecord {
public:
    CUTLockFile() = default;
    CUTLockFile(const CUTLockFile&) = delete;
    CUTLockFile& operator=(const CUTLockFile&) = delete;
    virtual ~CUTLockFile() = default;
    // Takes the lock, waiting without limit.
    virtual bool Lock() = 0;
    // Takes the lock if nobody holds it, without waiting.
    enum Attempt { kTaken, kBusy, kFailed };
    virtual Attempt TryLock() = 0;
    virtual bool Unlock() = 0;
};

class CUTPlatform {
public:
    CUTPlatform() = default;
    CUTPlatform(const CUTPlatform&) = delete;
    CUTPlatform& operator=(const CUTPlatform&) = delete;
    virtual ~CUTPlatform() = default;

    // The implementation for this system; lives until the process ends or
    // the library unloads.
    static CUTPlatform* Default();
    // Frees Default() at unload, last of all; a later use makes it again.
    static void ReleaseDefault();
    // The platform the component uses now: Default() unless a test installed
    // another one.
    static CUTPlatform* Current();
    // Makes platform the current one (null restores Default()) and returns the
    // previous one. Tests only; install before the component starts threads.
    static CUTPlatform* Install(CUTPlatform* platform);

    // ---- folder roots -------------------------------------------------------
    // Machine-wide data root ($UT_MACHINE_DATA_DIR, else /var/lib). False when
    // unavailable.
    virtual bool MachineDataRoot(std::wstring* root) = 0;
    // Per-user data root ($XDG_DATA_HOME when absolute, else
    // $HOME/.local/share). False when neither gives a path.
    virtual bool UserDataRoot(std::wstring* root) = 0;

    // ---- identifiers, time, version ------------------------------------------
    // A new random GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper
    // case; empty when none can be made.
    virtual std::wstring NewGuidText() = 0;
    // Current UTC time as year_month_day_hour_minute_second, no leading zeros.
    virtual std::wstring UtcFileTimeText() = 0;
    // Seconds since 1970-01-01 UTC.
    virtual int64_t CurrentTimeSeconds() = 0;
    // The component module's four-part version, "major.minor.build.revision".
    virtual std::wstring ModuleVersion() = 0;

    // ---- files --------------------------------------------------------------
    // False for an empty path or a status that cannot be read.
    virtual bool FileExists(const std::wstring& path) = 0;
    virtual bool IsFolder(const std::wstring& path) = 0;
    // 0 on any failure and for a folder.
    virtual uint32_t FileSize(const std::wstring& path) = 0;
    // Exact size for large files; false on failure or for a folder.
    virtual bool FileSize64(const std::wstring& path, uint64_t* size) = 0;
    // Seconds since 1970, -1 when unknown.
    virtual int32_t LastWriteTime(const std::wstring& path) = 0;
    virtual bool GetFileTimes(const std::wstring& path, CUTFileTimes* times) = 0;
    // True when the owner may write the file (its mode, not an access probe).
    virtual bool IsOwnerWritable(const std::wstring& path) = 0;
    // Kind, size, times and owner-writable of a path in one query (one system
    // call where the system allows); false when the status cannot be read.
    // This default asks the single services above, so a fake of one of them
    // is seen here too.
    virtual bool GetFileStatus(const std::wstring& path, CUTFileStatus* status) {
        if (!FileExists(path) || !GetFileTimes(path, &status->times)) {
            return false;
        }
        status->is_folder = IsFolder(path);
        status->is_regular_file = FileSize64(path, &status->size);
        status->owner_writable = IsOwnerWritable(path);
        return true;
    }
    // The status of the path itself: a symbolic link is reported as a link,
    // never followed. False when the status cannot be read.
    virtual bool GetEntryStatus(const std::wstring& path, CUTFileStatus* status) = 0;
    // Opens a regular file for reading (shared with other readers) and reads
    // the status of the opened file itself, so that both belong to one file
    // and the path is looked up once. Null when the path cannot be opened or
    // is not a regular file; a pipe does not block the call.
    virtual std::unique_ptr<CUTReadableFile> OpenForReading(const std::wstring& path,
                                                            CUTFileStatus* status) = 0;
    // Opens path for writing, close-on-exec, never through a symbolic link at
    // the path (ELOOP). permissions become the file's mode bits, whatever the
    // umask or an earlier writer left. Only a folder that belongs to the
    // effective user or to root, and that neither its group nor others may
    // write, is written into (EPERM otherwise). Null on failure, with the
    // errno in *error when given.
    virtual std::unique_ptr<CUTWritableFile> OpenForWriting(const std::wstring& path,
                                                            UTWriteMode mode, uint32_t permissions,
                                                            int* error) = 0;
    // True only when something existed and was removed.
    virtual bool RemoveFile(const std::wstring& path) = 0;
    // Copies source over target, replacing it.
    virtual bool CopyFileReplacing(const std::wstring& source, const std::wstring& target) = 0;
    // Renames source to target within one file system, replacing the target.
    virtual bool RenameReplacing(const std::wstring& source, const std::wstring& target) = 0;
    // Files (not folders) directly in folder whose full path contains text, in
    // listing order.
    virtual std::vector<std::wstring> ListFiles(const std::wstring& folder,
                                                const std::wstring& text) = 0;
    // Every entry directly in folder. An entry whose name cannot be
    // represented as text (not UTF-8 here) is left out, never reported as
    // something else; their number goes to *skipped_names when given.
    virtual std::vector<CUTFolderEntry> WalkFolder(const std::wstring& folder,
                                                   size_t* skipped_names) = 0;
    std::vector<CUTFolderEntry> WalkFolder(const std::wstring& folder) {
        return WalkFolder(folder, nullptr);
    }
    // Every entry directly in folder with its kind, in listing order, from
    // the listing alone wherever the file system tells the kind there: no
    // status query per entry, so a large folder costs one listing. Names
    // that are not text are left out and counted as in WalkFolder.
    virtual std::vector<CUTFolderName> ListFolder(const std::wstring& folder,
                                                  size_t* skipped_names) = 0;
    // The regular files directly in folder (links not followed) whose names
    // match, in listing order; with_status adds each one's status as
    // GetEntryStatus reports it (otherwise the status stays empty and the
    // listing alone tells the kind wherever the file system keeps it there).
    // Statuses are queried relative to the open folder, so a large folder
    // costs one path walk, not one per file, and no full path is built.
    // Names that are not text are left out.
    virtual std::vector<CUTFolderFile> ListFolderFiles(const std::wstring& folder,
                                                       bool (*match)(const std::wstring&),
                                                       bool with_status) = 0;
    // Creates one folder (its parent must exist) with owner-only access.
    virtual bool CreateFolder(const std::wstring& path) = 0;
    // Removes an empty folder.
    virtual bool RemoveFolder(const std::wstring& path) = 0;
    // Gives the owner read and write access to a file (clears "read-only").
    // Only a regular file that the effective user owns is changed, and a
    // symbolic link is never followed: false for anything else.
    virtual bool MakeOwnerWritable(const std::wstring& path) = 0;
    // Reads a whole regular file of at most max_bytes, without blocking on a
    // FIFO or device. False when it cannot be opened or read whole, is not a
    // regular file, or is larger than max_bytes (*too_large then says so when
    // given; nothing is read).
    bool ReadWholeFile(const std::wstring& path, std::string* bytes,
                       uint64_t max_bytes = kNoReadLimit, bool* too_large = nullptr);
    // Writes bytes to a new temporary file in the target's folder, syncs it
    // and renames it over path: readers see the old file or the new one,
    // never a torn one. The new file has exactly the given permissions,
    // never ones copied from what was there (a link's target may be
    // anything). False (the old file untouched, the temporary file gone) on
    // any failure, with the errno in *error when given. Built on
    // OpenForWriting and RenameReplacing, so a fake of those is seen here
    // too.
    bool ReplaceFileAtomically(const std::wstring& path, const std::string& bytes,
                               int* error = nullptr, uint32_t permissions = 0600);
    // True when the temporary file at path cannot belong to a write in
    // progress: its last write is more than kAbandonedTemporarySeconds away
    // from now, either way (a clock set back makes an old file look new). A
    // write keeps its temporary file for milliseconds; the named lock alone
    // does not tell, since processes of one user that disagree on the lock
    // folder do not exclude each other. False when the status cannot be read.
    bool IsAbandonedTemporaryFile(const std::wstring& path);
    // Opens an existing file for reading and writing without truncating it,
    // and closes it at once: may this process update the file?
    virtual bool CanOpenForUpdate(const std::wstring& path) = 0;
    // Opens the lock file at path, creating it (owner read and write) when
    // missing. Null when it cannot be opened, or is a link or anything but a
    // regular file, with the errno in *error when given.
    virtual std::unique_ptr<CUTLockFile> OpenLockFile(const std::wstring& path, int* error) = 0;
    // True when path is a folder that the effective user owns and that
    // neither its group nor others may write: nobody else can add, replace or
    // remove what is in it.
    virtual bool IsPrivateFolder(const std::wstring& path) = 0;

    // ---- machine and user identity (POSIX sources of the design notes) ------
    // Host name; false on failure.
    virtual bool ComputerName(std::wstring* name) = 0;
    // Account name of the effective user; false on failure.
    virtual bool AccountName(std::wstring* name) = 0;
    // The machine id bytes as stored; false when no source can be read.
    virtual bool MachineIdBytes(std::string* bytes) = 0;
    // Low 32 bits of the root file system's id; false on failure.
    virtual bool SystemVolumeSerial(uint32_t* serial) = 0;
    // Contents of the os-release file; false when none can be read.
    virtual bool OsReleaseText(std::string* text) = 0;
    // Kernel release and whether the machine is 64-bit; false when uname fails.
    virtual bool KernelInfo(std::string* release, bool* is_64bit) = 0;
    // Locale name of the messages category from the environment (LC_ALL,
    // else LC_MESSAGES, else LANG; the first that is set and not empty), as
    // "en_US.UTF-8"; empty when none is.
    virtual std::string MessagesLocaleName() = 0;
    // DNS domain of this host; empty when none.
    virtual std::wstring DomainName() = 0;
    // Minutes east of UTC of standard time (no daylight saving).
    virtual int TimeZoneOffsetMinutes() = 0;

    // ---- text in the locale's charset (the "OEM" form) ----------------------
    // Converts wide text to the charset of the current LC_CTYPE; characters it
    // lacks become '?'. False on failure.
    virtual bool WideToLocaleCharset(const std::wstring& wide, std::string* out) = 0;
    // Converts text in the current LC_CTYPE charset to wide. False on invalid
    // input.
    virtual bool LocaleCharsetToWide(const std::string& text, std::wstring* out) = 0;

    // ---- process ------------------------------------------------------------
    virtual int ProcessId() = 0;
    // Reads an environment variable; false when unset, and always false in a
    // process that runs with privileges its starter lacks (setuid, setgid,
    // file capabilities), whose environment must not steer it.
    virtual bool GetEnvironment(const char* name, std::string* value) = 0;
    // True in such a privileged process.
    virtual bool IsSecureExecution() = 0;

    // ---- machine policy -----------------------------------------------------
    // Reads the administrators' policy document (at most kPolicyMaxBytes),
    // and names its place in *source whatever the outcome. Only what the
    // machine's administrators control is read: a document others could
    // have written is unusable, never absent.
    virtual UTPolicyRead ReadMachinePolicy(std::string* bytes, std::wstring* source,
                                           std::string* problem) = 0;
    // Has handler run in the child of every later fork of this process,
    // before fork returns there (nothing on systems without fork). handler
    // may only do what is safe in a child of a threaded process: set an
    // atomic flag.
    virtual void CallInForkedChild(void (*handler)()) = 0;
};

// seconds since 1970 as local time of the process's time zone (TZ as it is
// now); false when it cannot be converted. tvUT makes every local time
// through this, under one lock with the time-zone offset's query, so that
// the C library's time-zone globals are never rewritten under a reader.
// Any thread.
bool ToLocalTime(int64_t seconds, std::tm* local);

// Forwards every call to another platform. Tests derive from it and override
// the one service they fake.
class CUTPlatformWrapper : public CUTPlatform {
public:
    explicit CUTPlatformWrapper(CUTPlatform* target) : target_(target) {}
    CUTPlatform* target() const { return target_; }

    bool MachineDataRoot(std::wstring* root) override { return target_->MachineDataRoot(root); }
    bool UserDataRoot(std::wstring* root) override { return target_->UserDataRoot(root); }
    std::wstring NewGuidText() override { return target_->NewGuidText(); }
    std::wstring UtcFileTimeText() override { return target_->UtcFileTimeText(); }
    int64_t CurrentTimeSeconds() override { return target_->CurrentTimeSeconds(); }
    std::wstring ModuleVersion() override { return target_->ModuleVersion(); }
    bool FileExists(const std::wstring& path) override { return target_->FileExists(path); }
    bool IsFolder(const std::wstring& path) override { return target_->IsFolder(path); }
    uint32_t FileSize(const std::wstring& path) override { return target_->FileSize(path); }
    bool FileSize64(const std::wstring& path, uint64_t* size) override {
        return target_->FileSize64(path, size);
    }
    int32_t LastWriteTime(const std::wstring& path) override {
        return target_->LastWriteTime(path);
    }
    bool GetFileTimes(const std::wstring& path, CUTFileTimes* times) override {
        return target_->GetFileTimes(path, times);
    }
    bool IsOwnerWritable(const std::wstring& path) override {
        return target_->IsOwnerWritable(path);
    }
    bool GetEntryStatus(const std::wstring& path, CUTFileStatus* status) override {
        return target_->GetEntryStatus(path, status);
    }
    std::unique_ptr<CUTReadableFile> OpenForReading(const std::wstring& path,
                                                    CUTFileStatus* status) override {
        return target_->OpenForReading(path, status);
    }
    std::unique_ptr<CUTWritableFile> OpenForWriting(const std::wstring& path, UTWriteMode mode,
                                                    uint32_t permissions, int* error) override {
        return target_->OpenForWriting(path, mode, permissions, error);
    }
    bool RemoveFile(const std::wstring& path) override { return target_->RemoveFile(path); }
    bool CopyFileReplacing(const std::wstring& source, const std::wstring& target) override {
        return target_->CopyFileReplacing(source, target);
    }
    bool RenameReplacing(const std::wstring& source, const std::wstring& target) override {
        return target_->RenameReplacing(source, target);
    }
    std::vector<std::wstring> ListFiles(const std::wstring& folder,
                                        const std::wstring& text) override {
        return target_->ListFiles(folder, text);
    }
    using CUTPlatform::WalkFolder;
    std::vector<CUTFolderEntry> WalkFolder(const std::wstring& folder,
                                           size_t* skipped_names) override {
        return target_->WalkFolder(folder, skipped_names);
    }
    std::vector<CUTFolderName> ListFolder(const std::wstring& folder,
                                          size_t* skipped_names) override {
        return target_->ListFolder(folder, skipped_names);
    }
    std::vector<CUTFolderFile> ListFolderFiles(const std::wstring& folder,
                                               bool (*match)(const std::wstring&),
                                               bool with_status) override {
        return target_->ListFolderFiles(folder, match, with_status);
    }
    bool CreateFolder(const std::wstring& path) override { return target_->CreateFolder(path); }
    bool RemoveFolder(const std::wstring& path) override { return target_->RemoveFolder(path); }
    bool MakeOwnerWritable(const std::wstring& path) override {
        return target_->MakeOwnerWritable(path);
    }
    bool CanOpenForUpdate(const std::wstring& path) override {
        return target_->CanOpenForUpdate(path);
    }
    std::unique_ptr<CUTLockFile> OpenLockFile(const std::wstring& path, int* error) override {
        return target_->OpenLockFile(path, error);
    }
    bool IsPrivateFolder(const std::wstring& path) override {
        return target_->IsPrivateFolder(path);
    }
    bool ComputerName(std::wstring* name) override { return target_->ComputerName(name); }
    bool AccountName(std::wstring* name) override { return target_->AccountName(name); }
    bool MachineIdBytes(std::string* bytes) override { return target_->MachineIdBytes(bytes); }
    bool SystemVolumeSerial(uint32_t* serial) override {
        return target_->SystemVolumeSerial(serial);
    }
    bool OsReleaseText(std::string* text) override { return target_->OsReleaseText(text); }
    bool KernelInfo(std::string* release, bool* is_64bit) override {
        return target_->KernelInfo(release, is_64bit);
    }
    std::string MessagesLocaleName() override { return target_->MessagesLocaleName(); }
    std::wstring DomainName() override { return target_->DomainName(); }
    int TimeZoneOffsetMinutes() override { return target_->TimeZoneOffsetMinutes(); }
    bool WideToLocaleCharset(const std::wstring& wide, std::string* out) override {
        return target_->WideToLocaleCharset(wide, out);
    }
    bool LocaleCharsetToWide(const std::string& text, std::wstring* out) override {
        return target_->LocaleCharsetToWide(text, out);
    }
    int ProcessId() override { return target_->ProcessId(); }
    bool GetEnvironment(const char* name, std::string* value) override {
        return target_->GetEnvironment(name, value);
    }
    bool IsSecureExecution() override { return target_->IsSecureExecution(); }
    UTPolicyRead ReadMachinePolicy(std::string* bytes, std::wstring* source,
                                   std::string* problem) override {
        return target_->ReadMachinePolicy(bytes, source, problem);
    }
    void CallInForkedChild(void (*handler)()) override { target_->CallInForkedChild(handler); }

private:
    CUTPlatform* target_;
};

// Installs a platform for the life of a scope (tests).
class CUTScopedPlatform {
public:
    explicit CUTScopedPlatform(CUTPlatform* platform) : previous_(CUTPlatform::Install(platform)) {}
    ~CUTScopedPlatform() { CUTPlatform::Install(previous_); }
    CUTScopedPlatform(const CUTScopedPlatform&) = delete;
    CUTScopedPlatform& operator=(const CUTScopedPlatform&) = delete;

private:
    CUTPlatform* previous_;
};

#endif  // TVUT_PLATFORM_UTPLATFORM_H
