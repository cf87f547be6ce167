// The send cycle against the local receiver: what is sent when, what the
// server's reply makes of the files and the timers, what a synchronous
// GetUBInformation reports, and what the host's callback hears. Real files in
// scratch roots, a real server on 127.0.0.1, real processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTScrambler.h"
#include "config/UTXMLConfig.h"
#include "info/UTProductInfoImp.h"
#include "manager/UTPendingTranscripts.h"
#include "manager/UTTimer.h"
#include "manager/UTTranscriptManager.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"
#include "support/ChildProcess.h"
#include "support/FakePlatforms.h"
#include "support/HostObjects.h"
#include "support/LocalReceiver.h"
#include "support/LogLines.h"
#include "support/ScratchRoots.h"
#include "support/WaitFor.h"

using tvut_test::ChildProcess;
using tvut_test::LocalReceiver;
using tvut_test::PathExists;
using tvut_test::ReceivedRequest;
using tvut_test::ReceiverOptions;
using tvut_test::ScratchRoots;
using tvut_test::WaitFor;

namespace {

// The product "LINE" release "7" and a user, as a host hands them over.
class HostObjects : public tvut_test::HostObjects {
public:
    explicit HostObjects(const char16_t* release_type = u"F")
        : tvut_test::HostObjects(u"7", release_type, nullptr) {}
};

// A transcript as the serializer stores it (scrambled XML) of exactly size
// bytes; a size below the document's frame gives the bare frame.
std::string TranscriptBytes(const std::string& session, size_t size) {
    const std::string head = "<transcript session=\"" + session + "\">";
    const std::string tail = "</transcript>";
    const size_t frame = head.size() + tail.size();
    std::string xml = head + std::string(size > frame ? size - frame : 0, 'x') + tail;
    ScrambleBytes(&xml);
    return xml;
}

std::string NameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

void MakeFolders(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        ::mkdir(path.substr(0, at).c_str(), 0700);
    }
    ::mkdir(path.c_str(), 0700);
}

// The transcript names of every request, in arrival order.
std::vector<std::string> ReceivedTranscripts(const std::vector<ReceivedRequest>& requests) {
    std::vector<std::string> names;
    for (const ReceivedRequest& request : requests) {
        for (const auto& transcript : request.transcripts) {
            names.push_back(transcript.first);
        }
    }
    return names;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// Test names of a table's cases.
template <class Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

// What the host's callback heard, from any thread.
struct CallbackLog {
    std::mutex mutex;
    std::vector<bool> calls;
    std::vector<std::thread::id> threads;

    void Record(bool delivered) {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back(delivered);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<bool> Calls() {
        std::lock_guard<std::mutex> guard(mutex);
        return calls;
    }
};
CallbackLog g_callbacks;
void RecordCallback(bool delivered) {
    g_callbacks.Record(delivered);
}

class SendCycleTest : public ::testing::Test {
protected:
    void TearDown() override {
        CUTFacade::RegisterCallbackFunction(nullptr);
        CUTFacade::CleanUp();
        CUTTranscriptManager::DestroyInstance();
        CUTConfigManager::DestroyInstance();
    }

    // Logging at the detail level, timers that do not fire during a test,
    // uploads to host.
    void Settings(const std::string& host,
                  const std::vector<std::pair<std::wstring, std::wstring>>& extra = {}) {
        std::vector<std::pair<std::wstring, std::wstring>> items =
            tvut_test::SendOnlyWhenAskedSettings(host);
        items.insert(
            items.end(),
            {{L"EnableLogging", L"1"}, {L"LogLevel", L"5"}, {L"MaxLogFileSize", L"100000000"}});
        items.insert(items.end(), extra.begin(), extra.end());
        ASSERT_TRUE(tvut_test::WriteMachineSettings(items));
    }
    static void LastSend(int64_t seconds) {
        CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
        user.Load();
        user.SetValue(L"LastSendTimestamp", FromUtf8(std::to_string(seconds)), true);
    }
    static int64_t StoredLastSend() {
        CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
        user.Load();
        std::wstring value;
        return user.GetValue(L"LastSendTimestamp", false, &value) && !value.empty()
                   ? std::stoll(ToUtf8(value))
                   : -1;
    }
    static int64_t Now() { return CurrentTimeSeconds(CUTPlatform::Current()); }

    std::string ComponentFolder() const { return roots_.pi_ud_folder(); }
    std::string TranscriptFolder(const std::string& product = "LINE_7") const {
        return ComponentFolder() + "/" + product + "/Transcripts";
    }
    // A transcript file of size bytes in product's Transcripts folder.
    std::string Transcript(const std::string& name, size_t size = 300,
                           const std::string& product = "LINE_7") const {
        MakeFolders(TranscriptFolder(product));
        const std::string path = TranscriptFolder(product) + "/" + name;
        EXPECT_TRUE(tvut_test::WriteFile(path, TranscriptBytes(name, size)));
        return path;
    }
    std::string Log() const { return ComponentFolder() + "/TVUTLog.log"; }
    static void SetWriteTime(const std::string& path, int64_t seconds) {
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(seconds);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW));
    }
    int Lines(const std::string& level, const std::string& message) const {
        return tvut_test::CountLogLines(Log(), level, message);
    }
    // Files of the component folder whose names end in suffix or begin
    // with prefix: leftovers of a cycle.
    std::vector<std::string> ComponentFiles(const std::string& prefix,
                                            const std::string& suffix = "") const {
        std::vector<std::string> names;
        for (const std::string& name : tvut_test::EntryNames(ComponentFolder())) {
            if (name.compare(0, prefix.size(), prefix) == 0 && name.size() >= suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                names.push_back(name);
            }
        }
        return names;
    }

    // The manager with the product handed over, without the facade's send.
    CUTTranscriptManager* StartManager(const char16_t* release_type = u"F") {
        HostObjects host(release_type);
        TelvoranUserInfo user;
        CUTConfigManager::GetInstance()->HandOverProduct(host.product(), &user);
        EXPECT_TRUE(CUTConfigManager::GetInstance()->IsProductInitialised());
        return CUTTranscriptManager::GetInstance();
    }

    ScratchRoots roots_;
};

}  // namespace

// ---- when a send is due -----------------------------------------------------

TEST_F(SendCycleTest, EachReasonDecidesWhetherARecentSendIsFollowedByAnother) {
    const struct {
        int reason;
        bool sends;
    } cases[] = {
        {UT_SEND_REASON_FORCED, true},  {UT_SEND_REASON_NO_SEND, false},
        {UT_SEND_REASON_CHECK, false},  {UT_SEND_REASON_RETRY, true},
        {UT_SEND_REASON_RESTART, true},
    };
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    // 1000 seconds ago, with a send interval of a day.
    LastSend(Now() - 1000);
    CUTTranscriptManager* manager = StartManager();
    ASSERT_NE(nullptr, manager);
    int sent = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        LastSend(Now() - 1000);
        const int not_time = Lines("Info", "Not the Time to send. ");
        EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(c.reason));
        sent += c.sends ? 1 : 0;
        EXPECT_EQ(sent, receiver.ArrivalCount());
        EXPECT_EQ(not_time + (c.sends ? 0 : 1), Lines("Info", "Not the Time to send. "));
    }
    EXPECT_EQ(3, Lines("Info", "Time to send."));
}

