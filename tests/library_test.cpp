// libtvUT.so as a host loads it: what it exports, and a whole sequence run
// through dlopen, including an unload without CleanUp.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include <tvUT/UTFacade.h>

#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "support/ChildProcess.h"
#include "support/LoadedFacade.h"
#include "support/ScratchRoots.h"
#include "support/ThreadCount.h"
#include "support/TranscriptFiles.h"

using tvut_test::ChildProcess;
using tvut_test::PathExists;
using tvut_test::ReadFile;
using tvut_test::RunCommand;
using tvut_test::ScratchRoots;

TEST(LibraryTest, ExportsOnlyTheFacadeTheFactoriesAndCUTObject) {
    std::string output;
    ASSERT_EQ(0, RunCommand(std::string("nm -D --defined-only -C ") + TVUT_LIBRARY_PATH, &output));
    const char* allowed[] = {"CUTFacade::",
                             "CUTProductInfo::Create()",
                             "CUTUserInfo::Create()",
                             "CUTObject::",
                             "vtable for CUTObject",
                             "typeinfo for CUTObject",
                             "typeinfo name for CUTObject"};
    std::istringstream lines(output);
    int facade = 0;
    for (std::string line; std::getline(lines, line);) {
        // "<address> <type> <name>"
        const size_t name_at = line.find(' ', line.find(' ') + 1);
        ASSERT_NE(std::string::npos, name_at) << line;
        const std::string name = line.substr(name_at + 1);
        bool ok = false;
        for (const char* prefix : allowed) {
            ok = ok || name.compare(0, std::string(prefix).size(), prefix) == 0;
        }
        EXPECT_TRUE(ok) << "exported: " << name;
        facade += name.compare(0, 11, "CUTFacade::") == 0 ? 1 : 0;
    }
    EXPECT_EQ(10, facade) << "every facade operation is exported";
}

// Hooks that only tests use are compiled into the tests' build of the
// component alone: the library a host loads has none of them (nor the lock
// the process observer takes in every cycle). The library keeps its own
// symbols in its table, hidden from hosts, which is what nm reads here.
TEST(LibraryTest, CarriesNoTestSeam) {
    std::string output;
    ASSERT_EQ(0, RunCommand(std::string("nm -C ") + TVUT_LIBRARY_PATH, &output));
    ASSERT_NE(std::string::npos, output.find("CUTTranscriptManager::runCycle()"))
        << "the symbol table lists the library's own functions";
    for (const char* seam : {"CUTTranscriptManager::SetProcessObserver", "g_observer"}) {
        EXPECT_EQ(std::string::npos, output.find(seam)) << seam;
    }
}

namespace {

template <class F>
F Symbol(void* library, const char* name) {
    return reinterpret_cast<F>(dlsym(library, name));
}

// Entries of a /proc/self folder: the process's descriptors.
int CountEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return count - (std::string(folder) == "/proc/self/fd" ? 1 : 0);  // the listing's own
}

// One run of the host's sequence through the loaded library: init, hand
// over the product, then either CleanUp or nothing, then unload. Returns 0
// when every step gave what it should.
int OneRound(const std::string& scratch, bool clean_up, const char16_t* release_id) {
    void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return 10;
    }
    const tvut_test::LoadedFacade facade(library);
    auto init = facade.init;
    auto create_product = facade.create_product;
    auto create_user = facade.create_user;
    auto information = facade.information;
    auto cleanup = facade.cleanup;
    if (!init || !create_product || !create_user || !information || !cleanup) {
        return 11;
    }
    // A fresh load starts uninitialised: CleanUp has nothing to shut down.
    if (cleanup() != UT_NOT_INITIALISED) {
        return 12;
    }
    if (init() != UT_INIT_OK || init() != UT_INIT_OK) {
        return 13;
    }
    CUTProductInfo* product = create_product();
    CUTUserInfo* user = create_user();
    std::u16string line = u"LINE", release = release_id;
    product->SetProductLineId(kormSTRING{&line[0], -1});
    product->SetReleaseId(kormSTRING{&release[0], -1});
    information(product, user, kormFALSE);
    product->Dispose();
    user->Dispose();
    std::string folder(release.begin(), release.end());
    if (!PathExists(scratch + "/user/Telvoran/TVUT/LINE_" + folder + "/ProdDep_UserDep.cur")) {
        return 14;
    }
    if (clean_up && cleanup() != UT_CLEANUP_OK) {
        return 15;
    }
    if (dlclose(library) != 0) {
        return 16;
    }
    // Really gone: nothing of it stays mapped to be found again.
    if (dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        return 17;
    }
    return 0;
}

