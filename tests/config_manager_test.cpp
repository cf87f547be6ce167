// Typed configuration access: defaults, repair of bad values, beta mode, the
// file of an item, composed paths and the product hand-over.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>

#include <tinyxml.h>

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "config/UTConfigCommon.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTFolderAccess.h"
#include "config/UTScrambler.h"
#include "config/UTXMLConfig.h"
#include "info/UTProductInfoImp.h"
#include "platform/UTPlatform.h"
#include "support/HostText.h"
#include "support/ScratchRoots.h"

using tvut_test::HostString;
using tvut_test::NativePath;
using tvut_test::PathExists;
using tvut_test::ReadFile;
using tvut_test::ScratchRoots;

namespace {

std::string ItemInFile(const std::string& path, const char* item) {
    std::string xml;
    if (!CUTXMLConfig::DecodeFileBytes(ReadFile(path), UT_FILE_PI_UI, &xml) &&
        !CUTXMLConfig::DecodeFileBytes(ReadFile(path), UT_FILE_PI_UD, &xml)) {
        return "<unreadable>";
    }
    TiXmlDocument document;
    document.Parse(xml.c_str());
    TiXmlElement* element = document.RootElement()->FirstChildElement(item);
    return element == nullptr ? "<missing>" : *element->Attribute(std::string("value"));
}

kormSTRING Text(const kormCHAR* text, int32_t length = -1) {
    return kormSTRING{const_cast<kormCHAR*>(text), length};
}

class ConfigManagerTest : public ::testing::Test {
protected:
    std::string PIUIFile() const { return roots_.pi_ui_folder() + "/ProdInd_UserInd.cur"; }
    std::string PIUDFile() const { return roots_.pi_ud_folder() + "/ProdInd_UserDep.cur"; }

    // Writes item=value into the machine-wide file before a manager reads it.
    void StoreMachineValue(const wchar_t* item, const wchar_t* value) {
        CUTXMLConfig file(UT_FILE_PI_UI, kComponentFolderName);
        ASSERT_TRUE(file.Load());
        file.SetValue(item, value, true);
    }

    // Empty: these tests read the defaults. Nothing here sends.
    ScratchRoots roots_{ScratchRoots::kEmpty};
};

}  // namespace

TEST_F(ConfigManagerTest, ValuesAreParsedAndRepairedToTheirDefaults) {
    const struct {
        const wchar_t* item;
        const wchar_t* stored;
        int64_t expected;
        const char* in_file_after_save;
    } cases[] = {
        {L"LogLevel", L"9", 3, "3"},
        {L"LogLevel", L"letters", 3, "3"},
        {L"LogLevel", L"  4", 4, "  4"},
        {L"MaxFileCount", L"12abc", 12, "12abc"},
        {L"MaxFileCount", L"-5", 500, "500"},
        {L"MaxFileCount", L"99999999999", 500, "500"},
        {L"CommunicationTimeOut", L"99999999999999999999999", 30000, "30000"},
        {L"CommunicationTimeOut", L"5000000000", 5000000000LL, "5000000000"},
        {L"NetworkUtilThreshold", L"101", 7, "7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.item) + "=" + ToUtf8(c.stored));
        StoreMachineValue(c.item, c.stored);
        CUTConfigManager manager;
        const bool is64 = std::wstring(c.item) == L"CommunicationTimeOut";
        const int64_t value = is64 ? manager.Store()->GetInt64(c.item, false)
                                   : manager.Store()->GetInt(c.item, false);
        EXPECT_EQ(c.expected, value);
        // A repaired value waits in memory for the next save of that file.
        EXPECT_EQ(ToUtf8(c.stored), ItemInFile(PIUIFile(), ToUtf8(c.item).c_str()));
        manager.Flush();
        EXPECT_EQ(c.in_file_after_save, ItemInFile(PIUIFile(), ToUtf8(c.item).c_str()));
    }
}

TEST_F(ConfigManagerTest, BooleansAcceptOnlyZeroAndOne) {
    const struct {
        const wchar_t* stored;
        bool expected;
    } cases[] = {{L"1", true}, {L"0", false}, {L"2", false}, {L"true", false}, {L"1x", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.stored));
        StoreMachineValue(L"EnableLogging", c.stored);
        CUTConfigManager manager;
        EXPECT_EQ(c.expected, manager.Store()->GetBool(L"EnableLogging", false));
    }
}

