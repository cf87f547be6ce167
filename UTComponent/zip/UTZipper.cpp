#include "zip/UTZipper.h"

#include "platform/UTPlatform.h"
#include "zip/ZipWriter.h"

namespace {

constexpr size_t kMaxEntryNameLength = 259;

}  // namespace

CUTZipper::CUTZipper(const std::wstring& archive_path)
    : writer_(ZipWriter::Create(archive_path, &create_error_)) {}

CUTZipper::~CUTZipper() = default;

bool CUTZipper::AddFile(const std::wstring& source_path) {
    if (!writer_) {
        return false;
    }
    return writer_->AddFile(EntryName(source_path), source_path);
}

bool CUTZipper::Complete() {
    return writer_ && writer_->Close();
}

CUTOsStatus CUTZipper::Error() const {
    return writer_ ? writer_->Error() : create_error_;
}

std::wstring CUTZipper::EntryName(const std::wstring& source_path) {
    const size_t separator = source_path.rfind(kPathSeparator);
    std::wstring name =
        separator == std::wstring::npos ? source_path : source_path.substr(separator + 1);
    if (name.size() > kMaxEntryNameLength) {
        name.resize(kMaxEntryNameLength);
    }
    return name;
}
