// Archives written by CUTZipper are read back by two independent readers
// (Python's zipfile through tests/zip_check.py, and unzip -t; on Windows
// both run on the Linux side, see LinuxSideCheck); the header fields are
// checked byte for byte here.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>
#include <boost/filesystem.hpp>

#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"
#include "support/FakePlatforms.h"
#include "support/LinuxSideCheck.h"
#include "support/ScratchRoots.h"
#include "zip/UTZipper.h"
#include "zip/ZipWriter.h"

namespace {

using tvut_test::LinuxSideCheck;
using tvut_test::PathExists;
using tvut_test::ReadFile;
using tvut_test::ScratchFolder;
using tvut_test::SetFileTimes;
using tvut_test::WriteFile;

constexpr uint32_t kWritableAttributes = 0x81800020;
constexpr uint32_t kReadOnlyAttributes = 0x81000021;

struct ExpectedEntry {
    std::string name;
    int method;
    uint32_t attributes;
    std::string source;
};

// Python's zipfile: every CRC, every entry's bytes, names, methods, attributes,
// flags and versions.
void CheckWithPython(const ScratchFolder& scratch, const std::string& archive,
                     const std::vector<ExpectedEntry>& entries) {
    LinuxSideCheck check("zip_check.py");
    check.AddFile(archive);
    std::string lines;
    for (const ExpectedEntry& e : entries) {
        char attributes[16];
        std::snprintf(attributes, sizeof attributes, "%08x", e.attributes);
        lines += e.name + "\t" + std::to_string(e.method) + "\t" + attributes + "\t" +
                 check.AddFileNamedByAnother(e.source) + "\n";
    }
    const std::string expectations = scratch.Join("expected.tsv");
    EXPECT_TRUE(WriteFile(expectations, lines));
    check.AddFile(expectations);
    std::string output;
    EXPECT_TRUE(check.Expect(0, LinuxSideCheck::kWholeOutput, "OK", &output)) << output;
}

// unzip -t tests every entry; an archive without entries is reported as empty.
void CheckWithUnzip(const std::string& archive, bool empty) {
    LinuxSideCheck check("unzip");
    check.AddArgument("-t");
    check.AddFile(archive);
    std::string output;
    if (empty) {
        EXPECT_TRUE(check.Expect(1, LinuxSideCheck::kOutputContains, "zipfile is empty", &output))
            << output;
    } else {
        EXPECT_TRUE(check.Expect(0, LinuxSideCheck::kOutputContains, "No errors detected", &output))
            << output;
    }
}

void CheckArchive(const ScratchFolder& scratch, const std::string& archive,
                  const std::vector<ExpectedEntry>& entries) {
    CheckWithPython(scratch, archive, entries);
    CheckWithUnzip(archive, entries.empty());
}

std::string XmlText(int index, size_t approximate_size) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<Transcript>\n";
    for (int i = 0; text.size() < approximate_size; ++i) {
        text += "  <Session id=\"{8F1C2A3B-" + std::to_string(1000 + index) + "-4E5F-" +
                std::to_string(i) + "}\" start=\"" + std::to_string(1700000000 + i * 37) +
                "\" crash=\"" + (i % 7 == 0 ? "1" : "0") + "\" />\n";
    }
    return text + "</Transcript>\n";
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

// ---------------------------------------------------------------------------
// Read-back table

struct SourceFile {
    std::string folder;  // below the scratch folder; "" for the scratch folder itself
    std::string name;
    std::string content;
    int method;
    bool read_only = false;
};

struct ArchiveCase {
    std::string label;
    std::vector<SourceFile> files;
};

void PrintTo(const ArchiveCase& archive_case, std::ostream* out) {
    *out << archive_case.label;
}

std::vector<ArchiveCase> ReadBackCases() {
    return {
        {"EmptyArchive", {}},
        {"OneEmptyFile", {{"", "empty.utt", "", 8}}},
        {"TextFiles",
         {{"", "x.utt", XmlText(1, 3000), 8},
          {"", "notes.txt", "plain text\nsecond line\n", 8},
          {"", "TVUT_2024_1_2_3_4_5.log", XmlText(2, 20000), 8}}},
        {"StoredSuffixes",
         {{"", "data.GZ", RandomBytes(5000, 1), 0},
          {"", "pack.zip", RandomBytes(100, 2), 0},
          {"", "old.tgz", "tgz", 0},
          {"", "a.Z", "z", 0},
          {"", "archive.gz.txt", "compressed", 8},
          {"", "README", "no suffix", 8}}},
        {"SameNameTwice",
         {{"one", "dup.utt", XmlText(3, 500), 8}, {"two", "dup.utt", XmlText(4, 700), 8}}},
        {"ReadOnlySource", {{"", "ro.utt", XmlText(5, 400), 8, true}}},
        {"NonAsciiName",
         {{"",
           "\xC3\x9C"
           "bersicht_\xE6\x97\xA5\xE6\x9C\xAC.utt",
           "text", 8}}},
        // Larger than a send's budget, and many pieces in and out.
        {"LargeFiles",
         {{"", "big.log", XmlText(6, 3 << 20) + RandomBytes(1 << 20, 3), 8},
          {"", "big.gz", RandomBytes(3 << 20, 4), 0}}},
    };
}

class ZipReadBackTest : public ::testing::TestWithParam<ArchiveCase> {};

TEST_P(ZipReadBackTest, BothReadersAcceptTheArchive) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    std::vector<ExpectedEntry> expected;
    {
        CUTZipper zipper(FromUtf8(archive));
        for (const SourceFile& file : GetParam().files) {
            const std::string folder =
                file.folder.empty() ? scratch.path() : scratch.Join(file.folder);
            boost::filesystem::create_directories(folder);
            const std::string path = tvut_test::NativePath(folder + "/" + file.name);
            ASSERT_TRUE(WriteFile(path, file.content));
            if (file.read_only) {
                // Windows: the read-only attribute
                boost::system::error_code ec;
                boost::filesystem::permissions(path,
                                               boost::filesystem::owner_read |
                                                   boost::filesystem::group_read |
                                                   boost::filesystem::others_read,
                                               ec);
                ASSERT_FALSE(ec) << ec.message();
            }
            EXPECT_TRUE(zipper.AddFile(FromUtf8(path))) << path;
            expected.push_back({file.name, file.method,
                                file.read_only ? kReadOnlyAttributes : kWritableAttributes, path});
        }
    }
    if (expected.empty()) {
        EXPECT_EQ(22u, ReadFile(archive).size());
    }
    CheckArchive(scratch, archive, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ZipReadBackTest, ::testing::ValuesIn(ReadBackCases()),
                         [](const ::testing::TestParamInfo<ArchiveCase>& case_info) {
                             return case_info.param.label;
                         });

// ---------------------------------------------------------------------------
// Header fields

uint32_t Le(const std::string& bytes, size_t offset, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes.at(offset + i))) << (8 * i);
    }
    return value;
}

