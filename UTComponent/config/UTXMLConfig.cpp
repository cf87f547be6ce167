#include "config/UTXMLConfig.h"

#include <cstring>

#include <tinyxml.h>

#include "base/UTParseGuard.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigCommon.h"
#include "config/UTConfigPaths.h"
#include "config/UTFolderAccess.h"
#include "config/UTParsedFiles.h"
#include "config/UTScrambler.h"
#include "log/UTLoggerManager.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"

namespace {

const char kVersionAttribute[] = "version";
const char kValueAttribute[] = "value";

// A settings document: parsed through the guard, with a root element.
bool ParseSettings(const std::string& xml, TiXmlDocument* document) {
    return ParseXmlGuarded(xml, StoredFileLimits(), document) && document->RootElement() != nullptr;
}

// Gives document tvUT's own declaration (version 1.0, UTF-8, no standalone)
// in place of whatever the file had. The parser keeps a declaration's values
// as read and the printer writes them back unescaped, so a quote or a stray
// byte there would make the saved file read as another document. True when
// the document changed.
bool UseOwnDeclaration(TiXmlDocument* document) {
    const TiXmlNode* first = document->FirstChild();
    const TiXmlDeclaration* own = first != nullptr ? first->ToDeclaration() : nullptr;
    bool others = false;
    for (const TiXmlNode* node = first != nullptr ? first->NextSibling() : nullptr; node != nullptr;
         node = node->NextSibling()) {
        others = others || node->ToDeclaration() != nullptr;
    }
    if (own != nullptr && !others && std::strcmp(own->Version(), "1.0") == 0 &&
        std::strcmp(own->Encoding(), "UTF-8") == 0 && own->Standalone()[0] == '\0') {
        return false;
    }
    for (TiXmlNode* node = document->FirstChild(); node != nullptr;) {
        TiXmlNode* next = node->NextSibling();
        if (node->ToDeclaration() != nullptr) {
            document->RemoveChild(node);
        }
        node = next;
    }
    const TiXmlDeclaration declaration("1.0", "UTF-8", "");
    if (document->FirstChild() != nullptr) {
        document->InsertBeforeChild(document->FirstChild(), declaration);
    } else {
        document->InsertEndChild(declaration);
    }
    return true;
}

std::string PrintDocument(const TiXmlDocument& document) {
    TiXmlPrinter printer;
    document.Accept(&printer);
    return printer.Str();
}

// Sets the first attribute of root's first child called name, adding the
// child or a "value" attribute where missing; true when that changed
// anything.
bool SetItem(TiXmlElement* root, const std::string& name, const std::string& value) {
    TiXmlElement* element = root->FirstChildElement(name);
    if (element == nullptr) {
        element = new TiXmlElement(name);
        element->SetAttribute(kValueAttribute, value);
        root->LinkEndChild(element);
        return true;
    }
    if (TiXmlAttribute* attribute = element->FirstAttribute()) {
        if (attribute->ValueStr() == value) {
            return false;
        }
        attribute->SetValue(value);
        return true;
    }
    element->SetAttribute(kValueAttribute, value);
    return true;
}

// The first attribute of root's first child called name, or null.
const TiXmlAttribute* ItemAttribute(const TiXmlElement* root, const std::string& name) {
    const TiXmlElement* element = root != nullptr ? root->FirstChildElement(name) : nullptr;
    return element != nullptr ? element->FirstAttribute() : nullptr;
}

// Decodes bytes, scrambled or plain, into document; *xml gets the plain text.
bool DecodeSettings(const std::string& bytes, const char* root_name, TiXmlDocument* document,
                    std::string* xml) {
    if (bytes.empty() || bytes.size() > kSettingsMaxBytes) {
        return false;
    }
    std::string scrambled_view = bytes;
    ScrambleBytes(&scrambled_view);
    const bool scrambling_on = IsConfigScramblingOn();
    const std::string& expected = scrambling_on ? scrambled_view : bytes;
    const std::string& other = scrambling_on ? bytes : scrambled_view;
    if (ParseSettings(expected, document)) {
        if (xml != nullptr) {
            *xml = expected;
        }
        return true;
    }
    // A file written before "decode.xml" appeared (or after it was removed by
    // another process) is still ours: read it in the other form rather than
    // replace it with defaults. Only a file with our root element qualifies.
    if (ParseSettings(other, document) && document->RootElement()->ValueStr() == root_name) {
        if (xml != nullptr) {
            *xml = other;
        }
        return true;
    }
    document->Clear();
    return false;
}

}  // namespace

const wchar_t* CUTXMLConfig::FileNameOf(unsigned kind) {
    switch (kind) {
        case UT_FILE_PI_UI:
            return kPIUIFileName;
        case UT_FILE_PI_UD:
            return kPIUDFileName;
        default:
            return kProductFileName;
    }
}

