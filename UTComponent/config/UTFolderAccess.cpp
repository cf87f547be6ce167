#include "config/UTFolderAccess.h"

#include "config/UTNamedLock.h"
#include "platform/UTPlatform.h"

bool CreateFolderTree(const std::wstring& path) {
    CUTPlatform* platform = CUTPlatform::Current();
    const std::wstring folder = WithoutTrailingSeparator(path);
    if (folder.empty()) {
        return false;
    }
    if (platform->IsFolder(folder)) {
        return true;
    }
    if (platform->FileExists(folder)) {
        return false;
    }
    const size_t cut = folder.find_last_of(kPathSeparator);
    if (cut != std::wstring::npos && cut > 0) {
        const std::wstring parent = folder.substr(0, cut);
        if (!platform->IsFolder(parent) && !CreateFolderTree(parent)) {
            return false;
        }
    }
    // Another process may create it at the same moment: what counts is that
    // the folder exists afterwards.
    platform->CreateFolder(folder);
    return platform->IsFolder(folder);
}

bool CanWriteFolder(const std::wstring& folder) {
    CUTPlatform* platform = CUTPlatform::Current();
    const std::wstring guid = platform->NewGuidText();
    if (folder.empty() || guid.empty()) {
        return false;
    }
    const std::wstring probe = folder + guid;
    if (!platform->CreateFolder(probe)) {
        return false;
    }
    platform->RemoveFolder(probe);
    return true;
}

bool CanUpdateFile(const std::wstring& path) {
    CUTNamedLockGuard guard(FileLockName(path));
    if (!guard.IsHeld()) {
        return false;
    }
    return CUTPlatform::Current()->CanOpenForUpdate(path);
}
