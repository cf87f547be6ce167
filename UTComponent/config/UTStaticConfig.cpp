#include "config/UTStaticConfig.h"

#include "base/UTStringFormater.h"
#include "config/UTConfigCommon.h"
#include "config/UTConfigValue.h"
#include "log/UTLoggerManager.h"

CUTStaticConfig::CUTStaticConfig(const std::wstring& component_folder,
                                 const std::wstring& product_folder)
    : policy_(CUTMachinePolicy::Load()), pi_ui_writable_(false) {
    if (!product_folder.empty()) {
        product_file_ = std::make_shared<CUTXMLConfig>(UT_FILE_PRODUCT, product_folder);
        product_file_->Load();
    }
    // A file written by another version is stamped with this one; a file
    // that already carries it is not rewritten.
    pi_ud_file_ = std::make_shared<CUTXMLConfig>(UT_FILE_PI_UD, component_folder);
    pi_ud_file_->Load();
    pi_ud_file_->Save();
    pi_ui_file_ = std::make_shared<CUTXMLConfig>(UT_FILE_PI_UI, component_folder);
    pi_ui_file_->Load();
    pi_ui_file_->Save();
    pi_ui_writable_ = pi_ui_file_->IsWritable();
    if (!pi_ui_writable_) {
        CUTLoggerManager::GetInstance()->Log(UT_LOG_DEVDBG,
                                             "don't have permission to write to the PI_UI file");
    }
}

std::shared_ptr<CUTXMLConfig> CUTStaticConfig::FileOfItem(const std::wstring& name) {
    switch (CUTConfigCommon::GetFileClass(name)) {
        case UT_FILE_PI_UI:
            return pi_ui_writable_ ? pi_ui_file_ : pi_ud_file_;
        case UT_FILE_PI_UD:
            return pi_ud_file_;
        case UT_FILE_PRODUCT: {
            std::lock_guard<std::mutex> lock(product_mutex_);
            return product_file_;
        }
        default:
            return nullptr;
    }
}

std::wstring CUTStaticConfig::ReadText(const std::wstring& name, bool reread, int* file_class) {
    const CUTConfigItem* item = CUTConfigCommon::FindItem(name);
    *file_class = item != nullptr ? item->file_class : UT_FILE_NONE;
    std::wstring text;
    if (policy_->Fixes(name, &text)) {
        return text;
    }
    {
        std::lock_guard<std::mutex> lock(overrides_mutex_);
        auto it = overrides_.find(name);
        if (it != overrides_.end()) {
            return it->second;
        }
    }
    std::shared_ptr<CUTXMLConfig> file = FileOfItem(name);
    if (file && file->GetValue(name, reread, &text)) {
        return text;
    }
    text = item != nullptr ? item->default_value : L"";
    // Add a missing item with its default; an item that is there with an
    // empty value equal to its default needs no rewrite. Another process
    // may have stored the item since this one loaded: its value then stands.
    if (file && !(text.empty() && file->IsCached(name))) {
        file->RepairValue(name, text, true);
        std::wstring stored;
        if (file->GetValue(name, false, &stored)) {
            return stored;
        }
    }
    return text;
}

template <class T>
T CUTStaticConfig::ReadNumber(const std::wstring& name, bool reread) {
    int file_class = UT_FILE_NONE;
    const std::wstring text = ReadText(name, reread, &file_class);
    const CUTConfigItem* item = CUTConfigCommon::FindItem(name);
    const int range = item != nullptr ? item->range : UT_RANGE_ANY;
    T value{};
    if (ParseConfigNumber(text, &value) && IsInConfigRange(static_cast<long long>(value), range)) {
        return value;
    }
    T fallback{};
    if (item != nullptr) {
        ParseConfigNumber(std::wstring(item->default_value), &fallback);
        // The user's own file keeps what is there; shared files are repaired
        // (unless another process stores a value first).
        std::shared_ptr<CUTXMLConfig> file = FileOfItem(name);
        if (file && (file_class == UT_FILE_PI_UI || file_class == UT_FILE_PRODUCT)) {
            file->RepairValue(name, item->default_value, reread);
        }
    }
    return fallback;
}

bool CUTStaticConfig::GetBool(const std::wstring& name, bool reread) {
    return ReadNumber<bool>(name, reread);
}

int32_t CUTStaticConfig::GetInt(const std::wstring& name, bool reread) {
    return ReadNumber<int32_t>(name, reread);
}

int64_t CUTStaticConfig::GetInt64(const std::wstring& name, bool reread) {
    return ReadNumber<int64_t>(name, reread);
}

std::wstring CUTStaticConfig::GetString(const std::wstring& name, bool reread) {
    int file_class = UT_FILE_NONE;
    return ReadText(name, reread, &file_class);
}

void CUTStaticConfig::WriteText(const std::wstring& name, const std::wstring& text, bool save_now) {
    std::wstring fixed;
    if (policy_->Fixes(name, &fixed)) {
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(dropped_mutex_);
            first = dropped_writes_.insert(name).second;
        }
        if (first) {
            CUTLoggerManager::GetInstance()->Log(
                UT_LOG_WARNING,
                "%ls is fixed by the machine policy to \"%ls\": a write of \"%ls\" is dropped",
                name.c_str(), fixed.c_str(), text.c_str());
        }
        return;
    }
    std::shared_ptr<CUTXMLConfig> file = FileOfItem(name);
    if (file) {
        file->SetValue(name, text, save_now);
    }
}

bool CUTStaticConfig::SaveNow(const std::wstring& name, const std::wstring& value) {
    std::wstring fixed;
    if (policy_->Fixes(name, &fixed)) {
        WriteText(name, value, false);  // logs the dropped write
        return false;
    }
    std::shared_ptr<CUTXMLConfig> file = FileOfItem(name);
    if (!file) {
        return false;
    }
    file->SetValue(name, value, false);
    return file->Save();
}

void CUTStaticConfig::OverrideForThisSession(const std::wstring& name, const std::wstring& value) {
    std::lock_guard<std::mutex> lock(overrides_mutex_);
    overrides_[name] = value;
}

void CUTStaticConfig::SetBool(const std::wstring& name, bool value, bool save_now) {
    WriteText(name, value ? L"1" : L"0", save_now);
}

void CUTStaticConfig::SetInt(const std::wstring& name, int32_t value, bool save_now) {
    WriteText(name, IntToWString(value), save_now);
}

void CUTStaticConfig::SetInt64(const std::wstring& name, int64_t value, bool save_now) {
    WriteText(name, IntToWString(value), save_now);
}

void CUTStaticConfig::SetString(const std::wstring& name, const std::wstring& value,
                                bool save_now) {
    WriteText(name, value, save_now);
}

void CUTStaticConfig::Flush() {
    std::shared_ptr<CUTXMLConfig> product;
    {
        std::lock_guard<std::mutex> lock(product_mutex_);
        product = product_file_;
    }
    for (const auto& file : {pi_ui_file_, product, pi_ud_file_}) {
        if (file) {
            file->Save();
        }
    }
}

bool CUTStaticConfig::LoadProductFile(const std::wstring& product_folder) {
    auto file = std::make_shared<CUTXMLConfig>(UT_FILE_PRODUCT, product_folder);
    file->Load();
    std::lock_guard<std::mutex> lock(product_mutex_);
    product_file_ = file;
    return file->IsWritable();
}
