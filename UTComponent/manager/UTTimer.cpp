// Asio completes handlers inside fenced blocks (std::atomic_thread_fence),
// which GCC reports under ThreadSanitizer; the ordering that matters here
// comes from Asio's own mutexes, which the sanitizer sees.
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && __GNUC__ >= 12 && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "manager/UTTimer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "log/UTLoggerManager.h"

namespace {

// Called with true when the wait was cancelled (replaced or stopped).
using UTExpiry = std::function<void(bool aborted)>;

// The wait of one timer thread, on Asio. A fresh io context for every
// thread: run() of an io context that ran out of work or was stopped would
// need a restart(), which must not overlap a run() that is still returning
// on the old thread. A new context never races with an old thread.
class UTAsioWait {
public:
    // Cancels a pending wait (its expiry is called aborted) and waits anew.
    void Arm(int seconds, UTExpiry expiry) {
        // Without this guard the thread could complete the cancelled wait,
        // find no work left and leave Serve() before the new wait is
        // registered, and the replacement would never fire.
        auto busy = boost::asio::make_work_guard(io_);
        try {
            timer_.expires_after(std::chrono::seconds(seconds));
        } catch (const boost::system::system_error& error) {
            throw boost::system::system_error(error.code(), "expires_from_now");
        }
        timer_.async_wait([expiry](const boost::system::error_code& error) {
            expiry(error == boost::asio::error::operation_aborted);
        });
    }
    // Ends Serve() without calling a pending expiry.
    void Stop() { io_.stop(); }
    // The thread's body: returns once stopped, or when no wait is left.
    void Serve() { io_.run(); }

private:
    boost::asio::io_context io_;
    // Steady clock: a change of the wall clock neither delays nor hastens
    // an expiry.
    boost::asio::steady_timer timer_{io_};
};

// The same wait on a condition variable. Asio's timers on Windows keep a
// thread per io context that wakes every 5 minutes, and so the io thread
// with it, even with nothing to do; this wait sleeps until its deadline.
class UTConditionWait {
public:
    void Arm(int seconds, UTExpiry expiry) {
        std::lock_guard<std::mutex> guard(mutex_);
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        // A replaced expiry is dropped, never called: what an aborted
        // expiry would do anyway.
        expiry_ = std::move(expiry);
        changed_.notify_all();
    }
    void Stop() {
        std::lock_guard<std::mutex> guard(mutex_);
        stopped_ = true;
        expiry_ = nullptr;
        changed_.notify_all();
    }
    void Serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopped_ && expiry_) {
            if (changed_.wait_until(lock, deadline_) == std::cv_status::timeout &&
                std::chrono::steady_clock::now() >= deadline_ && expiry_ && !stopped_) {
                UTExpiry expiry = std::move(expiry_);
                expiry_ = nullptr;
                // Unlocked: the expiry may arm this wait again.
                lock.unlock();
                expiry(false);
                lock.lock();
            }
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point deadline_;
    UTExpiry expiry_;
    bool stopped_ = false;
};

#ifdef _WIN32
using UTTimerWait = UTConditionWait;
#else
using UTTimerWait = UTAsioWait;
#endif

}  // namespace

struct UTTimer::Run {
    UTTimerWait wait;
    std::thread thread;
    std::atomic<bool> ended{false};
};

UTTimer::UTTimer(Handler handler, int duration_seconds, int id, bool repeat)
    : handler_(std::move(handler)),
      duration_(duration_seconds < 1 ? 1 : duration_seconds),
      id_(id),
      repeat_(repeat),
      current_(std::make_shared<Run>()) {}

UTTimer::~UTTimer() {
    std::vector<std::shared_ptr<Run>> runs;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        armed_ = false;
        ++arming_;
        runs.swap(retired_);
        runs.push_back(current_);
        for (const std::shared_ptr<Run>& run : runs) {
            run->wait.Stop();
        }
    }
    // Outside the lock: a handler that is running finishes its onExpire,
    // which takes the lock.
    for (const std::shared_ptr<Run>& run : runs) {
        if (run->thread.joinable()) {
            run->thread.join();
        }
    }
    UT_LOG(UT_LOG_DEVDBG, "Timer ID %d terminated the work thread.", id_);
}

void UTTimer::arm(const std::shared_ptr<Run>& run) {
    // Re-arming cancels the pending wait first. The count moves only once
    // the new wait is set: a wait that could not be set leaves the old one.
    const uint64_t arming = arming_ + 1;
    Run* const target = run.get();
    run->wait.Arm(duration_,
                  [this, target, arming](bool aborted) { onExpire(target, arming, aborted); });
    arming_ = arming;
}

void UTTimer::reapLocked() {
    for (auto it = retired_.begin(); it != retired_.end();) {
        if ((*it)->ended.load()) {
            (*it)->thread.join();
            it = retired_.erase(it);
        } else {
            ++it;
        }
    }
}

void UTTimer::start() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        reapLocked();
        if (armed_) {
            // The current thread serves the pending wait and will serve the
            // replacement: re-arming cancels the old wait.
            arm(current_);
        } else {
            if (current_->thread.joinable()) {
                // Stopped, or ending after its last expiry.
                retired_.push_back(current_);
                current_ = std::make_shared<Run>();
            }
            arm(current_);
            Run* const run = current_.get();
            current_->thread = std::thread([run] {
                run->wait.Serve();
                run->ended.store(true);
            });
            armed_ = true;
        }
    }
    UT_LOG(UT_LOG_DEVDBG, "Timer ID %d start the work thread!! Wait Time Duration %d seconds", id_,
           duration_);
}

void UTTimer::stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        armed_ = false;
        ++arming_;
        current_->wait.Stop();
    }
    UT_LOG(UT_LOG_DEVDBG, "Timer ID %d stop timer.", id_);
}

bool UTTimer::pending() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return armed_;
}

void UTTimer::onExpire(Run* run, uint64_t arming, bool aborted) {
    if (aborted) {
        return;  // replaced by a later start, or stopped
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (arming != arming_ || run != current_.get()) {
            return;  // replaced after it had already completed
        }
        if (!repeat_) {
            // Nothing is left for this thread: run() returns after this.
            armed_ = false;
        }
    }
    try {
        handler_(id_);
    } catch (...) {
    }
    if (repeat_) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (armed_ && arming == arming_ && run == current_.get()) {
            try {
                arm(current_);
            } catch (...) {
                // The timer cannot be set again: it ends like a one-shot.
                armed_ = false;
            }
        }
    }
}
