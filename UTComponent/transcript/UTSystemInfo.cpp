#include "transcript/UTSystemInfo.h"

#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"
#include "transcript/TextConversion.h"
#include "transcript/UTLocaleTable.h"
#include "transcript/UTOsRelease.h"

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

std::wstring CUTSystemInfo::OsNameOf(const CUTOsRelease& release) {
    const std::string pretty = release.Value("PRETTY_NAME");
    return FromUtf8(pretty.empty() ? std::string("Linux") : pretty);
}

std::wstring CUTSystemInfo::VersionText(const std::string& version, const std::string& csd_version,
                                        const std::string& build_number) {
    return FromUtf8(version + " " + csd_version + " Build " + build_number);
}

void CUTSystemInfo::GatherOSInformation(std::wstring* os_name, std::wstring* os_version,
                                        std::wstring* os_locale, std::wstring* domain) {
    CUTPlatform* platform = CUTPlatform::Current();

    std::string release_text;
    const bool have_release = platform->OsReleaseText(&release_text);
    const CUTOsRelease release = CUTOsRelease::FromText(release_text);
    if (have_release) {
        *os_name = OsNameOf(release);
    } else {
        CUTLoggerManager::GetInstance()->Log(UT_LOG_DEVDBG, "Cannot read os-release");
    }

    std::string kernel_release;
    bool is_64bit = false;
    const bool have_kernel = platform->KernelInfo(&kernel_release, &is_64bit);
    if (!have_kernel) {
        CUTLoggerManager::GetInstance()->Log(UT_LOG_DEVDBG, "uname Failed!");
    }
    if (have_release || have_kernel) {
        *os_version = VersionText(release.Value("VERSION_ID"), std::string(), kernel_release);
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
    std::string release;
    bool is_64bit = false;
    if (!CUTPlatform::Current()->KernelInfo(&release, &is_64bit)) {
        return L"0";
    }
    return is_64bit ? L"64" : L"32";
}

int CUTSystemInfo::TimeZoneOffsetMinutes() {
    return CUTPlatform::Current()->TimeZoneOffsetMinutes();
}
