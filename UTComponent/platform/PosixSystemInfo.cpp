// Identity and locale services of the POSIX platform.
// (Placeholder: the machine-identity work fills these in.)
#include "platform/PosixPlatform.h"

bool CUTPosixPlatform::ComputerName(std::wstring*) {
    return false;
}
bool CUTPosixPlatform::AccountName(std::wstring*) {
    return false;
}
bool CUTPosixPlatform::MachineIdBytes(std::string*) {
    return false;
}
bool CUTPosixPlatform::SystemVolumeSerial(uint32_t*) {
    return false;
}
bool CUTPosixPlatform::OsReleaseText(std::string*) {
    return false;
}
bool CUTPosixPlatform::KernelInfo(std::string*, bool*) {
    return false;
}
std::string CUTPosixPlatform::MessagesLocaleName() {
    return std::string();
}
std::wstring CUTPosixPlatform::DomainName() {
    return std::wstring();
}
int CUTPosixPlatform::TimeZoneOffsetMinutes() {
    return 0;
}
bool CUTPosixPlatform::WideToLocaleCharset(const std::wstring&, std::string*) {
    return false;
}
bool CUTPosixPlatform::LocaleCharsetToWide(const std::string&, std::wstring*) {
    return false;
}
