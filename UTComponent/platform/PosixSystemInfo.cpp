// Identity and locale services of the POSIX platform.
//
// Sources: the host name (gethostname), the effective user's account
// (getpwuid_r), the machine id file, the root file system's id (statvfs), the
// os-release file and uname (the system's description), the locale environment variables, the
// resolver's canonical name of the host (for the DNS domain), the C library's time zone and iconv
// with the charset of the current LC_CTYPE. The component never calls setlocale: the host owns the
// process locale, so the "OEM" charset is whatever the host has set (plain ASCII when it never
// called setlocale).
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/UTTextCodec.h"
#include "platform/PosixPlatform.h"
#include "platform/UTOsRelease.h"

namespace {

// Names from the system are UTF-8 on any sane system; fall back to the
// locale's charset for the rest.
bool SystemTextToWide(CUTPlatform* platform, const std::string& text, std::wstring* wide) {
    return Utf8ToWide(text, wide) || platform->LocaleCharsetToWide(text, wide);
}

// Reads the first of the files that exists and is not empty.
bool ReadFirstNonEmpty(CUTPlatform* platform, const wchar_t* const* paths, size_t count,
                       std::string* bytes) {
    for (size_t i = 0; i < count; ++i) {
        std::string data;
        if (ReadWholeFile(platform, paths[i], &data) && !data.empty()) {
            bytes->swap(data);
            return true;
        }
    }
    return false;
}

bool IsSixtyFourBitMachine(const char* machine) {
    static const char* const kMachines[] = {"x86_64",  "aarch64", "aarch64_be", "arm64",  "ppc64",
                                            "ppc64le", "s390x",   "riscv64",    "mips64", "sparc64",
                                            "ia64",    "alpha",   "loongarch64"};
    for (const char* name : kMachines) {
        if (std::strcmp(machine, name) == 0) {
            return true;
        }
    }
    return false;
}

// The text after the first dot of a host name, without a trailing root dot;
// empty when there is none.
std::string DomainPart(const std::string& name) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos) {
        return std::string();
    }
    std::string domain = name.substr(dot + 1);
    while (!domain.empty() && domain.back() == '.') {
        domain.pop_back();
    }
    return domain;
}

// RAII for an iconv descriptor.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~IconvHandle() {
        if (valid()) {
            iconv_close(cd_);
        }
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

const char* LocaleCodeset() {
    const char* codeset = nl_langinfo(CODESET);
    return (codeset != nullptr && codeset[0] != '\0') ? codeset : "ANSI_X3.4-1968";
}

}  // namespace

bool CUTPosixPlatform::ComputerName(std::wstring* name) {
    char buffer[1025];
    if (::gethostname(buffer, sizeof(buffer) - 1) != 0) {
        return false;
    }
    buffer[sizeof(buffer) - 1] = '\0';
    std::wstring wide;
    if (buffer[0] == '\0' || !SystemTextToWide(this, buffer, &wide)) {
        return false;
    }
    name->swap(wide);
    return true;
}

bool CUTPosixPlatform::AccountName(std::wstring* name) {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    struct passwd entry;
    struct passwd* result = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &result)) ==
               ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || result == nullptr || result->pw_name == nullptr || result->pw_name[0] == '\0') {
        return false;  // unknown user id or a failing user database
    }
    std::wstring wide;
    if (!SystemTextToWide(this, result->pw_name, &wide)) {
        return false;
    }
    name->swap(wide);
    return true;
}

bool CUTPosixPlatform::QualifiedAccountName(std::wstring* name) {
    // Composed of the two names the current platform reports, so that a test
    // platform that fakes one of them is seen here too.
    CUTPlatform* platform = CUTPlatform::Current();
    std::wstring computer;
    std::wstring user;
    if (!platform->ComputerName(&computer) || !platform->AccountName(&user)) {
        return false;
    }
    *name = computer + L"\\" + user;
    return true;
}

bool CUTPosixPlatform::MachineIdBytes(std::string* bytes) {
    static const wchar_t* const kSources[] = {L"/etc/machine-id", L"/var/lib/dbus/machine-id"};
    return ReadFirstNonEmpty(this, kSources, 2, bytes);
}

bool CUTPosixPlatform::SystemVolumeSerial(uint32_t* serial) {
    struct statvfs info;
    if (::statvfs("/", &info) != 0) {
        return false;
    }
    *serial = static_cast<uint32_t>(info.f_fsid & 0xFFFFFFFFu);
    return true;
}

CUTOsDescription PosixOsDescription(const std::string* os_release, const char* kernel_release,
                                    const char* machine) {
    CUTOsDescription description;
    if (os_release != nullptr) {
        const CUTOsRelease release = CUTOsRelease::FromText(*os_release);
        description.name = release.DisplayName();
        description.version = FromUtf8(release.Value("VERSION_ID"));
    }
    if (kernel_release != nullptr && machine != nullptr) {
        description.build = FromUtf8(kernel_release);
        description.is_64bit = IsSixtyFourBitMachine(machine);
    }
    return description;
}

void CUTPosixPlatform::OperatingSystem(CUTOsDescription* description) {
    static const wchar_t* const kSources[] = {L"/etc/os-release", L"/usr/lib/os-release"};
    std::string text;
    const bool have_release = ReadFirstNonEmpty(this, kSources, 2, &text);
    struct utsname info;
    const bool have_kernel = ::uname(&info) == 0;
    *description =
        PosixOsDescription(have_release ? &text : nullptr, have_kernel ? info.release : nullptr,
                           have_kernel ? info.machine : nullptr);
}

