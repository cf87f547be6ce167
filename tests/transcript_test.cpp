// Transcripts: the document a session leaves, its file, and the facade calls
// that write it. Every document is read back by tests/transcript_check.py
// (Python's expat), never by the component's own parser.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <tvUT/UTFacade.h>

#include <boost/filesystem.hpp>

#include "base/UTTextCodec.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "manager/UTPendingTranscripts.h"
#include "manager/UTTranscriptManager.h"
#include "platform/UTPlatform.h"
#ifndef _WIN32
#include "support/ChildProcess.h"
#endif
#include "support/FakePlatforms.h"
#include "support/HostText.h"
#include "support/ScratchRoots.h"
#include "support/TranscriptFiles.h"
#include "support/WaitFor.h"
#include "transcript/MLSerializer.h"
#include "transcript/UTMachineIdentity.h"
#include "transcript/UTSystemInfo.h"

using tvut_test::CheckTranscripts;
#ifndef _WIN32
using tvut_test::ChildProcess;
#endif
using tvut_test::HostString;
using tvut_test::ListTranscriptFolder;
using tvut_test::NativePath;
using tvut_test::PathExists;
using tvut_test::ReadFile;
using tvut_test::ReadTranscript;
#ifndef _WIN32
using tvut_test::RunCommand;
#endif
using tvut_test::ScratchRoots;
using tvut_test::TranscriptFolder;

namespace {

typedef std::map<std::string, std::string> Values;

const char kRoot[] = "transcript";
const char kHeader[] = "transcript/header/";
const char kProduct[] = "transcript/header/product/";
const char kOs[] = "transcript/header/os/";
const char kUsage[] = "transcript/usage_data/";

std::string H(const char* prefix, const char* name) {
    return std::string(prefix) + name;
}

// A host's texts; tvUT copies them during each call.
class HostText {
public:
    explicit HostText(const HostString& text) : units_(text) {}
    kormSTRING Get() { return kormSTRING{&units_[0], -1}; }

private:
    HostString units_;
};

// Product and user information as a host fills them, every field set.
class Host {
public:
    Host() : product_(CUTProductInfo::Create()), user_(CUTUserInfo::Create()) {
        Set(&CUTProductInfo::SetProductLineId, HOST_TEXT("LINE"));
        Set(&CUTProductInfo::SetReleaseId, HOST_TEXT("2026"));
        Set(&CUTProductInfo::SetReleaseType, HOST_TEXT("F"));
        Set(&CUTProductInfo::SetProgramType, HOST_TEXT("TERM"));
        SetLogin(HOST_TEXT("host.user@example.com"));
    }
    ~Host() {
        product_->Dispose();
        user_->Dispose();
    }
    void Set(void (CUTProductInfo::*setter)(const kormSTRING&), const HostString& text) {
        texts_.emplace_back(new HostText(text));
        (product_->*setter)(texts_.back()->Get());
    }
    void SetLogin(const HostString& text) {
        texts_.emplace_back(new HostText(text));
        user_->SetLogin(texts_.back()->Get());
    }
    CUTProductInfo* product() { return product_; }
    CUTUserInfo* user() { return user_; }

private:
    CUTProductInfo* product_;
    CUTUserInfo* user_;
    std::vector<std::unique_ptr<HostText>> texts_;
};

// Seconds since 1970 as the component reads them.
int64_t Now() {
    return CurrentTimeSeconds(CUTPlatform::Default());
}

// Waits (bounded) until the clock shows a later second than after.
void WaitForNextSecond(int64_t after) {
    for (int i = 0; i < 400 && Now() <= after; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(Now(), after);
}

int64_t Number(const std::string& text) {
    return std::stoll(text);
}

// Lines of the diagnostic log with the given level name and message.
bool LogHas(const ScratchRoots& roots, const std::string& level, const std::string& message) {
    std::istringstream lines(ReadFile(NativePath(roots.pi_ud_folder() + "/TVUTLog.log")));
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, level.size(), level) == 0 && line.size() >= message.size() + 3 &&
            line.compare(line.size() - message.size(), message.size(), message) == 0) {
            return true;
        }
    }
    return false;
}

void EnableLogging() {
    CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
    ASSERT_TRUE(machine.Load());
    machine.SetValue(L"EnableLogging", L"1", false);
    machine.SetValue(L"LogLevel", L"5", true);
}

class TranscriptTest : public ::testing::Test {
protected:
    void TearDown() override { CUTFacade::CleanUp(); }

