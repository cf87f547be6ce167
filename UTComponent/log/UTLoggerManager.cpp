#include "log/UTLoggerManager.h"

#include "base/UTFileNames.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <tuple>
#include <vector>

#include <ace/Log_Msg.h>
#include <ace/Log_Priority.h>

#include "base/UTStringFormater.h"
#include "base/UTTextCodec.h"
#include "log/UTLogFormat.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"

namespace {

// What each level prints, the backend priority its lines carry, and the
// process priority mask installed when it is the configured level. The masks
// are cumulative: a level lets through its own lines and all more severe ones.
struct UTLevelInfo {
    const char* name;
    ACE_Log_Priority priority;
    u_long mask;
};

constexpr u_long kErrorMask = LM_CRITICAL;
constexpr u_long kWarningMask = kErrorMask | LM_WARNING;
constexpr u_long kInfoMask = kWarningMask | LM_INFO;
constexpr u_long kDbgMask = kInfoMask | LM_DEBUG;
constexpr u_long kDevdbgMask = kDbgMask | LM_EMERGENCY;

constexpr UTLevelInfo kLevels[] = {
    {"None", LM_SHUTDOWN, 0},
    {"Error", LM_CRITICAL, kErrorMask},
    {"Warning", LM_WARNING, kWarningMask},
    {"Info", LM_INFO, kInfoMask},
    {"Dbg", LM_DEBUG, kDbgMask},
    {"Devdbg", LM_EMERGENCY, kDevdbgMask},
};
static_assert(kErrorMask == 0x100 && kWarningMask == 0x120 && kInfoMask == 0x128 &&
                  kDbgMask == 0x12c && kDevdbgMask == 0x52c,
              "the level masks are part of the log's contract");

// Level name filled to 6 characters, local time to the microsecond
// (YYYY-MM-DD HH:MM:SS.uuuuuu), process id and kernel thread id.
constexpr size_t kLongestPrefix = 256;

// The longest message a line carries: the backend's record of ACE_MAXLOGMSGLEN
// bytes less its terminator. A longer message is cut there and marked.
constexpr size_t kLongestRecord = ACE_MAXLOGMSGLEN - 1;
constexpr char kCutMarker[] = " [cut]";

// Archived logs are named "TVUT_" + UTC time + ".log" beside the current file;
// a name already taken gets "_1", "_2", ... (an archive is never replaced).
constexpr int kMaxArchiveSuffix = 10000;

// Taken by every process of this user around a rotation, so that one file is
// archived once, not once per process that saw it grow.
const wchar_t kRotationLockName[] = L"TVUT_LOG_ROTATION_LOCK";

// After a failed rotation this process writes this many lines before trying
// again, doubling while failures continue, up to the ceiling: a lasting
// failure (a read-only folder) costs one attempt per 1024 lines.
constexpr int kFirstRotationPause = 16;
// How often a writer looks at the log's path (see PrepareLogFile).
constexpr int kLinesPerLook = kLogLinesPerLook;
constexpr std::chrono::milliseconds kLookInterval(1000);
constexpr int kLongestRotationPause = 1024;

constexpr uint32_t kLogFilePermissions = 0600;

// Set while this thread writes a line: a line logged from inside the writing
// (by a layer the logger calls, such as the named lock) is dropped instead of
// deadlocking.
thread_local bool t_writing = false;

class CUTWritingScope {
public:
    CUTWritingScope() { t_writing = true; }
    ~CUTWritingScope() { t_writing = false; }
    CUTWritingScope(const CUTWritingScope&) = delete;
    CUTWritingScope& operator=(const CUTWritingScope&) = delete;
};

// The numbers in an archive's name: year, month, day, hour, minute, second
// and the suffix (0 when there is none). Names that do not parse give none
// and sort first.
std::vector<long long> ArchiveNameNumbers(const std::wstring& name) {
    std::vector<long long> numbers;
    const size_t tag = wcslen(kArchivedLogPrefix);
    const std::wstring middle = name.substr(tag, name.size() - tag - wcslen(kArchivedLogExtension));
    size_t pos = 0;
    while (pos <= middle.size()) {
        size_t end = middle.find(L'_', pos);
        if (end == std::wstring::npos) {
            end = middle.size();
        }
        const std::wstring field = middle.substr(pos, end - pos);
        if (field.empty() || field.size() > 9 ||
            field.find_first_not_of(L"0123456789") != std::wstring::npos) {
            return {};
        }
        numbers.push_back(std::stoll(field));
        pos = end + 1;
    }
    if (numbers.size() == 6) {
        numbers.push_back(0);
    }
    return numbers.size() == 7 ? numbers : std::vector<long long>();
}

}  // namespace

