// Real child processes for the Windows suite's cross-process tests.
//
// There is no fork on Windows: a child is this test program started again
// with CreateProcessW, running one role, a test named
// WindowsChild.DISABLED_<Role> (disabled, so that CTest never lists it as a
// case of its own). The parent passes a role's arguments as environment
// variables, which the child inherits with the rest of the parent's
// environment (its scratch roots too). Two events, one the child sets
// ("ready": it holds what the parent waits for) and one the parent sets
// ("go": the child may finish), are the only handles the child inherits,
// besides copies of the parent's output handles so that a failing role's
// report shows in the parent's output; every other handle of the test
// process stays out of it.
//
// A role passes when its test passes: its exit code is 0 then, 1 when it
// failed, or whatever code it ended the process with itself. Every wait
// here is bounded; a child still running when its object is destroyed is
// killed. One thread at a time uses a WindowsChild.
#ifndef TVUT_TESTS_SUPPORT_WINDOWSCHILD_H
#define TVUT_TESTS_SUPPORT_WINDOWSCHILD_H

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace tvut_test {

// The exit code TerminateProcess gives a child Kill ends.
constexpr unsigned long kKilledExitCode = 137;

// How long the parent waits for a child to start, signal or end before the
// test fails: generous, since a process start costs a fraction of a second
// under wine and the machine may be busy.
constexpr std::chrono::milliseconds kChildWait = std::chrono::seconds(60);

class WindowsChild {
public:
    using Variables = std::vector<std::pair<std::string, std::string>>;

    // Starts the role with variables added to (or replacing in) the
    // parent's environment. started() tells whether CreateProcessW
    // succeeded; error() tells why not.
    explicit WindowsChild(const std::string& role, const Variables& variables = Variables());
    ~WindowsChild();
    WindowsChild(const WindowsChild&) = delete;
    WindowsChild& operator=(const WindowsChild&) = delete;

    bool started() const { return process_ != nullptr; }
    unsigned long error() const { return error_; }
    unsigned long process_id() const { return process_id_; }

    // Waits until the child signals ready; false when it ended first or
    // the limit passed.
    bool WaitUntilReady(std::chrono::milliseconds limit = kChildWait);
    // Lets a child that waits in AwaitGo go on.
    void Go();
    // Waits for the child to end: true with its exit code in *code, false
    // when the limit passed (the child still runs).
    bool WaitForExit(unsigned long* code, std::chrono::milliseconds limit = kChildWait);
    // Ends the child with TerminateProcess (kKilledExitCode) and waits until
    // it has ended.
    void Kill();

private:
    void* process_ = nullptr;
    void* ready_ = nullptr;
    void* go_ = nullptr;
    unsigned long process_id_ = 0;
    unsigned long error_ = 0;
};

// ---- in a role -------------------------------------------------------------

// An argument the parent passed (an environment variable); "" when unset.
std::string RoleArgument(const char* name);
// Tells the parent the child is ready (WaitUntilReady returns).
void SignalReady();
// Waits until the parent calls Go; false when the limit passed or the
// child was not started by a WindowsChild.
bool AwaitGo(std::chrono::milliseconds limit = kChildWait);

// ---- paths and processes -----------------------------------------------------

// A path the build gave (TVUT_LIBRARY_PATH, TVUT_SOURCE_DIR) in the form
// Windows calls take: under wine the build's paths are the Unix ones, which
// wine's own Z: drive maps; on Windows they are kept, with "\" for "/".
std::wstring BuildPathForWindows(const std::string& path);

// True when the process runs under wine rather than on Windows itself.
bool RunsUnderWine();

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_WINDOWSCHILD_H
