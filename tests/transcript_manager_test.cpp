// The transcript manager's daemon thread, wake-up event and timers, observed
// through the diagnostic log and through the process() observer. Timers run
// at 1 second from the settings; every wait has a generous upper bound, and
// a timer never fires early, so lower bounds on elapsed time are exact.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cwchar>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <tvUT/UTFacade.h>

#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "info/UTProductInfoImp.h"
#include "manager/UTTimer.h"
#include "manager/UTTranscriptManager.h"
#include "support/HostText.h"
#include "support/ScratchRoots.h"
#include "support/ThreadCount.h"

using tvut_test::ScratchRoots;
using tvut_test::ThreadCount;
using tvut_test::WaitFor;

namespace {

using Clock = std::chrono::steady_clock;

kormSTRING Text(const kormCHAR* text) {
    return kormSTRING{const_cast<kormCHAR*>(text), -1};
}

struct Call {
    int reason;
    bool on_daemon;  // false: on the test's own thread
    Clock::time_point at;
};

// Records every process() call. Calls on other threads than the test's (the
// daemon thread) can be held: each needs a ticket to return.
class ProcessCalls {
public:
    ProcessCalls() : test_thread_(std::this_thread::get_id()) {
        CUTTranscriptManager::SetProcessObserver([this](int reason) { Record(reason); });
    }
    ~ProcessCalls() { CUTTranscriptManager::SetProcessObserver(nullptr); }

    void Hold() {
        std::lock_guard<std::mutex> guard(mutex_);
        tickets_ = 0;
    }
    void Release(int tickets = INT_MAX / 2) {
        std::lock_guard<std::mutex> guard(mutex_);
        tickets_ = tickets;
        changed_.notify_all();
    }
    bool WaitForDaemonCalls(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return DaemonReasonsLocked().size() >= count; });
    }
    std::vector<int> DaemonReasons() {
        std::lock_guard<std::mutex> guard(mutex_);
        return DaemonReasonsLocked();
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }

private:
    void Record(int reason) {
        const bool on_daemon = std::this_thread::get_id() != test_thread_;
        std::unique_lock<std::mutex> lock(mutex_);
        calls_.push_back(Call{reason, on_daemon, Clock::now()});
        changed_.notify_all();
        if (on_daemon) {
            changed_.wait(lock, [this] { return tickets_ > 0; });
            --tickets_;
        }
    }
    std::vector<int> DaemonReasonsLocked() const {
        std::vector<int> reasons;
        for (const Call& call : calls_) {
            if (call.on_daemon) {
                reasons.push_back(call.reason);
            }
        }
        return reasons;
    }

    const std::thread::id test_thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    int tickets_ = INT_MAX / 2;
};

// The messages of the log, with their level names, in order.
struct LogLine {
    std::string level;
    std::string message;
};

class TranscriptManagerTest : public ::testing::Test {
protected:
    void TearDown() override {
        CUTTranscriptManager::DestroyInstance();
        CUTConfigManager::DestroyInstance();
    }

    // Machine-wide settings, written before the managers read them; logging
    // at the detail level.
    void Settings(const std::map<std::wstring, std::wstring>& values) {
        CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
        ASSERT_TRUE(machine.Load());
        machine.SetValue(L"EnableLogging", L"1", false);
        machine.SetValue(L"LogLevel", L"5", false);
        for (const auto& value : values) {
            machine.SetValue(value.first, value.second, false);
        }
        ASSERT_TRUE(machine.Save());
    }
    void TimersAt(const std::wstring& check, const std::wstring& retry_times = L"3") {
        Settings({{L"CommunicationCheckTime", check},
                  {L"CommunicationRetryWaitTime", L"1000"},
                  {L"CommunicationServerRestartWaitTime", L"1000"},
                  {L"CommunicationRetryTimes", retry_times}});
    }
    // What GetUBInformation does first: the product's information arrives.
    void HandOverProduct() {
        CUTProductInfo* product = CUTProductInfo::Create();
        product->SetProductLineId(Text(HOST_TEXT("LINE")));
        product->SetReleaseId(Text(HOST_TEXT("7")));
        product->SetReleaseType(Text(HOST_TEXT("F")));
        TelvoranUserInfo user;
        CUTConfigManager::GetInstance()->HandOverProduct(product, &user);
        product->Dispose();
        ASSERT_TRUE(CUTConfigManager::GetInstance()->IsProductInitialised());
    }
    CUTTranscriptManager* Manager() {
        CUTTranscriptManager* manager = CUTTranscriptManager::GetInstance();
        EXPECT_NE(nullptr, manager);
        return manager;
    }

