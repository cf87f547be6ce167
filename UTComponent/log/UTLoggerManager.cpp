// Placeholder until the logger lands: every call is skipped.
#include "log/UTLoggerManager.h"

class CUTLoggerBackend {};

CUTLoggerManager::CUTLoggerManager() = default;
CUTLoggerManager::~CUTLoggerManager() = default;
void CUTLoggerManager::Init(const wchar_t*, const wchar_t*, int64_t, int, int) {}
int CUTLoggerManager::Log(int, const char*, ...) {
    return 0;
}
int CUTLoggerManager::LogString(int, const char*) {
    return 0;
}
int CUTLoggerManager::LogWString(int, const wchar_t*) {
    return 0;
}
bool CUTLoggerManager::IsInitialised() const {
    return false;
}
int CUTLoggerManager::ConfiguredLevel() const {
    return 0;
}
