#include "zip/ZipWriter.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"

namespace {

constexpr uint64_t kMax32 = 0xFFFFFFFFu;
constexpr size_t kMaxEntries = 0xFFFF;
constexpr size_t kPieceSize = 16384;
constexpr size_t kArchiveBufferSize = 64 * 1024;

constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr uint32_t kEndRecordSignature = 0x06054B50;
constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kVersionMadeBy = 0x0B17;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
// Set only in the provisional header: the sizes follow the data.
constexpr uint16_t kFlagSizesFollow = 0x0008;
// Names are UTF-8; a reader told nothing else takes them for code page 437.
constexpr uint16_t kFlagUtf8Name = 0x0800;
constexpr uint16_t kExtendedTimeStampTag = 0x5455;
constexpr uint8_t kTimeStampFlags = 7;  // modification, access and creation times
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kLocalExtraSize = 17;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kCentralExtraSize = 9;
constexpr size_t kEndRecordSize = 22;

constexpr uint32_t kAttributeReadOnly = 0x01;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kAttributeMask = 0x37;
constexpr uint32_t kUnixRegularFile = 0100000;

// DOS time stamps cover 1980-01-01 00:00:00 to 2107-12-31 23:59:58.
constexpr int64_t kFirstDosTime = 315532800;
constexpr int64_t kLastDosTime = 4354819198;

unsigned char* Put16(unsigned char* out, uint16_t value) {
    out[0] = static_cast<unsigned char>(value & 0xFF);
    out[1] = static_cast<unsigned char>(value >> 8);
    return out + 2;
}

unsigned char* Put32(unsigned char* out, uint32_t value) {
    return Put16(Put16(out, static_cast<uint16_t>(value & 0xFFFF)),
                 static_cast<uint16_t>(value >> 16));
}

uint32_t ClampToUnsigned32(int64_t seconds) {
    return static_cast<uint32_t>(std::clamp<int64_t>(seconds, 0, static_cast<int64_t>(kMax32)));
}

// DOS time and date of a UTC instant; instants outside the DOS range are
// pinned to its ends.
void ToDosTime(int64_t seconds, uint16_t* dos_time, uint16_t* dos_date) {
    const int64_t t = std::clamp(seconds, kFirstDosTime, kLastDosTime);
    const int64_t days = t / 86400;
    const int64_t second_of_day = t % 86400;
    // Civil date from a day count (proleptic Gregorian calendar).
    const int64_t z = days + 719468;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    const int64_t hour = second_of_day / 3600;
    const int64_t minute = second_of_day % 3600 / 60;
    const int64_t second = second_of_day % 60;
    *dos_time = static_cast<uint16_t>(hour * 2048 + minute * 32 + second / 2);
    *dos_date = static_cast<uint16_t>((year - 1980) * 512 + month * 32 + day);
}

// Names whose suffix marks data that is already compressed are stored.
bool IsStoredName(const std::wstring& name) {
    static const wchar_t* const kStoredSuffixes[] = {L"z",   L"zip", L"zoo", L"arc",
                                                     L"lzh", L"arj", L"gz",  L"tgz"};
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || name.size() - dot - 1 > 3) {
        return false;
    }
    // ASCII case only: the host's locale must not change the choice.
    wchar_t suffix[4] = {};
    for (size_t i = dot + 1, j = 0; i < name.size(); ++i, ++j) {
        const wchar_t c = name[i];
        suffix[j] = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    }
    for (const wchar_t* stored : kStoredSuffixes) {
        if (std::wcscmp(suffix, stored) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

void ZipWriter::DeflateStateDeleter::operator()(z_stream_s* stream) const {
    deflateEnd(stream);
    delete stream;
}

std::unique_ptr<ZipWriter> ZipWriter::Create(const std::wstring& archive_path, CUTOsStatus* error) {
    std::unique_ptr<CUTWritableFile> file;
    const CUTOsStatus created =
        CUTPlatform::Current()->OpenForWriting(archive_path, UTWriteMode::kTruncate, 0600, &file);
    if (!created) {
        if (error != nullptr) {
            *error = created;
        }
        return nullptr;
    }
    return std::unique_ptr<ZipWriter>(new ZipWriter(std::move(file), archive_path));
}

ZipWriter::ZipWriter(std::unique_ptr<CUTWritableFile> file, std::wstring path)
    : file_(std::move(file)),
      path_(std::move(path)),
      buffer_(new unsigned char[kArchiveBufferSize]),
      in_piece_(new unsigned char[kPieceSize]) {}

ZipWriter::~ZipWriter() {
    if (!closed_) {
        Close();
    }
}

bool ZipWriter::AddFile(const std::wstring& entry_name, const std::wstring& source_path,
                        ZipEntryBytes* packed) {
    if (closed_ || broken_ || entries_.size() >= kMaxEntries) {
        return false;
    }
    Entry entry;
    if (!WideToUtf8(entry_name, &entry.name) || entry.name.empty() || entry.name.size() > 0xFFFF) {
        return false;
    }
    // Missing files, folders and anything else that is not a regular file
    // (a pipe would block the send) are refused before the archive is touched.
    // One open gives both the data and the status of the same file.
    CUTFileStatus status;
    std::unique_ptr<CUTReadableFile> source;
    if (!CUTPlatform::Current()->OpenForReading(source_path, &status, &source) ||
        status.size > kMax32) {
        return false;
    }
    const uint64_t size = status.size;
    const CUTFileTimes& times = status.times;

    const bool read_only = !status.owner_writable;
    const uint32_t attributes =
        (kAttributeArchive | (read_only ? kAttributeReadOnly : 0u)) & kAttributeMask;
    const uint32_t unix_mode = kUnixRegularFile | (read_only ? 0400u : 0600u);
    entry.external_attributes = (unix_mode << 16) | attributes;
    entry.method = IsStoredName(entry_name) ? kMethodStored : kMethodDeflated;
    entry.flags = 0;
    for (char c : entry.name) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            entry.flags = kFlagUtf8Name;
            break;
        }
    }
    ToDosTime(times.last_write, &entry.dos_time, &entry.dos_date);
    entry.modification_time = ClampToUnsigned32(times.last_write);
    entry.access_time = ClampToUnsigned32(times.last_access);
    entry.creation_time = ClampToUnsigned32(times.creation);

    const uint64_t start = offset_;
    if (!WriteEntry(&entry, source.get(), size)) {
        RewindTo(start);
        return false;
    }
    central_size_ += kCentralHeaderSize + entry.name.size() + kCentralExtraSize;
    if (packed != nullptr) {
        packed->crc32 = entry.crc;
        packed->size = entry.uncompressed_size;
    }
    entries_.push_back(std::move(entry));
    return true;
}

namespace {

// The fixed part of a local header (without the name); the only fields the
// final rewrite changes are the flags, the CRC-32 and the sizes.
void PutLocalFixed(unsigned char* out, size_t name_size, uint16_t flags, uint16_t method,
                   uint16_t dos_time, uint16_t dos_date, uint32_t crc, uint32_t compressed,
                   uint32_t uncompressed) {
    out = Put32(out, kLocalHeaderSignature);
    out = Put16(out, kVersionNeeded);
    out = Put16(out, flags);
    out = Put16(out, method);
    out = Put16(out, dos_time);
    out = Put16(out, dos_date);
    out = Put32(out, crc);
    out = Put32(out, compressed);
    out = Put32(out, uncompressed);
    out = Put16(out, static_cast<uint16_t>(name_size));
    Put16(out, static_cast<uint16_t>(kLocalExtraSize));
}

void PutLocalExtra(unsigned char* out, uint32_t mtime, uint32_t atime, uint32_t ctime) {
    out = Put16(out, kExtendedTimeStampTag);
    out = Put16(out, static_cast<uint16_t>(kLocalExtraSize - 4));
    *out++ = kTimeStampFlags;
    out = Put32(out, mtime);
    out = Put32(out, atime);
    Put32(out, ctime);
}

}  // namespace

bool ZipWriter::WriteEntry(Entry* entry, CUTReadableFile* source, uint64_t source_size) {
    const uint64_t header_offset = offset_;
    const uint64_t header_size = kLocalHeaderSize + entry->name.size() + kLocalExtraSize;
    if (header_offset + header_size > kMax32) {
        return false;
    }
    entry->local_header_offset = static_cast<uint32_t>(header_offset);
    entry_start_ = header_offset;
    const bool stored = entry->method == kMethodStored;

    unsigned char fixed[kLocalHeaderSize];
    unsigned char extra[kLocalExtraSize];
    PutLocalFixed(fixed, entry->name.size(), entry->flags | kFlagSizesFollow, entry->method,
                  entry->dos_time, entry->dos_date, 0,
                  stored ? static_cast<uint32_t>(source_size) : 0,
                  static_cast<uint32_t>(source_size));
    PutLocalExtra(extra, entry->modification_time, entry->access_time, entry->creation_time);
    if (!Write(fixed, sizeof fixed) || !Write(entry->name.data(), entry->name.size()) ||
        !Write(extra, sizeof extra)) {
        return false;
    }

    DataResult data;
    if (!(stored ? CopyStored(source, source_size, &data)
                 : CopyDeflated(source, source_size, &data))) {
        return false;
    }
    const uint64_t data_end = offset_;
    // The whole archive must stay addressable with 32-bit offsets, including
    // the central directory and the end record that will follow.
    const uint64_t archive_end = data_end + central_size_ + kCentralHeaderSize +
                                 entry->name.size() + kCentralExtraSize + kEndRecordSize;
    if (data.read > kMax32 || data.written > kMax32 || archive_end > kMax32) {
        return false;
    }
    entry->crc = data.crc;
    entry->compressed_size = static_cast<uint32_t>(data.written);
    entry->uncompressed_size = static_cast<uint32_t>(data.read);

    PutLocalFixed(fixed, entry->name.size(), entry->flags, entry->method, entry->dos_time,
                  entry->dos_date, entry->crc, entry->compressed_size, entry->uncompressed_size);
    // A small entry's header is usually still in the buffer: patch it there.
    const uint64_t buffer_start = offset_ - buffered_;
    if (header_offset >= buffer_start) {
        std::memcpy(buffer_.get() + (header_offset - buffer_start), fixed, sizeof fixed);
        return true;
    }
    return SeekTo(header_offset) && Write(fixed, sizeof fixed) && SeekTo(data_end);
}

bool ZipWriter::ReadPiece(CUTReadableFile* source, uint64_t size, DataResult* result, size_t* n) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kPieceSize, size - result->read));
    *n = 0;
    if (want > 0 && !source->Read(in_piece_.get(), want, n)) {
        return false;
    }
    result->read += *n;
    result->crc = static_cast<uint32_t>(crc32(result->crc, in_piece_.get(), static_cast<uInt>(*n)));
    return true;
}