    std::vector<LogLine> Log() const {
        std::vector<LogLine> lines;
        std::istringstream in(tvut_test::ReadFile(roots_.pi_ud_folder() + "/TVUTLog.log"));
        for (std::string line; std::getline(in, line);) {
            // "<level> | <time> | pid:<pid> | tid:<tid> | <message>"
            size_t at = 0;
            for (int i = 0; i < 4 && at != std::string::npos; ++i) {
                at = line.find(" | ", at == 0 ? 0 : at + 3);
            }
            if (at == std::string::npos) {
                continue;
            }
            lines.push_back(LogLine{line.substr(0, line.find(' ')), line.substr(at + 3)});
        }
        return lines;
    }
    int CountLines(const std::string& level, const std::string& message) const {
        int count = 0;
        for (const LogLine& line : Log()) {
            count += line.level == level && line.message == message ? 1 : 0;
        }
        return count;
    }
    bool WaitForLine(const std::string& level, const std::string& message, int count = 1) {
        return WaitFor([&] { return CountLines(level, message) >= count; });
    }

    ScratchRoots roots_;
};

}  // namespace

TEST_F(TranscriptManagerTest, FirstScheduledCheckComesOneIntervalAfterConstruction) {
    TimersAt(L"1000");
    HandOverProduct();
    ProcessCalls calls;
    const Clock::time_point constructed = Clock::now();
    Manager();
    ASSERT_TRUE(calls.WaitForDaemonCalls(1));
    const Call first = calls.Calls().front();
    EXPECT_TRUE(first.on_daemon);
    EXPECT_EQ(UT_SEND_REASON_CHECK, first.reason);
    EXPECT_GE(first.at - constructed, std::chrono::seconds(1)) << "nothing runs at once";
    EXPECT_TRUE(
        WaitForLine("Devdbg", "Timer ID 1 start the work thread!! Wait Time Duration 1 seconds"));
    EXPECT_TRUE(WaitForLine("Devdbg", "CUTTranscriptManager::handle_timeout(TimerID=1)"));
    EXPECT_TRUE(WaitForLine("Devdbg", "API Manager daemon thread wake up"));
    EXPECT_TRUE(WaitForLine("Devdbg", "CUTTranscriptManager::process() m_reason=3"));
    // The check timer repeats.
    ASSERT_TRUE(calls.WaitForDaemonCalls(2));
}

