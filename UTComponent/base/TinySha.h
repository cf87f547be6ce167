// tinysha: the SHA-256 hash (FIPS 180-4) that anonymises the machine and user
// identities.
//
// The family, from the root:
//   HashTransformation             the abstract hash: Update, Final, Restart,
//                                  DigestSize, AlgorithmName ("unknown" here)
//   IteratedHashBase               block buffering, 64-bit message bit count,
//                                  completion with 0x80, zeros and the count
//   IteratedHash<BLOCK_SIZE>       the data buffer of big-endian 32-bit words
//   IteratedHashWithStaticTransform<T, DIGEST_SIZE>
//                                  the state words and T's compression function
//   SHA256                         "SHA-256", 32-byte digest
//
// Every buffer that held message data or state words is overwritten with zeros
// before its memory is given back (SecBlock, FixedSizeSecBlock), so a digest's
// input does not linger in freed memory. A SecBlock larger than 0x3FFFFFFF
// 32-bit words (4 GiB) is refused with InvalidArgument "AllocatorBase:
// requested size would cause integer overflow"; nothing else here throws.
//
// An object is used by one thread at a time; distinct objects are independent.
#ifndef TVUT_BASE_TINYSHA_H
#define TVUT_BASE_TINYSHA_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

namespace tinysha {

typedef unsigned char byte;
typedef uint32_t word32;
typedef uint64_t word64;

class InvalidArgument : public std::invalid_argument {
public:
    explicit InvalidArgument(const std::string& message) : std::invalid_argument(message) {}
};

// Overwrites count elements with zeros through a volatile pointer, so that the
// compiler cannot drop the stores as dead even when the memory is freed next.
template <class T>
void SecureWipeArray(T* buffer, size_t count) {
    volatile T* p = buffer;
    for (size_t i = 0; i < count; ++i) {
        p[i] = T();
    }
}

// The largest buffer any allocator hands out: the byte count must fit in 32
// bits, which for 32-bit words is 0x3FFFFFFF of them.
class AllocatorBase {
public:
    static constexpr size_t kMaxBytes = 0xFFFFFFFFu;
    static void CheckSize(size_t count, size_t element_size) {
        if (count > kMaxBytes / element_size) {
            throw InvalidArgument("AllocatorBase: requested size would cause integer overflow");
        }
    }
};

// Allocates arrays of T within AllocatorBase's limit. The owner wipes the
// elements before deallocate (SecBlock does), so a custom allocator can check
// that nothing is left behind.
template <class T>
class AllocatorWithCleanup : public AllocatorBase {
public:
    typedef T value_type;
    T* allocate(size_t count) {
        CheckSize(count, sizeof(T));
        if (count == 0) {
            return nullptr;
        }
        return static_cast<T*>(::operator new(count * sizeof(T)));
    }
    void deallocate(T* buffer, size_t /*count*/) { ::operator delete(buffer); }
};

// A heap array of T, zero-initialised, wiped before it is freed. Not copyable:
// a secret should have one owner.
template <class T, class A = AllocatorWithCleanup<T>>
class SecBlock {
public:
    explicit SecBlock(size_t count = 0) : size_(count), data_(alloc_.allocate(count)) {
        for (size_t i = 0; i < size_; ++i) {
            new (data_ + i) T();
        }
    }
    ~SecBlock() {
        SecureWipeArray(data_, size_);
        alloc_.deallocate(data_, size_);
    }
    SecBlock(const SecBlock&) = delete;
    SecBlock& operator=(const SecBlock&) = delete;

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    A& allocator() { return alloc_; }

private:
    A alloc_;
    size_t size_;
    T* data_;
};

// N elements kept inside the owning object, wiped when it is destroyed.
template <class T, size_t N>
class FixedSizeSecBlock {
public:
    FixedSizeSecBlock() : data_() {}
    ~FixedSizeSecBlock() { SecureWipeArray(data_, N); }
    FixedSizeSecBlock(const FixedSizeSecBlock&) = default;
    FixedSizeSecBlock& operator=(const FixedSizeSecBlock&) = default;