    std::string Folder() const {
        return NativePath(roots_.pi_ud_folder() + "/LINE_2026/Transcripts");
    }
    TranscriptFolder Listing() const { return ListTranscriptFolder(Folder()); }
    static std::string SessionId() {
        return ToUtf8(CUTConfigManager::PeekInstance()->Runtime()->SessionId());
    }
    std::string SessionFile() const { return NativePath(Folder() + "/" + SessionId() + ".utt"); }

    // Init and hand-over; the send the hand-over asks for finds no server
    // (the scratch settings), so every transcript stays.
    void StartSession(Host* host) {
        ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
        ASSERT_EQ(UT_SEND_NOT_DELIVERED,
                  CUTFacade::GetUBInformation(host->product(), host->user(), kormFALSE));
    }

    // The one transcript of the folder, checked and read.
    Values OnlyTranscript() {
        const TranscriptFolder listing = Listing();
        EXPECT_EQ(1u, listing.transcripts.size());
        EXPECT_TRUE(listing.others.empty()) << listing.others.front();
        Values values;
        if (listing.transcripts.size() == 1) {
            std::string report;
            EXPECT_TRUE(ReadTranscript(listing.transcripts[0], &values, &report)) << report;
        }
        return values;
    }

    ScratchRoots roots_;
};

}  // namespace

