// The worker threads of libtvUT.so as a host sees them: CleanUp and the
// unload return while timers fire and requests pour in, and leave no thread
// of the component behind. Threads are counted in /proc/self/task of a child
// process that loads the library with dlopen.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <tvUT/UTFacade.h>

#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "support/ChildProcess.h"
#include "support/LoadedFacade.h"
#include "support/LocalReceiver.h"
#include "support/ScratchRoots.h"
#include "support/ThreadCount.h"
#include "support/WaitFor.h"

using tvut_test::ChildProcess;
using Facade = tvut_test::LoadedFacade;
using tvut_test::ScratchRoots;
using tvut_test::ThreadCount;

namespace {

// Timers at 1 second, and a delivered send on record so that
// GetUBInformation asks the worker instead of sending on the host's thread.
void StormSettings() {
    CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
    ASSERT_TRUE(machine.Load());
    for (const wchar_t* item : {L"CommunicationCheckTime", L"CommunicationRetryWaitTime",
                                L"CommunicationServerRestartWaitTime"}) {
        machine.SetValue(item, L"1000", false);
    }
    ASSERT_TRUE(machine.Save());
    CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(user.Load());
    user.SetValue(L"LastSendTimestamp", L"1700000000", true);
}

// Initialises, hands the product over and then asks for sends from two host
// threads until the check timer has had time to fire, then stops them.
// Returns 0 when every request was accepted.
int InitAndStorm(const Facade& facade) {
    if (facade.init() != UT_INIT_OK) {
        return 20;
    }
    char16_t line[] = u"LINE";
    char16_t release[] = u"7";
    char16_t term[] = u"TERM";
    char16_t login[] = u"storm";
    CUTProductInfo* product = facade.create_product();
    CUTUserInfo* user = facade.create_user();
    product->SetProductLineId(kormSTRING{line, -1});
    product->SetReleaseId(kormSTRING{release, -1});
    // With the login handed in, each request reads only the host's objects.
    product->SetProgramType(kormSTRING{term, -1});
    user->SetLogin(kormSTRING{login, -1});
    std::atomic<int> refused{0};
    if (facade.information(product, user, kormFALSE) != UT_SEND_OK) {
        ++refused;
    }
    // Long enough for the 1-second check timer to fire during the storm.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
    std::vector<std::thread> hosts;
    for (int t = 0; t < 2; ++t) {
        hosts.emplace_back([&] {
            while (std::chrono::steady_clock::now() < until) {
                if (facade.information(product, user, kormFALSE) != UT_SEND_OK) {
                    ++refused;
                }
            }
        });
    }
    for (std::thread& host : hosts) {
        host.join();
    }
    product->Dispose();
    user->Dispose();
    return refused.load() == 0 ? 0 : 21;
}

int Report(int code, const char* what, int before, int after) {
    std::fprintf(stderr, "%s: %d threads before, %d after\n", what, before, after);
    return code;
}

// A session handed over with a delivered send on record.
bool StartSession(const Facade& facade, CUTProductInfo** product, CUTUserInfo** user) {
    static char16_t line[] = u"LINE";
    static char16_t release[] = u"7";
    if (!facade.complete() || facade.init() != UT_INIT_OK) {
        return false;
    }
    *product = facade.create_product();
    *user = facade.create_user();
    (*product)->SetProductLineId(kormSTRING{line, -1});
    (*product)->SetReleaseId(kormSTRING{release, -1});
    return facade.information(*product, *user, kormFALSE) == UT_SEND_OK;
}

void OldSendOnRecord() {
    CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(user.Load());
    user.SetValue(L"LastSendTimestamp", L"1000", true);
}

}  // namespace

TEST(ManagerLibraryTest, CleanUpDuringAWakeUpStormLeavesNoThread) {
    ScratchRoots roots;
    StormSettings();
    ChildProcess host([] {
        void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            return 10;
        }
        Facade facade(library);
        if (!facade.complete()) {
            return 11;
        }
        const int before = ThreadCount();
        // Several rounds: the daemon thread has just been woken, and a timer
        // may be firing, when CleanUp begins.
        for (int round = 0; round < 3; ++round) {
            if (const int failed = InitAndStorm(facade)) {
                return failed;
            }
            if (facade.cleanup() != UT_CLEANUP_OK) {
                return 12;
            }
            if (ThreadCount() != before) {
                return Report(13, "after CleanUp", before, ThreadCount());
            }
        }
        if (dlclose(library) != 0) {
            return 14;
        }
        return ThreadCount() == before ? 0 : Report(15, "after dlclose", before, ThreadCount());
    });
    EXPECT_EQ(0, host.Wait());
}

