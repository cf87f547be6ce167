#include "transcript/MLSerializer.h"

#include "base/UTFileNames.h"
#include "base/UTSingleton.h"

#include <atomic>

#include "base/UTStringFormater.h"
#include "config/UTConfigManager.h"
#include "config/UTScrambler.h"
#include "log/UTException.h"
#include "log/UTLoggerManager.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"
#include "transcript/UTTranscript.h"

namespace {

const wchar_t kTemporaryMarker[] = L".tmp";
constexpr size_t kTemporaryDigits = 12;
constexpr size_t kGuidTextLength = 38;

bool IsUpperHex(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
}

// "<session id>.tmp" + 12 hexadecimal digits of a new GUID.
std::wstring TemporaryPath(const std::wstring& folder, const std::wstring& session_id) {
    std::wstring digits;
    for (wchar_t c : CUTPlatform::Current()->NewGuidText()) {
        if (IsUpperHex(c) && digits.size() < kTemporaryDigits) {
            digits.push_back(c);
        }
    }
    if (digits.size() != kTemporaryDigits) {
        return std::wstring();
    }
    return folder + kPathSeparator + session_id + kTemporaryMarker + digits;
}

// Called under the folder's named lock, so no writer that shares this
// process's lock folder has a temporary file there now; one that does not
// share it may, which only the file's age tells. Returns the paths removed.
std::vector<std::wstring> RemoveStaleTemporaryFiles(CUTPlatform* platform,
                                                    const std::wstring& folder) {
    std::vector<std::wstring> removed;
    for (const std::wstring& path : ListFiles(platform, folder, kTemporaryMarker)) {
        if (CMLSerializer::IsTemporaryFileName(FileNameOf(path)) &&
            IsAbandonedTemporaryFile(platform, path) && platform->RemoveFile(path)) {
            removed.push_back(path);
        }
    }
    return removed;
}

// Puts bytes in place of the file at path, in folder, through a synced
// temporary file of the transcript's own name pattern and a rename.
CUTOsStatus ReplaceTranscriptFile(const std::wstring& folder, const std::wstring& path,
                                  const std::wstring& session_id, const std::string& bytes) {
    CUTPlatform* platform = CUTPlatform::Current();
    // The folder may have been removed since the last write: make it again.
    if (!IsFolder(platform, folder) && !CreateFolderTree(platform, folder)) {
        return CUTOsStatus::Failure(
            "create the Transcripts folder",
            FileExists(platform, folder) ? UTOsError::kNotAFile : UTOsError::kAccessDenied);
    }
    CUTNamedLockGuard guard(FileLockName(folder));
    if (guard.IsHeld()) {
        RemoveStaleTemporaryFiles(platform, folder);
    }
    // A folder standing where the file goes would make the rename fail.
    if (IsFolder(platform, path)) {
        platform->RemoveFolder(path);
    }
    const std::wstring temporary = TemporaryPath(folder, session_id);
    if (temporary.empty()) {
        return CUTOsStatus::Failure("name the temporary file", UTOsError::kOther);
    }
    return ReplaceFileAtomically(platform, path, bytes, 0600, temporary);
}

}  // namespace

// In a slot of its own, not a CUTSingleton: the transcript manager destroys
// it (writing the last transcript), never the exit on its own.
CMLSerializer* CMLSerializer::GetInstance() {
    return CUTInstanceSlot<CMLSerializer>::Get();
}

CMLSerializer* CMLSerializer::PeekInstance() {
    return CUTInstanceSlot<CMLSerializer>::Peek();
}

void CMLSerializer::DestroyInstance() {
    CUTInstanceSlot<CMLSerializer>::Destroy();
}

CMLSerializer::~CMLSerializer() {
    try {
        Write(false);
    } catch (const CUTException& exception) {
        LogExceptionChain(exception);
    } catch (...) {
        // Memory ran out while the final document was built: the previous
        // transcript stays. Nothing may leave a destructor.
        UT_LOG(UT_LOG_ERROR, "Serialize Transcript File Error!!");
    }
}

std::wstring CMLSerializer::TranscriptPath(const std::wstring& folder,
                                           const std::wstring& session_id) {
    return folder + kPathSeparator + session_id + kTranscriptFileExtension;
}

