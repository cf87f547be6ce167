#include "manager/UTPendingTranscripts.h"

#include "base/UTFileNames.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <tuple>

#include "UT/UTProcessState.h"
#include "config/UTConfigPaths.h"
#include "log/UTLoggerManager.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"
#include "transcript/MLSerializer.h"

namespace {

// CleanUp raised the stop flag: a walk over many thousands of files (a
// trim, a gathering) ends at once instead of holding the host's exit.
bool Stopping() {
    return CUTProcessState::stop.load();
}

constexpr size_t kCopyPieceSize = 64 * 1024;
constexpr size_t kCheckPieceSize = 16 * 1024;

// "{" + 36 characters of a GUID + "}" + ".zip"
constexpr size_t kUploadArchiveNameLength = 42;
const wchar_t kUploadArchiveSuffix[] = L"}.zip";
// An upload lasts seconds; an archive this old has no cycle using it.
constexpr int64_t kStaleArchiveSeconds = 3600;

// The regular files (links not followed) directly in folder whose names
// match, in listing order, without a status query: calls take(path) for each
// until it returns false.
template <class Take>
void ForEachFile(const std::wstring& folder, bool (*match)(const std::wstring&),
                 size_t* skipped_names, Take take) {
    if (folder.empty()) {
        return;
    }
    size_t skipped = 0;
    std::vector<CUTFolderEntry> entries;
    CUTPlatform::Current()->ListFolder(folder, UTListing::kRegularFiles, match, &entries, &skipped);
    if (skipped_names != nullptr) {
        *skipped_names += skipped;
    }
    for (const CUTFolderEntry& entry : entries) {
        if (Stopping() || !take(folder + kPathSeparator + entry.name)) {
            return;
        }
    }
}

// ForEachFile for a budget: each file's status is read as it is examined.
void GatherFiles(const std::wstring& folder, bool (*match)(const std::wstring&),
                 CUTPayloadList* payload) {
    ForEachFile(folder, match, &payload->skipped_names, [payload](const std::wstring& path) {
        CUTPendingFile file;
        // Gone or replaced by something else since the listing: not taken.
        return !CUTPendingTranscripts::Query(path, &file) || payload->Take(file);
    });
}

// The product folders (real folders, not links) of component_folder, in
// listing order.
std::vector<std::wstring> ProductFolders(const std::wstring& component_folder,
                                         size_t* skipped_names) {
    std::vector<std::wstring> folders;
    if (component_folder.empty()) {
        return folders;
    }
    size_t skipped = 0;
    std::vector<CUTFolderEntry> entries;
    CUTPlatform::Current()->ListFolder(component_folder, UTListing::kEveryEntry, nullptr, &entries,
                                       &skipped);
    const std::wstring prefix = WithoutTrailingSeparator(component_folder) + kPathSeparator;
    for (const CUTFolderEntry& entry : entries) {
        if (entry.kind == UTEntryKind::kFolder) {
            folders.push_back(prefix + entry.name);
        }
    }
    if (skipped_names != nullptr) {
        *skipped_names += skipped;
    }
    return folders;
}

// Their "Transcripts" folders.
std::vector<std::wstring> TranscriptFolders(const std::wstring& component_folder,
                                            size_t* skipped_names) {
    std::vector<std::wstring> folders = ProductFolders(component_folder, skipped_names);
    for (std::wstring& folder : folders) {
        folder += kPathSeparator;
        folder += kTranscriptFolderName;
    }
    return folders;
}

// The version of the file at path that status describes.
CUTPendingFile PendingFile(std::wstring path, const CUTFileStatus& status) {
    CUTPendingFile file;
    file.path = std::move(path);
    file.size = status.size;
    file.device = status.device;
    file.inode = status.inode;
    file.last_write_nanos = status.last_write_nanos;
    return file;
}

// Copies source's bytes into target, which exists and is empty.
bool CopyBytes(const std::wstring& source, const std::wstring& target) {
    CUTPlatform* platform = CUTPlatform::Current();
    CUTFileStatus status;
    std::unique_ptr<CUTReadableFile> in;
    std::unique_ptr<CUTWritableFile> out;
    if (!platform->OpenForReading(source, &status, &in) ||
        !platform->OpenForWriting(target, UTWriteMode::kTruncate, 0600, &out)) {
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
    return out->Close().ok();
}

// Does the open file hold exactly count bytes with this CRC-32? Reads at
// most one byte past count: enough to tell a longer file, and a file that
// grew without bound costs no more than the one that was sent.
bool HoldsBytes(CUTReadableFile* in, uint64_t count, uint32_t expected_crc) {
    unsigned char piece[kCheckPieceSize];
    uint64_t seen = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        const uint64_t room = count - seen;
        const size_t want = room < sizeof piece ? static_cast<size_t>(room) + 1 : sizeof piece;
        size_t n = 0;
        if (!in->Read(piece, want, &n)) {
            return false;
        }
        seen += n;
        if (seen > count) {
            return false;
        }
        crc = crc32(crc, piece, static_cast<uInt>(n));
        if (n < want) {
            break;
        }
    }
    return seen == count && static_cast<uint32_t>(crc) == expected_crc;
}

}  // namespace