TEST_F(TranscriptManagerTest, TimerDurationsComeFromTheSettingsInWholeSeconds) {
    const struct {
        const wchar_t* setting;
        int seconds[3];  // check, retry and restart timer
    } cases[] = {
        {L"1500", {1, 1, 1}},
        {L"2999", {2, 2, 2}},
        // Below 1 second a timer would expire at once, and the check timer
        // would spin.
        {L"999", {1, 1, 1}},
        {L"0", {1, 1, 1}},
        // Repaired to each item's default first.
        {L"-7", {3600, 300, 900}},
        // Beyond the int range after the division.
        {L"5000000000000", {INT_MAX, INT_MAX, INT_MAX}},
        {L"9223372036854775807", {INT_MAX, INT_MAX, INT_MAX}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.setting, c.setting + wcslen(c.setting)));
        Settings({{L"CommunicationCheckTime", c.setting},
                  {L"CommunicationRetryWaitTime", c.setting},
                  {L"CommunicationServerRestartWaitTime", c.setting}});
        const std::string line = "Timer ID 1 start the work thread!! Wait Time Duration " +
                                 std::to_string(c.seconds[0]) + " seconds";
        const int before = CountLines("Devdbg", line);
        CUTTranscriptManager* manager = Manager();
        ASSERT_NE(nullptr, manager);
        for (int id : {1, 2, 3}) {
            ASSERT_NE(nullptr, manager->timer(id));
            EXPECT_EQ(c.seconds[id - 1], manager->timer(id)->duration()) << id;
        }
        EXPECT_EQ(before + 1, CountLines("Devdbg", line));
        CUTTranscriptManager::DestroyInstance();
        CUTConfigManager::DestroyInstance();
    }
}

TEST_F(TranscriptManagerTest, RetrySeriesWakesWithReasonFourThenOnlyRefills) {
    const struct {
        const wchar_t* retry_times;
        int refilled_from;  // the setting when the series ends
        int wakes;
    } cases[] = {
        {L"3", 3, 3},
        // No retries: the first expiry only refills, from the current value.
        {L"0", 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wakes);
        TimersAt(L"3600000", c.retry_times);
        HandOverProduct();
        const int expiries_before =
            CountLines("Devdbg", "CUTTranscriptManager::handle_timeout(TimerID=2)");
        ProcessCalls calls;
        CUTTranscriptManager* manager = Manager();
        ASSERT_NE(nullptr, manager);
        CUTConfigManager::GetInstance()->Store()->SetInt(L"CommunicationRetryTimes",
                                                         c.refilled_from, false);
        // What the send cycle does after each failed upload.
        for (int i = 1; i <= c.wakes; ++i) {
            manager->timer(CUTTranscriptManager::RETRY_TIMER)->start();
            ASSERT_TRUE(calls.WaitForDaemonCalls(i));
            EXPECT_EQ(c.wakes - i, CUTTranscriptManager::retriesLeft.load());
        }
        manager->timer(CUTTranscriptManager::RETRY_TIMER)->start();
        ASSERT_TRUE(WaitForLine("Devdbg", "CUTTranscriptManager::handle_timeout(TimerID=2)",
                                expiries_before + c.wakes + 1));
        ASSERT_TRUE(
            WaitFor([&] { return CUTTranscriptManager::retriesLeft.load() == c.refilled_from; }));
        // Anything the last expiry woke would come before this request.
        EXPECT_EQ(0, manager->OnSendNow());
        ASSERT_TRUE(calls.WaitForDaemonCalls(c.wakes + 1));
        std::vector<int> expected(c.wakes, UT_SEND_REASON_RETRY);
        expected.push_back(UT_SEND_REASON_CHECK);
        EXPECT_EQ(expected, calls.DaemonReasons());
        CUTTranscriptManager::DestroyInstance();
        CUTConfigManager::DestroyInstance();
    }
}

TEST_F(TranscriptManagerTest, ExpiriesBeforeTheProductHandOverOnlyLog) {
    TimersAt(L"1000");
    ProcessCalls calls;
    CUTTranscriptManager* manager = Manager();
    ASSERT_NE(nullptr, manager);
    manager->timer(CUTTranscriptManager::RETRY_TIMER)->start();
    manager->timer(CUTTranscriptManager::RESTART_TIMER)->start();
    for (int id : {1, 2, 3}) {
        EXPECT_TRUE(WaitForLine(
            "Devdbg", "CUTTranscriptManager::handle_timeout(TimerID=" + std::to_string(id) +
                          ") product information is not initialised, "
                          "nothing to do"));
    }
    EXPECT_EQ(3, CUTTranscriptManager::retriesLeft.load());
    EXPECT_EQ(UT_SEND_REASON_FORCED, manager->reason());
    EXPECT_EQ(0, manager->OnSendNow());
    ASSERT_TRUE(calls.WaitForDaemonCalls(1));
    EXPECT_EQ(std::vector<int>{UT_SEND_REASON_CHECK}, calls.DaemonReasons());
}