TEST(ZipHeaderTest, FieldsAreWrittenByteForByte) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    const std::string content = XmlText(7, 2000);
    const std::string recent = scratch.Join("x.utt");
    const std::string old = scratch.Join("old.arj");
    ASSERT_TRUE(WriteFile(recent, content));
    ASSERT_TRUE(WriteFile(old, "stored"));
    // 2021-03-04 05:06:09 UTC; the other file predates the DOS epoch.
    ASSERT_TRUE(SetFileTimes(recent, 1600000000, 1614834369));
    ASSERT_TRUE(SetFileTimes(old, 1000, 0));
    CUTFileStatus recent_status;
    CUTFileStatus old_status;
    ASSERT_TRUE(CUTPlatform::Current()->GetFileStatus(FromUtf8(recent), &recent_status));
    ASSERT_TRUE(CUTPlatform::Current()->GetFileStatus(FromUtf8(old), &old_status));
    const CUTFileTimes& recent_times = recent_status.times;
    const CUTFileTimes& old_times = old_status.times;
    {
        CUTZipper zipper(FromUtf8(archive));
        ASSERT_TRUE(zipper.AddFile(FromUtf8(recent)));
        ASSERT_TRUE(zipper.AddFile(FromUtf8(old)));
    }
    const std::string bytes = ReadFile(archive);