TEST_F(SendCycleTest, FirstScheduledCheckWithNoSendOnRecordSends) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    const std::string transcript = Transcript("{A}.utt");
    ASSERT_EQ(-1, StoredLastSend());
    CUTTranscriptManager* manager = StartManager();
    ASSERT_NE(nullptr, manager);
    const int64_t before = Now();
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_CHECK));
    ASSERT_TRUE(receiver.WaitForRequests(1));
    EXPECT_EQ(std::vector<std::string>{"{A}.utt"}, ReceivedTranscripts(receiver.Requests()));
    EXPECT_FALSE(PathExists(transcript));
    EXPECT_GE(StoredLastSend(), before);
    EXPECT_EQ(1, Lines("Devdbg", "Remove transcript file " + transcript));
}

// Credentials in the receiving URL are used for the upload, never logged.
// The failed send's line keeps its old words whatever the failure; the line
// after it says what the failure was.
TEST_F(SendCycleTest, FailedSendSaysWhatFailed) {
    LocalReceiver receiver(ReceiverOptions{false, false, R"([{"http": 500}])", 0});
    const struct {
        const char* label;
        std::string host;
        const char* cause;
    } cases[] = {
        {"refused", tvut_test::kNoServerHost, "Failed to connect to 127.0.0.1 port 1"},
        {"HTTP error", receiver.HostUrl(), "HTTP status 500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Settings(c.host);
        ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
        HostObjects host;
        const int before =
            Lines("Error", "Send Payload fail due to Connection Time Out, will try to resend");
        const size_t causes_before =
            tvut_test::LogMessagesStartingWith(Log(), "Error", "The send failed: ").size();
        EXPECT_EQ(UT_SEND_NOT_DELIVERED,
                  CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
        EXPECT_EQ(
            before + 1,
            Lines("Error", "Send Payload fail due to Connection Time Out, will try to resend"));
        const std::vector<std::string> causes =
            tvut_test::LogMessagesStartingWith(Log(), "Error", "The send failed: ");
        ASSERT_EQ(causes_before + 1, causes.size());
        EXPECT_NE(std::string::npos, causes.back().find(c.cause)) << causes.back();
        EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    }
}

TEST_F(SendCycleTest, CredentialsOfTheReceivingUrlStayOutOfTheLog) {
    LocalReceiver receiver;
    std::string host = receiver.HostUrl();
    ASSERT_EQ(0u, host.rfind("http://", 0));
    const std::string plain = host;
    host.insert(7, "uploader:s3cret-Pw@");
    Settings(host);
    CUTTranscriptManager* manager = StartManager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_FORCED));
    EXPECT_EQ(1, receiver.ArrivalCount());
    const std::string log = tvut_test::ReadFile(Log());
    EXPECT_EQ(std::string::npos, log.find("s3cret-Pw")) << log;
    EXPECT_EQ(std::string::npos, log.find("uploader")) << log;
    EXPECT_EQ(1, Lines("Info", "Sending to Server " + plain + "/receiver.aspx"));
}

namespace {

// Records, in order, the removals of transcripts and the writes of the
// per-user settings file (where LastSendTimestamp lives).
class OrderRecordingPlatform : public CUTPlatformWrapper {
public:
    OrderRecordingPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    CUTOsStatus RemoveFile(const std::wstring& path) override {
        if (path.size() > 4 && path.compare(path.size() - 4, 4, L".utt") == 0) {
            Note("remove " + NameOf(ToUtf8(path)));
        }
        return target()->RemoveFile(path);
    }
    CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode, uint32_t permissions,
                               std::unique_ptr<CUTWritableFile>* file) override {
        if (ToUtf8(path).find("ProdInd_UserDep.cur.tmp") != std::string::npos) {
            Note("save settings");
        }
        return target()->OpenForWriting(path, mode, permissions, file);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }

private:
    void Note(const std::string& event) {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(event);
    }
    std::mutex mutex_;
    std::vector<std::string> events_;
};

}  // namespace

// Delivered files go before the send time is saved: a process killed in
// between sends nothing it removed again, where the other order would send
// every delivered file a second time.
TEST_F(SendCycleTest, DeliveredFilesAreRemovedBeforeTheSendTimeIsSaved) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    Transcript("{A}.utt");
    Transcript("{B}.utt");
    CUTTranscriptManager* manager = StartManager();
    ASSERT_NE(nullptr, manager);
    OrderRecordingPlatform platform;
    {
        CUTScopedPlatform scoped(&platform);
        EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_FORCED));
    }
    const std::vector<std::string> events = platform.Events();
    ASSERT_EQ(3u, events.size()) << ::testing::PrintToString(events);
    EXPECT_EQ("save settings", events.back()) << ::testing::PrintToString(events);
    EXPECT_GE(StoredLastSend(), Now() - 60);
}

TEST_F(SendCycleTest, NoTranscriptsStillSendsARequestWithoutPayload) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    CUTTranscriptManager* manager = StartManager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_FORCED));
    ASSERT_TRUE(receiver.WaitForRequests(1));
    const ReceivedRequest request = receiver.Requests().front();
    EXPECT_EQ("none", request.archive);
    EXPECT_EQ("0", request.fields.at("PAYLOAD_PRESENT"));
    EXPECT_NE(-1, StoredLastSend());
    const std::vector<std::string> removed =
        tvut_test::LogMessagesStartingWith(Log(), "Devdbg", "Remove zip file ");
    ASSERT_EQ(1u, removed.size());
    EXPECT_TRUE(
        std::regex_match(removed[0], std::regex("Remove zip file .*/\\{[0-9A-F-]{36}\\}\\.zip")))
        << removed[0];
    EXPECT_TRUE(ComponentFiles("", ".zip").empty());
}

// The clock was set back after a send: the stored time lies in the future.
// A scheduled check sends at once instead of waiting for the clock to catch
// up while transcripts pile up and are trimmed.
TEST_F(SendCycleTest, AStoredSendTimeInTheFutureCountsAsDue) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    const std::string transcript = Transcript("{A}.utt");
    LastSend(Now() + 365 * 86400);
    CUTTranscriptManager* manager = StartManager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_CHECK));
    EXPECT_EQ(1, receiver.ArrivalCount());
    EXPECT_FALSE(PathExists(transcript));
    EXPECT_LE(StoredLastSend(), Now()) << "the delivered send stores the clock's time";
    // And now, with the time stored right, the next check waits again.
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_CHECK));
    EXPECT_EQ(1, receiver.ArrivalCount());
}

