// Platform fakes shared by several tests: each overrides one service of the
// real platform. Install with CUTScopedPlatform.
#ifndef TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H
#define TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>

#include "platform/UTPlatform.h"

namespace tvut_test {

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

    std::unique_ptr<CUTWritableFile> OpenForWriting(const std::wstring& path, UTWriteMode mode,
                                                    uint32_t permissions, int* error) override {
        std::unique_ptr<CUTWritableFile> file =
            target()->OpenForWriting(path, mode, permissions, error);
        if (!file) {
            return nullptr;
        }
        return std::unique_ptr<CUTWritableFile>(new FullDiskFile(disk_, std::move(file)));
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
        bool Append(const void* bytes, size_t size) override {
            return !Refuse() && Forward(file_->Append(bytes, size));
        }
        bool WriteAt(uint64_t offset, const void* bytes, size_t size) override {
            return !Refuse() && Forward(file_->WriteAt(offset, bytes, size));
        }
        bool Flush() override { return Forward(file_->Flush()); }
        bool Sync() override { return !Refuse() && Forward(file_->Sync()); }
        bool Truncate(uint64_t size) override { return Forward(file_->Truncate(size)); }
        bool Status(CUTFileStatus* status) override { return Forward(file_->Status(status)); }
        bool Close() override {
            const bool full = disk_->full.load();
            const bool closed = Forward(file_->Close());
            return full ? Fail(ENOSPC) : closed;
        }

    private:
        // True when the disk is full: the call is refused with ENOSPC.
        bool Refuse() {
            if (!disk_->full.load()) {
                return false;
            }
            disk_->refused.fetch_add(1);
            Fail(ENOSPC);
            return true;
        }
        bool Forward(bool ok) { return ok || Fail(file_->Error()); }

        std::shared_ptr<DiskState> disk_;
        std::unique_ptr<CUTWritableFile> file_;
    };

    std::shared_ptr<DiskState> disk_;
};

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H