TEST_F(TranscriptManagerTest, RestartExpiryWakesWithReasonFiveAndLeavesTheRetries) {
    TimersAt(L"3600000");
    HandOverProduct();
    ProcessCalls calls;
    CUTTranscriptManager* manager = Manager();
    ASSERT_NE(nullptr, manager);
    manager->timer(CUTTranscriptManager::RESTART_TIMER)->start();
    ASSERT_TRUE(calls.WaitForDaemonCalls(1));
    EXPECT_EQ(std::vector<int>{UT_SEND_REASON_RESTART}, calls.DaemonReasons());
    EXPECT_EQ(3, CUTTranscriptManager::retriesLeft.load());
    // An id of no timer wakes the worker with the reason it has.
    manager->handle_timeout(7);
    ASSERT_TRUE(calls.WaitForDaemonCalls(2));
    EXPECT_EQ(UT_SEND_REASON_RESTART, calls.DaemonReasons().back());
}

TEST_F(TranscriptManagerTest, RequestsWhileTheWorkerIsBusyCollapseIntoOneWakeUp) {
    TimersAt(L"3600000");
    HandOverProduct();
    ProcessCalls calls;
    calls.Hold();
    CUTTranscriptManager* manager = Manager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(0, manager->OnSendNow());
    ASSERT_TRUE(calls.WaitForDaemonCalls(1));
    // The worker is busy: requests from many host threads at once.
    std::vector<std::thread> hosts;
    for (int t = 0; t < 8; ++t) {
        hosts.emplace_back([manager] {
            for (int i = 0; i < 100; ++i) {
                manager->OnSendNow();
            }
        });
    }
    for (std::thread& host : hosts) {
        host.join();
    }
    calls.Release(1);
    ASSERT_TRUE(calls.WaitForDaemonCalls(2));
    // While the second run is held, the reason becomes 2 on this thread: a
    // third wake-up left over from the storm would run with it. Not the time
    // to send: 300.
    EXPECT_EQ(UT_SEND_OK, manager->sendSynchronously(UT_SEND_REASON_NO_SEND));
    calls.Release();
    EXPECT_EQ(0, manager->OnSendNow());
    ASSERT_TRUE(calls.WaitForDaemonCalls(3));
    CUTTranscriptManager::DestroyInstance();
    const std::vector<int> expected = {UT_SEND_REASON_CHECK, UT_SEND_REASON_CHECK,
                                       UT_SEND_REASON_CHECK};
    EXPECT_EQ(expected, calls.DaemonReasons());
}

TEST_F(TranscriptManagerTest, SynchronousSendRunsOnTheCallersThread) {
    TimersAt(L"3600000");
    ProcessCalls calls;
    CUTTranscriptManager* manager = Manager();
    ASSERT_NE(nullptr, manager);
    // A forced send to the scratch settings' server, which is not there.
    EXPECT_EQ(UT_SEND_NOT_DELIVERED, manager->sendSynchronously(UT_SEND_REASON_FORCED));
    ASSERT_EQ(1u, calls.Calls().size());
    EXPECT_FALSE(calls.Calls()[0].on_daemon);
    EXPECT_EQ(UT_SEND_REASON_FORCED, calls.Calls()[0].reason);
    EXPECT_EQ(1, CountLines("Devdbg", "CUTTranscriptManager::process() m_reason=1"));
}

