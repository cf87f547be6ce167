// The exported facade: status codes, lifecycle flags, the login and the
// permission checks, through the same calls a host makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <tvUT/UTFacade.h>

#include "UT/UTProcessState.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "info/UTKormString.h"
#include "manager/UTTranscriptManager.h"
#include "platform/UTPlatform.h"
#include "support/FakePlatforms.h"
#include "support/HostObjects.h"
#include "support/HostText.h"
#include "support/ScratchRoots.h"

#ifndef _WIN32
#include "support/ChildProcess.h"
#endif

using tvut_test::HostString;
using tvut_test::ScratchRoots;

namespace {

kormSTRING Text(const kormCHAR* text, int32_t length = -1) {
    return kormSTRING{const_cast<kormCHAR*>(text), length};
}

HostString TextOf(const kormSTRING& value) {
    return value.text == nullptr ? HostString() : HostString(value.text);
}

// The host's product "LINE" release "2026" with a program type.
class HostObjects : public tvut_test::HostObjects {
public:
    explicit HostObjects(const kormCHAR* program_type = HOST_TEXT("TERM"))
        : tvut_test::HostObjects(HOST_TEXT("2026"), HOST_TEXT("F"), program_type) {}
};

void StoreLogin(const kormCHAR* login) {
    CUTUserInfo* user = CUTUserInfo::Create();
    user->SetLogin(Text(login));
    ASSERT_EQ(UT_SET_USER_OK, CUTFacade::SetUserID(user));
    user->Dispose();
}

class FacadeTest : public ::testing::Test {
protected:
    void TearDown() override { CUTFacade::CleanUp(); }
    ScratchRoots roots_;
};

}  // namespace

TEST_F(FacadeTest, LifecycleStatusCodes) {
    EXPECT_EQ(UT_NOT_INITIALISED, CUTFacade::CleanUp());
    EXPECT_EQ(UT_NOT_INITIALISED, CUTFacade::LogUsageData());
    EXPECT_EQ(UT_NOT_INITIALISED, CUTFacade::OnCrash());
    HostObjects host;
    EXPECT_EQ(UT_NOT_INITIALISED,
              CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));

    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTConfigManager* first = CUTConfigManager::PeekInstance();
    const std::wstring first_session = first->Runtime()->SessionId();
    EXPECT_EQ(38u, first_session.size());
    EXPECT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_EQ(first, CUTConfigManager::PeekInstance()) << "a second Init creates nothing";

    EXPECT_EQ(UT_NO_PRODUCT, CUTFacade::LogUsageData());
    EXPECT_EQ(UT_NO_PRODUCT, CUTFacade::OnCrash());
    EXPECT_EQ(-1, first->Runtime()->StartTime()) << "no stamp without a product";
    EXPECT_EQ(-1, first->Runtime()->EndTime());

    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    EXPECT_EQ(nullptr, CUTConfigManager::PeekInstance());
    EXPECT_EQ(nullptr, CUTTranscriptManager::PeekInstance());
    EXPECT_FALSE(CUTProcessState::initialised.load());
    EXPECT_TRUE(CUTProcessState::stop.load());
    EXPECT_EQ(UT_NOT_INITIALISED, CUTFacade::CleanUp());

    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_FALSE(CUTProcessState::stop.load());
    EXPECT_NE(first_session, CUTConfigManager::PeekInstance()->Runtime()->SessionId())
        << "a new Init starts a new session";
}