// Unloading without CleanUp must tear down as CleanUp does: no thread and no
// descriptor of the component stays behind, what it wrote is complete, the
// library really leaves the process and the next load starts from scratch.
int LoadRunUnload(const std::string& scratch) {
    const int threads = tvut_test::ThreadCount();
    const int descriptors = CountEntries("/proc/self/fd");
    const struct {
        bool clean_up;
        const char16_t* release;
    } rounds[] = {{true, u"1"}, {false, u"2"}, {true, u"3"}, {false, u"4"}};
    int round = 0;
    for (const auto& r : rounds) {
        ++round;
        if (int failed = OneRound(scratch, r.clean_up, r.release)) {
            std::fprintf(stderr, "round %d failed with %d\n", round, failed);
            return failed;
        }
        if (tvut_test::ThreadCount() != threads) {
            std::fprintf(stderr, "round %d: threads %d -> %d\n", round, threads,
                         tvut_test::ThreadCount());
            return 40;
        }
        if (CountEntries("/proc/self/fd") != descriptors) {
            std::fprintf(stderr, "round %d: descriptors %d -> %d\n", round, descriptors,
                         CountEntries("/proc/self/fd"));
            return 41;
        }
    }
    // Every round's lines are in the log, whole, the last one too.
    const std::string log = ReadFile(scratch + "/user/Telvoran/TVUT/TVUTLog.log");
    int sends = 0;
    for (size_t at = log.find("GetUBInformation return"); at != std::string::npos;
         at = log.find("GetUBInformation return", at + 1)) {
        ++sends;
    }
    if (sends != 4 || log.empty() || log.back() != '\n') {
        std::fprintf(stderr, "log:\n%s\n", log.c_str());
        return 42;
    }
    return 0;
}

}  // namespace

TEST(LibraryTest, HostSequenceThroughTheLoadedLibraryAndUnloadWithoutCleanUp) {
    ScratchRoots roots;
    {
        // Logging on, so that the unload can be seen to leave a complete log.
        CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
        ASSERT_TRUE(machine.Load());
        machine.SetValue(L"EnableLogging", L"1", false);
        machine.SetValue(L"LogLevel", L"5", true);
    }
    const std::string scratch = roots.folder().path();
    ChildProcess host([scratch] { return LoadRunUnload(scratch); });
    EXPECT_EQ(0, host.Wait());
}

TEST(LibraryTest, ProcessExitWithoutCleanUpEndsCleanly) {
    ScratchRoots roots;
    ChildProcess host([] {
        void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        auto init = library == nullptr
                        ? nullptr
                        : Symbol<UTStatus (*)()>(library, "_ZN9CUTFacade15InitUTComponentEv");
        if (init == nullptr || init() != UT_INIT_OK) {
            return 1;
        }
        // The host exits as it is: exit handlers and unload hooks tear down.
        std::exit(0);
    });
    EXPECT_EQ(0, host.Wait());
}

TEST(LibraryTest, UnloadWithoutCleanUpWritesTheFinalTranscript) {
    ScratchRoots roots;
    const std::string folder = roots.pi_ud_folder() + "/LINE_7/Transcripts";
    ChildProcess host([&folder] {
        void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            return 10;
        }
        auto init = Symbol<UTStatus (*)()>(library, "_ZN9CUTFacade15InitUTComponentEv");
        auto create_product =
            Symbol<CUTProductInfo* (*)()>(library, "_ZN14CUTProductInfo6CreateEv");
        auto information =
            Symbol<UTStatus (*)(const CUTProductInfo*, const CUTUserInfo*, kormBOOLEAN)>(
                library,
                "_ZN9CUTFacade16GetUBInformationEPK14CUTProductInfoPK11CUTUserInfo11kormBOOLEAN");
        if (!init || !create_product || !information || init() != UT_INIT_OK) {
            return 11;
        }
        CUTProductInfo* product = create_product();
        char16_t line[] = u"LINE";
        char16_t release[] = u"7";
        product->SetProductLineId(kormSTRING{line, -1});
        product->SetReleaseId(kormSTRING{release, -1});
        information(product, nullptr, kormFALSE);
        product->Dispose();
        // No transcript before the unload: the unload writes it.
        if (!tvut_test::ListTranscriptFolder(folder).transcripts.empty()) {
            return 12;
        }
        return dlclose(library) == 0 ? 0 : 13;
    });
    ASSERT_EQ(0, host.Wait());
    const tvut_test::TranscriptFolder listing = tvut_test::ListTranscriptFolder(folder);
    ASSERT_EQ(1u, listing.transcripts.size());
    std::map<std::string, std::string> values;
    std::string report;
    ASSERT_TRUE(tvut_test::ReadTranscript(listing.transcripts[0], &values, &report)) << report;
    EXPECT_EQ("-1", values["transcript/usage_data/end_time"]) << "no end-time stamp";
}
