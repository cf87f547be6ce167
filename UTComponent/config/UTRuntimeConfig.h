// CUTRuntimeConfig: the record of one session: its identifier, the product's
// identity as handed over by the host, the operating-system description,
// the start and end times, the crash flag and the mode flags.
//
// One per configuration manager; its life is the session. The host thread
// writes it (hand-over, times) while the worker thread reads it (transcripts,
// requests): flags and times are atomic words, and the texts sit behind a
// mutex and are handed out as copies. Nothing here fails apart from memory
// exhaustion.
#ifndef TVUT_CONFIG_UTRUNTIMECONFIG_H
#define TVUT_CONFIG_UTRUNTIMECONFIG_H

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// The product and user values copied at the hand-over, named after the
// getters of the information objects.
enum class UTSessionText {
    ProductLineId,
    ReleaseId,
    ReleaseType,
    CountryCode,
    Language,
    LicenseProductLineId,
    LicenseProductReleaseId,
    LicenseProductReleaseType,
    SerialNumber,
    ProgramType,
    Login,
    Count
};

// The operating-system description gathered for transcripts and requests.
enum class UTOSText { Name, Version, LocaleId, Domain, Count };

// Who and where the session runs, as its transcripts and requests carry it:
// the account and computer names (empty when unknown) and the three hashed
// identities.
struct CUTSessionIdentity {
    std::wstring account;
    std::wstring computer;
    std::wstring hashed_user;
    std::wstring hashed_os_product;
    std::wstring hashed_volume;
};

class CUTRuntimeConfig {
public:
    // Makes a new session identifier and looks for the "decode.xml" marker.
    CUTRuntimeConfig();

    const std::wstring& SessionId() const { return session_id_; }
    const std::wstring& ComponentFolderName() const { return component_folder_name_; }

    std::wstring GetText(UTSessionText field) const;
    void SetText(UTSessionText field, const std::wstring& value);

    std::wstring ProductFolderName() const;
    void SetProductFolderName(const std::wstring& name);

    // The component module's version, fetched on first use.
    std::wstring ModuleVersion();

    // One of the four operating-system texts; when any of them is still
    // empty, all four are gathered again (an empty domain only until the
    // first gathering: many machines have none).
    std::wstring GetOSText(UTOSText which);

    // The session's identity, gathered at first use and kept, since none of
    // it changes while a product runs; a name that could not be found is
    // looked for again next time.
    CUTSessionIdentity Identity();
    // The identity as found now (what Identity keeps), for a caller outside
    // a session.
    static CUTSessionIdentity GatherIdentity();

    bool IsProductInitialised() const { return product_initialised_.load(); }
    void SetProductInitialised(bool value) { product_initialised_.store(value); }
    bool IsSending() const { return sending_.load(); }
    void SetSending(bool value) { sending_.store(value); }
    int Beta() const { return beta_.load(); }
    void SetBeta(int value) { beta_.store(value); }

    int64_t StartTime() const { return start_time_.load(); }
    void SetStartTime(int64_t seconds) { start_time_.store(seconds); }
    int64_t EndTime() const { return end_time_.load(); }
    void SetEndTime(int64_t seconds) { end_time_.store(seconds); }
    int CrashFlag() const { return crash_flag_.load(); }
    void SetCrashFlag(int value) { crash_flag_.store(value); }

private:
    const std::wstring session_id_;
    const std::wstring component_folder_name_;
    mutable std::mutex mutex_;
    std::array<std::wstring, static_cast<size_t>(UTSessionText::Count)> texts_;
    std::array<std::wstring, static_cast<size_t>(UTOSText::Count)> os_texts_;
    std::wstring product_folder_name_;
    std::wstring module_version_;
    bool os_gathered_ = false;
    CUTSessionIdentity identity_;
    std::atomic<bool> product_initialised_{false};
    std::atomic<bool> sending_{false};
    std::atomic<int> beta_{0};
    std::atomic<int64_t> start_time_{-1};
    std::atomic<int64_t> end_time_{-1};
    std::atomic<int> crash_flag_{0};
};

#endif  // TVUT_CONFIG_UTRUNTIMECONFIG_H
