// Named locks between threads, between real processes and between users:
// exclusion, release by a dying holder, the lock folder of each user, lock
// file names, unload, and no System V semaphore sets left in the kernel.
//
// "Blocked" is observed, never timed: a contender counts as blocked once the
// kernel reports its thread asleep ('S') while it has not reported the lock
// as taken.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "config/UTConfigPaths.h"
#include "platform/PosixPlatform.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"
#include "support/ChildProcess.h"
#include "support/ScratchRoots.h"
#include "support/WaitFor.h"

using tvut_test::ChildProcess;
using tvut_test::PathExists;
using tvut_test::ScratchRoots;

namespace {

constexpr auto kBound = std::chrono::seconds(60);
constexpr uid_t kNobody = 65534;

const std::wstring kSendingLock = L"TELVORAN_UT_SENDING_LOCK";

// ---------------------------------------------------------------------------
// Observing other threads and processes

// State letter of a thread or process from its stat file ('R', 'S', 'T', ...),
// or 0 when it cannot be read.
char StateOf(const std::string& stat_path) {
    std::ifstream in(stat_path);
    std::string line;
    std::getline(in, line);
    const size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() ? line[paren + 2] : 0;
}

// Waits until the thread or process behind stat_path sleeps or done is set;
// true when it was seen asleep first.
bool WaitUntilAsleep(const std::string& stat_path, const std::atomic<bool>& done) {
    return tvut_test::WaitFor([&] { return done.load() || StateOf(stat_path) == 'S'; }, kBound) &&
           !done.load();
}

bool WaitForState(pid_t pid, char state) {
    const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    return tvut_test::WaitFor([&] { return StateOf(stat_path) == state; }, kBound);
}

// A one-way byte channel between a parent and a forked child.
class Pipe {
public:
    Pipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() { Close(&fds_[0]); }
    void CloseWrite() { Close(&fds_[1]); }
    bool Send(char c) { return ::write(fds_[1], &c, 1) == 1; }
    // The next byte, or 0 when none arrives within the bound (or at the end).
    char Receive(std::chrono::milliseconds bound = kBound) {
        struct pollfd p = {fds_[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(bound.count())) != 1) {
            return 0;
        }
        char c = 0;
        return ::read(fds_[0], &c, 1) == 1 ? c : 0;
    }
    int read_fd() const { return fds_[0]; }

private:
    static void Close(int* fd) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    int fds_[2];
};

// A thread of this process that takes the guard of name and keeps it until
// Finish.
class ThreadContender {
public:
    explicit ThreadContender(const std::wstring& name)
        : thread_([this, name] {
              tid_.store(::gettid());
              CUTNamedLockGuard guard(name);
              held_.store(guard.IsHeld());
              acquired_.store(true);
          }) {
        while (tid_.load() == 0) {
            std::this_thread::yield();
        }
    }
    ~ThreadContender() { Finish(); }
    // True when the thread was seen asleep before it got the lock.
    bool Blocked() {
        return WaitUntilAsleep("/proc/self/task/" + std::to_string(tid_.load()) + "/stat",
                               acquired_);
    }
    bool acquired() const { return acquired_.load(); }
    // Waits for the thread; true when it got the lock.
    bool Finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return held_.load();
    }

private:
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> acquired_{false};
    std::atomic<bool> held_{false};
    std::thread thread_;
};

