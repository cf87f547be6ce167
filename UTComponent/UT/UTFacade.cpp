// The exported facade. Each operation checks the process-wide flags, reaches
// the managers and delegates; failures cross back only as status codes, and
// every operation catches whatever its helpers might throw.
#include <tvUT/UTFacade.h>

#include <ace/Init_ACE.h>

#include <chrono>
#include <locale>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "UT/UTLibraryEntry.h"
#include "UT/UTProcessState.h"
#include "base/UTTextCodec.h"
#include "comm/UTHttpClient.h"
#include "config/UTConfigCommon.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTParsedFiles.h"
#include "config/UTXMLConfig.h"
#include "info/UTKormString.h"
#include "info/UTProductInfoImp.h"
#include "log/UTLoggerManager.h"
#include "manager/UTPendingTranscripts.h"
#include "manager/UTTranscriptManager.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"
#include "transcript/TextConversion.h"

namespace {

const wchar_t kLoginItem[] = L"TelvoranLogin";

// Facade calls under way on this thread. OnCrash from a signal handler that
// interrupted one of them must not wait on a lock that call may hold.
thread_local int t_facade_calls = 0;

void WritePendingCrash();

// Counts a facade call on this thread; the outermost one, as it returns,
// writes a crash that a signal handler noted meanwhile.
class CUTFacadeCall {
public:
    CUTFacadeCall() {
        ++t_facade_calls;
        CUTProcessState::calls_in_flight.fetch_add(1);
    }
    ~CUTFacadeCall() {
        if (--t_facade_calls == 0 && Refusal() == UTStatus{} &&
            CUTProcessState::pending_crash_time.load() != -1) {
            WritePendingCrash();
        }
        CUTProcessState::calls_in_flight.fetch_sub(1);
    }
    CUTFacadeCall(const CUTFacadeCall&) = delete;
    CUTFacadeCall& operator=(const CUTFacadeCall&) = delete;
    // Why the call must return at once, touching nothing: -1002 in a forked
    // child, -1000 once the exit or unload has begun tearing tvUT down (the
    // call is counted first, so that the teardown's wait for calls under way
    // cannot miss it); 0 when it may go on.
    UTStatus Refusal() const;
};

CUTLoggerManager* Logger() {
    return CUTLoggerManager::GetInstance();
}

// The records GetUserID hands out: one per calling thread, so that a record
// a host thread holds changes only when that same thread calls GetUserID
// again. Another thread's call, or tvUT's own reading of the login, never
// frees the text under a reader. Records are kept per thread id (a new thread
// that inherits a finished thread's id reuses its record) and are freed when
// the library unloads. The lock guards the table and each record's update.
class CUTLoginRecords {
public:
    const kormSTRING& Publish(const std::u16string& units) {
        static_assert(sizeof(kormCHAR) == sizeof(char16_t), "kormCHAR is UTF-16");
        std::lock_guard<std::mutex> guard(mutex_);
        std::unique_ptr<TelvoranUserInfo>& record = records_[std::this_thread::get_id()];
        if (!record) {
            record.reset(new TelvoranUserInfo());
        }
        // The copy rules turn an empty login into a null text with length 0.
        std::u16string copy(units);
        record->SetLogin(
            kormSTRING{reinterpret_cast<kormCHAR*>(&copy[0]), static_cast<int32_t>(units.size())});
        return record->GetLogin();
    }
    // The calling thread's record as it stands (unset before its first call).
    const kormSTRING& Current() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::unique_ptr<TelvoranUserInfo>& record = records_[std::this_thread::get_id()];
        if (!record) {
            record.reset(new TelvoranUserInfo());
        }
        return record->GetLogin();
    }

private:
    std::mutex mutex_;
    std::map<std::thread::id, std::unique_ptr<TelvoranUserInfo>> records_;
};

// Made on first use and destroyed at unload only when no GetUserID can still
// be reading it (TeardownIsSafe).
struct CUTLoginRecordsOwner {
    CUTLoginRecords* records = new CUTLoginRecords();
    ~CUTLoginRecordsOwner() {
        if (TeardownIsSafe()) {
            delete records;
        }
    }
};

CUTLoginRecords& LoginRecords() {
    static CUTLoginRecordsOwner owner;
    return *owner.records;
}

