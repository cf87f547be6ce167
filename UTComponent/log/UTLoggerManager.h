// CUTLoggerManager: the component's rolling diagnostic log.
//
// One per process (CUTSingleton), created by the first log call and kept until
// the process ends; CleanUp does not destroy it, so a later initialisation
// keeps the first settings. Until Init succeeds every call is skipped. Lines
// have the form "<level name padded to 6> | <local time> | pid:<pid> |
// tid:<tid> | <message>". A message longer than one record (4095 bytes) is cut
// there and its line ends with " [cut]"; a message of 4095 bytes or fewer is
// written whole and unmarked.
//
// Several processes (of several products) share one TVUTLog.log. Each line is
// built whole in memory and written with one append to a file opened with
// O_APPEND, so lines of different processes never interleave. Before a line
// the file at the path is looked at: when it is missing or is no longer the
// file this process holds open (another process archived it), it is
// (re)opened; when it has grown past the maximum size it is archived by
// renaming it to "TVUT_<utc time>.log" (with "_1", "_2", ... when that name is
// taken: an archive is never replaced) under the per-user named lock
// TVUT_LOG_ROTATION_LOCK, after checking again under that lock that no other
// process has just done so. Archives beyond the maximum count are purged,
// oldest first by modification time (nanoseconds), then by the time and
// suffix in their names.
//
// Failures: a line that cannot be written (full disk) is lost, and the file
// is reopened for the next line, so logging resumes once there is space. A
// rotation that fails (the lock cannot be taken, no archive name can be
// reserved, the rename fails) is not tried again for the next 16 lines of this
// process, doubling up to 1024 lines while it keeps failing; the file grows
// past its limit meanwhile. No call ever throws: every failure is swallowed
// and reported as a result of 0 or -1, which callers ignore. A log file that
// cannot be opened is retried at the next line (its folder is made again when
// it is missing).
//
// Any thread may log. The message is formatted outside the logger's lock;
// writing the line and any rotation before it happen under it.
#ifndef TVUT_LOG_UTLOGGERMANAGER_H
#define TVUT_LOG_UTLOGGERMANAGER_H

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/UTSingleton.h"
#include "log/UTFormatCheck.h"

// Levels: callers use 1 for failures, 3 for milestones, 5 for detail.
enum UTLogLevel {
    UT_LOG_NONE = 0,
    UT_LOG_ERROR = 1,
    UT_LOG_WARNING = 2,
    UT_LOG_INFO = 3,
    UT_LOG_DBG = 4,
    UT_LOG_DEVDBG = 5
};

class CUTLoggerBackend;
class CUTWritableFile;

// A writer looks at the log's path (another process may have archived or
// replaced the file) after at most this many lines, or a second.
constexpr int kLogLinesPerLook = 32;

class CUTLoggerManager : public CUTSingleton<CUTLoggerManager> {
public:
    CUTLoggerManager();
    virtual ~CUTLoggerManager();
    CUTLoggerManager(const CUTLoggerManager&) = delete;
    CUTLoggerManager& operator=(const CUTLoggerManager&) = delete;

    // One-shot: later calls after a successful one do nothing. Ignored when
    // folder or path is null, level is outside 0..5 or max_count is below 1.
    // Level 0 counts as initialised but writes nothing and opens no file.
    void Init(const wchar_t* folder, const wchar_t* path, int64_t max_size, int max_count,
              int level);

    // Formats with printf's directives, checked by the compiler: %s, %ls
    // (wide text), %d, %x, %lld and %llu (64 bits: cast to long long or
    // unsigned long long), %zu, %f, %p, ... (UTLogFormat.h). Text arguments
    // have their control characters escaped; a message is cut after 4095
    // bytes. Returns the number of bytes written, 0 when the line was skipped
    // and -1 when it could not be written.
    int Log(int level, const char* format, ...) TVUT_PRINTF_FORMAT(3, 4);
    int LogString(int level, const char* text);
    int LogWString(int level, const wchar_t* text);

    bool IsInitialised() const;
    int ConfiguredLevel() const;

private:
    int WriteLine(int level, const char* format, va_list args) noexcept;
    void PrepareLogFile();
    bool RotateLogFile();
    bool ArchiveLogFile(const std::wstring& folder);
    void PurgeArchivedLogs(const std::wstring& folder);
    bool OpenLogFile();
    void CloseLogFile();

    std::atomic<int> level_{0};
    std::wstring log_file_path_;
    std::atomic<bool> initialised_{false};
    int64_t max_size_ = 0;
    int max_count_ = 1;
    std::unique_ptr<CUTLoggerBackend> backend_;
    // The file this process appends to, and its identity (device, inode) to
    // tell whether the path still names it.
    std::unique_ptr<CUTWritableFile> file_;
    uint64_t file_device_ = 0;
    uint64_t file_inode_ = 0;
    // What this process knows of the file without asking the path: its size
    // at the last look plus the lines appended since, and when that look was.
    int64_t known_size_ = 0;
    int lines_since_look_ = 0;
    std::chrono::steady_clock::time_point last_look_;
    // Back-off after failed rotations: lines still to write before the next
    // attempt, and the failures in a row.
    int rotation_pause_lines_ = 0;
    int rotation_failures_ = 0;
    // Makes each line, and the rotation before it, atomic among threads.
    std::mutex mutex_;
};

// Reserves a free name for an archived log in folder: "TVUT_" + UTC time +
// ".log", or with "_1", "_2", ... before ".log" when that name is taken, and
// creates it empty (owner read and write only) exclusively, so that no
// archived log is ever replaced. Returns its path; empty when none could be
// made. Any thread.
std::wstring ReserveArchivedLogName(const std::wstring& folder);

// Shorthand for the component's code: logs through the singleton.
#define UT_LOG(level, ...) CUTLoggerManager::GetInstance()->Log((level), __VA_ARGS__)

#endif  // TVUT_LOG_UTLOGGERMANAGER_H