#ifdef _WIN32
    // Under wine, opening a file to read it already updates its access time
    // (real Windows no longer keeps it by default): the entry holds the one
    // the file shows once packed.
    ASSERT_TRUE(CUTPlatform::Current()->GetFileStatus(FromUtf8(recent), &recent_status));
    ASSERT_TRUE(CUTPlatform::Current()->GetFileStatus(FromUtf8(old), &old_status));
    const uint32_t recent_access = static_cast<uint32_t>(recent_times.last_access);
    const uint32_t old_access = static_cast<uint32_t>(old_times.last_access);
#else
    const uint32_t recent_access = 1600000000;
    const uint32_t old_access = 1000;
#endif
    const uint32_t crc = static_cast<uint32_t>(crc32(
        0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));

    struct Expected {
        std::string name;
        uint32_t method, dos_time, dos_date, crc, size, mtime, atime, ctime;
    };
    const Expected entries[] = {
        {"x.utt", 8, 5 * 2048 + 6 * 32 + 9 / 2, 41 * 512 + 3 * 32 + 4, crc,
         static_cast<uint32_t>(content.size()), 1614834369, recent_access,
         static_cast<uint32_t>(recent_times.creation)},
        {"old.arj", 0, 0, 1 * 32 + 1, 0x5643F90Bu /* CRC-32 of "stored" */, 6, 0, old_access,
         static_cast<uint32_t>(old_times.creation)},
    };

    // Local headers, one after the other's data.
    size_t offset = 0;
    std::vector<uint32_t> local_offsets;
    std::vector<uint32_t> compressed_sizes;
    for (const Expected& e : entries) {
        SCOPED_TRACE(e.name);
        local_offsets.push_back(static_cast<uint32_t>(offset));
        EXPECT_EQ(0x04034B50u, Le(bytes, offset, 4));
        EXPECT_EQ(20u, Le(bytes, offset + 4, 2));
        EXPECT_EQ(0u, Le(bytes, offset + 6, 2));  // flags after the rewrite
        EXPECT_EQ(e.method, Le(bytes, offset + 8, 2));
        EXPECT_EQ(e.dos_time, Le(bytes, offset + 10, 2));
        EXPECT_EQ(e.dos_date, Le(bytes, offset + 12, 2));
        EXPECT_EQ(e.crc, Le(bytes, offset + 14, 4));
        const uint32_t compressed = Le(bytes, offset + 18, 4);
        compressed_sizes.push_back(compressed);
        if (e.method == 0) {
            EXPECT_EQ(e.size, compressed);
        }
        EXPECT_EQ(e.size, Le(bytes, offset + 22, 4));
        EXPECT_EQ(e.name.size(), Le(bytes, offset + 26, 2));
        EXPECT_EQ(17u, Le(bytes, offset + 28, 2));
        EXPECT_EQ(e.name, bytes.substr(offset + 30, e.name.size()));
        const size_t extra = offset + 30 + e.name.size();
        EXPECT_EQ(0x5455u, Le(bytes, extra, 2));
        EXPECT_EQ(13u, Le(bytes, extra + 2, 2));
        EXPECT_EQ(7u, Le(bytes, extra + 4, 1));
        EXPECT_EQ(e.mtime, Le(bytes, extra + 5, 4));
        EXPECT_EQ(e.atime, Le(bytes, extra + 9, 4));
        EXPECT_EQ(e.ctime, Le(bytes, extra + 13, 4));
        offset = extra + 17 + compressed;
    }
    EXPECT_EQ("stored", bytes.substr(offset - 6, 6));  // stored data copied unchanged

    // Central directory right after the last entry's data.
    const size_t central_offset = offset;
    for (size_t i = 0; i < 2; ++i) {
        const Expected& e = entries[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(0x02014B50u, Le(bytes, offset, 4));
        EXPECT_EQ(0x0B17u, Le(bytes, offset + 4, 2));
        EXPECT_EQ(20u, Le(bytes, offset + 6, 2));
        EXPECT_EQ(0u, Le(bytes, offset + 8, 2));
        EXPECT_EQ(e.method, Le(bytes, offset + 10, 2));
        EXPECT_EQ(e.dos_time, Le(bytes, offset + 12, 2));
        EXPECT_EQ(e.dos_date, Le(bytes, offset + 14, 2));
        EXPECT_EQ(e.crc, Le(bytes, offset + 16, 4));
        EXPECT_EQ(compressed_sizes.at(i), Le(bytes, offset + 20, 4));
        EXPECT_EQ(e.size, Le(bytes, offset + 24, 4));
        EXPECT_EQ(e.name.size(), Le(bytes, offset + 28, 2));
        EXPECT_EQ(9u, Le(bytes, offset + 30, 2));
        EXPECT_EQ(0u, Le(bytes, offset + 32, 2));  // comment
        EXPECT_EQ(0u, Le(bytes, offset + 34, 2));  // disk
        EXPECT_EQ(0u, Le(bytes, offset + 36, 2));  // internal attributes
        EXPECT_EQ(kWritableAttributes, Le(bytes, offset + 38, 4));
        EXPECT_EQ(local_offsets.at(i), Le(bytes, offset + 42, 4));
        EXPECT_EQ(e.name, bytes.substr(offset + 46, e.name.size()));
        const size_t extra = offset + 46 + e.name.size();
        EXPECT_EQ(0x5455u, Le(bytes, extra, 2));
        EXPECT_EQ(5u, Le(bytes, extra + 2, 2));
        EXPECT_EQ(7u, Le(bytes, extra + 4, 1));
        EXPECT_EQ(e.mtime, Le(bytes, extra + 5, 4));
        offset = extra + 9;
    }

    // End record, and nothing after it.
    EXPECT_EQ(0x06054B50u, Le(bytes, offset, 4));
    EXPECT_EQ(0u, Le(bytes, offset + 4, 4));  // disks
    EXPECT_EQ(2u, Le(bytes, offset + 8, 2));
    EXPECT_EQ(2u, Le(bytes, offset + 10, 2));
    EXPECT_EQ(offset - central_offset, Le(bytes, offset + 12, 4));
    EXPECT_EQ(central_offset, Le(bytes, offset + 16, 4));
    EXPECT_EQ(0u, Le(bytes, offset + 20, 2));
    EXPECT_EQ(offset + 22, bytes.size());
}