bool ZipWriter::CopyStored(CUTReadableFile* source, uint64_t size, DataResult* result) {
    unsigned char* in = in_piece_.get();
    for (;;) {
        size_t n = 0;
        if (!ReadPiece(source, size, result, &n)) {
            return false;
        }
        if (n > 0 && !Write(in, n)) {
            return false;
        }
        result->written += n;
        if (n < kPieceSize) {
            return true;
        }
    }
}

bool ZipWriter::CopyDeflated(CUTReadableFile* source, uint64_t size, DataResult* result) {
    z_stream_s* stream = DeflateState();
    if (stream == nullptr) {
        return false;
    }
    unsigned char* in = in_piece_.get();
    bool last = false;
    while (!last) {
        size_t n = 0;
        if (!ReadPiece(source, size, result, &n)) {
            return false;
        }
        last = n < kPieceSize;
        stream->next_in = in;
        stream->avail_in = static_cast<uInt>(n);
        const int flush = last ? Z_FINISH : Z_NO_FLUSH;
        // The compressor writes straight into the archive buffer, at most one
        // piece per call.
        do {
            if (buffered_ == kArchiveBufferSize && !MakeRoom()) {
                return false;
            }
            const size_t room = std::min(kPieceSize, kArchiveBufferSize - buffered_);
            stream->next_out = buffer_.get() + buffered_;
            stream->avail_out = static_cast<uInt>(room);
            if (deflate(stream, flush) == Z_STREAM_ERROR) {
                return false;
            }
            const size_t produced = room - stream->avail_out;
            Commit(produced);
            result->written += produced;
        } while (stream->avail_out == 0);
    }
    return true;
}

