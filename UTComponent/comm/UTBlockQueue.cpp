#include "comm/UTBlockQueue.h"

#include <cstring>

BlockQueue::~BlockQueue() {
    while (head_ != nullptr) {
        Block* next = head_->next;
        delete head_;
        head_ = next;
    }
}

void BlockQueue::Append(const void* bytes, size_t count) {
    const unsigned char* source = static_cast<const unsigned char*>(bytes);
    while (count > 0) {
        if (tail_ == nullptr || write_offset_ == kBlockDataBytes) {
            Block* block = new Block;
            block->next = nullptr;
            if (tail_ == nullptr) {
                head_ = block;
                read_offset_ = 0;
            } else {
                tail_->next = block;
            }
            tail_ = block;
            write_offset_ = 0;
            ++blocks_;
        }
        const size_t room = kBlockDataBytes - write_offset_;
        const size_t piece = count < room ? count : room;
        std::memcpy(tail_->data + write_offset_, source, piece);
        write_offset_ += piece;
        pending_ += piece;
        source += piece;
        count -= piece;
    }
}

size_t BlockQueue::Read(void* destination, size_t count) {
    unsigned char* target = static_cast<unsigned char*>(destination);
    if (count > pending_) {
        count = pending_;
    }
    size_t copied = 0;
    while (copied < count) {
        // The tail block holds data only up to the write offset; every other
        // block is full.
        const size_t end = head_ == tail_ ? write_offset_ : kBlockDataBytes;
        const size_t available = end - read_offset_;
        const size_t piece = count - copied < available ? count - copied : available;
        std::memcpy(target + copied, head_->data + read_offset_, piece);
        read_offset_ += piece;
        copied += piece;
        if (read_offset_ == kBlockDataBytes || (head_ == tail_ && read_offset_ == write_offset_)) {
            Block* next = head_->next;
            delete head_;
            --blocks_;
            head_ = next;
            read_offset_ = 0;
            if (head_ == nullptr) {
                tail_ = nullptr;
                write_offset_ = 0;
            }
        }
    }
    pending_ -= copied;
    return copied;
}