TEST(ZipHeaderTest, EmptyFileIsAnEmptyDeflateStream) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    ASSERT_TRUE(WriteFile(scratch.Join("empty.log"), ""));
    {
        CUTZipper zipper(FromUtf8(archive));
        ASSERT_TRUE(zipper.AddFile(FromUtf8(scratch.Join("empty.log"))));
    }
    const std::string bytes = ReadFile(archive);
    EXPECT_EQ(8u, Le(bytes, 8, 2));
    EXPECT_EQ(0u, Le(bytes, 14, 4));  // CRC of nothing
    EXPECT_EQ(2u, Le(bytes, 18, 4));  // the final empty fixed-Huffman block
    EXPECT_EQ(0u, Le(bytes, 22, 4));
    EXPECT_EQ(std::string("\x03\x00", 2), bytes.substr(30 + 9 + 17, 2));
}

TEST(ZipHeaderTest, NonAsciiNamesAreMarkedAsUtf8) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    const std::string name = "caf\xC3\xA9.utt";
    ASSERT_TRUE(WriteFile(scratch.Join(name), "x"));
    {
        CUTZipper zipper(FromUtf8(archive));
        ASSERT_TRUE(zipper.AddFile(FromUtf8(scratch.Join(name))));
    }
    const std::string bytes = ReadFile(archive);
    EXPECT_EQ(0x0800u, Le(bytes, 6, 2));
    EXPECT_EQ(name, bytes.substr(30, name.size()));
}

TEST(ZipEntryNameTest, LastPathComponentOfAtMost259Characters) {
    using tvut_test::NativePath;
    EXPECT_EQ(L"x.utt", CUTZipper::EntryName(NativePath(L"/var/lib/Telvoran/Transcripts/x.utt")));
    EXPECT_EQ(L"x.utt", CUTZipper::EntryName(L"x.utt"));
    EXPECT_EQ(std::wstring(259, L'n'),
              CUTZipper::EntryName(NativePath(L"/tmp/" + std::wstring(300, L'n'))));
}

// ---------------------------------------------------------------------------
// Bad input and faults: the failed entry is left out, the archive stays valid.