// An upload archive a killed upload left, dated in the future (the clock was
// set back since), is stale like an old one; one of now may be in use.
TEST_F(SendCycleTest, ArchivesDatedInTheFutureAreStale) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    MakeFolders(ComponentFolder());
    const std::string ahead = ComponentFolder() + "/{00000000-0000-4000-8000-000000000001}.zip";
    const std::string recent = ComponentFolder() + "/{00000000-0000-4000-8000-000000000002}.zip";
    ASSERT_TRUE(tvut_test::WriteFile(ahead, "PK"));
    ASSERT_TRUE(tvut_test::WriteFile(recent, "PK"));
    SetWriteTime(ahead, Now() + 30 * 86400);
    CUTTranscriptManager* manager = StartManager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_FORCED));
    EXPECT_FALSE(PathExists(ahead));
    EXPECT_TRUE(PathExists(recent));
}

TEST_F(SendCycleTest, SurplusTranscriptsGoBeforeTheIntervalIsTested) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    LastSend(Now());
    std::vector<std::pair<int64_t, std::string>> by_age;
    for (int i = 0; i < 503; ++i) {
        const std::string path =
            Transcript("{" + std::to_string(i) + "}.utt", 100, i % 2 == 0 ? "LINE_7" : "OTHER_1");
        // Distinct times within one second, in an order unlike the names'.
        struct timespec times[2];
        times[0].tv_sec = 1700000000;
        times[0].tv_nsec = 1000L * ((i * 7919) % 503);
        times[1] = times[0];
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
        by_age.emplace_back(times[0].tv_nsec, path);
    }
    std::sort(by_age.begin(), by_age.end());
    CUTTranscriptManager* manager = StartManager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_CHECK));
    EXPECT_EQ(1, Lines("Info", "Not the Time to send. "));
    EXPECT_EQ(0, receiver.ArrivalCount());
    for (size_t i = 0; i < by_age.size(); ++i) {
        EXPECT_EQ(i >= 3, PathExists(by_age[i].second)) << by_age[i].second;
        if (i < 3) {
            EXPECT_EQ(1, Lines("Devdbg", "Remove old transcript file " + by_age[i].second));
        }
    }
}

// ---- what one upload carries ------------------------------------------------

namespace {

const uint64_t kHuge = (uint64_t{1} << 32) + 100;  // sparse; 32 bits would read 100

struct BudgetCase {
    const char* name;
    std::vector<uint64_t> sizes;  // in the walk's order, over two product folders
    std::vector<size_t> taken;    // the indices that travel
    bool stage_ended;             // a file that fits alone but not with the others
};

void PrintTo(const BudgetCase& c, std::ostream* out) {
    *out << c.name;
}

class SendCycleBudgetTest : public SendCycleTest,
                            public ::testing::WithParamInterface<BudgetCase> {};

}  // namespace

// MaxPayloadSize 10240, four transcripts in two product folders.
// One that can never travel is left out (and left to trimming), so that it
// cannot hold back every transcript after it for ever.
TEST_P(SendCycleBudgetTest, TheFirstTranscriptOverTheBudgetEndsTheStage) {
    const BudgetCase& c = GetParam();
    LocalReceiver receiver;
    Settings(receiver.HostUrl(), {{L"MaxPayloadSize", L"10240"}});
    for (int i = 0; i < 4; ++i) {
        Transcript("{" + std::to_string(i) + "}.utt", 0, i % 2 == 0 ? "LINE_7" : "OTHER_1");
    }
    const std::vector<std::wstring> walk =
        CUTPendingTranscripts(FromUtf8(ComponentFolder())).ListTranscripts();
    ASSERT_EQ(c.sizes.size(), walk.size());
    std::vector<std::string> expected;
    uint64_t total = 0;
    for (size_t i = 0; i < walk.size(); ++i) {
        const std::string path = ToUtf8(walk[i]);
        if (c.sizes[i] < (uint64_t{1} << 31)) {
            ASSERT_TRUE(tvut_test::WriteFile(
                path, TranscriptBytes(NameOf(path), static_cast<size_t>(c.sizes[i]))));
        } else {
            ASSERT_EQ(0, ::truncate(path.c_str(), static_cast<off_t>(c.sizes[i])));
        }
        const bool taken = std::find(c.taken.begin(), c.taken.end(), i) != c.taken.end();
        if (taken) {
            expected.push_back(NameOf(path));
        }
        if (total <= 10240 && c.sizes[i] <= 10240) {
            total += c.sizes[i];
        }
    }
    CUTTranscriptManager* manager = StartManager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_FORCED));
    ASSERT_TRUE(receiver.WaitForRequests(1));
    EXPECT_EQ(Sorted(expected), Sorted(ReceivedTranscripts(receiver.Requests())));
    for (size_t i = 0; i < walk.size(); ++i) {
        const bool taken = std::find(c.taken.begin(), c.taken.end(), i) != c.taken.end();
        EXPECT_EQ(!taken, PathExists(ToUtf8(walk[i]))) << ToUtf8(walk[i]);
        // One that can never travel is reported, once.
        EXPECT_EQ(c.sizes[i] > 10240 ? 1 : 0,
                  Lines("Warning", "File " + ToUtf8(walk[i]) +
                                       " is larger than the whole payload budget, it is not sent"));
    }
    const std::string over = "Transcript file size is " + std::to_string(total) +
                             ", over max size, do not send more transcript!";
    EXPECT_EQ(c.stage_ended ? 1 : 0, Lines("Devdbg", over));
    // The next cycle meets the large one again and says nothing more.
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_FORCED));
    for (size_t i = 0; i < walk.size(); ++i) {
        EXPECT_EQ(c.sizes[i] > 10240 ? 1 : 0,
                  Lines("Warning", "File " + ToUtf8(walk[i]) +
                                       " is larger than the whole payload budget, it is not sent"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Budgets, SendCycleBudgetTest,
    ::testing::Values(
        BudgetCase{"ExactlyTheBudget", {2560, 2560, 2560, 2560}, {0, 1, 2, 3}, false},
        BudgetCase{"OneOverEndsTheStage", {3000, 8000, 100, 100}, {0}, true},
        BudgetCase{"LargerThanTheBudgetIsLeftOut", {3000, 20000, 100, 100}, {0, 2, 3}, false},
        BudgetCase{"FirstLargerThanTheBudgetIsLeftOut", {10241, 100, 100, 100}, {1, 2, 3}, false},
        BudgetCase{"FourGibibytesAreLeftOut", {100, kHuge, 100, 100}, {0, 2, 3}, false}),
    CaseName<BudgetCase>);

TEST_F(SendCycleTest, PreReleaseProductsSendTheirLogsFirst) {
    LocalReceiver receiver(ReceiverOptions{false, false, R"([{}, {"http": 500}])", 0});
    Settings(receiver.HostUrl());
    const std::string archived = ComponentFolder() + "/TVUT_2020_1_2_3_4_5.log";
    MakeFolders(ComponentFolder());
    ASSERT_TRUE(tvut_test::WriteFile(archived, "an archived log\n"));
    const std::string transcript = Transcript("{A}.utt");
    CUTTranscriptManager* manager = StartManager(u"B");
    ASSERT_NE(nullptr, manager);
    ASSERT_TRUE(PathExists(Log()));

    // Delivered: the archived log, a copy of the current one and the
    // transcript travel, and all of them are gone afterwards.
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_FORCED));
    ASSERT_TRUE(receiver.WaitForRequests(1));
    const ReceivedRequest first = receiver.Requests()[0];
    EXPECT_EQ(std::vector<std::string>{"{A}.utt"}, ReceivedTranscripts({first}));
    ASSERT_EQ(2u, first.log_entries.size());
    std::vector<std::string> logs = Sorted(first.log_entries);
    EXPECT_EQ("TVUT_2020_1_2_3_4_5.log", logs[0]);
    const std::regex copy_name("TVUT_\\d{4}(_\\d{1,2}){5}(_\\d+)?\\.log");
    EXPECT_TRUE(std::regex_match(logs[1], copy_name)) << logs[1];
    EXPECT_FALSE(PathExists(archived));
    EXPECT_FALSE(PathExists(transcript));
    EXPECT_TRUE(ComponentFiles("TVUT_").empty());

    // Not delivered: the copy made for it goes, an archived log stays.
    ASSERT_TRUE(tvut_test::WriteFile(archived, "another archived log\n"));
    EXPECT_EQ(UT_SEND_NOT_DELIVERED, manager->sendSynchronously(UT_SEND_REASON_FORCED));
    ASSERT_TRUE(receiver.WaitForArrivals(2));
    EXPECT_EQ(std::vector<std::string>{"TVUT_2020_1_2_3_4_5.log"}, ComponentFiles("TVUT_"));
    EXPECT_TRUE(ComponentFiles("", ".zip").empty());
}

