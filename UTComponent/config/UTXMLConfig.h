// CUTConfig and CUTXMLConfig: one configuration file, its in-memory document
// and a cache of its values.
//
// Three kinds of file: 0 machine-wide ("ProdInd_UserInd.cur"), 2 per user
// ("ProdInd_UserDep.cur"), 3 per user and product ("ProdDep_UserDep.cur").
// A file holds an XML declaration and one root element with a "version"
// attribute and one child per item, its value in the child's first attribute.
// On disk the file is scrambled unless the "decode.xml" marker switched that
// off. Saves replace the file atomically under the file's named lock, so a
// reader in another process and a process killed mid-save both find either
// the old file or the new one.
//
// Threads: the document mutex guards the document and the cache within the
// process and is always taken before the file's named lock. Failures never
// throw: a missing file is created with defaults; an unreadable or
// unparsable one is re-created once and otherwise the object marks itself
// failed and serves its cache only; without a root folder there is no
// document, GetValue finds nothing, SetValue does nothing and Save fails.
#ifndef TVUT_CONFIG_UTXMLCONFIG_H
#define TVUT_CONFIG_UTXMLCONFIG_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <tvUT/UTObject.h>

class TiXmlDocument;

enum UTConfigFileKind { UT_CONFIG_PI_UI = 0, UT_CONFIG_PI_UD = 2, UT_CONFIG_PRODUCT = 3 };

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

    // Writes the whole document over the file (the later save of two
    // processes wins). False when there is no usable document or the write
    // failed; the file on disk is then unchanged.
    bool Save();

    // Result of the write probe of the last Load.
    bool IsWritable() const { return writable_.load(); }
    bool IsFailed() const { return failed_.load(); }
    // Is the item in the cache at all (even with an empty value)?
    bool IsCached(const std::wstring& name);

    unsigned Kind() const { return kind_; }
    const std::wstring& FolderPath() const { return folder_path_; }
    std::wstring FilePath() const { return folder_path_ + file_name_; }
    const std::wstring& LockName() const { return lock_name_; }

    // File name and root element of a kind.
    static const wchar_t* FileNameOf(unsigned kind);
    static const char* RootElementOf(unsigned kind);

    // Parses the bytes of a configuration file, scrambled or plain, into
    // plain XML text. False when they are neither.
    static bool DecodeFileBytes(const std::string& bytes, unsigned kind, std::string* xml);

private:
    bool EnsureLoaded();
    bool CreateDefault(bool only_if_missing);
    bool ReadDocument();
    bool WriteDocument(TiXmlDocument* document);
    void FillCache();

    std::unordered_map<std::wstring, std::wstring> cache_;
    std::wstring folder_path_;
    std::wstring file_name_;
    unsigned kind_;
    std::unique_ptr<TiXmlDocument> document_;
    std::atomic<bool> writable_;
    std::atomic<bool> failed_;
    std::recursive_mutex document_mutex_;
    std::wstring lock_name_;
};

#endif  // TVUT_CONFIG_UTXMLCONFIG_H