// CUTLoggerBackend: the component's own ACE_Log_Msg, which holds the priority
// masks that decide which lines pass. The process priority mask is a
// process-wide setting of ACE, shared with any other user of ACE logging in
// the process.
class CUTLoggerBackend {
public:
    CUTLoggerBackend() : log_(new ACE_Log_Msg) {
        // Only the process mask decides what passes.
        log_->priority_mask(0, ACE_Log_Msg::THREAD);
    }

    CUTLoggerBackend(const CUTLoggerBackend&) = delete;
    CUTLoggerBackend& operator=(const CUTLoggerBackend&) = delete;

    void SetProcessMask(u_long mask) { log_->priority_mask(mask, ACE_Log_Msg::PROCESS); }

    bool Enabled(ACE_Log_Priority priority) const {
        return log_->log_priority_enabled(priority) != 0;
    }

    // The last act before destruction: under the backend's own lock nothing
    // may pass any more and ACE's stream output is off.
    void Shutdown() {
        log_->acquire();
        SetProcessMask(0);
        log_->msg_ostream(nullptr, false);
        log_->clr_flags(ACE_Log_Msg::OSTREAM);
        log_->release();
    }

private:
    std::unique_ptr<ACE_Log_Msg> log_;
};

CUTLoggerManager::CUTLoggerManager() {
    try {
        backend_ = std::make_unique<CUTLoggerBackend>();
    } catch (...) {
        // Without a backend the logger never initialises: every call is skipped.
    }
}

CUTLoggerManager::~CUTLoggerManager() {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (initialised_ && backend_) {
            backend_->Shutdown();
        }
        CloseLogFile();
    } catch (...) {
    }
    try {
        backend_.reset();
    } catch (...) {
    }
}

void CUTLoggerManager::Init(const wchar_t* folder, const wchar_t* path, int64_t max_size,
                            int max_count, int level) {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (initialised_ || !backend_ || folder == nullptr || path == nullptr ||
            level < UT_LOG_NONE || level > UT_LOG_DEVDBG || max_count < 1) {
            return;
        }
        max_size_ = max_size;
        max_count_ = max_count;
        CUTPlatform* platform = CUTPlatform::Current();
        if (!FileExists(platform, folder)) {
            CreateFolderTree(CUTPlatform::Current(), folder);
        }
        log_file_path_ = path;
        level_ = level;
        backend_->SetProcessMask(kLevels[level].mask);
        if (level != UT_LOG_NONE) {
            OpenLogFile();
        }
        initialised_ = true;
    } catch (...) {
        // Invalid or failing initialisation leaves the logger as it was.
    }
}

int CUTLoggerManager::Log(int level, const char* format, ...) {
    // Level 0 names no line: nothing is ever written at it, so it must not
    // create or rotate files either.
    if (!initialised_ || level < UT_LOG_ERROR || level > UT_LOG_DEVDBG || level > level_ ||
        format == nullptr) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    const int result = WriteLine(level, format, args);
    va_end(args);
    return result;
}

int CUTLoggerManager::LogString(int level, const char* text) {
    if (!initialised_) {
        return 0;
    }
    return Log(level, "%s", text);
}

int CUTLoggerManager::LogWString(int level, const wchar_t* text) {
    if (!initialised_) {
        return 0;
    }
    return Log(level, "%ls", text);
}

bool CUTLoggerManager::IsInitialised() const {
    return initialised_;
}

int CUTLoggerManager::ConfiguredLevel() const {
    return level_;
}

int CUTLoggerManager::WriteLine(int level, const char* format, va_list args) noexcept {
    if (t_writing || !backend_) {
        return 0;
    }
    try {
        const UTLevelInfo& info = kLevels[level];
        if (!backend_->Enabled(info.priority)) {
            return 0;
        }
        // The whole line in one buffer, so that one append writes it.
        std::string line;
        line.reserve(kLongestPrefix + 128);
        AppendLinePrefix(&line, info.name);
        const bool cut = AppendLogRecord(&line, kLongestRecord, info.priority, format, args);
        line += cut ? std::string(kCutMarker) + "\n" : std::string("\n");

        std::lock_guard<std::mutex> lock(mutex_);
        CUTWritingScope writing;
        PrepareLogFile();
        if (!file_) {
            return -1;
        }
        if (!file_->Append(line.data(), line.size())) {
            // A full disk or a failing device: this line is lost, and the
            // file is opened afresh for the next one.
            CloseLogFile();
            return -1;
        }
        known_size_ += static_cast<int64_t>(line.size());
        return static_cast<int>(line.size());
    } catch (...) {
        return 0;
    }
}

