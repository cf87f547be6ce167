// The request body of an upload: the descriptive fields as form parts, then
// the payload archive as a file part when there is one.
#include <memory>

#include "UT/UTProcessState.h"
#include "base/UTStringFormater.h"
#include "base/UTTextCodec.h"
#include "comm/UTHttpClient.h"
#include "config/UTConfigManager.h"
#include "log/UTException.h"
#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"
#include "transcript/UTMachineIdentity.h"
#include "transcript/UTSystemInfo.h"

const char CUTHttpClient::kBoundary[] =
    "-------------------------------ceb3bc13bbea0941a04b2f8226f5d7ea";

namespace {

const char kPayloadContentType[] = "application/x-zip-compressed";
const wchar_t kPayloadMissing[] = L"Payload not found following path: ";
// The server tells an absent login or program type from an empty one by
// this text.
const wchar_t kNoValue[] = L"NoValue";
// Piece size for copying the archive into the queue.
constexpr size_t kReadPiece = 64 * 1024;

std::wstring OrNoValue(const std::wstring& text) {
    return text.empty() ? std::wstring(kNoValue) : text;
}

[[noreturn]] void ThrowPayloadMissing(const std::wstring& path) {
    ThrowCommException(kPayloadMissing, path);
}

}  // namespace

void CUTHttpClient::WriteTextPart(CUTStringFormater& stream, const char* name,
                                  const std::string& value) {
    stream << "--" << kBoundary << "\r\n"
           << "Content-Disposition: form-data; name=\"" << name << "\"\r\n\r\n"
           << value << "\r\n";
    UT_LOG(UT_LOG_DEVDBG, "\r\n%s=%s\r\n", name, value.c_str());
}

void CUTHttpClient::WriteNumberPart(CUTStringFormater& stream, const char* name, int32_t value) {
    stream << "--" << kBoundary << "\r\n"
           << "Content-Disposition: form-data; name=\"" << name << "\"\r\n\r\n"
           << value << "\r\n";
    UT_LOG(UT_LOG_DEVDBG, "\r\n%s=%d\r\n", name, static_cast<int>(value));
}

void CUTHttpClient::BuildRequest(const std::wstring& payload_path) {
    UT_LOG(UT_LOG_DEVDBG, "\nRequest:\n");
    CUTConfigManager* config = CUTConfigManager::GetInstance();
    CUTRuntimeConfig* session = config != nullptr ? config->Runtime() : nullptr;
    auto text = [session](UTSessionText field) {
        return ToUtf8(session != nullptr ? session->GetText(field) : std::wstring());
    };
    const std::wstring version =
        session != nullptr ? session->ModuleVersion() : CUTPlatform::Current()->ModuleVersion();

    const CUTSessionIdentity identity =
        session != nullptr ? session->Identity() : CUTRuntimeConfig::GatherIdentity();
    CUTStringFormater stream;
    WriteTextPart(stream, "TLVR_LOGIN",
                  ToUtf8(OrNoValue(session != nullptr ? session->GetText(UTSessionText::Login)
                                                      : std::wstring())));
    WriteTextPart(stream, "PROD_LANG", text(UTSessionText::Language));
    WriteTextPart(stream, "SERIAL_NUM", text(UTSessionText::SerialNumber));
    WriteTextPart(stream, "KORM_COUNTRY", text(UTSessionText::CountryCode));
    WriteTextPart(stream, "RELEASE_TYPE", text(UTSessionText::ReleaseType));
    WriteTextPart(stream, "PROD_LINE_ID", text(UTSessionText::ProductLineId));
    WriteTextPart(stream, "RELEASE_ID", text(UTSessionText::ReleaseId));
    WriteTextPart(stream, "LIC_PROD_LINE_ID", text(UTSessionText::LicenseProductLineId));
    WriteTextPart(stream, "LIC_RELEASE_ID", text(UTSessionText::LicenseProductReleaseId));
    WriteTextPart(stream, "LIC_RELEASE_TYPE", text(UTSessionText::LicenseProductReleaseType));
    WriteTextPart(stream, "PROGRAM_TYPE",
                  ToUtf8(OrNoValue(session != nullptr ? session->GetText(UTSessionText::ProgramType)
                                                      : std::wstring())));
    WriteTextPart(stream, "NT_LOGIN", ToUtf8(identity.account));
    // Always 1033, whatever the machine's locale: what servers have always
    // received in this field.
    WriteTextPart(stream, "OS_LOCALE_ID", "1033");
    WriteNumberPart(stream, "GMT_OFFSET", CUTSystemInfo::TimeZoneOffsetMinutes());
    WriteTextPart(stream, "UT_COMP_VER", ToUtf8(version));
    WriteNumberPart(stream, "CLIENT_MODE", CUTProcessState::client_mode.load());
    WriteTextPart(stream, "MACHINE_NAME", ToUtf8(identity.computer));
    WriteTextPart(stream, "HIDDEN_PARAM_1", ToUtf8(identity.hashed_user));
    WriteTextPart(stream, "HIDDEN_PARAM_2", ToUtf8(identity.hashed_os_product));
    WriteTextPart(stream, "HIDDEN_PARAM_3", ToUtf8(identity.hashed_volume));

    CUTPlatform* platform = CUTPlatform::Current();
    CUTFileStatus chosen;
    const bool has_payload = !payload_path.empty() &&
                             platform->GetFileStatus(payload_path, &chosen) &&
                             chosen.is_regular_file && chosen.size != 0;
    if (!has_payload) {
        WriteNumberPart(stream, "PAYLOAD_PRESENT", 0);
        stream << "--" << kBoundary << "--";
        const std::string body = stream.str();
        queue_.Append(body.data(), body.size());
        return;
    }

    WriteNumberPart(stream, "PAYLOAD_PRESENT", 1);
    stream << "--" << kBoundary << "\r\n"
           << "Content-Disposition: form-data; name=\"UsageFile\"; filename=\""
           << ToUtf8(FileNameOf(payload_path)) << "\"\r\n"
           << "Content-Type: " << kPayloadContentType << "\r\n\r\n";
    const std::string head = stream.str();
    queue_.Append(head.data(), head.size());

    // The archive may have gone, or been emptied or replaced, since it was
    // chosen: what is read is the file opened now, no more bytes than it
    // held when it was opened.
    CUTFileStatus status;
    std::unique_ptr<CUTReadableFile> file;
    if (!platform->OpenForReading(payload_path, &status, &file) || status.size == 0) {
        ThrowPayloadMissing(payload_path);
    }
    std::unique_ptr<char[]> piece(new char[kReadPiece]);
    uint64_t remaining = status.size;
    while (remaining > 0) {
        const size_t wanted = remaining < kReadPiece ? static_cast<size_t>(remaining) : kReadPiece;
        size_t count = 0;
        if (!file->Read(piece.get(), wanted, &count)) {
            ThrowPayloadMissing(payload_path);
        }
        if (count == 0) {
            break;  // shorter than it was: what was read is sent
        }
        queue_.Append(piece.get(), count);
        remaining -= count;
    }
    file.reset();

    CUTStringFormater tail;
    tail << "\r\n--" << kBoundary << "--";
    const std::string end = tail.str();
    queue_.Append(end.data(), end.size());
}