TEST_F(ConfigManagerTest, MissingItemIsAddedWithItsDefaultAtFirstRead) {
    {
        CUTXMLConfig file(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(file.Load());
    }
    // Remove LastSendTimestamp from the user's file by writing a bare one.
    std::string xml = "<?xml version=\"1.0\" ?><PROD_IND_USER_DEP version=\"1\" />";
    ScrambleBytes(&xml);
    ASSERT_TRUE(tvut_test::WriteFile(PIUDFile(), xml));

    CUTConfigManager manager;
    EXPECT_EQ("<missing>", ItemInFile(PIUDFile(), "LastSendTimestamp"));
    EXPECT_EQ(-1, manager.Store()->GetInt64(L"LastSendTimestamp", false));
    EXPECT_EQ("-1", ItemInFile(PIUDFile(), "LastSendTimestamp")) << "saved at once";

    // Later reads of the never-set timestamp do not rewrite the file.
    const std::string before = ReadFile(PIUDFile());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(-1, manager.Store()->GetInt64(L"LastSendTimestamp", false));
    }
    EXPECT_EQ(before, ReadFile(PIUDFile()));
}

TEST_F(ConfigManagerTest, PayloadBudgetHasAFloorAndACeiling) {
    StoreMachineValue(L"MaxPayloadSize", L"5000");
    CUTConfigManager manager;
    EXPECT_EQ(10240, manager.GetMaxPayloadSize());
    manager.SetMaxPayloadSize(6000000);  // not below MaxDiskSpaceAllowableSize: ignored
    EXPECT_EQ(10240, manager.GetMaxPayloadSize());
    manager.SetMaxPayloadSize(200000);
    EXPECT_EQ(200000, manager.GetMaxPayloadSize());
    EXPECT_EQ("200000", ItemInFile(PIUIFile(), "MaxPayloadSize"));
}

TEST_F(ConfigManagerTest, ReceivingUrlHasExactlyOneSeparator) {
    const struct {
        const wchar_t* host;
        const wchar_t* servlet;
        const wchar_t* url;
    } cases[] = {
        {L"https://h.example/BRIMReceiver/", L"receiver.aspx",
         L"https://h.example/BRIMReceiver/receiver.aspx"},
        {L"https://h.example/BRIMReceiver", L"/receiver.aspx",
         L"https://h.example/BRIMReceiver/receiver.aspx"},
        {L"https://h.example/BRIMReceiver/", L"/r", L"https://h.example/BRIMReceiver/r"},
    };
    for (const auto& c : cases) {
        StoreMachineValue(L"ReceivingHost", c.host);
        StoreMachineValue(L"ReceivingServlet", c.servlet);
        CUTConfigManager manager;
        EXPECT_EQ(std::wstring(c.url), manager.GetReceivingURL());
    }
}

TEST_F(ConfigManagerTest, DefaultEndpointsAreHttpsReceivers) {
    CUTConfigManager manager;
    for (const std::wstring& host : {manager.Store()->GetString(L"ReceivingHost", false),
                                     manager.Store()->GetString(L"ReceivingHostBeta", false)}) {
        EXPECT_EQ(0u, host.find(L"https://"));
        EXPECT_EQ(host.size() - 13, host.rfind(L"/BRIMReceiver"));
    }
    EXPECT_EQ(std::wstring(kDefaultReceivingHost) + L"/receiver.aspx", manager.GetReceivingURL());
}

