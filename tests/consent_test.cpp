// The user's consent and the host's thread: what revoking removes and stops,
// in this process and in another, what giving it back restores, and how long
// a send may hold the thread that asked for it. Real files in scratch roots,
// the local receiver on 127.0.0.1, real child processes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
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
#include "manager/UTTranscriptManager.h"
#include "platform/UTNamedLock.h"
#include "support/ChildProcess.h"
#include "support/HostObjects.h"
#include "support/LocalReceiver.h"
#include "support/LogLines.h"
#include "support/ScratchRoots.h"
#include "support/TranscriptFiles.h"
#include "support/WaitFor.h"

using tvut_test::ChildProcess;
using tvut_test::LocalReceiver;
using tvut_test::PathExists;
using tvut_test::ReceiverOptions;
using tvut_test::ScratchRoots;
using tvut_test::WaitFor;

namespace {

// The product "LINE" release "7" and a user, as a host hands them over.
class HostObjects : public tvut_test::HostObjects {
public:
    explicit HostObjects(const char16_t* program_type = nullptr)
        : tvut_test::HostObjects(u"7", u"F", program_type) {}
};

// What the host's callback heard, from any thread.
std::mutex g_callback_mutex;
std::vector<bool> g_callbacks;
void RecordCallback(bool delivered) {
    std::lock_guard<std::mutex> guard(g_callback_mutex);
    g_callbacks.push_back(delivered);
}
std::vector<bool> Callbacks() {
    std::lock_guard<std::mutex> guard(g_callback_mutex);
    return g_callbacks;
}

std::wstring StoredUserValue(const wchar_t* name) {
    CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
    std::wstring value;
    if (!user.Load() || !user.GetValue(name, false, &value)) {
        return L"(none)";
    }
    return value;
}

// One-way steps between a test and its child, a byte each. Once forked,
// each side closes the end it does not use, so that a reader sees the
// other side's end (a child that failed) instead of waiting for ever.
class Pipe {
public:
    Pipe() {
        if (::pipe(fds_) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~Pipe() {
        CloseReadEnd();
        CloseWriteEnd();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void CloseReadEnd() { Close(&fds_[0]); }
    void CloseWriteEnd() { Close(&fds_[1]); }
    bool Send(char c) const { return ::write(fds_[1], &c, 1) == 1; }
    // The next byte; 0 when the other side is gone.
    char Receive() const {
        char c = 0;
        return ::read(fds_[0], &c, 1) == 1 ? c : 0;
    }

private:
    static void Close(int* fd) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    int fds_[2];
};

class ConsentTest : public ::testing::Test {
protected:
    void TearDown() override {
        CUTFacade::RegisterCallbackFunction(nullptr);
        CUTFacade::CleanUp();
    }

    // Logging on, timers that do not fire during a test, uploads to host.
    static void Settings(const std::string& host,
                         const std::vector<std::pair<std::wstring, std::wstring>>& extra = {}) {
        std::vector<std::pair<std::wstring, std::wstring>> items =
            tvut_test::SendOnlyWhenAskedSettings(host);
        items.insert(items.end(), {{L"EnableLogging", L"1"}, {L"LogLevel", L"5"}});
        items.insert(items.end(), extra.begin(), extra.end());
        ASSERT_TRUE(tvut_test::WriteMachineSettings(items));
    }
    static void MakeFolders(const std::string& path) {
        for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
            ::mkdir(path.substr(0, at).c_str(), 0700);
        }
        ::mkdir(path.c_str(), 0700);
    }
    std::string TranscriptFolder(const std::string& product = "LINE_7") const {
        return roots_.pi_ud_folder() + "/" + product + "/Transcripts";
    }
    std::vector<std::string> Transcripts(const std::string& product = "LINE_7") const {
        return tvut_test::ListTranscriptFolder(TranscriptFolder(product)).transcripts;
    }
    // A pending transcript of product, as the serializer stores it.
    std::string PlantTranscript(const std::string& name, const std::string& product) const {
        MakeFolders(TranscriptFolder(product));
        std::string xml = "<transcript session=\"" + name + "\"></transcript>";
        ScrambleBytes(&xml);
        const std::string path = TranscriptFolder(product) + "/" + name;
        EXPECT_TRUE(tvut_test::WriteFile(path, xml));
        return path;
    }
    std::string Log() const { return roots_.pi_ud_folder() + "/TVUTLog.log"; }

    ScratchRoots roots_;
};

}  // namespace

// Revoking removes everything that waits to be sent (every product's
// transcripts, upload archives, archived logs) and stops writing and sending
// until consent is given again, across sessions; logins keep working.
TEST_F(ConsentTest, RevokingRemovesWhatWaitsAndStopsTrackingUntilGivenAgain) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl());
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_EQ(-1, CUTFacade::GetUsageConsent()) << "never decided";
    HostObjects host;
    ASSERT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE))
        << "never decided: tracking runs";
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    ASSERT_EQ(1u, Transcripts().size());

    const std::vector<std::string> planted = {
        PlantTranscript("{OTHER}.utt", "OTHER_3"),
        roots_.pi_ud_folder() + "/{0A1B2C3D-0000-4000-8000-00000000000A}.zip",
        roots_.pi_ud_folder() + "/TVUT_20261210101010.log",
    };
    ASSERT_TRUE(tvut_test::WriteFile(planted[1], "PK"));
    ASSERT_TRUE(tvut_test::WriteFile(planted[2], "an archived log"));
    const std::string kept = roots_.pi_ud_folder() + "/notes.txt";
    ASSERT_TRUE(tvut_test::WriteFile(kept, "not ours to remove"));

    EXPECT_EQ(UT_CONSENT_STORED, CUTFacade::SetUsageConsent(kormFALSE));
    EXPECT_EQ(0, CUTFacade::GetUsageConsent());
    EXPECT_EQ(L"0", StoredUserValue(L"UsageConsent"));
    EXPECT_TRUE(Transcripts().empty());
    for (const std::string& path : planted) {
        EXPECT_FALSE(PathExists(path)) << path;
    }
    EXPECT_TRUE(PathExists(kept)) << "only pending files are removed";

    EXPECT_EQ(UT_TRACKING_OFF, CUTFacade::LogUsageData());
    EXPECT_EQ(UT_TRACKING_OFF, CUTFacade::OnCrash());
    {
        HostObjects terminal(u"TERM");
        terminal.user()->SetLogin(kormSTRING{const_cast<kormCHAR*>(u"still-logged-in"), -1});
        EXPECT_EQ(UT_TRACKING_OFF,
                  CUTFacade::GetUBInformation(terminal.product(), terminal.user(), kormTRUE));
        EXPECT_EQ(UT_TRACKING_OFF,
                  CUTFacade::GetUBInformation(terminal.product(), terminal.user(), kormFALSE));
        EXPECT_EQ(L"still-logged-in",
                  CUTConfigManager::PeekInstance()->Runtime()->GetText(UTSessionText::Login))
            << "the hand-over still happens";
    }
    EXPECT_EQ(2, tvut_test::CountLogLines(
                     Log(), "Info", "Tracking is off (the user revoked consent), nothing is sent"))
        << "said at each hand-over";
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    EXPECT_TRUE(Transcripts().empty()) << "the last write at CleanUp is skipped too";
    EXPECT_EQ(1, receiver.ArrivalCount());

    // Any value but kormTRUE keeps it revoked.
    EXPECT_EQ(UT_CONSENT_STORED, CUTFacade::SetUsageConsent(static_cast<kormBOOLEAN>(2)));
    EXPECT_EQ(0, CUTFacade::GetUsageConsent());

    // The decision outlives the session.
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_EQ(UT_TRACKING_OFF, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    EXPECT_EQ(UT_TRACKING_OFF, CUTFacade::LogUsageData());

    EXPECT_EQ(UT_CONSENT_STORED, CUTFacade::SetUsageConsent(kormTRUE));
    EXPECT_EQ(1, CUTFacade::GetUsageConsent());
    EXPECT_EQ(L"1", StoredUserValue(L"UsageConsent"));
    EXPECT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    EXPECT_EQ(1u, Transcripts().size());
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    ASSERT_TRUE(receiver.WaitForArrivals(2));
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    EXPECT_EQ(1u, Transcripts().size()) << "CleanUp writes the session again";
}