TEST_F(FacadeTest, ProductHandOverAndItsFailures) {
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    EXPECT_EQ(UT_NO_PRODUCT, CUTFacade::GetUBInformation(nullptr, host.user(), kormFALSE));

    CUTProductInfo* incomplete = CUTProductInfo::Create();
    incomplete->SetProductLineId(Text(HOST_TEXT("LINE")));
    EXPECT_EQ(UT_NO_PRODUCT, CUTFacade::GetUBInformation(incomplete, host.user(), kormFALSE));
    incomplete->Dispose();

    // Nothing was ever delivered, so the send is synchronous; the scratch
    // settings point at no server, so it is not delivered.
    EXPECT_EQ(UT_SEND_NOT_DELIVERED,
              CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
    CUTConfigManager* manager = CUTConfigManager::PeekInstance();
    ASSERT_TRUE(manager->IsProductInitialised());
    EXPECT_TRUE(tvut_test::PathExists(roots_.pi_ud_folder() + "/LINE_2026/Transcripts"));

    // Once the product is known, a null product is accepted and only the
    // login is refreshed: without a product no login is resolved, so the
    // session's becomes empty while the program type stays.
    host.user()->SetLogin(Text(HOST_TEXT("first-login")));
    CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE);
    ASSERT_EQ(L"first-login", manager->Runtime()->GetText(UTSessionText::Login));
    EXPECT_NE(UT_NO_PRODUCT, CUTFacade::GetUBInformation(nullptr, host.user(), kormTRUE));
    EXPECT_EQ(L"", manager->Runtime()->GetText(UTSessionText::Login));
    EXPECT_EQ(L"TERM", manager->Runtime()->GetText(UTSessionText::ProgramType));

    EXPECT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    EXPECT_NE(-1, manager->Runtime()->StartTime());
    EXPECT_EQ(UT_CRASH_OK, CUTFacade::OnCrash());
    EXPECT_EQ(1, manager->Runtime()->CrashFlag());
    EXPECT_NE(-1, manager->Runtime()->EndTime());
}

TEST_F(FacadeTest, LoginStorageAndReading) {
    EXPECT_EQ(UT_SET_USER_NO_USER, CUTFacade::SetUserID(nullptr));

    // Nothing stored: a null text with length 0, before any Init.
    const kormSTRING& nothing = CUTFacade::GetUserID();
    EXPECT_EQ(nullptr, nothing.text);
    EXPECT_EQ(0, nothing.length);

    StoreLogin(HOST_TEXT("first@example.com"));
    const kormSTRING& first = CUTFacade::GetUserID();
    EXPECT_EQ(HOST_TEXT("first@example.com"), TextOf(first));
    EXPECT_EQ(17, first.length);
    StoreLogin(HOST_TEXT("second"));
    const kormSTRING& second = CUTFacade::GetUserID();
    EXPECT_EQ(&first, &second) << "the same record, holding the new value";
    EXPECT_EQ(HOST_TEXT("second"), TextOf(second));

    // A counted login is stored up to its count; length 0 stores nothing.
    CUTUserInfo* user = CUTUserInfo::Create();
    user->SetLogin(Text(HOST_TEXT("counted-and-more"), 7));
    CUTFacade::SetUserID(user);
    EXPECT_EQ(HOST_TEXT("counted"), TextOf(CUTFacade::GetUserID()));
    user->SetLogin(Text(HOST_TEXT("ignored"), 0));
    EXPECT_EQ(UT_SET_USER_OK, CUTFacade::SetUserID(user));
    EXPECT_EQ(nullptr, CUTFacade::GetUserID().text);
    user->Dispose();

    // Init keeps the stored login; after CleanUp it is still there.
    StoreLogin(HOST_TEXT("kept"));
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_EQ(HOST_TEXT("kept"), TextOf(CUTFacade::GetUserID()));
    ASSERT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    EXPECT_EQ(HOST_TEXT("kept"), TextOf(CUTFacade::GetUserID()));
}

TEST_F(FacadeTest, LoginWithAnUnpairedSurrogateKeepsTheRestOfTheLogin) {
    const kormCHAR login[] = {HOST_TEXT('a'), 0xD800, HOST_TEXT('b'), 0};
    StoreLogin(login);
    EXPECT_EQ(HOST_TEXT("a\uFFFDb"), TextOf(CUTFacade::GetUserID()));
    EXPECT_EQ(3, CUTFacade::GetUserID().length);

    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host(HOST_TEXT("TERM"));
    const kormCHAR passed[] = {HOST_TEXT('p'), 0xDC00, 0xD800, HOST_TEXT('q'), 0};
    host.user()->SetLogin(Text(passed));
    CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE);
    EXPECT_EQ(L"p\uFFFD\uFFFDq",
              CUTConfigManager::PeekInstance()->Runtime()->GetText(UTSessionText::Login));
}

