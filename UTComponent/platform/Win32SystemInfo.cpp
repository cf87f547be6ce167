// Identity and locale services of the Win32 platform.
//
// Sources: GetComputerNameW and GetUserNameW (buffers of 260 characters),
// GetUserNameExW in the SAM-compatible form for the qualified account, the
// registry's ProductId for the machine id, GetVolumeInformationW of the
// Windows directory's drive for the volume serial, RtlGetVersion, the
// registry's ProductName and IsWow64Process for the system's description,
// the system's default locale, GetComputerNameExW for the DNS domain (the
// workgroup when the computer has none), the C runtime's time zone (what
// _ftime64 reports) and the OEM code page for the "OEM" charset. No COM: a
// host thread's apartment and the process's COM security stay the host's.
// Every call may come from any thread; nothing is kept between calls but the
// time-zone lock.
#include <windows.h>
#define SECURITY_WIN32
#include <lm.h>
#include <secext.h>
#include <sys/timeb.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/UTTextCodec.h"
#include "platform/Win32Platform.h"

namespace {

// The buffers of the name queries, one more than the longest name taken.
constexpr DWORD kNameBuffer = 260;

const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// A value of the machine's registry in the 64-bit view (the one a 32-bit
// process would otherwise be redirected away from), as stored.
bool MachineRegistryValue(const wchar_t* key_name, const wchar_t* value_name, DWORD* type,
                          std::string* data) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_name, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD size = 0;
    LSTATUS result = ::RegQueryValueExW(key, value_name, nullptr, type, nullptr, &size);
    std::string bytes;
    // The value may grow between the two queries: asked again with its new
    // size a few times.
    for (int attempt = 0; result == ERROR_SUCCESS && attempt < 4; ++attempt) {
        bytes.assign(size, '\0');
        DWORD got = size;
        result =
            ::RegQueryValueExW(key, value_name, nullptr, type,
                               reinterpret_cast<BYTE*>(bytes.empty() ? nullptr : &bytes[0]), &got);
        if (result == ERROR_SUCCESS) {
            bytes.resize(got);
            break;
        }
        if (result == ERROR_MORE_DATA) {
            size = got;
            result = ERROR_SUCCESS;
            continue;
        }
    }
    ::RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        return false;
    }
    data->swap(bytes);
    return true;
}

// A string value of the machine's registry, without its terminator.
bool MachineRegistryText(const wchar_t* key_name, const wchar_t* value_name, std::wstring* text) {
    DWORD type = 0;
    std::string bytes;
    if (!MachineRegistryValue(key_name, value_name, &type, &bytes) || type != REG_SZ) {
        return false;
    }
    std::wstring value(bytes.size() / sizeof(wchar_t), L'\0');
    if (!value.empty()) {
        std::memcpy(&value[0], bytes.data(), value.size() * sizeof(wchar_t));
    }
    while (!value.empty() && value.back() == L'\0') {
        value.pop_back();
    }
    text->swap(value);
    return true;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// tvUT's module may be loaded into a 32-bit process on a 64-bit system:
// IsWow64Process tells, where the system has it.
bool RunsUnderWow64() {
    using IsWow64 = BOOL(WINAPI*)(HANDLE, PBOOL);
    const IsWow64 is_wow64 = reinterpret_cast<IsWow64>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return is_wow64 != nullptr && is_wow64(::GetCurrentProcess(), &wow64) && wow64;
}

// The time zone of the C runtime (TZ when set, else the system's) is read
// and converted under one lock: _tzset rewrites the globals a local time is
// made from. Constant-initialised and never destroyed, as the logger may
// stamp a line while the process ends.
SRWLOCK g_zone_lock = SRWLOCK_INIT;

class CUTZoneLock {
public:
    CUTZoneLock() { ::AcquireSRWLockExclusive(&g_zone_lock); }
    ~CUTZoneLock() { ::ReleaseSRWLockExclusive(&g_zone_lock); }
    CUTZoneLock(const CUTZoneLock&) = delete;
    CUTZoneLock& operator=(const CUTZoneLock&) = delete;
};

// _tzset again whenever TZ changed, as the C library elsewhere does on each
// conversion; the runtime itself reads TZ only once. The offset and the
// local times are read through it alike, so that the offset a transcript
// carries belongs to the zone its local times were made in. Under the zone
// lock only.
void ReadZoneIfChanged() {
    static bool zone_read = false;
    static std::string last_tz;
    static bool had_tz = false;
    const char* tz = std::getenv("TZ");
    if (!zone_read || (tz != nullptr) != had_tz || (tz != nullptr && last_tz != tz)) {
        ::_tzset();
        zone_read = true;
        had_tz = tz != nullptr;
        last_tz = tz != nullptr ? tz : "";
    }
}

}  // namespace

bool CUTWin32Platform::ComputerName(std::wstring* name) {
    wchar_t buffer[kNameBuffer];
    DWORD length = kNameBuffer;
    if (!::GetComputerNameW(buffer, &length) || length == 0) {
        return false;
    }
    name->assign(buffer, length);
    return true;
}

bool CUTWin32Platform::AccountName(std::wstring* name) {
    wchar_t buffer[kNameBuffer];
    DWORD length = kNameBuffer;
    // The length reported counts the terminator.
    if (!::GetUserNameW(buffer, &length) || length <= 1) {
        return false;
    }
    name->assign(buffer, length - 1);
    return true;
}