TEST(ZipFailureTest, MissingSourcesAndFoldersAreLeftOut) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    const std::string a = scratch.Join("a.utt");
    const std::string b = scratch.Join("b.utt");
    ASSERT_TRUE(WriteFile(a, XmlText(8, 1000)));
    ASSERT_TRUE(WriteFile(b, XmlText(9, 1000)));
    boost::filesystem::create_directories(scratch.Join("folder.utt"));
    {
        CUTZipper zipper(FromUtf8(archive));
        EXPECT_TRUE(zipper.AddFile(FromUtf8(a)));
        EXPECT_FALSE(zipper.AddFile(FromUtf8(scratch.Join("missing.utt"))));
        EXPECT_FALSE(zipper.AddFile(FromUtf8(scratch.Join("folder.utt"))));
        EXPECT_FALSE(zipper.AddFile(L""));
        EXPECT_TRUE(zipper.AddFile(FromUtf8(b)));
    }
    CheckArchive(scratch, archive,
                 {{"a.utt", 8, kWritableAttributes, a}, {"b.utt", 8, kWritableAttributes, b}});
}

TEST(ZipFailureTest, FilesOf4GiBAndMoreAreRefused) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    const std::string huge = scratch.Join("huge.log");
    const std::string a = scratch.Join("a.utt");
    ASSERT_TRUE(WriteFile(huge, ""));
    ASSERT_TRUE(WriteFile(a, "small"));
    // Sparse: no space is used and nothing is read.
    boost::filesystem::resize_file(huge, 0x100000000ull);
    {
        CUTZipper zipper(FromUtf8(archive));
        EXPECT_FALSE(zipper.AddFile(FromUtf8(huge)));
        EXPECT_TRUE(zipper.AddFile(FromUtf8(a)));
    }
    CheckArchive(scratch, archive, {{"a.utt", 8, kWritableAttributes, a}});
}

TEST(ZipFailureTest, ArchiveThatCannotBeCreatedRefusesEveryEntry) {
    ScratchFolder scratch;
    const std::string a = scratch.Join("a.utt");
    ASSERT_TRUE(WriteFile(a, "x"));
    boost::filesystem::create_directories(scratch.Join("folder.zip"));
    const std::string paths[] = {
        scratch.Join("missing/payload.zip"),  // folder does not exist
        scratch.Join("a.utt/payload.zip"),    // "folder" is a file
        scratch.Join("folder.zip"),           // the path is a folder
        "",
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        {
            CUTZipper zipper(FromUtf8(path));
            EXPECT_FALSE(zipper.AddFile(FromUtf8(a)));
        }
        EXPECT_FALSE(PathExists(scratch.Join("missing")));
    }
    EXPECT_TRUE(boost::filesystem::is_directory(scratch.Join("folder.zip")));
}

TEST(ZipFailureTest, ExistingArchiveIsReplaced) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    ASSERT_TRUE(WriteFile(archive, std::string(100000, 'j')));
    { CUTZipper zipper(FromUtf8(archive)); }
    EXPECT_EQ(22u, ReadFile(archive).size());
}

TEST(ZipFailureTest, EntriesAfterCompletionAreRefused) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    const std::string a = scratch.Join("a.utt");
    const std::string b = scratch.Join("b.utt");
    ASSERT_TRUE(WriteFile(a, "first"));
    ASSERT_TRUE(WriteFile(b, "second"));
    std::unique_ptr<ZipWriter> writer = ZipWriter::Create(FromUtf8(archive));
    ASSERT_TRUE(writer);
    EXPECT_TRUE(writer->AddFile(L"a.utt", FromUtf8(a)));
    EXPECT_TRUE(writer->Close());
    EXPECT_FALSE(writer->AddFile(L"b.utt", FromUtf8(b)));
    EXPECT_FALSE(writer->Close());
    writer.reset();
    CheckArchive(scratch, archive, {{"a.utt", 8, kWritableAttributes, a}});
}

TEST(ZipFailureTest, DisposeCompletesTheArchive) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    const std::string a = scratch.Join("a.utt");
    ASSERT_TRUE(WriteFile(a, XmlText(13, 100)));
    CUTZipper* zipper = new CUTZipper(FromUtf8(archive));
    EXPECT_TRUE(zipper->AddFile(FromUtf8(a)));
    zipper->Dispose();
    CheckArchive(scratch, archive, {{"a.utt", 8, kWritableAttributes, a}});
}