const char* CUTXMLConfig::RootElementOf(unsigned kind) {
    switch (kind) {
        case UT_FILE_PI_UI:
            return "PROD_IND_USER_IND";
        case UT_FILE_PI_UD:
            return "PROD_IND_USER_DEP";
        default:
            return "PROD_DEP_USER_DEP";
    }
}

bool CUTXMLConfig::DecodeFileBytes(const std::string& bytes, unsigned kind, std::string* xml) {
    TiXmlDocument document;
    return DecodeSettings(bytes, RootElementOf(kind), &document, xml);
}

CUTXMLConfig::CUTXMLConfig(unsigned kind, const std::wstring& subfolder)
    : file_name_(FileNameOf(kind)), kind_(kind), writable_(false), failed_(false) {
    folder_path_ = kind == UT_FILE_PI_UI ? MachineFolderPath(subfolder) : UserFolderPath(subfolder);
    lock_name_ = FileLockName(folder_path_ + file_name_);
    if (!folder_path_.empty()) {
        document_ = std::make_unique<TiXmlDocument>(ToUtf8(folder_path_ + file_name_));
    }
}

CUTXMLConfig::~CUTXMLConfig() = default;

std::vector<std::wstring> CUTXMLConfig::RemoveTemporaryFilesLocked() {
    CUTPlatform* platform = CUTPlatform::Current();
    // Called under the file lock, so no writer that shares this process's
    // lock folder is using a temporary file of this name now; one that does
    // not share it may be, which only the file's age tells. What is old was
    // left by a process that died while saving.
    std::vector<std::wstring> removed;
    for (const std::wstring& stale : ListFiles(platform, folder_path_, FilePath() + L".tmp")) {
        if (IsAbandonedTemporaryFile(platform, stale) && platform->RemoveFile(stale)) {
            removed.push_back(stale);
        }
    }
    return removed;
}

std::vector<std::wstring> CUTXMLConfig::RemoveLeftTemporaryFiles() {
    // Listed first without the lock: the lock is taken only when there is
    // something to remove.
    if (folder_path_.empty() ||
        ListFiles(CUTPlatform::Current(), folder_path_, FilePath() + L".tmp").empty()) {
        return std::vector<std::wstring>();
    }
    CUTNamedLockGuard guard(lock_name_);
    if (!guard.IsHeld()) {
        return std::vector<std::wstring>();
    }
    return RemoveTemporaryFilesLocked();
}

bool CUTXMLConfig::WriteFileLocked(const TiXmlDocument& document) {
    CUTPlatform* platform = CUTPlatform::Current();
    RemoveTemporaryFilesLocked();
    std::string bytes = PrintDocument(document);
    if (IsConfigScramblingOn()) {
        ScrambleBytes(&bytes);
    }
    // A rename over the path: whatever was there (a damaged file, a link, a
    // FIFO) is replaced as a name, never written into. The mode is fixed:
    // the machine-wide file is for every user of the machine to read, the
    // others for their owner alone.
    return ReplaceFileAtomically(platform, FilePath(), bytes, kind_ == UT_FILE_PI_UI ? 0644 : 0600)
        .ok();
}

void CUTXMLConfig::BuildDefaults(TiXmlDocument* document) const {
    document->Clear();
    document->LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    auto* root = new TiXmlElement(RootElementOf(kind_));
    root->SetAttribute(kVersionAttribute, ToUtf8(CUTPlatform::Current()->ModuleVersion()));
    document->LinkEndChild(root);
    for (const CUTConfigItem& item : CUTConfigCommon::Items()) {
        if (static_cast<unsigned>(item.file_class) == kind_) {
            auto* child = new TiXmlElement(ToUtf8(item.name));
            child->SetAttribute(kValueAttribute, ToUtf8(item.default_value));
            root->LinkEndChild(child);
        }
    }
}

std::shared_ptr<const TiXmlDocument> CUTXMLConfig::ReadDocumentLocked() {
    CUTPlatform* platform = CUTPlatform::Current();
    const int64_t read_began = CurrentTimeSeconds(platform);
    CUTFileStatus status;
    const bool known = platform->GetFileStatus(FilePath(), &status) && status.is_regular_file;
    if (known) {
        if (std::shared_ptr<const TiXmlDocument> kept =
                CUTParsedFiles::Find(FilePath(), kind_, status)) {
            return kept;
        }
    }
    std::string bytes;
    const CUTOsStatus read = ReadWholeFile(platform, FilePath(), &bytes, kSettingsMaxBytes);
    if (!read) {
        if (read.Is(UTOsError::kTooLarge)) {
            CUTLoggerManager::GetInstance()->Log(
                UT_LOG_ERROR, "Config file larger than %d bytes, not read! File path %ls",
                static_cast<int>(kSettingsMaxBytes), FilePath().c_str());
        }
        return nullptr;
    }
    auto parsed = std::make_shared<TiXmlDocument>();
    if (!DecodeSettings(bytes, RootElementOf(kind_), parsed.get(), nullptr)) {
        CUTLoggerManager::GetInstance()->Log(
            UT_LOG_ERROR, "Decode Config file Error! File path %ls", FilePath().c_str());
        return nullptr;
    }
    // The status was read before the bytes: a file replaced in between is
    // kept under the older status, which the path no longer shows.
    if (known) {
        CUTParsedFiles::Keep(FilePath(), kind_, status, read_began, parsed);
    }
    return parsed;
}

