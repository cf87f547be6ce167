#include "config/UTFolderAccess.h"

#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"

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
    return CUTPlatform::Current()->CanOpenForUpdate(path).ok();
}
