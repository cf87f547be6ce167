// Asio completes handlers inside fenced blocks (std::atomic_thread_fence),
// which GCC reports under ThreadSanitizer; the ordering that matters here
// comes from Asio's own mutexes, which the sanitizer sees.
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && __GNUC__ >= 12 && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "manager/UTTimer.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "log/UTLoggerManager.h"

// A fresh io context for every thread: run() of an io context that ran out
// of work or was stopped would need a restart(), which must not overlap a
// run() that is still returning on the old thread. A new context never
// races with an old thread.
//
// The context and its timer exist only while the thread runs: made when the
// thread starts, destroyed by the thread itself as it ends. On Windows Asio
// serves the timers of a context with a helper thread of its own, which
// lives as long as the context; a context kept from construction to
// destruction would hold a thread for an idle timer and join it in the
// destructor. Both pointers are set and reset under the timer's mutex.
struct UTTimer::Run {
    std::unique_ptr<boost::asio::io_context> io;
    // Steady clock: a change of the wall clock neither delays nor hastens
    // an expiry.
    std::unique_ptr<boost::asio::steady_timer> timer;
    std::thread thread;
    std::atomic<bool> ended{false};

    void Open() {
        io.reset(new boost::asio::io_context());
        timer.reset(new boost::asio::steady_timer(*io));
    }
    void Close() {
        timer.reset();
        io.reset();
    }
    void Stop() {
        if (io) {
            io->stop();
        }
    }
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
            run->Stop();
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
    // Re-arming cancels the pending wait first. Without this guard the
    // timer thread could complete the cancelled wait, find no work left and
    // leave run() before the new wait is registered, and the replacement
    // would never fire.
    auto busy = boost::asio::make_work_guard(*run->io);
    try {
        run->timer->expires_after(std::chrono::seconds(duration_));
    } catch (const boost::system::system_error& error) {
        throw boost::system::system_error(error.code(), "expires_from_now");
    }
    const uint64_t arming = ++arming_;
    Run* const target = run.get();
    run->timer->async_wait([this, target, arming](const boost::system::error_code& error) {
        onExpire(target, arming, error == boost::asio::error::operation_aborted);
    });
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
            current_->Open();
            arm(current_);
            Run* const run = current_.get();
            current_->thread = std::thread([this, run] {
                run->io->run();
                {
                    std::lock_guard<std::mutex> ending(mutex_);
                    run->Close();
                }
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
        current_->Stop();
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
