// CUTReleasedAtUnload<T>: a process-wide object that outlives static
// destruction and is freed only when the library unloads.
//
// Objects such as the lock and transfer registries are still used while
// other static objects are destroyed at exit (a guard in a destructor, an
// upload the exit is ending), so they cannot be plain statics. Made on the
// heap and never freed, they would be lost at every dlclose. This holder is
// constant-initialised and trivially destructible, so static destruction
// never touches it; Get makes the object on first use, Release frees it once
// the unload has ended everything that used it. A use after Release (a
// destructor that runs later in the unload) makes a new object rather than
// touching a freed one; that one is then left to the process.
//
// Any thread: Get is lock-free once the object exists; making and releasing
// exclude each other. Release must not race with a caller that still holds
// a reference from Get: the unload calls it after the workers and the
// host's calls have ended. Get throws what T's constructor throws.
#ifndef TVUT_BASE_UTRELEASEDATUNLOAD_H
#define TVUT_BASE_UTRELEASEDATUNLOAD_H

#include <atomic>
#include <mutex>
#include <thread>
#include <type_traits>

template <class T>
class CUTReleasedAtUnload {
public:
    constexpr CUTReleasedAtUnload() = default;
    CUTReleasedAtUnload(const CUTReleasedAtUnload&) = delete;
    CUTReleasedAtUnload& operator=(const CUTReleasedAtUnload&) = delete;

    T& Get() {
        static_assert(std::is_trivially_destructible<CUTReleasedAtUnload>::value,
                      "static destruction must never free the object");
        T* object = object_.load(std::memory_order_acquire);
        if (object == nullptr) {
            std::lock_guard<Lock> guard(making_);
            object = object_.load(std::memory_order_acquire);
            if (object == nullptr) {
                object = new T();
                object_.store(object, std::memory_order_release);
            }
        }
        return *object;
    }

    void Release() {
        std::lock_guard<Lock> guard(making_);
        delete object_.exchange(nullptr, std::memory_order_acq_rel);
    }

private:
#ifdef _WIN32
    // MinGW's std::mutex has a destructor (its threads library initialises
    // mutexes by a call), which static destruction would run. Making and
    // releasing happen once or twice in a process: a spin that yields is
    // enough there.
    class Lock {
    public:
        void lock() {
            while (busy_.exchange(true, std::memory_order_acquire)) {
                std::this_thread::yield();
            }
        }
        void unlock() { busy_.store(false, std::memory_order_release); }

    private:
        std::atomic<bool> busy_{false};
    };
#else
    using Lock = std::mutex;
#endif
    std::atomic<T*> object_{nullptr};
    Lock making_;
};

#endif  // TVUT_BASE_UTRELEASEDATUNLOAD_H