TEST_F(ConfigManagerTest, ReleaseTypeChoosesProductionOrBeta) {
    StoreMachineValue(L"CommunicationWaitTimeBeta", L"1000");
    StoreMachineValue(L"MaxPayloadSizeBeta", L"300001");
    const struct {
        const char* label;
        const kormCHAR* text;
        int32_t length;
        bool beta;
    } cases[] = {
        {"F", HOST_TEXT("F"), -1, false},       {"f", HOST_TEXT("f"), -1, false},
        {"B", HOST_TEXT("B"), -1, true},        {"'f '", HOST_TEXT("f "), -1, true},
        {"empty, -1", HOST_TEXT(""), -1, true}, {"length 0", HOST_TEXT("F"), 0, false},
        {"unset", nullptr, -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        CUTConfigManager manager;
        CUTProductInfo* product = CUTProductInfo::Create();
        product->SetProductLineId(Text(HOST_TEXT("LINE")));
        product->SetReleaseId(Text(HOST_TEXT("1")));
        if (c.text != nullptr) {
            product->SetReleaseType(Text(c.text, c.length));
        }
        TelvoranUserInfo user;
        manager.HandOverProduct(product, &user);
        product->Dispose();
        ASSERT_TRUE(manager.IsProductInitialised());
        EXPECT_EQ(c.beta, manager.IsBeta());
        EXPECT_EQ(c.beta ? 1000 : 86400000, manager.GetCommunicationWaitTime());
        EXPECT_EQ(c.beta ? 300001 : 102400, manager.GetMaxPayloadSize());
        EXPECT_EQ(
            c.beta ? std::wstring(kDefaultReceivingHostBeta) : std::wstring(kDefaultReceivingHost),
            manager.GetReceivingHost());
        EXPECT_EQ(c.beta, manager.Store()->GetBool(L"EnableLogging", false));
        EXPECT_EQ(c.beta ? 5 : 3, manager.Store()->GetInt(L"LogLevel", false));
    }
    // Beta logging settings are not saved until a flush.
    EXPECT_EQ("0", ItemInFile(PIUIFile(), "EnableLogging"));
}

TEST_F(ConfigManagerTest, HandOverNeedsLineAndReleaseAndCopiesOnce) {
    CUTConfigManager manager;
    CUTProductInfo* product = CUTProductInfo::Create();
    TelvoranUserInfo user;
    manager.HandOverProduct(product, &user);
    EXPECT_FALSE(manager.IsProductInitialised());
    product->SetProductLineId(Text(HOST_TEXT("LINE")));
    manager.HandOverProduct(product, &user);
    EXPECT_FALSE(manager.IsProductInitialised()) << "no release id yet";

    product->SetReleaseId(Text(HOST_TEXT("2026")));
    product->SetCountryCode(Text(HOST_TEXT("DE")));
    product->SetSerialNumber(Text(HOST_TEXT("S1")));
    user.SetLogin(Text(HOST_TEXT("login")));
    manager.HandOverProduct(product, &user);
    ASSERT_TRUE(manager.IsProductInitialised());
    CUTRuntimeConfig* session = manager.Runtime();
    EXPECT_EQ(L"DE", session->GetText(UTSessionText::CountryCode));
    EXPECT_EQ(NativePath(L"TVUT/LINE_2026"), session->ProductFolderName());
    EXPECT_TRUE(PathExists(roots_.pi_ud_folder() + "/LINE_2026/ProdDep_UserDep.cur"));
    EXPECT_EQ(NativePath(FromUtf8(roots_.user_root() + "/Telvoran/TVUT/LINE_2026/Transcripts")),
              manager.GetTranscriptFolder());

    // Later values reach the session only for serial number, program type and login.
    product->SetCountryCode(Text(HOST_TEXT("FR")));
    product->SetSerialNumber(Text(HOST_TEXT("S2")));
    manager.RefreshSession(product, &user);
    EXPECT_EQ(L"DE", session->GetText(UTSessionText::CountryCode));
    EXPECT_EQ(L"S2", session->GetText(UTSessionText::SerialNumber));
    EXPECT_EQ(L"login", session->GetText(UTSessionText::Login));
    product->Dispose();
}

// A product line id longer than a folder name may be still gets a folder:
// a readable prefix and a hash of the whole name, distinct for distinct ids;
// names that fit keep their form, so existing folders are found again.
TEST_F(ConfigManagerTest, LongProductIdsGetAShortenedFolderOfTheirOwn) {
    const HostString long_a = HostString(300, HOST_TEXT('L')) + HOST_TEXT("A");
    const HostString long_b = HostString(300, HOST_TEXT('L')) + HOST_TEXT("B");
    const HostString wide = HostString(100, HOST_TEXT('\u00e9'));  // 200 bytes of UTF-8
    std::vector<std::wstring> folders;
    for (const HostString& line : {long_a, long_b, wide}) {
        CUTConfigManager manager;
        CUTProductInfo* product = CUTProductInfo::Create();
        HostString text = line;
        product->SetProductLineId(kormSTRING{reinterpret_cast<kormCHAR*>(&text[0]), -1});
        product->SetReleaseId(Text(HOST_TEXT("2026")));
        TelvoranUserInfo user;
        manager.HandOverProduct(product, &user);
        const std::wstring folder = manager.Runtime()->ProductFolderName();
        EXPECT_LE(ToUtf8(folder).size() - 5, 255u) << ToUtf8(folder);
        EXPECT_TRUE(manager.CheckProductFileAccess()) << ToUtf8(folder);
        EXPECT_TRUE(manager.CheckTranscriptFolderAccess()) << ToUtf8(folder);
        folders.push_back(folder);
        product->Dispose();
    }
    EXPECT_EQ(NativePath(L"TVUT/" + std::wstring(100, L'L') + L"~"), folders[0].substr(0, 106));
    EXPECT_EQ(106u + 32u, folders[0].size());
    EXPECT_NE(folders[0], folders[1]);
    EXPECT_EQ(NativePath(L"TVUT/" + std::wstring(100, L'\u00e9') + L"_2026"), folders[2])
        << "it fits as it is";
}

TEST_F(ConfigManagerTest, ProductIdsCannotLeadOutsideTheComponentFolder) {
    const struct {
        const kormCHAR* line;
        const kormCHAR* release;
        const wchar_t* folder;
    } cases[] = {
        {HOST_TEXT(".."), HOST_TEXT(".."), L"TVUT/_____"},
        {HOST_TEXT("../../etc"), HOST_TEXT("1"), L"TVUT/______etc_1"},
        {HOST_TEXT("A/B"), HOST_TEXT("C\\D"), L"TVUT/A_B_C_D"},
        {HOST_TEXT("Line.1"), HOST_TEXT("2.0"), L"TVUT/Line.1_2.0"},
    };
    for (const auto& c : cases) {
        CUTConfigManager manager;
        CUTProductInfo* product = CUTProductInfo::Create();
        product->SetProductLineId(Text(c.line));
        product->SetReleaseId(Text(c.release));
        TelvoranUserInfo user;
        manager.HandOverProduct(product, &user);
        EXPECT_EQ(NativePath(c.folder), manager.Runtime()->ProductFolderName());
        // The session keeps the values as given.
        EXPECT_EQ(KormStringToWide(product->GetProductLineId()),
                  manager.Runtime()->GetText(UTSessionText::ProductLineId));
        EXPECT_TRUE(manager.CheckProductFileAccess());
        EXPECT_TRUE(manager.CheckTranscriptFolderAccess());
        product->Dispose();
    }
    // Nothing was created outside the user's component folder.
    EXPECT_EQ(std::vector<std::string>{"TVUT"},
              tvut_test::EntryNames(roots_.user_root() + "/Telvoran"));
}

namespace {

// The machine-wide file cannot be opened for update by this user.
class ReadOnlyMachineFile : public CUTPlatformWrapper {
public:
    ReadOnlyMachineFile() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    CUTOsStatus CanOpenForUpdate(const std::wstring& path) override {
        if (path.find(L"ProdInd_UserInd.cur") != std::wstring::npos) {
            return CUTOsStatus::Failure("open", UTOsError::kAccessDenied, EACCES);
        }
        return CUTPlatformWrapper::CanOpenForUpdate(path);
    }
};

}  // namespace

TEST_F(ConfigManagerTest, MachineItemsMoveToTheUserFileWhenMachineFileIsReadOnly) {
    StoreMachineValue(L"MaxFileCount", L"77");
    ReadOnlyMachineFile platform;
    CUTScopedPlatform scoped(&platform);
    CUTConfigManager manager;
    EXPECT_FALSE(manager.Store()->IsPIUIWritable());
    manager.Store()->SetInt(L"LogLevel", 4, true);
    EXPECT_EQ("4", ItemInFile(PIUDFile(), "LogLevel"));
    EXPECT_EQ("3", ItemInFile(PIUIFile(), "LogLevel"));
    EXPECT_EQ(4, manager.Store()->GetInt(L"LogLevel", false));
}

TEST(ConfigManagerRootTest, UnavailableRootsGiveDefaultsAndEmptyPaths) {
    class NoRoots : public CUTPlatformWrapper {
    public:
        NoRoots() : CUTPlatformWrapper(CUTPlatform::Default()) {}
        bool UserDataRoot(std::wstring*) override { return false; }
        bool MachineDataRoot(std::wstring*) override { return false; }
    } platform;
    CUTScopedPlatform scoped(&platform);
    CUTConfigManager manager;
    EXPECT_EQ(3, manager.Store()->GetInt(L"LogLevel", false));
    EXPECT_EQ(-1, manager.Store()->GetInt64(L"LastSendTimestamp", false));
    manager.Store()->SetString(L"TelvoranLogin", L"x", true);
    EXPECT_EQ(L"", manager.Store()->GetString(L"TelvoranLogin", false));
    EXPECT_EQ(L"", manager.GetUserComponentFolder());
    EXPECT_EQ(L"", manager.GetLogFilePath());
    EXPECT_FALSE(manager.CheckStartupAccess());
    EXPECT_EQ(-1, CUTConfigCommon::GetFileClass(L"NoSuchItem"));
    EXPECT_EQ(0, manager.Store()->GetInt(L"NoSuchItem", false));
}

TEST(RuntimeConfigTest, OperatingSystemTextsAreGatheredUntilComplete) {
    class CountingPlatform : public CUTPlatformWrapper {
    public:
        CountingPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
        void OperatingSystem(CUTOsDescription* description) override {
            ++reads;
            target()->OperatingSystem(description);
            description->name = fail ? L"" : L"Test OS 1";
            description->version = L"1";
        }
        std::wstring DomainName() override { return L""; }
        int reads = 0;
        bool fail = true;
    } platform;
    CUTScopedPlatform scoped(&platform);
    CUTRuntimeConfig session;
    EXPECT_EQ(L"", session.GetOSText(UTOSText::Name)) << "the source failed";
    platform.fail = false;
    EXPECT_EQ(L"Test OS 1", session.GetOSText(UTOSText::Name)) << "an empty text is gathered again";
    const int reads = platform.reads;
    EXPECT_EQ(L"", session.GetOSText(UTOSText::Domain));
    EXPECT_NE(L"", session.GetOSText(UTOSText::LocaleId));
    EXPECT_EQ(reads, platform.reads) << "a host without a domain is not asked again and again";
}

// Every transcript and request of a session carries the same identity, asked
// of the system once; a name that could not be found is asked for again.
TEST(RuntimeConfigTest, IdentityIsGatheredOncePerSession) {
    class CountingPlatform : public CUTPlatformWrapper {
    public:
        CountingPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
        bool AccountName(std::wstring* name) override {
            ++account_reads;
            *name = L"host\\someone";
            return !fail;
        }
        bool MachineIdBytes(std::string* bytes) override {
            ++machine_reads;
            *bytes = "0123456789abcdef0123456789abcdef";
            return true;
        }
        int account_reads = 0;
        int machine_reads = 0;
        bool fail = true;
    } platform;
    CUTScopedPlatform scoped(&platform);
    CUTRuntimeConfig session;
    EXPECT_EQ(L"", session.Identity().account) << "the source failed";
    platform.fail = false;
    const CUTSessionIdentity first = session.Identity();
    EXPECT_EQ(L"host\\someone", first.account) << "a missing name is looked for again";
    const int account_reads = platform.account_reads;
    const int machine_reads = platform.machine_reads;
    for (int i = 0; i < 3; ++i) {
        const CUTSessionIdentity again = session.Identity();
        EXPECT_EQ(first.account, again.account);
        EXPECT_EQ(first.hashed_user, again.hashed_user);
        EXPECT_EQ(first.hashed_os_product, again.hashed_os_product);
    }
    EXPECT_EQ(account_reads, platform.account_reads);
    EXPECT_EQ(machine_reads, platform.machine_reads);
    EXPECT_EQ(CUTRuntimeConfig::GatherIdentity().hashed_user, first.hashed_user);
}

namespace {

// What tells that a file was rewritten: a replacement has a new inode, an
// update in place a new modification time.
struct FileIdentity {
    uint64_t inode = 0;
    int64_t mtime_nanos = 0;
    bool operator==(const FileIdentity& other) const {
        return inode == other.inode && mtime_nanos == other.mtime_nanos;
    }
};

FileIdentity IdentityOf(const std::string& path) {
    FileIdentity identity;
#ifdef _WIN32
    // No stat with the file's index there: the platform layer's status
    // (volume and file index, last write time) stands in.
    CUTFileStatus status;
    if (CUTPlatform::Default()->GetFileStatus(FromUtf8(path), &status).ok()) {
        identity.inode = status.inode;
        identity.mtime_nanos = status.last_write_nanos;
    }
#else
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        identity.inode = st.st_ino;
        identity.mtime_nanos =
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
#endif
    return identity;
}

}  // namespace

TEST_F(ConfigManagerTest, ReadingNeverRewritesTheFiles) {
    {
        // First start: files created, every item read once (missing ones are
        // added then), a login stored.
        CUTConfigManager manager;
        for (const CUTConfigItem& item : CUTConfigCommon::Items()) {
            manager.Store()->GetString(item.name, false);
        }
        manager.Store()->SetString(L"TelvoranLogin", L"someone", true);
    }
    const FileIdentity user_before = IdentityOf(PIUDFile());
    const FileIdentity machine_before = IdentityOf(PIUIFile());
    ASSERT_NE(0u, user_before.inode);
    ASSERT_NE(0u, machine_before.inode);

    // Later starts and every read a host or the worker makes.
    for (int round = 0; round < 3; ++round) {
        CUTConfigManager manager;
        manager.GetReceivingURL();
        manager.GetMaxPayloadSize();
        manager.GetCommunicationWaitTime();
        for (const CUTConfigItem& item : CUTConfigCommon::Items()) {
            manager.Store()->GetString(item.name, false);
            manager.Store()->GetString(item.name, true);
        }
        EXPECT_EQ(-1, manager.Store()->GetInt64(L"LastSendTimestamp", false));
        manager.Flush();
    }
    EXPECT_EQ(HOST_TEXT("someone"), HostString(CUTFacade::GetUserID().text));
    EXPECT_EQ(HOST_TEXT("someone"), HostString(CUTFacade::GetUserID().text));
    EXPECT_TRUE(user_before == IdentityOf(PIUDFile())) << "the user file was rewritten";
    EXPECT_TRUE(machine_before == IdentityOf(PIUIFile())) << "the machine file was rewritten";
}

TEST_F(ConfigManagerTest, AnotherVersionIsStampedOnceAndThenLeftAlone) {
    std::string xml =
        "<?xml version=\"1.0\" ?><PROD_IND_USER_DEP version=\"0.9.0.0\">"
        "<LastSendTimestamp value=\"1700000000\" /><TelvoranLogin value=\"x\" />"
        "</PROD_IND_USER_DEP>";
    ScrambleBytes(&xml);
    ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.pi_ud_folder())));
    ASSERT_TRUE(tvut_test::WriteFile(PIUDFile(), xml));
    const FileIdentity old_version = IdentityOf(PIUDFile());
    { CUTConfigManager manager; }
    const FileIdentity stamped = IdentityOf(PIUDFile());
    EXPECT_FALSE(old_version == stamped) << "a file of another version gets this version";
    std::string plain;
    ASSERT_TRUE(CUTXMLConfig::DecodeFileBytes(ReadFile(PIUDFile()), UT_FILE_PI_UD, &plain));
    EXPECT_NE(std::string::npos,
              plain.find("version=\"" + ToUtf8(CUTPlatform::Current()->ModuleVersion()) + "\""));
    EXPECT_EQ("1700000000", ItemInFile(PIUDFile(), "LastSendTimestamp"));
    { CUTConfigManager manager; }
    EXPECT_TRUE(stamped == IdentityOf(PIUDFile()));
}
