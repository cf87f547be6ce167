// tvUT.dll as a host loads it, in a process of its own: every way a host
// may end without CleanUp (unloading the library, ending the process while
// the component's threads run) must end, since the system calls the DLL's
// entry with the loader lock held and nothing there may wait. And the
// threads the component starts in this process end at CleanUp.
#include <gtest/gtest.h>

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <string>

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "support/ScratchRoots.h"
#include "support/ThreadCount.h"
#include "support/WaitFor.h"
#include "support/WindowsChild.h"

using tvut_test::RoleArgument;
using tvut_test::ScratchRoots;
using tvut_test::WindowsChild;

namespace {

std::wstring LibraryPath() {
    return tvut_test::BuildPathForWindows(TVUT_LIBRARY_PATH);
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void SetText(CUTProductInfo* product, void (CUTProductInfo::*setter)(const kormSTRING&),
             const wchar_t* text) {
    (product->*setter)(kormSTRING{const_cast<kormCHAR*>(text), -1});
}

// A product as a host fills it (the object may come from the DLL: only its
// virtual operations are called).
void FillProduct(CUTProductInfo* product) {
    SetText(product, &CUTProductInfo::SetProductLineId, L"LINE");
    SetText(product, &CUTProductInfo::SetReleaseId, L"2026");
    SetText(product, &CUTProductInfo::SetReleaseType, L"F");
    SetText(product, &CUTProductInfo::SetProgramType, L"VIEWER");
}

// The exports a host resolves by name: the names MinGW gives the facade's
// static members.
struct Exports {
    UTStatus (*init)() = nullptr;
    UTStatus (*hand_over)(const CUTProductInfo*, const CUTUserInfo*, kormBOOLEAN) = nullptr;
    UTStatus (*log_usage)() = nullptr;
    CUTProductInfo* (*create_product)() = nullptr;
    CUTUserInfo* (*create_user)() = nullptr;
};

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return *function != nullptr;
}

}  // namespace

TEST(LibraryWindowsTest, TheLibraryPathIsTheDll) {
    const std::wstring path = LibraryPath();
    EXPECT_TRUE(EndsWith(path, L"\\tvUT.dll")) << ToUtf8(path);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << ToUtf8(path);
    EXPECT_EQ(0u, attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Loads the DLL, starts a session in it and ends as TVUT_END says, without
// CleanUp: "unload" unloads the library and returns from the test (the
// program's main returns then), "return" returns without unloading, "exit"
// ends the process with ExitProcess(23) on the spot.
TEST(WindowsChild, DISABLED_SessionWithoutCleanUp) {
    const std::string end = RoleArgument("TVUT_END");
    const int threads_before = tvut_test::ThreadCount();
    HMODULE module = ::LoadLibraryW(LibraryPath().c_str());
    ASSERT_NE(nullptr, module) << ::GetLastError();
    Exports dll;
    ASSERT_TRUE(Resolve(module, "_ZN9CUTFacade15InitUTComponentEv", &dll.init));
    ASSERT_TRUE(Resolve(module,
                        "_ZN9CUTFacade16GetUBInformationEPK14CUTProductInfoPK11CUTUserInfo11"
                        "kormBOOLEAN",
                        &dll.hand_over));
    ASSERT_TRUE(Resolve(module, "_ZN9CUTFacade12LogUsageDataEv", &dll.log_usage));
    ASSERT_TRUE(Resolve(module, "_ZN14CUTProductInfo6CreateEv", &dll.create_product));
    ASSERT_TRUE(Resolve(module, "_ZN11CUTUserInfo6CreateEv", &dll.create_user));

    ASSERT_EQ(UT_INIT_OK, dll.init());
    CUTProductInfo* product = dll.create_product();
    CUTUserInfo* user = dll.create_user();
    ASSERT_NE(nullptr, product);
    ASSERT_NE(nullptr, user);
    FillProduct(product);
    EXPECT_EQ(UT_SEND_NOT_DELIVERED, dll.hand_over(product, user, kormFALSE));
    product->Dispose();
    user->Dispose();
    EXPECT_EQ(UT_LOG_USAGE_OK, dll.log_usage());
    // The component's threads run now.
    EXPECT_GT(tvut_test::ThreadCount(), threads_before);

    if (end == "exit") {
        ::ExitProcess(23);
    }
    if (end == "unload") {
        EXPECT_TRUE(::FreeLibrary(module));
    }
}

TEST(LibraryWindowsTest, AHostThatEndsWithoutCleanUpEnds) {
    struct Case {
        const char* end;
        unsigned long code;
    };
    const Case cases[] = {{"unload", 0}, {"return", 0}, {"exit", 23}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.end);
        ScratchRoots roots;
        WindowsChild host("SessionWithoutCleanUp", {{"TVUT_END", c.end}});
        ASSERT_TRUE(host.started()) << host.error();
        unsigned long code = 0;
        if (!host.WaitForExit(&code)) {
            host.Kill();
            ADD_FAILURE() << "the host did not end";
            continue;
        }
        EXPECT_EQ(c.code, code);
        // The session it started wrote its transcript.
        const std::string folder = roots.pi_ud_folder() + "/LINE_2026/Transcripts";
        EXPECT_EQ(1u, tvut_test::EntryNames(folder).size());
    }
}

// ---- the component's threads in this process ---------------------------------------

TEST(LibraryWindowsTest, ThreadsTheComponentStartedEndAtCleanUp) {
    ScratchRoots roots;
    const int before = tvut_test::ThreadCount();
    ASSERT_GT(before, 0);
    CUTProductInfo* product = CUTProductInfo::Create();
    CUTUserInfo* user = CUTUserInfo::Create();
    FillProduct(product);
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    EXPECT_EQ(UT_SEND_NOT_DELIVERED, CUTFacade::GetUBInformation(product, user, kormFALSE));
    product->Dispose();
    user->Dispose();
    ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    const int running = tvut_test::ThreadCount();
    EXPECT_GT(running, before);
    ASSERT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    int after = -1;
    EXPECT_TRUE(tvut_test::WaitFor([&] {
        after = tvut_test::ThreadCount();
        return after <= before;
    })) << after
        << " threads after CleanUp, " << before << " before, " << running << " while running";
}
