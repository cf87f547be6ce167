// The files a send cycle carries, found on real folders: which entries count
// as transcripts and archived logs, the payload budget's rule, the removal of
// old transcripts, and removal only of the version that was listed or the
// bytes that were packed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "UT/UTProcessState.h"
#include "base/UTTextCodec.h"
#include "manager/UTPendingTranscripts.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"
#include "support/ChildProcess.h"
#include "support/FakePlatforms.h"
#include "support/ScratchRoots.h"
#include "support/WaitFor.h"
#include "zip/UTZipper.h"

using tvut_test::ChildProcess;
using tvut_test::PathExists;
using tvut_test::ReadFile;
using tvut_test::ScratchFolder;
using tvut_test::WriteFile;

namespace {

// Sets a file's last write time to seconds + nanos since 1970.
void SetModified(const std::string& path, int64_t seconds, long nanos = 0) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = nanos;
    times[1] = times[0];
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
}

std::string NameOf(const std::wstring& path) {
    const std::string text = ToUtf8(path);
    return text.substr(text.rfind('/') + 1);
}

std::vector<std::string> Names(const std::vector<std::wstring>& paths) {
    std::vector<std::string> names;
    for (const std::wstring& path : paths) {
        names.push_back(NameOf(path));
    }
    return names;
}

std::vector<std::string> Names(const std::vector<CUTPendingFile>& files) {
    std::vector<std::string> names;
    for (const CUTPendingFile& file : files) {
        names.push_back(NameOf(file.path));
    }
    return names;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

class PendingTranscriptsTest : public ::testing::Test {
protected:
    // A product folder with a "Transcripts" folder in the component folder.
    std::string Product(const std::string& name) {
        const std::string product = component_ + "/" + name;
        ::mkdir(product.c_str(), 0700);
        ::mkdir((product + "/Transcripts").c_str(), 0700);
        return product + "/Transcripts";
    }
    std::string File(const std::string& folder, const std::string& name, size_t size) {
        const std::string path = folder + "/" + name;
        EXPECT_TRUE(WriteFile(path, std::string(size, 'x')));
        return path;
    }
    CUTPendingTranscripts Pending() const { return CUTPendingTranscripts(FromUtf8(component_)); }

    // Lock files go to scratch roots, never the real ones.
    tvut_test::ScratchRoots roots_;
    ScratchFolder scratch_;
    // A component folder whose own path contains both ".utt" and "TVUT_":
    // only file names may decide.
    const std::string component_ = [this] {
        const std::string path = scratch_.Join("root.utt TVUT_x");
        ::mkdir(path.c_str(), 0700);
        return path;
    }();
};

}  // namespace

namespace {

// Raises the stop flag, as CleanUp does, once a number of calls of one kind
// have been made: the walk must end there.
class StoppingPlatform : public CUTPlatformWrapper {
public:
    StoppingPlatform(int removals, int queries)
        : CUTPlatformWrapper(CUTPlatform::Default()), removals_(removals), queries_(queries) {}
    ~StoppingPlatform() override { CUTProcessState::stop.store(false); }
    CUTOsStatus RemoveFile(const std::wstring& path) override {
        Count(&removals_);
        return target()->RemoveFile(path);
    }
    CUTOsStatus GetEntryStatus(const std::wstring& path, CUTFileStatus* status) override {
        Count(&queries_);
        return target()->GetEntryStatus(path, status);
    }

private:
    static void Count(int* left) {
        if (*left > 0 && --*left == 0) {
            CUTProcessState::stop.store(true);
        }
    }
    int removals_;
    int queries_;
};

}  // namespace

// With a hundred thousand transcripts waiting, CleanUp must not wait for a
// trim or a gathering to walk them all.
TEST_F(PendingTranscriptsTest, TrimmingAndGatheringEndAtTheStopFlag) {
    const std::string folder = Product("MANY");
    for (int i = 0; i < 300; ++i) {
        File(folder, "{" + std::to_string(i) + "}.utt", 10);
    }
    {
        StoppingPlatform platform(10, 0);
        CUTScopedPlatform scoped(&platform);
        EXPECT_EQ(10u, Pending().RemoveOldTranscripts(100));
    }
    EXPECT_EQ(290u, Pending().ListTranscripts().size());
    {
        StoppingPlatform platform(0, 5);
        CUTScopedPlatform scoped(&platform);
        CUTPayloadList payload(1000000);
        Pending().GatherTranscripts(&payload);
        EXPECT_EQ(5u, payload.files.size());
    }
    // Without the flag, the same calls walk everything.
    EXPECT_EQ(190u, Pending().RemoveOldTranscripts(100));
    CUTPayloadList payload(1000000);
    Pending().GatherTranscripts(&payload);
    EXPECT_EQ(100u, payload.files.size());
}

