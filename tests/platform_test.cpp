// The POSIX platform layer and the exact text codec: folder roots and their
// overrides, GUID and time texts, the file helpers, atomic replacement.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"
#include "support/ScratchRoots.h"

using tvut_test::ScratchFolder;
using tvut_test::WriteFile;

namespace {

CUTPlatform* Platform() {
    return CUTPlatform::Current();
}

// Sets or unsets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (had_) {
            ::setenv(name_, old_.c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    bool had_;
    std::string old_;
};

}  // namespace

TEST(PlatformTest, GuidTextHasRegistryFormAndIsNew) {
    const std::wregex form(
        L"\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
    std::set<std::wstring> seen;
    for (int i = 0; i < 100; ++i) {
        const std::wstring guid = Platform()->NewGuidText();
        ASSERT_TRUE(std::regex_match(guid, form)) << ToUtf8(guid);
        seen.insert(guid);
    }
    EXPECT_EQ(100u, seen.size());
}

TEST(PlatformTest, UtcFileTimeTextHasNoLeadingZeros) {
    const std::wstring text = Platform()->UtcFileTimeText();
    EXPECT_TRUE(std::regex_match(
        text, std::wregex(L"20\\d\\d_([1-9]|1[0-2])_([1-9]|[12]\\d|3[01])_([0-9]|1\\d|2[0-3])_"
                          L"([0-9]|[1-5]\\d)_([0-9]|[1-5]\\d)")))
        << ToUtf8(text);
}

TEST(PlatformTest, RootsFollowTheirOverrides) {
    std::wstring root;
    {
        ScopedEnv machine("UT_MACHINE_DATA_DIR", "/srv/tvut/");
        ASSERT_TRUE(Platform()->MachineDataRoot(&root));
        EXPECT_EQ(L"/srv/tvut", root);
    }
    {
        ScopedEnv machine("UT_MACHINE_DATA_DIR", nullptr);
        ASSERT_TRUE(Platform()->MachineDataRoot(&root));
        EXPECT_EQ(L"/var/lib", root);
    }
    {
        ScopedEnv relative("XDG_DATA_HOME", "relative/path");
        ScopedEnv home("HOME", "/home/someone");
        ASSERT_TRUE(Platform()->UserDataRoot(&root));
        EXPECT_EQ(L"/home/someone/.local/share", root) << "a relative XDG_DATA_HOME is ignored";
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", nullptr);
        ScopedEnv home("HOME", nullptr);
        EXPECT_FALSE(Platform()->UserDataRoot(&root));
    }
}

TEST(PlatformTest, FileHelpersReportFailuresAsTheirDocumentedValues) {
    ScratchFolder scratch;
    const std::wstring folder = scratch.wpath();
    const std::wstring file = folder + L"/TVUT_a.log";
    ASSERT_TRUE(WriteFile(scratch.Join("TVUT_a.log"), "12345"));
    ASSERT_TRUE(WriteFile(scratch.Join("other.txt"), "x"));
    ASSERT_TRUE(Platform()->CreateFolder(folder + L"/TVUT_folder"));

    EXPECT_FALSE(Platform()->FileExists(L""));
    EXPECT_TRUE(Platform()->FileExists(file));
    EXPECT_EQ(5u, Platform()->FileSize(file));
    EXPECT_EQ(0u, Platform()->FileSize(folder)) << "a folder has no size";
    EXPECT_EQ(0u, Platform()->FileSize(folder + L"/missing"));
    EXPECT_EQ(-1, Platform()->LastWriteTime(folder + L"/missing"));
    EXPECT_GT(Platform()->LastWriteTime(file), 1600000000);

    const std::vector<std::wstring> logs = Platform()->ListFiles(folder, L"TVUT_");
    ASSERT_EQ(1u, logs.size()) << "folders are not listed";
    EXPECT_EQ(file, logs[0]);
    EXPECT_EQ(3u, Platform()->WalkFolder(folder).size());
    EXPECT_TRUE(Platform()->WalkFolder(folder + L"/missing").empty());

    EXPECT_TRUE(Platform()->CopyFileReplacing(file, folder + L"/other.txt"));
    EXPECT_EQ(5u, Platform()->FileSize(folder + L"/other.txt"));
    EXPECT_TRUE(Platform()->RemoveFile(file));
    EXPECT_FALSE(Platform()->RemoveFile(file)) << "nothing was there to remove";
    EXPECT_FALSE(Platform()->CopyFileReplacing(file, folder + L"/copy"));

    struct stat st;
    ASSERT_EQ(0, ::stat(scratch.Join("TVUT_folder").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u);
}

TEST(PlatformTest, AtomicReplacementKeepsModeAndLeavesNoTemporaryFile) {
    ScratchFolder scratch;
    const std::wstring path = scratch.wpath() + L"/file";
    ASSERT_TRUE(Platform()->ReplaceFileAtomically(path, "first"));
    struct stat st;
    ASSERT_EQ(0, ::stat(scratch.Join("file").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u) << "a new file is the owner's alone";
    ::chmod(scratch.Join("file").c_str(), 0640);
    ASSERT_TRUE(Platform()->ReplaceFileAtomically(path, std::string("second\0bytes", 12)));
    std::string bytes;
    ASSERT_TRUE(Platform()->ReadWholeFile(path, &bytes));
    EXPECT_EQ(std::string("second\0bytes", 12), bytes);
    ASSERT_EQ(0, ::stat(scratch.Join("file").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777u);
    EXPECT_EQ(1u, Platform()->WalkFolder(scratch.wpath()).size());
    EXPECT_FALSE(Platform()->ReplaceFileAtomically(scratch.wpath() + L"/missing/file", "x"));
}

TEST(TextCodecTest, ConversionsAreExactOrAbsent) {
    std::wstring wide;
    EXPECT_TRUE(Utf8ToWide("J\xC3\xBCrgen \xE6\x9D\xB1 \xF0\x9F\x98\x80", &wide));
    EXPECT_EQ(L"J\u00fcrgen \u6771 \U0001F600", wide);
    std::u16string utf16;
    EXPECT_TRUE(WideToUtf16(wide, &utf16));
    EXPECT_EQ(u"J\u00fcrgen \u6771 \U0001F600", utf16);
    std::wstring back;
    EXPECT_TRUE(Utf16ToWide(utf16, &back));
    EXPECT_EQ(wide, back);

    const char* invalid_utf8[] = {"\xC3",   "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                  "ok\xFF", "\xE6\x9D"};
    for (const char* text : invalid_utf8) {
        std::wstring out = L"previous";
        EXPECT_FALSE(Utf8ToWide(text, &out));
        EXPECT_TRUE(out.empty()) << "never a partial result";
    }
    std::wstring out;
    EXPECT_FALSE(Utf16ToWide(std::u16string(1, u'\xD800'), &out));
    EXPECT_FALSE(Utf16ToWide(u"a" + std::u16string(1, u'\xDC00'), &out));
    std::string utf8;
    EXPECT_FALSE(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800)), &utf8));
    EXPECT_FALSE(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000)), &utf8));
}

