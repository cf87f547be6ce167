// CUTSingleton<T>: the one instance of each manager class.
//
// GetInstance creates the instance on first use (no lock: the first use
// happens on the host's thread before tvUT starts threads of its own; the
// pointer itself is atomic so later readers on other threads see it whole).
// ReleaseInstance takes the instance out of the owner without deleting it.
// At process exit (or library unload) a still-living instance is deleted
// when TeardownIsSafe says so, and left alone otherwise; instances are
// deleted in the reverse order of their completed construction, so a
// manager built on top of another is destroyed before it. GetInstance
// returns null only when construction failed.
#ifndef TVUT_INFO_UTSINGLETON_H
#define TVUT_INFO_UTSINGLETON_H

#include <atomic>
#include <new>

#include "UT/UTProcessState.h"

template <class T>
class CUTSingleton {
public:
    static T* GetInstance() {
        T* instance = s_instance.load(std::memory_order_acquire);
        if (instance != nullptr) {
            return instance;
        }
        try {
            instance = new T();
        } catch (...) {
            return nullptr;
        }
        T* expected = nullptr;
        if (!s_instance.compare_exchange_strong(expected, instance, std::memory_order_acq_rel)) {
            // Another thread won the race: keep its instance.
            delete instance;
            return expected;
        }
        // Registered after construction: whatever T's constructor created is
        // registered earlier and therefore destroyed later. A static object's
        // destructor is tied to this library, so it runs when the library is
        // unloaded; a plain atexit hook may be taken over by whoever
        // interposes atexit (sanitizer runtimes do) and then run at process
        // exit, after the library's code is gone.
        if (!s_exit_hook_registered.exchange(true)) {
            static ExitOwner owner;
            (void)owner;
        }
        return instance;
    }

    // The instance if one exists; never creates one.
    static T* PeekInstance() { return s_instance.load(std::memory_order_acquire); }

    static T* ReleaseInstance() { return s_instance.exchange(nullptr, std::memory_order_acq_rel); }

    static void DestroyInstance() { delete ReleaseInstance(); }

protected:
    CUTSingleton() = default;
    ~CUTSingleton() = default;

private:
    struct ExitOwner {
        ~ExitOwner() {
            if (TeardownIsSafe()) {
                DestroyInstance();
            } else {
                ReleaseInstance();
            }
        }
    };
    static inline std::atomic<T*> s_instance{nullptr};
    static inline std::atomic<bool> s_exit_hook_registered{false};
};

#endif  // TVUT_INFO_UTSINGLETON_H
