// Threads of the test process: the entries of /proc/self/task on Linux, the
// process's threads in a Toolhelp snapshot on Windows.
#ifndef TVUT_TESTS_SUPPORT_THREADCOUNT_H
#define TVUT_TESTS_SUPPORT_THREADCOUNT_H

#include "support/WaitFor.h"

namespace tvut_test {

// Number of threads of this process; -1 when they cannot be counted.
int ThreadCount();

// The threads of a started UTTimer: the one that serves every expiry and, on
// Windows, the helper that Asio adds to an io context with a timer (it waits
// on the system's waitable timer and goes with the context).
#ifdef _WIN32
constexpr int kThreadsOfAStartedTimer = 2;
#else
constexpr int kThreadsOfAStartedTimer = 1;
#endif

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_THREADCOUNT_H
