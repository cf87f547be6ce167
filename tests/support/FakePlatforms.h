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
// on a real full disk. Any thread may switch it.
class FullDiskPlatform : public CUTPlatformWrapper {
public:
    FullDiskPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}

    void SetFull(bool full) { full_.store(full); }
    bool IsFull() const { return full_.load(); }
    // Writes refused so far.
    int RefusedWrites() const { return refused_.load(); }

    std::unique_ptr<CUTWritableFile> OpenForWriting(const std::wstring& path, UTWriteMode mode,
                                                    uint32_t permissions, int* error) override {
        std::unique_ptr<CUTWritableFile> file =
            target()->OpenForWriting(path, mode, permissions, error);
        if (!file) {
            return nullptr;
        }
        return std::unique_ptr<CUTWritableFile>(new FullDiskFile(this, std::move(file)));
    }

private:
    class FullDiskFile : public CUTWritableFile {
    public:
        FullDiskFile(FullDiskPlatform* disk, std::unique_ptr<CUTWritableFile> file)
            : disk_(disk), file_(std::move(file)) {}
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
            const bool full = disk_->IsFull();
            const bool closed = Forward(file_->Close());
            return full ? Fail(ENOSPC) : closed;
        }

    private:
        // True when the disk is full: the call is refused with ENOSPC.
        bool Refuse() {
            if (!disk_->IsFull()) {
                return false;
            }
            disk_->refused_.fetch_add(1);
            Fail(ENOSPC);
            return true;
        }
        bool Forward(bool ok) { return ok || Fail(file_->Error()); }

        FullDiskPlatform* disk_;
        std::unique_ptr<CUTWritableFile> file_;
    };

    std::atomic<bool> full_{false};
    std::atomic<int> refused_{0};
};

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H