// The Deflate state is created once and reset between entries: many entries
// in one archive must each decode on their own.
TEST(ZipFailureTest, ManyEntriesShareOneCompressor) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    std::vector<ExpectedEntry> expected;
    {
        CUTZipper zipper(FromUtf8(archive));
        for (int i = 0; i < 40; ++i) {
            const std::string name = "t" + std::to_string(i) + (i % 5 == 0 ? ".gz" : ".utt");
            const std::string path = scratch.Join(name);
            ASSERT_TRUE(WriteFile(path, XmlText(i, 500 + 300 * i)));
            ASSERT_TRUE(zipper.AddFile(FromUtf8(path)));
            expected.push_back({name, i % 5 == 0 ? 0 : 8, kWritableAttributes, path});
        }
    }
    CheckArchive(scratch, archive, expected);
}

// ---------------------------------------------------------------------------
// The archive file through the platform layer

// A disk that is full when the archive is created, fills up in the middle of
// an entry or just before completion: an archive that cannot be completed is
// removed, with the failure kept; one whose disk had room again for the rest
// keeps every entry added while there was room.
TEST(ZipFullDiskTest, FullDiskLeavesAValidArchiveOrNone) {
    ScratchFolder scratch;
    const std::string a = scratch.Join("a.utt");
    const std::string big = scratch.Join("big.dat");
    const std::string c = scratch.Join("c.utt");
    ASSERT_TRUE(WriteFile(a, XmlText(14, 3000)));
    ASSERT_TRUE(WriteFile(big, RandomBytes(1 << 20, 6)));
    ASSERT_TRUE(WriteFile(c, XmlText(15, 3000)));
    enum When { kFromTheStart, kDuringAnEntry, kBeforeCompletion, kBeforeDestruction };
    struct Case {
        const char* label;
        When when;
        bool big_added;
        bool completed;
    };
    const Case cases[] = {
        {"full from the start", kFromTheStart, false, false},
        {"full during one entry only", kDuringAnEntry, false, true},
        {"full at completion", kBeforeCompletion, true, false},
        {"full when destroyed", kBeforeDestruction, true, false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.label);
        const std::string archive = scratch.Join("payload.zip");
        tvut_test::FullDiskPlatform disk;
        CUTScopedPlatform scoped(&disk);
        disk.SetFull(test.when == kFromTheStart);
        {
            CUTZipper zipper(FromUtf8(archive));
            ASSERT_TRUE(PathExists(archive)) << "opening succeeds on a full disk";
            zipper.AddFile(FromUtf8(a));
            if (test.when == kDuringAnEntry) {
                disk.SetFull(true);
            }
            EXPECT_EQ(test.big_added, zipper.AddFile(FromUtf8(big)));
            if (test.when == kDuringAnEntry) {
                EXPECT_TRUE(zipper.Error().Is(UTOsError::kNoSpace)) << zipper.Error().ToString();
                disk.SetFull(false);
            }
            zipper.AddFile(FromUtf8(c));
            if (test.when == kBeforeCompletion) {
                disk.SetFull(true);
                EXPECT_FALSE(zipper.Complete());
                EXPECT_FALSE(zipper.AddFile(FromUtf8(a))) << "completion happens once";
            }
            if (test.when == kBeforeDestruction) {
                disk.SetFull(true);
            }
            if (test.when != kBeforeCompletion && test.when != kBeforeDestruction) {
                EXPECT_EQ(test.completed, zipper.Complete());
            }
            if (!test.completed && test.when != kBeforeDestruction) {
                EXPECT_TRUE(zipper.Error().Is(UTOsError::kNoSpace)) << zipper.Error().ToString();
            }
        }
        EXPECT_GT(disk.RefusedWrites(), 0);
        if (test.completed) {
            CheckArchive(
                scratch, archive,
                {{"a.utt", 8, kWritableAttributes, a}, {"c.utt", 8, kWritableAttributes, c}});
        } else {
            EXPECT_FALSE(PathExists(archive)) << "a partial archive is left behind";
        }
        boost::filesystem::remove(archive);
    }
}

