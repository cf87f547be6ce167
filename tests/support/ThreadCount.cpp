#include "support/ThreadCount.h"

#ifdef _WIN32
#include <windows.h>

#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

#include <thread>

namespace tvut_test {

namespace {

#ifdef _WIN32
// The threads of this process in a snapshot of the system's threads. Under
// wine only threads made through the Windows API are listed, never wine's own.
int CountThreads() {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const DWORD self = ::GetCurrentProcessId();
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) {
            ++count;
        }
    }
    ::CloseHandle(snapshot);
    return count;
}
#else
int CountThreads() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(tasks);
    return count;
}
#endif

}  // namespace

int ThreadCount() {
    // Some runtimes (ThreadSanitizer) start a helper thread of their own at
    // the first thread a process creates: make sure it exists before
    // counting, so that it never shows up as a thread of the component.
    static const bool warmed_up = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed_up;
    return CountThreads();
}

}  // namespace tvut_test