TEST_F(TranscriptTest, WholeSessionLeavesOneTranscriptWithTheSessionsValues) {
    Host host;
    host.Set(&CUTProductInfo::SetSerialNumber, HOST_TEXT("0000-1111-2222"));
    host.Set(&CUTProductInfo::SetLanguage, HOST_TEXT("de"));
    host.Set(&CUTProductInfo::SetCountryCode, HOST_TEXT("CH"));
    host.Set(&CUTProductInfo::SetLicenseProductLineId, HOST_TEXT("SUITE"));
    host.Set(&CUTProductInfo::SetLicenseProductReleaseId, HOST_TEXT("2025"));
    host.Set(&CUTProductInfo::SetLicenseProductReleaseType, HOST_TEXT("T"));
    StartSession(&host);
    CUTRuntimeConfig* session = CUTConfigManager::PeekInstance()->Runtime();
    const std::string session_id = SessionId();
    const std::string file = SessionFile();

    const int64_t before_start = Now();
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    const int64_t after_start = Now();
    ASSERT_EQ(UT_CRASH_OK, CUTFacade::OnCrash());
    const std::string os_name = ToUtf8(session->GetOSText(UTOSText::Name));
    const std::string os_version = ToUtf8(session->GetOSText(UTOSText::Version));
    const std::string os_locale = ToUtf8(session->GetOSText(UTOSText::LocaleId));
    const std::string domain = ToUtf8(session->GetOSText(UTOSText::Domain));
    WaitForNextSecond(Now());  // the end time of CleanUp is not the crash time
    const int64_t before_cleanup = Now();
    ASSERT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    const int64_t after_cleanup = Now();

    const TranscriptFolder listing = Listing();
    ASSERT_EQ(std::vector<std::string>{file}, listing.transcripts);
    EXPECT_TRUE(listing.others.empty());
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(0, ::stat(file.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
#endif

    Values v;
    std::string report;
    ASSERT_TRUE(ReadTranscript(file, &v, &report)) << report;
    EXPECT_EQ(session_id, v["transcript@session"]);
    EXPECT_NE(session_id, v["transcript@guid"]);
    std::wstring account, computer;
    CUTSystemInfo::UserName(&account);
    CUTSystemInfo::ComputerName(&computer);
    const Values expected = {
        {H(kHeader, "client@version"), ToUtf8(CUTPlatform::Default()->ModuleVersion())},
        {H(kHeader, "client@mode"), "0"},
        {H(kHeader, "client@lastSendTimestamp"), "-1"},
        {H(kHeader, "nt_login"), ToUtf8(account)},
        {H(kHeader, "tlvr_login@id"), "host.user@example.com"},
        {H(kHeader, "domain"), domain},
        {H(kHeader, "machine_name"), ToUtf8(computer)},
        {H(kProduct, "product_line_id"), "LINE"},
        {H(kProduct, "release_id"), "2026"},
        {H(kProduct, "serial_num"), "0000-1111-2222"},
        {H(kProduct, "language"), "de"},
        {H(kProduct, "release_type"), "F"},
        {H(kProduct, "platform"), "32"},
        {H(kProduct, "license_product_line_id"), "SUITE"},
        {H(kProduct, "license_product_release_id"), "2025"},
        {H(kProduct, "license_product_release_type"), "T"},
        {H(kProduct, "program_type"), "TERM"},
        {H(kHeader, "country_code"), "CH"},
        {H(kHeader, "gmt_offset"), std::to_string(CUTSystemInfo::TimeZoneOffsetMinutes())},
        {H(kHeader, "runtime_locale_id"), "0"},
        {H(kOs, "name"), os_name},
        {H(kOs, "platform"), ToUtf8(CUTSystemInfo::OsPlatform())},
        {H(kOs, "locale_id"), os_locale},
        {H(kOs, "service_pack"), os_version},
        {H(kOs, "hash_os_product_id"), ToUtf8(CUTMachineIdentity::HashedOsProductId())},
        {H(kOs, "hash_system_volume_serial"), ToUtf8(CUTMachineIdentity::HashedVolumeSerial())},
        {H(kOs, "hash_os_user_name"), ToUtf8(CUTMachineIdentity::HashedUserIdentity())},
        {H(kUsage, "end_time@isCrash"), "1"},
    };
    for (const auto& item : expected) {
        EXPECT_EQ(item.second, v[item.first]) << item.first;
    }
    EXPECT_FALSE(os_name.empty());
    EXPECT_GE(Number(v[H(kUsage, "start_time")]), before_start);
    EXPECT_LE(Number(v[H(kUsage, "start_time")]), after_start);
    EXPECT_GE(Number(v[H(kUsage, "end_time")]), before_cleanup) << "the end time of CleanUp";
    EXPECT_LE(Number(v[H(kUsage, "end_time")]), after_cleanup);
}

TEST_F(TranscriptTest, UnsetValuesHaveTheirStandIns) {
    Host host;
    // Any program type but "TERM" clears the session's login.
    host.Set(&CUTProductInfo::SetProgramType, HOST_TEXT(""));
    StartSession(&host);
    // Written before any stamp: no start, no end, no crash.
    ASSERT_TRUE(CUTTranscriptManager::PeekInstance()->serializeTranscript());
    Values v = OnlyTranscript();
    EXPECT_EQ("-1", v[H(kProduct, "program_type")]);
    EXPECT_EQ("NoValue", v[H(kHeader, "tlvr_login@id")]);
    EXPECT_EQ("", v[H(kHeader, "country_code")]);
    EXPECT_EQ("", v[H(kProduct, "serial_num")]);
    EXPECT_EQ("-1", v[H(kUsage, "start_time")]);
    EXPECT_EQ("-1", v[H(kUsage, "end_time")]);
    EXPECT_EQ("0", v[H(kUsage, "end_time@isCrash")]);
}

TEST_F(TranscriptTest, EveryWriteReplacesTheSessionsFileAndANewSessionHasItsOwn) {
    Host host;
    StartSession(&host);
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    const Values first = OnlyTranscript();
    WaitForNextSecond(Number(first.at(H(kUsage, "start_time"))));
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    const Values second = OnlyTranscript();
    EXPECT_GT(Number(second.at(H(kUsage, "start_time"))),
              Number(first.at(H(kUsage, "start_time"))));
    EXPECT_NE(first.at("transcript@guid"), second.at("transcript@guid"));
    EXPECT_EQ(first.at("transcript@session"), second.at("transcript@session"));

    ASSERT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    StartSession(&host);
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    const TranscriptFolder listing = Listing();
    ASSERT_EQ(2u, listing.transcripts.size());
    EXPECT_TRUE(PathExists(SessionFile()));
    EXPECT_NE(first.at("transcript@session"), SessionId());
}

namespace {

// A system that reports texts no XML document may hold as they are.
class HostileSystemPlatform : public CUTPlatformWrapper {
public:
    HostileSystemPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    void OperatingSystem(CUTOsDescription* description) override {
        target()->OperatingSystem(description);
        description->name = L"Hostile ]]> OS <&> \x01 ]]]]>";
        description->version = L"]]>";
    }
    bool ComputerName(std::wstring* name) override {
        *name = std::wstring(L"host") + static_cast<wchar_t>(0xD800) + L"\x01";
        return true;
    }
    bool AccountName(std::wstring* name) override {
        *name = L"user<&>\"'\x1F";
        return true;
    }
    std::wstring DomainName() override { return L"example]]>&#x"; }
};

}  // namespace

TEST_F(TranscriptTest, HostileTextsKeepTheDocumentWellFormed) {
    HostileSystemPlatform platform;
    CUTScopedPlatform scoped(&platform);
    const std::string fffd = "\xEF\xBF\xBD";
    Host host;
    const struct {
        void (CUTProductInfo::*setter)(const kormSTRING&);
        const char* element;
        HostString text;
        std::string expected;
    } cases[] = {
        {&CUTProductInfo::SetSerialNumber, "serial_num", HOST_TEXT("<a & b> \"double\" 'single'"),
         "<a & b> \"double\" 'single'"},
        {&CUTProductInfo::SetLanguage, "language", HOST_TEXT("&#x41; &#xD800; &#x &amp;"),
         "&#x41; &#xD800; &#x &amp;"},
        {&CUTProductInfo::SetReleaseType, "release_type", HOST_TEXT("]]> <![CDATA["),
         "]]> <![CDATA["},
        {&CUTProductInfo::SetLicenseProductLineId, "license_product_line_id",
         HOST_TEXT("\x01\x08\x0B\x0C\x1F\x7F"), fffd + fffd + fffd + fffd + fffd + "\x7F"},
        {&CUTProductInfo::SetLicenseProductReleaseId, "license_product_release_id",
         HOST_TEXT("tab\tline\nreturn\r"), "tab\tline\nreturn\r"},
        {&CUTProductInfo::SetLicenseProductReleaseType, "license_product_release_type",
         HOST_TEXT("\xFFFE\xFFFF \U0001F600"), fffd + fffd + " \xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        host.Set(c.setter, c.text);
    }
    // Unpaired surrogates: the interface conversion gives U+FFFD in their place.
    host.Set(&CUTProductInfo::SetCountryCode, HOST_TEXT("a\xD800") HOST_TEXT("b\xDC00"));
    host.SetLogin(HOST_TEXT("<\"'&>\t\x01"));
    StartSession(&host);
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());

    Values v = OnlyTranscript();
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, v[H(kProduct, c.element)]) << c.element;
    }
    const std::string country = v[H(kHeader, "country_code")];
    EXPECT_EQ("a" + fffd + "b" + fffd, country);
    EXPECT_EQ("<\"'&>\t" + fffd, v[H(kHeader, "tlvr_login@id")]);
    EXPECT_EQ("Hostile ]]> OS <&> " + fffd + " ]]]]>", v[H(kOs, "name")]);
#ifdef _WIN32
    // The system's own service-pack text stands between version and build.
    const std::string service_pack = v[H(kOs, "service_pack")];
    EXPECT_EQ(0u, service_pack.rfind("]]> ", 0)) << service_pack;
    EXPECT_NE(std::string::npos, service_pack.find(" Build ")) << service_pack;
#else
    EXPECT_EQ("]]>  Build ", v[H(kOs, "service_pack")].substr(0, 11));
#endif
    EXPECT_EQ("host" + fffd + fffd, v[H(kHeader, "machine_name")]);
    EXPECT_EQ("user<&>\"'" + fffd, v[H(kHeader, "nt_login")]);
    EXPECT_EQ("example]]>&#x", v[H(kHeader, "domain")]);
}