// The fork handler: runs in the child before fork returns there.
void MarkForkedChild() {
    CUTProcessState::forked_child.store(true);
}

void WatchForks() {
    static std::once_flag once;
    std::call_once(once, [] { CallInForkedChild(MarkForkedChild); });
}

bool InForkedChild() {
    return CUTProcessState::forked_child.load();
}

UTStatus CUTFacadeCall::Refusal() const {
    if (InForkedChild()) {
        return UT_IN_FORKED_CHILD;
    }
    return CUTProcessState::teardown_started.load() ? UT_NOT_INITIALISED : UTStatus{};
}

// How long an exit waits for facade calls under way on other host threads.
constexpr int kTeardownWaitMs = 2000;
// The longest a GetUBInformation (kormFALSE) waits for the first send of a
// user who never delivered one; the upload goes on on the worker after.
constexpr std::chrono::milliseconds kFirstSendWait{3000};

// Text for log lines in the locale's charset, as the host's console shows it.
std::string LogText(const std::wstring& text) {
    return TextConversion::FromWide(text).OemOrEmpty();
}

// Runs fn with the session's configuration manager when there is one, so
// that the session's in-memory copy of the files stays current and a later
// save cannot bring back an old value; otherwise with a short-lived manager.
template <class Fn>
void WithConfigManager(Fn fn) {
    if (CUTConfigManager* shared = CUTConfigManager::PeekInstance()) {
        fn(shared);
        return;
    }
    std::unique_ptr<CUTConfigManager> own(new CUTConfigManager());
    fn(own.get());
}

// Saves the login at once; false when the save failed.
bool StoreLogin(const std::wstring& login) {
    bool stored = false;
    WithConfigManager([&login, &stored](CUTConfigManager* manager) {
        stored = manager->Store()->SaveNow(kLoginItem, login);
    });
    return stored;
}

// The stored login, read through a manager of its own so that this works
// outside a session and never disturbs the session's manager. tvUT's own
// callers use this, never the records GetUserID hands to the host.
std::wstring ReadStoredLogin() {
    std::wstring login;
    if (CUTXMLConfig::ReadStoredItem(UT_FILE_PI_UD, kComponentFolderName, kLoginItem, &login)) {
        return login;
    }
    std::unique_ptr<CUTConfigManager> own(new CUTConfigManager());
    return own->Store()->GetString(kLoginItem, false);
}

// Stores the login (saved at once) and logs it; false when it could not be
// saved.
bool RecordLogin(const std::wstring& login) {
    const bool stored = StoreLogin(login);
    Logger()->Log(UT_LOG_DEVDBG, "Telvoran Login value : %s", LogText(login).c_str());
    return stored;
}

// Sets user's login as GetUserID would report text: an empty text becomes a
// null text with length 0.
void SetLoginText(TelvoranUserInfo* user, const std::wstring& login) {
    std::u16string units;
    WideToUtf16(login, &units);
    user->SetLogin(
        kormSTRING{reinterpret_cast<kormCHAR*>(&units[0]), static_cast<int32_t>(units.size())});
}

bool IsTermProgram(const kormSTRING& program_type) {
    const std::wstring text = KormStringToWide(program_type);
    const std::wstring term = L"TERM";
    if (text.size() != term.size()) {
        return false;
    }
    const std::locale locale;
    for (size_t i = 0; i < text.size(); ++i) {
        if (std::toupper(text[i], locale) != term[i]) {
            return false;
        }
    }
    return true;
}

// What outlives the managers for the sake of objects destroyed at exit:
// freed once the managers are gone and no call of the host runs, so that a
// host that loads and unloads the library keeps nothing of it.
void ReleaseSharedTables() {
    CUTTranscriptManager::ReleaseProcessObserver();
    CUTConfigCommon::ReleaseItems();
    CUTParsedFiles::Release();
    CUTPlatform::ReleaseDefault();
}

// Destroys the managers in the order that keeps each one's dependencies alive.
void DestroyManagers() {
    CUTTranscriptManager::DestroyInstance();
    CUTConfigManager::DestroyInstance();
}

