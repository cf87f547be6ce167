// Real child processes for cross-process tests. RunInChild forks, runs body
// in the child and ends the child with its return value; the parent gets a
// handle to wait for or kill. Fork from a test before the component starts
// threads of its own.
#ifndef TVUT_TESTS_SUPPORT_CHILDPROCESS_H
#define TVUT_TESTS_SUPPORT_CHILDPROCESS_H

#include <functional>
#include <string>

namespace tvut_test {

class ChildProcess {
public:
    explicit ChildProcess(const std::function<int()>& body);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Exit code, or 128 + signal number when the child was killed.
    int Wait();
    // True once the child has ended; does not reap it, so Wait still gives
    // its code.
    bool HasEnded();
    void Kill();
    int pid() const { return pid_; }

private:
    int pid_;
    bool reaped_;
    int status_;
};

// Runs a shell command and returns its exit code; its output goes to *output.
int RunCommand(const std::string& command, std::string* output);

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_CHILDPROCESS_H
