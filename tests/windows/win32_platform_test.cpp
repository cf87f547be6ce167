// The identity, locale and roots of the Win32 platform layer, compared with
// what the Win32 calls themselves answer in the test, and, under wine, with
// what wine is known to answer (its roots, its fixed ProductId). The digests
// the transcripts carry must come out the same in another process.
#include <gtest/gtest.h>

// windows.h first: the other system headers build on it.
#include <windows.h>
#define SECURITY_WIN32
#include <secext.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"
#include "support/Environment.h"
#include "support/ScratchRoots.h"
#include "support/WindowsChild.h"
#include "transcript/UTMachineIdentity.h"
#include "transcript/UTSystemInfo.h"

using tvut_test::ScratchRoots;
using tvut_test::WindowsChild;

namespace {

CUTPlatform* Platform() {
    return CUTPlatform::Default();
}

std::wstring ShellFolderOf(int csidl) {
    wchar_t path[MAX_PATH + 1] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) {
        return std::wstring();
    }
    return path;
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The raw bytes of a value of HKLM\...\CurrentVersion, as stored.
std::string CurrentVersionValue(const wchar_t* name) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                        KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return std::string();
    }
    BYTE data[1024];
    DWORD size = sizeof(data);
    DWORD type = 0;
    const LSTATUS result = ::RegQueryValueExW(key, name, nullptr, &type, data, &size);
    ::RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(data), size)
                                   : std::string();
}

// UTF-16LE bytes of text with its terminating zero: what a REG_SZ holds.
std::string RegistryStringBytes(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    return bytes + std::string(2, '\0');
}

}  // namespace

// ---- roots ---------------------------------------------------------------------

