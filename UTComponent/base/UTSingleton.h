// CUTInstanceSlot<T>: the one instance of a class, made on first use under a
// lock (so that no second instance is ever made and thrown away: an instance
// may do work when destroyed) and read lock-free after. Peek never creates,
// Release takes the instance out without deleting it, Destroy deletes it.
// Any thread. T befriends the slot when its constructor is private.
//
// CUTSingleton<T>: the one instance of each manager class, in a slot, and
// deleted at process exit or library unload.
//
// ReleaseInstance takes the instance out of the owner without deleting it.
// At process exit (or library unload) a still-living instance is deleted
// when TeardownIsSafe says so, and left alone otherwise; instances are
// deleted in the reverse order of their completed construction, so a
// manager built on top of another is destroyed before it. GetInstance
// returns null only when construction failed.
#ifndef TVUT_BASE_UTSINGLETON_H
#define TVUT_BASE_UTSINGLETON_H

#include <atomic>
#include <mutex>
#include <new>

// Asked by everything that would destroy tvUT's objects at process exit or
// library unload: true when that is safe (see the facade, which defines it).
bool TeardownIsSafe();

template <class T>
class CUTInstanceSlot {
public:
    // The instance, created on first use; null only when creation failed.
    static T* Get() {
        T* instance = s_instance.load(std::memory_order_acquire);
        if (instance != nullptr) {
            return instance;
        }
        std::lock_guard<std::mutex> lock(s_creation);
        instance = s_instance.load(std::memory_order_acquire);
        if (instance == nullptr) {
            try {
                instance = new T();
            } catch (...) {
                return nullptr;
            }
            s_instance.store(instance, std::memory_order_release);
        }
        return instance;
    }
    static T* Peek() { return s_instance.load(std::memory_order_acquire); }
    static T* Release() { return s_instance.exchange(nullptr, std::memory_order_acq_rel); }
    static void Destroy() { delete Release(); }

private:
    static inline std::atomic<T*> s_instance{nullptr};
    // Constant-initialised and trivially destructible: usable during exit.
    static inline std::mutex s_creation;
};

template <class T>
class CUTSingleton {
public:
    static T* GetInstance() {
        T* instance = CUTInstanceSlot<T>::Peek();
        if (instance != nullptr) {
            return instance;
        }
        instance = CUTInstanceSlot<T>::Get();
        if (instance == nullptr) {
            return nullptr;
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
    static T* PeekInstance() { return CUTInstanceSlot<T>::Peek(); }

    static T* ReleaseInstance() { return CUTInstanceSlot<T>::Release(); }

    static void DestroyInstance() { CUTInstanceSlot<T>::Destroy(); }

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
    static inline std::atomic<bool> s_exit_hook_registered{false};
};

#endif  // TVUT_BASE_UTSINGLETON_H
