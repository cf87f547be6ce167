#include "config/UTConfigManager.h"

#include <tvUT/UTProductInfo.h>

#include "UT/UTProcessState.h"
#include "comm/UTHttpClient.h"
#include "config/UTConfigCommon.h"
#include "config/UTConfigPaths.h"
#include "config/UTFolderAccess.h"
#include "info/UTKormString.h"
#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"

namespace {

constexpr int64_t kMinimumPayloadSize = 10240;

// What the policy is, and what of it was passed over: logged by the first
// manager of the process that finds a policy, not by every short-lived one.
void ReportPolicyOnce(const CUTMachinePolicy& policy) {
    static std::atomic<bool> reported{false};
    if (policy.state() == CUTMachinePolicy::kNone || reported.exchange(true)) {
        return;
    }
    CUTLoggerManager* logger = CUTLoggerManager::GetInstance();
    logger->Log(policy.state() == CUTMachinePolicy::kDamaged ? UT_LOG_ERROR : UT_LOG_INFO, "%s",
                policy.Describe().c_str());
    for (const std::string& note : policy.notes()) {
        logger->Log(UT_LOG_WARNING, "machine policy: %s", note.c_str());
    }
}

}  // namespace

CUTConfigManager::CUTConfigManager() : runtime_(std::make_shared<CUTRuntimeConfig>()) {
    CUTConfigCommon::GetInstance();
    store_ = std::make_shared<CUTStaticConfig>(runtime_->ComponentFolderName(),
                                               runtime_->ProductFolderName());
    InitLoggerIfEnabled();
    ReportPolicyOnce(store_->Policy());
}

CUTConfigManager::~CUTConfigManager() {
    // The item table outlives the handle; readers elsewhere are unaffected.
    CUTConfigCommon::DestroyInstance();
}

void CUTConfigManager::InitLoggerIfEnabled() {
    if (!store_->GetBool(L"EnableLogging", false)) {
        return;
    }
    const std::wstring folder = GetLogFolder();
    const std::wstring path = GetLogFilePath();
    if (folder.empty()) {
        return;
    }
    CUTLoggerManager::GetInstance()->Init(
        folder.c_str(), path.c_str(), store_->GetInt64(L"MaxLogFileSize", false),
        store_->GetInt(L"MaxLogFileCount", false), store_->GetInt(L"LogLevel", false));
}

int32_t CUTConfigManager::GetUsageConsent(bool reread) {
    const int32_t stored = store_->GetInt(kUsageConsentItem, reread);
    return CUTProcessState::revoked_unsaved.load() ? 0 : stored;
}

bool CUTConfigManager::IsTrackingOn(bool reread, std::string* why) {
    const bool on = store_->Policy().AllowsTracking(GetUsageConsent(reread), why);
    // Found off just now (revoked by another process, say): an upload of
    // this process under way ends, as after a revocation here.
    if (!CUTProcessState::tracking_off.exchange(!on) && !on) {
        CUTHttpClient::WakeTransfers();
    }
    return on;
}

std::wstring CUTConfigManager::GetReceivingHost() {
    return store_->GetString(IsBeta() ? L"ReceivingHostBeta" : L"ReceivingHost", false);
}

int64_t CUTConfigManager::GetCommunicationWaitTime() {
    return store_->GetInt64(IsBeta() ? L"CommunicationWaitTimeBeta" : L"CommunicationWaitTime",
                            false);
}

int64_t CUTConfigManager::GetCommunicationCheckTime() {
    return store_->GetInt64(L"CommunicationCheckTime", false);
}

int64_t CUTConfigManager::GetCommunicationRetryTimes() {
    return store_->GetInt64(L"CommunicationRetryTimes", false);
}

int64_t CUTConfigManager::GetCommunicationRetryWaitTime() {
    return store_->GetInt64(L"CommunicationRetryWaitTime", false);
}

int64_t CUTConfigManager::GetCommunicationServerRestartWaitTime() {
    return store_->GetInt64(L"CommunicationServerRestartWaitTime", false);
}

int64_t CUTConfigManager::GetCommunicationTimeOut() {
    return store_->GetInt64(L"CommunicationTimeOut", false);
}

int64_t CUTConfigManager::GetMaxPayloadSize() {
    const int64_t size =
        store_->GetInt64(IsBeta() ? L"MaxPayloadSizeBeta" : L"MaxPayloadSize", false);
    return size <= kMinimumPayloadSize ? kMinimumPayloadSize : size;
}

void CUTConfigManager::SetMaxPayloadSize(int64_t value) {
    if (value < store_->GetInt64(L"MaxDiskSpaceAllowableSize", false)) {
        store_->SetInt64(L"MaxPayloadSize", value, true);
    }
}

void CUTConfigManager::RefreshSession(const CUTProductInfo* product, const CUTUserInfo* user) {
    if (user != nullptr) {
        runtime_->SetText(UTSessionText::Login, KormStringToWide(user->GetLogin()));
    }
    if (product != nullptr) {
        runtime_->SetText(UTSessionText::SerialNumber,
                          KormStringToWide(product->GetSerialNumber()));
        runtime_->SetText(UTSessionText::ProgramType, KormStringToWide(product->GetProgramType()));
    }
}

