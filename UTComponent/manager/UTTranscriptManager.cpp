#include "manager/UTTranscriptManager.h"

#include <ace/Auto_Event.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "UT/UTProcessState.h"
#include "base/UTReleasedAtUnload.h"
#include "base/UTTextCodec.h"
#include "comm/UTHttpClient.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "log/UTException.h"
#include "log/UTLoggerManager.h"
#include "manager/UTPendingTranscripts.h"
#include "manager/UTTimer.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"
#include "transcript/MLSerializer.h"
#include "zip/UTZipper.h"

struct CUTTranscriptManager::WakeEvent {
    // Auto-reset: one signal releases one wait; signals that arrive while
    // nobody waits collapse into one.
    ACE_Auto_Event event;
};

namespace {

#ifdef TVUT_TEST_SEAMS
// Constant-initialised and never destroyed: a cycle that the exit is
// ending may still look for an observer.
std::mutex g_observer_mutex;
CUTReleasedAtUnload<std::function<void(int)>> g_observer;

std::mutex& ObserverMutex() {
    return g_observer_mutex;
}

std::function<void(int)>& Observer() {
    return g_observer.Get();
}

// Calls the observer, when one is set, with the reason a cycle runs for.
void NotifyProcessObserver(int reason) {
    std::function<void(int)> observer;
    {
        std::lock_guard<std::mutex> guard(ObserverMutex());
        observer = Observer();
    }
    if (observer) {
        observer(reason);
    }
}
#endif  // TVUT_TEST_SEAMS

// Whole seconds of a setting in milliseconds. Below 1 second the timer would
// expire at once and, repeating, spin; beyond the int range the narrowing
// would wrap. Both are pinned to the nearest sound value.
int TimerSeconds(int64_t milliseconds) {
    const int64_t seconds = milliseconds / 1000;
    if (seconds < 1) {
        return 1;
    }
    return seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds);
}

// Set while the host's callback runs on this thread: a send cycle that the
// host runs from inside its callback does not call it again, so a host that
// asks for a send in every callback cannot recurse without end.
thread_local bool t_in_host_callback = false;

// While a send cycle runs on a host's thread (sendSynchronously): when it
// must be over. The wait for the sending lock and the upload share the
// host thread's bound (HostThreadBoundMs).
struct HostThreadSend {
    std::chrono::steady_clock::time_point deadline;
    int64_t bound_ms;
};
thread_local std::optional<HostThreadSend> t_host_send;

// Looks at the user's tracking (from the file: another process may have
// changed it); logs why when it is off.
bool TrackingIsOn(CUTConfigManager* config) {
    std::string why;
    if (config->IsTrackingOn(true, &why)) {
        return true;
    }
    UT_LOG(UT_LOG_INFO, "Tracking is off (%s), nothing is sent", why.c_str());
    return false;
}

int RetryTimes(CUTConfigManager* config) {
    const int64_t times = config->GetCommunicationRetryTimes();
    if (times < 0) {
        return 0;
    }
    return times > INT_MAX ? INT_MAX : static_cast<int>(times);
}

}  // namespace

const wchar_t CUTTranscriptManager::kSendingLockName[] = L"TELVORAN_UT_SENDING_LOCK";

#ifdef TVUT_TEST_SEAMS
void CUTTranscriptManager::SetProcessObserver(std::function<void(int)> observer) {
    std::lock_guard<std::mutex> guard(ObserverMutex());
    Observer() = std::move(observer);
}
#endif  // TVUT_TEST_SEAMS

void CUTTranscriptManager::ReleaseProcessObserver() {
#ifdef TVUT_TEST_SEAMS
    std::lock_guard<std::mutex> guard(ObserverMutex());
    g_observer.Release();
#endif  // TVUT_TEST_SEAMS
}

