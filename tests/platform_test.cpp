// The POSIX platform layer and the exact text codec: folder roots and their
// overrides, GUID and time texts, the file helpers, atomic replacement.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"
#include "support/FakePlatforms.h"
#include "support/ScratchRoots.h"

using tvut_test::ScratchFolder;
using tvut_test::WriteFile;

namespace {

// Opens for writing through the current platform; null on failure, with the
// failure in *failure when given.
std::unique_ptr<CUTWritableFile> OpenWriting(const std::wstring& path, UTWriteMode mode,
                                             uint32_t permissions, CUTOsStatus* failure = nullptr) {
    std::unique_ptr<CUTWritableFile> file;
    const CUTOsStatus status =
        CUTPlatform::Current()->OpenForWriting(path, mode, permissions, &file);
    if (failure != nullptr) {
        *failure = status;
    }
    return file;
}

std::unique_ptr<CUTReadableFile> OpenReading(const std::wstring& path, CUTFileStatus* status) {
    std::unique_ptr<CUTReadableFile> file;
    CUTPlatform::Current()->OpenForReading(path, status, &file);
    return file;
}

// name -> entry of one listing.
std::map<std::wstring, CUTFolderEntry> Listed(const std::wstring& folder, UTListing what,
                                              bool (*match)(const std::wstring&) = nullptr) {
    std::vector<CUTFolderEntry> entries;
    std::map<std::wstring, CUTFolderEntry> listed;
    if (CUTPlatform::Current()->ListFolder(folder, what, match, &entries)) {
        for (CUTFolderEntry& entry : entries) {
            listed[entry.name] = entry;
        }
    }
    return listed;
}

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
    const std::wstring text = UtcFileTimeText(Platform());
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

    EXPECT_FALSE(FileExists(Platform(), L""));
    EXPECT_TRUE(FileExists(Platform(), file));
    EXPECT_EQ(5u, FileSize(Platform(), file));
    EXPECT_EQ(0u, FileSize(Platform(), folder)) << "a folder has no size";
    EXPECT_EQ(0u, FileSize(Platform(), folder + L"/missing"));
    EXPECT_FALSE(IsFolder(Platform(), file));
    EXPECT_TRUE(IsFolder(Platform(), folder + L"/TVUT_folder/"));

    // A link counts as what it leads to: to a folder it is left out, to
    // nothing it is listed (it can still be removed).
    ASSERT_EQ(0, ::symlink((scratch.path() + "/TVUT_folder").c_str(),
                           scratch.Join("TVUT_to_folder").c_str()));
    ASSERT_EQ(0, ::symlink("/nowhere", scratch.Join("TVUT_dangling").c_str()));
    std::vector<std::wstring> logs = ListFiles(Platform(), folder, L"TVUT_");
    std::sort(logs.begin(), logs.end());
    EXPECT_EQ((std::vector<std::wstring>{folder + L"/TVUT_a.log", folder + L"/TVUT_dangling"}),
              logs)
        << "folders are not listed";
    ASSERT_EQ(0, ::unlink(scratch.Join("TVUT_to_folder").c_str()));
    ASSERT_EQ(0, ::unlink(scratch.Join("TVUT_dangling").c_str()));
    EXPECT_TRUE(ListFiles(Platform(), folder + L"/missing", L"").empty());

    EXPECT_TRUE(Platform()->RemoveFile(file));
    const CUTOsStatus again = Platform()->RemoveFile(file);
    EXPECT_TRUE(again.Is(UTOsError::kNotFound)) << "nothing was there to remove";
    EXPECT_EQ(ENOENT, again.code());
    EXPECT_NE(std::string::npos, again.ToString().find("unlink")) << again.ToString();
    EXPECT_TRUE(Platform()->CreateFolder(folder + L"/TVUT_folder").Is(UTOsError::kExists));

