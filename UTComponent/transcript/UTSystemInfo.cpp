#include "transcript/UTSystemInfo.h"

#include "base/UTTextCodec.h"
#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"
#include "transcript/TextConversion.h"
#include "transcript/UTLocaleTable.h"

namespace {

bool AcceptName(const std::wstring& found, std::wstring* name) {
    if (found.empty() || found.size() >= CUTSystemInfo::kNameBufferSize) {
        return false;
    }
    *name = found;
    return true;
}

}  // namespace

bool CUTSystemInfo::ComputerName(std::wstring* name) {
    std::wstring found;
    return CUTPlatform::Current()->ComputerName(&found) && AcceptName(found, name);
}

bool CUTSystemInfo::UserName(std::wstring* name) {
    std::wstring found;
    return CUTPlatform::Current()->AccountName(&found) && AcceptName(found, name);
}

bool CUTSystemInfo::QualifiedUserName(std::wstring* name) {
    std::wstring found;
    if (!CUTPlatform::Current()->QualifiedAccountName(&found) || found.empty()) {
        return false;
    }
    // The computer and the user part each had a buffer of their own.
    const size_t separator = found.find(L'\\');
    const size_t computer = separator == std::wstring::npos ? 0 : separator;
    const size_t user =
        separator == std::wstring::npos ? found.size() : found.size() - separator - 1;
    if (computer >= kNameBufferSize || user >= kNameBufferSize) {
        return false;
    }
    *name = found;
    return true;
}

std::wstring CUTSystemInfo::VersionText(const std::wstring& version,
                                        const std::wstring& service_pack,
                                        const std::wstring& build) {
    return version + L" " + service_pack + L" Build " + build;
}

void CUTSystemInfo::GatherOSInformation(std::wstring* os_name, std::wstring* os_version,
                                        std::wstring* os_locale, std::wstring* domain) {
    CUTPlatform* platform = CUTPlatform::Current();

    CUTOsDescription system;
    platform->OperatingSystem(&system);
    if (!system.name.empty()) {
        *os_name = system.name;
    } else {
        CUTLoggerManager::GetInstance()->Log(UT_LOG_DEVDBG, "Cannot read os-release");
    }
    if (system.build.empty()) {
        CUTLoggerManager::GetInstance()->Log(UT_LOG_DEVDBG, "uname Failed!");
    }
    if (!system.name.empty() || !system.build.empty()) {
        *os_version = VersionText(system.version, system.service_pack, system.build);
    }

    *os_locale = CUTLocaleTable::LocaleIdText(platform->MessagesLocaleName());

    const std::wstring found_domain = platform->DomainName();
    if (!found_domain.empty()) {
        *domain = found_domain;
        CUTLoggerManager::GetInstance()->Log(
            UT_LOG_DEVDBG, "Domain Found : %s",
            TextConversion::FromWide(found_domain).OemOrEmpty().c_str());
    } else {
        CUTLoggerManager::GetInstance()->Log(UT_LOG_DEVDBG, "Cannot Find Domain of this host");
    }
}

std::wstring CUTSystemInfo::OsPlatform() {
    CUTOsDescription system;
    CUTPlatform::Current()->OperatingSystem(&system);
    if (system.build.empty()) {
        return L"0";
    }
    return system.is_64bit ? L"64" : L"32";
}

int CUTSystemInfo::TimeZoneOffsetMinutes() {
    return CUTPlatform::Current()->TimeZoneOffsetMinutes();
}