void CUTConfigManager::HandOverProduct(const CUTProductInfo* product, const CUTUserInfo* user) {
    RefreshSession(product, user);
    if (!runtime_->IsProductInitialised() && product != nullptr) {
        const std::wstring line = KormStringToWide(product->GetProductLineId());
        runtime_->SetText(UTSessionText::ProductLineId, line);
        if (!line.empty()) {
            const std::wstring release = KormStringToWide(product->GetReleaseId());
            runtime_->SetText(UTSessionText::ReleaseId, release);
            if (!release.empty()) {
                const kormSTRING& release_type = product->GetReleaseType();
                const std::wstring type = KormStringToWide(release_type);
                runtime_->SetText(UTSessionText::ReleaseType, type);
                if (!IsNullKormString(release_type) && type != L"F" && type != L"f") {
                    // A pre-release product: beta settings and full logging,
                    // for this session only: the files keep what the
                    // machine's products of release use.
                    runtime_->SetBeta(1);
                    store_->OverrideForThisSession(L"EnableLogging", L"1");
                    store_->OverrideForThisSession(L"LogLevel", L"5");
                    InitLoggerIfEnabled();
                } else if (!IsNullKormString(release_type)) {
                    runtime_->SetBeta(0);
                }
                runtime_->SetText(UTSessionText::CountryCode,
                                  KormStringToWide(product->GetCountryCode()));
                runtime_->SetText(UTSessionText::Language,
                                  KormStringToWide(product->GetLanguage()));
                runtime_->SetText(UTSessionText::LicenseProductLineId,
                                  KormStringToWide(product->GetLicenseProductLineId()));
                runtime_->SetText(UTSessionText::LicenseProductReleaseId,
                                  KormStringToWide(product->GetLicenseProductReleaseId()));
                runtime_->SetText(UTSessionText::LicenseProductReleaseType,
                                  KormStringToWide(product->GetLicenseProductReleaseType()));
                runtime_->SetProductFolderName(ProductFolderName(line, release));
                runtime_->SetProductInitialised(true);
            }
        }
    }
    store_->LoadProductFile(runtime_->ProductFolderName());
}

std::wstring CUTConfigManager::GetUserComponentFolder() {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    if (user_component_folder_.empty()) {
        user_component_folder_ = WithoutTrailingSeparator(UserFolderPath(kComponentFolderName));
    }
    return user_component_folder_;
}

std::wstring CUTConfigManager::GetLogFilePath() {
    const std::wstring folder = GetUserComponentFolder();
    std::lock_guard<std::mutex> lock(cache_mutex_);
    if (log_file_path_.empty() && !folder.empty()) {
        log_file_path_ = folder + kPathSeparator + kLogFileName;
    }
    return log_file_path_;
}

std::wstring CUTConfigManager::GetTranscriptFolder() {
    const std::wstring product_folder = runtime_->ProductFolderName();
    std::lock_guard<std::mutex> lock(cache_mutex_);
    // Kept only once the product is known: a folder composed before the
    // hand-over would point every later transcript to the wrong place.
    if (!transcript_folder_.empty()) {
        return transcript_folder_;
    }
    const std::wstring folder = UserFolderPath(product_folder);
    if (folder.empty()) {
        return std::wstring();
    }
    const std::wstring path = folder + kTranscriptFolderName;
    if (!product_folder.empty()) {
        transcript_folder_ = path;
    }
    return path;
}

std::wstring CUTConfigManager::GetReceivingURL() {
    {
        std::lock_guard<std::mutex> lock(cache_mutex_);
        if (!receiving_url_.empty()) {
            return receiving_url_;
        }
    }
    std::wstring host = GetReceivingHost();
    if (!host.empty() && host.back() == L'/') {
        host.pop_back();
    }
    std::wstring servlet = store_->GetString(L"ReceivingServlet", false);
    if (servlet.empty() || servlet.front() != L'/') {
        servlet.insert(servlet.begin(), L'/');
    }
    std::lock_guard<std::mutex> lock(cache_mutex_);
    receiving_url_ = host + servlet;
    return receiving_url_;
}

bool CUTConfigManager::CheckStartupAccess() {
    CUTLoggerManager* logger = CUTLoggerManager::GetInstance();
    if (!CanWriteFolder(PIUIFolderPath())) {
        logger->Log(UT_LOG_DEVDBG, "Have no access to PI_UI folder!");
    }
    bool usable = true;
    const std::wstring pi_ud_folder = PIUDFolderPath();
    if (!CanWriteFolder(pi_ud_folder)) {
        logger->Log(UT_LOG_ERROR, "Have no access to PI_UD folder!");
        usable = false;
    }
    if (pi_ud_folder.empty() || !CanUpdateFile(pi_ud_folder + kPIUDFileName)) {
        logger->Log(UT_LOG_ERROR, "Have no access to PI_UD Config File!");
        usable = false;
    }
    return usable;
}

bool CUTConfigManager::CheckProductFileAccess() {
    const std::wstring folder = UserFolderPath(runtime_->ProductFolderName());
    return !folder.empty() && CanUpdateFile(folder + kProductFileName);
}

bool CUTConfigManager::CheckTranscriptFolderAccess() {
    const std::wstring folder = GetTranscriptFolder();
    if (folder.empty()) {
        return false;
    }
    CreateFolderTree(CUTPlatform::Current(), folder);
    return CanWriteFolder(folder + kPathSeparator);
}
