// Replacing a transcript while another process has it open for reading, as
// a scanner, a backup tool or another product's send cycle may at any
// moment on Windows: a crash must still reach the disk.
#include <gtest/gtest.h>

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <string>
#include <vector>

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "config/UTScrambler.h"
#include "platform/UTPlatform.h"
#include "support/ScratchRoots.h"
#include "support/WindowsChild.h"

using tvut_test::RoleArgument;
using tvut_test::ScratchRoots;
using tvut_test::WindowsChild;

namespace {

// How the reader shares the file it holds open, by name.
DWORD ShareModeOf(const std::string& name) {
    DWORD mode = 0;
    if (name.find("read") != std::string::npos) {
        mode |= FILE_SHARE_READ;
    }
    if (name.find("write") != std::string::npos) {
        mode |= FILE_SHARE_WRITE;
    }
    if (name.find("delete") != std::string::npos) {
        mode |= FILE_SHARE_DELETE;
    }
    return mode;
}

// The crash flag of the transcript at path as stored: "0", "1", or what is
// wrong with the file.
std::string StoredCrashFlag(const std::string& path) {
    std::string bytes = tvut_test::ReadFile(path);
    if (bytes.empty()) {
        return "<no file>";
    }
    ScrambleBytes(&bytes);
    const std::string attribute = "isCrash=\"";
    const size_t at = bytes.find(attribute);
    if (at == std::string::npos || at + attribute.size() >= bytes.size()) {
        return "<no crash flag>";
    }
    return bytes.substr(at + attribute.size(), 1);
}

class Host {
public:
    Host() : product_(CUTProductInfo::Create()), user_(CUTUserInfo::Create()) {
        Set(&CUTProductInfo::SetProductLineId, L"LINE");
        Set(&CUTProductInfo::SetReleaseId, L"2026");
        Set(&CUTProductInfo::SetReleaseType, L"F");
        Set(&CUTProductInfo::SetProgramType, L"VIEWER");
    }
    ~Host() {
        product_->Dispose();
        user_->Dispose();
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    CUTProductInfo* product() { return product_; }
    CUTUserInfo* user() { return user_; }

private:
    void Set(void (CUTProductInfo::*setter)(const kormSTRING&), const wchar_t* text) {
        (product_->*setter)(kormSTRING{const_cast<kormCHAR*>(text), -1});
    }
    CUTProductInfo* product_;
    CUTUserInfo* user_;
};

}  // namespace

// Opens TVUT_OPEN_PATH for reading, shared as TVUT_OPEN_SHARE says, and
// keeps it open until the parent lets it go.
TEST(WindowsChild, DISABLED_HoldOpenForReading) {
    const std::wstring path = FromUtf8(RoleArgument("TVUT_OPEN_PATH"));
    HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, ShareModeOf(RoleArgument("TVUT_OPEN_SHARE")),
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << ::GetLastError();
    tvut_test::SignalReady();
    EXPECT_TRUE(tvut_test::AwaitGo());
    // What it opened stays readable whatever happened to the name.
    char byte = 0;
    DWORD got = 0;
    EXPECT_TRUE(::ReadFile(file, &byte, 1, &got, nullptr));
    EXPECT_EQ(1u, got);
    ::CloseHandle(file);
}

TEST(TranscriptReplaceWindowsTest, CrashReachesTheDiskWhileAnotherProcessReadsTheTranscript) {
    struct Case {
        const char* share;
        UTStatus crash;       // what OnCrash returns while the reader has the file open
        const char* on_disk;  // the flag stored then
    };
    // A reader that shares delete lets the name be given to the new file; one
    // that does not forbids every change of the file and its name until it
    // closes it, so the crash stays in the session and reaches the disk
    // with the next write.
    const Case cases[] = {
        {"read+delete", UT_CRASH_OK, "1"},
        {"read+write+delete", UT_CRASH_OK, "1"},
        {"read", UT_CRASH_WRITE_FAILED, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.share);
        ScratchRoots roots;
        Host host;
        ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
        ASSERT_EQ(UT_SEND_NOT_DELIVERED,
                  CUTFacade::GetUBInformation(host.product(), host.user(), kormFALSE));
        ASSERT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
        const std::string folder = roots.pi_ud_folder() + "/LINE_2026/Transcripts";
        const std::vector<std::string> entries = tvut_test::EntryNames(folder);
        ASSERT_EQ(1u, entries.size());
        const std::string transcript = folder + "/" + entries[0];
        ASSERT_EQ("0", StoredCrashFlag(transcript));

        WindowsChild reader("HoldOpenForReading",
                            {{"TVUT_OPEN_PATH", transcript}, {"TVUT_OPEN_SHARE", c.share}});
        ASSERT_TRUE(reader.started()) << reader.error();
        ASSERT_TRUE(reader.WaitUntilReady());
        EXPECT_EQ(c.crash, CUTFacade::OnCrash());
        EXPECT_EQ(c.on_disk, StoredCrashFlag(transcript));

        reader.Go();
        unsigned long code = 0;
        ASSERT_TRUE(reader.WaitForExit(&code));
        EXPECT_EQ(0u, code);
        EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
        EXPECT_EQ("1", StoredCrashFlag(transcript));
        // Nothing else stays beside it: no temporary file, no moved-aside copy.
        EXPECT_EQ(entries, tvut_test::EntryNames(folder));
    }
}
