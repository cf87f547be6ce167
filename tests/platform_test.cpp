#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>

#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"
#include "support/ScratchRoots.h"

TEST(PlatformTest, GuidTextHasRegistryForm) {
    const std::wstring guid = CUTPlatform::Current()->NewGuidText();
    ASSERT_EQ(38u, guid.size());
    EXPECT_EQ(L'{', guid.front());
    EXPECT_EQ(L'}', guid.back());
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
