#include "manager/UTTranscriptManager.h"

#include "config/UTConfigManager.h"
#include "log/UTException.h"
#include "log/UTLoggerManager.h"
#include "transcript/MLSerializer.h"

CUTTranscriptManager::CUTTranscriptManager() {
    // The manager reads its settings from the configuration manager, which
    // therefore exists first and is destroyed after it.
    CUTConfigManager::GetInstance();
    // The wake-up event and the worker thread are created here, before the
    // log line; the timers after it.
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::CUTTranscriptManager(this=%@)",
           static_cast<void*>(this));
    // Last: from here on the manager owns the serializer's lifetime.
    CMLSerializer::GetInstance();
}

CUTTranscriptManager::~CUTTranscriptManager() {
    // The worker thread is stopped and joined before this line, the timers
    // stopped after it.
    UT_LOG(UT_LOG_DEVDBG, "CUTTranscriptManager::~CUTTranscriptManager(this=%@)",
           static_cast<void*>(this));
    // Destroying the serializer writes the final transcript; it contains
    // every failure of that write itself.
    CMLSerializer::DestroyInstance();
    // The timers are released after the final write.
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

UTStatus CUTTranscriptManager::sendSynchronously(int) {
    return UT_SEND_CYCLE_FAILED;
}

bool CUTTranscriptManager::OnSendNow() {
    return false;
}
