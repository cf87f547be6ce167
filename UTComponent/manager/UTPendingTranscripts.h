// CUTPendingTranscripts: the files on disk that a send cycle carries.
//
// Transcripts are the regular files whose name ends in ".utt" directly in the
// "Transcripts" folder of each product folder of the user component folder;
// archived logs are the regular files whose name begins with "TVUT_" directly
// in the log folder. Names are matched on the file name, never on the whole
// path, and links, folders, pipes and temporary files ("<session>.tmp<hex>")
// are never taken, so a user root whose path happens to contain ".utt" or
// "TVUT_" changes nothing.
//
// Each folder is listed once, and the listing alone tells the regular files
// by name; no file is opened. A file's status (size, time, identity: one
// query, links not followed) is read only when it is needed: for the files
// a gathering examines until the budget is reached, and for every transcript
// only when there are more than the count to keep (then read relative to the
// open folder, with full paths made only for the files that go). The work
// grows with the number of files n as n log n at most (the sort of
// RemoveOldTranscripts).
//
// Gathering follows the payload budget: files are examined stage by stage
// (archived logs, then transcripts by product folder), in listing order; each
// one's size joins the running total, and the first file that takes the total
// past the budget is left out and ends its stage, even when smaller files
// follow. Sizes and the total are 64-bit.
//
// What identifies a version decides what may be removed (RemoveIfUnchanged).
// A file that was only listed (a trim, a stale archive) is the version the
// listing saw while its identity (device and inode), size and last write time
// are unchanged. A file gathered for an upload is removed only once the
// packer has recorded the count and CRC-32 of the bytes it packed, and then
// only while the file holds exactly those bytes: the server has those, and
// nothing else. Identity alone is not enough there: after two atomic
// replacements the newest version may get the inode the delivered one had,
// with the same size and a last write time within the same timestamp tick,
// and that never-sent version would be removed. So a transcript rewritten
// meanwhile (a crash recorded during the upload, the end time written by
// CleanUp) stays for the next cycle; a file the packer left out stays too.
//
// Threads: no shared state; the send cycle uses it under the sending lock,
// benchmarks and tools call it directly. Failures: a folder that cannot be
// listed yields nothing, a file that vanishes is skipped, a removal that fails
// leaves the file; nothing throws but std::bad_alloc.
#ifndef TVUT_MANAGER_UTPENDINGTRANSCRIPTS_H
#define TVUT_MANAGER_UTPENDINGTRANSCRIPTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CUTFileStatus;

// One file as its folder listing saw it, and, once an upload packed it, the
// bytes that upload carried.
struct CUTPendingFile {
    // What tells this version from a later one at the same path.
    enum class Proof {
        kListing,   // the status the listing saw: identity, size, last write time
        kGathered,  // taken for an upload, its packed bytes not on record: kept
        kPacked,    // the bytes an upload carried: their count and CRC-32
    };

    std::wstring path;
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t last_write_nanos = -1;
    Proof proof = Proof::kListing;
    // Valid with Proof::kPacked.
    uint64_t packed_size = 0;
    uint32_t packed_crc32 = 0;

    // Is status (of the same path, queried now) still this version of the
    // file: the same file, size and last write time?
    bool IsVersion(const CUTFileStatus& status) const;
    // What the packer read of this file: from now on only these bytes are
    // the version that was sent.
    void RecordPackedBytes(uint64_t count, uint32_t crc32);
};

// What one send cycle gathers.
struct CUTPayloadList {
    explicit CUTPayloadList(uint64_t budget_bytes) : budget(budget_bytes) {}

    // The most uncompressed bytes one upload carries.
    uint64_t budget;
    // The files taken, in gathering order.
    std::vector<CUTPendingFile> files;
    // Sizes of the files examined so far, the one that overran included.
    uint64_t total = 0;
    // Folder entries left out because their names are not text.
    size_t skipped_names = 0;
    // Files larger than the whole budget, left out: alone they could never
    // travel, and ending the stage at them would hold back every file after
    // them for ever. They stay until trimming removes them.
    std::vector<std::wstring> oversized;