CUTTranscriptManager::CUTTranscriptManager() : event_(new WakeEvent()) {
    // The manager reads its settings from the configuration manager, which
    // therefore exists first and is destroyed after it.
    CUTConfigManager* config = CUTConfigManager::GetInstance();
    daemon_ = std::thread(&CUTTranscriptManager::daemonThread, this);
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::CUTTranscriptManager(this=%p)",
           static_cast<void*>(this));
    try {
        if (config == nullptr) {
            throw std::runtime_error("no configuration manager");
        }
        auto handler = [this](int timerId) { handle_timeout(timerId); };
        checkTimer_.reset(new UTTimer(handler, TimerSeconds(config->GetCommunicationCheckTime()),
                                      CHECK_TIMER, true));
        retryTimer_.reset(new UTTimer(
            handler, TimerSeconds(config->GetCommunicationRetryWaitTime()), RETRY_TIMER, false));
        restartTimer_.reset(
            new UTTimer(handler, TimerSeconds(config->GetCommunicationServerRestartWaitTime()),
                        RESTART_TIMER, false));
        retriesLeft.store(RetryTimes(config));
        checkTimer_->start();
        // Last: from here on the manager owns the serializer's lifetime.
        CMLSerializer::GetInstance();
    } catch (...) {
        // A half-built manager must not leave a thread behind.
        stopDaemonThread();
        restartTimer_.reset();
        retryTimer_.reset();
        checkTimer_.reset();
        throw;
    }
}

CUTTranscriptManager::~CUTTranscriptManager() {
    stopDaemonThread();
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::~CUTTranscriptManager(this=%p)",
           static_cast<void*>(this));
    checkTimer_->stop();
    restartTimer_->stop();
    retryTimer_->stop();
    try {
        // Destroying the serializer writes the final transcript.
        CMLSerializer::DestroyInstance();
    } catch (const CUTException& exception) {
        LogExceptionChain(exception);
    } catch (...) {
    }
    // Each timer joins its own threads; a handle_timeout still running on
    // one of them finishes first and finds the event alive.
    restartTimer_.reset();
    retryTimer_.reset();
    checkTimer_.reset();
}

void CUTTranscriptManager::stopDaemonThread() {
    exit_.store(true);
    event_->event.signal();
    if (daemon_.joinable()) {
        daemon_.join();
    }
}

void CUTTranscriptManager::daemonThread() {
    for (;;) {
        if (event_->event.wait() != 0) {
            // A wait that fails would fail again at once: end rather than spin.
            UT_LOG(UT_LOG_ERROR, "API Manager daemon thread cannot wait for its event, it ends");
            break;
        }
        if (exit_.load()) {
            break;
        }
        UT_LOG(UT_LOG_DEVDBG, "API Manager daemon thread wake up");
        std::shared_ptr<Handoff> handoff;
        {
            std::lock_guard<std::mutex> guard(handoff_mutex_);
            handoff.swap(handoff_);
        }
        UTStatus status = UT_SEND_CYCLE_FAILED;
        try {
            if (handoff) {
                m_reason.store(handoff->reason);
                const CycleOutcome outcome = runCycle();
                status = StatusOfProcessResult(outcome.result, outcome.server_status,
                                               outcome.ext_dep_status);
            } else {
                process();
            }
        } catch (...) {
        }
        if (handoff) {
            finishHandoff(handoff, status);
        }
        if (exit_.load()) {
            break;
        }
    }
    // A host still waiting for a cycle that never ran: the manager goes.
    std::shared_ptr<Handoff> orphan;
    {
        std::lock_guard<std::mutex> guard(handoff_mutex_);
        orphan.swap(handoff_);
    }
    if (orphan) {
        finishHandoff(orphan, UT_SEND_OK);
    }
}

void CUTTranscriptManager::finishHandoff(const std::shared_ptr<Handoff>& handoff, UTStatus status) {
    {
        std::lock_guard<std::mutex> guard(handoff->mutex);
        handoff->done = true;
        handoff->status = status;
    }
    handoff->done_signal.notify_all();
}

UTStatus CUTTranscriptManager::sendOnWorker(int reason, std::chrono::milliseconds bound) {
    auto handoff = std::make_shared<Handoff>();
    handoff->reason = reason;
    {
        std::lock_guard<std::mutex> guard(handoff_mutex_);
        if (handoff_) {
            // Another host thread waits for the same next cycle: share it.
            handoff = handoff_;
        } else {
            handoff_ = handoff;
        }
    }
    if (event_->event.signal() != 0) {
        return UT_SEND_CYCLE_FAILED;
    }
    std::unique_lock<std::mutex> lock(handoff->mutex);
    if (!handoff->done_signal.wait_for(lock, bound, [&handoff] { return handoff->done; })) {
        UT_LOG(UT_LOG_INFO, "The send goes on in the background");
        return UT_SEND_OK;
    }
    return handoff->status;
}