TEST_F(TranscriptTest, TwoHostThreadsWritingAtOnceLeaveOneWholeFile) {
    Host host;
    StartSession(&host);
    std::atomic<int> failures{0};
    auto writer = [&failures](bool crash) {
        for (int i = 0; i < 40; ++i) {
            const UTStatus status = crash ? CUTFacade::OnCrash() : CUTFacade::LogUsageData();
            failures += status == (crash ? UT_CRASH_OK : UT_LOG_USAGE_OK) ? 0 : 1;
        }
    };
    std::thread first(writer, false);
    std::thread second(writer, true);
    first.join();
    second.join();
    EXPECT_EQ(0, failures.load());
    const Values v = OnlyTranscript();
    EXPECT_EQ("1", v.at(H(kUsage, "end_time@isCrash")));
}

// Sixteen host threads at once, with every line logged: the transcript's
// time-zone offset and the log's local timestamps are made under one lock
// (ThreadSanitizer saw tzset race with the logger's timestamp).
TEST_F(TranscriptTest, SixteenHostThreadsLoggingAtOnce) {
    EnableLogging();
    Host host;
    StartSession(&host);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 10; ++i) {
                const UTStatus status =
                    t % 4 == 0 ? CUTFacade::OnCrash() : CUTFacade::LogUsageData();
                failures += status == UT_CRASH_OK || status == UT_LOG_USAGE_OK ? 0 : 1;
                CUTFacade::GetUserID();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ("1", OnlyTranscript().at(H(kUsage, "end_time@isCrash")));
}