TEST_F(PendingTranscriptsTest, OnlyRegularFilesNamedLikeTranscriptsCount) {
    const std::string folder = Product("LINE_7");
    File(folder, "{A}.utt", 10);
    File(folder, "{B}.tmp0123456789AB", 10);  // a transcript being written
    File(folder, "{C}.utt.bak", 10);
    File(folder, ".utt", 10);
    File(folder, "notes.txt", 10);
    ::mkdir((folder + "/{D}.utt").c_str(), 0700);
    ASSERT_EQ(0, ::symlink((folder + "/{A}.utt").c_str(), (folder + "/{E}.utt").c_str()));
    ASSERT_EQ(0, ::symlink("/etc/hostname", (folder + "/{F}.utt").c_str()));
    ASSERT_EQ(0, ::mkfifo((folder + "/{G}.utt").c_str(), 0600));
    // Transcripts only in a product folder's "Transcripts" folder, one level.
    File(component_, "{H}.utt", 10);
    ::mkdir((folder + "/deeper").c_str(), 0700);
    File(folder + "/deeper", "{I}.utt", 10);
    // A product folder that is a link is not walked.
    const std::string elsewhere = scratch_.Join("elsewhere");
    ::mkdir(elsewhere.c_str(), 0700);
    ::mkdir((elsewhere + "/Transcripts").c_str(), 0700);
    File(elsewhere + "/Transcripts", "{J}.utt", 10);
    ASSERT_EQ(0, ::symlink(elsewhere.c_str(), (component_ + "/LINK_1").c_str()));

    EXPECT_EQ(std::vector<std::string>{"{A}.utt"}, Names(Pending().ListTranscripts()));

    CUTPayloadList payload(1000);
    Pending().GatherTranscripts(&payload);
    EXPECT_EQ(std::vector<std::string>{"{A}.utt"}, Names(payload.files));
    EXPECT_EQ(10u, payload.total);

    // Trimming to nothing removes the one transcript and nothing else.
    EXPECT_EQ(1u, Pending().RemoveOldTranscripts(0));
    EXPECT_FALSE(PathExists(folder + "/{A}.utt"));
    struct stat st;
    for (const char* kept :
         {"{B}.tmp0123456789AB", "{D}.utt", "{E}.utt", "{F}.utt", "{G}.utt", "deeper/{I}.utt"}) {
        EXPECT_EQ(0, ::lstat((folder + "/" + kept).c_str(), &st)) << kept;
    }
    EXPECT_TRUE(PathExists(component_ + "/{H}.utt"));
    EXPECT_TRUE(PathExists(elsewhere + "/Transcripts/{J}.utt"));
}

// Named as the logger names its archives: what the logger would not purge
// as its own is neither sent nor removed here.
TEST_F(PendingTranscriptsTest, ArchivedLogsAreRegularFilesNamedAsTheLoggerNamesThem) {
    File(component_, "TVUT_2016_3_7_14_5_9.log", 10);
    File(component_, "TVUT_notes.txt", 10);
    File(component_, "TVUT_.log", 10);
    File(component_, "TVUTLog.log", 10);
    File(component_, "ProdInd_UserDep.cur", 10);
    File(component_, "x_TVUT_1.log", 10);
    ::mkdir((component_ + "/TVUT_folder").c_str(), 0700);
    ASSERT_EQ(0, ::symlink("/etc/hostname", (component_ + "/TVUT_link").c_str()));
    CUTPayloadList payload(1000);
    CUTPendingTranscripts::GatherArchivedLogs(FromUtf8(component_), &payload);
    EXPECT_EQ(std::vector<std::string>{"TVUT_2016_3_7_14_5_9.log"}, Names(payload.files));
}