int64_t CUTTranscriptManager::HostThreadBoundMs(int64_t communication_timeout_ms) {
    return communication_timeout_ms < 1000 ? kHostThreadDefaultBoundMs : communication_timeout_ms;
}

int CUTTranscriptManager::OnSendNow() {
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::OnSendNow()");
    m_reason.store(UT_SEND_REASON_CHECK);
    return event_->event.signal() == 0 ? 0 : -1;
}

void CUTTranscriptManager::handle_timeout(int timerId) {
    CUTConfigManager* config = CUTConfigManager::PeekInstance();
    if (config == nullptr || !config->IsProductInitialised()) {
        UT_LOG(UT_LOG_DEVDBG,
               "CUTTranscriptManager::handle_timeout(TimerID=%d) product information is not "
               "initialised, nothing to do",
               timerId);
        return;
    }
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::handle_timeout(TimerID=%d)", timerId);
    switch (timerId) {
        case CHECK_TIMER:
            m_reason.store(UT_SEND_REASON_CHECK);
            break;
        case RETRY_TIMER:
            if (retriesLeft.fetch_sub(1) - 1 < 0) {
                // The series is over; the next chance is the next check.
                retriesLeft.store(RetryTimes(config));
                return;
            }
            m_reason.store(UT_SEND_REASON_RETRY);
            break;
        case RESTART_TIMER:
            m_reason.store(UT_SEND_REASON_RESTART);
            break;
        default:
            break;
    }
    event_->event.signal();
}

UTTimer* CUTTranscriptManager::timer(int timerId) const {
    switch (timerId) {
        case CHECK_TIMER:
            return checkTimer_.get();
        case RETRY_TIMER:
            return retryTimer_.get();
        case RESTART_TIMER:
            return restartTimer_.get();
        default:
            return nullptr;
    }
}

int CUTTranscriptManager::process() {
    return runCycle().result;
}

CUTTranscriptManager::CycleOutcome CUTTranscriptManager::runCycle() {
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::process() m_reason=%d", m_reason.load());
#ifdef TVUT_TEST_SEAMS
    NotifyProcessObserver(m_reason.load());
#endif  // TVUT_TEST_SEAMS
    CycleOutcome outcome;
    try {
        // The worker queues for the lock; a host's thread waits no longer
        // than its send would take, since another process's upload may hold
        // the lock for as long as that process allows.
        std::optional<std::chrono::steady_clock::time_point> deadline;
        if (t_host_send) {
            deadline = t_host_send->deadline;
        }
        CUTNamedLockGuard lock(kSendingLockName, deadline);
        if (!lock.IsHeld()) {
            if (lock.TimedOut()) {
                UT_LOG(UT_LOG_ERROR,
                       "Another send of this user held the sending lock for %d ms: nothing is sent",
                       static_cast<int>(t_host_send->bound_ms));
                outcome.result = kResultSendingElsewhere;
            }
            return outcome;
        }
        try {
            CUTConfigManager* config = CUTConfigManager::PeekInstance();
            if (config != nullptr && !TrackingIsOn(config)) {
                outcome.result = kResultTrackingOff;
            } else if (isTimeToSend()) {
                CUTProcessState::server_status_code.store(0);
                CUTProcessState::ext_dep_status_code.store(0);
                UT_LOG(UT_LOG_INFO, "Time to send.\n");
                outcome.result = sendFile(&outcome.sent);
            } else {
                UT_LOG(UT_LOG_INFO, "Not the Time to send. \n");
                outcome.result = 1;
            }
        } catch (const CUTException& exception) {
            LogExceptionChain(exception);
            outcome.result = -1;
        } catch (...) {
            outcome.result = -1;
        }
        // Read while the lock is held: once it is released another cycle
        // may overwrite them before the caller looks.
        outcome.server_status = CUTProcessState::server_status_code.load();
        outcome.ext_dep_status = CUTProcessState::ext_dep_status_code.load();
    } catch (...) {
        outcome.result = -1;
    }
    if (outcome.sent) {
        notifyHost(outcome.server_status == kServerStatusAccepted);
    }
    return outcome;
}