// ---- what the reply makes of it ---------------------------------------------

namespace {

struct ReplyCase {
    const char* name;
    const char* script;  // null: nothing listens
    const wchar_t* timeout_ms;
    UTStatus status;
    int armed_timer;  // 0: none
    bool delivered;
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
    *out << c.name;
}

class SendCycleReplyTest : public SendCycleTest, public ::testing::WithParamInterface<ReplyCase> {};

}  // namespace

// A synchronous GetUBInformation with one transcript waiting.
TEST_P(SendCycleReplyTest, ReplyDecidesStatusTimerAndFiles) {
    const ReplyCase& c = GetParam();
    std::unique_ptr<LocalReceiver> receiver;
    if (c.script != nullptr) {
        receiver.reset(new LocalReceiver(ReceiverOptions{false, false, c.script, 0}));
    }
    Settings(receiver ? receiver->HostUrl() : std::string(tvut_test::kNoServerHost),
             {{L"CommunicationTimeOut", c.timeout_ms}});
    const std::string transcript = Transcript("{A}.utt");
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTFacade::RegisterCallbackFunction(RecordCallback);
    CUTTranscriptManager::retriesLeft.store(1);
    HostObjects host;
    EXPECT_EQ(c.status, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));

    CUTTranscriptManager* manager = CUTTranscriptManager::PeekInstance();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(c.armed_timer == CUTTranscriptManager::RETRY_TIMER,
              manager->timer(CUTTranscriptManager::RETRY_TIMER)->pending());
    EXPECT_EQ(c.armed_timer == CUTTranscriptManager::RESTART_TIMER,
              manager->timer(CUTTranscriptManager::RESTART_TIMER)->pending());
    // A delivered send refills the retries; a failed one leaves them to the
    // retry timer.
    EXPECT_EQ(c.delivered ? 3 : 1, CUTTranscriptManager::retriesLeft.load());
    EXPECT_EQ(!c.delivered, PathExists(transcript));
    EXPECT_EQ(c.delivered, StoredLastSend() != -1);
    EXPECT_EQ(std::vector<bool>{c.delivered}, g_callbacks.Calls());
    EXPECT_TRUE(ComponentFiles("", ".zip").empty());
    if (receiver) {
        ASSERT_TRUE(receiver->WaitForArrivals(1));
        receiver->Stop();
        const std::vector<ReceivedRequest> requests = receiver->Requests();
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ(std::vector<std::string>{"{A}.utt"}, ReceivedTranscripts(requests));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SendCycleReplyTest,
    ::testing::Values(
        ReplyCase{"Accepted", "[{}]", L"30000", UT_SEND_OK, 0, true},
        ReplyCase{"AcceptedExtDep186", R"([{"ext_dep": 186}])", L"30000", UT_SEND_OK, 0, true},
        ReplyCase{"AcceptedExtDepOther", R"([{"ext_dep": 185}])", L"30000",
                  UT_SEND_EXT_DEPENDENCY_FAILED, 0, true},
        ReplyCase{"Rejected190", R"([{"status": 190}])", L"30000", UT_SEND_OK, 0, true},
        ReplyCase{"NoPayload189", R"([{"status": 189}])", L"30000", UT_SEND_OK, 0, true},
        ReplyCase{"MissingParameters", R"([{"status": -100}])", L"30000", UT_SEND_OK, 0, true},
        ReplyCase{"Refused", nullptr, L"30000", UT_SEND_NOT_DELIVERED, 2, false},
        ReplyCase{"HangPastTheTimeOut", R"([{"hang": true}])", L"1000", UT_SEND_NOT_DELIVERED, 2,
                  false},
        ReplyCase{"Http500", R"([{"http": 500}])", L"30000", UT_SEND_NOT_DELIVERED, 2, false},
        ReplyCase{"ResetMidReply", R"([{"reset": "mid"}])", L"30000", UT_SEND_NOT_DELIVERED, 2,
                  false},
        ReplyCase{"EmptyBody", R"([{"empty": true}])", L"30000", UT_SEND_SERVER_REJECTED, 2, false},
        ReplyCase{"Garbage", R"([{"body": "no xml here"}])", L"30000", UT_SEND_SERVER_REJECTED, 2,
                  false},
        ReplyCase{"NoStatus", R"([{"status": null}])", L"30000", UT_SEND_SERVER_REJECTED, 2, false},
        ReplyCase{"ServerError", R"([{"status": 500}])", L"30000", UT_SEND_SERVER_REJECTED, 2,
                  false},
        ReplyCase{"Restarting120", R"([{"status": 120}])", L"30000", UT_SEND_SERVER_REJECTED, 3,
                  false}),
    CaseName<ReplyCase>);

