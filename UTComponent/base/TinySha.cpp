#include "base/TinySha.h"

#include <algorithm>
#include <cstring>

namespace tinysha {

namespace {

inline word32 LoadBigEndian(const byte* p) {
    return (static_cast<word32>(p[0]) << 24) | (static_cast<word32>(p[1]) << 16) |
           (static_cast<word32>(p[2]) << 8) | static_cast<word32>(p[3]);
}

inline void StoreBigEndian(byte* p, word32 value) {
    p[0] = static_cast<byte>(value >> 24);
    p[1] = static_cast<byte>(value >> 16);
    p[2] = static_cast<byte>(value >> 8);
    p[3] = static_cast<byte>(value);
}

// Rewrites count words of the buffer, held as big-endian bytes, in host order.
// Each word is read whole before it is written back, so converting in place
// is safe.
inline void BigEndianWordsInPlace(word32* words, size_t count) {
    const byte* bytes = reinterpret_cast<const byte*>(words);
    for (size_t i = 0; i < count; ++i) {
        words[i] = LoadBigEndian(bytes + 4 * i);
    }
}

const word32 kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline word32 RotateRight(word32 x, unsigned int n) {
    return (x >> n) | (x << (32 - n));
}
inline word32 BigSigma0(word32 x) {
    return RotateRight(x, 2) ^ RotateRight(x, 13) ^ RotateRight(x, 22);
}
inline word32 BigSigma1(word32 x) {
    return RotateRight(x, 6) ^ RotateRight(x, 11) ^ RotateRight(x, 25);
}
inline word32 SmallSigma0(word32 x) {
    return RotateRight(x, 7) ^ RotateRight(x, 18) ^ (x >> 3);
}
inline word32 SmallSigma1(word32 x) {
    return RotateRight(x, 17) ^ RotateRight(x, 19) ^ (x >> 10);
}
inline word32 Choose(word32 x, word32 y, word32 z) {
    return z ^ (x & (y ^ z));
}
inline word32 Majority(word32 x, word32 y, word32 z) {
    return (x & y) | (z & (x | y));
}

}  // namespace

IteratedHashBase::~IteratedHashBase() {
    SecureWipeArray(&m_bitCount, 1);
}

void IteratedHashBase::Restart() {
    m_bitCount = 0;
    SecureWipeArray(DataBuf(), BlockSize() / 4);
    Init();
}

size_t IteratedHashBase::HashMultipleBlocks(const byte* input, size_t length) {
    const unsigned int block_size = BlockSize();
    const size_t words = block_size / 4;
    word32* data = DataBuf();
    while (length >= block_size) {
        for (size_t i = 0; i < words; ++i) {
            data[i] = LoadBigEndian(input + 4 * i);
        }
        HashEndianCorrectedBlock(data);
        input += block_size;
        length -= block_size;
    }
    return length;
}

void IteratedHashBase::Update(const byte* input, size_t length) {
    if (length == 0) {
        return;
    }
    const unsigned int block_size = BlockSize();
    size_t used = static_cast<size_t>((m_bitCount >> 3) % block_size);
    // The count is kept modulo 2^64 bits, as the message completion encodes it.
    m_bitCount += static_cast<word64>(length) << 3;

    byte* buffer = reinterpret_cast<byte*>(DataBuf());
    if (used != 0) {
        const size_t take = std::min(length, block_size - used);
        std::memcpy(buffer + used, input, take);
        used += take;
        input += take;
        length -= take;
        if (used < block_size) {
            return;
        }
        BigEndianWordsInPlace(DataBuf(), block_size / 4);
        HashEndianCorrectedBlock(DataBuf());
    }
    const size_t rest = HashMultipleBlocks(input, length);
    if (rest != 0) {
        std::memcpy(buffer, input + (length - rest), rest);
    }
}

void IteratedHashBase::PadLastBlock(unsigned int last_block_size, byte pad_first) {
    const unsigned int block_size = BlockSize();
    byte* buffer = reinterpret_cast<byte*>(DataBuf());
    size_t used = static_cast<size_t>((m_bitCount >> 3) % block_size);
    buffer[used++] = pad_first;
    if (used > last_block_size) {
        std::memset(buffer + used, 0, block_size - used);
        BigEndianWordsInPlace(DataBuf(), block_size / 4);
        HashEndianCorrectedBlock(DataBuf());
        used = 0;
    }
    std::memset(buffer + used, 0, last_block_size - used);
    BigEndianWordsInPlace(DataBuf(), last_block_size / 4);
}

void IteratedHashBase::Final(byte* digest) {
    const unsigned int block_size = BlockSize();
    const word64 bit_count = m_bitCount;
    PadLastBlock(block_size - 8, 0x80);
    word32* data = DataBuf();
    data[block_size / 4 - 2] = static_cast<word32>(bit_count >> 32);
    data[block_size / 4 - 1] = static_cast<word32>(bit_count);
    HashEndianCorrectedBlock(data);

    const word32* state = StateBuf();
    for (unsigned int i = 0; i < DigestSize() / 4; ++i) {
        StoreBigEndian(digest + 4 * i, state[i]);
    }
    Restart();
}

void SHA256::InitState(word32* state) {
    static const word32 kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state, kInitial, sizeof(kInitial));
}

