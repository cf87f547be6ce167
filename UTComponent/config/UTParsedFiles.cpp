#include "config/UTParsedFiles.h"

#include <algorithm>
#include <map>
#include <mutex>

#include <tinyxml.h>

#include "base/UTReleasedAtUnload.h"
#include "platform/UTPlatform.h"

namespace {

struct KeptFile {
    unsigned kind = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    uint32_t permissions = 0;
    int64_t last_write_nanos = 0;
    int64_t change_nanos = 0;
    std::shared_ptr<const TiXmlDocument> document;
    bool probed = false;
    bool writable = false;

    bool Shows(const CUTFileStatus& status) const {
        return status.is_regular_file && device == status.device && inode == status.inode &&
               size == status.size && permissions == status.permissions &&
               last_write_nanos == status.last_write_nanos && change_nanos == status.change_nanos;
    }
};

struct KeptFiles {
    std::mutex mutex;
    std::map<std::wstring, KeptFile> files;
};

CUTReleasedAtUnload<KeptFiles> g_kept;

}  // namespace

namespace CUTParsedFiles {

std::shared_ptr<const TiXmlDocument> Find(const std::wstring& path, unsigned kind,
                                          const CUTFileStatus& status) {
    KeptFiles& kept = g_kept.Get();
    std::lock_guard<std::mutex> guard(kept.mutex);
    auto it = kept.files.find(path);
    if (it == kept.files.end() || it->second.kind != kind || !it->second.Shows(status)) {
        return nullptr;
    }
    return it->second.document;
}

void Keep(const std::wstring& path, unsigned kind, const CUTFileStatus& status, int64_t read_began,
          std::shared_ptr<const TiXmlDocument> document) {
    const int64_t newest = std::max(status.last_write_nanos, status.change_nanos);
    KeptFiles& kept = g_kept.Get();
    std::lock_guard<std::mutex> guard(kept.mutex);
    if (!status.is_regular_file || newest < 0 ||
        newest / 1000000000 + kUnchangedSeconds > read_began) {
        // Too fresh to tell from a later edit: whatever was kept is stale.
        kept.files.erase(path);
        return;
    }
    KeptFile file;
    file.kind = kind;
    file.device = status.device;
    file.inode = status.inode;
    file.size = status.size;
    file.permissions = status.permissions;
    file.last_write_nanos = status.last_write_nanos;
    file.change_nanos = status.change_nanos;
    file.document = std::move(document);
    kept.files[path] = std::move(file);
}

bool FindWritable(const std::wstring& path, const CUTFileStatus& status, bool* writable) {
    KeptFiles& kept = g_kept.Get();
    std::lock_guard<std::mutex> guard(kept.mutex);
    auto it = kept.files.find(path);
    if (it == kept.files.end() || !it->second.probed || !it->second.Shows(status)) {
        return false;
    }
    *writable = it->second.writable;
    return true;
}

void KeepWritable(const std::wstring& path, const CUTFileStatus& status, bool writable) {
    KeptFiles& kept = g_kept.Get();
    std::lock_guard<std::mutex> guard(kept.mutex);
    auto it = kept.files.find(path);
    if (it != kept.files.end() && it->second.Shows(status)) {
        it->second.probed = true;
        it->second.writable = writable;
    }
}

void Release() {
    g_kept.Release();
}

}  // namespace CUTParsedFiles