TEST_F(FacadeTest, ARecordGivenToAThreadChangesOnlyWithThatThreadsNextCall) {
    StoreLogin(HOST_TEXT("mine"));
    const kormSTRING& mine = CUTFacade::GetUserID();
    const kormCHAR* text = mine.text;
    ASSERT_EQ(HOST_TEXT("mine"), TextOf(mine));

    // Another thread stores and reads a different login...
    std::thread other([] {
        StoreLogin(HOST_TEXT("theirs-and-longer"));
        EXPECT_EQ(HOST_TEXT("theirs-and-longer"), TextOf(CUTFacade::GetUserID()));
    });
    other.join();
    EXPECT_EQ(text, mine.text) << "another thread's call freed this thread's text";
    EXPECT_EQ(HOST_TEXT("mine"), TextOf(mine));
    EXPECT_EQ(4, mine.length);

    // ...and tvUT reads the login for itself on this thread.
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host(HOST_TEXT("TERM"));  // no login passed: tvUT reads the stored one
    CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE);
    EXPECT_EQ(L"theirs-and-longer",
              CUTConfigManager::PeekInstance()->Runtime()->GetText(UTSessionText::Login));
    EXPECT_EQ(text, mine.text) << "tvUT's own reading replaced the host's record";
    EXPECT_EQ(HOST_TEXT("mine"), TextOf(mine));

    // The thread's own next call updates the same record.
    EXPECT_EQ(&mine, &CUTFacade::GetUserID());
    EXPECT_EQ(HOST_TEXT("theirs-and-longer"), TextOf(mine));
}

TEST_F(FacadeTest, LoginCallsFromManyThreadsAtOnce) {
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    const HostString logins[] = {HOST_TEXT("a"), HOST_TEXT("login-two"),
                                 HOST_TEXT("a-much-longer-third-login@example.com")};
    std::atomic<int> bad{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    const int kThreads = 4;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            HostObjects host(t % 2 == 0 ? HOST_TEXT("TERM") : HOST_TEXT(""));
            ++ready;
            while (ready.load() < kThreads) {
            }
            for (int i = 0; i < 100; ++i) {
                const HostString& login = logins[(t + i) % 3];
                if (i % 10 == 0) {
                    StoreLogin(login.c_str());
                }
                const kormSTRING& read = CUTFacade::GetUserID();
                // Whatever any thread stored last, whole and consistent...
                const HostString value = TextOf(read);
                const bool known =
                    value.empty() || value == logins[0] || value == logins[1] || value == logins[2];
                if (!known ||
                    (!value.empty() && static_cast<size_t>(read.length) != value.size())) {
                    ++bad;
                }
                // ...and it stays so while the host reads it, whatever the
                // other threads do meanwhile.
                for (int k = 0; k < 200; ++k) {
                    if (TextOf(read) != value) {
                        ++bad;
                    }
                }
                if (i % 25 == 0) {
                    CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, bad.load());
}

TEST_F(FacadeTest, ProgramTypeDecidesWhereTheLoginComesFrom) {
    StoreLogin(HOST_TEXT("stored"));
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    {
        HostObjects host(HOST_TEXT("term"));
        host.user()->SetLogin(Text(HOST_TEXT("passed-in")));
        CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE);
        EXPECT_EQ(L"passed-in",
                  CUTConfigManager::PeekInstance()->Runtime()->GetText(UTSessionText::Login));
        EXPECT_EQ(HOST_TEXT("stored"), TextOf(CUTFacade::GetUserID()))
            << "TERM leaves the stored login";
    }
    {
        HostObjects host(HOST_TEXT("TERM"));  // no login passed: the stored one is used
        CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE);
        EXPECT_EQ(L"stored",
                  CUTConfigManager::PeekInstance()->Runtime()->GetText(UTSessionText::Login));
    }
    {
        HostObjects host(HOST_TEXT(""));
        host.user()->SetLogin(Text(HOST_TEXT("ignored")));
        CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE);
        EXPECT_EQ(L"", CUTConfigManager::PeekInstance()->Runtime()->GetText(UTSessionText::Login));
        EXPECT_EQ(nullptr, CUTFacade::GetUserID().text) << "any other type clears the login";
    }
}

