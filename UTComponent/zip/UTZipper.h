// CUTZipper: packs files into one ZIP archive for an upload.
//
// The constructor creates the archive file; AddFile adds one file under its
// bare file name (the part after the last path separator, at most 259
// characters); destruction (or Dispose) completes the archive and closes it.
// An archive without entries is the 22-byte end record alone.
//
// Failures: when the archive file cannot be created the zipper holds no
// writer and every AddFile returns false. A file that cannot be added (missing,
// a folder, unreadable, 4 GiB or more) is left out and AddFile returns false;
// the entries added before and after it stay intact. Nothing is logged or
// thrown.
//
// Threads: created, filled and destroyed by one thread; not shared.
#ifndef TVUT_ZIP_UTZIPPER_H
#define TVUT_ZIP_UTZIPPER_H

#include <memory>
#include <string>

#include <tvUT/UTObject.h>

class ZipWriter;

class CUTZipper : public CUTObject {
public:
    explicit CUTZipper(const std::wstring& archive_path);
    // Completes the archive.
    ~CUTZipper() override;

    // Adds the file at source_path; false when it was not added.
    bool AddFile(const std::wstring& source_path);

    // The entry name of a source: its last path component, at most 259
    // characters.
    static std::wstring EntryName(const std::wstring& source_path);

private:
    std::unique_ptr<ZipWriter> writer_;
};

#endif  // TVUT_ZIP_UTZIPPER_H