namespace {

// A Transcripts folder without write permission (tests run as root, which
// the real permission bits would not stop): files cannot be created in it.
class ReadOnlyFolderPlatform : public CUTPlatformWrapper {
public:
    explicit ReadOnlyFolderPlatform(const std::string& folder)
        : CUTPlatformWrapper(CUTPlatform::Default()), folder_(FromUtf8(NativePath(folder + "/"))) {}
    void SetReadOnly(bool read_only) { read_only_.store(read_only); }
    CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode, uint32_t permissions,
                               std::unique_ptr<CUTWritableFile>* file) override {
        if (read_only_.load() && path.compare(0, folder_.size(), folder_) == 0) {
            return CUTOsStatus::Failure("open", UTOsError::kAccessDenied, EACCES);
        }
        return target()->OpenForWriting(path, mode, permissions, file);
    }

private:
    const std::wstring folder_;
    std::atomic<bool> read_only_{false};
};

}  // namespace

TEST_F(TranscriptTest, FailedWritesReportFailureKeepThePreviousFileAndRecover) {
    EnableLogging();
    ReadOnlyFolderPlatform read_only(Folder());
    tvut_test::FullDiskPlatform full_disk;
    const struct {
        const char* label;
        CUTPlatform* platform;
        std::function<void(bool)> fail;
        bool log_writable;  // a full disk takes the log lines too
    } faults[] = {
        {"read-only folder", &read_only, [&](bool on) { read_only.SetReadOnly(on); }, true},
        {"full disk", &full_disk, [&](bool on) { full_disk.SetFull(on); }, false},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.label);
        CUTScopedPlatform scoped(fault.platform);
        Host host;
        StartSession(&host);
        ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
        const std::string file = SessionFile();
        const std::string written = ReadFile(file);

        fault.fail(true);
        EXPECT_EQ(UT_LOG_USAGE_WRITE_FAILED, CUTFacade::LogUsageData());
        EXPECT_EQ(UT_CRASH_WRITE_FAILED, CUTFacade::OnCrash());
        EXPECT_EQ(written, ReadFile(file)) << "the previous transcript stays whole";
        EXPECT_TRUE(Listing().others.empty()) << "no temporary file stays behind";
        if (fault.log_writable) {
            EXPECT_TRUE(LogHas(roots_, "Devdbg",
                               "We don't have Write Permission to the transcript file " + file));
            EXPECT_TRUE(LogHas(roots_, "Error", "Serialize Transcript File Error!!"));
        }

        fault.fail(false);
        EXPECT_EQ(UT_CRASH_OK, CUTFacade::OnCrash());
        EXPECT_EQ("1", OnlyTranscript()[H(kUsage, "end_time@isCrash")]);
        ASSERT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
        boost::filesystem::remove_all(Folder());
    }
}