void SHA256::Transform(word32* state, const word32* block) {
    word32 w[16];
    word32 a = state[0], b = state[1], c = state[2], d = state[3];
    word32 e = state[4], f = state[5], g = state[6], h = state[7];

    // One round; the eight working words rotate through the names instead of
    // being moved, and the schedule lives in a 16-word ring.
#define TINYSHA_ROUND(a, b, c, d, e, f, g, h, k, wi)                       \
    do {                                                                   \
        const word32 t1 = h + BigSigma1(e) + Choose(e, f, g) + (k) + (wi); \
        d += t1;                                                           \
        h = t1 + BigSigma0(a) + Majority(a, b, c);                         \
    } while (0)
#define TINYSHA_LOAD(i) (w[i] = block[i])
#define TINYSHA_EXPAND(i) \
    (w[i] += SmallSigma1(w[((i) + 14) & 15]) + w[((i) + 9) & 15] + SmallSigma0(w[((i) + 1) & 15]))

    TINYSHA_ROUND(a, b, c, d, e, f, g, h, kRoundConstants[0], TINYSHA_LOAD(0));
    TINYSHA_ROUND(h, a, b, c, d, e, f, g, kRoundConstants[1], TINYSHA_LOAD(1));
    TINYSHA_ROUND(g, h, a, b, c, d, e, f, kRoundConstants[2], TINYSHA_LOAD(2));
    TINYSHA_ROUND(f, g, h, a, b, c, d, e, kRoundConstants[3], TINYSHA_LOAD(3));
    TINYSHA_ROUND(e, f, g, h, a, b, c, d, kRoundConstants[4], TINYSHA_LOAD(4));
    TINYSHA_ROUND(d, e, f, g, h, a, b, c, kRoundConstants[5], TINYSHA_LOAD(5));
    TINYSHA_ROUND(c, d, e, f, g, h, a, b, kRoundConstants[6], TINYSHA_LOAD(6));
    TINYSHA_ROUND(b, c, d, e, f, g, h, a, kRoundConstants[7], TINYSHA_LOAD(7));
    TINYSHA_ROUND(a, b, c, d, e, f, g, h, kRoundConstants[8], TINYSHA_LOAD(8));
    TINYSHA_ROUND(h, a, b, c, d, e, f, g, kRoundConstants[9], TINYSHA_LOAD(9));
    TINYSHA_ROUND(g, h, a, b, c, d, e, f, kRoundConstants[10], TINYSHA_LOAD(10));
    TINYSHA_ROUND(f, g, h, a, b, c, d, e, kRoundConstants[11], TINYSHA_LOAD(11));
    TINYSHA_ROUND(e, f, g, h, a, b, c, d, kRoundConstants[12], TINYSHA_LOAD(12));
    TINYSHA_ROUND(d, e, f, g, h, a, b, c, kRoundConstants[13], TINYSHA_LOAD(13));
    TINYSHA_ROUND(c, d, e, f, g, h, a, b, kRoundConstants[14], TINYSHA_LOAD(14));
    TINYSHA_ROUND(b, c, d, e, f, g, h, a, kRoundConstants[15], TINYSHA_LOAD(15));
    for (unsigned int j = 16; j < 64; j += 16) {
        TINYSHA_ROUND(a, b, c, d, e, f, g, h, kRoundConstants[j + 0], TINYSHA_EXPAND(0));
        TINYSHA_ROUND(h, a, b, c, d, e, f, g, kRoundConstants[j + 1], TINYSHA_EXPAND(1));
        TINYSHA_ROUND(g, h, a, b, c, d, e, f, kRoundConstants[j + 2], TINYSHA_EXPAND(2));
        TINYSHA_ROUND(f, g, h, a, b, c, d, e, kRoundConstants[j + 3], TINYSHA_EXPAND(3));
        TINYSHA_ROUND(e, f, g, h, a, b, c, d, kRoundConstants[j + 4], TINYSHA_EXPAND(4));
        TINYSHA_ROUND(d, e, f, g, h, a, b, c, kRoundConstants[j + 5], TINYSHA_EXPAND(5));
        TINYSHA_ROUND(c, d, e, f, g, h, a, b, kRoundConstants[j + 6], TINYSHA_EXPAND(6));
        TINYSHA_ROUND(b, c, d, e, f, g, h, a, kRoundConstants[j + 7], TINYSHA_EXPAND(7));
        TINYSHA_ROUND(a, b, c, d, e, f, g, h, kRoundConstants[j + 8], TINYSHA_EXPAND(8));
        TINYSHA_ROUND(h, a, b, c, d, e, f, g, kRoundConstants[j + 9], TINYSHA_EXPAND(9));
        TINYSHA_ROUND(g, h, a, b, c, d, e, f, kRoundConstants[j + 10], TINYSHA_EXPAND(10));
        TINYSHA_ROUND(f, g, h, a, b, c, d, e, kRoundConstants[j + 11], TINYSHA_EXPAND(11));
        TINYSHA_ROUND(e, f, g, h, a, b, c, d, kRoundConstants[j + 12], TINYSHA_EXPAND(12));
        TINYSHA_ROUND(d, e, f, g, h, a, b, c, kRoundConstants[j + 13], TINYSHA_EXPAND(13));
        TINYSHA_ROUND(c, d, e, f, g, h, a, b, kRoundConstants[j + 14], TINYSHA_EXPAND(14));
        TINYSHA_ROUND(b, c, d, e, f, g, h, a, kRoundConstants[j + 15], TINYSHA_EXPAND(15));
    }
#undef TINYSHA_EXPAND
#undef TINYSHA_LOAD
#undef TINYSHA_ROUND

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
    SecureWipeArray(w, 16);
}

}  // namespace tinysha
