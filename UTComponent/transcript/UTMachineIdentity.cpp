#include "transcript/UTMachineIdentity.h"

#include "base/TinySha.h"
#include "base/UTTextCodec.h"
#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"
#include "transcript/UTSystemInfo.h"

const wchar_t CUTMachineIdentity::kUnknown[] = L"UNKNOWN";

namespace {

// Logs the label, hashes bytes and logs the identity text.
std::wstring HashAndLog(const char* label, const std::string& bytes) {
    CUTLoggerManager* logger = CUTLoggerManager::GetInstance();
    if (logger != nullptr) {
        logger->Log(UT_LOG_DEVDBG, "%s", label);
    }
    std::wstring text = CUTMachineIdentity::IdentityText(bytes);
    if (logger != nullptr) {
        logger->Log(UT_LOG_DEVDBG, "%ls", text.c_str());
    }
    return text;
}

std::wstring OrUnknown(const std::wstring& text) {
    return text.empty() ? std::wstring(CUTMachineIdentity::kUnknown) : text;
}

}  // namespace

std::wstring CUTMachineIdentity::HexText(const unsigned char* bytes, size_t size) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::wstring CUTMachineIdentity::IdentityText(const std::string& bytes) {
    tinysha::SHA256 hash;
    unsigned char digest[tinysha::SHA256::DIGESTSIZE];
    hash.CalculateDigest(digest, reinterpret_cast<const unsigned char*>(bytes.data()),
                         bytes.size());
    std::wstring text = HexText(digest, sizeof(digest));
    tinysha::SecureWipeArray(digest, sizeof(digest));
    return text;
}

bool CUTMachineIdentity::UserIdentityBytes(std::string* bytes) {
    std::wstring account;
    if (!CUTSystemInfo::QualifiedUserName(&account)) {
        return false;
    }
    std::u16string utf16;
    if (!WideToUtf16(account, &utf16)) {
        return false;
    }
    std::string result;
    result.reserve(utf16.size() * 2);
    for (char16_t unit : utf16) {
        result += static_cast<char>(unit & 0xFF);
        result += static_cast<char>(unit >> 8);
    }
    bytes->swap(result);
    return true;
}

std::string CUTMachineIdentity::VolumeSerialBytes(uint32_t serial) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((serial >> (8 * i)) & 0xFF);
    }
    return bytes;
}

std::wstring CUTMachineIdentity::HashedUserIdentity() {
    std::wstring text;
    std::string bytes;
    if (UserIdentityBytes(&bytes)) {
        text = HashAndLog("GetUserName Hashed : ", bytes);
    }
    return OrUnknown(text);
}

std::wstring CUTMachineIdentity::HashedOsProductId() {
    std::wstring text;
    std::string bytes;
    if (CUTPlatform::Current()->MachineIdBytes(&bytes)) {
        text = HashAndLog("GetProductID Hashed : ", bytes);
    }
    return OrUnknown(text);
}

std::wstring CUTMachineIdentity::HashedVolumeSerial() {
    std::wstring text;
    uint32_t serial = 0;
    if (CUTPlatform::Current()->SystemVolumeSerial(&serial)) {
        text = HashAndLog("GetVolume Hashed : ", VolumeSerialBytes(serial));
    }
    return OrUnknown(text);
}