// The host learns the outcome of every upload request: true when the server
// accepted it. Called on the thread that ran the cycle, after the sending
// lock is released, so that the host may call the facade from the callback
// (a synchronous send included). Not called once shutdown has begun (the
// callback could reach a manager being destroyed), and not again from a
// cycle the callback itself runs. Whatever the callback throws stays here.
void CUTTranscriptManager::notifyHost(bool delivered) {
    const UTCallback function = callback_.load();
    if (function == nullptr || t_in_host_callback || exit_.load() || CUTProcessState::stop.load()) {
        return;
    }
    t_in_host_callback = true;
    callbacks_running_.fetch_add(1);
    try {
        function(delivered);
    } catch (...) {
    }
    callbacks_running_.fetch_sub(1);
    t_in_host_callback = false;
}

bool CUTTranscriptManager::IsInHostCallback() {
    return t_in_host_callback;
}

bool CUTTranscriptManager::isTimeToSend() {
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::isTimeToSend()");
    switch (m_reason.load()) {
        case UT_SEND_REASON_FORCED:
        case UT_SEND_REASON_RETRY:
        case UT_SEND_REASON_RESTART:
            return true;
        case UT_SEND_REASON_NO_SEND:
            return false;
        default:
            break;
    }
    removeOldTranscripts();
    CUTConfigManager* config = CUTConfigManager::PeekInstance();
    if (config == nullptr) {
        throw std::runtime_error("no configuration manager");
    }
    if (config->Runtime()->IsSending()) {
        return false;
    }
    const int64_t now = CurrentTimeSeconds(CUTPlatform::Current());
    // Read from the file: another process may have delivered since this one
    // loaded it, and its send counts for the whole user.
    const int64_t last = config->Store()->GetInt64(L"LastSendTimestamp", true);
    const int64_t interval = config->GetCommunicationWaitTime() / 1000;
    // A stored time later than now (the clock was set back since) counts as
    // due: otherwise nothing would be sent until the clock caught up, and the
    // transcripts piling up meanwhile would be trimmed. The distance is
    // taken unsigned, where it is exact: a stored time near either end of
    // the range must not wrap into the past.
    if (last > now || interval <= 0) {
        return true;
    }
    return static_cast<uint64_t>(now) - static_cast<uint64_t>(last) >=
           static_cast<uint64_t>(interval);
}

void CUTTranscriptManager::removeOldTranscripts() {
    try {
        CUTConfigManager* config = CUTConfigManager::PeekInstance();
        if (config == nullptr) {
            return;
        }
        CUTPendingTranscripts(config->GetUserComponentFolder())
            .RemoveOldTranscripts(config->Store()->GetInt(L"MaxFileCount", false));
    } catch (...) {
    }
}

void CUTTranscriptManager::removeLeftTemporaryFiles(const std::wstring& component_folder) {
    // A writer killed between creating its temporary file and the rename
    // leaves it; the next write of the same file removes it, but a product
    // that is not run again never writes there. Each sweep takes the lock of
    // what it sweeps, so a live writer's file is never touched.
    const CUTPendingTranscripts pending(component_folder);
    std::vector<std::wstring> removed = pending.RemoveLeftTemporaryFiles();
    // The machine's and the user's settings files are written less often
    // than a product's: their leftovers are swept here too.
    for (const unsigned kind : {UT_FILE_PI_UI, UT_FILE_PI_UD}) {
        CUTXMLConfig settings(kind, kComponentFolderName);
        for (std::wstring& path : settings.RemoveLeftTemporaryFiles()) {
            removed.push_back(std::move(path));
        }
    }
    for (const std::wstring& product : pending.ProductFolderNames()) {
        CUTXMLConfig settings(UT_FILE_PRODUCT,
                              std::wstring(kComponentFolderName) + kPathSeparator + product);
        for (std::wstring& path : settings.RemoveLeftTemporaryFiles()) {
            removed.push_back(std::move(path));
        }
    }
    for (const std::wstring& stale : removed) {
        UT_LOG(UT_LOG_DEVDBG, "Remove stale temporary file %ls", stale.c_str());
    }
}

bool CUTTranscriptManager::reportOnce(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(reported_mutex_);
    if (reported_oversized_.size() >= 1000) {
        reported_oversized_.clear();
    }
    return reported_oversized_.insert(path).second;
}

