// ZipWriter: writes one PKZIP archive (no encryption, no comment, no ZIP64)
// straight to its file, entry by entry, and completes it with the central
// directory and the end record.
//
// Each entry is a local header with an extended time stamp, the entry data
// (Deflate, or stored for names that mark already compressed data) and, once
// the data is written, the same header rewritten with the final CRC-32 and
// sizes. The Deflate state is allocated on the first compressed entry and
// reused for every later one. Each source is opened once through the platform
// (the status comes from the open file) and read in 16 KiB pieces into one
// reused buffer; the compressor writes straight into the archive buffer, at
// most 16 KiB per call, and the buffer goes to the file in 64 KiB writes.
//
// The archive is written through the platform's writable file (close-on-exec,
// so a child process the host starts never inherits it) with positional
// writes; it is not synced, as it lives only until its upload.
//
// Failures: AddFile returns false and leaves the archive as it was before
// the call: the writer goes back to the failed entry's local header, so the
// next entry or the central directory overwrites its bytes, and Close cuts off
// whatever of them is left beyond the end record. Sources and archives that
// need ZIP64 (4 GiB and more, 65535 entries and more) are refused the same
// way. An archive that cannot be completed (a full disk, say) is removed by
// Close, so that no partial archive is left to be sent. Error() keeps the
// last failed operation on the archive file. Nothing is logged
// or thrown.
//
// Threads: one thread at a time; a writer is not shared.
#ifndef TVUT_ZIP_ZIPWRITER_H
#define TVUT_ZIP_ZIPWRITER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UTPlatform.h"

struct z_stream_s;

// The data one entry holds, as it was packed: the CRC-32 and the count of the
// source bytes read (fewer than the file's size when it shrank meanwhile).
struct ZipEntryBytes {
    uint32_t crc32 = 0;
    uint64_t size = 0;
};

class ZipWriter {
public:
    // Creates the archive file (owner read and write), replacing an existing
    // file of that name; null when the path is empty or the file cannot be
    // created, with the failure in *error when given.
    static std::unique_ptr<ZipWriter> Create(const std::wstring& archive_path,
                                             CUTOsStatus* error = nullptr);

    // Completes the archive unless Close was called.
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Adds the file at source_path under entry_name (already in archive form:
    // the bare name, "/" as separator). False when the entry was not added;
    // else *packed (when given) holds what the entry holds.
    bool AddFile(const std::wstring& entry_name, const std::wstring& source_path,
                 ZipEntryBytes* packed = nullptr);

    // Writes the central directory and the end record and closes the file.
    // Happens once; later calls and additions return false. On failure the
    // archive file is removed.
    bool Close();

    // The last failed operation on the archive file; ok when none.
    const CUTOsStatus& Error() const { return error_; }

private:
    struct Entry {
        std::string name;  // UTF-8
        uint16_t flags = 0;
        uint16_t method = 0;
        uint16_t dos_time = 0;
        uint16_t dos_date = 0;
        uint32_t crc = 0;
        uint32_t compressed_size = 0;
        uint32_t uncompressed_size = 0;
        uint32_t external_attributes = 0;
        uint32_t local_header_offset = 0;
        uint32_t modification_time = 0;
        uint32_t access_time = 0;
        uint32_t creation_time = 0;
    };
    struct DeflateStateDeleter {
        void operator()(z_stream_s* stream) const;
    };
    // Counts of one entry's data pass.
    struct DataResult {
        uint32_t crc = 0;
        uint64_t read = 0;
        uint64_t written = 0;
    };

    ZipWriter(std::unique_ptr<CUTWritableFile> file, std::wstring path);

    bool WriteEntry(Entry* entry, CUTReadableFile* source, uint64_t source_size);
    // Copy at most size bytes, the size the file had when it was opened: a
    // file that grows meanwhile is taken as it was, one that shrinks as it is.
    // Reads the next piece of at most 16384 bytes of the source into the
    // input piece and adds it to the CRC; *n is short only at the end.
    bool ReadPiece(CUTReadableFile* source, uint64_t size, DataResult* result, size_t* n);
    bool CopyStored(CUTReadableFile* source, uint64_t size, DataResult* result);
    bool CopyDeflated(CUTReadableFile* source, uint64_t size, DataResult* result);
    z_stream_s* DeflateState();
    // Back to offset after a failed entry; the writer is unusable when even
    // that fails.
    void RewindTo(uint64_t offset);
    // Buffered: the bytes reach the file at the latest with the next move of
    // the write position.
    bool Write(const void* bytes, size_t size);
    // Counts size bytes placed at the end of the buffer as written.
    void Commit(size_t size);
    bool Flush();
    // Writes the first count buffered bytes at their place in the file; the
    // rest move to the front. On failure all of them stay buffered.
    bool FlushFirst(size_t count);
    // Frees space in a full buffer.
    bool MakeRoom();
    // Moves the write position, after writing what is buffered.
    bool SeekTo(uint64_t offset);
    // Keeps the file's last failure; returns false.
    bool FileFailed(const CUTOsStatus& failure);

    std::unique_ptr<CUTWritableFile> file_;
    std::wstring path_;
    CUTOsStatus error_;
    uint64_t offset_ = 0;      // where the next byte goes: end of the last good entry
    uint64_t high_water_ = 0;  // furthest byte ever written, failed entries included
    uint64_t central_size_ = 0;
    uint64_t entry_start_ = 0;  // local header offset of the entry being written
    std::vector<Entry> entries_;
    bool closed_ = false;
    bool broken_ = false;
    std::unique_ptr<z_stream_s, DeflateStateDeleter> deflate_;
    std::unique_ptr<unsigned char[]> buffer_;  // archive bytes on their way to the file
    size_t buffered_ = 0;
    std::unique_ptr<unsigned char[]> in_piece_;  // one piece of the source
};

#endif  // TVUT_ZIP_ZIPWRITER_H
