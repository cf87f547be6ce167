#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "base/UTTextCodec.h"
#include "platform/PosixPlatform.h"
#include "platform/UTOsRelease.h"
#include "platform/UTPlatform.h"
#include "support/ScratchRoots.h"
#include "transcript/UTLocaleTable.h"
#include "transcript/UTSystemInfo.h"

namespace {

const char kDebianRelease[] =
    "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
    "NAME=\"Debian GNU/Linux\"\n"
    "VERSION_ID=\"12\"\n"
    "VERSION=\"12 (bookworm)\"\n"
    "VERSION_CODENAME=bookworm\n"
    "ID=debian\n"
    "HOME_URL=\"https://www.debian.org/\"\n";

// Fakes the operating-system sources.
class FakeOsPlatform : public CUTPlatformWrapper {
public:
    FakeOsPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}

    // The system's own composition, of the sources given here.
    void OperatingSystem(CUTOsDescription* description) override {
        *description = PosixOsDescription(release_ok ? &release : nullptr,
                                          kernel_ok ? kernel.c_str() : nullptr,
                                          sixty_four ? "x86_64" : "i686");
    }
    std::string MessagesLocaleName() override { return locale; }
    std::wstring DomainName() override { return domain; }

    bool release_ok = true;
    bool kernel_ok = true;
    bool sixty_four = true;
    std::string release = kDebianRelease;
    std::string kernel = "6.1.0-18-amd64";
    std::string locale = "de_DE.UTF-8";
    std::wstring domain = L"example.org";
};

}  // namespace

TEST(OsReleaseTest, ParsesShellStyleValues) {
    struct Case {
        const char* text;
        const char* name;
        const char* expected;  // null: the name is absent
    };
    const Case cases[] = {
        {"ID=debian\n", "ID", "debian"},
        {"NAME=\"Debian GNU/Linux\"\n", "NAME", "Debian GNU/Linux"},
        {"NAME='Single Quoted'\n", "NAME", "Single Quoted"},
        {"NAME=\"say \\\"hi\\\" \\\\ \\$HOME\"\n", "NAME", "say \"hi\" \\ $HOME"},
        {"NAME=\"a\"'b'c\n", "NAME", "abc"},
        {"NAME=\"\"\n", "NAME", ""},
        {"NAME=\"no final newline\"", "NAME", "no final newline"},
        {"NAME=\"crlf\"\r\nID=x\r\n", "NAME", "crlf"},
        {"NAME=\"crlf\"\r\nID=x\r\n", "ID", "x"},
        {"  NAME=indented  # comment\n", "NAME", "indented"},
        {"# NAME=commented\n", "NAME", nullptr},
        {"NAME=\"never closed\nID=fine\n", "NAME", nullptr},
        {"NAME=\"never closed\nID=fine\n", "ID", "fine"},
        {"NAME='never closed\n", "NAME", nullptr},
        {"NAME=two words\n", "NAME", nullptr},
        {"NAME = spaced\n", "NAME", nullptr},
        {"1NAME=bad\n", "1NAME", nullptr},
        {"NAME=first\nNAME=second\n", "NAME", "second"},
        {"garbage line\n\n\nID=ok", "ID", "ok"},
        {"", "ID", nullptr},
    };
    for (const Case& c : cases) {
        const CUTOsRelease release = CUTOsRelease::FromText(c.text);
        EXPECT_EQ(c.expected != nullptr, release.Has(c.name)) << c.text;
        EXPECT_EQ(c.expected != nullptr ? c.expected : "", release.Value(c.name)) << c.text;
    }
}

TEST(OsReleaseTest, ReadsFixtureFiles) {
    tvut_test::ScratchFolder folder;
    ASSERT_TRUE(tvut_test::WriteFile(folder.Join("os-release"), kDebianRelease));
    ASSERT_TRUE(tvut_test::WriteFile(folder.Join("no-pretty"),
                                     "NAME=Minimal\nVERSION_ID=3.19\nID=minimal"));

    CUTOsRelease release;
    ASSERT_TRUE(CUTOsRelease::FromFile(folder.wpath() + L"/os-release", &release));
    EXPECT_EQ(L"Debian GNU/Linux 12 (bookworm)", release.DisplayName());
    EXPECT_EQ("12", release.Value("VERSION_ID"));
    EXPECT_EQ("bookworm", release.Value("VERSION_CODENAME"));

    ASSERT_TRUE(CUTOsRelease::FromFile(folder.wpath() + L"/no-pretty", &release));
    EXPECT_EQ(L"Linux", release.DisplayName());
    EXPECT_EQ("3.19", release.Value("VERSION_ID"));

    EXPECT_FALSE(CUTOsRelease::FromFile(folder.wpath() + L"/missing", &release));
    EXPECT_FALSE(release.Has("ID"));
}