TEST(ManagerLibraryTest, UnloadWithoutCleanUpDuringAWakeUpStormLeavesNoThread) {
    ScratchRoots roots;
    StormSettings();
    ChildProcess host([] {
        const int before = ThreadCount();
        void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            return 10;
        }
        Facade facade(library);
        if (!facade.complete()) {
            return 11;
        }
        if (const int failed = InitAndStorm(facade)) {
            return failed;
        }
        // The host unloads the library without CleanUp.
        if (dlclose(library) != 0) {
            return 14;
        }
        return ThreadCount() == before ? 0 : Report(15, "after dlclose", before, ThreadCount());
    });
    EXPECT_EQ(0, host.Wait());
}

// A host that exits without CleanUp while the worker waits on a server that
// never answers, with no time-out configured: the unload must end the upload
// as CleanUp does, or the host never exits.
TEST(ManagerLibraryTest, UnloadDuringAStalledUploadEndsIt) {
    ScratchRoots roots;
    tvut_test::ReceiverOptions options;
    options.script_json = R"([{"hang": true}])";
    tvut_test::LocalReceiver receiver(options);
    const std::string host_url = receiver.HostUrl();
    ASSERT_TRUE(tvut_test::WriteMachineSettings(
        {{L"ReceivingHost", std::wstring(host_url.begin(), host_url.end())},
         {L"CommunicationTimeOut", L"0"},
         {L"CommunicationCheckTime", L"3600000"}}));
    // Long ago: the worker's scheduled check sends.
    OldSendOnRecord();
    ChildProcess host([&receiver] {
        void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            return 10;
        }
        Facade facade(library);
        CUTProductInfo* product = nullptr;
        CUTUserInfo* user = nullptr;
        if (!StartSession(facade, &product, &user)) {
            return 11;
        }
        product->Dispose();
        user->Dispose();
        // The worker's upload is in flight when the host goes.
        if (!receiver.WaitForArrivals(1)) {
            return 13;
        }
        return dlclose(library) == 0 ? 0 : 14;
    });
    const bool ended = tvut_test::WaitFor([&host] { return host.HasEnded(); });
    if (!ended) {
        host.Kill();
    }
    EXPECT_TRUE(ended) << "the unload waited for a server that never answers";
    EXPECT_EQ(0, host.Wait());
}

// A host that loads and unloads the library again and again keeps nothing
// of it: the tables and registries that outlive static destruction are
// freed at unload. The first cycles load the dependencies for good, so the
// heap is compared from the end of a warm-up; a few kilobytes of the C
// library's own bookkeeping settle over the measured cycles, far below the
// kilobytes per cycle that a table kept on every unload costs.
TEST(ManagerLibraryTest, LoadAndUnloadCyclesKeepNoHeap) {
    ScratchRoots roots;
    OldSendOnRecord();
    ChildProcess host([] {
        const auto cycle = [] {
            void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
            if (library == nullptr) {
                return false;
            }
            Facade facade(library);
            CUTProductInfo* product = nullptr;
            CUTUserInfo* user = nullptr;
            bool ok =
                StartSession(facade, &product, &user) && facade.log_usage() == UT_LOG_USAGE_OK;
            if (product != nullptr) {
                product->Dispose();
                user->Dispose();
            }
            ok = facade.cleanup() == UT_CLEANUP_OK && ok;
            return dlclose(library) == 0 && ok;
        };
        for (int i = 0; i < 10; ++i) {
            if (!cycle()) {
                return 10;
            }
        }
        const size_t before = mallinfo2().uordblks;
        constexpr int kCycles = 40;
        for (int i = 0; i < kCycles; ++i) {
            if (!cycle()) {
                return 11;
            }
        }
        const size_t after = mallinfo2().uordblks;
        const size_t per_cycle = after > before ? (after - before) / kCycles : 0;
        if (per_cycle >= 1000) {
            std::fprintf(stderr, "heap grew by %zu bytes per cycle\n", per_cycle);
            return 12;
        }
        return 0;
    });
    EXPECT_EQ(0, host.Wait());
}

