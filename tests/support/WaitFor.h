// A bounded wait for something a test observes (a file, a process state, a
// counter), instead of a sleep that guesses how long it takes.
#ifndef TVUT_TESTS_SUPPORT_WAITFOR_H
#define TVUT_TESTS_SUPPORT_WAITFOR_H

#include <chrono>
#include <functional>

namespace tvut_test {

// Polls condition every millisecond until it holds or limit has passed; true
// when it held. Use generous limits: this waits, it measures nothing.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_WAITFOR_H
