#include "support/ThreadCount.h"

#include <dirent.h>

#include <thread>

namespace tvut_test {

int ThreadCount() {
    // Some runtimes (ThreadSanitizer) start a helper thread of their own at
    // the first thread a process creates: make sure it exists before
    // counting, so that it never shows up as a thread of the component.
    static const bool warmed_up = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed_up;
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

}  // namespace tvut_test