// A child process that, once started, takes the guard of name, reports 'A'
// (or 'F' when the guard is not held) and ends. It is forked at construction,
// before the test takes any lock: a child forked while a guard is held
// inherits the held in-process mutex and could never take that lock.
class ProcessContender {
public:
    explicit ProcessContender(const std::wstring& name)
        : child_([this, name] {
              go_.CloseWrite();
              report_pipe_.CloseRead();
              if (go_.Receive() != 'G') {
                  return 1;
              }
              report_pipe_.Send('T');
              CUTNamedLockGuard guard(name);
              report_pipe_.Send(guard.IsHeld() ? 'A' : 'F');
              return 0;
          }) {
        go_.CloseRead();
        report_pipe_.CloseWrite();
    }
    // Lets the child take the guard; true when it is on its way to it.
    bool Start() { return go_.Send('G') && report_pipe_.Receive() == 'T'; }
    // True when the child was seen asleep before it reported.
    bool Blocked() {
        const std::string stat = "/proc/" + std::to_string(child_.pid()) + "/stat";
        bool reported = false;
        return tvut_test::WaitFor([&] { return (reported = Reported()) || StateOf(stat) == 'S'; },
                                  kBound) &&
               !reported && !Reported();
    }
    // The child's report: 'A' when it got the lock.
    char Report() {
        if (report_ == 0) {
            report_ = report_pipe_.Receive();
        }
        return report_;
    }
    int Wait() { return child_.Wait(); }

private:
    bool Reported() {
        struct pollfd p = {report_pipe_.read_fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }

    Pipe go_;
    Pipe report_pipe_;
    ChildProcess child_;
    char report_ = 0;
};

// Descriptors of this process open on path.
int OpenDescriptorsOf(const std::string& path) {
    int count = 0;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        boost::system::error_code link_ec;
        if (boost::filesystem::read_symlink(it->path(), link_ec).string() == path) {
            ++count;
        }
    }
    return count;
}

// Scratch roots, a private runtime folder among them.
class NamedLockTest : public ::testing::Test {
protected:
    std::string runtime() const { return roots_.runtime_root(); }
    std::string LockPath(const std::wstring& name) const {
        return ToUtf8(NamedLockFolder() + L"/" + LockFileName(name));
    }

    ScratchRoots roots_;
};

// ---------------------------------------------------------------------------
// Names

TEST(LockNameTest, FileLockNameFollowsThePath) {
    EXPECT_EQ(L"_var_lib_Telvoran_TVUT_ProdInd_UserInd.cur",
              FileLockName(L"/var/lib/Telvoran/TVUT/ProdInd_UserInd.cur"));
    EXPECT_EQ(L"UT_GLOBAL_FILE_LOCK", FileLockName(L""));
    EXPECT_EQ(L"_" + std::wstring(258, L'a'), FileLockName(L"/" + std::wstring(258, L'a')));
    EXPECT_EQ(L"UT_FILE_LOCK_CONFIG_FILE", FileLockName(L"/" + std::wstring(259, L'a')));
    EXPECT_EQ(L"UT_FILE_LOCK_CONFIG_FILE", FileLockName(L"/" + std::wstring(400, L'\u00fc')));
}