TEST_F(TranscriptTest, TranscriptsFolderRemovedOrReplacedBetweenWrites) {
    Host host;
    StartSession(&host);
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    const std::string folder = Folder();

    ASSERT_GT(boost::filesystem::remove_all(folder), 0u);
    EXPECT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData()) << "the folder is made again";
    EXPECT_TRUE(boost::filesystem::is_directory(folder));
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(0, ::stat(folder.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
#endif
    OnlyTranscript();

    ASSERT_GT(boost::filesystem::remove_all(folder), 0u);
    ASSERT_TRUE(tvut_test::WriteFile(folder, "file\n"));
    EXPECT_EQ(UT_LOG_USAGE_WRITE_FAILED, CUTFacade::LogUsageData());
    EXPECT_EQ(UT_CRASH_WRITE_FAILED, CUTFacade::OnCrash());
    ASSERT_TRUE(boost::filesystem::remove(folder));

    // A longer file at the transcript's path leaves nothing of itself behind.
    ASSERT_TRUE(tvut_test::MakeFolders(folder));
    ASSERT_TRUE(tvut_test::WriteFile(SessionFile(), std::string(65536, 'x')));
    EXPECT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    OnlyTranscript();

    // A folder where the file goes is cleared away.
    ASSERT_TRUE(boost::filesystem::remove(SessionFile()));
    ASSERT_TRUE(tvut_test::MakeFolders(SessionFile()));
    EXPECT_EQ(UT_CRASH_OK, CUTFacade::OnCrash());
    EXPECT_EQ("1", OnlyTranscript()[H(kUsage, "end_time@isCrash")]);
}

TEST_F(TranscriptTest, NothingIsWrittenBeforeTheProductIsKnown) {
    EnableLogging();
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_FALSE(CUTTranscriptManager::PeekInstance()->serializeTranscript());
    EXPECT_TRUE(LogHas(roots_, "Error",
                       "Product Info is not initialized, will not serialize into transcript "
                       "file!"));
    EXPECT_EQ(UT_NO_PRODUCT, CUTFacade::LogUsageData());
    EXPECT_EQ(UT_NO_PRODUCT, CUTFacade::OnCrash());
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    std::string found;
    for (boost::filesystem::recursive_directory_iterator it(roots_.user_root()), end; it != end;
         ++it) {
        if (it->path().extension() == ".utt") {
            found += it->path().string() + "\n";
        }
    }
    EXPECT_EQ("", found);
}

namespace {

// Watches the serializer put its temporary file in place of a transcript:
// at each rename out of the Transcripts folder, records the two paths, what
// the folder holds at that moment and the transcripts a send cycle would
// gather then.
class RenameWatchPlatform : public CUTPlatformWrapper {
public:
    struct Rename {
        std::string source;
        std::string destination;
        TranscriptFolder listing;
        std::vector<std::string> pending;
    };

    RenameWatchPlatform(const std::string& folder, const std::string& component_folder)
        : CUTPlatformWrapper(CUTPlatform::Default()),
          folder_(NativePath(folder + "/")),
          component_folder_(FromUtf8(component_folder)) {}

    CUTOsStatus RenameReplacing(const std::wstring& source,
                                const std::wstring& destination) override {
        const std::string from = ToUtf8(source);
        if (from.compare(0, folder_.size(), folder_) == 0) {
            Rename rename{from, ToUtf8(destination), ListTranscriptFolder(folder_), {}};
            for (const std::wstring& path :
                 CUTPendingTranscripts(component_folder_).ListTranscripts()) {
                rename.pending.push_back(ToUtf8(path));
            }
            std::lock_guard<std::mutex> guard(mutex_);
            renames_.push_back(rename);
        }
        return target()->RenameReplacing(source, destination);
    }

    std::vector<Rename> Renames() {
        std::lock_guard<std::mutex> guard(mutex_);
        return renames_;
    }

private:
    const std::string folder_;
    const std::wstring component_folder_;
    std::mutex mutex_;
    std::vector<Rename> renames_;
};

}  // namespace

// A write's temporary file stands in the Transcripts folder beside the
// transcript until it is renamed over it. Its name must tell it apart: a send
// cycle that lists the folder meanwhile takes only whole transcripts, and a
// later writer knows the file for a leftover if its writer died.
TEST_F(TranscriptTest, TemporaryFilesOfAWriteAreNeverTakenForTranscripts) {
    RenameWatchPlatform watch(Folder(), roots_.pi_ud_folder());
    CUTScopedPlatform scoped(&watch);
    Host host;
    StartSession(&host);
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());  // the session's first file
    ASSERT_EQ(UT_CRASH_OK, CUTFacade::OnCrash());           // replaces it
    const std::vector<RenameWatchPlatform::Rename> renames = watch.Renames();
    ASSERT_EQ(2u, renames.size());
    for (size_t i = 0; i < renames.size(); ++i) {
        const RenameWatchPlatform::Rename& rename = renames[i];
        SCOPED_TRACE(rename.source);
        EXPECT_EQ(SessionFile(), rename.destination);
        const std::string name = rename.source.substr(Folder().size() + 1);
        EXPECT_TRUE(CMLSerializer::IsTemporaryFileName(FromUtf8(name)));
        EXPECT_EQ(0u, name.rfind(SessionId() + ".tmp", 0));
        EXPECT_EQ(std::string::npos, name.find(".utt"));
        // The folder holds the temporary file and, from the second write on,
        // the transcript it replaces: only that one is a transcript.
        const std::vector<std::string> whole =
            i == 0 ? std::vector<std::string>() : std::vector<std::string>{SessionFile()};
        EXPECT_EQ(std::vector<std::string>{rename.source}, rename.listing.others);
        EXPECT_EQ(whole, rename.listing.transcripts);
        EXPECT_EQ(whole, rename.pending) << "a send cycle would take only whole transcripts";
    }
    EXPECT_NE(renames[0].source, renames[1].source) << "each write has a file of its own";
    EXPECT_TRUE(Listing().others.empty());
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
}

