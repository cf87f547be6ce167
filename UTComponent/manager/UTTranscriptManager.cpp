#include "manager/UTTranscriptManager.h"

#include <ace/Auto_Event.h>

#include <climits>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "UT/UTProcessState.h"
#include "config/UTConfigManager.h"
#include "log/UTException.h"
#include "log/UTLoggerManager.h"
#include "manager/UTTimer.h"
#include "transcript/MLSerializer.h"

struct CUTTranscriptManager::WakeEvent {
    // Auto-reset: one signal releases one wait; signals that arrive while
    // nobody waits collapse into one.
    ACE_Auto_Event event;
};

namespace {

std::mutex& ObserverMutex() {
    static std::mutex* const mutex = new std::mutex();
    return *mutex;
}

std::function<void(int)>& Observer() {
    static std::function<void(int)>* const observer = new std::function<void(int)>();
    return *observer;
}

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

int RetryTimes(CUTConfigManager* config) {
    const int64_t times = config->GetCommunicationRetryTimes();
    if (times < 0) {
        return 0;
    }
    return times > INT_MAX ? INT_MAX : static_cast<int>(times);
}

}  // namespace

void CUTTranscriptManager::SetProcessObserver(std::function<void(int)> observer) {
    std::lock_guard<std::mutex> guard(ObserverMutex());
    Observer() = std::move(observer);
}

CUTTranscriptManager::CUTTranscriptManager() : event_(new WakeEvent()) {
    // The manager reads its settings from the configuration manager, which
    // therefore exists first and is destroyed after it.
    CUTConfigManager* config = CUTConfigManager::GetInstance();
    daemon_ = std::thread(&CUTTranscriptManager::daemonThread, this);
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::CUTTranscriptManager(this=%@)",
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
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::~CUTTranscriptManager(this=%@)",
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
            return;
        }
        if (exit_.load()) {
            return;
        }
        UT_LOG(UT_LOG_DEVDBG, "API Manager daemon thread wake up");
        try {
            process();
        } catch (...) {
        }
        if (exit_.load()) {
            return;
        }
    }
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

// Results: -1 when the cycle could not run (the sending lock, or an
// exception), 1 when it was not time to send, otherwise the send result of
// sendFile. The send cycle is not built yet: process() reports that it could
// not run.
int CUTTranscriptManager::process() {
    const int reason = m_reason.load();
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::process() m_reason=%d", reason);
    std::function<void(int)> observer;
    {
        std::lock_guard<std::mutex> guard(ObserverMutex());
        observer = Observer();
    }
    if (observer) {
        observer(reason);
    }
    return -1;
}

// Forced, retry and restart reasons send; a scheduled check trims old
// transcripts and sends once the send interval has passed. Not built yet.
bool CUTTranscriptManager::isTimeToSend() {
    return false;
}

// Keeps the number of transcripts at MaxFileCount, oldest first. Not built
// yet.
void CUTTranscriptManager::removeOldTranscripts() {}

// Gathers, packs and uploads the pending files, and arms the retry or
// restart timer when the upload fails. Not built yet.
int CUTTranscriptManager::sendFile() {
    return -1;
}

UTStatus CUTTranscriptManager::sendSynchronously(int reason) {
    m_reason.store(reason);
    const int result = process();
    return StatusOfProcessResult(result, CUTProcessState::server_status_code.load(),
                                 CUTProcessState::ext_dep_status_code.load());
}

UTStatus CUTTranscriptManager::StatusOfProcessResult(int result, int server_status,
                                                     int ext_dep_status) {
    switch (result) {
        case -1:
            return UT_SEND_CYCLE_FAILED;
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
