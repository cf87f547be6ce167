#include "config/UTXMLConfig.h"

#include <tinyxml.h>

#include "config/UTConfigCommon.h"
#include "config/UTConfigPaths.h"
#include "config/UTFolderAccess.h"
#include "config/UTNamedLock.h"
#include "config/UTScrambler.h"
#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"

namespace {

const char kVersionAttribute[] = "version";
const char kValueAttribute[] = "value";

bool ParseXml(const std::string& xml, TiXmlDocument* document) {
    document->Clear();
    document->Parse(xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
    return !document->Error() && document->RootElement() != nullptr;
}

bool HasRoot(const std::string& xml, const char* root_name) {
    TiXmlDocument document;
    return ParseXml(xml, &document) && document.RootElement()->ValueStr() == root_name;
}

std::string PrintDocument(const TiXmlDocument& document) {
    TiXmlPrinter printer;
    document.Accept(&printer);
    return printer.Str();
}

}  // namespace

const wchar_t* CUTXMLConfig::FileNameOf(unsigned kind) {
    switch (kind) {
        case UT_CONFIG_PI_UI:
            return kPIUIFileName;
        case UT_CONFIG_PI_UD:
            return kPIUDFileName;
        default:
            return kProductFileName;
    }
}

const char* CUTXMLConfig::RootElementOf(unsigned kind) {
    switch (kind) {
        case UT_CONFIG_PI_UI:
            return "PROD_IND_USER_IND";
        case UT_CONFIG_PI_UD:
            return "PROD_IND_USER_DEP";
        default:
            return "PROD_DEP_USER_DEP";
    }
}

bool CUTXMLConfig::DecodeFileBytes(const std::string& bytes, unsigned kind, std::string* xml) {
    if (bytes.empty()) {
        return false;
    }
    std::string scrambled_view = bytes;
    ScrambleBytes(&scrambled_view);
    const bool scrambling_on = IsConfigScramblingOn();
    const std::string& expected = scrambling_on ? scrambled_view : bytes;
    const std::string& other = scrambling_on ? bytes : scrambled_view;
    TiXmlDocument document;
    if (ParseXml(expected, &document)) {
        *xml = expected;
        return true;
    }
    // A file written before "decode.xml" appeared (or after it was removed by
    // another process) is still ours: read it in the other form rather than
    // replace it with defaults. Only a file with our root element qualifies.
    if (HasRoot(other, RootElementOf(kind))) {
        *xml = other;
        return true;
    }
    return false;
}

CUTXMLConfig::CUTXMLConfig(unsigned kind, const std::wstring& subfolder)
    : file_name_(FileNameOf(kind)), kind_(kind), writable_(false), failed_(false) {
    folder_path_ =
        kind == UT_CONFIG_PI_UI ? MachineFolderPath(subfolder) : UserFolderPath(subfolder);
    lock_name_ = FileLockName(folder_path_ + file_name_);
    if (!folder_path_.empty()) {
        document_ = std::make_unique<TiXmlDocument>(ToUtf8(folder_path_ + file_name_));
    }
}

CUTXMLConfig::~CUTXMLConfig() = default;

bool CUTXMLConfig::WriteDocument(TiXmlDocument* document) {
    CUTPlatform* platform = CUTPlatform::Current();
    // Called under the file lock, so no other writer is using a temporary
    // file of this name now: what is there was left by a process that died
    // while saving.
    for (const std::wstring& stale : platform->ListFiles(folder_path_, FilePath() + L".tmp")) {
        platform->RemoveFile(stale);
    }
    std::string bytes = PrintDocument(*document);
    if (IsConfigScramblingOn()) {
        ScrambleBytes(&bytes);
    }
    return platform->ReplaceFileAtomically(FilePath(), bytes);
}

bool CUTXMLConfig::CreateDefault(bool only_if_missing) {
    if (failed_.load()) {
        return false;
    }
    CheckDecodeMarker();
    TiXmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    auto* root = new TiXmlElement(RootElementOf(kind_));
    root->SetAttribute(kVersionAttribute, ToUtf8(CUTPlatform::Current()->ModuleVersion()));
    document.LinkEndChild(root);
    for (const CUTConfigItem& item : CUTConfigCommon::Items()) {
        if (static_cast<unsigned>(item.file_class) == kind_) {
            auto* child = new TiXmlElement(ToUtf8(item.name));
            child->SetAttribute(kValueAttribute, ToUtf8(item.default_value));
            root->LinkEndChild(child);
        }
    }
    CreateFolderTree(folder_path_);
    CUTNamedLockGuard guard(lock_name_);
    if (!guard.IsHeld()) {
        return false;
    }
    // Another process may have created the file since we looked: its content
    // wins over our defaults.
    if (only_if_missing && CUTPlatform::Current()->FileExists(FilePath())) {
        return true;
    }
    if (!WriteDocument(&document)) {
        failed_.store(true);
        return false;
    }
    return true;
}

bool CUTXMLConfig::ReadDocument() {
    std::string bytes;
    {
        CUTNamedLockGuard guard(lock_name_);
        if (!guard.IsHeld() || !CUTPlatform::Current()->ReadWholeFile(FilePath(), &bytes)) {
            return false;
        }
    }
    std::string xml;
    if (!DecodeFileBytes(bytes, kind_, &xml)) {
        return false;
    }
    return ParseXml(xml, document_.get());
}

bool CUTXMLConfig::EnsureLoaded() {
    if (!document_) {
        writable_.store(false);
        return false;
    }
    if (!CUTPlatform::Current()->FileExists(FilePath()) && !CreateDefault(true)) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(document_mutex_);
    if (ReadDocument()) {
        return true;
    }
    if (CreateDefault(false) && ReadDocument()) {
        return true;
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
    for (TiXmlElement* child = root->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const TiXmlAttribute* attribute = child->FirstAttribute();
        if (attribute != nullptr) {
            cache_[FromUtf8(child->ValueStr())] = FromUtf8(attribute->ValueStr());
        }
    }
}

bool CUTXMLConfig::Load() {
    if (!EnsureLoaded()) {
        return false;
    }
    CUTPlatform* platform = CUTPlatform::Current();
    platform->MakeOwnerWritable(FilePath());
    {
        CUTNamedLockGuard guard(lock_name_);
        writable_.store(guard.IsHeld() && platform->CanOpenForUpdate(FilePath()));
    }
    FillCache();
    return true;
}

bool CUTXMLConfig::GetValue(const std::wstring& name, bool reread, std::wstring* value) {
    std::lock_guard<std::recursive_mutex> lock(document_mutex_);
    if (reread) {
        if (!EnsureLoaded()) {
            return false;
        }
        TiXmlElement* root = document_->RootElement();
        TiXmlElement* element = root != nullptr ? root->FirstChildElement(ToUtf8(name)) : nullptr;
        const TiXmlAttribute* attribute = element != nullptr ? element->FirstAttribute() : nullptr;
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
        const std::string utf8_value = ToUtf8(value);
        TiXmlElement* element = root->FirstChildElement(utf8_name);
        if (element == nullptr) {
            element = new TiXmlElement(utf8_name);
            element->SetAttribute(kValueAttribute, utf8_value);
            root->LinkEndChild(element);
        } else if (TiXmlAttribute* attribute = element->FirstAttribute()) {
            attribute->SetValue(utf8_value);
        } else {
            element->SetAttribute(kValueAttribute, utf8_value);
        }
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
    CUTNamedLockGuard guard(lock_name_);
    if (!guard.IsHeld()) {
        return false;
    }
    root->SetAttribute(kVersionAttribute, ToUtf8(CUTPlatform::Current()->ModuleVersion()));
    return WriteDocument(document_.get());
}
