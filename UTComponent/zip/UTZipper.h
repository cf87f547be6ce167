// CUTZipper: packs files into one ZIP archive for an upload.
//
// The constructor creates the archive file; AddFile adds one file under its
// bare file name (the part after the last path separator, at most 259
// characters); Complete, or else destruction (or Dispose), completes the
// archive and closes it. An archive without entries is the 22-byte end record
// alone.
//
// Failures: when the archive file cannot be created the zipper holds no
// writer and every AddFile returns false. A file that cannot be added (missing,
// a folder, unreadable, 4 GiB or more, a write that failed) is left out and
// AddFile returns false; the entries added before and after it stay intact.
// An added file's CRC-32 and byte count, of the bytes actually packed, are
// given to the caller, so that it can tell later whether the file on disk
// still holds exactly what an upload carried.
// An archive that cannot be completed (a full disk) is removed: Complete
// returns false and no partial archive is left to be sent. Error() gives the
// last failure on the archive file. Nothing is logged or thrown.
//
// Threads: created, filled and destroyed by one thread; not shared.
#ifndef TVUT_ZIP_UTZIPPER_H
#define TVUT_ZIP_UTZIPPER_H

#include <memory>
#include <string>

#include <tvUT/UTObject.h>

#include "platform/UTPlatform.h"
#include "zip/ZipWriter.h"

class CUTZipper : public CUTObject {
public:
    explicit CUTZipper(const std::wstring& archive_path);
    // Completes the archive.
    ~CUTZipper() override;

    // Adds the file at source_path; false when it was not added. Once added,
    // *packed (when given) holds the CRC-32 and count of the bytes packed.
    bool AddFile(const std::wstring& source_path, ZipEntryBytes* packed = nullptr);

    // Completes and closes the archive; false when there is none or it could
    // not be completed (the archive file is then gone). Once only: later
    // additions are refused.
    bool Complete();

    // The last failure on the archive file (its creation included); ok when
    // none failed.
    CUTOsStatus Error() const;

    // The entry name of a source: its last path component, at most 259
    // characters.
    static std::wstring EntryName(const std::wstring& source_path);

private:
    CUTOsStatus create_error_;  // set while writer_ is made: declared before it
    std::unique_ptr<ZipWriter> writer_;
};

#endif  // TVUT_ZIP_UTZIPPER_H
