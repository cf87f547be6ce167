#include "config/UTRuntimeConfig.h"

#include "config/UTConfigPaths.h"
#include "config/UTScrambler.h"
#include "platform/UTPlatform.h"
#include "transcript/UTMachineIdentity.h"
#include "transcript/UTSystemInfo.h"

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
    std::array<std::wstring, static_cast<size_t>(UTOSText::Count)> texts;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        texts = os_texts_;
        // Many hosts have no DNS domain: once a gathering ran, an empty domain
        // is an answer, not a failure to retry at every use (each retry may
        // wait on the resolver).
        const bool complete = !texts[0].empty() && !texts[1].empty() && !texts[2].empty() &&
                              (os_gathered_ || !texts[3].empty());
        if (complete) {
            return texts[static_cast<size_t>(which)];
        }
    }
    // Gathered outside the lock: it reads files and may ask the resolver.
    CUTSystemInfo::GatherOSInformation(&texts[0], &texts[1], &texts[2], &texts[3]);
    std::lock_guard<std::mutex> lock(mutex_);
    os_texts_ = texts;
    os_gathered_ = true;
    return os_texts_[static_cast<size_t>(which)];
}

CUTSessionIdentity CUTRuntimeConfig::Identity() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!identity_.account.empty() && !identity_.computer.empty()) {
            return identity_;
        }
    }
    // Gathered outside the lock: it reads files and asks the user database.
    const CUTSessionIdentity found = GatherIdentity();
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = found;
    return identity_;
}

CUTSessionIdentity CUTRuntimeConfig::GatherIdentity() {
    CUTSessionIdentity found;
    CUTSystemInfo::UserName(&found.account);
    CUTSystemInfo::ComputerName(&found.computer);
    found.hashed_user = CUTMachineIdentity::HashedUserIdentity();
    found.hashed_os_product = CUTMachineIdentity::HashedOsProductId();
    found.hashed_volume = CUTMachineIdentity::HashedVolumeSerial();
    return found;
}