std::string CUTPosixPlatform::MessagesLocaleName() {
    // The precedence setlocale(LC_MESSAGES, "") would apply, read from the
    // environment instead of asking the C library (which would mean calling
    // setlocale).
    static const char* const kVariables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* variable : kVariables) {
        std::string value;
        if (GetEnvironment(variable, &value) && !value.empty()) {
            return value;
        }
    }
    return std::string();
}

std::wstring CUTPosixPlatform::DomainName() {
    char host[1025];
    if (::gethostname(host, sizeof(host) - 1) != 0) {
        return std::wstring();
    }
    host[sizeof(host) - 1] = '\0';
    if (host[0] == '\0') {
        return std::wstring();
    }
    // The canonical name comes from /etc/hosts or the resolver; a host the
    // resolver does not know keeps the domain its own name carries, if any.
    std::string canonical = host;
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr) {
        if (found->ai_canonname != nullptr && found->ai_canonname[0] != '\0') {
            canonical = found->ai_canonname;
        }
        ::freeaddrinfo(found);
    }
    std::wstring domain;
    if (!SystemTextToWide(this, DomainPart(canonical), &domain)) {
        return std::wstring();
    }
    return domain;
}

namespace {

// tzset rewrites the globals (timezone, tzname) that a local time is made
// from: every conversion of tvUT's (the offset of a transcript, a request's
// metric line, the logger's timestamps) runs under this one lock, so none
// reads them while another thread of tvUT rewrites them.
// Constant-initialised and never destroyed: the logger may stamp a line
// while the process ends.
std::mutex g_zone_mutex;

std::mutex& ZoneMutex() {
    return g_zone_mutex;
}

}  // namespace

int CUTPosixPlatform::TimeZoneOffsetMinutes() {
    std::lock_guard<std::mutex> lock(ZoneMutex());
    ::tzset();
    return static_cast<int>(-::timezone / 60);
}

bool ToLocalTime(int64_t seconds, std::tm* local) {
    std::lock_guard<std::mutex> lock(ZoneMutex());
    // tzset first, as localtime does: TZ or the zone file may have changed
    // since. A change of TZ counts at once; the zone file is looked at once
    // a second, which spares every log line a look at it.
    static std::chrono::steady_clock::time_point last_tzset;
    static bool zone_read = false;
    static std::string last_tz;
    static bool had_tz = false;
    const char* tz = ::getenv("TZ");
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (!zone_read || now - last_tzset >= std::chrono::seconds(1) || (tz != nullptr) != had_tz ||
        (tz != nullptr && last_tz != tz)) {
        ::tzset();
        last_tzset = now;
        zone_read = true;
        had_tz = tz != nullptr;
        last_tz = tz != nullptr ? tz : "";
    }
    const time_t when = static_cast<time_t>(seconds);
    return ::localtime_r(&when, local) != nullptr;
}

bool CUTPosixPlatform::WideToLocaleCharset(const std::wstring& wide, std::string* out) {
    IconvHandle converter(LocaleCodeset(), "WCHAR_T");
    if (!converter.valid()) {
        return false;
    }
    std::string result;
    std::vector<char> chunk(256);
    char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(wide.data()));
    size_t in_left = wide.size() * sizeof(wchar_t);
    bool flushing = false;
    for (;;) {
        char* out_ptr = chunk.data();
        size_t out_left = chunk.size();
        const size_t rc = flushing ? iconv(converter.get(), nullptr, nullptr, &out_ptr, &out_left)
                                   : iconv(converter.get(), &in, &in_left, &out_ptr, &out_left);
        result.append(chunk.data(), chunk.size() - out_left);
        if (rc != static_cast<size_t>(-1)) {
            if (flushing) {
                break;
            }
            flushing = true;  // emit any shift sequence that ends the text
            continue;
        }
        if (errno == E2BIG) {
            continue;
        }
        if (errno == EILSEQ && !flushing && in_left >= sizeof(wchar_t)) {
            // No exact equivalent (or not a character at all): the default
            // character, and on with the next one.
            result.push_back('?');
            in += sizeof(wchar_t);
            in_left -= sizeof(wchar_t);
            continue;
        }
        return false;
    }
    out->swap(result);
    return true;
}

bool CUTPosixPlatform::LocaleCharsetToWide(const std::string& text, std::wstring* out) {
    IconvHandle converter("WCHAR_T", LocaleCodeset());
    if (!converter.valid()) {
        return false;
    }
    std::wstring result;
    std::vector<wchar_t> chunk(256);
    char* in = const_cast<char*>(text.data());
    size_t in_left = text.size();
    for (;;) {
        char* out_ptr = reinterpret_cast<char*>(chunk.data());
        size_t out_left = chunk.size() * sizeof(wchar_t);
        const size_t rc = iconv(converter.get(), &in, &in_left, &out_ptr, &out_left);
        result.append(chunk.data(), chunk.size() - out_left / sizeof(wchar_t));
        if (rc != static_cast<size_t>(-1)) {
            break;
        }
        if (errno != E2BIG) {
            return false;  // invalid or incomplete input: no partial text
        }
    }
    out->swap(result);
    return true;
}
