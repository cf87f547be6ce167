#include "config/UTConfigPaths.h"

#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"
#include "transcript/TinySha.h"

const wchar_t kCompanyFolderName[] = L"Telvoran";
const wchar_t kComponentFolderName[] = L"TVUT";
const wchar_t kPIUIFileName[] = L"ProdInd_UserInd.cur";
const wchar_t kPIUDFileName[] = L"ProdInd_UserDep.cur";
const wchar_t kProductFileName[] = L"ProdDep_UserDep.cur";
const wchar_t kDecodeMarkerName[] = L"decode.xml";
const wchar_t kTranscriptFolderName[] = L"Transcripts";
const wchar_t kLogFileName[] = L"TVUTLog.log";

namespace {

std::wstring FolderBelow(const std::wstring& root, const std::wstring& subfolder) {
    return root + kPathSeparator + kCompanyFolderName + kPathSeparator + subfolder + kPathSeparator;
}

}  // namespace

std::wstring MachineFolderPath(const std::wstring& subfolder) {
    std::wstring root;
    if (!CUTPlatform::Current()->MachineDataRoot(&root)) {
        return std::wstring();
    }
    return FolderBelow(root, subfolder);
}

std::wstring UserFolderPath(const std::wstring& subfolder) {
    std::wstring root;
    if (!CUTPlatform::Current()->UserDataRoot(&root)) {
        return std::wstring();
    }
    return FolderBelow(root, subfolder);
}

std::wstring SafeFolderNamePart(const std::wstring& text) {
    std::wstring safe = text;
    for (size_t i = 0; i < safe.size(); ++i) {
        const wchar_t c = safe[i];
        if (c == L'/' || c == L'\\' || c == L'\0') {
            safe[i] = L'_';
        } else if (c == L'.' && i + 1 < safe.size() && safe[i + 1] == L'.') {
            safe[i] = L'_';
            safe[i + 1] = L'_';
            ++i;
        }
    }
    return safe;
}

namespace {

// The longest folder name a file system takes, in bytes.
constexpr size_t kMaxFolderNameBytes = 255;
constexpr size_t kReadableFolderPrefix = 100;
constexpr size_t kNameHashBytes = 16;

}  // namespace

std::string NameHash(const std::wstring& name) {
    std::string bytes;
    if (!WideToUtf8(name, &bytes)) {
        // Not representable in UTF-8: the code points themselves, after a
        // byte that UTF-8 never holds, so that no UTF-8 name hashes the same.
        bytes.assign(1, '\xFF');
        for (wchar_t c : name) {
            const uint32_t value = static_cast<uint32_t>(c);
            for (int shift = 0; shift < 32; shift += 8) {
                bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
            }
        }
    }
    tinysha::SHA256 sha;
    tinysha::byte digest[tinysha::SHA256::DIGESTSIZE];
    sha.CalculateDigest(digest, reinterpret_cast<const tinysha::byte*>(bytes.data()), bytes.size());
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < kNameHashBytes; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0x0F]);
    }
    return hex;
}

std::wstring ProductFolderName(const std::wstring& product_line_id,
                               const std::wstring& release_id) {
    std::wstring name = SafeFolderNamePart(product_line_id) + L"_" + SafeFolderNamePart(release_id);
    // Names that fit stay as they always were, so existing folders are found.
    if (ToUtf8(name).size() > kMaxFolderNameBytes) {
        // At most 4 bytes a character: the prefix, "~" and the hash fit.
        size_t prefix = kReadableFolderPrefix;
        // Where wide text is UTF-16, never half a surrogate pair.
        if (prefix > 0 && static_cast<uint32_t>(name[prefix - 1]) >= 0xD800 &&
            static_cast<uint32_t>(name[prefix - 1]) <= 0xDBFF) {
            --prefix;
        }
        name = name.substr(0, prefix) + L"~" + FromUtf8(NameHash(name));
    }
    return std::wstring(kComponentFolderName) + kPathSeparator + name;
}
