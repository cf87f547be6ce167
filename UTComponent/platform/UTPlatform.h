// CUTPlatform: every operating-system service tvUT uses, behind one interface.
//
// CUTPlatform::Default() is the implementation for this system (POSIX here);
// the rest of the component reaches the OS only through CUTPlatform::Current(),
// which tests may point at a CUTPlatformWrapper subclass that fakes a single
// service. Paths are wide strings joined with kPathSeparator. No operation
// throws: failures come back as a CUTOsStatus (operations), false or empty
// text (queries). Every operation may be called from any thread. No code
// outside this layer reads errno or includes a system header.
#ifndef TVUT_PLATFORM_UTPLATFORM_H
#define TVUT_PLATFORM_UTPLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/UTPath.h"

// What kind of failure a platform operation met. Callers decide on these,
// never on a system's own numbers, so that every system's layer can map its
// codes here (errno on POSIX, the Win32 error codes there).
enum class UTOsError {
    kNone,          // no failure
    kNotFound,      // no such file or folder, or a folder on the way is missing
    kExists,        // something is already there (an exclusive create)
    kIsLink,        // a symbolic link where a file was opened without following one
    kNotAFile,      // a folder, pipe or device where a regular file should be
    kAccessDenied,  // permissions, ownership or an unsafe folder refused it
    kNoSpace,       // the disk or the user's quota is full
    kTooLarge,      // larger than the caller's limit
    kInvalid,       // an empty or unusable argument, or a closed file
    kOther,         // anything else; code() tells the system's own number
};

// The outcome of a platform operation: success, or what failed (the
// operation's short name, "open", "rename", ...), the kind of failure and the
// system's own error number for the log. Cheap to copy; no allocation. Tests
// make failures of their own with Failure.
class CUTOsStatus {
public:
    CUTOsStatus() = default;
    static CUTOsStatus Failure(const char* operation, UTOsError kind, int code = 0) {
        return CUTOsStatus(operation, kind == UTOsError::kNone ? UTOsError::kOther : kind, code);
    }
    bool ok() const { return kind_ == UTOsError::kNone; }
    // True on success, so that "if (!platform->RemoveFile(path))" reads as
    // it means.
    explicit operator bool() const { return ok(); }
    UTOsError kind() const { return kind_; }
    bool Is(UTOsError kind) const { return kind_ == kind; }
    // The system's own error number (errno here); 0 when ok or when no
    // system call failed.
    int code() const { return code_; }
    // What failed; "" when ok.
    const char* operation() const { return operation_; }
    // "rename: No space left on device (28)", "ok" on success; for logs.
    std::string ToString() const;

private:
    CUTOsStatus(const char* operation, UTOsError kind, int code)
        : operation_(operation), kind_(kind), code_(code) {}

    const char* operation_ = "";
    UTOsError kind_ = UTOsError::kNone;
    int code_ = 0;
};

// The system's text for one of its error numbers (strerror here).
std::string OsErrorText(int code);

// What an entry of a folder is, as its listing tells; a link is never
// followed.
enum class UTEntryKind { kRegularFile, kFolder, kLink, kOther };

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

// One entry of a folder listing: its name (without the folder), its kind as
// the listing tells it, and its status when the listing was asked for one.
struct CUTFolderEntry {
    std::wstring name;
    UTEntryKind kind = UTEntryKind::kOther;
    CUTFileStatus status;
};

// What ListFolder reports.
enum class UTListing {
    kEveryEntry,              // every entry with its kind, no status query per entry
    kRegularFiles,            // regular files only (links not followed), no status
    kRegularFilesWithStatus,  // regular files with the status GetEntryStatus reports
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
    // size only at the end of the file.
    virtual CUTOsStatus Read(void* bytes, size_t size, size_t* count) = 0;
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
    kCreateNew,  // create; fails (kExists) when anything, a link too, is there
};

// A file opened for writing, never inherited by a child process the host
// starts; closed when destroyed. One thread at a time. Nothing throws.
class CUTWritableFile {
public:
    CUTWritableFile() = default;
    CUTWritableFile(const CUTWritableFile&) = delete;
    CUTWritableFile& operator=(const CUTWritableFile&) = delete;
    virtual ~CUTWritableFile() = default;
    // Writes all size bytes at the current position (at the end in append
    // mode, in one system call where the system allows, so that lines of
    // several processes appending to one file do not interleave). A short
    // write is a failure.
    virtual CUTOsStatus Append(const void* bytes, size_t size) = 0;
    // Writes all size bytes at offset; the current position does not move.
    virtual CUTOsStatus WriteAt(uint64_t offset, const void* bytes, size_t size) = 0;
    // Makes the written bytes durable.
    virtual CUTOsStatus Sync() = 0;
    virtual CUTOsStatus Truncate(uint64_t size) = 0;
    // Status of the open file itself (see GetFileStatus).
    virtual CUTOsStatus Status(CUTFileStatus* status) = 0;
    // Closes the file; later calls fail (kInvalid). A failing close (a full
    // disk may only show here) is reported.
    virtual CUTOsStatus Close() = 0;
};

