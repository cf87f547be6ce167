// libtvUT.so as a host loads it: what it exports, and a whole sequence run
// through dlopen, including an unload without CleanUp.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include <tvUT/UTFacade.h>

#include "support/ChildProcess.h"
#include "support/ScratchRoots.h"
#include "support/TranscriptFiles.h"

using tvut_test::ChildProcess;
using tvut_test::PathExists;
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
    EXPECT_EQ(8, facade) << "every facade operation is exported";
}

namespace {

template <class F>
F Symbol(void* library, const char* name) {
    return reinterpret_cast<F>(dlsym(library, name));
}

// The host's sequence through the loaded library, unloading it without
// CleanUp the first time. Returns 0 when every step gave what it should.
int LoadRunUnload(const std::string& scratch) {
    for (int round = 0; round < 2; ++round) {
        void* library = dlopen(TVUT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            return 10;
        }
        auto init = Symbol<UTStatus (*)()>(library, "_ZN9CUTFacade15InitUTComponentEv");
        auto create_product =
            Symbol<CUTProductInfo* (*)()>(library, "_ZN14CUTProductInfo6CreateEv");
        auto create_user = Symbol<CUTUserInfo* (*)()>(library, "_ZN11CUTUserInfo6CreateEv");
        auto information =
            Symbol<UTStatus (*)(const CUTProductInfo*, const CUTUserInfo*, kormBOOLEAN)>(
                library,
                "_ZN9CUTFacade16GetUBInformationEPK14CUTProductInfoPK11CUTUserInfo11kormBOOLEAN");
        auto cleanup = Symbol<UTStatus (*)()>(library, "_ZN9CUTFacade7CleanUpEv");
        if (!init || !create_product || !create_user || !information || !cleanup) {
            return 11;
        }
        if (init() != UT_INIT_OK || init() != UT_INIT_OK) {
            return 12;
        }
        CUTProductInfo* product = create_product();
        CUTUserInfo* user = create_user();
        char16_t line[] = u"LINE";
        char16_t release[] = u"7";
        product->SetProductLineId(kormSTRING{line, -1});
        product->SetReleaseId(kormSTRING{release, -1});
        information(product, user, kormFALSE);
        product->Dispose();
        user->Dispose();
        if (!PathExists(scratch + "/user/Telvoran/TVUT/LINE_7/ProdDep_UserDep.cur")) {
            return 13;
        }
        if (round == 1 && cleanup() != UT_CLEANUP_OK) {
            return 14;
        }
        // The first round leaves the teardown to the unload hook.
        if (dlclose(library) != 0) {
            return 15;
        }
    }
    return 0;
}

}  // namespace

TEST(LibraryTest, HostSequenceThroughTheLoadedLibraryAndUnloadWithoutCleanUp) {
    ScratchRoots roots;
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