// A hostile server answers the synchronous send of a host's start with
// replies built to exhaust the parser's stack or its time. The host lives,
// the send counts as failed and the transcript waits for the next one.
TEST_F(SendCycleTest, HostileRepliesEndAsFailedSendsAndTheHostLives) {
    std::string flood = "<?xml version=\"1.0\"?><Reply";
    for (int i = 0; i < 20000; ++i) {
        flood += " a" + std::to_string(i) + "=''";
    }
    flood += "><REQ_STATUS_CODE>199</REQ_STATUS_CODE></Reply>";
    const std::string bodies[] = {
        "<?xml version=\"1.0\"?>" + tvut_test::Repeated("<a>&#x</a>x;", 80000),
        "<?xml version=\"1.0\"?><r a=\"&#x\" x;\">" + tvut_test::Repeated("<a>", 200000),
        flood,
    };
    std::string script = "[";
    for (size_t i = 0; i < 3; ++i) {
        const std::string file = roots_.folder().Join("reply" + std::to_string(i));
        ASSERT_TRUE(tvut_test::WriteFile(file, bodies[i]));
        script += std::string(i == 0 ? "" : ",") + "{\"body_file\": \"" + file + "\"}";
    }
    script += "]";
    LocalReceiver receiver(ReceiverOptions{false, false, script, 0});
    Settings(receiver.HostUrl());
    const std::string transcript = Transcript("{A}.utt");
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    // Nothing delivered yet: the host's own thread sends.
    EXPECT_EQ(UT_SEND_SERVER_REJECTED,
              CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
    EXPECT_EQ(UT_SEND_SERVER_REJECTED,
              CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    EXPECT_EQ(UT_SEND_SERVER_REJECTED,
              CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    EXPECT_EQ(3, receiver.ArrivalCount());
    EXPECT_TRUE(PathExists(transcript));
    EXPECT_EQ(-1, StoredLastSend());
    EXPECT_EQ(3, Lines("Error", "Parse Response Error!!"));
}

namespace {

// A cycle that cannot run: the sending lock cannot be had, or the cycle
// meets an exception (a platform service that throws, as none should).
class BrokenCyclePlatform : public CUTPlatformWrapper {
public:
    explicit BrokenCyclePlatform(bool refuse_lock)
        : CUTPlatformWrapper(CUTPlatform::Default()), refuse_lock_(refuse_lock) {}
    CUTOsStatus OpenNamedLock(const std::wstring& name,
                              std::unique_ptr<CUTSystemLock>* lock) override {
        if (refuse_lock_ && name == CUTTranscriptManager::kSendingLockName) {
            return CUTOsStatus::Failure("open", UTOsError::kAccessDenied, EACCES);
        }
        return target()->OpenNamedLock(name, lock);
    }
    // Thrown while the archive is being filled.
    CUTOsStatus OpenForReading(const std::wstring& path, CUTFileStatus* status,
                               std::unique_ptr<CUTReadableFile>* file) override {
        if (!refuse_lock_ && armed.load() && path.size() > 4 &&
            path.compare(path.size() - 4, 4, L".utt") == 0) {
            throw std::runtime_error("a service that throws");
        }
        return target()->OpenForReading(path, status, file);
    }
    std::atomic<bool> armed{false};

private:
    const bool refuse_lock_;
};

}  // namespace

// One case per process: the diagnostic log stays in the first scratch root a
// process uses, so a second root in the same process would be recreated by
// the log after its removal.
class BrokenCycleTest : public SendCycleTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BrokenCycleTest, ACycleThatCannotRunReportsItAndLeavesNothingBehind) {
    const bool refuse_lock = GetParam();
    BrokenCyclePlatform platform(refuse_lock);
    CUTScopedPlatform scoped(&platform);
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    MakeFolders(roots_.pi_ud_folder() + "/LINE_7/Transcripts");
    const std::string transcript = roots_.pi_ud_folder() + "/LINE_7/Transcripts/{A}.utt";
    ASSERT_TRUE(tvut_test::WriteFile(transcript, TranscriptBytes("A", 300)));
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTFacade::RegisterCallbackFunction(RecordCallback);
    platform.armed.store(true);
    HostObjects host;
    EXPECT_EQ(UT_SEND_CYCLE_FAILED,
              CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    EXPECT_EQ(0, receiver.ArrivalCount());
    EXPECT_TRUE(PathExists(transcript));
    EXPECT_TRUE(g_callbacks.Calls().empty());
    platform.armed.store(false);
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    for (const std::string& name : tvut_test::EntryNames(roots_.pi_ud_folder())) {
        EXPECT_EQ(std::string::npos, name.find(".zip")) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenCycleTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                             return param_info.param ? "SendingLockRefused" : "ExceptionInTheCycle";
                         });

// ---- what must never be lost or left behind ---------------------------------

TEST_F(SendCycleTest, ACrashRecordedDuringAnUploadIsSentByTheNextCycle) {
    LocalReceiver receiver(ReceiverOptions{false, false, R"([{"hold": true}])", 0});
    Settings(receiver.HostUrl());
    LastSend(Now());
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    // A send on record: the hand-over only wakes the worker, which finds it
    // is not the time.
    ASSERT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
    ASSERT_TRUE(WaitFor([&] { return Lines("Info", "Not the Time to send. ") == 1; }));
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    const std::string session =
        ToUtf8(CUTConfigManager::PeekInstance()->Runtime()->SessionId()) + ".utt";
    const std::string transcript = TranscriptFolder() + "/" + session;
    ASSERT_TRUE(PathExists(transcript));

    auto upload = std::async(std::launch::async, [&host] {
        return CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE);
    });
    ASSERT_TRUE(receiver.WaitForArrivals(1));
    // The crash is recorded while the server holds its reply.
    ASSERT_EQ(UT_CRASH_OK, CUTFacade::OnCrash());
    receiver.Release();
    ASSERT_EQ(std::future_status::ready, upload.wait_for(std::chrono::seconds(60)));
    EXPECT_EQ(UT_SEND_OK, upload.get());
    ASSERT_TRUE(receiver.WaitForRequests(1));
    EXPECT_EQ(std::string::npos,
              receiver.Requests()[0].transcripts.at(session).find("isCrash=\"1\""));
    EXPECT_TRUE(PathExists(transcript)) << "the crash has not been delivered";
    EXPECT_EQ(1, Lines("Devdbg",
                       "Keep transcript file " + transcript + ", it changed after it was sent"));

    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    ASSERT_TRUE(receiver.WaitForRequests(2));
    EXPECT_NE(std::string::npos,
              receiver.Requests()[1].transcripts.at(session).find("isCrash=\"1\""));
    EXPECT_FALSE(PathExists(transcript));
}

namespace {

// Opening one file for reading fails (an unreadable file, as root cannot
// make one), another vanishes as it is opened, a third is rewritten just
// before it is opened.
class PackingTroublePlatform : public CUTPlatformWrapper {
public:
    PackingTroublePlatform(std::string unreadable, std::string vanishing, std::string rewritten)
        : CUTPlatformWrapper(CUTPlatform::Default()),
          unreadable_(FromUtf8(unreadable)),
          vanishing_(FromUtf8(vanishing)),
          rewritten_(FromUtf8(rewritten)) {}

    CUTOsStatus OpenForReading(const std::wstring& path, CUTFileStatus* status,
                               std::unique_ptr<CUTReadableFile>* file) override {
        if (path == unreadable_) {
            return CUTOsStatus::Failure("open", UTOsError::kAccessDenied, EACCES);
        }
        if (path == vanishing_) {
            target()->RemoveFile(path);
        }
        if (path == rewritten_) {
            tvut_test::WriteFile(ToUtf8(path), TranscriptBytes("rewritten", 500));
        }
        return target()->OpenForReading(path, status, file);
    }

private:
    const std::wstring unreadable_;
    const std::wstring vanishing_;
    const std::wstring rewritten_;
};

}  // namespace

TEST_F(SendCycleTest, OnlyWhatWasPackedAndIsUnchangedIsRemoved) {
    // The user's data root has ".utt" and "TVUT_" in its own path.
    const std::string root = roots_.folder().Join("data.utt TVUT_x");
    ::mkdir(root.c_str(), 0700);
    ::setenv("XDG_DATA_HOME", root.c_str(), 1);
    const std::string folder = root + "/Telvoran/TVUT/LINE_7/Transcripts";
    MakeFolders(folder);
    auto file = [&folder](const std::string& name) {
        const std::string path = folder + "/" + name;
        tvut_test::WriteFile(path, TranscriptBytes(name, 300));
        return path;
    };
    const std::string plain = file("{A}.utt");
    const std::string unreadable = file("{B}.utt");
    const std::string vanishing = file("{C}.utt");
    const std::string rewritten = file("{D}.utt");
    const std::string temporary = file("{E}.tmp0123456789AB");
    const std::string other = file("notes.txt");
    const std::string outside = roots_.folder().Join("outside.utt");
    tvut_test::WriteFile(outside, TranscriptBytes("outside", 300));
    ASSERT_EQ(0, ::symlink(outside.c_str(), (folder + "/{F}.utt").c_str()));
    ASSERT_EQ(0, ::symlink("/nowhere", (folder + "/{G}.utt").c_str()));
    ASSERT_EQ(0, ::mkfifo((folder + "/{H}.utt").c_str(), 0600));
    ::mkdir((folder + "/{I}.utt").c_str(), 0700);

    PackingTroublePlatform platform(unreadable, vanishing, rewritten);
    CUTScopedPlatform scoped(&platform);
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    ASSERT_TRUE(receiver.WaitForRequests(1));
    EXPECT_EQ(Sorted({"{A}.utt", "{D}.utt"}), Sorted(ReceivedTranscripts(receiver.Requests())));
    EXPECT_TRUE(receiver.Requests()[0].problems.empty());
    EXPECT_FALSE(PathExists(plain));
    EXPECT_TRUE(PathExists(unreadable)) << "never sent";
    EXPECT_TRUE(PathExists(rewritten)) << "what was sent is not what is there now";
    for (const std::string& kept : {temporary, other, outside, folder + "/{F}.utt",
                                    folder + "/{H}.utt", folder + "/{I}.utt"}) {
        EXPECT_TRUE(PathExists(kept)) << kept;
    }
    struct stat st;
    EXPECT_EQ(0, ::lstat((folder + "/{G}.utt").c_str(), &st));
    CUTFacade::CleanUp();
    ::setenv("XDG_DATA_HOME", roots_.user_root().c_str(), 1);
}

// A writer that died between creating its temporary file and the rename
// leaves it (a transcript's or the product settings'); the product may never
// run again, so the send cycle removes it. A live writer holds the lock, and
// its file is left to it.
TEST_F(SendCycleTest, TemporaryFilesOfWritersThatDiedGoAndALiveWritersStay) {
    const std::string dead_folder = TranscriptFolder("GONE_1");
    const std::string live_folder = TranscriptFolder("BUSY_2");
    MakeFolders(dead_folder);
    MakeFolders(live_folder);
    const std::string dead =
        dead_folder + "/{0123ABCD-4567-89EF-0123-456789ABCDEF}.tmp0123456789AB";
    ASSERT_TRUE(tvut_test::WriteFile(dead, TranscriptBytes("dead", 300)));
    const std::string not_ours = dead_folder + "/backup.tmp0123456789AB";
    ASSERT_TRUE(tvut_test::WriteFile(not_ours, "kept"));
    // The same for the product's settings file, one folder up.
    const std::string dead_settings =
        TranscriptFolder("GONE_1") + "/../ProdDep_UserDep.cur.tmp0123456789ABCDEF";
    ASSERT_TRUE(tvut_test::WriteFile(dead_settings, "half a settings file"));
    // Left an hour ago, or dated a day ahead (the clock was set back since).
    SetWriteTime(dead, Now() - 3600);
    SetWriteTime(dead_settings, Now() + 86400);
    // A fresh one with no lock held: a writer of this user whose lock folder
    // is another (no XDG_RUNTIME_DIR under cron or ssh) may be writing it.
    const std::string fresh =
        dead_folder + "/{2123ABCD-4567-89EF-0123-456789ABCDEF}.tmp0123456789AB";
    ASSERT_TRUE(tvut_test::WriteFile(fresh, TranscriptBytes("fresh", 300)));

    // The live writer, in a process of its own: holds the lock with its
    // temporary file in place until told to finish its rename.
    const std::string session = "{1123ABCD-4567-89EF-0123-456789ABCDEF}";
    const std::string live = live_folder + "/" + session + ".tmpBA9876543210";
    const std::string ready = roots_.folder().Join("ready");
    const std::string finish = roots_.folder().Join("finish");
    ChildProcess writer([&] {
        CUTNamedLockGuard guard(FileLockName(FromUtf8(live_folder)));
        if (!guard.IsHeld() || !tvut_test::WriteFile(live, TranscriptBytes(session, 300)) ||
            !tvut_test::WriteFile(ready, "ready")) {
            return 2;
        }
        if (!WaitFor([&finish] { return PathExists(finish); })) {
            return 3;
        }
        // Gone from under a writer holding the lock: its session is lost.
        if (!PathExists(live)) {
            return 1;
        }
        return ::rename(live.c_str(), (live_folder + "/" + session + ".utt").c_str()) == 0 ? 0 : 4;
    });
    ASSERT_TRUE(WaitFor([&ready] { return PathExists(ready); }));

    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    std::future<UTStatus> send = std::async(std::launch::async, [&host] {
        return CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE);
    });
    // The cycle waits for the writer's lock: no request goes out meanwhile.
    EXPECT_FALSE(
        WaitFor([&receiver] { return receiver.ArrivalCount() > 0; }, std::chrono::seconds(1)));
    ASSERT_TRUE(tvut_test::WriteFile(finish, "finish"));
    EXPECT_EQ(0, writer.Wait()) << "the live writer's temporary file was removed";
    EXPECT_EQ(UT_SEND_OK, send.get());

    EXPECT_FALSE(PathExists(dead));
    EXPECT_FALSE(PathExists(dead_settings));
    EXPECT_TRUE(PathExists(not_ours));
    EXPECT_TRUE(PathExists(fresh));
    EXPECT_EQ(1, Lines("Devdbg", "Remove stale temporary file " + dead));
    // The writer's finished transcript went with the cycle that waited.
    ASSERT_TRUE(receiver.WaitForRequests(1));
    const std::vector<std::string> received = ReceivedTranscripts(receiver.Requests());
    EXPECT_NE(received.end(), std::find(received.begin(), received.end(), session + ".utt"));
}

// The machine's and the user's settings files may not be written again for
// long (a send without user information writes neither before it goes out):
// what a writer killed while saving them left is swept by the cycle too.
TEST_F(SendCycleTest, TemporaryFilesOfTheSharedSettingsFilesGo) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    const std::vector<std::string> dead = {
        roots_.pi_ud_folder() + "/ProdInd_UserDep.cur.tmp0123456789ABCDEF",
        roots_.pi_ui_folder() + "/ProdInd_UserInd.cur.tmp0123456789ABCDEF"};
    MakeFolders(roots_.pi_ud_folder());
    MakeFolders(roots_.pi_ui_folder());
    for (const std::string& path : dead) {
        ASSERT_TRUE(tvut_test::WriteFile(path, "half a settings file"));
        SetWriteTime(path, Now() - 3600);
    }
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), nullptr, kormTRUE));
    for (const std::string& path : dead) {
        EXPECT_FALSE(PathExists(path)) << path;
    }
}