// A machine-wide named lock of the system's (see OpenNamedLock): exclusive,
// held by this object, not by the process, so two objects of one name exclude
// each other even within a process. The system releases it when its holder
// dies; nothing outlives the process in a way that could block another one.
// A child forked without exec must open its own. One thread at a time.
class CUTSystemLock {
public:
    CUTSystemLock() = default;
    CUTSystemLock(const CUTSystemLock&) = delete;
    CUTSystemLock& operator=(const CUTSystemLock&) = delete;
    virtual ~CUTSystemLock() = default;
    // Takes the lock, waiting without limit.
    virtual CUTOsStatus Lock() = 0;
    // Takes the lock if nobody holds it, without waiting; *taken says
    // whether it was.
    virtual CUTOsStatus TryLock(bool* taken) = 0;
    virtual CUTOsStatus Unlock() = 0;
};

// What the system says of itself, for the transcript header.
struct CUTOsDescription {
    std::wstring name;          // e.g. "Debian GNU/Linux 12 (bookworm)"; empty when unknown
    std::wstring version;       // e.g. "12"
    std::wstring service_pack;  // empty where the system has none
    std::wstring build;         // the kernel release here; empty when unknown
    bool is_64bit = false;      // the machine, not this process
};

// Every operation may be called from any thread. Operations that can fail
// return CUTOsStatus; queries that either find their answer or not return
// bool. No operation throws.
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
    // The wall clock: nanoseconds since 1970-01-01 UTC. Every time of day
    // tvUT writes (transcripts, settings, log lines, the transfer's metric
    // line) comes from here, so a test can set the clock.
    virtual int64_t CurrentTimeNanos() = 0;
    // The component module's four-part version, "major.minor.build.revision".
    virtual std::wstring ModuleVersion() = 0;

    // ---- files --------------------------------------------------------------
    // Kind, size, times and owner-writable of a path in one query (one system
    // call where the system allows); links are followed.
    virtual CUTOsStatus GetFileStatus(const std::wstring& path, CUTFileStatus* status) = 0;
    // The status of the path itself: a symbolic link is reported as a link,
    // never followed.
    virtual CUTOsStatus GetEntryStatus(const std::wstring& path, CUTFileStatus* status) = 0;
    // Opens a regular file for reading (shared with other readers) and reads
    // the status of the opened file itself, so that both belong to one file
    // and the path is looked up once. kNotAFile for anything but a regular
    // file; a pipe does not block the call.
    virtual CUTOsStatus OpenForReading(const std::wstring& path, CUTFileStatus* status,
                                       std::unique_ptr<CUTReadableFile>* file) = 0;
    // Opens path for writing, never through a symbolic link at the path
    // (kIsLink). permissions become the file's mode bits, whatever the umask
    // or an earlier writer left. Only a folder that belongs to the effective
    // user or to root, and that neither its group nor others may write, is
    // written into (kAccessDenied otherwise).
    virtual CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode,
                                       uint32_t permissions,
                                       std::unique_ptr<CUTWritableFile>* file) = 0;
    // kNotFound when nothing was there to remove.
    virtual CUTOsStatus RemoveFile(const std::wstring& path) = 0;
    // Renames source to target within one file system, replacing the target.
    virtual CUTOsStatus RenameReplacing(const std::wstring& source, const std::wstring& target) = 0;
    // The entries directly in folder that what asks for and match (when
    // given) accepts by name, in listing order. The kinds come from the
    // listing wherever the file system keeps them there, and statuses are
    // queried relative to the open folder, so a large folder costs one
    // listing and one path walk. Names that cannot be represented as text
    // (not UTF-8 here) are left out, never reported as something else, and
    // counted in *skipped_names when given.
    virtual CUTOsStatus ListFolder(const std::wstring& folder, UTListing what,
                                   bool (*match)(const std::wstring& name),
                                   std::vector<CUTFolderEntry>* entries,
                                   size_t* skipped_names = nullptr) = 0;
    // Creates one folder (its parent must exist) with owner-only access;
    // kExists when something is there.
    virtual CUTOsStatus CreateFolder(const std::wstring& path) = 0;
    // Removes an empty folder.
    virtual CUTOsStatus RemoveFolder(const std::wstring& path) = 0;
    // Gives the owner read and write access to a file (clears "read-only").
    // Only a regular file that the effective user owns is changed, and a
    // symbolic link is never followed.
    virtual CUTOsStatus MakeOwnerWritable(const std::wstring& path) = 0;
    // Opens an existing file for reading and writing without truncating it,
    // and closes it at once: may this process update the file?
    virtual CUTOsStatus CanOpenForUpdate(const std::wstring& path) = 0;
    // Opens the named lock called name: every process that opens the same
    // name in the system's lock namespace excludes the others. Here that is
    // a lock file in the user's private lock folder (so no user can block
    // another's); a system with named mutexes opens the mutex of that name,
    // machine-wide. Any text is a valid name.
    virtual CUTOsStatus OpenNamedLock(const std::wstring& name,
                                      std::unique_ptr<CUTSystemLock>* lock) = 0;

    // ---- machine and user identity ------------------------------------------
    // Host name; false on failure.
    virtual bool ComputerName(std::wstring* name) = 0;
    // Account name of the effective user; false on failure.
    virtual bool AccountName(std::wstring* name) = 0;
    // The account as the user identity is hashed from it: "computer\user"
    // here, the system's own qualified account name where it has one.
    virtual bool QualifiedAccountName(std::wstring* name) = 0;
    // The machine id bytes as stored; false when no source can be read.
    virtual bool MachineIdBytes(std::string* bytes) = 0;
    // Low 32 bits of the system volume's serial; false on failure.
    virtual bool SystemVolumeSerial(uint32_t* serial) = 0;
    // Name, version and build of the operating system; a part it cannot
    // tell stays empty.
    virtual void OperatingSystem(CUTOsDescription* description) = 0;
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

    // ---- environment and policy ---------------------------------------------
    // Reads an environment variable; false when unset, and always false in a
    // process that runs with privileges its starter lacks (setuid, setgid,
    // file capabilities), whose environment must not steer it.
    virtual bool GetEnvironment(const char* name, std::string* value) = 0;
    // Reads the administrators' policy document (at most kPolicyMaxBytes),
    // and names its place in *source whatever the outcome. Only what the
    // machine's administrators control is read: a document others could
    // have written is unusable, never absent.
    virtual UTPolicyRead ReadMachinePolicy(std::string* bytes, std::wstring* source,
                                           std::string* problem) = 0;
};