void CUTPendingFile::RecordPackedBytes(uint64_t count, uint32_t crc32) {
    proof = Proof::kPacked;
    packed_size = count;
    packed_crc32 = crc32;
}

bool CUTPendingFile::IsVersion(const CUTFileStatus& status) const {
    return status.is_regular_file && status.device == device && status.inode == inode &&
           status.size == size && status.last_write_nanos == last_write_nanos;
}

bool CUTPayloadList::Take(const CUTPendingFile& file) {
    if (file.size > budget) {
        oversized.push_back(file.path);
        return true;
    }
    total = file.size > UINT64_MAX - total ? UINT64_MAX : total + file.size;
    if (OverBudget()) {
        return false;
    }
    files.push_back(file);
    files.back().proof = CUTPendingFile::Proof::kGathered;
    return true;
}

CUTPendingTranscripts::CUTPendingTranscripts(const std::wstring& component_folder)
    : component_folder_(WithoutTrailingSeparator(component_folder)) {}

bool CUTPendingTranscripts::IsTranscriptName(const std::wstring& name) {
    return IsTranscriptFileName(name);
}

bool CUTPendingTranscripts::IsArchivedLogName(const std::wstring& name) {
    return IsArchivedLogFileName(name);
}

bool CUTPendingTranscripts::IsUploadArchiveName(const std::wstring& name) {
    const size_t suffix = sizeof(kUploadArchiveSuffix) / sizeof(wchar_t) - 1;
    return name.size() == kUploadArchiveNameLength && name[0] == L'{' &&
           name.compare(name.size() - suffix, suffix, kUploadArchiveSuffix) == 0;
}

std::vector<std::wstring> CUTPendingTranscripts::RemoveStaleArchives(
    const std::wstring& component_folder) {
    std::vector<std::wstring> removed;
    const int64_t now = CurrentTimeSeconds(CUTPlatform::Current());
    ForEachFile(WithoutTrailingSeparator(component_folder), IsUploadArchiveName, nullptr,
                [&](const std::wstring& path) {
                    CUTPendingFile file;
                    if (!Query(path, &file)) {
                        return true;
                    }
                    // Dated in the future by more than the age: left by a
                    // killed upload before the clock was set back.
                    const int64_t age = now - file.last_write_nanos / 1000000000;
                    if ((age > kStaleArchiveSeconds || age < -kStaleArchiveSeconds) &&
                        RemoveIfUnchanged(file)) {
                        removed.push_back(path);
                    }
                    return true;
                });
    return removed;
}

size_t CUTPendingTranscripts::RemoveEverything() const {
    size_t removed = 0;
    CUTPlatform* platform = CUTPlatform::Current();
    for (const std::wstring& path : ListTranscripts()) {
        removed += platform->RemoveFile(path) ? 1 : 0;
    }
    // The archived logs travel with a pre-release product's next upload.
    for (auto* is_name :
         {&CUTPendingTranscripts::IsUploadArchiveName, &CUTPendingTranscripts::IsArchivedLogName}) {
        ForEachFile(component_folder_, is_name, nullptr, [&](const std::wstring& path) {
            removed += platform->RemoveFile(path) ? 1 : 0;
            return true;
        });
    }
    return removed;
}

std::vector<std::wstring> CUTPendingTranscripts::ListTranscripts(size_t* skipped_names) const {
    std::vector<std::wstring> paths;
    for (const std::wstring& folder : TranscriptFolders(component_folder_, skipped_names)) {
        ForEachFile(folder, IsTranscriptName, skipped_names, [&paths](const std::wstring& path) {
            paths.push_back(path);
            return true;
        });
    }
    return paths;
}

std::vector<std::wstring> CUTPendingTranscripts::ProductFolderNames() const {
    std::vector<std::wstring> names = ProductFolders(component_folder_, nullptr);
    for (std::wstring& name : names) {
        name = FileNameOf(name);
    }
    return names;
}

std::vector<std::wstring> CUTPendingTranscripts::RemoveLeftTemporaryFiles() const {
    std::vector<std::wstring> removed;
    for (const std::wstring& folder : TranscriptFolders(component_folder_, nullptr)) {
        std::vector<CUTFolderEntry> temporaries;
        CUTPlatform::Current()->ListFolder(folder, UTListing::kRegularFiles,
                                           CMLSerializer::IsTemporaryFileName, &temporaries);
        if (!temporaries.empty()) {
            // The lock tells a dead writer's file from a live writer's.
            for (std::wstring& path : CMLSerializer::RemoveLeftTemporaryFiles(folder)) {
                removed.push_back(std::move(path));
            }
        }
    }
    return removed;
}

bool CUTPendingTranscripts::Query(const std::wstring& path, CUTPendingFile* file) {
    CUTFileStatus status;
    if (!CUTPlatform::Current()->GetEntryStatus(path, &status) || !status.is_regular_file) {
        return false;
    }
    *file = PendingFile(path, status);
    return true;
}

