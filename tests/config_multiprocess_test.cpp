// Several real processes load, change and save the same configuration file
// at once, and some are killed in the middle of their work. At every moment
// the file on disk must parse, and every value in it must come from one
// whole save. A save merges: what another process stored since this one
// loaded is kept, through the file objects, the configuration manager and
// the facade, and a damaged file is repaired under one holding of its lock.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <tinyxml.h>

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTScrambler.h"
#include "config/UTXMLConfig.h"
#include "info/UTProductInfoImp.h"
#include "platform/UTPlatform.h"
#include "support/ChildProcess.h"
#include "support/FakePlatforms.h"
#include "support/ScratchRoots.h"
#include "support/WaitFor.h"

using tvut_test::ChildProcess;
using tvut_test::ReadFile;
using tvut_test::ScratchRoots;
using tvut_test::WriteFile;

namespace {

// The login written with a stamp is the stamp repeated: a torn or mixed file
// shows up as a login that does not match its stamp.
std::wstring LoginFor(const std::wstring& stamp) {
    std::wstring login;
    for (int i = 0; i < 40; ++i) {
        login += stamp + L";";
    }
    return login;
}

int Writer(int id, int rounds) {
    for (int round = 0; rounds < 0 || round < rounds; ++round) {
        CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
        if (!config.Load()) {
            return 3;
        }
        const std::wstring stamp = std::to_wstring(id) + L"000" + std::to_wstring(round);
        config.SetValue(L"LastSendTimestamp", stamp, false);
        config.SetValue(L"TelvoranLogin", LoginFor(stamp), false);
        if (!config.Save()) {
            return 4;
        }
    }
    return 0;
}

// Checks one snapshot of the file; returns "" when it is sound.
std::string CheckSnapshot(const std::string& bytes) {
    std::string xml;
    if (!CUTXMLConfig::DecodeFileBytes(bytes, UT_FILE_PI_UD, &xml)) {
        return "file does not parse (" + std::to_string(bytes.size()) + " bytes)";
    }
    TiXmlDocument document;
    document.Parse(xml.c_str());
    TiXmlElement* root = document.RootElement();
    TiXmlElement* stamp = root->FirstChildElement("LastSendTimestamp");
    TiXmlElement* login = root->FirstChildElement("TelvoranLogin");
    if (stamp == nullptr || login == nullptr) {
        return "items missing";
    }
    const std::wstring stamp_text = FromUtf8(*stamp->Attribute(std::string("value")));
    const std::wstring login_text = FromUtf8(*login->Attribute(std::string("value")));
    if (stamp_text == L"-1" && login_text.empty()) {
        return "";  // defaults, before the first save
    }
    if (login_text != LoginFor(stamp_text)) {
        return "values of different saves mixed";
    }
    return "";
}

class ConfigMultiProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(config.Load());
        path_ = roots_.pi_ud_folder() + "/ProdInd_UserDep.cur";
    }

    ScratchRoots roots_;
    std::string path_;
};

}  // namespace

TEST_F(ConfigMultiProcessTest, ConcurrentSavesAreAlwaysWhole) {
    std::vector<std::unique_ptr<ChildProcess>> writers;
    for (int id = 1; id <= 4; ++id) {
        writers.push_back(std::make_unique<ChildProcess>([id] { return Writer(id, 150); }));
    }
    // Snapshots taken while the writers run, without any lock: what another
    // process that reads the file sees.
    for (int snapshot = 0; snapshot < 400; ++snapshot) {
        ASSERT_EQ("", CheckSnapshot(ReadFile(path_))) << "snapshot " << snapshot;
    }
    for (auto& writer : writers) {
        EXPECT_EQ(0, writer->Wait());
    }
    EXPECT_EQ("", CheckSnapshot(ReadFile(path_)));
}