TEST(LockNameTest, LockFileNamesAreSafeDistinctAndStable) {
    const std::wstring long_path = L"/home/j\u00fcrgen/" + std::wstring(120, L'\u65e5') + L"/x.cur";
    const std::wstring names[] = {
        L"UT_GLOBAL_FILE_LOCK",
        L"UT_FILE_LOCK_CONFIG_FILE",
        kSendingLock,
        FileLockName(L"/var/lib/Telvoran/TVUT/ProdInd_UserInd.cur"),
        FileLockName(L"/home/j\u00fcrgen/.local/share/Telvoran/TVUT/ProdInd_UserDep.cur"),
        FileLockName(L"/" + std::wstring(258, L'a')),
        FileLockName(long_path.substr(0, 259)),
        long_path,
        std::wstring(300, L'x'),
        std::wstring(201, L'x'),
        std::wstring(200, L'x'),
        L"a/b",
        L"a_b",
        L"a\\b",
        L".",
        L"..",
        L"",
        L"name with spaces",
        std::wstring(L"nul\0inside", 10),
        L"line\nbreak",
        std::wstring(1, static_cast<wchar_t>(0xD800)),  // not representable in UTF-8
        std::wstring(1, static_cast<wchar_t>(0xD801)),
    };
    std::set<std::wstring> seen;
    for (const std::wstring& name : names) {
        const std::wstring file = LockFileName(name);
        SCOPED_TRACE(ToUtf8(file));
        std::string bytes;
        ASSERT_TRUE(WideToUtf8(file, &bytes));
        EXPECT_FALSE(bytes.empty());
        EXPECT_LE(bytes.size(), 255u);
        EXPECT_EQ(std::string::npos, bytes.find('/'));
        EXPECT_EQ(std::string::npos, bytes.find('\0'));
        EXPECT_NE(".", bytes);
        EXPECT_NE("..", bytes);
        for (char c : bytes) {
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' ||
                        c == '-' || c == '~')
                << static_cast<int>(c);
        }
        EXPECT_EQ(file, LockFileName(name)) << "the same in every call";
        EXPECT_TRUE(seen.insert(file).second) << "two names share a lock file";
    }
    // Short names of plain characters stay readable as they are; others keep a
    // readable prefix.
    EXPECT_EQ(kSendingLock, LockFileName(kSendingLock));
    EXPECT_EQ(std::wstring(200, L'x'), LockFileName(std::wstring(200, L'x')));
    EXPECT_EQ(0u, LockFileName(L"a/b").find(L"a_b~"));
    EXPECT_EQ(0u, LockFileName(long_path).find(L"_home_j_rgen_"));
}

// ---------------------------------------------------------------------------
// The lock folder

TEST_F(NamedLockTest, LockFolderIsTheUsersOwn) {
    const std::string user_locks = roots_.pi_ud_folder() + "/.locks";
    const std::string others = roots_.folder().Join("others");
    const std::string open = roots_.folder().Join("open");
    ::mkdir(others.c_str(), 0700);
    ASSERT_EQ(0, ::chown(others.c_str(), kNobody, kNobody));
    ::mkdir(open.c_str(), 0700);
    ASSERT_EQ(0, ::chmod(open.c_str(), 0777));
    struct Case {
        const char* label;
        const char* runtime;  // null: unset
        std::string folder;
    };
    const std::string usable = runtime();
    const std::string trailing = runtime() + "/";
    const Case cases[] = {
        {"unset", nullptr, user_locks},
        {"empty", "", user_locks},
        {"relative", "runtime", user_locks},
        {"missing", "/nonexistent/runtime", user_locks},
        {"a file", "/etc/passwd", user_locks},
        {"another user's", others.c_str(), user_locks},
        {"writable by others", open.c_str(), user_locks},
        {"usable", usable.c_str(), usable + "/tvut"},
        {"usable, trailing separator", trailing.c_str(), runtime() + "/tvut"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.runtime == nullptr) {
            ::unsetenv("XDG_RUNTIME_DIR");
        } else {
            ::setenv("XDG_RUNTIME_DIR", c.runtime, 1);
        }
        EXPECT_EQ(c.folder, ToUtf8(NamedLockFolder()));
        struct stat st;
        ASSERT_EQ(0, ::stat(c.folder.c_str(), &st));
        EXPECT_EQ(0700u, st.st_mode & 07777);
        const std::wstring name = L"folder test " + FromUtf8(c.label);
        {
            CUTNamedLockGuard guard(name);
            EXPECT_TRUE(guard.IsHeld());
        }
        EXPECT_TRUE(PathExists(c.folder + "/" + ToUtf8(LockFileName(name))));
    }
    EXPECT_FALSE(PathExists(others + "/tvut"));
    EXPECT_FALSE(PathExists(open + "/tvut"));
}