// ---- process services, the same for every platform object ------------------
// Each system's layer implements these; they are not virtual because nothing
// fakes them and the logger asks for the ids on every line.
int CurrentProcessId();
// The system's id of the calling thread, as its tools show it (the kernel's
// thread id here).
int64_t CurrentThreadId();
// The calling thread's last system error number (errno here), and putting it
// back: for code that must leave it as its caller left it.
int LastOsErrorCode();
void RestoreOsErrorCode(int code);
// True in a process that runs with privileges its starter lacks.
bool IsSecureExecution();
// Has handler run in the child of every later fork of this process, before
// fork returns there (nothing on systems without fork). handler may only do
// what is safe in a child of a threaded process: set an atomic flag.
void CallInForkedChild(void (*handler)());

// ---- helpers over the interface ---------------------------------------------
// Built on the virtual services of the platform given, so a test wrapper that
// fakes one of those fakes these too.

// True when a status of path can be read.
bool FileExists(CUTPlatform* platform, const std::wstring& path);
bool IsFolder(CUTPlatform* platform, const std::wstring& path);
// 0 on any failure and for anything but a regular file.
uint32_t FileSize(CUTPlatform* platform, const std::wstring& path);
// Seconds since 1970-01-01 UTC.
int64_t CurrentTimeSeconds(CUTPlatform* platform);
// Current UTC time as year_month_day_hour_minute_second, no leading zeros.
std::wstring UtcFileTimeText(CUTPlatform* platform);
// Full paths of the files (not folders; what a link leads to counts) directly
// in folder whose full path contains text, in listing order. Only the entries
// whose names match need a status query.
std::vector<std::wstring> ListFiles(CUTPlatform* platform, const std::wstring& folder,
                                    const std::wstring& text);
