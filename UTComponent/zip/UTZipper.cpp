#include "zip/UTZipper.h"

#include "platform/UTPlatform.h"
#include "zip/ZipWriter.h"

namespace {

constexpr size_t kMaxEntryNameLength = 259;

}  // namespace

CUTZipper::CUTZipper(const std::wstring& archive_path)
    : writer_(ZipWriter::Create(archive_path, &create_error_)) {}

CUTZipper::~CUTZipper() = default;

bool CUTZipper::AddFile(const std::wstring& source_path, ZipEntryBytes* packed) {
    if (!writer_) {
        return false;
    }
    return writer_->AddFile(EntryName(source_path), source_path, packed);
}

bool CUTZipper::Complete() {
    return writer_ && writer_->Close();
}

CUTOsStatus CUTZipper::Error() const {
    return writer_ ? writer_->Error() : create_error_;
}

std::wstring CUTZipper::EntryName(const std::wstring& source_path) {
    std::wstring name = FileNameOf(source_path);
    if (name.size() > kMaxEntryNameLength) {
        size_t keep = kMaxEntryNameLength;
        // Where wide text is UTF-16, never half a surrogate pair: that name
        // would have no UTF-8 form and the entry would be refused.
        const uint32_t last = static_cast<uint32_t>(name[keep - 1]);
        if (sizeof(wchar_t) == 2 && last >= 0xD800 && last <= 0xDBFF) {
            --keep;
        }
        name.resize(keep);
    }
    return name;
}