TEST_F(ConfigMultiProcessTest, WritersKilledAtRandomMomentsNeverLeaveATornFile) {
    std::mt19937 random(20261209);
    std::vector<std::unique_ptr<ChildProcess>> writers;
    for (int id = 1; id <= 3; ++id) {
        writers.push_back(std::make_unique<ChildProcess>([id] { return Writer(id, -1); }));
    }
    int next_id = 10;
    for (int kill = 0; kill < 60; ++kill) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ASSERT_EQ("", CheckSnapshot(ReadFile(path_))) << "before kill " << kill;
        const size_t victim = random() % writers.size();
        writers[victim]->Kill();
        EXPECT_EQ(128 + 9, writers[victim]->Wait()) << "the writer was still working";
        const int id = next_id++;
        writers[victim] = std::make_unique<ChildProcess>([id] { return Writer(id, -1); });
    }
    for (auto& writer : writers) {
        writer->Kill();
        writer->Wait();
    }
    ASSERT_EQ("", CheckSnapshot(ReadFile(path_)));

    // A new process reads the last whole save, not defaults.
    CUTXMLConfig reader(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    std::wstring stamp;
    ASSERT_TRUE(reader.GetValue(L"LastSendTimestamp", false, &stamp));
    EXPECT_NE(L"-1", stamp);
}

namespace {

// The first attribute of item in the user file, "<missing>" or
// "<unreadable>".
std::string StoredValue(const std::string& path, const char* item) {
    std::string xml;
    if (!CUTXMLConfig::DecodeFileBytes(ReadFile(path), UT_FILE_PI_UD, &xml)) {
        return "<unreadable>";
    }
    TiXmlDocument document;
    document.Parse(xml.c_str());
    TiXmlElement* element = document.RootElement()->FirstChildElement(item);
    if (element == nullptr || element->FirstAttribute() == nullptr) {
        return "<missing>";
    }
    return element->FirstAttribute()->ValueStr();
}

// What a process that delivered a send records: the time and a login.
int RecordDeliveredSend() {
    CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
    if (!config.Load()) {
        return 3;
    }
    config.SetValue(L"LastSendTimestamp", L"1700000000", false);
    config.SetValue(L"TelvoranLogin", L"bob", false);
    return config.Save() ? 0 : 4;
}

// A child that waits for a byte on a pipe before it runs body: forked
// before the parent starts threads, started when the parent is ready.
class GatedChild {
public:
    explicit GatedChild(const std::function<int()>& body) {
        if (::pipe(gate_) != 0) {
            gate_[0] = gate_[1] = -1;
        }
        const int read_end = gate_[0];
        const int write_end = gate_[1];
        child_ = std::make_unique<ChildProcess>([read_end, write_end, body] {
            ::close(write_end);
            char go = 0;
            if (::read(read_end, &go, 1) != 1) {
                return 90;
            }
            return body();
        });
        ::close(gate_[0]);
    }
    ~GatedChild() {
        if (gate_[1] >= 0) {
            ::close(gate_[1]);
        }
    }
    void Start() {
        const char go = 'g';
        EXPECT_EQ(1, ::write(gate_[1], &go, 1));
    }
    ChildProcess& process() { return *child_; }

private:
    int gate_[2];
    std::unique_ptr<ChildProcess> child_;
};

}  // namespace

