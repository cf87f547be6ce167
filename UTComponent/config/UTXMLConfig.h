// CUTConfig and CUTXMLConfig: one configuration file, its in-memory document
// and a cache of its values.
//
// Three kinds of file: 0 machine-wide ("ProdInd_UserInd.cur"), 2 per user
// ("ProdInd_UserDep.cur"), 3 per user and product ("ProdDep_UserDep.cur").
// A file holds an XML declaration and one root element with a "version"
// attribute and one child per item, its value in the child's first attribute.
// On disk the file is scrambled unless the "decode.xml" marker switched that
// off.
//
// Several processes share each file. A save is a merge: under the file's
// named lock it reads the file again, applies only the items this object
// changed since it loaded, replaces the file atomically and takes the merged
// result as its own document and cache, so a value another process stored
// meanwhile is neither lost nor hidden. Reading never writes: a save with
// nothing to change (same items, same version) leaves the file untouched.
// Files are read only when they are regular files (a link to one is read
// through), without blocking and up to kSettingsMaxBytes, and only through
// the parse guard; writes replace the directory entry itself, so they never
// write into the target of a link, a FIFO or a device found at the path.
//
// Threads: the document mutex guards the document, the cache and the list of
// changes within the process and is always taken before the file's named
// lock. Failures never throw: a missing, unreadable, oversized, unparsable
// or foreign file (anything but a regular file counts as unreadable) is
// replaced by defaults once, deciding and writing under one holding of the
// file lock; when that write fails the object marks itself failed and serves
// its cache only; without a root folder there is no document, GetValue finds
// nothing, SetValue does nothing and Save fails.
#ifndef TVUT_CONFIG_UTXMLCONFIG_H
#define TVUT_CONFIG_UTXMLCONFIG_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <tvUT/UTObject.h>

#include "config/UTConfigFileClass.h"

class TiXmlDocument;

class CUTConfig : public CUTObject {
public:
    // Makes sure the file exists and is parsed, probes whether it can be
    // written and fills the cache. False when the file cannot be used.
    virtual bool Load() = 0;
    // The value of item name: with reread false from the cache, otherwise
    // read again from the file. False when absent or empty.
    virtual bool GetValue(const std::wstring& name, bool reread, std::wstring* value) = 0;
    // Changes the cache and the document; writes the file when save_now.
    virtual void SetValue(const std::wstring& name, const std::wstring& value, bool save_now) = 0;

protected:
    ~CUTConfig() override = default;
};

class CUTXMLConfig : public CUTConfig {
public:
    // subfolder is the path below the root's "Telvoran" folder ("TVUT" or
    // "TVUT/<product folder>"). Touches no file.
    CUTXMLConfig(unsigned kind, const std::wstring& subfolder);
    ~CUTXMLConfig() override;
    CUTXMLConfig(const CUTXMLConfig&) = delete;
    CUTXMLConfig& operator=(const CUTXMLConfig&) = delete;

    bool Load() override;
    bool GetValue(const std::wstring& name, bool reread, std::wstring* value) override;
    void SetValue(const std::wstring& name, const std::wstring& value, bool save_now) override;

    // Replaces what this process read for name (the item missing, empty or
    // invalid) by value, such as an item's default. Unlike SetValue, the
    // save applies it only while the file still holds what was read, so a
    // value another process stored in the meantime wins.
    void RepairValue(const std::wstring& name, const std::wstring& value, bool save_now);

    // Merges this object's changes into the file (see above) and refreshes
    // the document and cache from the result. True when the file now holds
    // them (also when there was nothing to write); false when there is no
    // usable document, the lock cannot be had or the write failed: the file
    // is then unchanged and the changes wait for the next save.
    bool Save();

    // Removes, under the file's lock, the temporary files that writers of
    // this file left when they died while saving: a file that is seldom
    // written (a product's, once a product is no longer run) would keep them.
    // Returns the paths removed; nothing when the lock cannot be taken.
    std::vector<std::wstring> RemoveLeftTemporaryFiles();

    // Result of the write probe of the last Load.
    bool IsWritable() const { return writable_.load(); }
    bool IsFailed() const { return failed_.load(); }
    // Is the item in the cache at all (even with an empty value)?
    bool IsCached(const std::wstring& name);

    unsigned Kind() const { return kind_; }
    const std::wstring& FolderPath() const { return folder_path_; }
    std::wstring FilePath() const { return folder_path_ + file_name_; }
    const std::wstring& LockName() const { return lock_name_; }

    // The value of item name as the file of kind in subfolder holds it now
    // (read under the file's lock, from what this process keeps of the file
    // while it is unchanged): for a caller outside a session that needs one
    // item. False when the file is missing, unusable or lacks the item; the
    // caller then goes the whole way, which repairs what it finds.
    static bool ReadStoredItem(unsigned kind, const std::wstring& subfolder,
                               const std::wstring& name, std::wstring* value);

    // File name and root element of a kind.
    static const wchar_t* FileNameOf(unsigned kind);
    static const char* RootElementOf(unsigned kind);

    // Parses the bytes of a configuration file, scrambled or plain, into
    // plain XML text, through the parse guard with the settings limits.
    // False when they are neither, or are refused by the guard.
    static bool DecodeFileBytes(const std::string& bytes, unsigned kind, std::string* xml);

private:
    // Removes this file's temporary files; the caller holds the file lock.
    std::vector<std::wstring> RemoveTemporaryFilesLocked();
    // SetValue and RepairValue: a repair is conditional on the file's value.
    void ChangeItem(const std::wstring& name, const std::wstring& value, bool save_now,
                    bool repair);
    // A change of this process that the next save applies to the file.
    struct PendingChange {
        std::wstring value;
        // Apply only while the file holds what this process read: the item
        // absent (expected_present false) or with the text expected.
        bool conditional = false;
        bool expected_present = false;
        std::wstring expected;
    };

    bool EnsureLoaded();
    void BuildDefaults(TiXmlDocument* document) const;
    // Under the file lock: the file's document, or false when it is missing,
    // not a regular file, too large or not a settings file of this kind.
    bool ReadFileLocked(TiXmlDocument* document);
    // The same, shared: the document kept while the file is unchanged, or a
    // new one (kept when the file has settled).
    std::shared_ptr<const TiXmlDocument> ReadDocumentLocked();
    bool WriteFileLocked(const TiXmlDocument& document);
    // Applies the pending changes to document (all of them when
    // unconditional); true when that changed it.
    bool ApplyPending(TiXmlDocument* document, bool unconditional) const;
    void FillCache();

    std::unordered_map<std::wstring, std::wstring> cache_;
    std::wstring folder_path_;
    std::wstring file_name_;
    unsigned kind_;
    std::unique_ptr<TiXmlDocument> document_;
    std::map<std::wstring, PendingChange> pending_;
    std::atomic<bool> writable_;
    std::atomic<bool> failed_;
    std::recursive_mutex document_mutex_;
    std::wstring lock_name_;
};

#endif  // TVUT_CONFIG_UTXMLCONFIG_H