bool CUTWin32Platform::QualifiedAccountName(std::wstring* name) {
    // The size first, then the name in a buffer of that size.
    ULONG length = 0;
    ::GetUserNameExW(NameSamCompatible, nullptr, &length);
    if (length == 0) {
        return false;
    }
    std::wstring buffer(length, L'\0');
    if (!::GetUserNameExW(NameSamCompatible, &buffer[0], &length) || length == 0) {
        return false;
    }
    buffer.resize(length);
    name->swap(buffer);
    return true;
}

bool CUTWin32Platform::MachineIdBytes(std::string* bytes) {
    // The stored text, its terminating zero included, as the identity hashes
    // it.
    DWORD type = 0;
    std::string data;
    if (!MachineRegistryValue(kCurrentVersionKey, L"ProductId", &type, &data) || data.empty()) {
        return false;
    }
    bytes->swap(data);
    return true;
}

bool CUTWin32Platform::SystemVolumeSerial(uint32_t* serial) {
    // The drive of the Windows folder; drive C when it names none.
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
    std::wstring root = length > 0 && length < MAX_PATH ? std::wstring(folder, length) : L"";
    const size_t separator = root.find(L'\\');
    root = separator == std::wstring::npos ? std::wstring(L"C:\\") : root.substr(0, separator + 1);
    DWORD number = 0;
    if (!::GetVolumeInformationW(root.c_str(), nullptr, 0, &number, nullptr, nullptr, nullptr, 0)) {
        return false;
    }
    *serial = number;
    return true;
}

void CUTWin32Platform::OperatingSystem(CUTOsDescription* description) {
    *description = CUTOsDescription();
    // RtlGetVersion tells the truth whatever the host's manifest says
    // (GetVersionExW answers as the manifest allows).
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const GetVersion get_version = reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (get_version == nullptr || get_version(&version) != 0) {
        return;
    }
    std::wstring product;
    if (MachineRegistryText(kCurrentVersionKey, L"ProductName", &product) && !product.empty()) {
        // Windows 11 kept the product name of its predecessor.
        if (version.dwBuildNumber >= 22000 && StartsWith(product, L"Windows 10")) {
            product.replace(0, 10, L"Windows 11");
        }
        // The caption form the system shows elsewhere: "Microsoft Windows ...".
        description->name = StartsWith(product, L"Microsoft") ? product : L"Microsoft " + product;
    }
    const std::wstring build = std::to_wstring(version.dwBuildNumber);
    description->version = std::to_wstring(version.dwMajorVersion) + L"." +
                           std::to_wstring(version.dwMinorVersion) + L"." + build;
    description->service_pack = version.szCSDVersion;
    description->build = build;
    // A 32-bit module on a 64-bit system runs under WOW64.
    description->is_64bit = RunsUnderWow64();
}

std::string CUTWin32Platform::MessagesLocaleName() {
    // The system's locale, as "en_US"; the locale table turns it into its id.
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (::LCIDToLocaleName(::GetSystemDefaultLCID(), name, LOCALE_NAME_MAX_LENGTH, 0) == 0) {
        return std::string();
    }
    std::string text = ToUtf8(name);
    for (char& c : text) {
        if (c == '-') {
            c = '_';
        }
    }
    return text;
}

std::wstring CUTWin32Platform::DomainName() {
    wchar_t buffer[kNameBuffer];
    DWORD length = kNameBuffer;
    if (::GetComputerNameExW(ComputerNamePhysicalDnsDomain, buffer, &length) && length > 0) {
        return std::wstring(buffer, length);
    }
    // Not in a domain: the workgroup, as the system's own inventory shows.
    wchar_t* group = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    std::wstring domain;
    if (::NetGetJoinInformation(nullptr, &group, &status) == NERR_Success && group != nullptr) {
        if (status == NetSetupWorkgroupName || status == NetSetupDomainName) {
            domain = group;
        }
    }
    if (group != nullptr) {
        ::NetApiBufferFree(group);
    }
    return domain;
}

int CUTWin32Platform::TimeZoneOffsetMinutes() {
    CUTZoneLock lock;
    ReadZoneIfChanged();
    // Minutes west of UTC of standard time, as the C runtime keeps them.
    struct __timeb64 now;
    ::_ftime64(&now);
    return -static_cast<int>(now.timezone);
}

bool ToLocalTime(int64_t seconds, std::tm* local) {
    CUTZoneLock lock;
    ReadZoneIfChanged();
    const __time64_t when = static_cast<__time64_t>(seconds);
    return ::_localtime64_s(local, &when) == 0;
}

bool CUTWin32Platform::WideToLocaleCharset(const std::wstring& wide, std::string* out) {
    if (wide.empty()) {
        out->clear();
        return true;
    }
    // No best fit: a character the OEM code page lacks becomes its default
    // character, never a look-alike.
    const int size =
        ::WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide.data(),
                              static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return false;
    }
    std::string result(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide.data(),
                              static_cast<int>(wide.size()), &result[0], size, nullptr,
                              nullptr) != size) {
        return false;
    }
    out->swap(result);
    return true;
}

bool CUTWin32Platform::LocaleCharsetToWide(const std::string& text, std::wstring* out) {
    if (text.empty()) {
        out->clear();
        return true;
    }
    const int size = ::MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) {
        return false;  // invalid input: no partial text
    }
    std::wstring result(static_cast<size_t>(size), L'\0');
    if (::MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, text.data(),
                              static_cast<int>(text.size()), &result[0], size) != size) {
        return false;
    }
    out->swap(result);
    return true;
}