int CUTTranscriptManager::sendFile(bool* sent) {
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::sendFile()\n");
    CUTConfigManager* config = CUTConfigManager::PeekInstance();
    if (config == nullptr) {
        throw std::runtime_error("no configuration manager");
    }
    CUTPlatform* platform = CUTPlatform::Current();
    const std::string url = ToUtf8(config->GetReceivingURL());
    // The receiving URL may carry "user:password@": never into the log.
    UT_LOG(UT_LOG_INFO, "Sending to Server %s\n", UrlWithoutUserinfo(url).c_str());
    CUTHttpClient client(url);
    client.DeferDeliveredTime(true);
    if (t_host_send) {
        // What the wait for the lock left, in the whole seconds the
        // transfer's time-out counts (0 would mean none).
        const int64_t left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    t_host_send->deadline - std::chrono::steady_clock::now())
                                    .count();
        client.BoundTransfer(std::max<int64_t>(left_ms, 1000));
    }

    const std::wstring folder = config->GetUserComponentFolder();
    // Under the sending lock no other cycle of this user has an archive
    // open: one left in the folder belongs to a process that died.
    for (const std::wstring& stale : CUTPendingTranscripts::RemoveStaleArchives(folder)) {
        UT_LOG(UT_LOG_DEVDBG, "Remove stale payload file %ls", stale.c_str());
    }
    removeLeftTemporaryFiles(folder);
    const std::wstring guid = platform->NewGuidText();
    const std::wstring archive =
        folder.empty() || guid.empty() ? std::wstring() : folder + kPathSeparator + guid + L".zip";
    CUTPayloadList payload(static_cast<uint64_t>(config->GetMaxPayloadSize()));
    std::wstring log_copy;
    std::vector<const CUTPendingFile*> packed;
    try {
        try {
            if (config->IsBeta()) {
                const std::wstring log_file = config->GetLogFilePath();
                log_copy = CUTPendingTranscripts::CopyLogFile(log_file);
                const std::wstring log_folder = ParentFolderOf(log_file);
                if (!log_folder.empty()) {
                    CUTPendingTranscripts::GatherArchivedLogs(log_folder, &payload);
                }
            }
            CUTPendingTranscripts(folder).GatherTranscripts(&payload);
        } catch (...) {
            UT_LOG(UT_LOG_ERROR, "Gathering Transcript Files Error!");
        }
        for (const std::wstring& file : payload.oversized) {
            if (reportOnce(file)) {
                UT_LOG(UT_LOG_WARNING,
                       "File %ls is larger than the whole payload budget, it is not sent",
                       file.c_str());
            }
        }
        if (payload.skipped_names > 0) {
            UT_LOG(UT_LOG_INFO, "Skipped %d folder entries whose names are not UTF-8",
                   static_cast<int>(payload.skipped_names));
        }

        // Only what the archive really holds counts as sent: a file that
        // could not be added, or an archive that could not be completed,
        // leaves its files for the next cycle.
        bool archived = false;
        if (!payload.files.empty() && !archive.empty()) {
            CUTZipper zipper(archive);
            for (CUTPendingFile& file : payload.files) {
                if (CUTProcessState::stop.load()) {
                    break;
                }
                // The bytes packed are the version the server will have:
                // only those may be removed once it accepts them.
                ZipEntryBytes bytes;
                if (zipper.AddFile(file.path, &bytes)) {
                    file.RecordPackedBytes(bytes.size, bytes.crc32);
                    packed.push_back(&file);
                }
            }
            // Stopped while packing: no upload would get far anyway.
            archived = !CUTProcessState::stop.load() && zipper.Complete();
            if (!archived) {
                packed.clear();
            }
        }

        int result = UT_SEND_RESULT_FAILED;
        if (!payload.files.empty() && !archived) {
            // Files wait but no archive holds them (a full disk): a request
            // without them would count as a delivered send, and the host and
            // the send interval would take it for one.
            UT_LOG(UT_LOG_ERROR, "Fail to write payload file %ls, nothing is sent",
                   archive.c_str());
        } else if (!TrackingIsOn(config)) {
            // Turned off while the files were packed (consent revoked, in
            // another process perhaps): what they hold must not leave.
            result = kResultTrackingOff;
        } else {
            config->Runtime()->SetSending(true);
            UT_LOG(UT_LOG_INFO, "Start Sending Request....");
            std::wstring session_id;
            result = client.Send(archived ? archive : std::wstring(), &session_id);
            *sent = true;
        }

        const bool accepted =
            *sent && CUTProcessState::server_status_code.load() == kServerStatusAccepted;
        if (accepted) {
            UT_LOG(UT_LOG_INFO, "Send Payload Success!");
            for (const CUTPendingFile* file : packed) {
                if (CUTPendingTranscripts::RemoveIfUnchanged(*file)) {
                    UT_LOG(UT_LOG_DEVDBG, "Remove transcript file %ls", file->path.c_str());
                } else {
                    // Rewritten (a crash recorded, say) or gone since it was
                    // packed: what is there now has not been delivered.
                    UT_LOG(UT_LOG_DEVDBG, "Keep transcript file %ls, it changed after it was sent",
                           file->path.c_str());
                }
            }
            // Only now: a process killed before this point sends the files
            // it had not yet removed once more, never one it removed.
            CUTHttpClient::RecordDeliveredSend();
            retriesLeft.store(RetryTimes(config));
        } else {
            if (!log_copy.empty()) {
                platform->RemoveFile(log_copy);
            }
        }
        if (!accepted && result != kResultTrackingOff) {
            UT_LOG(UT_LOG_ERROR, "Send Payload fail, error=%d", result);
            if (result == UT_SEND_RESULT_SERVER_RESTARTING) {
                UT_LOG(UT_LOG_ERROR, "Send Payload fail due to ServerRestart, will try to resend");
                restartTimer_->start();
            } else {
                UT_LOG(UT_LOG_ERROR,
                       "Send Payload fail due to Connection Time Out, will try to resend");
                // The line above is the one support scripts look for, whatever
                // the failure; this one says what it was.
                if (!client.FailureCause().empty()) {
                    UT_LOG(UT_LOG_ERROR, "The send failed: %ls", client.FailureCause().c_str());
                }
                retryTimer_->start();
            }
        }
        UT_LOG(UT_LOG_DEVDBG, "Remove zip file %ls", archive.c_str());
        if (FileExists(platform, archive) && !platform->RemoveFile(archive)) {
            const std::wstring line = L"Fail to remove payload file: " + archive;
            CUTLoggerManager::GetInstance()->LogWString(UT_LOG_ERROR, line.c_str());
        }
        return result;
    } catch (...) {
        // The cycle ends here; its archive, and a log copy that was never
        // sent, must not stay behind.
        if (!archive.empty()) {
            platform->RemoveFile(archive);
        }
        if (!log_copy.empty() && !*sent) {
            platform->RemoveFile(log_copy);
        }
        throw;
    }
}

