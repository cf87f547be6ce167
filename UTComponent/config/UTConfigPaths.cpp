#include "config/UTConfigPaths.h"

#include "base/UTNameHash.h"

#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"

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

}  // namespace

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