std::vector<std::wstring> CMLSerializer::RemoveLeftTemporaryFiles(const std::wstring& folder) {
    CUTNamedLockGuard guard(FileLockName(folder));
    if (!guard.IsHeld()) {
        return std::vector<std::wstring>();
    }
    return RemoveStaleTemporaryFiles(CUTPlatform::Current(), folder);
}

bool CMLSerializer::IsTemporaryFileName(const std::wstring& name) {
    const size_t marker_length = sizeof(kTemporaryMarker) / sizeof(wchar_t) - 1;
    const size_t suffix_length = marker_length + kTemporaryDigits;
    if (name.size() < suffix_length) {
        return false;
    }
    const size_t prefix_length = name.size() - suffix_length;
    // Before the suffix: a session id, or nothing when none could be made.
    if (prefix_length != 0 && (prefix_length != kGuidTextLength || name.front() != L'{' ||
                               name[kGuidTextLength - 1] != L'}')) {
        return false;
    }
    if (name.compare(prefix_length, marker_length, kTemporaryMarker) != 0) {
        return false;
    }
    for (size_t i = prefix_length + marker_length; i < name.size(); ++i) {
        if (!IsUpperHex(name[i])) {
            return false;
        }
    }
    return true;
}

bool CMLSerializer::Serialize() {
    UT_LOG(UT_LOG_DEVDBG, "CMLSerializer::Serialize");
    return Write(true);
}

bool CMLSerializer::Write(bool renew) {
    std::lock_guard<std::mutex> lock(mutex_);
    CUTConfigManager* manager = CUTConfigManager::PeekInstance();
    if (manager == nullptr || !manager->IsProductInitialised()) {
        UT_LOG(UT_LOG_ERROR,
               "Product Info is not initialized, will not serialize into transcript file!");
        return false;
    }
    // Read from the file each time: the user may have revoked consent in
    // another process since.
    std::string why;
    if (!manager->IsTrackingOn(true, &why)) {
        UT_LOG(UT_LOG_INFO, "Tracking is off (%s), no transcript is written", why.c_str());
        return false;
    }
    // Taken out of the field: whatever happens below, nothing of this write
    // stays in memory for the next one.
    std::shared_ptr<CUTTranscript> document = std::move(document_);
    if (!document) {
        document = std::make_shared<CUTTranscript>(nullptr, true);
    }
    TiXmlElement* root = document->TranscriptRoot();
    root->LinkEndChild(new CUTTranscriptHeader());

    CUTRuntimeConfig* session = manager->Runtime();
    TiXmlElement* usage = new TiXmlElement(kUsageDataElement);
    root->LinkEndChild(usage);
    CUTTranscriptText::AppendText(usage, "start_time", IntToWString(session->StartTime()));
    TiXmlElement* end =
        CUTTranscriptText::AppendText(usage, "end_time", IntToWString(session->EndTime()));
    CUTTranscriptText::SetAttribute(end, "isCrash", static_cast<int64_t>(session->CrashFlag()));

    TiXmlPrinter printer;
    document->Accept(&printer);
    std::string bytes = printer.Str();
    // Transcripts are always scrambled, whatever "decode.xml" says.
    ScrambleBytes(&bytes);

    const std::wstring folder = manager->GetTranscriptFolder();
    const std::wstring path =
        folder.empty() ? std::wstring() : TranscriptPath(folder, session->SessionId());
    const CUTOsStatus result =
        folder.empty() ? CUTOsStatus::Failure("find the Transcripts folder", UTOsError::kNotFound)
                       : ReplaceTranscriptFile(folder, path, session->SessionId(), bytes);
    const bool written = result.ok();
    if (written) {
        UT_LOG(UT_LOG_INFO, "Serializing file %ls", path.c_str());
    } else {
        UT_LOG(UT_LOG_DEVDBG, "We don't have Write Permission to the transcript file %ls",
               path.c_str());
        UT_LOG(UT_LOG_DEVDBG, "Transcript not written: %s", result.ToString().c_str());
    }
    if (renew) {
        document_ = std::make_shared<CUTTranscript>(nullptr, true);
    }
    return written;
}
