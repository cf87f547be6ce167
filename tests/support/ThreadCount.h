// Threads of the test process, read from /proc/self/task.
#ifndef TVUT_TESTS_SUPPORT_THREADCOUNT_H
#define TVUT_TESTS_SUPPORT_THREADCOUNT_H

#include "support/WaitFor.h"

namespace tvut_test {

// Number of entries in /proc/self/task.
int ThreadCount();

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_THREADCOUNT_H