namespace {

// Waits up to bound for pid; its exit code, 128 + signal, or -2 (then
// killed) when it has not ended.
int WaitForPid(pid_t pid, std::chrono::seconds bound) {
    int status = 0;
    if (!tvut_test::WaitFor([pid, &status] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                            bound)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -2;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Set in the children that fork or exit while calls run: tvUT leaves its
// objects to the process's end there on purpose, which a leak check would
// report. LeakSanitizer asks this at its check; without it, unused.
std::atomic<bool> g_leaks_by_design{false};

}  // namespace

extern "C" int __lsan_is_turned_off() {
    return g_leaks_by_design.load() ? 1 : 0;
}

// A child forked after InitUTComponent, while the parent's worker holds an
// upload (and with it the sending lock): every call refuses at once with
// -1002, and the child's exit() ends it normally, waiting on nothing the
// fork did not copy.
TEST(ManagerLibraryTest, AChildForkedAfterInitRefusesEveryCallAndExits) {
    ScratchRoots roots;
    tvut_test::ReceiverOptions options;
    options.script_json = R"([{"hold": true}])";
    tvut_test::LocalReceiver receiver(options);
    const std::string host_url = receiver.HostUrl();
    ASSERT_TRUE(tvut_test::WriteMachineSettings(
        {{L"ReceivingHost", std::wstring(host_url.begin(), host_url.end())},
         {L"CommunicationCheckTime", L"3600000"}}));
    OldSendOnRecord();
    ChildProcess host([&receiver] {
        void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            return 10;
        }
        Facade facade(library);
        CUTProductInfo* product = nullptr;
        CUTUserInfo* user = nullptr;
        if (!StartSession(facade, &product, &user) || !receiver.WaitForArrivals(1)) {
            return 11;
        }
        g_leaks_by_design.store(true);  // inherited by the forked children
        for (int way = 0; way < 2; ++way) {
            const pid_t child = ::fork();
            if (child == 0) {
                const bool refused =
                    facade.init() == UT_IN_FORKED_CHILD &&
                    facade.information(product, user, kormTRUE) == UT_IN_FORKED_CHILD &&
                    facade.log_usage() == UT_IN_FORKED_CHILD &&
                    facade.crash() == UT_IN_FORKED_CHILD && facade.user_id().text == nullptr &&
                    facade.cleanup() == UT_IN_FORKED_CHILD;
                // exit() runs every exit handler of the library; the other
                // way leaves even the calls out.
                std::exit(way == 0 ? (refused ? 0 : 30) : 0);
            }
            const int code = WaitForPid(child, std::chrono::seconds(20));
            if (code != 0) {
                std::fprintf(stderr, "forked child %d: %d\n", way, code);
                return 12 + way;
            }
        }
        product->Dispose();
        user->Dispose();
        // The parent goes on as before: its held upload ends with the unload.
        return dlclose(library) == 0 ? 0 : 14;
    });
    const bool ended = tvut_test::WaitFor([&host] { return host.HasEnded(); });
    if (!ended) {
        host.Kill();
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(0, host.Wait());
    receiver.Release();
}

// exit() while other host threads are inside facade calls (a synchronous
// send the server answers after 100 ms, a loop of GetUserID): the exit waits
// for them a bounded time, ends the upload, and destroys nothing a running
// call still uses.
TEST(ManagerLibraryTest, ExitWhileHostThreadsAreInsideFacadeCallsEndsCleanly) {
    ScratchRoots roots;
    tvut_test::ReceiverOptions options;
    options.script_json = R"([{"delay": 0.1, "default": true}])";
    tvut_test::LocalReceiver receiver(options);
    const std::string host_url = receiver.HostUrl();
    ASSERT_TRUE(tvut_test::WriteMachineSettings(
        {{L"ReceivingHost", std::wstring(host_url.begin(), host_url.end())},
         {L"CommunicationCheckTime", L"3600000"}}));
    OldSendOnRecord();
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        ChildProcess host([run] {
            void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
            if (library == nullptr) {
                return 10;
            }
            Facade facade(library);
            CUTProductInfo* product = nullptr;
            CUTUserInfo* user = nullptr;
            if (!StartSession(facade, &product, &user)) {
                return 11;
            }
            static std::atomic<int> sends{0};
            static std::atomic<int> reads{0};
            std::thread([&facade, product, user] {
                for (;;) {
                    facade.information(product, user, kormTRUE);
                    ++sends;
                }
            }).detach();
            std::thread([&facade] {
                for (;;) {
                    facade.user_id();
                    ++reads;
                }
            }).detach();
            // Both threads are at work, each run a send later: the exit
            // meets them at different points of their calls.
            if (!tvut_test::WaitFor([run] { return sends.load() > run && reads.load() > 0; })) {
                return 12;
            }
            g_leaks_by_design.store(true);
            std::exit(0);
        });
        const bool ended = tvut_test::WaitFor([&host] { return host.HasEnded(); });
        if (!ended) {
            host.Kill();
        }
        EXPECT_TRUE(ended);
        EXPECT_EQ(0, host.Wait());
    }
}