// A decision saved by one process holds for a session already under way in
// another: its transcript goes at once, its next writes are skipped, and it
// records again once consent is given back.
TEST_F(ConsentTest, DecisionOfOneProcessHoldsInAnother) {
    Settings(tvut_test::kNoServerHost);
    Pipe to_child;
    Pipe to_parent;
    ChildProcess child([&]() {
        to_child.CloseWriteEnd();
        to_parent.CloseReadEnd();
        if (CUTFacade::InitUTComponent() != UT_INIT_OK) {
            return 10;
        }
        HostObjects host;
        if (CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE) !=
                UT_SEND_NOT_DELIVERED ||
            CUTFacade::LogUsageData() != UT_LOG_USAGE_OK) {
            return 11;
        }
        to_parent.Send('w');  // written
        if (to_child.Receive() != 'r') {
            return 12;
        }
        if (CUTFacade::LogUsageData() != UT_TRACKING_OFF ||
            CUTFacade::OnCrash() != UT_TRACKING_OFF) {
            return 13;
        }
        to_parent.Send('s');  // skipped
        if (to_child.Receive() != 'g') {
            return 14;
        }
        if (CUTFacade::LogUsageData() != UT_LOG_USAGE_OK) {
            return 15;
        }
        return CUTFacade::CleanUp() == UT_CLEANUP_OK ? 0 : 16;
    });

    to_child.CloseReadEnd();
    to_parent.CloseWriteEnd();
    ASSERT_EQ('w', to_parent.Receive());
    ASSERT_EQ(1u, Transcripts().size());
    // This process never initialised: the decision works at any time.
    EXPECT_EQ(UT_CONSENT_STORED, CUTFacade::SetUsageConsent(kormFALSE));
    EXPECT_TRUE(Transcripts().empty()) << "the other process's transcript is removed";
    ASSERT_TRUE(to_child.Send('r'));
    ASSERT_EQ('s', to_parent.Receive());
    EXPECT_TRUE(Transcripts().empty()) << "the other process wrote nothing";
    EXPECT_EQ(UT_CONSENT_STORED, CUTFacade::SetUsageConsent(kormTRUE));
    ASSERT_TRUE(to_child.Send('g'));
    EXPECT_EQ(0, child.Wait());
    EXPECT_EQ(1u, Transcripts().size());
}

