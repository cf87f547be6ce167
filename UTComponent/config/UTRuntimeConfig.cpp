#include "config/UTRuntimeConfig.h"

#include "config/UTConfigPaths.h"
#include "config/UTScrambler.h"
#include "platform/UTPlatform.h"

CUTRuntimeConfig::CUTRuntimeConfig()
    : session_id_(CUTPlatform::Current()->NewGuidText()),
      component_folder_name_(kComponentFolderName) {
    CheckDecodeMarker();
}

std::wstring CUTRuntimeConfig::GetText(UTSessionText field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_[static_cast<size_t>(field)];
}

void CUTRuntimeConfig::SetText(UTSessionText field, const std::wstring& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_[static_cast<size_t>(field)] = value;
}

std::wstring CUTRuntimeConfig::ProductFolderName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return product_folder_name_;
}

void CUTRuntimeConfig::SetProductFolderName(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    product_folder_name_ = name;
}

std::wstring CUTRuntimeConfig::ModuleVersion() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (module_version_.empty()) {
        module_version_ = CUTPlatform::Current()->ModuleVersion();
    }
    return module_version_;
}

std::wstring CUTRuntimeConfig::GetOSText(UTOSText which) {
    std::lock_guard<std::mutex> lock(mutex_);
    return os_texts_[static_cast<size_t>(which)];
}