TEST_F(FacadeTest, CallbackRegisteredBeforeInitKeepsItsManager) {
    CUTFacade::RegisterCallbackFunction([](bool) {});
    CUTTranscriptManager* manager = CUTTranscriptManager::PeekInstance();
    ASSERT_NE(nullptr, manager);
    EXPECT_NE(nullptr, manager->callback());
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_EQ(manager, CUTTranscriptManager::PeekInstance());
}

namespace {

// Denies what a user without rights would be denied; root is allowed
// everything, so the refusals come from here.
class DenyingPlatform : public CUTPlatformWrapper {
public:
    explicit DenyingPlatform(std::wstring deny_update, std::wstring deny_create = L"")
        : CUTPlatformWrapper(CUTPlatform::Default()),
          deny_update_(std::move(deny_update)),
          deny_create_(std::move(deny_create)) {}
    CUTOsStatus CanOpenForUpdate(const std::wstring& path) override {
        if (!deny_update_.empty() && path.find(deny_update_) != std::wstring::npos) {
            return CUTOsStatus::Failure("open", UTOsError::kAccessDenied, EACCES);
        }
        return CUTPlatformWrapper::CanOpenForUpdate(path);
    }
    CUTOsStatus CreateFolder(const std::wstring& path) override {
        if (!deny_create_.empty() && path.find(deny_create_) != std::wstring::npos) {
            return CUTOsStatus::Failure("mkdir", UTOsError::kAccessDenied, EACCES);
        }
        return CUTPlatformWrapper::CreateFolder(path);
    }

private:
    std::wstring deny_update_;
    std::wstring deny_create_;
};

}  // namespace

TEST_F(FacadeTest, UnusableUserFileFailsInitialisation) {
    DenyingPlatform platform(L"ProdInd_UserDep.cur");
    CUTScopedPlatform scoped(&platform);
    EXPECT_EQ(UT_INIT_NO_ACCESS, CUTFacade::InitUTComponent());
    EXPECT_TRUE(CUTProcessState::initialisation_started.load());
    EXPECT_FALSE(CUTProcessState::initialised.load());
    EXPECT_EQ(UT_NOT_INITIALISED, CUTFacade::CleanUp());
}

TEST_F(FacadeTest, UnavailableUserRootFailsInitialisation) {
    tvut_test::NoUserRootPlatform platform;
    CUTScopedPlatform scoped(&platform);
    EXPECT_EQ(UT_INIT_NO_ACCESS, CUTFacade::InitUTComponent());
}

// A login that cannot be saved is reported as not stored, never as stored.
TEST_F(FacadeTest, LoginThatCannotBeSavedIsNotReportedAsStored) {
    CUTUserInfo* user = CUTUserInfo::Create();
    user->SetLogin(Text(HOST_TEXT("nowhere-to-go")));
    {
        tvut_test::NoUserRootPlatform platform;
        CUTScopedPlatform scoped(&platform);
        EXPECT_EQ(UT_SET_USER_NO_USER, CUTFacade::SetUserID(user));
    }
    // A folder where the user file should be.
    const std::string user_file = roots_.pi_ud_folder() + "/ProdInd_UserDep.cur";
    ASSERT_TRUE(tvut_test::MakeFolders(user_file));
    EXPECT_EQ(UT_SET_USER_NO_USER, CUTFacade::SetUserID(user));
    ASSERT_TRUE(tvut_test::RemoveEmptyFolder(user_file));
    EXPECT_EQ(nullptr, CUTFacade::GetUserID().text);
    EXPECT_EQ(UT_SET_USER_OK, CUTFacade::SetUserID(user)) << "and stored once it can be";
    EXPECT_EQ(HOST_TEXT("nowhere-to-go"), TextOf(CUTFacade::GetUserID()));
    user->Dispose();
}