namespace {

// The disk fills up as the first upload archive is created.
class FullForArchivesPlatform : public tvut_test::FullDiskPlatform {
public:
    CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode, uint32_t permissions,
                               std::unique_ptr<CUTWritableFile>* file) override {
        if (path.size() > 4 && path.compare(path.size() - 4, 4, L".zip") == 0 &&
            !filled_.exchange(true)) {
            SetFull(true);
        }
        return FullDiskPlatform::OpenForWriting(path, mode, permissions, file);
    }

private:
    std::atomic<bool> filled_{false};
};

}  // namespace

TEST_F(SendCycleTest, AnArchiveThatCannotBeWrittenSendsNothingAndRemovesNothing) {
    FullForArchivesPlatform disk;
    CUTScopedPlatform scoped(&disk);
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    const std::string transcript = Transcript("{A}.utt");
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    CUTFacade::RegisterCallbackFunction(RecordCallback);
    // Files wait and no archive holds them: a failed send, no request, no
    // time stored, the retry timer armed, and no callback (nothing went out).
    EXPECT_EQ(UT_SEND_NOT_DELIVERED,
              CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    ASSERT_TRUE(disk.IsFull());
    disk.SetFull(false);
    EXPECT_EQ(0, receiver.ArrivalCount());
    EXPECT_EQ(-1, StoredLastSend());
    EXPECT_TRUE(
        CUTTranscriptManager::PeekInstance()->timer(CUTTranscriptManager::RETRY_TIMER)->pending());
    EXPECT_TRUE(g_callbacks.Calls().empty());
    EXPECT_TRUE(PathExists(transcript));
    EXPECT_TRUE(ComponentFiles("", ".zip").empty());
    // Room again: the next cycle delivers it.
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    ASSERT_TRUE(receiver.WaitForRequests(1));
    EXPECT_EQ(std::vector<std::string>{"{A}.utt"}, ReceivedTranscripts({receiver.Requests()[0]}));
    EXPECT_FALSE(PathExists(transcript));
}

TEST_F(SendCycleTest, CleanUpDuringAHeldUploadReturnsAndKeepsWhatItGathered) {
    LocalReceiver receiver(ReceiverOptions{false, false, R"([{"hold": true}])", 0});
    Settings(receiver.HostUrl());
    LastSend(Now() - 2 * 86400);
    const std::string waiting = Transcript("{OTHER-SESSION}.utt");
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    // The interval has passed: the worker sends, and the server holds on.
    ASSERT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
    ASSERT_TRUE(receiver.WaitForArrivals(1));
    auto cleanup = std::async(std::launch::async, [] { return CUTFacade::CleanUp(); });
    ASSERT_EQ(std::future_status::ready, cleanup.wait_for(std::chrono::seconds(30)));
    EXPECT_EQ(UT_CLEANUP_OK, cleanup.get());
    EXPECT_TRUE(PathExists(waiting));
    EXPECT_TRUE(ComponentFiles("", ".zip").empty());
    receiver.Release();
}

// ---- the host's callback ----------------------------------------------------

namespace {

std::atomic<int> g_nested_status{0};
std::atomic<int> g_reentered{0};
const CUTProductInfo* g_product = nullptr;
const CUTUserInfo* g_user = nullptr;

// Asks for a synchronous send from inside the callback, once.
void SendFromCallback(bool delivered) {
    g_callbacks.Record(delivered);
    if (g_reentered.fetch_add(1) == 0) {
        g_nested_status.store(CUTFacade::GetUBInformation(g_product, g_user, kormTRUE));
    }
}

void ThrowingCallback(bool delivered) {
    g_callbacks.Record(delivered);
    throw std::runtime_error("a host that throws");
}

}  // namespace

TEST_F(SendCycleTest, CallbackMayAskForASendOnTheWorkerAndTheHostThread) {
    LocalReceiver receiver(ReceiverOptions{false, false, R"([{"http": 500}])", 0});
    Settings(receiver.HostUrl());
    LastSend(Now() - 2 * 86400);
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    g_product = host.product();
    g_user = host.user();
    CUTFacade::RegisterCallbackFunction(SendFromCallback);
    // The worker's cycle fails; its callback runs a synchronous send on the
    // worker's thread, which is delivered and calls nobody.
    ASSERT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
    ASSERT_TRUE(WaitFor([] { return g_nested_status.load() != 0; }));
    EXPECT_EQ(UT_SEND_OK, g_nested_status.load());
    EXPECT_EQ(std::vector<bool>{false}, g_callbacks.Calls());
    EXPECT_NE(std::this_thread::get_id(), g_callbacks.threads[0]);
    EXPECT_EQ(2, receiver.ArrivalCount());

    // On the host's thread: the callback runs before the call returns.
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    EXPECT_EQ((std::vector<bool>{false, true}), g_callbacks.Calls());
    EXPECT_EQ(std::this_thread::get_id(), g_callbacks.threads[1]);

    // A callback that throws changes nothing.
    CUTFacade::RegisterCallbackFunction(ThrowingCallback);
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    EXPECT_EQ((std::vector<bool>{false, true, true}), g_callbacks.Calls());
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
}

namespace {

std::atomic<int> g_cleanup_from_callback{0};
std::atomic<int> g_cleanup_calls{0};
std::atomic<bool> g_callback_entered{false};
std::atomic<bool> g_callback_may_return{false};

void CleanUpFromCallback(bool) {
    g_cleanup_from_callback.store(CUTFacade::CleanUp());
    g_cleanup_calls.fetch_add(1);
}

void BlockingCallback(bool) {
    g_callback_entered.store(true);
    WaitFor([] { return g_callback_may_return.load(); }, std::chrono::seconds(30));
}

}  // namespace

// CleanUp from the callback would join the worker from itself, or destroy
// the send the host's thread is inside of: it does nothing and says so. A
// callback that blocks holds a CleanUp on another thread until it returns.
TEST_F(SendCycleTest, CleanUpFromTheCallbackIsRefusedAndARunningCallbackIsWaitedFor) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    LastSend(Now() - 2 * 86400);
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    CUTFacade::RegisterCallbackFunction(CleanUpFromCallback);
    // On the worker.
    ASSERT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
    ASSERT_TRUE(WaitFor([] { return g_cleanup_calls.load() == 1; }));
    EXPECT_EQ(UT_CLEANUP_FROM_CALLBACK, g_cleanup_from_callback.load());
    // On the host's thread, inside a synchronous send.
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    EXPECT_EQ(2, g_cleanup_calls.load());
    EXPECT_EQ(UT_CLEANUP_FROM_CALLBACK, g_cleanup_from_callback.load());
    EXPECT_EQ(2, Lines("Error", "CleanUp called from the callback, nothing done"));
    // Still running: one more session works.
    EXPECT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());

    CUTFacade::RegisterCallbackFunction(BlockingCallback);
    LastSend(Now() - 2 * 86400);
    ASSERT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
    ASSERT_TRUE(WaitFor([] { return g_callback_entered.load(); }));
    std::future<UTStatus> cleanup =
        std::async(std::launch::async, [] { return CUTFacade::CleanUp(); });
    EXPECT_TRUE(WaitFor(
        [&] { return Lines("Info", "CleanUp waits for the host's callback to return") == 1; }));
    EXPECT_EQ(std::future_status::timeout, cleanup.wait_for(std::chrono::milliseconds(200)))
        << "CleanUp returned while the callback still ran";
    g_callback_may_return.store(true);
    EXPECT_EQ(UT_CLEANUP_OK, cleanup.get());
}

