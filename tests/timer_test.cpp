// UTTimer: expiries, re-arming, stop and restart, and that no thread of a
// timer outlives it. Expiries are observed through the handler; a timer
// never fires early, so lower bounds on the elapsed time are exact.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "manager/UTTimer.h"
#include "support/ThreadCount.h"

using tvut_test::kThreadsOfAStartedTimer;
using tvut_test::ThreadCount;
using tvut_test::WaitFor;

namespace {

using Clock = std::chrono::steady_clock;

// Records each expiry's time; a test can hold the handler on a gate.
class Expiries {
public:
    UTTimer::Handler Handler() {
        return [this](int id) {
            std::unique_lock<std::mutex> lock(mutex_);
            ids_.push_back(id);
            times_.push_back(Clock::now());
            changed_.notify_all();
            changed_.wait(lock, [this] { return open_; });
            ++finished_;
            changed_.notify_all();
        };
    }
    bool WaitForCount(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return ids_.size() >= count; });
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(mutex_);
        return ids_.size();
    }
    int Finished() {
        std::lock_guard<std::mutex> guard(mutex_);
        return finished_;
    }
    Clock::time_point Time(size_t index) {
        std::lock_guard<std::mutex> guard(mutex_);
        return times_.at(index);
    }
    int Id(size_t index) {
        std::lock_guard<std::mutex> guard(mutex_);
        return ids_.at(index);
    }
    void Close() {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = false;
    }
    void Open() {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> ids_;
    std::vector<Clock::time_point> times_;
    bool open_ = true;
    int finished_ = 0;
};

}  // namespace

TEST(TimerTest, DurationsBelowOneSecondBecomeOneSecond) {
    Expiries expiries;
    const struct {
        int given;
        int expected;
    } cases[] = {{-5, 1}, {0, 1}, {1, 1}, {7, 7}, {2147483647, 2147483647}};
    for (const auto& c : cases) {
        UTTimer timer(expiries.Handler(), c.given, 9, false);
        EXPECT_EQ(c.expected, timer.duration()) << c.given;
    }
    // The raised duration is the one the timer waits: a repeating timer
    // given none never spins, and each expiry reaches the handler with the
    // timer's id. The next wait is armed after the handler has run, so the
    // gap between two expiries is at least one duration.
    for (int given : {-5, 0}) {
        SCOPED_TRACE(given);
        Expiries fired;
        UTTimer timer(fired.Handler(), given, 9, true);
        const Clock::time_point started = Clock::now();
        timer.start();
        ASSERT_TRUE(fired.WaitForCount(2));
        timer.stop();
        EXPECT_GE(fired.Time(0) - started, std::chrono::seconds(1));
        EXPECT_GE(fired.Time(1) - fired.Time(0), std::chrono::seconds(1));
        EXPECT_EQ(9, fired.Id(0));
        EXPECT_EQ(9, fired.Id(1));
    }
}

TEST(TimerTest, OneShotFiresOnceAfterItsDurationAndItsThreadEnds) {
    const int before = ThreadCount();
    Expiries expiries;
    UTTimer timer(expiries.Handler(), 1, 2, false);
    EXPECT_EQ(before, ThreadCount()) << "no thread before start";
    const Clock::time_point started = Clock::now();
    timer.start();
    ASSERT_TRUE(expiries.WaitForCount(1));
    EXPECT_EQ(2, expiries.Id(0));
    EXPECT_GE(expiries.Time(0) - started, std::chrono::seconds(1));
    // Nothing is pending any more: the timer thread ends by itself.
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == before; }));
    EXPECT_EQ(1u, expiries.Count());
}

TEST(TimerTest, RepeatingTimerFiresAgainUntilStoppedAndStartsAgainAfterStop) {
    const int before = ThreadCount();
    Expiries expiries;
    {
        UTTimer timer(expiries.Handler(), 1, 1, true);
        const Clock::time_point started = Clock::now();
        timer.start();
        ASSERT_TRUE(expiries.WaitForCount(3));
        EXPECT_GE(expiries.Time(2) - started, std::chrono::seconds(3));
        EXPECT_EQ(before + kThreadsOfAStartedTimer, ThreadCount())
            << "one thread serves every expiry";
        timer.stop();
        EXPECT_TRUE(WaitFor([&] { return ThreadCount() == before; }));
        const size_t stopped_at = expiries.Count();
        timer.start();
        ASSERT_TRUE(expiries.WaitForCount(stopped_at + 1));
    }
    EXPECT_EQ(before, ThreadCount());
}