UTStatus GetUBInformationUnguarded(const CUTProductInfo* product, const CUTUserInfo* user,
                                   kormBOOLEAN synchronous) {
    if (!CUTProcessState::initialised.load()) {
        return UT_NOT_INITIALISED;
    }
    CUTConfigManager* manager = CUTConfigManager::GetInstance();
    // Never made here: the manager exists from InitUTComponent on and is
    // gone only while CleanUp destroys it, when a call from the host's
    // callback must not bring up a new one.
    CUTTranscriptManager* transcripts = CUTTranscriptManager::PeekInstance();
    if (manager == nullptr || transcripts == nullptr) {
        return UT_SEND_CYCLE_FAILED;
    }
    TelvoranUserInfo login;
    if (product != nullptr) {
        if (IsTermProgram(product->GetProgramType())) {
            if (user != nullptr && user->GetLogin().text != nullptr) {
                Logger()->Log(UT_LOG_DEVDBG, "telvoran login info is passed in");
                login.SetLogin(user->GetLogin());
            } else {
                SetLoginText(&login, ReadStoredLogin());
                Logger()->Log(UT_LOG_DEVDBG,
                              "telvoran login info is NOT passed in, load value from PD_UD");
            }
        } else {
            Logger()->Log(UT_LOG_DEVDBG, "clear value of TelvoranLogin in PI_UD");
            static kormCHAR empty_text[] = {0};
            login.SetLogin(kormSTRING{empty_text, 0});
            if (!ReadStoredLogin().empty()) {
                StoreLogin(L"");
            }
        }
    }

    if (!manager->IsProductInitialised()) {
        if (product == nullptr) {
            Logger()->Log(UT_LOG_ERROR, "ProductInfo is NULL! GetUBInformatin fail!!");
            return UT_NO_PRODUCT;
        }
        manager->HandOverProduct(product, &login);
        if (!manager->IsProductInitialised()) {
            Logger()->Log(UT_LOG_ERROR, "Init Product Information Error! GetUBInformatin fail!!");
            return UT_NO_PRODUCT;
        }
    } else {
        manager->RefreshSession(product, &login);
    }

    const std::string login_text = LogText(KormStringToWide(login.GetLogin()));
    if (product != nullptr) {
        Logger()->Log(UT_LOG_DEVDBG, "Program Type: %s",
                      LogText(KormStringToWide(product->GetProgramType())).c_str());
    }
    Logger()->Log(UT_LOG_DEVDBG, "Telvoran Login value: %s", login_text.c_str());

    // The product stays handed over (logins keep working); nothing of the
    // session is recorded or sent.
    std::string why;
    if (!manager->IsTrackingOn(true, &why)) {
        Logger()->Log(UT_LOG_INFO, "Tracking is off (%s), nothing is sent", why.c_str());
        return UT_TRACKING_OFF;
    }

    UTStatus result = UT_SEND_OK;
    if (!manager->CheckProductFileAccess()) {
        Logger()->Log(UT_LOG_ERROR, "We DONT HAVE Permission to Write Transcript file!");
        return UT_PRODUCT_CONFIG_NOT_WRITABLE;
    }
    if (!manager->CheckTranscriptFolderAccess()) {
        Logger()->Log(UT_LOG_ERROR, "We DONT HAVE Permission to Write Transcript file!");
        return UT_TRANSCRIPT_FOLDER_NOT_WRITABLE;
    }

    if (synchronous == kormTRUE) {
        Logger()->Log(UT_LOG_INFO, "Will Send Synchronously.....");
        result = transcripts->sendSynchronously(UT_SEND_REASON_FORCED);
    } else if (manager->Store()->GetInt64(L"LastSendTimestamp", false) == -1) {
        // Nothing delivered yet: the host did not ask to wait for the
        // network, so a silent server holds its thread only briefly.
        Logger()->Log(UT_LOG_INFO, "Will Send on the worker, waiting at most %d ms.....",
                      static_cast<int>(kFirstSendWait.count()));
        result = transcripts->sendOnWorker(UT_SEND_REASON_FORCED, kFirstSendWait);
    } else {
        Logger()->Log(UT_LOG_INFO, "Will Send Asynchronously.....");
        // The request is the worker's now; its outcome reaches nobody.
        transcripts->OnSendNow();
    }
    Logger()->Log(UT_LOG_DEVDBG, "GetUBInformation return %d !", static_cast<int>(result));
    return result;
}