TEST_F(SendCycleTest, NoCallbackWithoutARequestOrOnceCleanUpHasBegun) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    LastSend(Now());
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTFacade::RegisterCallbackFunction(RecordCallback);
    HostObjects host;
    // Not the time: no request, no call.
    ASSERT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
    ASSERT_TRUE(WaitFor([&] { return Lines("Info", "Not the Time to send. ") == 1; }));
    EXPECT_TRUE(g_callbacks.Calls().empty());
    EXPECT_EQ(0, receiver.ArrivalCount());
}

// An upload that CleanUp ends is reported to nobody: the callback could
// reach managers that are being destroyed.
TEST_F(SendCycleTest, NoCallbackForAnUploadThatCleanUpEnds) {
    LocalReceiver receiver(ReceiverOptions{false, false, R"([{"hold": true}])", 0});
    Settings(receiver.HostUrl());
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTFacade::RegisterCallbackFunction(RecordCallback);
    HostObjects host;
    std::future<UTStatus> send = std::async(std::launch::async, [&host] {
        return CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE);
    });
    ASSERT_TRUE(receiver.WaitForArrivals(1));
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    EXPECT_EQ(UT_SEND_NOT_DELIVERED, send.get());
    EXPECT_TRUE(g_callbacks.Calls().empty());
    receiver.Release();
}