    struct stat st;
    ASSERT_EQ(0, ::stat(scratch.Join("TVUT_folder").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u);
}

// The mode is the caller's, never one copied from what was there: a link at
// the path may point at a set-id program.
TEST(PlatformTest, AtomicReplacementHasAFixedModeAndLeavesNoTemporaryFile) {
    ScratchFolder scratch;
    const std::wstring path = scratch.wpath() + L"/file";
    ASSERT_TRUE(ReplaceFileAtomically(Platform(), path, "first"));
    struct stat st;
    ASSERT_EQ(0, ::stat(scratch.Join("file").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777u) << "a new file is the owner's alone";
    ::chmod(scratch.Join("file").c_str(), 04755);
    ASSERT_TRUE(ReplaceFileAtomically(Platform(), path, std::string("second\0bytes", 12)));
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(Platform(), path, &bytes));
    EXPECT_EQ(std::string("second\0bytes", 12), bytes);
    ASSERT_EQ(0, ::stat(scratch.Join("file").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777u);
    ASSERT_TRUE(ReplaceFileAtomically(Platform(), path, "third", 0644));
    ASSERT_EQ(0, ::stat(scratch.Join("file").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777u);

    // A link to a set-id file: the link is replaced by a plain file, the
    // target keeps its mode and its bytes.
    const std::string target = scratch.Join("program");
    ASSERT_TRUE(WriteFile(target, "binary"));
    ASSERT_EQ(0, ::chmod(target.c_str(), 04755));
    ASSERT_EQ(0, ::symlink(target.c_str(), scratch.Join("linked").c_str()));
    ASSERT_TRUE(ReplaceFileAtomically(Platform(), scratch.wpath() + L"/linked", "settings"));
    ASSERT_EQ(0, ::lstat(scratch.Join("linked").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777u);
    ASSERT_EQ(0, ::stat(target.c_str(), &st));
    EXPECT_EQ(04755u, st.st_mode & 07777u);
    EXPECT_EQ("binary", tvut_test::ReadFile(target));

    EXPECT_EQ(3u, tvut_test::EntryNames(scratch.path()).size());
    EXPECT_TRUE(ReplaceFileAtomically(Platform(), scratch.wpath() + L"/missing/file", "x")
                    .Is(UTOsError::kNotFound));
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
    std::unique_ptr<CUTReadableFile> file = OpenReading(FromUtf8(path), &status);
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
    const struct {
        std::string path;
        UTOsError kind;
    } cases[] = {{fifo, UTOsError::kNotAFile},
                 {scratch.path(), UTOsError::kNotAFile},
                 {scratch.Join("missing.utt"), UTOsError::kNotFound},
                 {"", UTOsError::kInvalid}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        CUTFileStatus status;
        std::unique_ptr<CUTReadableFile> file;
        const CUTOsStatus opened =
            CUTPlatform::Current()->OpenForReading(FromUtf8(c.path), &status, &file);
        EXPECT_TRUE(opened.Is(c.kind)) << opened.ToString();
        EXPECT_FALSE(file);
    }
}

namespace {

// The open-file flags of the descriptor this process holds on path, from
// /proc; -1 when the process holds none.
long OpenFlagsOf(const std::string& path) {
    for (int fd = 0; fd < 1024; ++fd) {
        char link[4096];
        const std::string name = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(name.c_str(), link, sizeof link - 1);
        if (n <= 0 || std::string(link, static_cast<size_t>(n)) != path) {
            continue;
        }
        std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
        std::string key;
        std::string value;
        while (info >> key >> value) {
            if (key == "flags:") {
                return std::strtol(value.c_str(), nullptr, 8);
            }
        }
    }
    return -1;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

// Each write mode, what it does to a file already there, the permissions of a
// new file whatever the umask, and the descriptor kept from child processes.
TEST(WritableFileTest, ModesPermissionsAndCloseOnExec) {
    ScratchFolder scratch;
    const std::string path = scratch.Join("file");
    const std::wstring wide = FromUtf8(path);
    const mode_t old_umask = ::umask(077);
    {
        CUTOsStatus error;
        std::unique_ptr<CUTWritableFile> file =
            OpenWriting(wide, UTWriteMode::kCreateNew, 0640, &error);
        ASSERT_TRUE(file) << error.ToString();
        EXPECT_EQ(0640u, ModeOf(path)) << "the umask must not take bits away";
        const long flags = OpenFlagsOf(path);
        ASSERT_NE(-1, flags);
        EXPECT_NE(0, flags & O_CLOEXEC) << "a child process of the host must not inherit it";
        EXPECT_TRUE(file->Append("abcdef", 6));
        EXPECT_TRUE(file->WriteAt(1, "XY", 2));
        EXPECT_TRUE(file->Append("g", 1)) << "WriteAt does not move the position";
        CUTFileStatus status;
        ASSERT_TRUE(file->Status(&status));
        EXPECT_EQ(7u, status.size);
        EXPECT_TRUE(file->Close());
        EXPECT_TRUE(file->Append("h", 1).Is(UTOsError::kInvalid)) << "closed";
        EXPECT_TRUE(file->Close().Is(UTOsError::kInvalid)) << "closed once only";
    }
    ::umask(old_umask);
    EXPECT_EQ("aXYdefg", tvut_test::ReadFile(path));

    CUTOsStatus error;
    EXPECT_FALSE(OpenWriting(wide, UTWriteMode::kCreateNew, 0600, &error));
    EXPECT_TRUE(error.Is(UTOsError::kExists)) << error.ToString();
    {
        auto file = OpenWriting(wide, UTWriteMode::kAppend, 0600, &error);
        ASSERT_TRUE(file);
        EXPECT_TRUE(file->Append("++", 2));
    }
    EXPECT_EQ("aXYdefg++", tvut_test::ReadFile(path));
    EXPECT_EQ(0600u, ModeOf(path)) << "the caller's mode, not the one the file had";
    {
        auto file = OpenWriting(wide, UTWriteMode::kTruncate, 0600, &error);
        ASSERT_TRUE(file);
        CUTFileStatus status;
        ASSERT_TRUE(file->Status(&status));
        EXPECT_EQ(0u, status.size);
    }
    // A link, dangling or not, is never written through, in any mode.
    const std::string link = scratch.Join("link");
    ASSERT_EQ(0, ::symlink(scratch.Join("target").c_str(), link.c_str()));
    const std::string link_to_file = scratch.Join("link-to-file");
    ASSERT_EQ(0, ::symlink(path.c_str(), link_to_file.c_str()));
    for (UTWriteMode mode :
         {UTWriteMode::kCreateNew, UTWriteMode::kAppend, UTWriteMode::kTruncate}) {
        error = CUTOsStatus();
        EXPECT_FALSE(OpenWriting(FromUtf8(link), mode, 0600, &error));
        EXPECT_TRUE(mode == UTWriteMode::kCreateNew ? error.Is(UTOsError::kExists)
                                                    : error.Is(UTOsError::kIsLink))
            << error.ToString();
        EXPECT_FALSE(OpenWriting(FromUtf8(link_to_file), mode, 0600, &error));
    }
    EXPECT_FALSE(tvut_test::PathExists(scratch.Join("target")));
    EXPECT_EQ(0u, tvut_test::ReadFile(path).size()) << "only the truncation above emptied it";
}

// tvUT writes only into folders where nobody else can plant a link or swap
// a file: its own (or root's), writable by no group and no other user.
TEST(WritableFileTest, OnlyFoldersNobodyElseMayWriteAreWrittenInto) {
    ScratchFolder scratch;
    const struct {
        const char* label;
        mode_t mode;
        bool other_owner;
        bool writable;
    } cases[] = {
        {"private", 0700, false, true},
        {"readable by all", 0755, false, true},
        {"group-writable", 0770, false, false},
        {"world-writable", 0777, false, false},
        {"world-writable and sticky, as /tmp", 01777, false, false},
        {"another user's", 0700, true, false},
    };
    const bool root = ::geteuid() == 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.other_owner && !root) {
            continue;  // only root can give a folder away
        }
        const std::string folder =
            scratch.Join(std::string("f") + std::to_string(c.mode) + (c.other_owner ? "o" : ""));
        ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
        ASSERT_EQ(0, ::chmod(folder.c_str(), c.mode));
        if (c.other_owner) {
            ASSERT_EQ(0, ::chown(folder.c_str(), 65534, 65534));
        }
        for (UTWriteMode mode :
             {UTWriteMode::kCreateNew, UTWriteMode::kAppend, UTWriteMode::kTruncate}) {
            CUTOsStatus error;
            const std::wstring path = FromUtf8(folder + "/file");
            std::unique_ptr<CUTWritableFile> file = OpenWriting(path, mode, 0600, &error);
            EXPECT_EQ(c.writable, file != nullptr);
            if (!c.writable) {
                EXPECT_TRUE(error.Is(UTOsError::kAccessDenied)) << error.ToString();
                EXPECT_EQ(EPERM, error.code());
            }
        }
        EXPECT_EQ(c.writable,
                  ReplaceFileAtomically(Platform(), FromUtf8(folder + "/replaced"), "x").ok());
        EXPECT_EQ(c.writable, tvut_test::PathExists(folder + "/file"));
    }
}

// Whatever sits at the path, opening it for writing or reading it whole ends
// at once with a clear result: a FIFO without a peer, a device, a folder, a
// link to an endless device.
TEST(WritableFileTest, NothingButARegularFileIsOpenedOrRead) {
    ScratchFolder scratch;
    const std::string fifo = scratch.Join("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::string zero_link = scratch.Join("zero");
    ASSERT_EQ(0, ::symlink("/dev/zero", zero_link.c_str()));
    for (const std::string& path : {fifo, zero_link, scratch.path(), std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        CUTOsStatus error;
        EXPECT_FALSE(OpenWriting(FromUtf8(path), UTWriteMode::kAppend, 0600, &error));
        EXPECT_FALSE(error.ok());
        std::string bytes;
        EXPECT_FALSE(ReadWholeFile(Platform(), FromUtf8(path), &bytes, 1 << 20));
        EXPECT_TRUE(bytes.empty());
    }
}

TEST(WritableFileTest, WholeFileReadsStopAtTheirCap) {
    ScratchFolder scratch;
    const std::string path = scratch.Join("file");
    ASSERT_TRUE(WriteFile(path, std::string(1000, 'a')));
    const struct {
        uint64_t cap;
        bool read;
    } cases[] = {{999, false}, {1000, true}, {1001, true}, {0, false}, {kNoReadLimit, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cap);
        std::string bytes = "before";
        const CUTOsStatus read = ReadWholeFile(Platform(), FromUtf8(path), &bytes, c.cap);
        EXPECT_EQ(c.read, read.ok());
        EXPECT_EQ(!c.read, read.Is(UTOsError::kTooLarge));
        EXPECT_EQ(c.read ? std::string(1000, 'a') : std::string("before"), bytes);
    }
}

// A full disk during an atomic replacement: the failure and its errno come
// back, the old file is whole and no temporary file is left beside it.
TEST(WritableFileTest, AtomicReplacementOnAFullDiskKeepsTheOldFile) {
    ScratchFolder scratch;
    const std::string path = scratch.Join("settings.cur");
    ASSERT_TRUE(WriteFile(path, "old content"));
    tvut_test::FullDiskPlatform disk;
    CUTScopedPlatform installed(&disk);
    disk.SetFull(true);
    const CUTOsStatus error = ReplaceFileAtomically(Platform(), FromUtf8(path), "new content");
    EXPECT_TRUE(error.Is(UTOsError::kNoSpace)) << error.ToString();
    EXPECT_GT(disk.RefusedWrites(), 0);
    EXPECT_EQ("old content", tvut_test::ReadFile(path));
    EXPECT_EQ(1u, tvut_test::EntryNames(scratch.path()).size()) << "no temporary file left";
    disk.SetFull(false);
    EXPECT_TRUE(ReplaceFileAtomically(Platform(), FromUtf8(path), "new content"));
    EXPECT_EQ("new content", tvut_test::ReadFile(path));
}

// A link at the target is replaced by the new file; its target is untouched.
TEST(WritableFileTest, AtomicReplacementReplacesALinkInsteadOfWritingThroughIt) {
    ScratchFolder scratch;
    const std::string target = scratch.Join("elsewhere");
    ASSERT_TRUE(WriteFile(target, "not ours"));
    const std::string link = scratch.Join("settings.cur");
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str()));
    ASSERT_TRUE(ReplaceFileAtomically(Platform(), FromUtf8(link), "ours"));
    EXPECT_EQ("not ours", tvut_test::ReadFile(target));
    EXPECT_EQ("ours", tvut_test::ReadFile(link));
    struct stat st;
    ASSERT_EQ(0, ::lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// Only a regular file of the effective user is opened up; a link is never
// followed, a file of another user never changed.
TEST(PlatformTest, MakeOwnerWritableChangesOnlyOwnRegularFiles) {
    ScratchFolder scratch;
    const std::string own = scratch.Join("own");
    const std::string target = scratch.Join("target");
    const std::string link = scratch.Join("link");
    ASSERT_TRUE(WriteFile(own, "x"));
    ASSERT_TRUE(WriteFile(target, "x"));
    ASSERT_EQ(0, ::chmod(own.c_str(), 0400));
    ASSERT_EQ(0, ::chmod(target.c_str(), 0400));
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str()));

    EXPECT_TRUE(Platform()->MakeOwnerWritable(FromUtf8(own)));
    EXPECT_EQ(0600u, ModeOf(own));
    EXPECT_TRUE(Platform()->MakeOwnerWritable(FromUtf8(link)).Is(UTOsError::kIsLink));
    EXPECT_EQ(0400u, ModeOf(target)) << "the link's target must keep its mode";
    EXPECT_TRUE(Platform()->MakeOwnerWritable(FromUtf8(scratch.path())).Is(UTOsError::kNotAFile));

    if (::geteuid() == 0) {
        const std::string foreign = scratch.Join("foreign");
        ASSERT_TRUE(WriteFile(foreign, "x"));
        ASSERT_EQ(0, ::chmod(foreign.c_str(), 0400));
        ASSERT_EQ(0, ::chown(foreign.c_str(), 65534, 65534));
        EXPECT_FALSE(Platform()->MakeOwnerWritable(FromUtf8(foreign)));
        EXPECT_EQ(0400u, ModeOf(foreign)) << "another user's file is not ours to change";
    }
}

// A name that is not UTF-8 has no text form: the listing leaves it out and
// counts it instead of reporting the folder itself or a mangled name.
TEST(PlatformTest, ListingsSkipNamesThatAreNotText) {
    ScratchFolder scratch;
    ASSERT_TRUE(WriteFile(scratch.Join("good.utt"), "x"));
    ASSERT_TRUE(WriteFile(scratch.Join("bad\xff\xfe.utt"), "x"));
    for (UTListing what :
         {UTListing::kEveryEntry, UTListing::kRegularFiles, UTListing::kRegularFilesWithStatus}) {
        size_t skipped = 0;
        std::vector<CUTFolderEntry> entries;
        ASSERT_TRUE(Platform()->ListFolder(scratch.wpath(), what, nullptr, &entries, &skipped));
        ASSERT_EQ(1u, entries.size());
        EXPECT_EQ(L"good.utt", entries[0].name);
        EXPECT_EQ(UTEntryKind::kRegularFile, entries[0].kind);
        EXPECT_EQ(1u, skipped);
    }
    EXPECT_EQ(1u, ListFiles(Platform(), scratch.wpath(), L".utt").size());
}

// The listing alone tells what an entry is, and neither it nor the entry's
// status follows a link.
TEST(PlatformTest, ListFolderAndEntryStatusTellLinksFromWhatTheyLeadTo) {
    ScratchFolder scratch;
    ASSERT_TRUE(WriteFile(scratch.Join("file"), "12345"));
    ASSERT_EQ(0, ::mkdir(scratch.Join("folder").c_str(), 0700));
    ASSERT_EQ(0, ::symlink(scratch.Join("file").c_str(), scratch.Join("link").c_str()));
    ASSERT_EQ(0, ::symlink(scratch.Join("folder").c_str(), scratch.Join("folder-link").c_str()));
    ASSERT_EQ(0, ::mkfifo(scratch.Join("fifo").c_str(), 0600));
    const std::map<std::string, UTEntryKind> expected = {
        {"file", UTEntryKind::kRegularFile}, {"folder", UTEntryKind::kFolder},
        {"link", UTEntryKind::kLink},        {"folder-link", UTEntryKind::kLink},
        {"fifo", UTEntryKind::kOther},
    };
    std::map<std::string, UTEntryKind> listed;
    for (const auto& entry : Listed(scratch.wpath(), UTListing::kEveryEntry)) {
        listed[ToUtf8(entry.first)] = entry.second.kind;
    }
    EXPECT_EQ(expected, listed);
    std::vector<CUTFolderEntry> none;
    EXPECT_TRUE(
        Platform()
            ->ListFolder(scratch.wpath() + L"/missing", UTListing::kEveryEntry, nullptr, &none)
            .Is(UTOsError::kNotFound));
    EXPECT_TRUE(none.empty());

    CUTFileStatus status;
    ASSERT_TRUE(Platform()->GetEntryStatus(FromUtf8(scratch.Join("link")), &status));
    EXPECT_TRUE(status.is_link);
    EXPECT_FALSE(status.is_regular_file);
    ASSERT_TRUE(Platform()->GetEntryStatus(FromUtf8(scratch.Join("file")), &status));
    EXPECT_FALSE(status.is_link);
    EXPECT_TRUE(status.is_regular_file);
    EXPECT_EQ(5u, status.size);
    // The following query of the same link reports the file, not the link.
    ASSERT_TRUE(Platform()->GetFileStatus(FromUtf8(scratch.Join("link")), &status));
    EXPECT_FALSE(status.is_link);
    EXPECT_TRUE(status.is_regular_file);
    EXPECT_TRUE(Platform()
                    ->GetEntryStatus(FromUtf8(scratch.Join("missing")), &status)
                    .Is(UTOsError::kNotFound));
    // The helpers over the listing count what a link leads to.
    EXPECT_TRUE(IsFolder(Platform(), FromUtf8(scratch.Join("folder-link"))));
    std::vector<std::wstring> files = ListFiles(Platform(), scratch.wpath(), L"");
    std::sort(files.begin(), files.end());
    EXPECT_EQ((std::vector<std::wstring>{scratch.wpath() + L"/fifo", scratch.wpath() + L"/file",
                                         scratch.wpath() + L"/link"}),
              files);
}

// The files of a folder with their statuses, read relative to the folder:
// only regular files whose names match, links never followed, and each
// status the one a query of its full path gives.
TEST(PlatformTest, FileListingsGiveMatchingRegularFilesAndTheirStatus) {
    ScratchFolder scratch;
    ASSERT_TRUE(WriteFile(scratch.Join("a.utt"), "12345"));
    ASSERT_TRUE(WriteFile(scratch.Join("b.utt"), "1234567"));
    ASSERT_TRUE(WriteFile(scratch.Join("other.txt"), "x"));
    ASSERT_TRUE(WriteFile(scratch.Join("bad\xff.utt"), "x"));
    ASSERT_EQ(0, ::mkdir(scratch.Join("folder.utt").c_str(), 0700));
    ASSERT_EQ(0, ::symlink(scratch.Join("a.utt").c_str(), scratch.Join("link.utt").c_str()));
    ASSERT_EQ(0, ::mkfifo(scratch.Join("fifo.utt").c_str(), 0600));
    bool (*is_utt)(const std::wstring&) = [](const std::wstring& name) {
        return name.size() > 4 && name.compare(name.size() - 4, 4, L".utt") == 0;
    };
    for (bool with_status : {false, true}) {
        std::map<std::wstring, CUTFileStatus> listed;
        for (const auto& file :
             Listed(scratch.wpath(),
                    with_status ? UTListing::kRegularFilesWithStatus : UTListing::kRegularFiles,
                    is_utt)) {
            EXPECT_EQ(UTEntryKind::kRegularFile, file.second.kind);
            listed[file.first] = file.second.status;
        }
        std::set<std::wstring> names;
        for (const auto& file : listed) {
            names.insert(file.first);
        }
        ASSERT_EQ((std::set<std::wstring>{L"a.utt", L"b.utt"}), names) << with_status;
        for (const auto& file : listed) {
            CUTFileStatus expected;
            ASSERT_TRUE(Platform()->GetEntryStatus(scratch.wpath() + L"/" + file.first, &expected));
            if (!with_status) {
                EXPECT_EQ(0u, file.second.inode) << "no status asked for";
                continue;
            }
            EXPECT_TRUE(file.second.is_regular_file);
            EXPECT_EQ(expected.size, file.second.size);
            EXPECT_EQ(expected.inode, file.second.inode);
            EXPECT_EQ(expected.device, file.second.device);
            EXPECT_EQ(expected.last_write_nanos, file.second.last_write_nanos);
        }
    }
    EXPECT_TRUE(
        Listed(scratch.wpath() + L"/missing", UTListing::kRegularFilesWithStatus, is_utt).empty());
}