TEST(LocaleTableTest, MapsLocaleNamesToLocaleIds) {
    struct Case {
        const char* name;
        const wchar_t* id;
    };
    const Case cases[] = {
        {"en_US.UTF-8", L"1033"},
        {"de_DE", L"1031"},
        {"de_DE.UTF-8@euro", L"1031"},
        {"fr_FR.ISO-8859-1", L"1036"},
        {"ja_JP.eucJP", L"1041"},
        {"en_GB.UTF-8", L"2057"},
        {"pt_BR", L"1046"},
        {"zh_TW.Big5", L"1028"},
        {"EN-gb", L"2057"},
        {"C", L"1033"},
        {"C.UTF-8", L"1033"},
        {"POSIX", L"1033"},
        {"", L"1033"},
        {"de", L"1031"},
        {"pt", L"1046"},
        {"xx_YY.UTF-8", L"0"},
        {"en_XX", L"0"},
        {"klingon", L"0"},
        {"e", L"0"},
        {"_", L"0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.id, CUTLocaleTable::LocaleIdText(c.name)) << c.name;
    }
}

TEST(SystemInfoTest, GathersTheFourOperatingSystemTexts) {
    FakeOsPlatform fake;
    CUTScopedPlatform scoped(&fake);
    std::wstring name, version, locale, domain;
    CUTSystemInfo::GatherOSInformation(&name, &version, &locale, &domain);
    EXPECT_EQ(L"Debian GNU/Linux 12 (bookworm)", name);
    EXPECT_EQ(L"12  Build 6.1.0-18-amd64", version);
    EXPECT_EQ(L"1031", locale);
    EXPECT_EQ(L"example.org", domain);
    EXPECT_EQ(L"64", CUTSystemInfo::OsPlatform());
    fake.sixty_four = false;
    EXPECT_EQ(L"32", CUTSystemInfo::OsPlatform());
}

TEST(SystemInfoTest, MissingSourcesLeaveTheirTextsAsTheyWere) {
    FakeOsPlatform fake;
    fake.release_ok = false;
    fake.kernel_ok = false;
    fake.locale = "sv_XX.UTF-8";
    fake.domain.clear();
    CUTScopedPlatform scoped(&fake);

    std::wstring name = L"old name", version = L"old version", locale, domain = L"old domain";
    CUTSystemInfo::GatherOSInformation(&name, &version, &locale, &domain);
    EXPECT_EQ(L"old name", name);
    EXPECT_EQ(L"old version", version);
    EXPECT_EQ(L"0", locale);
    EXPECT_EQ(L"old domain", domain);
    EXPECT_EQ(L"0", CUTSystemInfo::OsPlatform());

    // Either source alone still gives a version text.
    fake.kernel_ok = true;
    CUTSystemInfo::GatherOSInformation(&name, &version, &locale, &domain);
    EXPECT_EQ(L"old name", name);
    EXPECT_EQ(L"  Build 6.1.0-18-amd64", version);

    fake.release_ok = true;
    fake.release = "NAME=\"unterminated\nID=x";
    CUTSystemInfo::GatherOSInformation(&name, &version, &locale, &domain);
    EXPECT_EQ(L"Linux", name);
    EXPECT_EQ(L"  Build 6.1.0-18-amd64", version);
}

TEST(SystemInfoTest, PosixOsSourcesReadTheSystem) {
    CUTPlatform* platform = CUTPlatform::Default();
    struct utsname info;
    ASSERT_EQ(0, ::uname(&info));
    CUTOsDescription system;
    platform->OperatingSystem(&system);
    EXPECT_EQ(FromUtf8(info.release), system.build);
    EXPECT_EQ(sizeof(void*) == 8 || std::string(info.machine) == "x86_64", system.is_64bit);
    if (tvut_test::PathExists("/etc/os-release") || tvut_test::PathExists("/usr/lib/os-release")) {
        EXPECT_FALSE(system.name.empty());
    }

    // Must come back (this machine has no network) and be a bare domain.
    const std::wstring domain = platform->DomainName();
    if (!domain.empty()) {
        EXPECT_NE(L'.', domain.front());
        EXPECT_NE(L'.', domain.back());
    }
}

TEST(SystemInfoTest, MessagesLocaleFollowsTheEnvironmentPrecedence) {
    CUTPlatform* platform = CUTPlatform::Default();
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    ::unsetenv("LANG");
    EXPECT_EQ("", platform->MessagesLocaleName());
    ::setenv("LANG", "fr_FR.UTF-8", 1);
    EXPECT_EQ("fr_FR.UTF-8", platform->MessagesLocaleName());
    ::setenv("LC_MESSAGES", "ja_JP.UTF-8", 1);
    EXPECT_EQ("ja_JP.UTF-8", platform->MessagesLocaleName());
    ::setenv("LC_ALL", "", 1);  // set but empty: skipped
    EXPECT_EQ("ja_JP.UTF-8", platform->MessagesLocaleName());
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ("de_DE.UTF-8", platform->MessagesLocaleName());

    // Reading the locale does not touch the process locale.
    const std::string before = std::setlocale(LC_ALL, nullptr);
    std::wstring name, version, locale, domain;
    CUTSystemInfo::GatherOSInformation(&name, &version, &locale, &domain);
    EXPECT_EQ(L"1031", locale);
    EXPECT_EQ(before, std::setlocale(LC_ALL, nullptr));
}

TEST(SystemInfoTest, TimeZoneOffsetIsStandardTimeEastOfUtc) {
    struct Case {
        const char* tz;
        int minutes;
    };
    const Case cases[] = {{"UTC0", 0}, {"EST5EDT", -300}, {"CET-1CEST", 60}, {"IST-5:30", 330}};
    for (const Case& c : cases) {
        ::setenv("TZ", c.tz, 1);
        EXPECT_EQ(c.minutes, CUTSystemInfo::TimeZoneOffsetMinutes()) << c.tz;
    }
}