// ---- several processes ------------------------------------------------------

namespace {

// One host process: a session with a transcript, then a send once the go
// file exists: synchronous, or by its worker woken as by the retry timer.
int HostProcess(const std::string& go, bool synchronous) {
    if (CUTFacade::InitUTComponent() != UT_INIT_OK) {
        return 10;
    }
    HostObjects host;
    // The hand-over: asks the worker (a send is on record).
    if (CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE) != UT_SEND_OK) {
        return 11;
    }
    if (CUTFacade::LogUsageData() != UT_LOG_USAGE_OK) {
        return 12;
    }
    if (!WaitFor([&go] { return PathExists(go); })) {
        return 13;
    }
    if (synchronous) {
        if (CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE) != UT_SEND_OK) {
            return 14;
        }
    } else {
        const std::string log = ToUtf8(CUTConfigManager::PeekInstance()->GetLogFilePath());
        const auto deliveries = [&log] {
            size_t count = 0;
            for (const tvut_test::LogLine& line : tvut_test::ReadLogLines(log)) {
                if (line.pid == ::getpid() && line.message == "Send Payload Success!") {
                    ++count;
                }
            }
            return count;
        };
        // The hand-over's own send may have delivered already; CleanUp must
        // not cut the retry's upload short, or it lets go of the lock early.
        const size_t before = deliveries();
        // A retry wakes the worker, which sends whatever the last send time.
        CUTTranscriptManager::PeekInstance()->handle_timeout(CUTTranscriptManager::RETRY_TIMER);
        if (!WaitFor([&] { return deliveries() > before; })) {
            return 15;
        }
    }
    return CUTFacade::CleanUp() == UT_CLEANUP_OK ? 0 : 16;
}

}  // namespace

TEST_F(SendCycleTest, UploadsOfSeveralProcessesNeverOverlapAndDeliverEverything) {
    // Each reply takes a while, so uploads that could overlap would.
    LocalReceiver receiver(
        ReceiverOptions{false, false, R"([{"delay": 0.3, "default": true}])", 0});
    Settings(receiver.HostUrl());
    // A recent send: the hand-overs' scheduled checks send nothing, so every
    // upload is one the test asked for and none is cut short by a CleanUp.
    LastSend(Now());
    const std::string go = roots_.folder().Join("go");
    std::vector<ChildProcess> hosts;
    hosts.emplace_back([&go] { return HostProcess(go, true); });
    hosts.emplace_back([&go] { return HostProcess(go, true); });
    hosts.emplace_back([&go] { return HostProcess(go, false); });
    // Every host has its session's transcript on disk.
    ASSERT_TRUE(WaitFor([this] {
        return CUTPendingTranscripts(FromUtf8(ComponentFolder())).ListTranscripts().size() == 3;
    }));
    const std::vector<std::wstring> sessions =
        CUTPendingTranscripts(FromUtf8(ComponentFolder())).ListTranscripts();
    ASSERT_TRUE(tvut_test::WriteFile(go, "go"));
    for (ChildProcess& host : hosts) {
        EXPECT_EQ(0, host.Wait());
    }
    // Each CleanUp wrote its session's final transcript: one more cycle.
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));

    // The receiver stores a request after its reply has gone out.
    ASSERT_TRUE(WaitFor([&receiver] {
        return static_cast<int>(receiver.Requests().size()) == receiver.ArrivalCount();
    }));
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    ASSERT_GE(requests.size(), 4u);
    // The receiver stamps a request's end only after its reply has gone
    // out and the request is stored, so a sender holding its answer may
    // rightly begin the next upload before that stamp. What one upload at a
    // time does guarantee: the next upload begins only after the previous
    // body was in and its 0.3 s reply delay had passed.
    const std::map<int, int64_t> arrivals = receiver.ArrivalTimes();
    const std::vector<ReceivedRequest> by_start = tvut_test::ByStart(requests);
    for (size_t i = 1; i < by_start.size(); ++i) {
        const ReceivedRequest& before = by_start[i - 1];
        // An upload that a host's CleanUp abandoned ended for the host when
        // it went; the receiver only notices once its delay is over.
        if (before.reply.find("client gone") != std::string::npos) {
            continue;
        }
        ASSERT_EQ(1u, arrivals.count(before.index));
        EXPECT_GE(by_start[i].start_ns - arrivals.at(before.index), 300 * 1000 * 1000)
            << "upload " << by_start[i].index << " began while upload " << before.index
            << " waited for its reply";
    }
    const std::vector<std::string> received = ReceivedTranscripts(requests);
    for (const std::wstring& session : sessions) {
        EXPECT_NE(received.end(),
                  std::find(received.begin(), received.end(), NameOf(ToUtf8(session))))
            << ToUtf8(session);
    }
    // Nothing waits any more but this process's own session.
    EXPECT_LE(CUTPendingTranscripts(FromUtf8(ComponentFolder())).ListTranscripts().size(), 1u);
    EXPECT_TRUE(ComponentFiles("", ".zip").empty());
}
