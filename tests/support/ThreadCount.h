// Threads of the test process, read from /proc/self/task, and a bounded wait
// for an observation.
#ifndef TVUT_TESTS_SUPPORT_THREADCOUNT_H
#define TVUT_TESTS_SUPPORT_THREADCOUNT_H

#include <chrono>
#include <functional>

namespace tvut_test {

// Number of entries in /proc/self/task.
int ThreadCount();

// Polls condition until it holds or limit has passed; true when it held.
// Use generous limits: this waits for an observation, it measures nothing.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_THREADCOUNT_H