    bool OverBudget() const { return total > budget; }
    // Leaves out a file larger than the budget (false never: the stage goes
    // on); else adds its size to the total and takes the file unless that
    // overruns the budget (as Proof::kGathered); false when the stage must
    // end.
    bool Take(const CUTPendingFile& file);
};

class CUTPendingTranscripts {
public:
    // component_folder: the user component folder (without a trailing
    // separator), whose subfolders are the product folders.
    explicit CUTPendingTranscripts(const std::wstring& component_folder);

    // The paths of every transcript: product folders and files in listing
    // order. Names that are not text are added to *skipped_names when given.
    std::vector<std::wstring> ListTranscripts(size_t* skipped_names = nullptr) const;

    // The file at path as it is now, links not followed; false when it is
    // not a regular file (any more).
    static bool Query(const std::wstring& path, CUTPendingFile* file);

    // Keeps at most max_count transcripts (none for a count below 1): removes
    // the oldest by last write time (nanoseconds; equal times by path), each
    // only while it is still the version that was listed, and logs "Remove
    // old transcript file %ls" for each. Returns the number removed.
    size_t RemoveOldTranscripts(int64_t max_count) const;

    // The transcript stage: walks the product folders and takes transcripts
    // into payload until one overruns the budget; logs "Transcript file size
    // is %d, over max size, do not send more transcript!" (level 5) with the
    // total when the stage ends over the budget.
    void GatherTranscripts(CUTPayloadList* payload) const;

    // The log stage: takes the archived logs of log_folder into payload until
    // one overruns the budget. An empty folder path takes nothing.
    static void GatherArchivedLogs(const std::wstring& log_folder, CUTPayloadList* payload);

    // Copies the current log file at log_file_path to a new archived-log
    // name beside it ("TVUT_" + UTC time + ".log", never replacing one that
    // exists), owner read and write only. Returns the copy's path; empty when
    // there is no log file or the copy failed (nothing is left behind then).
    static std::wstring CopyLogFile(const std::wstring& log_file_path);

    // Removes the upload archives ("{GUID}.zip") in component_folder that
    // were last written more than an hour ago: an archive lives only during
    // one send cycle, so such a file was left by a process that died during
    // one. Returns the paths removed.
    static std::vector<std::wstring> RemoveStaleArchives(const std::wstring& component_folder);

    // Removes every transcript, every upload archive whatever its age, and
    // the archived logs of the component folder (its log folder): the user
    // withdrew consent, and nothing of theirs may wait to be sent.
    // Returns the number of files removed.
    size_t RemoveEverything() const;
    // The names of the product folders, in listing order.
    std::vector<std::wstring> ProductFolderNames() const;

    // Removes the temporary transcript files ("<session>.tmp<hex>") that
    // writers which died left in the Transcripts folders, each folder under
    // its named lock (CMLSerializer::RemoveLeftTemporaryFiles), so that a
    // product that is never run again does not keep them. Folders without
    // such a name are only listed. Returns the paths removed.
    std::vector<std::wstring> RemoveLeftTemporaryFiles() const;

    // Removes file when the path still holds its version (see file.proof:
    // the listed status, or else exactly the packed bytes, read back whole;
    // a gathered file without packed bytes never), deciding and removing
    // under the lock writers of its folder hold; false (the file stays) when
    // it changed, vanished, cannot be read or removed, or the lock cannot be
    // had.
    static bool RemoveIfUnchanged(const CUTPendingFile& file);

    // Is name (a bare file name) a transcript's or an archived log's?
    static bool IsTranscriptName(const std::wstring& name);
    static bool IsArchivedLogName(const std::wstring& name);
    static bool IsUploadArchiveName(const std::wstring& name);

private:
    std::wstring component_folder_;
};

#endif  // TVUT_MANAGER_UTPENDINGTRANSCRIPTS_H