TEST_F(FacadeTest, ProductFileAndTranscriptFolderChecks) {
    {
        DenyingPlatform platform(L"ProdDep_UserDep.cur");
        CUTScopedPlatform scoped(&platform);
        ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
        HostObjects host;
        EXPECT_EQ(UT_PRODUCT_CONFIG_NOT_WRITABLE,
                  CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
        ASSERT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    }
    {
        DenyingPlatform platform(L"", L"Transcripts");
        CUTScopedPlatform scoped(&platform);
        ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
        HostObjects host;
        EXPECT_EQ(UT_TRANSCRIPT_FOLDER_NOT_WRITABLE,
                  CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
    }
}

namespace {

std::vector<std::string> LogLines(const ScratchRoots& roots) {
    std::vector<std::string> lines;
    std::istringstream in(tvut_test::ReadFile(roots.pi_ud_folder() + "/TVUTLog.log"));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& level,
             const std::string& message) {
    const std::regex line_format(
        "(\\w+) +\\| \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{6} \\| pid:" +
        std::to_string(CurrentProcessId()) + " \\| tid:\\d+ \\| (.*)");
    for (const std::string& line : lines) {
        std::smatch match;
        if (std::regex_match(line, match, line_format) && match[1] == level &&
            match[2] == message && line.compare(0, 6, (level + "      ").substr(0, 6)) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST_F(FacadeTest, EnabledLoggingWritesTheFacadeLinesInTheLineFormat) {
    {
        CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
        ASSERT_TRUE(machine.Load());
        machine.SetValue(L"EnableLogging", L"1", false);
        machine.SetValue(L"LogLevel", L"5", true);
    }
    StoreLogin(HOST_TEXT("logged-login"));
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    EXPECT_EQ(UT_NO_PRODUCT, CUTFacade::GetUBInformation(nullptr, host.user(), kormFALSE));
    CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE);

    const std::vector<std::string> lines = LogLines(roots_);
    EXPECT_TRUE(HasLine(lines, "Devdbg",
                        "client version : " + ToUtf8(CUTPlatform::Current()->ModuleVersion())));
    EXPECT_TRUE(HasLine(lines, "Devdbg", "Telvoran Login value : logged-login"));
    EXPECT_TRUE(HasLine(lines, "Error", "ProductInfo is NULL! GetUBInformatin fail!!"));
    EXPECT_TRUE(
        HasLine(lines, "Devdbg", "telvoran login info is NOT passed in, load value from PD_UD"));
    EXPECT_TRUE(HasLine(lines, "Devdbg", "Program Type: TERM"));
    EXPECT_TRUE(HasLine(lines, "Info", "Will Send Synchronously....."));
    EXPECT_TRUE(HasLine(lines, "Devdbg", "GetUBInformation return -301 !"));
}

TEST_F(FacadeTest, PreReleaseProductSwitchesLoggingOnAtTheHighestLevel) {
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_FALSE(tvut_test::PathExists(roots_.pi_ud_folder() + "/TVUTLog.log"));
    HostObjects host;
    host.product()->SetReleaseType(Text(HOST_TEXT("B")));
    CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE);
    EXPECT_TRUE(CUTConfigManager::PeekInstance()->IsBeta());
    EXPECT_TRUE(HasLine(LogLines(roots_), "Devdbg", "GetUBInformation return -301 !"));

    // For this session only: files saved meanwhile keep what they held, so
    // the machine's products of release do not log from then on.
    StoreLogin(HOST_TEXT("saves-the-user-file"));
    CUTConfigManager::PeekInstance()->Store()->Flush();
    EXPECT_EQ(5, CUTConfigManager::PeekInstance()->Store()->GetInt(L"LogLevel", false));
    for (const auto file : {UT_FILE_PI_UI, UT_FILE_PI_UD}) {
        CUTXMLConfig stored(file, kComponentFolderName);
        ASSERT_TRUE(stored.Load());
        std::wstring value;
        EXPECT_FALSE(stored.GetValue(L"EnableLogging", false, &value) && value == L"1");
        EXPECT_FALSE(stored.GetValue(L"LogLevel", false, &value) && value == L"5");
    }
}

// GetUserID and SetUserID outside the session build and delete short-lived
// managers (and with them the item-table handle) while the worker looks items
// up in the session's: the worker must keep getting sound values.
TEST_F(FacadeTest, LoginCallsRunSafelyBesideAWorkerReadingSettings) {
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTConfigManager* shared = CUTConfigManager::PeekInstance();
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> bad{0};
    // What the worker thread does during a send: read settings by name.
    std::thread worker([&] {
        while (!done.load()) {
            const bool sound = shared->GetCommunicationWaitTime() >= 0 &&
                               shared->GetMaxPayloadSize() >= 10240 &&
                               shared->Store()->GetInt64(L"LastSendTimestamp", false) == -1;
            const std::wstring login = shared->Store()->GetString(L"TelvoranLogin", false);
            if (!sound || (login != L"" && login != L"even" && login != L"odd")) {
                ++bad;
            }
            ++reads;
        }
    });
    // The worker is reading before the first login call...
    for (int i = 0; i < 100000 && reads.load() == 0; ++i) {
        std::this_thread::yield();
    }
    ASSERT_GT(reads.load(), 0) << "the worker never ran";
    const int reads_before = reads.load();
    for (int i = 0; i < 20; ++i) {
        StoreLogin(i % 2 == 0 ? HOST_TEXT("even") : HOST_TEXT("odd"));
        EXPECT_EQ(i % 2 == 0 ? HOST_TEXT("even") : HOST_TEXT("odd"),
                  TextOf(CUTFacade::GetUserID()));
    }
    // ...and has read many times while they ran (more calls until it has).
    for (int i = 0; i < 10000 && reads.load() - reads_before < 100; ++i) {
        CUTFacade::GetUserID();
    }
    done.store(true);
    worker.join();
    EXPECT_GE(reads.load() - reads_before, 100);
    EXPECT_EQ(0, bad.load());
}

TEST_F(FacadeTest, UnusableUserFileIsLoggedAtInitialisation) {
    {
        CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
        ASSERT_TRUE(machine.Load());
        machine.SetValue(L"EnableLogging", L"1", true);
    }
    DenyingPlatform platform(L"ProdInd_UserDep.cur");
    CUTScopedPlatform scoped(&platform);
    EXPECT_EQ(UT_INIT_NO_ACCESS, CUTFacade::InitUTComponent());
    EXPECT_TRUE(HasLine(LogLines(roots_), "Error", "Have no access to PI_UD Config File!"));
}

namespace {

// Throws from one service when armed, as a failing dependency would.
class ThrowingPlatform : public CUTPlatformWrapper {
public:
    enum Service { kNone, kGuid, kClock, kUpdateCheck, kUserRoot, kWrite };
    ThrowingPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    void Arm(Service service) {
        armed_.store(service);
        throws_.store(0);
    }
    int throws() const { return throws_.load(); }

    std::wstring NewGuidText() override {
        Maybe(kGuid);
        return CUTPlatformWrapper::NewGuidText();
    }
    int64_t CurrentTimeNanos() override {
        Maybe(kClock);
        return CUTPlatformWrapper::CurrentTimeNanos();
    }
    CUTOsStatus CanOpenForUpdate(const std::wstring& path) override {
        Maybe(kUpdateCheck);
        return CUTPlatformWrapper::CanOpenForUpdate(path);
    }
    bool UserDataRoot(std::wstring* root) override {
        Maybe(kUserRoot);
        return CUTPlatformWrapper::UserDataRoot(root);
    }
    CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode, uint32_t permissions,
                               std::unique_ptr<CUTWritableFile>* file) override {
        Maybe(kWrite);
        return CUTPlatformWrapper::OpenForWriting(path, mode, permissions, file);
    }

private:
    void Maybe(Service service) {
        if (armed_.load() == service) {
            ++throws_;
            throw std::runtime_error("injected failure");
        }
    }
    std::atomic<Service> armed_{kNone};
    std::atomic<int> throws_{0};
};

bool HasLineAfter(const std::vector<std::string>& lines, size_t first, const std::string& text) {
    for (size_t i = first; i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

// A dependency that throws in the middle of an operation: the operation's own
// catch turns it into its failure code, the work after the throw is not done,
// and nothing escapes to the host.
TEST_F(FacadeTest, AnExceptionInsideAnOperationBecomesItsFailureCode) {
    {
        CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
        ASSERT_TRUE(machine.Load());
        machine.SetValue(L"EnableLogging", L"1", false);
        machine.SetValue(L"LogLevel", L"5", true);
    }
    ThrowingPlatform platform;
    CUTScopedPlatform scoped(&platform);
    HostObjects host;
    host.user()->SetLogin(Text(HOST_TEXT("passed-in")));

    // No session identifier can be made.
    platform.Arm(ThrowingPlatform::kGuid);
    EXPECT_NO_THROW(EXPECT_EQ(UT_INIT_NO_ACCESS, CUTFacade::InitUTComponent()));
    EXPECT_GT(platform.throws(), 0);
    EXPECT_FALSE(CUTProcessState::initialised.load());

    platform.Arm(ThrowingPlatform::kNone);
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE);
    CUTConfigManager* manager = CUTConfigManager::PeekInstance();
    ASSERT_TRUE(manager->IsProductInitialised());

    // The permission check throws: no -307, no send, no closing log line.
    platform.Arm(ThrowingPlatform::kUpdateCheck);
    const size_t lines_before = LogLines(roots_).size();
    EXPECT_NO_THROW(EXPECT_EQ(UT_SEND_CYCLE_FAILED,
                              CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE)));
    EXPECT_GT(platform.throws(), 0);
    const std::vector<std::string> lines = LogLines(roots_);
    EXPECT_TRUE(HasLineAfter(lines, lines_before, "Program Type: TERM")) << "the call ran";
    EXPECT_FALSE(HasLineAfter(lines, lines_before, "Will Send"));
    EXPECT_FALSE(HasLineAfter(lines, lines_before, "GetUBInformation return"));

    // The clock throws: nothing is stamped.
    platform.Arm(ThrowingPlatform::kClock);
    EXPECT_NO_THROW(EXPECT_EQ(UT_LOG_USAGE_WRITE_FAILED, CUTFacade::LogUsageData()));
    EXPECT_GT(platform.throws(), 0);
    EXPECT_EQ(-1, manager->Runtime()->StartTime());
    platform.Arm(ThrowingPlatform::kClock);
    EXPECT_NO_THROW(EXPECT_EQ(UT_CRASH_WRITE_FAILED, CUTFacade::OnCrash()));
    EXPECT_GT(platform.throws(), 0);
    EXPECT_EQ(-1, manager->Runtime()->EndTime());

    // The login cannot be saved: not reported as stored, the old one stays.
    platform.Arm(ThrowingPlatform::kNone);
    StoreLogin(HOST_TEXT("before"));
    CUTUserInfo* user = CUTUserInfo::Create();
    user->SetLogin(Text(HOST_TEXT("after")));
    platform.Arm(ThrowingPlatform::kWrite);
    EXPECT_NO_THROW(EXPECT_EQ(UT_SET_USER_NO_USER, CUTFacade::SetUserID(user)));
    EXPECT_GT(platform.throws(), 0);
    user->Dispose();
    platform.Arm(ThrowingPlatform::kNone);
    const kormSTRING& login = CUTFacade::GetUserID();
    EXPECT_EQ(HOST_TEXT("before"), TextOf(login));

    // The login cannot be read: the thread's record keeps its value.
    platform.Arm(ThrowingPlatform::kUserRoot);
    EXPECT_NO_THROW(EXPECT_EQ(&login, &CUTFacade::GetUserID()));
    EXPECT_GT(platform.throws(), 0);
    EXPECT_EQ(HOST_TEXT("before"), TextOf(login));

    // The clock throws at CleanUp: the end time is lost, the shutdown is not.
    platform.Arm(ThrowingPlatform::kClock);
    EXPECT_NO_THROW(EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp()));
    EXPECT_GT(platform.throws(), 0);
    EXPECT_EQ(nullptr, CUTTranscriptManager::PeekInstance()) << "worker left running";
    EXPECT_EQ(nullptr, CUTConfigManager::PeekInstance());
    EXPECT_FALSE(CUTProcessState::initialised.load());
    platform.Arm(ThrowingPlatform::kNone);
    EXPECT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
}

// Which way the send goes is the facade's decision: on the caller's thread
// when asked (kormTRUE, the value 1 only); on the worker, waited for a
// bounded time, while nothing was ever delivered; otherwise on the worker
// at its own pace.
TEST_F(FacadeTest, SendRunsOnTheCallersThreadOnlyWhenAsked) {
    {
        CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
        ASSERT_TRUE(machine.Load());
        machine.SetValue(L"EnableLogging", L"1", false);
        machine.SetValue(L"LogLevel", L"5", true);
    }
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    CUTConfigManager* manager = CUTConfigManager::PeekInstance();
    const struct {
        const char* label;
        kormBOOLEAN synchronous;
        int64_t last_send;
        const char* expected;
    } cases[] = {
        {"asked, never delivered", kormTRUE, -1, "Will Send Synchronously....."},
        {"not asked, never delivered", kormFALSE, -1,
         "Will Send on the worker, waiting at most 3000 ms....."},
        {"asked, delivered before", kormTRUE, 1700000000, "Will Send Synchronously....."},
        {"not asked, delivered before", kormFALSE, 1700000000, "Will Send Asynchronously....."},
        {"2 is not true", static_cast<kormBOOLEAN>(2), 1700000000, "Will Send Asynchronously....."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        manager->Store()->SetInt64(L"LastSendTimestamp", c.last_send, true);
        const size_t before = LogLines(roots_).size();
        const UTStatus status =
            CUTFacade::GetUBInformation(host.product(), host.user(), c.synchronous);
        const std::vector<std::string> lines = LogLines(roots_);
        const std::vector<std::string> added(lines.begin() + before, lines.end());
        EXPECT_TRUE(HasLine(added, "Info", c.expected));
        EXPECT_EQ(1, std::count_if(added.begin(), added.end(), [](const std::string& line) {
                      return line.find("Will Send") != std::string::npos;
                  }));
        EXPECT_TRUE(
            HasLine(added, "Devdbg", "GetUBInformation return " + std::to_string(status) + " !"));
    }
}

#ifndef _WIN32
// Child processes (fork): no Windows form yet.

TEST_F(FacadeTest, LoginSetInOneProcessIsSeenInAnother) {
    tvut_test::ChildProcess writer([] {
        CUTUserInfo* user = CUTUserInfo::Create();
        user->SetLogin(Text(HOST_TEXT("from-another-process")));
        const int status = CUTFacade::SetUserID(user);
        user->Dispose();
        return status == UT_SET_USER_OK ? 0 : 1;
    });
    ASSERT_EQ(0, writer.Wait());
    EXPECT_EQ(HOST_TEXT("from-another-process"), TextOf(CUTFacade::GetUserID()));
}

#endif  // _WIN32