// Runs before every line. The file on disk decides: missing, it is created
// (nothing to archive); no longer the file this process holds open (another
// process archived it), it is reopened; grown past the maximum size (a file
// of exactly the maximum size is still appended to), it is rotated, unless
// recent rotations failed and the back-off is not over.
//
// The path is looked at only every kLinesPerLook lines or kLookInterval,
// and whenever this process's own count says the file would pass the
// maximum: in between, lines go to the file held open. A rotation by another
// process then sends a few more lines into the file it archived, where they
// are kept, and the lines of other writers make a rotation late by at most
// that many lines each; a file deleted by hand loses the lines written
// before the next look.
void CUTLoggerManager::PrepareLogFile() {
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (file_ && lines_since_look_ < kLinesPerLook && now - last_look_ < kLookInterval &&
        known_size_ <= max_size_) {
        ++lines_since_look_;
        return;
    }
    lines_since_look_ = 0;
    last_look_ = now;
    CUTPlatform* platform = CUTPlatform::Current();
    CUTFileStatus status;
    if (!platform->GetFileStatus(log_file_path_, &status)) {
        CloseLogFile();
        OpenLogFile();
        return;
    }
    if (!status.is_regular_file) {
        // Something else sits at the path: nothing can be written there.
        CloseLogFile();
        return;
    }
    if (!file_ || status.device != file_device_ || status.inode != file_inode_) {
        CloseLogFile();
        OpenLogFile();
    }
    known_size_ = static_cast<int64_t>(status.size);
    if (known_size_ <= max_size_) {
        return;
    }
    if (rotation_pause_lines_ > 0) {
        --rotation_pause_lines_;
        return;
    }
    if (RotateLogFile()) {
        rotation_failures_ = 0;
        return;
    }
    rotation_pause_lines_ =
        std::min(kFirstRotationPause << std::min(rotation_failures_, 10), kLongestRotationPause);
    rotation_failures_ = std::min(rotation_failures_ + 1, 16);
}

// Archives the current file under the rotation lock and opens a new one.
// True when the file no longer needs rotating (this process or another one
// archived it); false when the rotation failed and should be paused.
bool CUTLoggerManager::RotateLogFile() {
    CUTPlatform* platform = CUTPlatform::Current();
    const std::wstring folder = ParentFolderOf(log_file_path_);
    if (folder.empty()) {
        return false;
    }
    CUTNamedLockGuard lock(kRotationLockName);
    if (!lock.IsHeld()) {
        return false;
    }
    // Another process may have rotated the file while this one waited.
    CUTFileStatus status;
    if (!platform->GetFileStatus(log_file_path_, &status)) {
        CloseLogFile();
        OpenLogFile();
        return true;
    }
    if (static_cast<int64_t>(status.size) <= max_size_) {
        if (status.device != file_device_ || status.inode != file_inode_) {
            CloseLogFile();
            OpenLogFile();
        }
        return true;
    }
    if (!ArchiveLogFile(folder)) {
        return false;
    }
    CloseLogFile();
    OpenLogFile();
    PurgeArchivedLogs(folder);
    return true;
}

std::wstring ReserveArchivedLogName(const std::wstring& folder) {
    CUTPlatform* platform = CUTPlatform::Current();
    if (folder.empty()) {
        return std::wstring();
    }
    const std::wstring stem =
        folder + kPathSeparator + kArchivedLogPrefix + UtcFileTimeText(platform);
    // Names after the highest one taken in this second, never a lower free
    // one left by a purge: the suffix orders archives whose times are equal.
    int first = 0;
    for (const std::wstring& path : ListFiles(platform, folder, stem)) {
        const std::wstring name = FileNameOf(path);
        if (!IsArchivedLogFileName(name)) {
            continue;
        }
        const std::vector<long long> numbers = ArchiveNameNumbers(name);
        if (!numbers.empty() && path.compare(0, stem.size(), stem) == 0 &&
            (path.size() == stem.size() + wcslen(kArchivedLogExtension) ||
             path[stem.size()] == L'_')) {
            first = std::max(first, static_cast<int>(std::min<long long>(numbers.back() + 1,
                                                                         kMaxArchiveSuffix)));
        }
    }
    for (int suffix = first; suffix < kMaxArchiveSuffix; ++suffix) {
        const std::wstring candidate =
            suffix == 0 ? stem + kArchivedLogExtension
                        : stem + L"_" + IntToWString(suffix) + kArchivedLogExtension;
        if (FileExists(platform, candidate)) {
            continue;
        }
        std::unique_ptr<CUTWritableFile> reservation;
        const CUTOsStatus reserved = platform->OpenForWriting(candidate, UTWriteMode::kCreateNew,
                                                              kLogFilePermissions, &reservation);
        if (reserved) {
            reservation->Close();
            return candidate;
        }
        if (!reserved.Is(UTOsError::kExists)) {
            return std::wstring();
        }
    }
    return std::wstring();
}

