// A host installed set-user-id runs with privileges its caller lacks, in an
// environment its caller chose. tvUT must take nothing from that environment
// (no roots, trust store, proxies or lock folder), and libcurl must not be
// started when the environment asks it for a TLS key log, which it would
// append to with the host's privileges.
//
// Needs root (to give the probe away and set its set-user-id bit); skipped
// otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/ScratchRoots.h"

namespace {

using tvut_test::ScratchFolder;

constexpr uid_t kNobody = 65534;
constexpr uid_t kDaemon = 1;  // the probe's owner: a user other than the caller

bool CopyFile(const std::string& from, const std::string& to) {
    const std::string bytes = tvut_test::ReadFile(from);
    return !bytes.empty() && tvut_test::WriteFile(to, bytes);
}

// Runs program as the user nobody with exactly env; its "name=value" lines.
std::map<std::string, std::string> RunAsNobody(const std::string& program,
                                               const std::vector<std::string>& env) {
    int out[2];
    if (::pipe(out) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char*> envp;
        for (const std::string& entry : env) {
            envp.push_back(const_cast<char*>(entry.c_str()));
        }
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(120);
        }
        ::execve(program.c_str(), argv, envp.data());
        ::_exit(121);
    }
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::map<std::string, std::string> values;
    values["exit"] = std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return values;
}

}  // namespace

TEST(PrivilegedHostTest, TakesNothingFromTheCallersEnvironment) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a set-user-id program";
    }
    ScratchFolder scratch;
    ASSERT_EQ(0, ::chmod(scratch.path().c_str(), 0755));
    const std::string probe = TVUT_BINARY_DIR "/tests/privileged_probe";
    const std::string setuid_probe = scratch.Join("setuid-probe");
    const std::string plain_probe = scratch.Join("plain-probe");
    ASSERT_TRUE(CopyFile(probe, setuid_probe));
    ASSERT_TRUE(CopyFile(probe, plain_probe));
    ASSERT_EQ(0, ::chown(setuid_probe.c_str(), kDaemon, kDaemon));
    ASSERT_EQ(0, ::chmod(setuid_probe.c_str(), 04755));
    ASSERT_EQ(0, ::chmod(plain_probe.c_str(), 0755));
    // Where the caller asks libcurl to log TLS keys: a folder only the
    // probe's owner may write, so that only the privileged run could.
    const std::string keys = scratch.Join("keys");
    ASSERT_EQ(0, ::mkdir(keys.c_str(), 0755));
    ASSERT_EQ(0, ::chown(keys.c_str(), kDaemon, kDaemon));

    const std::vector<std::string> env = {
        "UT_MACHINE_DATA_DIR=/caller/machine",
        "XDG_DATA_HOME=/caller/data",
        "HOME=/caller/home",
        "UT_CA_BUNDLE=/caller/ca.pem",
        "https_proxy=http://127.0.0.1:9",
        "no_proxy=*",
        "XDG_RUNTIME_DIR=/caller/runtime",
        "SSLKEYLOGFILE=" + keys + "/keylog",
    };

    std::map<std::string, std::string> plain = RunAsNobody(plain_probe, env);
    ASSERT_EQ("0", plain["exit"]);
    EXPECT_EQ("0", plain["secure"]);
    EXPECT_EQ("/caller/machine", plain["machine"]);
    EXPECT_EQ("/caller/data", plain["user"]);
    EXPECT_EQ("/caller/ca.pem", plain["UT_CA_BUNDLE"]);
    EXPECT_EQ("http://127.0.0.1:9", plain["https_proxy"]);

    std::map<std::string, std::string> privileged = RunAsNobody(setuid_probe, env);
    ASSERT_EQ("0", privileged["exit"]);
    if (privileged["euid"] != std::to_string(kDaemon)) {
        GTEST_SKIP() << "set-user-id bits are not honoured here (nosuid or no_new_privs)";
    }
    EXPECT_EQ("1", privileged["secure"]);
    EXPECT_EQ("/var/lib", privileged["machine"]) << "the built-in machine root, never the caller's";
    EXPECT_EQ("none", privileged["user"]);
    for (const char* name : {"UT_CA_BUNDLE", "https_proxy", "no_proxy", "XDG_RUNTIME_DIR"}) {
        EXPECT_EQ("unset", privileged[name]) << name;
    }
    struct stat st;
    EXPECT_NE(0, ::lstat((keys + "/keylog").c_str(), &st))
        << "libcurl was started and opened the caller's key log";
}
