#include "manager/UTTranscriptManager.h"

#include "config/UTConfigManager.h"

CUTTranscriptManager::CUTTranscriptManager() {
    // The manager reads its settings from the configuration manager, which
    // therefore exists first and is destroyed after it.
    CUTConfigManager::GetInstance();
}

CUTTranscriptManager::~CUTTranscriptManager() = default;

bool CUTTranscriptManager::serializeTranscript() {
    return false;
}

UTStatus CUTTranscriptManager::sendSynchronously(int) {
    return UT_SEND_CYCLE_FAILED;
}

bool CUTTranscriptManager::OnSendNow() {
    return false;
}