// Moves the current file to a free archive name. The name is reserved by
// creating it exclusively, so that no archive is ever replaced, even by a
// process that rotates without the lock; the rename then puts the log over
// the empty reservation. Lines other processes still append to the archived
// file before they notice stay in the archive: nothing is copied or lost.
bool CUTLoggerManager::ArchiveLogFile(const std::wstring& folder) {
    CUTPlatform* platform = CUTPlatform::Current();
    const std::wstring archive = ReserveArchivedLogName(folder);
    if (archive.empty()) {
        return false;
    }
    if (!platform->RenameReplacing(log_file_path_, archive)) {
        platform->RemoveFile(archive);
        return false;
    }
    return true;
}

// Keeps at most max_count_ - 1 archives beside the current file, deleting the
// oldest first: by modification time in nanoseconds, then by the time and the
// suffix in the name (archives made within one clock tick). Only files named
// like archives count, so neither the current file nor anything else in a
// folder whose path happens to contain the tag is touched.
void CUTLoggerManager::PurgeArchivedLogs(const std::wstring& folder) {
    CUTPlatform* platform = CUTPlatform::Current();
    struct Archive {
        int64_t modified;
        std::vector<long long> numbers;
        std::wstring path;
    };
    std::vector<Archive> archives;
    for (const std::wstring& path : ListFiles(platform, folder, kArchivedLogPrefix)) {
        const std::wstring name = FileNameOf(path);
        CUTFileStatus status;
        if (path == log_file_path_ || !IsArchivedLogFileName(name) ||
            !platform->GetFileStatus(path, &status)) {
            continue;
        }
        archives.push_back({status.last_write_nanos, ArchiveNameNumbers(name), path});
    }
    if (archives.size() < static_cast<size_t>(max_count_)) {
        return;
    }
    std::sort(archives.begin(), archives.end(), [](const Archive& a, const Archive& b) {
        return std::tie(a.modified, a.numbers, a.path) < std::tie(b.modified, b.numbers, b.path);
    });
    const size_t excess = archives.size() - static_cast<size_t>(max_count_) + 1;
    for (size_t i = 0; i < excess; ++i) {
        if (!platform->RemoveFile(archives[i].path)) {
            break;
        }
    }
}

// Opens the log file for appending (created 0600 when missing, a link at
// its path replaced). When that fails because its folder is gone, the
// folder is made again and the open retried once; otherwise no file is open
// and the next line tries again.
bool CUTLoggerManager::OpenLogFile() {
    CUTPlatform* platform = CUTPlatform::Current();
    CUTOsStatus opened =
        platform->OpenForWriting(log_file_path_, UTWriteMode::kAppend, kLogFilePermissions, &file_);
    if (opened.Is(UTOsError::kIsLink) && platform->RemoveFile(log_file_path_)) {
        // A link at the log's path is never written through; it is replaced
        // by a log of this user's own, as a link at a settings path is.
        opened = platform->OpenForWriting(log_file_path_, UTWriteMode::kAppend, kLogFilePermissions,
                                          &file_);
    }
    if (opened.Is(UTOsError::kNotFound)) {
        const std::wstring folder = ParentFolderOf(log_file_path_);
        if (!folder.empty() && CreateFolderTree(platform, folder)) {
            platform->OpenForWriting(log_file_path_, UTWriteMode::kAppend, kLogFilePermissions,
                                     &file_);
        }
    }
    CUTFileStatus status;
    if (file_ && file_->Status(&status)) {
        file_device_ = status.device;
        file_inode_ = status.inode;
        known_size_ = static_cast<int64_t>(status.size);
    } else {
        // Unknown identity: the next line opens the file again.
        file_device_ = 0;
        file_inode_ = 0;
    }
    return file_ != nullptr;
}

void CUTLoggerManager::CloseLogFile() {
    if (file_) {
        file_->Close();
        file_.reset();
    }
    file_device_ = 0;
    file_inode_ = 0;
}
