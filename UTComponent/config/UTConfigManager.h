// CUTConfigManager: what the rest of tvUT asks about settings, paths and the
// session.
//
// It owns the session record (CUTRuntimeConfig) and the file store
// (CUTStaticConfig), picks production or beta settings, composes the
// component's folders and the receiving URL, switches the logger on when
// logging is enabled, runs the access checks, and takes over the product
// information from the host. The shared instance is a CUTSingleton built at
// initialisation and destroyed at CleanUp; short-lived instances built the
// same way serve calls made outside a session. Used from the host's threads
// and the worker thread: the cached paths sit behind a lock, and the store
// and the record guard themselves. Nothing here throws: unavailable folders
// and files yield defaults and empty paths.
#ifndef TVUT_CONFIG_UTCONFIGMANAGER_H
#define TVUT_CONFIG_UTCONFIGMANAGER_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <tvUT/UTObject.h>

#include "base/UTSingleton.h"
#include "config/UTRuntimeConfig.h"
#include "config/UTStaticConfig.h"

class CUTProductInfo;
class CUTUserInfo;

class CUTConfigManager : public CUTObject, public CUTSingleton<CUTConfigManager> {
public:
    // Builds a new session record, the store for it, and switches the logger
    // on when logging is enabled.
    CUTConfigManager();
    ~CUTConfigManager() override;
    CUTConfigManager(const CUTConfigManager&) = delete;
    CUTConfigManager& operator=(const CUTConfigManager&) = delete;

    std::wstring GetReceivingHost();
    int64_t GetCommunicationWaitTime();
    int64_t GetCommunicationCheckTime();
    int64_t GetCommunicationRetryTimes();
    int64_t GetCommunicationRetryWaitTime();
    int64_t GetCommunicationServerRestartWaitTime();
    // Milliseconds a whole upload may take; below 1000: no limit.
    int64_t GetCommunicationTimeOut();
    // Never below 10240 bytes.
    int64_t GetMaxPayloadSize();
    // Takes value (saved at once) only when below MaxDiskSpaceAllowableSize.
    void SetMaxPayloadSize(int64_t value);

    // The user's decision on usage tracking: 1 given, 0 revoked, -1 never
    // decided. reread: from the file, where another process may have
    // stored it since.
    int32_t GetUsageConsent(bool reread);
    // Are this user's sessions recorded and sent? Off when the machine
    // policy turns tracking off (or is damaged), when the user revoked
    // consent, or when the policy requires consent not given yet; *why
    // (when given) tells which, for the log. Every answer is also published
    // in CUTProcessState::tracking_off.
    bool IsTrackingOn(bool reread, std::string* why = nullptr);

    bool IsBeta() const { return runtime_->Beta() != 0; }
    bool IsProductInitialised() const { return runtime_->IsProductInitialised(); }

    // Copies the host's values into the session record and loads the
    // product's configuration file. Does not keep the pointers.
    void HandOverProduct(const CUTProductInfo* product, const CUTUserInfo* user);
    // After the hand-over: takes the login and, when product is given, its
    // program type and serial number again.
    void RefreshSession(const CUTProductInfo* product, const CUTUserInfo* user);

    // <user root>/Telvoran/TVUT, without a trailing separator; empty when
    // the user root is unavailable.
    std::wstring GetUserComponentFolder();
    std::wstring GetLogFolder() { return GetUserComponentFolder(); }
    std::wstring GetLogFilePath();
    // <user root>/Telvoran/<product folder>/Transcripts
    std::wstring GetTranscriptFolder();
    std::wstring GetReceivingURL();

    void Flush() { store_->Flush(); }

    // Start-up access check: false when the per-user folder or its
    // configuration file cannot be used (each failure is logged).
    bool CheckStartupAccess();
    // May the product's configuration file be updated?
    bool CheckProductFileAccess();
    // Creates the transcript folder and probes it.
    bool CheckTranscriptFolderAccess();

    CUTStaticConfig* Store() const { return store_.get(); }
    CUTRuntimeConfig* Runtime() const { return runtime_.get(); }

private:
    void InitLoggerIfEnabled();

    std::shared_ptr<CUTRuntimeConfig> runtime_;
    std::shared_ptr<CUTStaticConfig> store_;
    std::mutex cache_mutex_;
    std::wstring transcript_folder_;
    std::wstring log_file_path_;
    std::wstring user_component_folder_;
    std::wstring receiving_url_;
};

#endif  // TVUT_CONFIG_UTCONFIGMANAGER_H