TEST(ZipFullDiskTest, ArchiveThatCannotBeCreatedKeepsTheErrno) {
    ScratchFolder scratch;
    CUTZipper zipper(FromUtf8(scratch.Join("missing/payload.zip")));
    EXPECT_TRUE(zipper.Error().Is(UTOsError::kNotFound)) << zipper.Error().ToString();
    EXPECT_FALSE(zipper.Complete());
}

// ---------------------------------------------------------------------------
// POSIX only: /sys and /proc, fork with a file-size limit.
#ifndef _WIN32

int RunCommand(const std::string& command, std::string* output) {
    output->clear();
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output->append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The loopback interface's speed attribute is a regular file of 4096 bytes
// whose read fails: the entry's provisional header is already written by then.
TEST(ZipFailureTest, ReadFailureAfterTheHeaderLeavesNoTrace) {
    const std::string unreadable = "/sys/class/net/lo/speed";
    {
        std::ifstream probe(unreadable, std::ios::binary);
        char c;
        if (!probe || probe.read(&c, 1)) {
            GTEST_SKIP() << unreadable << " is missing or readable here";
        }
    }
    ScratchFolder scratch;
    const std::string a = scratch.Join("a.utt");
    ASSERT_TRUE(WriteFile(a, XmlText(10, 1000)));
    const std::string only_failed = scratch.Join("only_failed.zip");
    const std::string between = scratch.Join("between.zip");
    {
        CUTZipper zipper(FromUtf8(only_failed));
        EXPECT_FALSE(zipper.AddFile(FromUtf8(unreadable)));
    }
    EXPECT_EQ(22u, ReadFile(only_failed).size());
    CheckArchive(scratch, only_failed, {});
    {
        CUTZipper zipper(FromUtf8(between));
        EXPECT_FALSE(zipper.AddFile(FromUtf8(unreadable)));
        EXPECT_TRUE(zipper.AddFile(FromUtf8(a)));
        EXPECT_FALSE(zipper.AddFile(FromUtf8(unreadable)));
    }
    CheckArchive(scratch, between, {{"a.utt", 8, kWritableAttributes, a}});
}

// A child process limited to a small file size fails in the middle of a large
// entry's data; the entries before and after it survive.
TEST(ZipFailureTest, WriteFailureInsideAnEntryIsRolledBack) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    const std::string a = scratch.Join("a.utt");
    const std::string big = scratch.Join("big.dat");
    const std::string c = scratch.Join("c.utt");
    ASSERT_TRUE(WriteFile(a, XmlText(11, 20000)));
    ASSERT_TRUE(WriteFile(big, RandomBytes(1 << 20, 5)));
    ASSERT_TRUE(WriteFile(c, XmlText(12, 20000)));
    constexpr rlim_t kLimit = 256 * 1024;

    const pid_t child = ::fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {kLimit, kLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        bool as_expected;
        {
            CUTZipper zipper(FromUtf8(archive));
            const bool added_a = zipper.AddFile(FromUtf8(a));
            const bool added_big = zipper.AddFile(FromUtf8(big));
            const bool added_c = zipper.AddFile(FromUtf8(c));
            as_expected = added_a && !added_big && added_c;
        }
        ::_exit(as_expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_LT(ReadFile(archive).size(), 64u * 1024);
    CheckArchive(scratch, archive,
                 {{"a.utt", 8, kWritableAttributes, a}, {"c.utt", 8, kWritableAttributes, c}});
}

// A program the host starts while an archive is being written must not
// inherit it: the program lists its own descriptors.
TEST(ZipDescriptorTest, ArchiveIsNotInheritedByPrograms) {
    ScratchFolder scratch;
    const std::string archive = scratch.Join("payload.zip");
    const std::string a = scratch.Join("a.utt");
    ASSERT_TRUE(WriteFile(a, XmlText(16, 1000)));
    CUTZipper zipper(FromUtf8(archive));
    ASSERT_TRUE(zipper.AddFile(FromUtf8(a)));
    std::string own;
    ASSERT_EQ(0, RunCommand("ls -l /proc/" + std::to_string(::getpid()) + "/fd", &own));
    ASSERT_NE(std::string::npos, own.find(archive)) << "the writer holds the archive open";
    std::string child;
    ASSERT_EQ(0, RunCommand("ls -l /proc/self/fd", &child));
    EXPECT_EQ(std::string::npos, child.find(archive)) << child;
}

#endif  // _WIN32

}  // namespace