TEST(Win32PlatformTest, RootsComeFromTheShellUnlessTheVariablesNameFolders) {
    ScratchRoots roots;
    struct Case {
        const char* what;
        bool set;
        std::wstring machine;
        std::wstring user;
    };
    const Case cases[] = {
        {"variables set", true, FromUtf8(roots.machine_root()), FromUtf8(roots.user_root())},
        {"variables unset", false, ShellFolderOf(CSIDL_COMMON_APPDATA),
         ShellFolderOf(CSIDL_APPDATA)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tvut_test::SavedVariable machine_variable("UT_MACHINE_DATA_DIR");
        tvut_test::SavedVariable user_variable("XDG_DATA_HOME");
        if (!c.set) {
            tvut_test::UnsetVariable("UT_MACHINE_DATA_DIR");
            tvut_test::UnsetVariable("XDG_DATA_HOME");
        }
        ASSERT_FALSE(c.machine.empty());
        ASSERT_FALSE(c.user.empty());
        std::wstring machine;
        std::wstring user;
        ASSERT_TRUE(Platform()->MachineDataRoot(&machine));
        ASSERT_TRUE(Platform()->UserDataRoot(&user));
        EXPECT_EQ(ToUtf8(c.machine), ToUtf8(machine));
        EXPECT_EQ(ToUtf8(c.user), ToUtf8(user));
        if (!c.set && tvut_test::RunsUnderWine()) {
            // What wine's shell answers.
            EXPECT_EQ("C:\\ProgramData", ToUtf8(machine));
            EXPECT_TRUE(EndsWith(user, L"\\AppData\\Roaming")) << ToUtf8(user);
        }
    }
}

// ---- names -----------------------------------------------------------------------

TEST(Win32PlatformTest, NamesAreTheSystemsOwn) {
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD computer_length = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(::GetComputerNameW(computer, &computer_length));
    wchar_t account[257];
    DWORD account_length = 257;
    ASSERT_TRUE(::GetUserNameW(account, &account_length));
    wchar_t qualified[600];
    ULONG qualified_length = 600;
    ASSERT_TRUE(::GetUserNameExW(NameSamCompatible, qualified, &qualified_length));

    std::wstring name;
    ASSERT_TRUE(Platform()->ComputerName(&name));
    EXPECT_EQ(ToUtf8(std::wstring(computer, computer_length)), ToUtf8(name));
    ASSERT_TRUE(CUTSystemInfo::ComputerName(&name));
    EXPECT_EQ(ToUtf8(std::wstring(computer, computer_length)), ToUtf8(name));

    ASSERT_TRUE(Platform()->AccountName(&name));
    EXPECT_EQ(ToUtf8(account), ToUtf8(name));
    ASSERT_TRUE(CUTSystemInfo::UserName(&name));
    EXPECT_EQ(ToUtf8(account), ToUtf8(name));

    // "DOMAIN\user": the account after the only backslash.
    std::wstring sam;
    ASSERT_TRUE(Platform()->QualifiedAccountName(&sam));
    EXPECT_EQ(ToUtf8(std::wstring(qualified, qualified_length)), ToUtf8(sam));
    const size_t backslash = sam.find(L'\\');
    ASSERT_NE(std::wstring::npos, backslash) << ToUtf8(sam);
    EXPECT_GT(backslash, 0u);
    EXPECT_EQ(std::wstring::npos, sam.find(L'\\', backslash + 1));
    EXPECT_EQ(ToUtf8(account), ToUtf8(sam.substr(backslash + 1)));
    ASSERT_TRUE(CUTSystemInfo::QualifiedUserName(&name));
    EXPECT_EQ(ToUtf8(sam), ToUtf8(name));

    // The user identity hashes that text as UTF-16LE, without a terminator.
    std::string bytes;
    ASSERT_TRUE(CUTMachineIdentity::UserIdentityBytes(&bytes));
    std::string expected = RegistryStringBytes(sam);
    expected.resize(expected.size() - 2);
    EXPECT_EQ(expected, bytes);
    EXPECT_EQ(ToUtf8(CUTMachineIdentity::IdentityText(expected)),
              ToUtf8(CUTMachineIdentity::HashedUserIdentity()));
}

// ---- machine id and volume ---------------------------------------------------------------

TEST(Win32PlatformTest, MachineIdIsTheRegistrysProductIdAsStored) {
    const std::string stored = CurrentVersionValue(L"ProductId");
    ASSERT_FALSE(stored.empty());
    std::string bytes;
    ASSERT_TRUE(Platform()->MachineIdBytes(&bytes));
    EXPECT_EQ(stored, bytes);
    if (tvut_test::RunsUnderWine()) {
        // Every wine prefix has this one.
        EXPECT_EQ(RegistryStringBytes(L"12345-oem-0000001-54321"), bytes);
    }
    EXPECT_EQ(ToUtf8(CUTMachineIdentity::IdentityText(stored)),
              ToUtf8(CUTMachineIdentity::HashedOsProductId()));
}

TEST(Win32PlatformTest, VolumeSerialIsTheSystemDrivesOwn) {
    wchar_t windows[MAX_PATH + 1] = {};
    ASSERT_GT(::GetSystemWindowsDirectoryW(windows, MAX_PATH), 2u);
    const std::wstring root = std::wstring(windows, 3);  // "C:\"
    DWORD expected = 0;
    ASSERT_TRUE(
        ::GetVolumeInformationW(root.c_str(), nullptr, 0, &expected, nullptr, nullptr, nullptr, 0));
    uint32_t serial = 0;
    ASSERT_TRUE(Platform()->SystemVolumeSerial(&serial));
    EXPECT_EQ(expected, serial);
    const std::string little_endian = {
        static_cast<char>(expected & 0xFF), static_cast<char>((expected >> 8) & 0xFF),
        static_cast<char>((expected >> 16) & 0xFF), static_cast<char>((expected >> 24) & 0xFF)};
    EXPECT_EQ(ToUtf8(CUTMachineIdentity::IdentityText(little_endian)),
              ToUtf8(CUTMachineIdentity::HashedVolumeSerial()));
}

// ---- the system's description, time zone and locale -----------------------------------------

TEST(Win32PlatformTest, SystemDescriptionComesFromTheSystemsVersionAndRegistry) {
    CUTOsDescription os;
    Platform()->OperatingSystem(&os);
    // The registry's build number and product name, read independently of
    // the version call the layer makes.
    const std::string build_bytes = CurrentVersionValue(L"CurrentBuildNumber");
    std::wstring build(reinterpret_cast<const wchar_t*>(build_bytes.data()),
                       build_bytes.size() / sizeof(wchar_t));
    while (!build.empty() && build.back() == L'\0') {
        build.pop_back();
    }
    ASSERT_FALSE(build.empty());
    EXPECT_EQ(ToUtf8(build), ToUtf8(os.build));
    EXPECT_TRUE(EndsWith(os.version, L"." + build)) << ToUtf8(os.version);
    EXPECT_EQ(3, std::count(os.version.begin(), os.version.end(), L'.') + 1) << ToUtf8(os.version);
    EXPECT_EQ(0u, os.name.find(L"Microsoft Windows")) << ToUtf8(os.name);

    SYSTEM_INFO native;
    ::GetNativeSystemInfo(&native);
    EXPECT_EQ(native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                  native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64,
              os.is_64bit);

    // What the transcript header carries.
    std::wstring name;
    std::wstring version;
    std::wstring locale;
    std::wstring domain;
    CUTSystemInfo::GatherOSInformation(&name, &version, &locale, &domain);
    EXPECT_EQ(ToUtf8(os.name), ToUtf8(name));
    EXPECT_EQ(ToUtf8(os.version + L" " + os.service_pack + L" Build " + os.build), ToUtf8(version));
    EXPECT_EQ(std::to_wstring(::GetSystemDefaultLCID()), locale);
    EXPECT_EQ(os.is_64bit ? L"64" : L"32", CUTSystemInfo::OsPlatform());
}

TEST(Win32PlatformTest, LocaleNameIsTheSystemsDefaultLocale) {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    ASSERT_GT(::LCIDToLocaleName(::GetSystemDefaultLCID(), name, LOCALE_NAME_MAX_LENGTH, 0), 0);
    std::string expected = ToUtf8(name);  // "en-US"
    ASSERT_EQ(5u, expected.size()) << expected;
    expected[2] = '_';
    EXPECT_EQ(expected, Platform()->MessagesLocaleName());
}

TEST(Win32PlatformTest, TimeZoneOffsetIsTheStandardTimesMinutesEastOfUtc) {
    tvut_test::SavedVariable tz("TZ");
    struct Case {
        const char* tz;  // null: unset, the system's zone
        int east;
    };
    TIME_ZONE_INFORMATION zone;
    ASSERT_NE(TIME_ZONE_ID_INVALID, ::GetTimeZoneInformation(&zone));
    const Case cases[] = {
        {nullptr, -static_cast<int>(zone.Bias)},
        {"EST5EDT", -300},
        {"IST-5:30", 330},
        {"UTC0", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tz == nullptr ? "TZ unset" : c.tz);
        if (c.tz == nullptr) {
            tvut_test::UnsetVariable("TZ");
        } else {
            tvut_test::SetVariable("TZ", c.tz);
        }
        EXPECT_EQ(c.east, Platform()->TimeZoneOffsetMinutes());
        EXPECT_EQ(c.east, CUTSystemInfo::TimeZoneOffsetMinutes());
    }
}

// ---- the identities in another process ------------------------------------------------------

namespace {

std::string IdentityLines() {
    return ToUtf8(CUTMachineIdentity::HashedUserIdentity()) + "\n" +
           ToUtf8(CUTMachineIdentity::HashedOsProductId()) + "\n" +
           ToUtf8(CUTMachineIdentity::HashedVolumeSerial()) + "\n";
}

}  // namespace

TEST(WindowsChild, DISABLED_WriteIdentities) {
    std::ofstream out(tvut_test::RoleArgument("TVUT_IDENTITY_FILE"), std::ios::binary);
    out << IdentityLines();
    ASSERT_TRUE(out.good());
}

TEST(Win32PlatformTest, IdentitiesAreTheSameInAnotherProcess) {
    ScratchRoots roots;
    const std::string file = roots.folder().Join("identities.txt");
    WindowsChild child("WriteIdentities", {{"TVUT_IDENTITY_FILE", file}});
    ASSERT_TRUE(child.started()) << child.error();
    unsigned long code = 0;
    ASSERT_TRUE(child.WaitForExit(&code));
    ASSERT_EQ(0u, code);
    const std::string own = IdentityLines();
    EXPECT_EQ(std::string::npos, own.find("UNKNOWN")) << own;
    EXPECT_EQ(3 * 65u, own.size()) << own;
    EXPECT_EQ(own, tvut_test::ReadFile(file));
}
