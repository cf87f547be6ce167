// CUTParsedFiles: what this process parsed of each settings file, kept while
// the file is unchanged, so that a reader who finds the same file again
// neither reads nor parses it, and the probe of whether it may be updated is
// not repeated.
//
// A file counts as unchanged while its identity (device and inode), size,
// permissions, last write and last status change are what they were. Every
// writer of ours replaces a file by rename, so a save by any process shows as
// another inode and a newer change time. Two edits within one tick of the
// file system's clock could look alike, as could a file that reuses a freed
// inode: so a document is kept only when the file's last change was at least
// kUnchangedSeconds before the read began, which puts any later edit on
// another tick. A file written in the last seconds is simply parsed again.
//
// Any thread: one mutex guards the table; documents are shared read-only.
// Nothing here fails but memory exhaustion, which the callers' own guards
// catch. Freed when the library unloads (Release).
#ifndef TVUT_CONFIG_UTPARSEDFILES_H
#define TVUT_CONFIG_UTPARSEDFILES_H

#include <cstdint>
#include <memory>
#include <string>

class TiXmlDocument;
struct CUTFileStatus;

// How long before a read a file's last change must lie for its document to
// be kept: above the timestamp granularity of the coarsest file systems
// (two seconds).
constexpr int64_t kUnchangedSeconds = 3;

namespace CUTParsedFiles {

// The document kept for the settings file of kind at path when status (read
// before the caller reads the file) shows the file it was parsed from; null
// otherwise.
std::shared_ptr<const TiXmlDocument> Find(const std::wstring& path, unsigned kind,
                                          const CUTFileStatus& status);
// Keeps document as what path held at status, when the file's last change
// lies kUnchangedSeconds before read_began (seconds since 1970).
void Keep(const std::wstring& path, unsigned kind, const CUTFileStatus& status, int64_t read_began,
          std::shared_ptr<const TiXmlDocument> document);
// The result of the update probe of path recorded for the file status shows,
// if any.
bool FindWritable(const std::wstring& path, const CUTFileStatus& status, bool* writable);
// Records the probe's result for the kept document of the file status shows.
void KeepWritable(const std::wstring& path, const CUTFileStatus& status, bool writable);
// Frees the table (library unload).
void Release();

}  // namespace CUTParsedFiles

#endif  // TVUT_CONFIG_UTPARSEDFILES_H