TEST(TranscriptFileNames, TemporaryNamesAreRecognised) {
    const struct {
        const wchar_t* name;
        bool temporary;
    } cases[] = {
        {L"{0F0F0F0F-0000-4000-8000-000000000000}.tmp0123456789AB", true},
        {L".tmp0123456789AB", true},
        {L"{0F0F0F0F-0000-4000-8000-000000000000}.utt", false},
        {L"{0F0F0F0F-0000-4000-8000-000000000000}.tmp0123456789ab", false},
        {L"{0F0F0F0F-0000-4000-8000-000000000000}.tmp0123456789A", false},
        {L"notes.tmp0123456789AB", false},
        {L"ProdDep_UserDep.cur.tmp0123456789AB", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.temporary, CMLSerializer::IsTemporaryFileName(c.name)) << ToUtf8(c.name);
    }
}

// ---- POSIX only: TZ in a new process's environment, fork and kill, signals --
#ifndef _WIN32

TEST_F(TranscriptTest, GmtOffsetIsTheProcessTimeZonesStandardOffset) {
    // Each case is a new process with TZ in its environment from the start.
    // In POSIX TZ syntax the sign is reversed: "IST-05:30" is 5:30 east of
    // UTC, "UTC+05:30" 5:30 west of it.
    const struct {
        const char* tz;
        int minutes_east;
    } cases[] = {
        {"IST-05:30", 330},
        {"Asia/Kolkata", 330},
        {"EST5EDT", -300},  // standard time, in summer too
        {"UTC+05:30", -330},
    };
    // Its uploads go to a local port where nothing listens, never to the
    // default server.
    const std::string host = std::string(TVUT_BINARY_DIR) +
                             "/tools/tvut_sample_host --server http://127.0.0.1:1/BRIMReceiver";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        const std::string root = roots_.folder().Join(std::string("tz-") + c.tz);
        std::string output;
        ASSERT_EQ(0, RunCommand("TZ='" + std::string(c.tz) + "' " + host + " --root '" + root +
                                    "' >/dev/null",
                                &output))
            << output;
        const TranscriptFolder listing =
            ListTranscriptFolder(root + "/user/Telvoran/TVUT/SAMPLE_2026/Transcripts");
        ASSERT_EQ(1u, listing.transcripts.size());
        Values v;
        std::string report;
        ASSERT_TRUE(ReadTranscript(listing.transcripts[0], &v, &report)) << report;
        EXPECT_EQ(std::to_string(c.minutes_east), v[H(kHeader, "gmt_offset")]);
    }
}

namespace {

// Runs a host that writes its transcript over and over until it is killed.
int WriteUntilKilled() {
    Host host;
    if (CUTFacade::InitUTComponent() != UT_INIT_OK) {
        return 2;
    }
    CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE);
    for (;;) {
        if (CUTFacade::LogUsageData() != UT_LOG_USAGE_OK || CUTFacade::OnCrash() != UT_CRASH_OK) {
            return 3;
        }
    }
}

}  // namespace

namespace {

void SetWriteTime(const std::string& path, time_t seconds) {
    struct timespec times[2];
    times[0].tv_sec = seconds;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}

}  // namespace