UTStatus CUTTranscriptManager::sendSynchronously(int reason) {
    m_reason.store(reason);
    CUTConfigManager* config = CUTConfigManager::PeekInstance();
    const int64_t bound_ms =
        HostThreadBoundMs(config != nullptr ? config->GetCommunicationTimeOut() : 0);
    struct Bounded {
        explicit Bounded(int64_t ms) {
            t_host_send = HostThreadSend{
                std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), ms};
        }
        ~Bounded() { t_host_send.reset(); }
    } bounded(bound_ms);
    const CycleOutcome outcome = runCycle();
    return StatusOfProcessResult(outcome.result, outcome.server_status, outcome.ext_dep_status);
}

UTStatus CUTTranscriptManager::StatusOfProcessResult(int result, int server_status,
                                                     int ext_dep_status) {
    switch (result) {
        case -1:
            return UT_SEND_CYCLE_FAILED;
        case kResultTrackingOff:
            return UT_TRACKING_OFF;
        case kResultSendingElsewhere:
            return UT_SEND_NOT_DELIVERED;
        case 1:
            return UT_SEND_OK;
        case 2:
        case 3:
        case 4:
        case 5:
            return UT_SEND_NOT_DELIVERED;
        case 6:
        case 7:
            return UT_SEND_SERVER_REJECTED;
        default:
            break;
    }
    if (server_status != 199) {
        return UT_SEND_SERVER_REJECTED;
    }
    return ext_dep_status == 183 || ext_dep_status == 186 ? UT_SEND_OK
                                                          : UT_SEND_EXT_DEPENDENCY_FAILED;
}

bool CUTTranscriptManager::serializeTranscript() {
    try {
        CMLSerializer* serializer = CMLSerializer::GetInstance();
        if (serializer != nullptr && serializer->Serialize()) {
            return true;
        }
    } catch (const CUTException& exception) {
        LogExceptionChain(exception);
    } catch (...) {
    }
    UT_LOG(UT_LOG_ERROR, "Serialize Transcript File Error!!");
    return false;
}