size_t CUTPendingTranscripts::RemoveOldTranscripts(int64_t max_count) const {
    CUTPlatform* platform = CUTPlatform::Current();
    const uint64_t keep = max_count < 1 ? 0 : static_cast<uint64_t>(max_count);
    const std::vector<std::wstring> folders = TranscriptFolders(component_folder_, nullptr);
    // Counting needs the names alone; times only when some must go.
    size_t count = 0;
    std::vector<CUTFolderEntry> entries;
    for (const std::wstring& folder : folders) {
        platform->ListFolder(folder, UTListing::kRegularFiles, IsTranscriptName, &entries);
        count += entries.size();
    }
    if (count <= keep) {
        return 0;
    }
    // Each folder listed again with every transcript's status; full paths
    // only for the files that go.
    struct Listed {
        size_t folder;
        CUTFolderEntry file;
    };
    std::vector<Listed> listed;
    listed.reserve(count);
    for (size_t i = 0; i < folders.size(); ++i) {
        platform->ListFolder(folders[i], UTListing::kRegularFilesWithStatus, IsTranscriptName,
                             &entries);
        for (CUTFolderEntry& file : entries) {
            listed.push_back(Listed{i, std::move(file)});
        }
    }
    if (listed.size() <= keep) {
        return 0;
    }
    const size_t surplus = listed.size() - static_cast<size_t>(keep);
    // Only the surplus needs ordering; equal times are ordered by folder and
    // name so that every process picks the same files.
    std::partial_sort(
        listed.begin(), listed.begin() + static_cast<std::ptrdiff_t>(surplus), listed.end(),
        [&folders](const Listed& a, const Listed& b) {
            return std::tie(a.file.status.last_write_nanos, folders[a.folder], a.file.name) <
                   std::tie(b.file.status.last_write_nanos, folders[b.folder], b.file.name);
        });
    size_t removed = 0;
    for (size_t i = 0; i < surplus && !Stopping(); ++i) {
        const CUTPendingFile file =
            PendingFile(folders[listed[i].folder] + kPathSeparator + listed[i].file.name,
                        listed[i].file.status);
        // A transcript rewritten since the listing is a session's newest
        // state, no longer an old file.
        if (RemoveIfUnchanged(file)) {
            UT_LOG(UT_LOG_DEVDBG, "Remove old transcript file %ls", file.path.c_str());
            ++removed;
        }
    }
    return removed;
}

void CUTPendingTranscripts::GatherTranscripts(CUTPayloadList* payload) const {
    for (const std::wstring& folder :
         TranscriptFolders(component_folder_, &payload->skipped_names)) {
        GatherFiles(folder, IsTranscriptName, payload);
        if (payload->OverBudget()) {
            UT_LOG(UT_LOG_DEVDBG,
                   "Transcript file size is %llu, over max size, do not send more transcript!",
                   static_cast<unsigned long long>(payload->total));
            return;
        }
    }
}

void CUTPendingTranscripts::GatherArchivedLogs(const std::wstring& log_folder,
                                               CUTPayloadList* payload) {
    GatherFiles(WithoutTrailingSeparator(log_folder), IsArchivedLogName, payload);
}

std::wstring CUTPendingTranscripts::CopyLogFile(const std::wstring& log_file_path) {
    CUTPlatform* platform = CUTPlatform::Current();
    CUTFileStatus status;
    if (log_file_path.empty() || !platform->GetFileStatus(log_file_path, &status) ||
        !status.is_regular_file) {
        return std::wstring();
    }
    const std::wstring copy = ReserveArchivedLogName(ParentFolderOf(log_file_path));
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
    // Gathered but not packed: nothing says what the server has of it.
    if (file.proof == CUTPendingFile::Proof::kGathered) {
        return false;
    }
    // Checked and removed under the lock that writers of the folder hold
    // while they replace a transcript: a version written between the check
    // and the removal would otherwise be the one removed, never delivered.
    // Without the lock the file stays (it may travel twice, never not at all).
    const std::wstring folder = ParentFolderOf(file.path);
    if (folder.empty()) {
        return false;
    }
    CUTNamedLockGuard guard(FileLockName(folder));
    if (!guard.IsHeld()) {
        return false;
    }
    // Another file, size or time: surely not what was sent. The same ones
    // prove nothing for a sent file (an inode freed by one replacement may be
    // given to the next), so its bytes are read back and must be the packed
    // ones.
    CUTFileStatus now;
    if (!platform->GetEntryStatus(file.path, &now) || !file.IsVersion(now)) {
        return false;
    }
    if (file.proof == CUTPendingFile::Proof::kPacked) {
        CUTFileStatus opened;
        std::unique_ptr<CUTReadableFile> in;
        if (!platform->OpenForReading(file.path, &opened, &in) || !file.IsVersion(opened) ||
            !HoldsBytes(in.get(), file.packed_size, file.packed_crc32)) {
            return false;
        }
        // Closed before the removal: an open file may not be removable.
        in.reset();
    }
    return platform->RemoveFile(file.path).ok();
}
