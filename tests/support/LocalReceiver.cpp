#include "support/LocalReceiver.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "support/ScratchRoots.h"
#include "support/WaitFor.h"

namespace tvut_test {

namespace {

namespace fs = std::filesystem;

const char kScript[] = TVUT_SOURCE_DIR "/tools/ut_receiver.py";
constexpr std::chrono::seconds kStartLimit(30);
constexpr std::chrono::seconds kStopLimit(10);

// The python3 on PATH, found before fork: the child may only make
// async-signal-safe calls.
std::string FindPython() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/python3";
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    throw std::runtime_error("python3 is not on PATH: the local receiver needs it");
}

// "key value" lines.
std::multimap<std::string, std::string> ReadKeyValues(const std::string& path) {
    std::multimap<std::string, std::string> values;
    std::istringstream lines(ReadFile(path));
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.find(' ');
        values.emplace(line.substr(0, space),
                       space == std::string::npos ? std::string() : line.substr(space + 1));
    }
    return values;
}

std::string ValueOf(const std::multimap<std::string, std::string>& values, const std::string& key) {
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

int64_t NumberOf(const std::multimap<std::string, std::string>& values, const std::string& key) {
    const std::string text = ValueOf(values, key);
    return text.empty() ? 0 : std::strtoll(text.c_str(), nullptr, 10);
}

// The regular files directly in folder, in name order.
std::vector<std::string> FileNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            names.push_back(it->path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

ReceivedRequest ReadRequest(const std::string& folder) {
    const auto summary = ReadKeyValues(folder + "/summary.txt");
    ReceivedRequest request;
    request.index = static_cast<int>(NumberOf(summary, "index"));
    request.path = ValueOf(summary, "path");
    request.start_ns = NumberOf(summary, "start_ns");
    request.end_ns = NumberOf(summary, "end_ns");
    request.archive = ValueOf(summary, "archive");
    request.reply = ValueOf(summary, "reply");
    request.payload_name = ValueOf(summary, "payload_name");
    const auto problems = summary.equal_range("problem");
    for (auto it = problems.first; it != problems.second; ++it) {
        request.problems.push_back(it->second);
    }
    for (const std::string& name : FileNames(folder + "/fields")) {
        request.fields[name] = ReadFile(folder + "/fields/" + name);
    }
    const std::string suffix = ".xml";
    for (const std::string& name : FileNames(folder + "/transcripts")) {
        const std::string entry =
            name.size() > suffix.size() &&
                    name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0
                ? name.substr(0, name.size() - suffix.size())
                : name;
        request.transcripts[entry] = ReadFile(folder + "/transcripts/" + name);
    }
    request.log_entries = FileNames(folder + "/logs");
    request.body = ReadFile(folder + "/body");
    request.payload = ReadFile(folder + "/payload.zip");
    return request;
}

// Exit code, or 128 + signal number; -1 when unknown.
int ExitStatusOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Reaps pid within limit; true when it has ended (or is no child of ours).
bool ReapWithin(int pid, std::chrono::milliseconds limit, int* exit_status) {
    return WaitFor(
        [pid, exit_status] {
            int status = 0;
            const pid_t result = ::waitpid(pid, &status, WNOHANG);
            if (result == pid) {
                *exit_status = ExitStatusOf(status);
            }
            return result == pid || (result < 0 && errno == ECHILD);
        },
        limit);
}

}  // namespace

LocalReceiver::LocalReceiver(const ReceiverOptions& options)
    : scratch_(new ScratchFolder()), owner_pid_(static_cast<int>(::getpid())) {
    store_ = scratch_->Join("store");
    log_file_ = scratch_->Join("receiver.log");
    const std::string ready_file = scratch_->Join("ready");

    // Everything the child needs is prepared here, before fork.
    const std::string python = FindPython();
    std::vector<std::string> args = {python,         kScript,    "--store",           store_,
                                     "--ready-file", ready_file, "--exit-with-parent"};
    if (options.tls || options.tls10_only) {
        args.push_back("--tls");
    }
    if (options.tls10_only) {
        args.push_back("--tls-max-version");
        args.push_back("1.0");
    }
    if (options.port != 0) {
        args.push_back("--port");
        args.push_back(std::to_string(options.port));
    }
    if (!options.script_json.empty()) {
        args.push_back("--script-json");
        args.push_back(options.script_json);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    const int log_fd = ::open(log_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log_fd < 0) {
        throw std::runtime_error("cannot create " + log_file_);
    }
    sigset_t no_signals;
    sigemptyset(&no_signals);

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        const int null_fd = ::open("/dev/null", O_RDONLY);
        if (null_fd < 0 || ::dup2(null_fd, 0) < 0 || ::dup2(log_fd, 1) < 0 ||
            ::dup2(log_fd, 2) < 0) {
            ::_exit(127);
        }
        // None of the test's descriptors (sockets, locks, pipes) go along.
        ::syscall(SYS_close_range, 3U, UINT_MAX, 0U);
        // The test may block signals; the receiver must see SIGTERM.
        ::sigprocmask(SIG_SETMASK, &no_signals, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(log_fd);
    if (pid < 0) {
        throw std::runtime_error("cannot fork the local receiver");
    }
    pid_ = static_cast<int>(pid);

    const bool ready =
        WaitFor([this, &ready_file] { return PathExists(ready_file) || !Running(); }, kStartLimit);
    if (!ready || !PathExists(ready_file)) {
        Stop();
        throw std::runtime_error("the local receiver did not come up:\n" + Output());
    }
    const auto values = ReadKeyValues(ready_file);
    url_ = ValueOf(values, "url");
    ca_file_ = ValueOf(values, "ca_file");
    port_ = static_cast<int>(NumberOf(values, "port"));
}

LocalReceiver::~LocalReceiver() {
    if (static_cast<int>(::getpid()) != owner_pid_) {
        // A forked child: the receiver and its store belong to the parent.
        (void)scratch_.release();
        return;
    }
    Stop();
}

std::string LocalReceiver::HostUrl() const {
    return url_;
}

std::string LocalReceiver::UploadUrl() const {
    return url_ + "/receiver.aspx";
}

std::string LocalReceiver::CaFile() const {
    return ca_file_;
}

int LocalReceiver::Port() const {
    return port_;
}

int LocalReceiver::ArrivalCount() const {
    const std::string text = ReadFile(store_ + "/arrivals.txt");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

bool LocalReceiver::WaitForArrivals(int n) const {
    return WaitFor([this, n] { return ArrivalCount() >= n; });
}

std::map<int, int64_t> LocalReceiver::ArrivalTimes() const {
    std::map<int, int64_t> arrivals;
    std::istringstream in(ReadFile(store_ + "/arrivals.txt"));
    int index = 0;
    int64_t at = 0;
    while (in >> index >> at) {
        arrivals[index] = at;
    }
    return arrivals;
}

std::vector<ReceivedRequest> ByStart(std::vector<ReceivedRequest> requests) {
    std::sort(
        requests.begin(), requests.end(),
        [](const ReceivedRequest& a, const ReceivedRequest& b) { return a.start_ns < b.start_ns; });
    return requests;
}

std::vector<ReceivedRequest> LocalReceiver::Requests() const {
    // A request is stored after its reply has gone out, so a sender may
    // have its answer a moment before the receiver has written it down.
    // Give every request that arrived a short while to be stored; one that
    // is held or hanging is not waited for longer than that.
    WaitFor([this] { return StoredCount() >= ArrivalCount(); }, std::chrono::seconds(3));
    std::vector<std::string> folders;
    std::error_code ec;
    for (fs::directory_iterator it(store_ + "/requests", ec), end; !ec && it != end;
         it.increment(ec)) {
        if (fs::exists(it->path() / "summary.txt", ec)) {
            folders.push_back(it->path().string());
        }
    }
    std::sort(folders.begin(), folders.end());
    std::vector<ReceivedRequest> requests;
    for (const std::string& folder : folders) {
        requests.push_back(ReadRequest(folder));
    }
    return requests;
}

int LocalReceiver::StoredCount() const {
    std::error_code ec;
    int complete = 0;
    for (fs::directory_iterator it(store_ + "/requests", ec), end; !ec && it != end;
         it.increment(ec)) {
        complete += fs::exists(it->path() / "summary.txt", ec) ? 1 : 0;
    }
    return complete;
}

bool LocalReceiver::WaitForRequests(int n) const {
    return WaitFor([this, n] { return StoredCount() >= n; });
}

void LocalReceiver::Release() const {
    WriteFile(store_ + "/release", "");
}

void LocalReceiver::Stop() {
    if (pid_ <= 0 || static_cast<int>(::getpid()) != owner_pid_) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (!ReapWithin(pid_, kStopLimit, &exit_status_)) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        pid_t result;
        while ((result = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        exit_status_ = result == pid_ ? ExitStatusOf(status) : -1;
    }
    pid_ = -1;
}

bool LocalReceiver::Running() const {
    if (pid_ <= 0) {
        return false;
    }
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return false;
    }
    return info.si_pid != pid_;
}

std::string LocalReceiver::Output() const {
    return ReadFile(log_file_);
}

}  // namespace tvut_test