bool CUTXMLConfig::ReadFileLocked(TiXmlDocument* document) {
    const std::shared_ptr<const TiXmlDocument> read = ReadDocumentLocked();
    if (!read) {
        return false;
    }
    *document = *read;
    return true;
}

bool CUTXMLConfig::ReadStoredItem(unsigned kind, const std::wstring& subfolder,
                                  const std::wstring& name, std::wstring* value) {
    CUTXMLConfig file(kind, subfolder);
    if (!file.document_) {
        return false;
    }
    CUTNamedLockGuard guard(file.lock_name_);
    if (!guard.IsHeld()) {
        return false;
    }
    const std::shared_ptr<const TiXmlDocument> document = file.ReadDocumentLocked();
    const TiXmlAttribute* attribute =
        document ? ItemAttribute(document->RootElement(), ToUtf8(name)) : nullptr;
    if (attribute == nullptr) {
        return false;
    }
    *value = FromUtf8(attribute->ValueStr());
    return true;
}

bool CUTXMLConfig::ApplyPending(TiXmlDocument* document, bool unconditional) const {
    TiXmlElement* root = document->RootElement();
    if (root == nullptr) {
        return false;
    }
    bool changed = false;
    for (const auto& entry : pending_) {
        const std::string name = ToUtf8(entry.first);
        const PendingChange& change = entry.second;
        if (change.conditional && !unconditional) {
            const TiXmlAttribute* attribute = ItemAttribute(root, name);
            const bool present = attribute != nullptr;
            if (present != change.expected_present ||
                (present && FromUtf8(attribute->ValueStr()) != change.expected)) {
                continue;  // another process stored a value since: it stands
            }
        }
        changed = SetItem(root, name, ToUtf8(change.value)) || changed;
    }
    return changed;
}

bool CUTXMLConfig::EnsureLoaded() {
    if (!document_) {
        writable_.store(false);
        return false;
    }
    CUTPlatform* platform = CUTPlatform::Current();
    std::lock_guard<std::recursive_mutex> lock(document_mutex_);
    if (!failed_.load() && !FileExists(platform, FilePath())) {
        CreateFolderTree(CUTPlatform::Current(), folder_path_);
    }
    // Reading, deciding that the file is unusable and writing the defaults
    // happen under one holding of the lock: a file another process repaired
    // and saved in between would otherwise be overwritten.
    CUTNamedLockGuard guard(lock_name_);
    if (!guard.IsHeld()) {
        return false;
    }
    TiXmlDocument fresh;
    if (ReadFileLocked(&fresh)) {
        *document_ = fresh;
        // What this process changed and has not saved yet stays in its view.
        ApplyPending(document_.get(), false);
        return true;
    }
    if (!failed_.load()) {
        CheckDecodeMarker();
        BuildDefaults(&fresh);
        if (WriteFileLocked(fresh)) {
            *document_ = fresh;
            ApplyPending(document_.get(), true);
            return true;
        }
    }
    failed_.store(true);
    document_->Clear();
    return false;
}

void CUTXMLConfig::FillCache() {
    std::lock_guard<std::recursive_mutex> lock(document_mutex_);
    TiXmlElement* root = document_->RootElement();
    if (root == nullptr) {
        return;
    }
    // The first element of a name counts, as for a reread and a write: a
    // value saved into it must be the value read back.
    std::unordered_map<std::wstring, std::wstring> read;
    for (TiXmlElement* child = root->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const TiXmlAttribute* attribute = child->FirstAttribute();
        if (attribute != nullptr) {
            read.emplace(FromUtf8(child->ValueStr()), FromUtf8(attribute->ValueStr()));
        }
    }
    for (auto& item : read) {
        cache_[item.first] = std::move(item.second);
    }
}