TEST_F(PendingTranscriptsTest, TheFirstFileOverTheBudgetEndsItsStage) {
    // One product folder, files in listing order; sizes decide.
    const struct {
        const char* label;
        std::vector<size_t> sizes;
        uint64_t budget;
        std::vector<size_t> taken;  // indices in listing order
    } cases[] = {
        {"all fit", {100, 200, 300}, 1000, {0, 1, 2}},
        {"exactly the sum", {100, 200, 300}, 600, {0, 1, 2}},
        {"one byte short", {100, 200, 300}, 599, {0, 1}},
        {"one that fits alone but not with the others ends the stage", {100, 600, 1}, 600, {0}},
        // One that can never travel is left out; the stage goes on.
        {"first larger than the budget is left out", {700, 1, 1}, 600, {1, 2}},
        {"middle larger than the budget is left out", {100, 601, 1}, 600, {0, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchFolder scratch;
        const std::string transcripts = scratch.Join("P");
        ::mkdir(transcripts.c_str(), 0700);
        ::mkdir((transcripts + "/Transcripts").c_str(), 0700);
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            File(transcripts + "/Transcripts", "{" + std::to_string(i) + "}.utt", 0);
        }
        CUTPendingTranscripts pending(scratch.wpath());
        // The sizes go to the files in listing order, which decides.
        const std::vector<std::wstring> listed = pending.ListTranscripts();
        ASSERT_EQ(c.sizes.size(), listed.size());
        std::vector<std::string> expected;
        std::vector<std::string> oversized;
        for (size_t i = 0; i < listed.size(); ++i) {
            ASSERT_TRUE(WriteFile(ToUtf8(listed[i]), std::string(c.sizes[i], 'x')));
            if (std::find(c.taken.begin(), c.taken.end(), i) != c.taken.end()) {
                expected.push_back(ToUtf8(listed[i]));
            } else if (c.sizes[i] > c.budget) {
                oversized.push_back(ToUtf8(listed[i]));
            }
        }
        CUTPayloadList payload(c.budget);
        pending.GatherTranscripts(&payload);
        std::vector<std::string> taken;
        for (const CUTPendingFile& file : payload.files) {
            taken.push_back(ToUtf8(file.path));
        }
        EXPECT_EQ(expected, taken);
        std::vector<std::string> left_out;
        for (const std::wstring& path : payload.oversized) {
            left_out.push_back(ToUtf8(path));
        }
        EXPECT_EQ(oversized, left_out);
        EXPECT_EQ(expected.size() + oversized.size() == c.sizes.size(), !payload.OverBudget());
    }
}

TEST_F(PendingTranscriptsTest, AnOverrunningLogStageLeavesOnlyTheFirstProductFolderWalked) {
    File(component_, "TVUT_1.log", 500);
    File(component_, "TVUT_2.log", 700);
    Product("A");
    Product("B");
    File(component_ + "/A/Transcripts", "{A}.utt", 1);
    File(component_ + "/B/Transcripts", "{B}.utt", 1);
    CUTPayloadList payload(1000);
    CUTPendingTranscripts::GatherArchivedLogs(FromUtf8(component_), &payload);
    ASSERT_TRUE(payload.OverBudget());
    ASSERT_EQ(1u, payload.files.size());
    Pending().GatherTranscripts(&payload);
    EXPECT_EQ(1u, payload.files.size()) << "no transcript joins an overrun payload";
    EXPECT_EQ(1201u, payload.total) << "one product folder's first transcript was examined";
}

TEST_F(PendingTranscriptsTest, SizesOfTwoGibibytesAndMoreDoNotWrapTheTotal) {
    const std::string folder = Product("BIG");
    const std::string big = File(folder, "{BIG}.utt", 0);
    // Sparse: 4 GiB + 100 bytes would read as 100 in 32 bits.
    ASSERT_EQ(0, ::truncate(big.c_str(), (int64_t{1} << 32) + 100));
    const std::vector<std::wstring> listed = Pending().ListTranscripts();
    ASSERT_EQ(1u, listed.size());
    CUTPendingFile file;
    ASSERT_TRUE(CUTPendingTranscripts::Query(listed[0], &file));
    EXPECT_EQ((uint64_t{1} << 32) + 100, file.size);

    for (uint64_t size : {uint64_t{1} << 31, (uint64_t{1} << 32) + 100}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(0, ::truncate(big.c_str(), static_cast<off_t>(size)));
        File(folder, "{SMALL}.utt", 10);
        CUTPayloadList payload(102400);
        Pending().GatherTranscripts(&payload);
        // Far over the budget on its own: left out, and the small one goes.
        EXPECT_FALSE(payload.OverBudget());
        EXPECT_EQ(10u, payload.total);
        ASSERT_EQ(1u, payload.oversized.size());
        EXPECT_EQ(big, ToUtf8(payload.oversized[0]));
        ASSERT_EQ(1u, payload.files.size());
        EXPECT_EQ(folder + "/{SMALL}.utt", ToUtf8(payload.files[0].path));
        ::unlink((folder + "/{SMALL}.utt").c_str());
    }
}

TEST_F(PendingTranscriptsTest, OldTranscriptsBeyondTheCountGoOldestFirst) {
    const std::vector<std::string> folders = {Product("A"), Product("B"), Product("C")};
    // 503 transcripts over three product folders; times in nanoseconds that
    // share a second, so whole seconds could not tell them apart.
    std::vector<std::string> paths;
    for (int i = 0; i < 503; ++i) {
        const std::string path =
            File(folders[static_cast<size_t>(i) % 3], "{" + std::to_string(i) + "}.utt", 5);
        SetModified(path, 1700000000, 1000000 + 997L * ((i * 7919) % 503));
        paths.push_back(path);
    }
    std::vector<std::string> by_age = paths;
    std::sort(by_age.begin(), by_age.end(), [&](const std::string& a, const std::string& b) {
        struct stat sa, sb;
        ::stat(a.c_str(), &sa);
        ::stat(b.c_str(), &sb);
        return sa.st_mtim.tv_nsec < sb.st_mtim.tv_nsec;
    });
    EXPECT_EQ(0u, Pending().RemoveOldTranscripts(503));
    EXPECT_EQ(3u, Pending().RemoveOldTranscripts(500));
    for (size_t i = 0; i < by_age.size(); ++i) {
        EXPECT_EQ(i >= 3, PathExists(by_age[i])) << by_age[i];
    }
    EXPECT_EQ(500u, Pending().ListTranscripts().size());
    // No count at all keeps nothing.
    EXPECT_EQ(500u, Pending().RemoveOldTranscripts(0));
    EXPECT_TRUE(Pending().ListTranscripts().empty());
}

TEST_F(PendingTranscriptsTest, OnlyTheVersionThatWasListedIsRemoved) {
    const std::string folder = Product("P");
    const std::string path = File(folder, "{S}.utt", 10);
    const std::string temporary = folder + "/{S}.tmp00";
    const struct {
        const char* label;
        // What happens to the transcript after it was listed.
        void (*change)(const std::string& path, const std::string& temporary);
        bool removed;
    } cases[] = {
        {"unchanged", [](const std::string&, const std::string&) {}, true},
        {"replaced atomically with the same size",
         [](const std::string& p, const std::string& t) {
             WriteFile(t, std::string(10, 'y'));
             ::rename(t.c_str(), p.c_str());
         },
         false},
        {"rewritten in place, same size",
         [](const std::string& p, const std::string&) {
             struct stat st;
             ::stat(p.c_str(), &st);
             WriteFile(p, std::string(10, 'z'));
             // Even when the clock has not moved on.
             struct timespec times[2] = {st.st_atim, st.st_mtim};
             times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
             ::utimensat(AT_FDCWD, p.c_str(), times, 0);
         },
         false},
        {"grown", [](const std::string& p, const std::string&) { WriteFile(p, "longer text"); },
         false},
        {"gone", [](const std::string& p, const std::string&) { ::unlink(p.c_str()); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteFile(path, std::string(10, 'x'));
        const std::vector<std::wstring> listed = Pending().ListTranscripts();
        ASSERT_EQ(1u, listed.size());
        CUTPendingFile file;
        ASSERT_TRUE(CUTPendingTranscripts::Query(listed[0], &file));
        c.change(path, temporary);
        const bool existed = PathExists(path);
        EXPECT_EQ(c.removed, CUTPendingTranscripts::RemoveIfUnchanged(file));
        EXPECT_EQ(existed && !c.removed, PathExists(path));
    }
}

namespace {

// Writes bytes over the start of the file at path without replacing it, and
// gives it back its last access and write times: the same file, size and
// time, other content. This is what a version written after two atomic
// replacements looks like when it was given the inode number the delivered
// version had and its time stamp fell within the same clock tick.
void RewriteInPlaceKeepingTimes(const std::string& path, const std::string& bytes) {
    struct stat before;
    ASSERT_EQ(0, ::stat(path.c_str(), &before));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_LE(0, fd);
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()), ::pwrite(fd, bytes.data(), bytes.size(), 0));
    ::close(fd);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

}  // namespace

// After a delivered upload only the bytes the archive carried may go: a
// transcript and an archived log, gathered and packed as a send cycle does,
// are removed only while they hold exactly what was packed, however much
// their device, inode, size and last write time say they are unchanged.
TEST_F(PendingTranscriptsTest, OnlyTheBytesThatWerePackedAreRemoved) {
    const std::string folder = Product("P");
    const std::string transcript = folder + "/{S}.utt";
    const std::string log = component_ + "/TVUT_2016_3_7_14_5_9.log";
    const std::string sent = "<transcript guid=\"{A}\" session=\"{S}\"/>";
    const struct {
        const char* label;
        bool packed;
        // The same size as sent, written in place; empty: left alone.
        std::string rewritten;
        bool removed;
    } cases[] = {
        {"unchanged", true, "", true},
        {"another version, the same size", true, "<transcript guid=\"{B}\" session=\"{S}\"/>",
         false},
        {"only the first byte differs", true, "*" + sent.substr(1), false},
        {"only the last byte differs", true, sent.substr(0, sent.size() - 1) + "*", false},
        {"gathered but left out by the packer", false, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(WriteFile(transcript, sent));
        ASSERT_TRUE(WriteFile(log, sent));
        CUTPayloadList payload(100000);
        CUTPendingTranscripts::GatherArchivedLogs(FromUtf8(component_), &payload);
        Pending().GatherTranscripts(&payload);
        ASSERT_EQ(2u, payload.files.size());
        const std::string archive = scratch_.Join("payload.zip");
        {
            CUTZipper zipper(FromUtf8(archive));
            for (CUTPendingFile& file : payload.files) {
                ZipEntryBytes bytes;
                if (c.packed) {
                    ASSERT_TRUE(zipper.AddFile(file.path, &bytes));
                    file.RecordPackedBytes(bytes.size, bytes.crc32);
                }
            }
            ASSERT_TRUE(zipper.Complete());
        }
        ::unlink(archive.c_str());
        for (const CUTPendingFile& file : payload.files) {
            const std::string path = ToUtf8(file.path);
            if (!c.rewritten.empty()) {
                ASSERT_EQ(sent.size(), c.rewritten.size());
                RewriteInPlaceKeepingTimes(path, c.rewritten);
            }
            // What the identity check sees is unchanged in every case.
            CUTFileStatus now;
            ASSERT_TRUE(CUTPlatform::Current()->GetEntryStatus(file.path, &now));
            ASSERT_TRUE(file.IsVersion(now)) << path;
            EXPECT_EQ(c.removed, CUTPendingTranscripts::RemoveIfUnchanged(file)) << path;
            EXPECT_EQ(!c.removed, PathExists(path)) << path;
            if (!c.removed && !c.rewritten.empty()) {
                EXPECT_EQ(c.rewritten, ReadFile(path));
            }
        }
    }
}

namespace {

// Lets another process's writer of the transcript's folder act between the
// check of a transcript and its removal, the moment a send cycle of this
// process would remove the wrong version: the writer is told to go right
// after the status was read, and the call returns once that writer is done
// or is waiting for the folder's lock.
class WriterBetweenCheckAndRemovalPlatform : public CUTPlatformWrapper {
public:
    WriterBetweenCheckAndRemovalPlatform(int go_fd, ChildProcess* writer)
        : CUTPlatformWrapper(CUTPlatform::Default()), go_fd_(go_fd), writer_(writer) {}
    CUTOsStatus GetEntryStatus(const std::wstring& path, CUTFileStatus* status) override {
        const CUTOsStatus known = target()->GetEntryStatus(path, status);
        if (!told_) {
            told_ = true;
            EXPECT_EQ(1, ::write(go_fd_, "g", 1));
            const std::string calls = "/proc/" + std::to_string(writer_->pid()) + "/syscall";
            tvut_test::WaitFor([&] {
                // Ended, or blocked in flock(2) (x86-64: 73) on the lock.
                return writer_->HasEnded() || ReadFile(calls).rfind("73 ", 0) == 0;
            });
        }
        return known;
    }

private:
    int go_fd_;
    ChildProcess* writer_;
    bool told_ = false;
};

}  // namespace

// A session rewrites its transcript (its final version, written by CleanUp)
// while another process's send cycle removes the version it delivered: the
// new version must survive.
TEST_F(PendingTranscriptsTest, AVersionWrittenDuringTheRemovalIsKept) {
    const std::string folder = Product("P");
    const std::string path = File(folder, "{S}.utt", 10);
    const std::vector<std::wstring> listed = Pending().ListTranscripts();
    ASSERT_EQ(1u, listed.size());
    CUTPendingFile file;
    ASSERT_TRUE(CUTPendingTranscripts::Query(listed[0], &file));
    int go[2];
    ASSERT_EQ(0, ::pipe(go));
    // The writer replaces the transcript under the folder's lock, as the
    // serializer does, once told to.
    ChildProcess writer([&] {
        char byte = 0;
        if (::read(go[0], &byte, 1) != 1) {
            return 2;
        }
        CUTNamedLockGuard guard(FileLockName(FromUtf8(folder)));
        const std::string temporary = folder + "/{S}.tmp01";
        if (!guard.IsHeld() || !WriteFile(temporary, "the final version") ||
            ::rename(temporary.c_str(), path.c_str()) != 0) {
            return 3;
        }
        return 0;
    });
    ::close(go[0]);
    {
        WriterBetweenCheckAndRemovalPlatform platform(go[1], &writer);
        CUTScopedPlatform scoped(&platform);
        CUTPendingTranscripts::RemoveIfUnchanged(file);
    }
    ::close(go[1]);
    ASSERT_EQ(0, writer.Wait());
    EXPECT_EQ("the final version", ReadFile(path));
}

TEST_F(PendingTranscriptsTest, TheLogCopyIsPrivateAndNeverReplacesAnArchivedLog) {
    const std::string log = File(component_, "TVUTLog.log", 0);
    ASSERT_TRUE(WriteFile(log, "line one\nline two\n"));
    ::chmod(log.c_str(), 0644);
    std::vector<std::wstring> copies;
    for (int i = 0; i < 3; ++i) {
        copies.push_back(CUTPendingTranscripts::CopyLogFile(FromUtf8(log)));
        ASSERT_FALSE(copies.back().empty());
    }
    EXPECT_EQ(3u, Sorted({ToUtf8(copies[0]), ToUtf8(copies[1]), ToUtf8(copies[2])}).size());
    for (const std::wstring& copy : copies) {
        const std::string path = ToUtf8(copy);
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_EQ(0u, name.find("TVUT_")) << name;
        EXPECT_EQ(name.size() - 4, name.rfind(".log")) << name;
        EXPECT_EQ(std::string::npos, name.find(".utt"));
        EXPECT_EQ("line one\nline two\n", tvut_test::ReadFile(path));
        struct stat st;
        ASSERT_EQ(0, ::stat(path.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777) << name;
    }
    // Three copies within a second or so: distinct names, none replaced.
    EXPECT_NE(copies[0], copies[1]);
    EXPECT_NE(copies[1], copies[2]);
    EXPECT_NE(copies[0], copies[2]);
    // No log file: no copy, nothing left behind.
    ::unlink(log.c_str());
    const std::vector<std::string> before = tvut_test::EntryNames(component_);
    EXPECT_TRUE(CUTPendingTranscripts::CopyLogFile(FromUtf8(log)).empty());
    EXPECT_EQ(before, tvut_test::EntryNames(component_));
}

TEST_F(PendingTranscriptsTest, OnlyUploadArchivesLeftForAnHourAreStale) {
    const std::string guid = "{0123ABCD-4567-89EF-0123-456789ABCDEF}";
    const std::string old_archive = File(component_, guid + ".zip", 22);
    SetModified(old_archive, CurrentTimeSeconds(CUTPlatform::Current()) - 3700);
    const std::string fresh_archive =
        File(component_, "{1123ABCD-4567-89EF-0123-456789ABCDEF}.zip", 22);
    const std::string old_other = File(component_, "backup.zip", 22);
    SetModified(old_other, 1000000000);
    const std::string old_short = File(component_, "{short}.zip", 22);
    SetModified(old_short, 1000000000);
    ::mkdir((component_ + "/{2123ABCD-4567-89EF-0123-456789ABCDEF}.zip").c_str(), 0700);

    const std::vector<std::wstring> removed =
        CUTPendingTranscripts::RemoveStaleArchives(FromUtf8(component_));
    EXPECT_EQ(std::vector<std::string>{guid + ".zip"}, Names(removed));
    EXPECT_FALSE(PathExists(old_archive));
    for (const std::string& kept : {fresh_archive, old_other, old_short}) {
        EXPECT_TRUE(PathExists(kept)) << kept;
    }
}
