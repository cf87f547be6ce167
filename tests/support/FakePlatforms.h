// Platform fakes shared by several tests: each overrides one service of the
// real platform. Install with CUTScopedPlatform.
#ifndef TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H
#define TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/UTPlatform.h"

namespace tvut_test {

// The clock of every test that sets one: the time stands still at what Set
// gave, or runs with the real clock moved by what Advance gave. Every time
// tvUT writes (files, log lines, requests) comes from it. Any thread.
class ClockPlatform : public CUTPlatformWrapper {
public:
    ClockPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    // Stops the clock at seconds (and nanos) since 1970.
    void Set(int64_t seconds, int64_t nanos = 0) {
        fixed_.store(seconds * kNanosPerSecond + nanos);
    }
    // Lets the clock run again, seconds ahead of the real one.
    void Advance(int64_t seconds) {
        offset_.store(seconds * kNanosPerSecond);
        fixed_.store(kRunning);
    }
    int64_t CurrentTimeNanos() override {
        const int64_t fixed = fixed_.load();
        return fixed != kRunning ? fixed : target()->CurrentTimeNanos() + offset_.load();
    }

private:
    static constexpr int64_t kNanosPerSecond = 1000000000;
    static constexpr int64_t kRunning = INT64_MIN;
    std::atomic<int64_t> fixed_{kRunning};
    std::atomic<int64_t> offset_{0};
};

// A user without a home: the per-user root is unavailable.
class NoUserRootPlatform : public CUTPlatformWrapper {
public:
    NoUserRootPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    bool UserDataRoot(std::wstring*) override { return false; }
};

// A disk that fills up: while full, every write, sync and close of a file
// opened for writing fails with ENOSPC (files opened before the disk filled
// up too), and nothing reaches the file. Opening still succeeds, as it does
// on a real full disk. Any thread may switch it. Files opened through it
// share the disk's state, not the platform object, so a file kept open past
// the platform's scope (the log file of the process-wide logger) stays safe
// to use; once the platform is gone the disk counts as no longer full.
class FullDiskPlatform : public CUTPlatformWrapper {
public:
    FullDiskPlatform()
        : CUTPlatformWrapper(CUTPlatform::Default()), disk_(std::make_shared<DiskState>()) {}
    ~FullDiskPlatform() override { disk_->full.store(false); }

    void SetFull(bool full) { disk_->full.store(full); }
    bool IsFull() const { return disk_->full.load(); }
    // Writes refused so far.
    int RefusedWrites() const { return disk_->refused.load(); }

    CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode, uint32_t permissions,
                               std::unique_ptr<CUTWritableFile>* file) override {
        std::unique_ptr<CUTWritableFile> opened;
        const CUTOsStatus status = target()->OpenForWriting(path, mode, permissions, &opened);
        if (status) {
            file->reset(new FullDiskFile(disk_, std::move(opened)));
        }
        return status;
    }

private:
    struct DiskState {
        std::atomic<bool> full{false};
        std::atomic<int> refused{0};
    };

    class FullDiskFile : public CUTWritableFile {
    public:
        FullDiskFile(std::shared_ptr<DiskState> disk, std::unique_ptr<CUTWritableFile> file)
            : disk_(std::move(disk)), file_(std::move(file)) {}
        CUTOsStatus Append(const void* bytes, size_t size) override {
            return Refuse("write") ? Full("write") : file_->Append(bytes, size);
        }
        CUTOsStatus WriteAt(uint64_t offset, const void* bytes, size_t size) override {
            return Refuse("write") ? Full("write") : file_->WriteAt(offset, bytes, size);
        }
        CUTOsStatus Sync() override { return Refuse("sync") ? Full("sync") : file_->Sync(); }
        CUTOsStatus Truncate(uint64_t size) override { return file_->Truncate(size); }
        CUTOsStatus Status(CUTFileStatus* status) override { return file_->Status(status); }
        CUTOsStatus Close() override {
            const bool full = disk_->full.load();
            const CUTOsStatus closed = file_->Close();
            return full ? Full("close") : closed;
        }

    private:
        static CUTOsStatus Full(const char* operation) {
            return CUTOsStatus::Failure(operation, UTOsError::kNoSpace, ENOSPC);
        }
        // True when the disk is full: the call is refused.
        bool Refuse(const char*) {
            if (!disk_->full.load()) {
                return false;
            }
            disk_->refused.fetch_add(1);
            return true;
        }

        std::shared_ptr<DiskState> disk_;
        std::unique_ptr<CUTWritableFile> file_;
    };

    std::shared_ptr<DiskState> disk_;
};

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H
