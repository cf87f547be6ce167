#include "support/ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace tvut_test {

ChildProcess::ChildProcess(const std::function<int()>& body) : reaped_(false), status_(0) {
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        int code = 1;
        try {
            code = body();
        } catch (...) {
            code = 99;
        }
        // Skip the parent's exit handlers and gtest's teardown.
        ::_exit(code);
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), reaped_(other.reaped_), status_(other.status_) {
    other.reaped_ = true;
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        Kill();
        Wait();
    }
}

int ChildProcess::Wait() {
    if (!reaped_) {
        while (::waitpid(pid_, &status_, 0) < 0) {
            if (errno != EINTR) {
                return -1;
            }
        }
        reaped_ = true;
    }
    if (WIFEXITED(status_)) {
        return WEXITSTATUS(status_);
    }
    return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : -1;
}

bool ChildProcess::HasEnded() {
    if (reaped_) {
        return true;
    }
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
}

void ChildProcess::Kill() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
    }
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        text.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    if (output != nullptr) {
        *output = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tvut_test
