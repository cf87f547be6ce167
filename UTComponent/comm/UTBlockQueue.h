// BlockQueue: the first-in first-out byte buffer that carries a request body
// to the transfer and a reply body back from it.
//
// Bytes live in a singly linked chain of fixed blocks: 2044 data bytes
// followed by the link to the next block (2048 bytes in all where a link is
// four bytes wide; a wider link makes the block that much larger, the data
// part stays 2044 bytes). Append fills the tail block and links a new one
// when it is full; Read copies from the head block and hands every block it
// has read to the end straight back to the allocator, so a drained queue
// holds no memory. Read never copies more than was appended.
//
// One thread at a time, like the client that owns it. Append throws
// std::bad_alloc when a block cannot be had (the bytes appended before stay
// queued); nothing else fails.
#ifndef TVUT_COMM_UTBLOCKQUEUE_H
#define TVUT_COMM_UTBLOCKQUEUE_H

#include <cstddef>

class BlockQueue {
public:
    static constexpr size_t kBlockDataBytes = 2044;

    BlockQueue() = default;
    ~BlockQueue();
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    void Append(const void* bytes, size_t count);
    // Copies up to count bytes (never more than are pending) into
    // destination and returns how many it copied.
    size_t Read(void* destination, size_t count);

    size_t Pending() const { return pending_; }
    // Blocks held now (for tests of the memory handling).
    size_t BlockCount() const { return blocks_; }

private:
    struct Block {
        unsigned char data[kBlockDataBytes];
        Block* next;
    };

    Block* head_ = nullptr;
    Block* tail_ = nullptr;
    size_t read_offset_ = 0;   // within head_
    size_t write_offset_ = 0;  // within tail_
    size_t pending_ = 0;
    size_t blocks_ = 0;
};

#endif  // TVUT_COMM_UTBLOCKQUEUE_H