TEST_F(ConfigMultiProcessTest, SaveKeepsWhatAnotherProcessStoredMeanwhile) {
    CUTXMLConfig mine(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(mine.Load());
    ChildProcess other(RecordDeliveredSend);
    ASSERT_EQ(0, other.Wait());

    // This process changes another item, from its old in-memory copy.
    mine.SetValue(L"LogLevel", L"4", true);
    EXPECT_EQ("1700000000", StoredValue(path_, "LastSendTimestamp"));
    EXPECT_EQ("bob", StoredValue(path_, "TelvoranLogin"));
    EXPECT_EQ("4", StoredValue(path_, "LogLevel"));
    std::wstring value;
    ASSERT_TRUE(mine.GetValue(L"LastSendTimestamp", false, &value));
    EXPECT_EQ(L"1700000000", value) << "the merged file is this object's copy now";

    // An item both processes set: the later save wins.
    mine.SetValue(L"TelvoranLogin", L"alice", true);
    EXPECT_EQ("alice", StoredValue(path_, "TelvoranLogin"));
    EXPECT_EQ("1700000000", StoredValue(path_, "LastSendTimestamp"));
}

TEST_F(ConfigMultiProcessTest, ShortLivedManagerDoesNotUndoAnotherProcess) {
    // A user file without the login: the first read of it adds the default.
    std::string xml = "<?xml version=\"1.0\" ?><PROD_IND_USER_DEP version=\"" +
                      ToUtf8(CUTPlatform::Current()->ModuleVersion()) +
                      "\"><LastSendTimestamp value=\"-1\" /></PROD_IND_USER_DEP>";
    ScrambleBytes(&xml);
    ASSERT_TRUE(WriteFile(path_, xml));

    CUTConfigManager own;  // what GetUserID builds outside a session
    ChildProcess other(RecordDeliveredSend);
    ASSERT_EQ(0, other.Wait());
    EXPECT_EQ(L"bob", own.Store()->GetString(L"TelvoranLogin", false));
    EXPECT_EQ("bob", StoredValue(path_, "TelvoranLogin")) << "the default replaced a login";
    EXPECT_EQ("1700000000", StoredValue(path_, "LastSendTimestamp"));
}

namespace {

kormSTRING Text(const char16_t* text) {
    return kormSTRING{const_cast<kormCHAR*>(text), -1};
}

}  // namespace

// A session of a product that is not a TERM program clears the stored login
// at GetUBInformation; that save must not bring back the session's old copy
// of LastSendTimestamp, or every later start would send synchronously.
TEST_F(ConfigMultiProcessTest, SessionSaveKeepsATimestampAnotherProcessRecorded) {
    GatedChild other(RecordDeliveredSend);
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTConfigManager* session = CUTConfigManager::PeekInstance();
    ASSERT_NE(nullptr, session);
    ASSERT_EQ(-1, session->Store()->GetInt64(L"LastSendTimestamp", false));
    other.Start();
    ASSERT_EQ(0, other.process().Wait());

    CUTProductInfo* product = CUTProductInfo::Create();
    CUTUserInfo* user = CUTUserInfo::Create();
    product->SetProductLineId(Text(u"LINE"));
    product->SetReleaseId(Text(u"2026"));
    product->SetReleaseType(Text(u"F"));
    product->SetProgramType(Text(u"VIEWER"));
    CUTFacade::GetUBInformation(product, user, kormFALSE);
    product->Dispose();
    user->Dispose();

    EXPECT_EQ("", StoredValue(path_, "TelvoranLogin")) << "a non-TERM product clears the login";
    EXPECT_EQ("1700000000", StoredValue(path_, "LastSendTimestamp"));
    EXPECT_EQ(1700000000, session->Store()->GetInt64(L"LastSendTimestamp", false));
    CUTFacade::CleanUp();
    EXPECT_EQ("1700000000", StoredValue(path_, "LastSendTimestamp"));
}

namespace {

// Is the process asleep in a call that waits for a lock (a System V
// semaphore, a file lock, or the pause of a lock that polls)?
bool IsWaitingForALock(int pid) {
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat_text((std::istreambuf_iterator<char>(stat_file)),
                          std::istreambuf_iterator<char>());
    const size_t close = stat_text.rfind(')');
    if (close == std::string::npos || close + 2 >= stat_text.size() ||
        stat_text[close + 2] != 'S') {
        return false;
    }
    std::ifstream syscall_file("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    if (!(syscall_file >> number)) {
        return false;
    }
    const long waits[] = {
#ifdef SYS_semop
        SYS_semop,
#endif
#ifdef SYS_semtimedop
        SYS_semtimedop,
#endif
        SYS_fcntl,      SYS_flock, SYS_nanosleep, SYS_clock_nanosleep};
    for (long wait : waits) {
        if (number == wait) {
            return true;
        }
    }
    return false;
}

// Lets another process run at the moment the file object decides to write
// defaults over a damaged file (it looks for the decode marker then), and
// waits until that process has either finished or is waiting for the lock.
class RaceAtRepair : public CUTPlatformWrapper {
public:
    explicit RaceAtRepair(GatedChild* other)
        : CUTPlatformWrapper(CUTPlatform::Default()), other_(other) {}
    CUTOsStatus GetFileStatus(const std::wstring& path, CUTFileStatus* status) override {
        if (path.find(L"decode.xml") != std::wstring::npos && !started_) {
            started_ = true;
            other_->Start();
            ChildProcess& process = other_->process();
            tvut_test::WaitFor(
                [&] {
                    if (process.HasEnded()) {
                        outcome_ = "finished";
                        return true;
                    }
                    if (IsWaitingForALock(process.pid())) {
                        outcome_ = "waiting for the lock";
                        return true;
                    }
                    return false;
                },
                std::chrono::seconds(60));
        }
        return CUTPlatformWrapper::GetFileStatus(path, status);
    }
    const std::string& outcome() const { return outcome_; }

private:
    GatedChild* other_;
    bool started_ = false;
    std::string outcome_ = "not started";
};

}  // namespace

TEST_F(ConfigMultiProcessTest, RepairIsDecidedAndWrittenUnderOneHoldingOfTheLock) {
    GatedChild other(RecordDeliveredSend);
    ASSERT_TRUE(WriteFile(path_, "damaged beyond reading"));
    {
        RaceAtRepair platform(&other);
        CUTScopedPlatform scoped(&platform);
        CUTXMLConfig mine(UT_FILE_PI_UD, kComponentFolderName);
        EXPECT_TRUE(mine.Load());
        EXPECT_EQ("waiting for the lock", platform.outcome())
            << "the other process ran between the read and the repair";
    }
    ASSERT_EQ(0, other.process().Wait());
    EXPECT_EQ("1700000000", StoredValue(path_, "LastSendTimestamp"))
        << "the repair overwrote what the other process saved";
}

// ---- what a process keeps of a file it parsed --------------------------------------

namespace {

// Stores login through a file object of this process, as any product does.
bool StoreLogin(const std::wstring& login) {
    CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
    if (!config.Load()) {
        return false;
    }
    config.SetValue(L"TelvoranLogin", login, false);
    return config.Save();
}

std::wstring KeptLogin() {
    std::wstring login;
    return CUTXMLConfig::ReadStoredItem(UT_FILE_PI_UD, kComponentFolderName, L"TelvoranLogin",
                                        &login)
               ? login
               : L"<none>";
}

std::wstring RereadLogin(CUTXMLConfig* config) {
    std::wstring login;
    return config->GetValue(L"TelvoranLogin", true, &login) ? login : L"<none>";
}

}  // namespace

// Each save of another process, of a value as long as the last one and
// within the same tick of the file system's clock, is read at once, by the
// one-item reader and by a file object's reread alike.
TEST_F(ConfigMultiProcessTest, KeptFileNeverHidesAnotherProcessSave) {
    // A clock a minute ahead: every file the test writes counts as settled,
    // so readers keep what they parse of it.
    tvut_test::ClockPlatform ahead;
    ahead.Advance(60);
    CUTScopedPlatform scoped(&ahead);
    ASSERT_TRUE(StoreLogin(L"user-00"));
    CUTXMLConfig reader(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    for (int round = 1; round <= 20; ++round) {
        const std::wstring expected =
            std::wstring(L"user-") + (round < 10 ? L"0" : L"") + std::to_wstring(round);
        // Read twice: the second read is served from what was kept.
        KeptLogin();
        RereadLogin(&reader);
        ChildProcess other([&expected] { return StoreLogin(expected) ? 0 : 1; });
        ASSERT_EQ(0, other.Wait());
        EXPECT_EQ(expected, KeptLogin()) << "round " << round;
        EXPECT_EQ(expected, RereadLogin(&reader)) << "round " << round;
    }
}

// A file edited in place (the same inode, the same size), as a hand edit of
// a plain settings file is, right after it was read: nothing of a file
// written so recently is kept, so the edit is read.
TEST_F(ConfigMultiProcessTest, RecentFileIsNotKeptSoAnEditInPlaceIsRead) {
    ASSERT_TRUE(StoreLogin(L"aaaa"));
    CUTXMLConfig reader(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    ASSERT_EQ(L"aaaa", KeptLogin());
    ASSERT_EQ(L"aaaa", RereadLogin(&reader));
    std::string bytes = ReadFile(path_);
    std::string xml;
    ASSERT_TRUE(CUTXMLConfig::DecodeFileBytes(bytes, UT_FILE_PI_UD, &xml));
    const size_t at = xml.find("\"aaaa\"");
    ASSERT_NE(std::string::npos, at);
    xml.replace(at, 6, "\"bbbb\"");
    if (IsConfigScramblingOn()) {
        ScrambleBytes(&xml);
    }
    ASSERT_EQ(bytes.size(), xml.size());
    {
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        file.write(xml.data(), static_cast<std::streamsize>(xml.size()));
    }
    EXPECT_EQ(L"bbbb", KeptLogin());
    EXPECT_EQ(L"bbbb", RereadLogin(&reader));
}