// Stamps the session and writes its transcript.
template <class Stamp>
UTStatus StampAndSerialize(Stamp stamp, UTStatus success, UTStatus failure) {
    if (!CUTProcessState::initialised.load()) {
        return UT_NOT_INITIALISED;
    }
    CUTConfigManager* manager = CUTConfigManager::GetInstance();
    if (manager != nullptr && !manager->IsTrackingOn(true)) {
        return UT_TRACKING_OFF;
    }
    if (manager == nullptr || !manager->IsProductInitialised()) {
        return UT_NO_PRODUCT;
    }
    stamp(manager->Runtime());
    CUTTranscriptManager* transcripts = CUTTranscriptManager::PeekInstance();
    return transcripts != nullptr && transcripts->serializeTranscript() ? success : failure;
}

int64_t Now() {
    return CurrentTimeSeconds(CUTPlatform::Current());
}

UTStatus RecordCrash(int64_t when) {
    return StampAndSerialize(
        [when](CUTRuntimeConfig* session) {
            session->SetCrashFlag(1);
            session->SetEndTime(when);
        },
        UT_CRASH_OK, UT_CRASH_WRITE_FAILED);
}

void WritePendingCrash() {
    const int64_t when = CUTProcessState::pending_crash_time.exchange(-1);
    if (when == -1) {
        return;
    }
    try {
        ++t_facade_calls;
        RecordCrash(when);
        --t_facade_calls;
    } catch (...) {
        --t_facade_calls;
    }
}

}  // namespace

UTStatus CUTFacade::InitUTComponent() {
    CUTFacadeCall call;
    if (const UTStatus refused = call.Refusal()) {
        return refused;
    }
    WatchForks();
    try {
        if (CUTProcessState::initialised.load()) {
            return UT_INIT_OK;
        }
        CUTProcessState::initialisation_started.store(true);
        CUTProcessState::stop.store(false);
        if (ACE::init() == -1) {
            return UT_INIT_ACE_FAILED;
        }
        CUTProcessState::client_mode.store(0);
        CUTConfigCommon::GetInstance();
        CUTConfigManager* manager = CUTConfigManager::GetInstance();
        if (manager == nullptr || !manager->CheckStartupAccess()) {
            return UT_INIT_NO_ACCESS;
        }
        if (CUTTranscriptManager::GetInstance() == nullptr) {
            return UT_INIT_NO_ACCESS;
        }
        CUTProcessState::initialised.store(true);

        // Rewrites the stored login, as a SetUserID with it would.
        RecordLogin(ReadStoredLogin());
        Logger()->Log(UT_LOG_DEVDBG, "client version : %s",
                      ToUtf8(manager->Runtime()->ModuleVersion()).c_str());
        return UT_INIT_OK;
    } catch (...) {
        return UT_INIT_NO_ACCESS;
    }
}

UTStatus CUTFacade::GetUBInformation(const CUTProductInfo* product, const CUTUserInfo* user,
                                     kormBOOLEAN synchronous) {
    CUTFacadeCall call;
    if (const UTStatus refused = call.Refusal()) {
        return refused;
    }
    try {
        return GetUBInformationUnguarded(product, user, synchronous);
    } catch (...) {
        return UT_SEND_CYCLE_FAILED;
    }
}

UTStatus CUTFacade::LogUsageData() {
    CUTFacadeCall call;
    if (const UTStatus refused = call.Refusal()) {
        return refused;
    }
    try {
        return StampAndSerialize([](CUTRuntimeConfig* session) { session->SetStartTime(Now()); },
                                 UT_LOG_USAGE_OK, UT_LOG_USAGE_WRITE_FAILED);
    } catch (...) {
        return UT_LOG_USAGE_WRITE_FAILED;
    }
}

UTStatus CUTFacade::OnCrash() {
    if (InForkedChild()) {
        return UT_IN_FORKED_CHILD;
    }
    if (t_facade_calls > 0) {
        // A signal handler on a thread inside a facade call: that call may
        // hold the very locks a write takes. Only lock-free steps here.
        if (CUTProcessState::tracking_off.load()) {
            return UT_TRACKING_OFF;
        }
        CUTProcessState::pending_crash_time.store(Now());
        return UT_CRASH_RECORDED;
    }
    CUTFacadeCall call;
    if (const UTStatus refused = call.Refusal()) {
        return refused;
    }
    try {
        return RecordCrash(Now());
    } catch (...) {
        return UT_CRASH_WRITE_FAILED;
    }
}