// Creates the folder and its missing parents, each new one for the owner
// only. True when a folder exists at path afterwards; false for an empty path
// or when a file stands in the way.
bool CreateFolderTree(CUTPlatform* platform, const std::wstring& path);
// Reads a whole regular file of at most max_bytes, without blocking on a FIFO
// or device. Fails when it cannot be opened or read whole, is not a regular
// file (kNotAFile), or is larger than max_bytes (kTooLarge; nothing is read).
CUTOsStatus ReadWholeFile(CUTPlatform* platform, const std::wstring& path, std::string* bytes,
                          uint64_t max_bytes = kNoReadLimit);
// Writes bytes to a new temporary file in the target's folder (temporary
// when given, else the path with ".tmp" and 12 random hexadecimal digits),
// syncs it and renames it over path: readers see the old file or the new
// one, never a torn one. The new file has exactly the given permissions,
// never ones copied from what was there (a link's target may be anything).
// On any failure the old file is untouched and the temporary file gone.
CUTOsStatus ReplaceFileAtomically(CUTPlatform* platform, const std::wstring& path,
                                  const std::string& bytes, uint32_t permissions = 0600,
                                  const std::wstring& temporary = std::wstring());
// True when the temporary file at path cannot belong to a write in
// progress: its last write is more than kAbandonedTemporarySeconds away from
// now, either way (a clock set back makes an old file look new). A write
// keeps its temporary file for milliseconds; the named lock alone does not
// tell, since processes of one user that disagree on the lock folder do not
// exclude each other. False when the status cannot be read.
bool IsAbandonedTemporaryFile(CUTPlatform* platform, const std::wstring& path);

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
    int64_t CurrentTimeNanos() override { return target_->CurrentTimeNanos(); }
    std::wstring ModuleVersion() override { return target_->ModuleVersion(); }
    CUTOsStatus GetFileStatus(const std::wstring& path, CUTFileStatus* status) override {
        return target_->GetFileStatus(path, status);
    }
    CUTOsStatus GetEntryStatus(const std::wstring& path, CUTFileStatus* status) override {
        return target_->GetEntryStatus(path, status);
    }
    CUTOsStatus OpenForReading(const std::wstring& path, CUTFileStatus* status,
                               std::unique_ptr<CUTReadableFile>* file) override {
        return target_->OpenForReading(path, status, file);
    }
    CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode, uint32_t permissions,
                               std::unique_ptr<CUTWritableFile>* file) override {
        return target_->OpenForWriting(path, mode, permissions, file);
    }
    CUTOsStatus RemoveFile(const std::wstring& path) override { return target_->RemoveFile(path); }
    CUTOsStatus RenameReplacing(const std::wstring& source, const std::wstring& target) override {
        return target_->RenameReplacing(source, target);
    }
    CUTOsStatus ListFolder(const std::wstring& folder, UTListing what,
                           bool (*match)(const std::wstring& name),
                           std::vector<CUTFolderEntry>* entries,
                           size_t* skipped_names = nullptr) override {
        return target_->ListFolder(folder, what, match, entries, skipped_names);
    }
    CUTOsStatus CreateFolder(const std::wstring& path) override {
        return target_->CreateFolder(path);
    }
    CUTOsStatus RemoveFolder(const std::wstring& path) override {
        return target_->RemoveFolder(path);
    }
    CUTOsStatus MakeOwnerWritable(const std::wstring& path) override {
        return target_->MakeOwnerWritable(path);
    }
    CUTOsStatus CanOpenForUpdate(const std::wstring& path) override {
        return target_->CanOpenForUpdate(path);
    }
    CUTOsStatus OpenNamedLock(const std::wstring& name,
                              std::unique_ptr<CUTSystemLock>* lock) override {
        return target_->OpenNamedLock(name, lock);
    }
    bool ComputerName(std::wstring* name) override { return target_->ComputerName(name); }
    bool AccountName(std::wstring* name) override { return target_->AccountName(name); }
    bool QualifiedAccountName(std::wstring* name) override {
        return target_->QualifiedAccountName(name);
    }
    bool MachineIdBytes(std::string* bytes) override { return target_->MachineIdBytes(bytes); }
    bool SystemVolumeSerial(uint32_t* serial) override {
        return target_->SystemVolumeSerial(serial);
    }
    void OperatingSystem(CUTOsDescription* description) override {
        target_->OperatingSystem(description);
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
    bool GetEnvironment(const char* name, std::string* value) override {
        return target_->GetEnvironment(name, value);
    }
    UTPolicyRead ReadMachinePolicy(std::string* bytes, std::wstring* source,
                                   std::string* problem) override {
        return target_->ReadMachinePolicy(bytes, source, problem);
    }

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