TEST(TranscriptManagerStatusTest, ProcessResultsBecomeStatusCodes) {
    const struct {
        int result, server, ext_dep;
        UTStatus status;
    } cases[] = {
        {-1, 199, 183, UT_SEND_CYCLE_FAILED},
        {1, 0, 0, UT_SEND_OK},
        {2, 199, 183, UT_SEND_NOT_DELIVERED},
        {5, 199, 183, UT_SEND_NOT_DELIVERED},
        {6, 199, 183, UT_SEND_SERVER_REJECTED},
        {7, 199, 183, UT_SEND_SERVER_REJECTED},
        {0, 199, 183, UT_SEND_OK},
        {0, 199, 186, UT_SEND_OK},
        {0, 199, 0, UT_SEND_EXT_DEPENDENCY_FAILED},
        {0, 120, 183, UT_SEND_SERVER_REJECTED},
        {9, 120, 183, UT_SEND_SERVER_REJECTED},
        {8, 199, 186, UT_SEND_OK},
        {-2, 199, 185, UT_SEND_EXT_DEPENDENCY_FAILED},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.status,
                  CUTTranscriptManager::StatusOfProcessResult(c.result, c.server, c.ext_dep))
            << c.result << " " << c.server << " " << c.ext_dep;
    }
}

TEST_F(TranscriptManagerTest, DestructionLogsTheTimersInOrderAndLeavesNoThread) {
    TimersAt(L"1000");
    HandOverProduct();
    ProcessCalls calls;
    const int before = ThreadCount();
    CUTTranscriptManager* manager = Manager();
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(before + 1 + tvut_test::kThreadsOfAStartedTimer, ThreadCount())
        << "the daemon thread and the check timer's";
    // The daemon thread is inside process() when destruction begins.
    calls.Hold();
    EXPECT_EQ(0, manager->OnSendNow());
    ASSERT_TRUE(calls.WaitForDaemonCalls(1));
    manager->timer(CUTTranscriptManager::RETRY_TIMER)->start();
    {
        auto destroyed =
            std::async(std::launch::async, [] { CUTTranscriptManager::DestroyInstance(); });
        calls.Release();
        ASSERT_EQ(std::future_status::ready, destroyed.wait_for(std::chrono::seconds(30)));
        // The future is ready before the thread that ran the destruction has
        // ended; its end joins that thread, which the count must not see.
    }
    EXPECT_EQ(before, ThreadCount());

    std::vector<std::string> after_destructor;
    bool seen = false;
    for (const LogLine& line : Log()) {
        if (line.message.compare(0, 39, "CUTTranscriptManager::~CUTTranscriptMan") == 0) {
            EXPECT_EQ("Devdbg", line.level);
            seen = true;
        } else if (seen && line.message.compare(0, 9, "Timer ID ") == 0) {
            EXPECT_EQ("Devdbg", line.level);
            after_destructor.push_back(line.message);
        }
    }
    const std::vector<std::string> expected = {
        "Timer ID 1 stop timer.",
        "Timer ID 3 stop timer.",
        "Timer ID 2 stop timer.",
        "Timer ID 3 terminated the work thread.",
        "Timer ID 2 terminated the work thread.",
        "Timer ID 1 terminated the work thread.",
    };
    EXPECT_EQ(expected, after_destructor);
}

TEST_F(TranscriptManagerTest, AsynchronousRequestOfTheFacadeWakesTheWorker) {
    Settings({});
    {
        CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(user.Load());
        user.SetValue(L"LastSendTimestamp", L"1700000000", true);
    }
    ProcessCalls calls;
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTProductInfo* product = CUTProductInfo::Create();
    CUTUserInfo* user = CUTUserInfo::Create();
    product->SetProductLineId(Text(HOST_TEXT("LINE")));
    product->SetReleaseId(Text(HOST_TEXT("7")));
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(product, user, kormFALSE));
    product->Dispose();
    user->Dispose();
    ASSERT_TRUE(calls.WaitForDaemonCalls(1));
    EXPECT_EQ(std::vector<int>{UT_SEND_REASON_CHECK}, calls.DaemonReasons());
    EXPECT_EQ(1, CountLines("Devdbg", "CUTTranscriptManager::OnSendNow()"));
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
}