bool CUTXMLConfig::Load() {
    if (!EnsureLoaded()) {
        return false;
    }
    CUTPlatform* platform = CUTPlatform::Current();
    CUTFileStatus status;
    // A file its owner may already write needs no change, and the probe's
    // result can be kept with the file's document.
    const bool owner_writable =
        platform->GetFileStatus(FilePath(), &status) && status.owner_writable;
    if (!owner_writable) {
        // Never follows a link and changes only a regular file of this user.
        platform->MakeOwnerWritable(FilePath());
    }
    bool writable = false;
    if (!owner_writable || !CUTParsedFiles::FindWritable(FilePath(), status, &writable)) {
        CUTNamedLockGuard guard(lock_name_);
        writable = guard.IsHeld() && platform->CanOpenForUpdate(FilePath());
        if (owner_writable && guard.IsHeld()) {
            CUTParsedFiles::KeepWritable(FilePath(), status, writable);
        }
    }
    writable_.store(writable);
    FillCache();
    return true;
}

bool CUTXMLConfig::GetValue(const std::wstring& name, bool reread, std::wstring* value) {
    std::lock_guard<std::recursive_mutex> lock(document_mutex_);
    if (reread) {
        if (!EnsureLoaded()) {
            return false;
        }
        const TiXmlAttribute* attribute = ItemAttribute(document_->RootElement(), ToUtf8(name));
        if (attribute == nullptr) {
            return false;
        }
        cache_[name] = FromUtf8(attribute->ValueStr());
    }
    auto it = cache_.find(name);
    if (it == cache_.end() || it->second.empty()) {
        return false;
    }
    *value = it->second;
    return true;
}

bool CUTXMLConfig::IsCached(const std::wstring& name) {
    std::lock_guard<std::recursive_mutex> lock(document_mutex_);
    return cache_.count(name) != 0;
}

void CUTXMLConfig::SetValue(const std::wstring& name, const std::wstring& value, bool save_now) {
    ChangeItem(name, value, save_now, false);
}

void CUTXMLConfig::RepairValue(const std::wstring& name, const std::wstring& value, bool save_now) {
    ChangeItem(name, value, save_now, true);
}

void CUTXMLConfig::ChangeItem(const std::wstring& name, const std::wstring& value, bool save_now,
                              bool repair) {
    if (!document_) {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(document_mutex_);
        cache_[name] = value;
        if (failed_.load()) {
            return;
        }
        TiXmlElement* root = document_->RootElement();
        if (root == nullptr) {
            return;
        }
        const std::string utf8_name = ToUtf8(name);
        auto it = pending_.find(name);
        if (!repair) {
            pending_[name] = PendingChange();
            pending_[name].value = value;
        } else if (it != pending_.end()) {
            // Repairing this process's own change: it keeps its condition.
            it->second.value = value;
        } else {
            // A repair stands only while the file still holds what this
            // process read: a value another process stored meanwhile wins.
            PendingChange change;
            change.value = value;
            change.conditional = true;
            const TiXmlAttribute* attribute = ItemAttribute(root, utf8_name);
            change.expected_present = attribute != nullptr;
            if (attribute != nullptr) {
                change.expected = FromUtf8(attribute->ValueStr());
            }
            pending_.emplace(name, change);
        }
        SetItem(root, utf8_name, ToUtf8(value));
    }
    if (save_now) {
        Save();
    }
}

bool CUTXMLConfig::Save() {
    if (!document_) {
        return false;
    }
    CheckDecodeMarker();
    std::lock_guard<std::recursive_mutex> lock(document_mutex_);
    TiXmlElement* root = document_->RootElement();
    // A document that never loaded would replace the file with nothing.
    if (root == nullptr) {
        return false;
    }
    const std::string version = ToUtf8(CUTPlatform::Current()->ModuleVersion());
    const std::string* stored_version = root->Attribute(std::string(kVersionAttribute));
    if (pending_.empty() && stored_version != nullptr && *stored_version == version) {
        return true;
    }
    CUTNamedLockGuard guard(lock_name_);
    if (!guard.IsHeld()) {
        return false;
    }
    TiXmlDocument merged;
    const bool fresh = ReadFileLocked(&merged);
    if (!fresh) {
        // Missing or damaged since this object loaded it: this process's
        // document is the best there is, and writing it is the repair.
        merged = *document_;
    }
    bool changed = ApplyPending(&merged, !fresh) || !fresh;
    changed = UseOwnDeclaration(&merged) || changed;
    TiXmlElement* merged_root = merged.RootElement();
    const std::string* merged_version = merged_root->Attribute(std::string(kVersionAttribute));
    if (merged_version == nullptr || *merged_version != version) {
        merged_root->SetAttribute(kVersionAttribute, version);
        changed = true;
    }
    if (changed && !WriteFileLocked(merged)) {
        return false;
    }
    *document_ = merged;
    pending_.clear();
    cache_.clear();
    FillCache();
    return true;
}
