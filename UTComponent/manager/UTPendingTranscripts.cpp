#include "manager/UTPendingTranscripts.h"

#include <algorithm>
#include <memory>
#include <tuple>

#include "config/UTConfigPaths.h"
#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"

namespace {

const wchar_t kTranscriptSuffix[] = L".utt";
const size_t kTranscriptSuffixLength = 4;
const wchar_t kArchivedLogPrefix[] = L"TVUT_";
const size_t kArchivedLogPrefixLength = 5;

constexpr size_t kCopyPieceSize = 64 * 1024;

std::wstring NameOf(const std::wstring& path) {
    const size_t separator = path.rfind(kPathSeparator);
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t separator = path.rfind(kPathSeparator);
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

CUTPendingFile PendingFile(const CUTFolderEntry& entry) {
    CUTPendingFile file;
    file.path = entry.path;
    file.size = entry.status.size;
    file.device = entry.status.device;
    file.inode = entry.status.inode;
    file.last_write_nanos = entry.status.last_write_nanos;
    return file;
}

// The regular files (links not followed) directly in folder whose names
// match, in listing order; calls take(file) for each until it returns false.
template <class Match, class Take>
void ForEachFile(const std::wstring& folder, Match match, size_t* skipped_names, Take take) {
    if (folder.empty()) {
        return;
    }
    size_t skipped = 0;
    const std::vector<CUTFolderEntry> entries =
        CUTPlatform::Current()->WalkFolder(folder, &skipped);
    if (skipped_names != nullptr) {
        *skipped_names += skipped;
    }
    for (const CUTFolderEntry& entry : entries) {
        if (!entry.has_status || entry.is_link || !entry.status.is_regular_file) {
            continue;
        }
        if (!match(NameOf(entry.path))) {
            continue;
        }
        if (!take(PendingFile(entry))) {
            return;
        }
    }
}

// The "Transcripts" folders of the product folders (real folders, not links)
// of component_folder, in listing order.
std::vector<std::wstring> TranscriptFolders(const std::wstring& component_folder,
                                            size_t* skipped_names) {
    std::vector<std::wstring> folders;
    if (component_folder.empty()) {
        return folders;
    }
    size_t skipped = 0;
    for (const CUTFolderEntry& entry :
         CUTPlatform::Current()->WalkFolder(component_folder, &skipped)) {
        if (entry.has_status && !entry.is_link && entry.status.is_folder) {
            folders.push_back(entry.path + kPathSeparator + kTranscriptFolderName);
        }
    }
    if (skipped_names != nullptr) {
        *skipped_names += skipped;
    }
    return folders;
}

// Copies source's bytes into target, which exists and is empty.
bool CopyBytes(const std::wstring& source, const std::wstring& target) {
    CUTPlatform* platform = CUTPlatform::Current();
    CUTFileStatus status;
    std::unique_ptr<CUTReadableFile> in = platform->OpenForReading(source, &status);
    if (!in) {
        return false;
    }
    std::unique_ptr<CUTWritableFile> out =
        platform->OpenForWriting(target, UTWriteMode::kTruncate, 0600, nullptr);
    if (!out) {
        return false;
    }
    std::unique_ptr<char[]> piece(new char[kCopyPieceSize]);
    for (;;) {
        size_t count = 0;
        if (!in->Read(piece.get(), kCopyPieceSize, &count)) {
            return false;
        }
        if (count == 0) {
            break;
        }
        if (!out->Append(piece.get(), count)) {
            return false;
        }
        if (count < kCopyPieceSize) {
            break;
        }
    }
    return out->Close();
}

}  // namespace

bool CUTPendingFile::IsVersion(const CUTFileStatus& status) const {
    return status.is_regular_file && status.device == device && status.inode == inode &&
           status.size == size && status.last_write_nanos == last_write_nanos;
}

bool CUTPayloadList::Take(const CUTPendingFile& file) {
    total = file.size > UINT64_MAX - total ? UINT64_MAX : total + file.size;
    if (OverBudget()) {
        return false;
    }
    files.push_back(file);
    return true;
}

CUTPendingTranscripts::CUTPendingTranscripts(const std::wstring& component_folder)
    : component_folder_(WithoutTrailingSeparator(component_folder)) {}

bool CUTPendingTranscripts::IsTranscriptName(const std::wstring& name) {
    return name.size() > kTranscriptSuffixLength &&
           name.compare(name.size() - kTranscriptSuffixLength, kTranscriptSuffixLength,
                        kTranscriptSuffix) == 0;
}

bool CUTPendingTranscripts::IsArchivedLogName(const std::wstring& name) {
    return name.size() > kArchivedLogPrefixLength &&
           name.compare(0, kArchivedLogPrefixLength, kArchivedLogPrefix) == 0;
}

std::vector<CUTPendingFile> CUTPendingTranscripts::ListTranscripts(size_t* skipped_names) const {
    std::vector<CUTPendingFile> files;
    for (const std::wstring& folder : TranscriptFolders(component_folder_, skipped_names)) {
        ForEachFile(folder, IsTranscriptName, skipped_names, [&files](const CUTPendingFile& file) {
            files.push_back(file);
            return true;
        });
    }
    return files;
}

size_t CUTPendingTranscripts::RemoveOldTranscripts(int64_t max_count) const {
    std::vector<CUTPendingFile> files = ListTranscripts();
    const uint64_t keep = max_count < 1 ? 0 : static_cast<uint64_t>(max_count);
    if (files.size() <= keep) {
        return 0;
    }
    const size_t surplus = files.size() - static_cast<size_t>(keep);
    // Only the surplus needs ordering; equal times are ordered by path so
    // that every process picks the same files.
    std::partial_sort(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(surplus),
                      files.end(), [](const CUTPendingFile& a, const CUTPendingFile& b) {
                          return std::tie(a.last_write_nanos, a.path) <
                                 std::tie(b.last_write_nanos, b.path);
                      });
    size_t removed = 0;
    for (size_t i = 0; i < surplus; ++i) {
        // A transcript rewritten since the listing is a session's newest
        // state, no longer an old file.
        if (RemoveIfUnchanged(files[i])) {
            UT_LOG(UT_LOG_DEVDBG, "Remove old transcript file %W", files[i].path.c_str());
            ++removed;
        }
    }
    return removed;
}

void CUTPendingTranscripts::GatherTranscripts(CUTPayloadList* payload) const {
    for (const std::wstring& folder :
         TranscriptFolders(component_folder_, &payload->skipped_names)) {
        ForEachFile(folder, IsTranscriptName, &payload->skipped_names,
                    [payload](const CUTPendingFile& file) { return payload->Take(file); });
        if (payload->OverBudget()) {
            UT_LOG(UT_LOG_DEVDBG,
                   "Transcript file size is %Q, over max size, do not send more transcript!",
                   static_cast<uint64_t>(payload->total));
            return;
        }
    }
}

void CUTPendingTranscripts::GatherArchivedLogs(const std::wstring& log_folder,
                                               CUTPayloadList* payload) {
    ForEachFile(WithoutTrailingSeparator(log_folder), IsArchivedLogName, &payload->skipped_names,
                [payload](const CUTPendingFile& file) { return payload->Take(file); });
}

std::wstring CUTPendingTranscripts::CopyLogFile(const std::wstring& log_file_path) {
    CUTPlatform* platform = CUTPlatform::Current();
    CUTFileStatus status;
    if (log_file_path.empty() || !platform->GetFileStatus(log_file_path, &status) ||
        !status.is_regular_file) {
        return std::wstring();
    }
    const std::wstring copy = ReserveArchivedLogName(FolderOf(log_file_path));
    if (copy.empty()) {
        return std::wstring();
    }
    if (!CopyBytes(log_file_path, copy)) {
        platform->RemoveFile(copy);
        return std::wstring();
    }
    return copy;
}

bool CUTPendingTranscripts::RemoveIfUnchanged(const CUTPendingFile& file) {
    CUTPlatform* platform = CUTPlatform::Current();
    CUTFileStatus now;
    if (!platform->GetFileStatus(file.path, &now) || !file.IsVersion(now)) {
        return false;
    }
    return platform->RemoveFile(file.path);
}
