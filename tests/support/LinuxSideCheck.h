// A run of one of the Linux suite's checkers (a Python script of tests/, or
// a program such as unzip) on a file a test made, with the result the test
// expects; the test asserts on what Expect returns.
//
// On Linux the checker runs at once. A Windows test program (under wine) cannot start a Linux
// program, so there the check is recorded instead: the files are copied into
// a folder of their own below TVUT_WINDOWS_CHECK_DIR (one folder per test
// case, one numbered folder per check), with check.txt naming the case, the
// checker, its arguments and the expected result; the suite's
// tests/windows/linux_side_checks.py runs every recorded check on Linux after
// the Windows cases and fails, naming the case, when one gives another
// result. A check that cannot be recorded (no TVUT_WINDOWS_CHECK_DIR, a file
// that cannot be copied) is a mismatch.
//
// One thread at a time uses an object; the files are copied when added, so
// a test may remove them before Expect.
#ifndef TVUT_TESTS_SUPPORT_LINUXSIDECHECK_H
#define TVUT_TESTS_SUPPORT_LINUXSIDECHECK_H

#include <string>
#include <vector>

namespace tvut_test {

class LinuxSideCheck {
public:
    // checker: a script of tests/ ("zip_check.py", run with python3) or a
    // program found on the search path ("unzip").
    explicit LinuxSideCheck(const std::string& checker);
    LinuxSideCheck(const LinuxSideCheck&) = delete;
    LinuxSideCheck& operator=(const LinuxSideCheck&) = delete;

    // The next argument is a file to check.
    void AddFile(const std::string& path);
    // A file the checker reads because another file names it: returns the
    // name to write there (the path itself on Linux; on Windows the copy's
    // name, relative to the folder the recorded check runs in).
    std::string AddFileNamedByAnother(const std::string& path);
    // The next argument is text passed as it is.
    void AddArgument(const std::string& text);

    enum Match {
        kWholeOutput,     // the output, less the newlines at its end, is text
        kOutputContains,  // text is somewhere in the output
    };
    // Whether the checker ends with status and its output matches text. On
    // Linux the checker runs now and *output (when given) gets what it
    // printed, with its command and status on a mismatch; on Windows the
    // check is recorded, true is returned and *output says where, or why
    // it could not be recorded (false then).
    bool Expect(int status, Match match, const std::string& text, std::string* output = nullptr);

private:
    std::string checker_;
    std::vector<std::string> arguments_;  // "file\t..." or "argument\t..."
    std::string folder_;                  // Windows: this check's folder
    std::string problem_;                 // Windows: why it cannot be recorded
    int copies_ = 0;
};

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_LINUXSIDECHECK_H