// The zipper reads its sources through OpenForReading: the status must be the
// opened file's, reads must fill the piece until the end of the file, and
// anything but a regular file must be refused without blocking.
TEST(PlatformTest, OpenForReadingGivesStatusAndWholePieces) {
    tvut_test::ScratchFolder scratch;
    const std::string path = scratch.Join("data.utt");
    const std::string content(40000, 'x');
    ASSERT_TRUE(tvut_test::WriteFile(path, content));
    ASSERT_EQ(0, ::chmod(path.c_str(), 0444));

    CUTFileStatus expected;
    ASSERT_TRUE(CUTPlatform::Current()->GetFileStatus(FromUtf8(path), &expected));
    CUTFileStatus status;
    std::unique_ptr<CUTReadableFile> file =
        CUTPlatform::Current()->OpenForReading(FromUtf8(path), &status);
    ASSERT_TRUE(file);
    EXPECT_TRUE(status.is_regular_file);
    EXPECT_FALSE(status.owner_writable);
    EXPECT_EQ(content.size(), status.size);
    EXPECT_EQ(expected.times.last_write, status.times.last_write);
    EXPECT_EQ(expected.times.last_access, status.times.last_access);
    EXPECT_EQ(expected.times.creation, status.times.creation);

    std::string read;
    char piece[16384];
    size_t n = 0;
    do {
        ASSERT_TRUE(file->Read(piece, sizeof piece, &n));
        read.append(piece, n);
    } while (n == sizeof piece);
    EXPECT_EQ(content.size() % sizeof piece, n);  // short only at the end
    EXPECT_EQ(content, read);
}

TEST(PlatformTest, OpenForReadingRefusesWhatIsNotARegularFile) {
    tvut_test::ScratchFolder scratch;
    const std::string fifo = scratch.Join("pipe.utt");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::string paths[] = {fifo, scratch.path(), scratch.Join("missing.utt"), ""};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        CUTFileStatus status;
        EXPECT_FALSE(CUTPlatform::Current()->OpenForReading(FromUtf8(path), &status));
    }
}
