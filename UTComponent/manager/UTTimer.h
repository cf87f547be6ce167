// UTTimer: a one-shot or repeating timer that calls its handler with its id
// on a thread of its own.
//
// Each timer runs a private Boost.Asio io context on its own thread while it
// is started (on Windows, a wait on a condition variable: Asio's timers there
// add a helper thread to the context that wakes every 5 minutes). Between
// expiries that thread blocks and never wakes: no polling. A repeating timer keeps its thread until stop();
// a one-shot timer's thread ends by itself after the expiry.
//
// start() arms the expiry duration seconds from now. Starting again while an
// expiry is pending replaces it: the replacement fires one duration after the
// new start and the superseded wait never reaches the handler. start() never
// waits for an earlier timer thread; threads it leaves behind are joined by a
// later start() once they have ended, and by the destructor at the latest,
// so no thread of a timer outlives it. stop() drops the pending expiry and
// does not wait; the destructor stops and joins every thread of the timer,
// waiting at most for a handler that is running.
//
// Durations below 1 second are raised to 1 second, so a timer never spins.
// start() throws boost::system::system_error ("expires_from_now") when the
// expiry cannot be set, and std::system_error when no thread can be started.
// An exception from the handler is swallowed. start(), stop() and the
// destructor may be called from any thread except the timer's own.
#ifndef TVUT_MANAGER_UTTIMER_H
#define TVUT_MANAGER_UTTIMER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class UTTimer {
public:
    typedef std::function<void(int)> Handler;

    // Creates the io context and the timer; starts no thread.
    UTTimer(Handler handler, int duration_seconds, int id, bool repeat);
    ~UTTimer();
    UTTimer(const UTTimer&) = delete;
    UTTimer& operator=(const UTTimer&) = delete;

    void start();
    void stop();

    // True from start() until the expiry has reached the handler (a one-shot
    // timer) or stop(): an expiry is pending.
    bool pending() const;

    int duration() const { return duration_; }
    int id() const { return id_; }

private:
    // One io context, its timer and the thread that runs it (in the .cpp, so
    // that Asio stays out of the headers that include this one).
    struct Run;

    // Sets the expiry and starts the wait; the caller holds mutex_.
    void arm(const std::shared_ptr<Run>& run);
    void onExpire(Run* run, uint64_t arming, bool aborted);
    // Joins retired threads that have ended; the caller holds mutex_.
    void reapLocked();

    Handler handler_;
    const int duration_;
    const int id_;
    const bool repeat_;

    mutable std::mutex mutex_;
    std::shared_ptr<Run> current_;
    // Runs whose threads may still be ending, joined later.
    std::vector<std::shared_ptr<Run>> retired_;
    // Counts armings: a completion that carries an older count was replaced.
    uint64_t arming_ = 0;
    // True while the current run's thread serves a pending expiry.
    bool armed_ = false;
};

#endif  // TVUT_MANAGER_UTTIMER_H
