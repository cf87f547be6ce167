// The helpers declared beside CUTPlatform, the same on every system. They call
// the virtual services of the platform they are given, so a test wrapper that
// fakes one of those fakes these too.
#include "platform/UTPlatform.h"

#include <cstdio>
#include <ctime>

namespace {

// ".tmp" and 12 hexadecimal digits of a new GUID: unique among writers,
// short. Empty when no GUID can be made.
std::wstring TemporarySuffix(CUTPlatform* platform) {
    std::wstring suffix = L".tmp";
    for (wchar_t c : platform->NewGuidText()) {
        if (c != L'{' && c != L'}' && c != L'-') {
            suffix.push_back(c);
        }
        if (suffix.size() >= 16) {
            return suffix;
        }
    }
    return std::wstring();
}

}  // namespace

std::string CUTOsStatus::ToString() const {
    if (ok()) {
        return "ok";
    }
    std::string text = operation_;
    text += ": ";
    text += code_ != 0 ? OsErrorText(code_) : std::string("failed");
    if (code_ != 0) {
        text += " (" + std::to_string(code_) + ")";
    }
    return text;
}

bool FileExists(CUTPlatform* platform, const std::wstring& path) {
    CUTFileStatus status;
    return !path.empty() && platform->GetFileStatus(path, &status).ok();
}

bool IsFolder(CUTPlatform* platform, const std::wstring& path) {
    CUTFileStatus status;
    return !path.empty() && platform->GetFileStatus(path, &status).ok() && status.is_folder;
}

uint32_t FileSize(CUTPlatform* platform, const std::wstring& path) {
    CUTFileStatus status;
    if (path.empty() || !platform->GetFileStatus(path, &status) || !status.is_regular_file) {
        return 0;
    }
    return static_cast<uint32_t>(status.size);
}

int64_t CurrentTimeSeconds(CUTPlatform* platform) {
    const int64_t nanos = platform->CurrentTimeNanos();
    // Rounds towards the past, as time(2) does, before 1970 too.
    return nanos >= 0 ? nanos / 1000000000 : -((-nanos + 999999999) / 1000000000);
}

std::wstring UtcFileTimeText(CUTPlatform* platform) {
    const time_t now = static_cast<time_t>(CurrentTimeSeconds(platform));
    std::tm utc;
#ifdef _WIN32
    if (gmtime_s(&utc, &now) != 0) {
        return std::wstring();
    }
#else
    if (gmtime_r(&now, &utc) == nullptr) {
        return std::wstring();
    }
#endif
    char text[64];
    std::snprintf(text, sizeof(text), "%d_%d_%d_%d_%d_%d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

std::vector<std::wstring> ListFiles(CUTPlatform* platform, const std::wstring& folder,
                                    const std::wstring& text) {
    std::vector<std::wstring> files;
    std::vector<CUTFolderEntry> entries;
    if (!platform->ListFolder(folder, UTListing::kEveryEntry, nullptr, &entries)) {
        return files;
    }
    const std::wstring prefix = WithoutTrailingSeparator(folder) + kPathSeparator;
    // The text first: a transcript write lists a folder that may hold
    // hundreds of transcripts, and only the few names that match need a
    // status query (what a link leads to counts).
    for (CUTFolderEntry& entry : entries) {
        std::wstring path = prefix + entry.name;
        if (entry.kind == UTEntryKind::kFolder || path.find(text) == std::wstring::npos) {
            continue;
        }
        CUTFileStatus status;
        if (entry.kind == UTEntryKind::kRegularFile || !platform->GetFileStatus(path, &status) ||
            !status.is_folder) {
            files.push_back(std::move(path));
        }
    }
    return files;
}

bool CreateFolderTree(CUTPlatform* platform, const std::wstring& path) {
    const std::wstring folder = WithoutTrailingSeparator(path);
    if (folder.empty()) {
        return false;
    }
    CUTFileStatus status;
    if (platform->GetFileStatus(folder, &status)) {
        return status.is_folder;  // a file in the way is never replaced
    }
    const std::wstring parent = ParentFolderOf(folder);
    if (!parent.empty()) {
        if (!IsFolder(platform, parent) && !CreateFolderTree(platform, parent)) {
            return false;
        }
    }
    // Another process may create it at the same moment: what counts is that
    // the folder exists afterwards.
    platform->CreateFolder(folder);
    return IsFolder(platform, folder);
}

CUTOsStatus ReadWholeFile(CUTPlatform* platform, const std::wstring& path, std::string* bytes,
                          uint64_t max_bytes) {
    CUTFileStatus status;
    std::unique_ptr<CUTReadableFile> file;
    CUTOsStatus opened = platform->OpenForReading(path, &status, &file);
    if (!opened) {
        return opened;
    }
    const CUTOsStatus too_large = CUTOsStatus::Failure("read", UTOsError::kTooLarge);
    if (status.size > max_bytes) {
        return too_large;
    }
    // The file may grow while it is read: read at most one byte past the
    // limit, enough to tell.
    std::string data;
    char buffer[16384];
    for (;;) {
        const uint64_t room = max_bytes - data.size();
        const size_t want = room < sizeof(buffer) ? static_cast<size_t>(room) + 1 : sizeof(buffer);
        size_t count = 0;
        CUTOsStatus read = file->Read(buffer, want, &count);
        if (!read) {
            return read;
        }
        data.append(buffer, count);
        if (data.size() > max_bytes) {
            return too_large;
        }
        if (count < want) {
            break;
        }
    }
    bytes->swap(data);
    return CUTOsStatus();
}

CUTOsStatus ReplaceFileAtomically(CUTPlatform* platform, const std::wstring& path,
                                  const std::string& bytes, uint32_t permissions,
                                  const std::wstring& temporary_path) {
    if (path.empty()) {
        return CUTOsStatus::Failure("replace", UTOsError::kInvalid);
    }
    // The temporary file lives beside the target so that the rename stays
    // within one file system; a symbolic link at the target is replaced,
    // never followed.
    const std::wstring suffix = temporary_path.empty() ? TemporarySuffix(platform) : L"";
    if (temporary_path.empty() && suffix.empty()) {
        return CUTOsStatus::Failure("name a temporary file", UTOsError::kOther);
    }
    const std::wstring temporary = temporary_path.empty() ? path + suffix : temporary_path;
    std::unique_ptr<CUTWritableFile> file;
    CUTOsStatus result =
        platform->OpenForWriting(temporary, UTWriteMode::kCreateNew, permissions, &file);
    if (!result) {
        return result;
    }
    result = file->Append(bytes.data(), bytes.size());
    if (result) {
        result = file->Sync();
    }
    // Close can report a failure of its own (a full disk may only show here).
    const CUTOsStatus closed = file->Close();
    if (result && !closed) {
        result = closed;
    }
    if (result) {
        result = platform->RenameReplacing(temporary, path);
        if (result) {
            return result;
        }
    }
    platform->RemoveFile(temporary);
    return result;
}

bool IsAbandonedTemporaryFile(CUTPlatform* platform, const std::wstring& path) {
    CUTFileStatus status;
    if (!platform->GetEntryStatus(path, &status) || status.last_write_nanos < 0) {
        return false;
    }
    const int64_t age = CurrentTimeSeconds(platform) - status.last_write_nanos / 1000000000;
    return age > kAbandonedTemporarySeconds || age < -kAbandonedTemporarySeconds;
}