// A consent that cannot be saved says so; a revocation still removes what
// waits, since the user said no.
TEST_F(ConsentTest, UnsavableDecisionIsReported) {
    Settings(tvut_test::kNoServerHost);
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE);
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    const std::string user_file = roots_.pi_ud_folder() + "/ProdInd_UserDep.cur";
    const std::string saved = user_file + ".saved";
    ASSERT_EQ(0, ::rename(user_file.c_str(), saved.c_str()));
    ASSERT_EQ(0, ::mkdir(user_file.c_str(), 0700)) << "a folder where the file should be";
    EXPECT_EQ(UT_CONSENT_NOT_STORED, CUTFacade::SetUsageConsent(kormFALSE));
    EXPECT_TRUE(Transcripts().empty());
    EXPECT_EQ(UT_TRACKING_OFF, CUTFacade::LogUsageData()) << "off for this process still";
    EXPECT_EQ(UT_CONSENT_NOT_STORED, CUTFacade::SetUsageConsent(kormTRUE));
    ASSERT_EQ(0, ::rmdir(user_file.c_str()));
    ASSERT_EQ(0, ::rename(saved.c_str(), user_file.c_str()));
}

namespace {

class HostThreadTest : public ConsentTest {
protected:
    // A hand-over of the product on a thread of its own, as a host's UI
    // thread would make it: its status, or none when it had not returned
    // after a minute (far past every bound); then unstick() makes it end, so
    // that a fault shows as a failure and not as a test that never ends.
    static std::optional<UTStatus> HandOver(kormBOOLEAN synchronous,
                                            const std::function<void()>& unstick) {
        std::promise<UTStatus> result;
        std::thread host_thread([&result, synchronous] {
            HostObjects host;
            result.set_value(CUTFacade::GetUBInformation(host.product(), host.user(), synchronous));
        });
        std::future<UTStatus> status = result.get_future();
        const bool returned = status.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
        if (!returned) {
            unstick();
        }
        host_thread.join();
        return returned ? std::optional<UTStatus>(status.get()) : std::nullopt;
    }

    // A receiver that replies as script says, a worker without a time-out,
    // one transcript waiting (its path in *waiting), tvUT started with the
    // callback recorded.
    std::unique_ptr<LocalReceiver> StartWithUnboundedWorker(const char* script,
                                                            std::string* waiting) {
        ReceiverOptions options;
        options.script_json = script;
        std::unique_ptr<LocalReceiver> receiver(new LocalReceiver(options));
        Settings(receiver->HostUrl(), {{L"CommunicationTimeOut", L"0"}});
        *waiting = PlantTranscript("{WAITING}.utt", "LINE_7");
        EXPECT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
        CUTFacade::RegisterCallbackFunction(RecordCallback);
        return receiver;
    }
};

}  // namespace