TEST_F(NamedLockTest, NoUsableFolderLeavesTheGuardUnheldAndALaterGuardRetries) {
    ::unsetenv("XDG_RUNTIME_DIR");
    // The user component folder's place is taken by a file.
    ::mkdir((roots_.user_root() + "/Telvoran").c_str(), 0700);
    ASSERT_TRUE(tvut_test::WriteFile(roots_.pi_ud_folder(), "not a folder"));
    {
        CUTNamedLockGuard guard(L"unmakeable");
        EXPECT_FALSE(guard.IsHeld());
    }
    ASSERT_EQ(0, ::unlink(roots_.pi_ud_folder().c_str()));
    CUTNamedLockGuard guard(L"unmakeable");
    EXPECT_TRUE(guard.IsHeld());
}

TEST_F(NamedLockTest, LongAndNonAsciiNamesWork) {
    const std::wstring names[] = {
        FileLockName(L"/" + std::wstring(300, L'\u00e9')),
        L"/home/\u00e9l\u00e8ve/" + std::wstring(250, L'\u6587') + L"/ProdInd_UserDep.cur",
        std::wstring(1000, L'n'),
    };
    for (const std::wstring& name : names) {
        ProcessContender other(name);
        {
            CUTNamedLockGuard guard(name);
            EXPECT_TRUE(guard.IsHeld());
            EXPECT_TRUE(PathExists(LockPath(name)));
            ASSERT_TRUE(other.Start());
            EXPECT_TRUE(other.Blocked());
        }
        EXPECT_EQ('A', other.Report());
        EXPECT_EQ(0, other.Wait());
    }
}

// ---------------------------------------------------------------------------
// Exclusion

TEST_F(NamedLockTest, TwoThreadsOfOneProcessExcludeEachOther) {
    const std::wstring name = L"threads";
    {
        std::unique_ptr<CUTNamedLockGuard> held(new CUTNamedLockGuard(name));
        ASSERT_TRUE(held->IsHeld());
        ThreadContender other(name);
        EXPECT_TRUE(other.Blocked());
        EXPECT_FALSE(other.acquired());
        held.reset();
        EXPECT_TRUE(other.Finish());
    }
    // Many threads at once: never two inside.
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                CUTNamedLockGuard guard(name);
                const int now = inside.fetch_add(1) + 1;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::yield();
                inside.fetch_sub(1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, most.load());
}

// The parent opened the lock file before it forked: the child must still
// hold a lock of its own, not share the parent's open file.
TEST_F(NamedLockTest, ChildHoldingTheLockBlocksTheParentUntilItReleases) {
    const std::wstring name = kSendingLock;
    { CUTNamedLockGuard warm(name); }
    Pipe held;
    Pipe release;
    ChildProcess child([&] {
        held.CloseRead();
        release.CloseWrite();
        CUTNamedLockGuard guard(name);
        held.Send(guard.IsHeld() ? 'H' : 'F');
        release.Receive();
        return 0;
    });
    held.CloseWrite();
    release.CloseRead();
    ASSERT_EQ('H', held.Receive());
    ThreadContender parent(name);
    EXPECT_TRUE(parent.Blocked());
    EXPECT_FALSE(parent.acquired());
    release.Send('R');
    EXPECT_TRUE(parent.Finish());
    EXPECT_EQ(0, child.Wait());
}

TEST_F(NamedLockTest, KilledHolderReleasesTheLock) {
    const std::wstring name =
        FileLockName(FromUtf8(roots_.pi_ud_folder() + "/ProdInd_UserDep.cur"));
    Pipe held;
    ChildProcess child([&] {
        held.CloseRead();
        CUTNamedLockGuard guard(name);
        held.Send(guard.IsHeld() ? 'H' : 'F');
        ::raise(SIGSTOP);
        return 0;
    });
    held.CloseWrite();
    ASSERT_EQ('H', held.Receive());
    ASSERT_TRUE(WaitForState(child.pid(), 'T'));
    ThreadContender parent(name);
    EXPECT_TRUE(parent.Blocked()) << "a stopped holder still holds";
    EXPECT_FALSE(parent.acquired());
    child.Kill();
    EXPECT_EQ(128 + SIGKILL, child.Wait());
    EXPECT_TRUE(parent.Finish());
}

