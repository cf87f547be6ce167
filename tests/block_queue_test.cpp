// BlockQueue against a plain byte string as the reference: whatever the
// pieces of appends and reads, the bytes come out as they went in, reads stop
// at what was written, and blocks go back to the allocator once read.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "comm/UTBlockQueue.h"

namespace {

constexpr size_t kBlock = BlockQueue::kBlockDataBytes;

std::string Pattern(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

std::string ReadAll(BlockQueue* queue) {
    std::string out(queue->Pending(), '\0');
    EXPECT_EQ(out.size(), queue->Read(&out[0], out.size()));
    return out;
}

}  // namespace

TEST(BlockQueueTest, SizesAroundBlockEdgesRoundTripAndFreeEveryBlock) {
    for (size_t size :
         {size_t{1}, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, 2 * kBlock + 1, size_t{100000}}) {
        SCOPED_TRACE(size);
        const std::string bytes = Pattern(size, static_cast<unsigned>(size));
        BlockQueue queue;
        queue.Append(bytes.data(), bytes.size());
        EXPECT_EQ(size, queue.Pending());
        EXPECT_EQ((size + kBlock - 1) / kBlock, queue.BlockCount());
        EXPECT_EQ(bytes, ReadAll(&queue));
        EXPECT_EQ(0u, queue.Pending());
        EXPECT_EQ(0u, queue.BlockCount());
        // A drained queue starts over cleanly.
        queue.Append("abc", 3);
        EXPECT_EQ("abc", ReadAll(&queue));
    }
}

TEST(BlockQueueTest, InterleavedAppendsAndReadsInRandomPiecesKeepOrder) {
    std::mt19937 random(7);
    BlockQueue queue;
    std::string reference;
    std::string appended_total = Pattern(300000, 11);
    size_t next = 0;
    for (int step = 0; step < 2000 && next < appended_total.size(); ++step) {
        if (random() % 3 != 0) {
            const size_t count =
                std::min<size_t>(random() % (3 * kBlock), appended_total.size() - next);
            queue.Append(appended_total.data() + next, count);
            reference.append(appended_total, next, count);
            next += count;
        } else {
            const size_t count = random() % (2 * kBlock);
            std::string out(count, '\0');
            const size_t got = queue.Read(&out[0], count);
            ASSERT_EQ(std::min(count, reference.size()), got);
            ASSERT_EQ(reference.substr(0, got), out.substr(0, got));
            reference.erase(0, got);
        }
        ASSERT_EQ(reference.size(), queue.Pending());
        // Only blocks that still hold unread bytes are kept.
        ASSERT_LE(queue.BlockCount(), reference.size() / kBlock + 2);
    }
    EXPECT_EQ(reference, ReadAll(&queue));
    EXPECT_EQ(0u, queue.BlockCount());
}

TEST(BlockQueueTest, ReadNeverCopiesMoreThanWasWritten) {
    BlockQueue queue;
    const std::string bytes = Pattern(kBlock + 10, 3);
    queue.Append(bytes.data(), bytes.size());
    std::vector<char> out(bytes.size() + 100, 'Z');
    EXPECT_EQ(bytes.size(), queue.Read(out.data(), out.size()));
    EXPECT_EQ(bytes, std::string(out.data(), bytes.size()));
    for (size_t i = bytes.size(); i < out.size(); ++i) {
        ASSERT_EQ('Z', out[i]) << "byte " << i << " written past the data";
    }
    EXPECT_EQ(0u, queue.Read(out.data(), out.size()));
    char nothing = 'Z';
    EXPECT_EQ(0u, BlockQueue().Read(&nothing, 1));
    EXPECT_EQ('Z', nothing);
}

TEST(BlockQueueTest, BlocksReadToTheirEndGoBackAtOnce) {
    BlockQueue queue;
    const std::string bytes = Pattern(3 * kBlock + 1, 5);
    queue.Append(bytes.data(), bytes.size());
    EXPECT_EQ(4u, queue.BlockCount());
    std::string out(kBlock, '\0');
    queue.Read(&out[0], kBlock);
    EXPECT_EQ(3u, queue.BlockCount());
    queue.Read(&out[0], 1);
    EXPECT_EQ(3u, queue.BlockCount());
    queue.Read(&out[0], kBlock - 1);
    EXPECT_EQ(2u, queue.BlockCount());
    EXPECT_EQ(bytes.substr(2 * kBlock), ReadAll(&queue));
    EXPECT_EQ(0u, queue.BlockCount());
}