    T* data() { return data_; }
    const T* data() const { return data_; }
    static constexpr size_t size() { return N; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

private:
    T data_[N];
};

class HashTransformation {
public:
    virtual ~HashTransformation() = default;

    // The algorithm's name; a hash that does not name itself is "unknown".
    virtual std::string AlgorithmName() const { return "unknown"; }
    // Adds length bytes of message; input may be null when length is 0.
    virtual void Update(const byte* input, size_t length) = 0;
    virtual unsigned int DigestSize() const = 0;
    // Writes DigestSize() bytes and restarts, ready for a new message.
    virtual void Final(byte* digest) = 0;
    // Forgets the message so far.
    virtual void Restart() = 0;
    // Update and Final in one call.
    void CalculateDigest(byte* digest, const byte* input, size_t length) {
        Update(input, length);
        Final(digest);
    }
};

// Buffers message bytes into blocks of 32-bit big-endian words, counts the
// message length in bits (64 bits) and completes the message with 0x80, zero
// bytes and the bit count, high word first.
class IteratedHashBase : public HashTransformation {
public:
    void Update(const byte* input, size_t length) override;
    void Final(byte* digest) override;
    void Restart() override;
    virtual unsigned int BlockSize() const = 0;

protected:
    IteratedHashBase() = default;
    ~IteratedHashBase() override;

    // Sets the state words to the algorithm's initial values.
    virtual void Init() = 0;
    // Compresses one block already in host word order.
    virtual void HashEndianCorrectedBlock(const word32* block) = 0;
    // The block buffer (BlockSize() bytes) and the state words.
    virtual word32* DataBuf() = 0;
    virtual word32* StateBuf() = 0;

private:
    // Compresses every whole block of input; returns the bytes left over.
    size_t HashMultipleBlocks(const byte* input, size_t length);
    void PadLastBlock(unsigned int last_block_size, byte pad_first);

    word64 m_bitCount = 0;
};

template <unsigned int BLOCK_SIZE>
class IteratedHash : public IteratedHashBase {
public:
    static_assert(BLOCK_SIZE % 4 == 0, "blocks hold whole 32-bit words");
    static constexpr unsigned int BLOCKSIZE = BLOCK_SIZE;
    unsigned int BlockSize() const override { return BLOCK_SIZE; }

protected:
    word32* DataBuf() override { return m_data.data(); }

private:
    FixedSizeSecBlock<word32, BLOCK_SIZE / 4> m_data;
};

// T supplies static InitState(word32*), Transform(word32*, const word32*)
// and StaticAlgorithmName(); STATE_WORDS is the size of its state.
template <class T, unsigned int DIGEST_SIZE, unsigned int STATE_WORDS = DIGEST_SIZE / 4>
class IteratedHashWithStaticTransform : public IteratedHash<64> {
public:
    static constexpr unsigned int DIGESTSIZE = DIGEST_SIZE;
    unsigned int DigestSize() const override { return DIGEST_SIZE; }
    std::string AlgorithmName() const override { return T::StaticAlgorithmName(); }

protected:
    IteratedHashWithStaticTransform() { Init(); }
    void Init() override { T::InitState(m_state.data()); }
    void HashEndianCorrectedBlock(const word32* block) override {
        T::Transform(m_state.data(), block);
    }
    word32* StateBuf() override { return m_state.data(); }

private:
    FixedSizeSecBlock<word32, STATE_WORDS> m_state;
};

class SHA256 : public IteratedHashWithStaticTransform<SHA256, 32> {
public:
    static const char* StaticAlgorithmName() { return "SHA-256"; }
    static void InitState(word32* state);
    static void Transform(word32* state, const word32* block);
};

}  // namespace tinysha

#endif  // TVUT_BASE_TINYSHA_H