TEST_F(NamedLockTest, AnotherDescriptorOfTheLockFileDoesNotDropAHeldLock) {
    const std::wstring name = L"UT_GLOBAL_FILE_LOCK";
    ProcessContender other(name);
    {
        CUTNamedLockGuard guard(name);
        ASSERT_TRUE(guard.IsHeld());
        const std::string path = LockPath(name);
        // What any other code of the host might do with the file.
        const int fd = ::open(path.c_str(), O_RDWR);
        ASSERT_LE(0, fd);
        ::close(fd);
        { std::ifstream(path).get(); }
        ASSERT_TRUE(other.Start());
        EXPECT_TRUE(other.Blocked());
    }
    EXPECT_EQ('A', other.Report());
    EXPECT_EQ(0, other.Wait());
}

TEST_F(NamedLockTest, UnloadClosesOnlyLocksThatNoGuardUses) {
    const std::wstring used = L"used at unload";
    const std::wstring idle = L"idle at unload";
    { CUTNamedLockGuard guard(idle); }
    const std::string idle_path = LockPath(idle);
    const std::string used_path = LockPath(used);
    EXPECT_EQ(1, OpenDescriptorsOf(idle_path)) << "kept open between guards";
    ProcessContender other(used);
    {
        CUTNamedLockGuard guard(used);
        ASSERT_TRUE(guard.IsHeld());
        ReleaseNamedLocks();
        EXPECT_EQ(0, OpenDescriptorsOf(idle_path));
        EXPECT_EQ(1, OpenDescriptorsOf(used_path));
        ASSERT_TRUE(other.Start());
        EXPECT_TRUE(other.Blocked()) << "the held lock survives the unload";
    }
    EXPECT_EQ('A', other.Report());
    ReleaseNamedLocks();
    EXPECT_EQ(0, OpenDescriptorsOf(used_path));
    CUTNamedLockGuard again(used);
    EXPECT_TRUE(again.IsHeld());
}

// ---------------------------------------------------------------------------
// Another user, and the kernel

// Folders for a child that runs as nobody: reachable for it, its own.
std::string FolderOfNobody(const tvut_test::ScratchFolder& scratch, const std::string& name) {
    const std::string path = scratch.Join(name);
    ::mkdir(path.c_str(), 0700);
    return ::chown(path.c_str(), kNobody, kNobody) == 0 ? path : std::string();
}

// Runs as nobody: takes each lock and starts and stops the component.
// Returns 0, or the step that failed.
int RunAsNobody(const std::string& data, const char* runtime, const std::wstring* names,
                size_t count) {
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    ::setenv("HOME", data.c_str(), 1);
    if (runtime != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", runtime, 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        return 2;
    }
    for (size_t i = 0; i < count; ++i) {
        CUTNamedLockGuard guard(names[i]);
        if (!guard.IsHeld()) {
            return 10 + static_cast<int>(i);
        }
    }
    if (CUTFacade::InitUTComponent() != UT_INIT_OK) {
        return 4;
    }
    return CUTFacade::CleanUp() == UT_CLEANUP_OK ? 0 : 5;
}