z_stream_s* ZipWriter::DeflateState() {
    if (deflate_) {
        return deflateReset(deflate_.get()) == Z_OK ? deflate_.get() : nullptr;
    }
    std::unique_ptr<z_stream_s> stream(new z_stream_s{});
    // Raw stream (no zlib wrapper), level 6, 32 KiB window, memory level 8.
    if (deflateInit2(stream.get(), 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return nullptr;
    }
    deflate_.reset(stream.release());
    return deflate_.get();
}

void ZipWriter::RewindTo(uint64_t offset) {
    const uint64_t buffer_start = offset_ - buffered_;
    if (offset >= buffer_start) {
        // Only the buffered tail belongs to the failed entry; what comes
        // before it is good data still on its way to the file.
        buffered_ = static_cast<size_t>(offset - buffer_start);
        offset_ = offset;
        return;
    }
    buffered_ = 0;
    if (!SeekTo(offset)) {
        offset_ = offset;
        broken_ = true;
    }
}

bool ZipWriter::Write(const void* bytes, size_t size) {
    const unsigned char* next = static_cast<const unsigned char*>(bytes);
    size_t left = size;
    while (left > 0) {
        if (buffered_ == kArchiveBufferSize && !MakeRoom()) {
            return false;
        }
        const size_t n = std::min(left, kArchiveBufferSize - buffered_);
        std::memcpy(buffer_.get() + buffered_, next, n);
        Commit(n);
        next += n;
        left -= n;
    }
    return true;
}

void ZipWriter::Commit(size_t size) {
    buffered_ += size;
    offset_ += size;
    high_water_ = std::max(high_water_, offset_);
}

bool ZipWriter::MakeRoom() {
    // An entry that began in the second half of the full buffer stays there,
    // so that its final header is patched in place instead of rewritten in
    // the file with two seeks.
    const uint64_t buffer_start = offset_ - buffered_;
    if (entry_start_ >= buffer_start + kArchiveBufferSize / 2 && entry_start_ < offset_) {
        return FlushFirst(static_cast<size_t>(entry_start_ - buffer_start));
    }
    return Flush();
}

bool ZipWriter::Flush() {
    return FlushFirst(buffered_);
}

bool ZipWriter::FlushFirst(size_t count) {
    if (count == 0) {
        return true;
    }
    // Bytes that did not reach the file stay buffered, so that a rollback
    // keeps the good ones among them; writing them again at the same place
    // later is harmless.
    const CUTOsStatus written = file_->WriteAt(offset_ - buffered_, buffer_.get(), count);
    if (!written) {
        return FileFailed(written);
    }
    std::memmove(buffer_.get(), buffer_.get() + count, buffered_ - count);
    buffered_ -= count;
    return true;
}

bool ZipWriter::SeekTo(uint64_t offset) {
    if (!Flush() || offset > kMax32) {
        return false;
    }
    offset_ = offset;
    return true;
}

bool ZipWriter::FileFailed(const CUTOsStatus& failure) {
    error_ = failure;
    return false;
}

bool ZipWriter::Close() {
    if (closed_) {
        return false;
    }
    closed_ = true;
    const uint64_t central_offset = offset_;
    const uint16_t count = static_cast<uint16_t>(entries_.size());
    std::vector<unsigned char> tail(static_cast<size_t>(central_size_) + kEndRecordSize);
    unsigned char* out = tail.data();
    for (const Entry& entry : entries_) {
        out = Put32(out, kCentralHeaderSignature);
        out = Put16(out, kVersionMadeBy);
        out = Put16(out, kVersionNeeded);
        out = Put16(out, entry.flags);
        out = Put16(out, entry.method);
        out = Put16(out, entry.dos_time);
        out = Put16(out, entry.dos_date);
        out = Put32(out, entry.crc);
        out = Put32(out, entry.compressed_size);
        out = Put32(out, entry.uncompressed_size);
        out = Put16(out, static_cast<uint16_t>(entry.name.size()));
        out = Put16(out, static_cast<uint16_t>(kCentralExtraSize));
        out = Put16(out, 0);  // comment length
        out = Put16(out, 0);  // disk number start
        out = Put16(out, 0);  // internal attributes
        out = Put32(out, entry.external_attributes);
        out = Put32(out, entry.local_header_offset);
        std::memcpy(out, entry.name.data(), entry.name.size());
        out += entry.name.size();
        out = Put16(out, kExtendedTimeStampTag);
        out = Put16(out, static_cast<uint16_t>(kCentralExtraSize - 4));
        *out++ = kTimeStampFlags;
        out = Put32(out, entry.modification_time);
    }
    out = Put32(out, kEndRecordSignature);
    out = Put16(out, 0);  // this disk
    out = Put16(out, 0);  // disk of the central directory
    out = Put16(out, count);
    out = Put16(out, count);
    out = Put32(out, static_cast<uint32_t>(central_size_));
    out = Put32(out, static_cast<uint32_t>(central_offset));
    Put16(out, 0);  // comment length

    // The end of the last good entry is where the directory belongs, whatever
    // a failed entry left behind.
    bool ok = SeekTo(central_offset) && Write(tail.data(), tail.size()) && Flush();
    // Bytes of a failed entry may lie beyond the end record, where readers
    // look for it: cut them off.
    if (ok && high_water_ > offset_) {
        const CUTOsStatus cut = file_->Truncate(offset_);
        ok = cut ? ok : FileFailed(cut);
    }
    // A full disk may show only when the file is closed.
    const CUTOsStatus closed = file_->Close();
    if (!closed && ok) {
        ok = FileFailed(closed);
    }
    file_.reset();
    deflate_.reset();
    buffered_ = 0;
    if (!ok) {
        // An archive without its directory is no archive: nothing of it is
        // left to be sent.
        CUTPlatform::Current()->RemoveFile(path_);
    }
    return ok;
}
