// Threads of the test process: the entries of /proc/self/task on Linux, the
// process's threads in a Toolhelp snapshot on Windows.
#ifndef TVUT_TESTS_SUPPORT_THREADCOUNT_H
#define TVUT_TESTS_SUPPORT_THREADCOUNT_H

#include "support/WaitFor.h"

namespace tvut_test {

// Number of threads of this process; -1 when they cannot be counted.
int ThreadCount();

// The threads of a started UTTimer: the one that serves every expiry, on
// every system (on Windows the timer waits without Asio, whose timers there
// add a helper thread that wakes every 5 minutes).
constexpr int kThreadsOfAStartedTimer = 1;

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_THREADCOUNT_H