// The first send the host did not ask for waits at most 3 s for a server
// that holds its reply, then goes on in the background and is delivered.
TEST_F(HostThreadTest, FirstSendNotAskedForReturnsAndIsDeliveredInTheBackground) {
    std::string waiting;
    const std::unique_ptr<LocalReceiver> started =
        StartWithUnboundedWorker(R"([{"hold": true}])", &waiting);
    LocalReceiver& receiver = *started;
    EXPECT_EQ(UT_SEND_OK, HandOver(kormFALSE, [&receiver] { receiver.Release(); }));
    // Returned while the server still holds the reply.
    EXPECT_EQ(1, receiver.ArrivalCount());
    EXPECT_EQ(0, receiver.StoredCount());
    EXPECT_TRUE(PathExists(waiting));
    EXPECT_EQ(L"-1", StoredUserValue(L"LastSendTimestamp"));
    EXPECT_EQ(1, tvut_test::CountLogLines(Log(), "Info", "The send goes on in the background"));

    receiver.Release();
    ASSERT_TRUE(WaitFor([&] { return !Callbacks().empty(); }));
    EXPECT_EQ(std::vector<bool>{true}, Callbacks());
    EXPECT_FALSE(PathExists(waiting));
    EXPECT_NE(L"-1", StoredUserValue(L"LastSendTimestamp"));
    ASSERT_TRUE(receiver.WaitForRequests(1));
    EXPECT_EQ(1u, receiver.Requests()[0].transcripts.count("{WAITING}.utt"));
}

// Revoking ends an upload that would otherwise never end (a server that
// never answers, a worker without a time-out).
TEST_F(HostThreadTest, RevokingEndsAnUploadInProgress) {
    std::string waiting;
    const std::unique_ptr<LocalReceiver> started =
        StartWithUnboundedWorker(R"([{"hang": true}])", &waiting);
    LocalReceiver& receiver = *started;
    ASSERT_EQ(UT_SEND_OK, HandOver(kormFALSE, [&receiver] { receiver.Stop(); }));
    ASSERT_EQ(1, receiver.ArrivalCount());
    EXPECT_TRUE(Callbacks().empty()) << "still under way";

    EXPECT_EQ(UT_CONSENT_STORED, CUTFacade::SetUsageConsent(kormFALSE));
    ASSERT_TRUE(WaitFor([&] { return !Callbacks().empty(); }));
    EXPECT_EQ(std::vector<bool>{false}, Callbacks());
    EXPECT_FALSE(PathExists(waiting));
    EXPECT_EQ(1, tvut_test::CountLogLines(Log(), "Error",
                                          "Payload transmission stopped: tracking is off"));
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    EXPECT_TRUE(Transcripts().empty());
    EXPECT_EQ(1, receiver.ArrivalCount()) << "no retry";
}

// A send the host asked for keeps a time-out on the host's thread even where
// the setting means "no bound" for the worker.
TEST_F(HostThreadTest, AskedSendWithAShortTimeOutStillReturns) {
    ReceiverOptions options;
    options.script_json = R"([{"hang": true}])";
    LocalReceiver receiver(options);
    Settings(receiver.HostUrl(), {{L"CommunicationTimeOut", L"500"}});
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_EQ(UT_SEND_NOT_DELIVERED, HandOver(kormTRUE, [&receiver] { receiver.Stop(); }));
    EXPECT_EQ(1, receiver.ArrivalCount());
}

// Another process's upload holds the user's sending lock (here a process
// that never lets go): a send the host asked for gives up when its bound is
// over instead of queueing behind it.
TEST_F(HostThreadTest, AskedSendDoesNotQueueBehindAnotherProcessesSend) {
    LocalReceiver receiver;
    Settings(receiver.HostUrl(), {{L"CommunicationTimeOut", L"1000"}});
    Pipe to_child;
    Pipe to_parent;
    ChildProcess holder([&]() {
        to_child.CloseWriteEnd();
        to_parent.CloseReadEnd();
        CUTNamedLockGuard lock(CUTTranscriptManager::kSendingLockName);
        if (!lock.IsHeld()) {
            return 1;
        }
        to_parent.Send('h');
        to_child.Receive();
        return 0;
    });
    to_child.CloseReadEnd();
    to_parent.CloseWriteEnd();
    ASSERT_EQ('h', to_parent.Receive());
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_EQ(UT_SEND_NOT_DELIVERED, HandOver(kormTRUE, [&] { to_child.Send('x'); }));
    EXPECT_EQ(1,
              tvut_test::CountLogLines(
                  Log(), "Error",
                  "Another send of this user held the sending lock for 1000 ms: nothing is sent"));
    EXPECT_EQ(0, receiver.ArrivalCount());

    // Once the lock is free, the same call sends.
    ASSERT_TRUE(to_child.Send('x'));
    EXPECT_EQ(0, holder.Wait());
    EXPECT_EQ(UT_SEND_OK, HandOver(kormTRUE, [&receiver] { receiver.Stop(); }));
    EXPECT_EQ(1, receiver.ArrivalCount());
}