TEST_F(TranscriptTest, KilledWritersLeaveWholeTranscriptsAndTheNextWriteRemovesTheirLeftovers) {
    std::random_device seed_source;
    const unsigned seed = seed_source();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay_us(0, 15000);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const int kKills = 40;
    int kills_with_leftovers = 0;
    std::vector<std::string> written;  // the transcript of each killed writer
    for (int i = 0; i < kKills; ++i) {
        ChildProcess writer(WriteUntilKilled);
        // Once the writer's first transcript is there, it is in its loop.
        std::string own;
        tvut_test::WaitFor([&] {
            for (const std::string& path : Listing().transcripts) {
                if (std::find(written.begin(), written.end(), path) == written.end()) {
                    own = path;
                }
            }
            return !own.empty();
        });
        ASSERT_FALSE(own.empty()) << "writer " << i << " never wrote";
        written.push_back(own);
        // The kill lands at a random moment of the writer's loop: that
        // moment is what is under test, not a wait for something.
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        writer.Kill();
        ASSERT_EQ(128 + SIGKILL, writer.Wait()) << "writer " << i << " stopped by itself";
        const TranscriptFolder listing = Listing();
        kills_with_leftovers += listing.others.empty() ? 0 : 1;
        // A temporary file holds scrambled bytes only.
        for (const std::string& other : listing.others) {
            EXPECT_NE(0u, ReadFile(other).rfind("<?xml", 0)) << other;
        }
    }
    std::cout << kills_with_leftovers << " of " << kKills
              << " kills left a temporary file behind\n";

    TranscriptFolder listing = Listing();
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, listing.transcripts) << "every killed writer keeps its transcript";
    std::string report;
    EXPECT_TRUE(CheckTranscripts(listing.transcripts, &report)) << report;

    // One leftover for certain, whatever the kills hit, and one just made.
    const std::string stale = Folder() + "/{0F0F0F0F-0000-4000-8000-000000000000}.tmp0123456789AB";
    ASSERT_TRUE(tvut_test::WriteFile(stale, "torn"));
    const std::string fresh = Folder() + "/{1F0F0F0F-0000-4000-8000-000000000000}.tmp0123456789AB";
    ASSERT_TRUE(tvut_test::WriteFile(fresh, "being written"));
    // Only what is old is a leftover: a fresh one may belong to a writer
    // that uses another lock folder and so does not exclude this one.
    const time_t old = std::time(nullptr) - 3600;
    for (const std::string& other : listing.others) {
        SetWriteTime(other, old);
    }
    SetWriteTime(stale, old);
    Host host;
    StartSession(&host);
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    listing = Listing();
    EXPECT_EQ(static_cast<size_t>(kKills + 1), listing.transcripts.size());
    EXPECT_EQ(std::vector<std::string>{fresh}, listing.others);
}

namespace {

volatile sig_atomic_t g_crash_status = 0;

void CrashHandler(int) {
    g_crash_status = CUTFacade::OnCrash();
}

// Raises SIGUSR1 on the writing thread while the transcript's temporary
// file is being made, as a crash signal might: the write holds its locks.
class SignalDuringWritePlatform : public CUTPlatformWrapper {
public:
    SignalDuringWritePlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode, uint32_t permissions,
                               std::unique_ptr<CUTWritableFile>* file) override {
        if (armed_ && path.find(L"Transcripts/") != std::wstring::npos) {
            armed_ = false;
            ::raise(SIGUSR1);
        }
        return target()->OpenForWriting(path, mode, permissions, file);
    }
    bool armed_ = true;
};

}  // namespace

// A crash handler that calls OnCrash while the same thread is inside
// LogUsageData must not wait on the locks that call holds: the crash is
// noted (401) and written as the interrupted call returns.
TEST_F(TranscriptTest, OnCrashFromASignalHandlerInsideAWriteNeverWaits) {
    ChildProcess child([this] {
        Host host;
        if (CUTFacade::InitUTComponent() != UT_INIT_OK ||
            CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE) !=
                UT_SEND_NOT_DELIVERED) {
            return 10;
        }
        struct sigaction action = {};
        action.sa_handler = CrashHandler;
        ::sigaction(SIGUSR1, &action, nullptr);
        SignalDuringWritePlatform platform;
        CUTScopedPlatform scoped(&platform);
        if (CUTFacade::LogUsageData() != UT_LOG_USAGE_OK) {
            return 11;
        }
        if (g_crash_status != UT_CRASH_RECORDED) {
            return 12;
        }
        Values values;
        std::string report;
        const TranscriptFolder listing = Listing();
        if (listing.transcripts.size() != 1 ||
            !ReadTranscript(listing.transcripts[0], &values, &report) ||
            values[H(kUsage, "end_time@isCrash")] != "1") {
            return 13;
        }
        return CUTFacade::CleanUp() == UT_CLEANUP_OK ? 0 : 14;
    });
    const bool ended =
        tvut_test::WaitFor([&child] { return child.HasEnded(); }, std::chrono::seconds(30));
    if (!ended) {
        child.Kill();
    }
    EXPECT_TRUE(ended) << "OnCrash waited on a lock its own thread held";
    EXPECT_EQ(0, child.Wait());
}
#endif  // _WIN32