UTStatus CUTFacade::SetUserID(const CUTUserInfo* user) {
    CUTFacadeCall call;
    if (const UTStatus refused = call.Refusal()) {
        return refused;
    }
    if (user == nullptr) {
        return UT_SET_USER_NO_USER;
    }
    try {
        const kormSTRING& login = user->GetLogin();
        std::wstring text;
        // A zero-terminated login (length -1) is a login too; only a null
        // text or a length of 0 or below -1 means "no login".
        if (login.text != nullptr && (login.length > 0 || login.length == -1)) {
            text = KormStringToWide(login);
        }
        // A login that did not reach the file is not stored, whatever the
        // call was given: the host must not take it for one.
        return RecordLogin(text) ? UT_SET_USER_OK : UT_SET_USER_NO_USER;
    } catch (...) {
        // The login could not be stored; the host has no better code to get.
        return UT_SET_USER_NO_USER;
    }
}

UTStatus CUTFacade::SetUsageConsent(kormBOOLEAN given) {
    CUTFacadeCall call;
    if (const UTStatus refused = call.Refusal()) {
        return refused;
    }
    try {
        // Only kormTRUE gives consent: any other value, garbage included,
        // must not turn tracking on.
        const bool consent = given == kormTRUE;
        bool stored = false;
        std::wstring folder;
        WithConfigManager([&](CUTConfigManager* manager) {
            if (consent) {
                CUTProcessState::revoked_unsaved.store(false);
            } else {
                // First: an upload of this process under way ends now, and
                // none starts while the decision is being saved.
                CUTProcessState::tracking_off.store(true);
                CUTHttpClient::WakeTransfers();
            }
            stored = manager->Store()->SaveNow(kUsageConsentItem, consent ? L"1" : L"0");
            folder = manager->GetUserComponentFolder();
            if (consent) {
                // Consent counts only as far as the policy lets it.
                manager->IsTrackingOn(false);
            } else {
                // A revocation stays "off" in this process even when its
                // save failed.
                CUTProcessState::revoked_unsaved.store(!stored);
            }
        });
        if (!consent && !folder.empty()) {
            // Even when the decision could not be saved: the user said no.
            const size_t removed = CUTPendingTranscripts(folder).RemoveEverything();
            Logger()->Log(UT_LOG_INFO, "Usage consent revoked: %d pending files removed",
                          static_cast<int>(removed));
        } else if (consent) {
            Logger()->Log(UT_LOG_INFO, "Usage consent given");
        }
        return stored ? UT_CONSENT_STORED : UT_CONSENT_NOT_STORED;
    } catch (...) {
        return UT_CONSENT_NOT_STORED;
    }
}

int32_t CUTFacade::GetUsageConsent() {
    CUTFacadeCall call;
    if (call.Refusal() != UTStatus{}) {
        return -1;
    }
    try {
        int32_t consent = -1;
        WithConfigManager(
            [&consent](CUTConfigManager* manager) { consent = manager->GetUsageConsent(true); });
        return consent;
    } catch (...) {
        return -1;
    }
}

const kormSTRING& CUTFacade::GetUserID() {
    static const kormSTRING kNoLogin = {nullptr, 0};
    CUTFacadeCall call;
    if (call.Refusal() != UTStatus{}) {
        return kNoLogin;
    }
    try {
        std::u16string units;
        WideToUtf16(ReadStoredLogin(), &units);
        return LoginRecords().Publish(units);
    } catch (...) {
    }
    // The login could not be read: the thread's record keeps its value.
    try {
        return LoginRecords().Current();
    } catch (...) {
        return kNoLogin;
    }
}

void CUTFacade::RegisterCallbackFunction(void (*callback)(bool)) {
    CUTFacadeCall call;
    if (call.Refusal() != UTStatus{}) {
        return;
    }
    try {
        // While CleanUp tears the managers down (a callback may call this),
        // no new manager is made.
        CUTTranscriptManager* transcripts =
            CUTProcessState::initialised.load() && CUTProcessState::stop.load()
                ? CUTTranscriptManager::PeekInstance()
                : CUTTranscriptManager::GetInstance();
        if (transcripts != nullptr) {
            transcripts->setCallback(callback);
        }
    } catch (...) {
    }
}

