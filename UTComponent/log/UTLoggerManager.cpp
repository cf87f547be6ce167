#include "log/UTLoggerManager.h"

#include <cstring>
#include <fstream>
#include <vector>

#include <ace/Log_Msg.h>
#include <ace/Log_Priority.h>
#include <ace/Log_Record.h>

#include "log/UTStringFormater.h"
#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"

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
constexpr char kLinePrefixFormat[] = "%-6s | %D | pid:%P | tid:%t | ";

// The backend formats each record into a buffer of ACE_MAXLOGMSGLEN bytes,
// terminator included, and silently drops what does not fit. A message that
// fills the buffer is taken as cut and its line ends with this marker.
constexpr size_t kLongestRecord = ACE_MAXLOGMSGLEN - 1;
constexpr char kCutMarker[] = " [cut]";

// Archived logs are named "TVUT_" + UTC time + ".log" beside the current file.
const wchar_t kArchiveTag[] = L"TVUT_";
const wchar_t kArchiveExtension[] = L".log";
// Rotations within one second would share a name; later ones get a counter
// ("_1", "_2", ...) so that no archive is overwritten.
constexpr int kMaxArchiveCounter = 100;

// Set while this thread writes a line: a line logged from inside the writing
// (by a layer the logger calls) is dropped instead of deadlocking.
thread_local bool t_writing = false;

class CUTWritingScope {
public:
    CUTWritingScope() { t_writing = true; }
    ~CUTWritingScope() { t_writing = false; }
    CUTWritingScope(const CUTWritingScope&) = delete;
    CUTWritingScope& operator=(const CUTWritingScope&) = delete;
};