TEST_F(NamedLockTest, SecondUserTakesLocksOfTheSameNamesRootLeftBehind) {
    const std::wstring names[] = {
        kSendingLock,
        L"UT_GLOBAL_FILE_LOCK",
        L"UT_FILE_LOCK_CONFIG_FILE",
        FileLockName(FromUtf8(roots_.pi_ui_folder() + "/ProdInd_UserInd.cur")),
    };
    // Root runs the component and takes every lock first, in a process of its
    // own, and leaves its lock files behind.
    {
        ChildProcess root([&] {
            for (const std::wstring& name : names) {
                CUTNamedLockGuard guard(name);
                if (!guard.IsHeld()) {
                    return 1;
                }
            }
            const bool ok = CUTFacade::InitUTComponent() == UT_INIT_OK;
            CUTFacade::CleanUp();
            return ok ? 0 : 2;
        });
        ASSERT_EQ(0, root.Wait());
    }
    for (const std::wstring& name : names) {
        EXPECT_TRUE(PathExists(LockPath(name)));
    }
    // nobody may pass through the scratch folder and read machine settings.
    ASSERT_EQ(0, ::chmod(roots_.folder().path().c_str(), 0711));
    ASSERT_EQ(0, ::chmod(roots_.machine_root().c_str(), 0755));
    const std::string nobody_data = FolderOfNobody(roots_.folder(), "nobody-data");
    const std::string nobody_runtime = FolderOfNobody(roots_.folder(), "nobody-runtime");
    ASSERT_FALSE(nobody_data.empty());
    ASSERT_FALSE(nobody_runtime.empty());

    struct Case {
        const char* label;
        const char* runtime;
        std::string folder;
    };
    const std::string root_runtime = runtime();
    const Case cases[] = {
        {"own runtime folder", nobody_runtime.c_str(), nobody_runtime + "/tvut"},
        // su without "-" keeps root's variable: passed over.
        {"root's runtime folder", root_runtime.c_str(), nobody_data + "/Telvoran/TVUT/.locks"},
        {"no runtime folder", nullptr, nobody_data + "/Telvoran/TVUT/.locks"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ChildProcess nobody(
            [&] { return RunAsNobody(nobody_data, c.runtime, names, std::size(names)); });
        EXPECT_EQ(0, nobody.Wait());
        struct stat st;
        ASSERT_EQ(0, ::stat(c.folder.c_str(), &st));
        EXPECT_EQ(kNobody, st.st_uid);
        EXPECT_EQ(0700u, st.st_mode & 07777);
        for (const std::wstring& name : names) {
            EXPECT_TRUE(PathExists(c.folder + "/" + ToUtf8(LockFileName(name))));
        }
    }
    EXPECT_EQ(0u, boost::filesystem::status(runtime() + "/tvut").permissions() & 077)
        << "root's folder stays root's own";
}

// The component in processes with an IPC namespace of their own: whatever
// they leave in the kernel shows in that namespace's semaphore list. One
// process ends as hosts do, without unloading; another is killed while it
// holds a lock.
TEST_F(NamedLockTest, ComponentLeavesNoSystemVSemaphoreSets) {
    ChildProcess child([&] {
        if (::unshare(CLONE_NEWIPC) != 0) {
            return 77;
        }
        ChildProcess host([] {
            for (const std::wstring& name : {kSendingLock, std::wstring(L"UT_GLOBAL_FILE_LOCK")}) {
                CUTNamedLockGuard guard(name);
                if (!guard.IsHeld()) {
                    return 2;
                }
            }
            if (CUTFacade::InitUTComponent() != UT_INIT_OK) {
                return 3;
            }
            return CUTFacade::CleanUp() == UT_CLEANUP_OK ? 0 : 4;
        });
        if (host.Wait() != 0) {
            return 2;
        }
        Pipe held;
        ChildProcess killed([&] {
            held.CloseRead();
            CUTNamedLockGuard guard(L"killed while held");
            held.Send(guard.IsHeld() ? 'H' : 'F');
            ::pause();
            return 0;
        });
        held.CloseWrite();
        if (held.Receive() != 'H') {
            return 3;
        }
        killed.Kill();
        killed.Wait();
        std::ifstream sem("/proc/sysvipc/sem");
        std::string line;
        int sets = -1;  // the header line
        while (std::getline(sem, line)) {
            ++sets;
        }
        return sets == 0 ? 0 : 10 + std::min(sets, 100);
    });
    const int code = child.Wait();
    if (code == 77) {
        GTEST_SKIP() << "no IPC namespace of its own here";
    }
    EXPECT_EQ(0, code) << "10 + the number of semaphore sets left";
}

}  // namespace