UTStatus CUTFacade::CleanUp() {
    CUTFacadeCall call;
    if (const UTStatus refused = call.Refusal()) {
        return refused;
    }
    if (!CUTProcessState::initialised.load()) {
        return UT_NOT_INITIALISED;
    }
    // From the callback, the thread would have to join itself (the worker)
    // or destroy the send it is inside of (a synchronous GetUBInformation).
    if (CUTTranscriptManager::IsInHostCallback()) {
        Logger()->Log(UT_LOG_ERROR, "CleanUp called from the callback, nothing done");
        return UT_CLEANUP_FROM_CALLBACK;
    }
    if (CUTTranscriptManager* transcripts = CUTTranscriptManager::PeekInstance()) {
        if (transcripts->IsCallbackRunning()) {
            Logger()->Log(UT_LOG_INFO, "CleanUp waits for the host's callback to return");
        }
    }
    // A failure to stamp the end time must not keep the worker running.
    try {
        if (CUTConfigManager* manager = CUTConfigManager::PeekInstance()) {
            // A crash a signal handler noted goes into the final transcript.
            const int64_t crash = CUTProcessState::pending_crash_time.exchange(-1);
            if (crash != -1) {
                manager->Runtime()->SetCrashFlag(1);
            }
            manager->Runtime()->SetEndTime(crash != -1 ? crash : Now());
        }
    } catch (...) {
    }
    CUTProcessState::stop.store(true);
    // An upload waiting for the network sees the flag now, not after its
    // wait: the worker ends its cycle and the managers can go.
    CUTHttpClient::WakeTransfers();
    try {
        DestroyManagers();
    } catch (...) {
    }
    ACE::fini();
    CUTProcessState::initialised.store(false);
    CUTProcessState::initialisation_started.store(false);
    return UT_CLEANUP_OK;
}

void UTLibraryAttach() {
    // OpenSSL 3 locks for itself: no locking callbacks to install.
    WatchForks();
}

bool TeardownIsSafe() {
    // 1 safe, 0 not, -1 not decided yet. Decided once, by the first object
    // to go at exit or unload, for all of them.
    static std::atomic<int> decision{-1};
    static std::mutex deciding;
    if (decision.load() != -1) {
        return decision.load() == 1;
    }
    std::lock_guard<std::mutex> guard(deciding);
    if (decision.load() == -1) {
        bool safe = !InForkedChild() && !CUTProcessState::process_ending.load();
        // From now on a new facade call returns at once, so the calls under
        // way are the last ones.
        CUTProcessState::teardown_started.store(true);
        if (safe && CUTProcessState::initialised.load()) {
            // As CleanUp does: an upload in progress ends at once, the
            // worker's and a synchronous send's on a host thread alike.
            CUTProcessState::stop.store(true);
            CUTHttpClient::WakeTransfers();
        }
        if (safe && CUTProcessState::calls_in_flight.load() > 0) {
            for (int waited = 0;
                 waited < kTeardownWaitMs && CUTProcessState::calls_in_flight.load() > 0;
                 waited += 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            safe = CUTProcessState::calls_in_flight.load() == 0;
        }
        decision.store(safe ? 1 : 0);
    }
    return decision.load() == 1;
}

void UTLibraryProcessEnding() {
    CUTProcessState::process_ending.store(true);
}

void UTLibraryDetach() {
    if (!TeardownIsSafe()) {
        // A forked child, or calls still under way: everything is left to
        // the process's end.
        return;
    }
    try {
        if (CUTProcessState::initialisation_started.load() && CUTProcessState::initialised.load()) {
            // As in CleanUp: an upload in progress must not hold the unload
            // (and the host's exit) until the server answers or times out.
            CUTProcessState::stop.store(true);
            CUTHttpClient::WakeTransfers();
            DestroyManagers();
            ACE::fini();
        }
        ReleaseNamedLocks();
        // Last: no transfer runs once the managers are gone.
        CUTHttpClient::ReleaseLibcurl();
        ReleaseSharedTables();
    } catch (...) {
    }
}
