// The services of CUTPlatform that are built on its other services, the same
// on every system. They call the virtual services of the platform they run
// on, so a test wrapper that fakes one of those fakes these too.
#include "platform/UTPlatform.h"

#include <cerrno>

namespace {

// Suffix of a temporary file beside its target: unique among writers, short.
std::wstring TemporarySuffix(CUTPlatform* platform) {
    std::wstring guid = platform->NewGuidText();
    std::wstring suffix = L".tmp";
    for (wchar_t c : guid) {
        if (c != L'{' && c != L'}' && c != L'-') {
            suffix.push_back(c);
        }
        if (suffix.size() >= 16) {
            break;
        }
    }
    return suffix;
}

}  // namespace

bool CUTPlatform::IsAbandonedTemporaryFile(const std::wstring& path) {
    CUTFileStatus status;
    if (!GetEntryStatus(path, &status) || status.last_write_nanos < 0) {
        return false;
    }
    const int64_t age = CurrentTimeSeconds() - status.last_write_nanos / 1000000000;
    return age > kAbandonedTemporarySeconds || age < -kAbandonedTemporarySeconds;
}

bool CUTPlatform::ReadWholeFile(const std::wstring& path, std::string* bytes, uint64_t max_bytes,
                                bool* too_large) {
    if (too_large != nullptr) {
        *too_large = false;
    }
    CUTFileStatus status;
    std::unique_ptr<CUTReadableFile> file = OpenForReading(path, &status);
    if (!file) {
        return false;
    }
    if (status.size > max_bytes) {
        if (too_large != nullptr) {
            *too_large = true;
        }
        return false;
    }
    // The file may grow while it is read: read at most one byte past the
    // limit, enough to tell.
    std::string data;
    char buffer[16384];
    for (;;) {
        const uint64_t room = max_bytes - data.size();
        const size_t want = room < sizeof(buffer) ? static_cast<size_t>(room) + 1 : sizeof(buffer);
        size_t count = 0;
        if (!file->Read(buffer, want, &count)) {
            return false;
        }
        data.append(buffer, count);
        if (data.size() > max_bytes) {
            if (too_large != nullptr) {
                *too_large = true;
            }
            return false;
        }
        if (count < want) {
            break;
        }
    }
    bytes->swap(data);
    return true;
}

bool CUTPlatform::ReplaceFileAtomically(const std::wstring& path, const std::string& bytes,
                                        int* error, uint32_t permissions) {
    int failure = EINVAL;
    if (!path.empty()) {
        // The temporary file lives beside the target so that the rename stays
        // within one file system; a symbolic link at the target is replaced,
        // never followed.
        const std::wstring temporary = path + TemporarySuffix(this);
        std::unique_ptr<CUTWritableFile> file =
            OpenForWriting(temporary, UTWriteMode::kCreateNew, permissions, &failure);
        if (file) {
            const bool written = file->Append(bytes.data(), bytes.size()) && file->Sync();
            if (!written) {
                failure = file->Error();
            }
            const bool closed = file->Close();
            if (written && !closed) {
                failure = file->Error();
            }
            if (written && closed) {
                if (RenameReplacing(temporary, path)) {
                    return true;
                }
                failure = errno != 0 ? errno : EIO;
            }
            RemoveFile(temporary);
        }
    }
    if (error != nullptr) {
        *error = failure;
    }
    return false;
}