TEST(TimerTest, StartingAgainReplacesThePendingExpiry) {
    Expiries expiries;
    UTTimer timer(expiries.Handler(), 1, 2, false);
    // Many re-armings in a row: each one cancels a wait that the timer
    // thread completes at once, and the thread must still be there for the
    // next wait.
    for (int i = 0; i < 500; ++i) {
        timer.start();
    }
    const Clock::time_point restarted = Clock::now();
    timer.start();
    ASSERT_TRUE(expiries.WaitForCount(1));
    // The replaced wait would have reached the handler at once, before the
    // replacement's expiry.
    EXPECT_GE(expiries.Time(0) - restarted, std::chrono::seconds(1));
    EXPECT_EQ(1u, expiries.Count());
}

TEST(TimerTest, StartDoesNotWaitForAnEarlierTimerThread) {
    const int before = ThreadCount();
    Expiries expiries;
    {
        UTTimer timer(expiries.Handler(), 1, 3, false);
        expiries.Close();
        timer.start();
        ASSERT_TRUE(expiries.WaitForCount(1));
        // The first thread is held inside the handler; a new start must not
        // wait for it.
        auto second = std::async(std::launch::async, [&] { timer.start(); });
        EXPECT_EQ(std::future_status::ready, second.wait_for(std::chrono::seconds(30)));
        second.wait();
        EXPECT_TRUE(timer.pending());
        // Nor does the new expiry wait for it: a thread of its own serves it
        // while the first is still held.
        const bool served_while_held = expiries.WaitForCount(2);
        expiries.Open();
        EXPECT_TRUE(served_while_held);
        ASSERT_TRUE(expiries.WaitForCount(2));
        EXPECT_EQ(3, expiries.Id(1));
    }
    EXPECT_EQ(2, expiries.Finished());
    EXPECT_EQ(before, ThreadCount()) << "the timer joined both threads";
}

TEST(TimerTest, DestructionWaitsForARunningHandlerAndLeavesNoThread) {
    const int before = ThreadCount();
    Expiries expiries;
    auto timer = std::make_unique<UTTimer>(expiries.Handler(), 1, 1, true);
    expiries.Close();
    timer->start();
    ASSERT_TRUE(expiries.WaitForCount(1));
    // Expiries that had reached the handler, and handler runs that had
    // returned, by the time destruction returned.
    std::atomic<int> started_when_destroyed{-1};
    std::atomic<int> finished_when_destroyed{-1};
    auto destroyed = std::async(std::launch::async, [&] {
        timer.reset();
        started_when_destroyed.store(static_cast<int>(expiries.Count()));
        finished_when_destroyed.store(expiries.Finished());
    });
    // A grace period before the handler is let go, in which a destructor
    // that does not wait for it would return; one that waits cannot, however
    // long this takes. Nothing is measured.
    static_cast<void>(destroyed.wait_for(std::chrono::milliseconds(500)));
    expiries.Open();
    EXPECT_EQ(std::future_status::ready, destroyed.wait_for(std::chrono::seconds(30)));
    destroyed.wait();
    EXPECT_GE(started_when_destroyed.load(), 1);
    EXPECT_EQ(started_when_destroyed.load(), finished_when_destroyed.load())
        << "destruction returned while a handler was running";
    EXPECT_EQ(before, ThreadCount());
}

TEST(TimerTest, StopAndDestructionBeforeAnyStartAreHarmless) {
    Expiries expiries;
    {
        UTTimer timer(expiries.Handler(), 1, 1, true);
        timer.stop();
    }
    UTTimer never(expiries.Handler(), 1, 2, false);
    EXPECT_EQ(0u, expiries.Count());
}
