// CUTLoggerManager: the component's rolling diagnostic log.
//
// One per process (CUTSingleton), created by the first log call and kept until
// the process ends; CleanUp does not destroy it, so a later initialisation
// keeps the first settings. Until Init succeeds every call is skipped. Lines
// have the form "<level name padded to 6> | <local time> | pid:<pid> |
// tid:<tid> | <message>" and go to TVUTLog.log, which is archived as
// "TVUT_<utc time>.log" (with "_1", "_2", ... for further archives in the
// same second) before a write when it has grown past the maximum size or
// disappeared; archives beyond the maximum count are purged, oldest first.
// A message longer than the backend's record (4095 bytes of text) is cut and
// its line ends with " [cut]".
//
// Any thread may log; one lock makes each line and each rotation atomic.
// No call ever throws: every failure is swallowed and reported as a 0 result,
// which callers ignore. A log file that cannot be opened is retried at the
// next line (its folder is made again if it is missing), so logging recovers
// once the folder becomes writable.
#ifndef TVUT_LOG_UTLOGGERMANAGER_H
#define TVUT_LOG_UTLOGGERMANAGER_H

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "info/UTSingleton.h"

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

    // Formats with ACE's directives: %s, %W (wide), %d, %x, %Q, %f, %@.
    // Returns the last backend result, or 0 when the line was skipped.
    int Log(int level, const char* format, ...);
    int LogString(int level, const char* text);
    int LogWString(int level, const wchar_t* text);

    bool IsInitialised() const;
    int ConfiguredLevel() const;

private:
    int WriteLine(int level, const char* format, va_list args) noexcept;
    void PrepareLogFile();
    void RotateLogFile();
    void ArchiveLogFile();
    void PurgeArchivedLogs(const std::wstring& folder);
    void OpenLogFile();

    std::atomic<int> level_{0};
    std::wstring log_file_path_;
    std::atomic<bool> initialised_{false};
    int64_t max_size_ = 0;
    int max_count_ = 1;
    std::unique_ptr<CUTLoggerBackend> backend_;
    // Makes each line, and the rotation before it, atomic among threads.
    std::mutex mutex_;
};

// Shorthand for the component's code: logs through the singleton.
#define UT_LOG(level, ...) CUTLoggerManager::GetInstance()->Log((level), __VA_ARGS__)

#endif  // TVUT_LOG_UTLOGGERMANAGER_H