// Folder part of a path (before the last separator); empty when there is none.
std::wstring ParentFolder(const std::wstring& path) {
    const size_t separator = path.rfind(kPathSeparator);
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::wstring FileName(const std::wstring& path) {
    const size_t separator = path.rfind(kPathSeparator);
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// Creates folder and any missing parents (each with owner-only access).
bool CreateFolderTree(CUTPlatform* platform, std::wstring folder) {
    while (folder.size() > 1 && folder.back() == kPathSeparator) {
        folder.pop_back();
    }
    if (folder.empty()) {
        return false;
    }
    if (platform->IsFolder(folder)) {
        return true;
    }
    const std::wstring parent = ParentFolder(folder);
    if (!parent.empty() && !CreateFolderTree(platform, parent)) {
        return false;
    }
    // Another process may have made it in the meantime.
    return platform->CreateFolder(folder) || platform->IsFolder(folder);
}

// Wide text in the charset of the host's locale, as the backend's wide
// directive would write it, but with '?' for characters the charset lacks
// instead of dropping the rest of the record. UTF-8 when no conversion is
// available.
std::string NarrowForLog(const std::wstring& text) {
    std::string narrow;
    if (CUTPlatform::Current()->WideToLocaleCharset(text, &narrow)) {
        return narrow;
    }
    if (WideToUtf8(text, &narrow)) {
        return narrow;
    }
    narrow.clear();
    for (wchar_t c : text) {
        narrow.push_back(c >= 0 && c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

}  // namespace

// CUTLoggerBackend: the component's own ACE_Log_Msg and the log file stream
// it writes to. Not thread-safe by itself: used only under the logger's lock.
// The backend's flags and process priority mask are process-wide settings of
// ACE, shared with any other user of ACE logging in the process. A file that
// cannot be opened leaves the backend without a stream; lines then go nowhere.
class CUTLoggerBackend {
public:
    CUTLoggerBackend() : log_(new ACE_Log_Msg) {
        // Only the process mask decides what passes.
        log_->priority_mask(0, ACE_Log_Msg::THREAD);
    }

    ~CUTLoggerBackend() { log_->msg_ostream(nullptr, false); }

    CUTLoggerBackend(const CUTLoggerBackend&) = delete;
    CUTLoggerBackend& operator=(const CUTLoggerBackend&) = delete;

    void SetProcessMask(u_long mask) { log_->priority_mask(mask, ACE_Log_Msg::PROCESS); }

    // Opens path for appending (created when missing) as the message stream,
    // with stream output on and standard-error output off.
    bool Open(const std::wstring& path) {
        Close();
        std::string native;
        if (WideToUtf8(path, &native)) {
            auto stream = std::make_unique<std::ofstream>(
                native, std::ios::out | std::ios::app | std::ios::binary);
            if (stream->is_open()) {
                stream_ = std::move(stream);
                log_->msg_ostream(stream_.get(), false);
            }
        }
        log_->set_flags(ACE_Log_Msg::OSTREAM);
        log_->clr_flags(ACE_Log_Msg::STDERR);
        return HasStream();
    }

    void Close() {
        log_->msg_ostream(nullptr, false);
        if (stream_) {
            stream_->close();
            stream_.reset();
        }
    }

    bool HasStream() const { return stream_ != nullptr; }

    // True when the open stream has written past the end of the file now at
    // its path: the file was replaced (another process rotated it), and the
    // stream writes to a file that nobody will read.
    bool StreamOutgrew(uint64_t size_on_disk) {
        if (!stream_) {
            return false;
        }
        const std::streamoff written = stream_->tellp();
        return written > 0 && static_cast<uint64_t>(written) > size_on_disk;
    }

    // Emits one line as three records: prefix, the caller's message, end of
    // line (with the cut marker when the message filled its record).
    int WriteLine(const UTLevelInfo& level, const char* format, va_list args) {
        ssize_t result = log_->log(level.priority, kLinePrefixFormat, level.name);
        result = log_->log(format, level.priority, args);
        // msg() still holds the message just formatted.
        const bool cut = log_->log_priority_enabled(level.priority) != 0 &&
                         std::strlen(log_->msg()) >= kLongestRecord;
        if (cut) {
            result = log_->log(level.priority, "%s\n", kCutMarker);
        } else {
            result = log_->log(level.priority, "\n");
        }
        return static_cast<int>(result);
    }

    // The last act before destruction: under the backend's own lock nothing
    // may pass any more, the file is closed and stream output ends.
    void Shutdown() {
        log_->acquire();
        SetProcessMask(0);
        if (stream_) {
            stream_->close();
        }
        log_->msg_ostream(nullptr, false);
        log_->clr_flags(ACE_Log_Msg::OSTREAM);
        log_->release();
        stream_.reset();
    }

private:
    std::unique_ptr<ACE_Log_Msg> log_;
    std::unique_ptr<std::ofstream> stream_;
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
        if (!platform->FileExists(folder)) {
            CreateFolderTree(platform, folder);
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
    if (!initialised_ || level < UT_LOG_ERROR || level > level_) {
        return 0;
    }
    if (text == nullptr) {
        return Log(level, "%W", text);
    }
    try {
        const std::string narrow = NarrowForLog(text);
        return Log(level, "%s", narrow.c_str());
    } catch (...) {
        return 0;
    }
}

bool CUTLoggerManager::IsInitialised() const {
    return initialised_;
}

int CUTLoggerManager::ConfiguredLevel() const {
    return level_;
}

int CUTLoggerManager::WriteLine(int level, const char* format, va_list args) noexcept {
    if (t_writing) {
        return 0;
    }
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        CUTWritingScope writing;
        if (!backend_) {
            return 0;
        }
        PrepareLogFile();
        return backend_->WriteLine(kLevels[level], format, args);
    } catch (...) {
        return 0;
    }
}

// Runs before every line. Rotation is decided on the file on disk, so that a
// file removed or rotated by someone else is noticed; a file of exactly the
// maximum size is still appended to. When the file is there but this process
// has no stream to it (an earlier open failed) or writes to a replaced one,
// it is reopened without archiving.
void CUTLoggerManager::PrepareLogFile() {
    CUTPlatform* platform = CUTPlatform::Current();
    if (!platform->FileExists(log_file_path_)) {
        RotateLogFile();
        return;
    }
    uint64_t size = 0;
    if (!platform->FileSize64(log_file_path_, &size)) {
        return;
    }
    if (static_cast<int64_t>(size) > max_size_) {
        RotateLogFile();
    } else if (!backend_->HasStream() || backend_->StreamOutgrew(size)) {
        OpenLogFile();
    }
}

void CUTLoggerManager::RotateLogFile() {
    backend_->Close();
    ArchiveLogFile();
    OpenLogFile();
}

void CUTLoggerManager::ArchiveLogFile() {
    CUTPlatform* platform = CUTPlatform::Current();
    if (!platform->FileExists(log_file_path_)) {
        return;
    }
    const size_t separator = log_file_path_.rfind(kPathSeparator);
    if (separator == std::wstring::npos) {
        return;
    }
    const std::wstring folder = log_file_path_.substr(0, separator);
    const std::wstring stem = folder + kPathSeparator + kArchiveTag + platform->UtcFileTimeText();
    std::wstring archive = stem + kArchiveExtension;
    for (int counter = 1; counter < kMaxArchiveCounter && platform->FileExists(archive);
         ++counter) {
        archive = stem + L"_" + IntToWString(counter) + kArchiveExtension;
    }
    platform->RemoveFile(archive);
    // The source goes only once its lines are safe in the archive.
    if (platform->CopyFileReplacing(log_file_path_, archive)) {
        platform->RemoveFile(log_file_path_);
    }
    PurgeArchivedLogs(folder);
}

// Keeps at most max_count_ - 1 archives beside the current file, deleting the
// oldest first (by last write time; the first listed wins a tie). Only files
// whose own name carries the archive tag count, so neither the current file
// nor anything else in a folder whose path happens to contain the tag is
// touched.
void CUTLoggerManager::PurgeArchivedLogs(const std::wstring& folder) {
    CUTPlatform* platform = CUTPlatform::Current();
    auto list_archives = [&]() {
        std::vector<std::wstring> archives;
        for (const std::wstring& path : platform->ListFiles(folder, kArchiveTag)) {
            if (FileName(path).find(kArchiveTag) != std::wstring::npos && path != log_file_path_) {
                archives.push_back(path);
            }
        }
        return archives;
    };
    std::vector<std::wstring> archives = list_archives();
    while (!archives.empty() && archives.size() >= static_cast<size_t>(max_count_)) {
        size_t oldest = 0;
        int32_t oldest_time = platform->LastWriteTime(archives[0]);
        for (size_t i = 1; i < archives.size(); ++i) {
            const int32_t time = platform->LastWriteTime(archives[i]);
            if (time < oldest_time) {
                oldest = i;
                oldest_time = time;
            }
        }
        if (!platform->RemoveFile(archives[oldest])) {
            break;
        }
        archives = list_archives();
    }
}

// Opens the log file for appending. When that fails because its folder is
// gone, the folder is made again and the open retried once; otherwise the
// backend stays without a stream and the next line tries again.
void CUTLoggerManager::OpenLogFile() {
    if (backend_->Open(log_file_path_)) {
        return;
    }
    CUTPlatform* platform = CUTPlatform::Current();
    const std::wstring folder = ParentFolder(log_file_path_);
    if (!folder.empty() && !platform->IsFolder(folder) && CreateFolderTree(platform, folder)) {
        backend_->Open(log_file_path_);
    }
}
