#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/TinySha.h"

namespace {

using tinysha::byte;

std::string Hex(const byte* digest, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 15];
    }
    return text;
}

std::string TinyShaHex(const std::string& message) {
    tinysha::SHA256 hash;
    byte digest[32];
    hash.CalculateDigest(digest, reinterpret_cast<const byte*>(message.data()), message.size());
    return Hex(digest, sizeof(digest));
}

std::string OpenSslHex(const std::string& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EXPECT_EQ(1, EVP_Digest(message.data(), message.size(), digest, &size, EVP_sha256(), nullptr));
    return Hex(digest, size);
}

std::string Pattern(size_t length) {
    std::string message(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        message[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    }
    return message;
}

}  // namespace

TEST(TinyShaTest, MatchesPublishedVectors) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "mn"
         "opqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.digest, TinyShaHex(c.message)) << "message length " << c.message.size();
    }
}

TEST(TinyShaTest, AgreesWithOpenSslForEveryLengthUpTo130) {
    // Covers every position of the 0x80 byte and of the bit count, including
    // the lengths 56..63 whose completion needs a second block.
    for (size_t length = 0; length <= 130; ++length) {
        const std::string message = Pattern(length);
        EXPECT_EQ(OpenSslHex(message), TinyShaHex(message)) << "length " << length;
    }
}

TEST(TinyShaTest, UnevenPiecesGiveTheSameDigest) {
    const std::string message = Pattern(5000);
    const std::string expected = OpenSslHex(message);
    const std::vector<std::vector<size_t>> piece_patterns = {
        {1}, {3, 61}, {63}, {64}, {65}, {7, 100, 1, 0, 250}, {127, 1, 129}, {4999}};
    for (const std::vector<size_t>& pieces : piece_patterns) {
        tinysha::SHA256 hash;
        size_t offset = 0;
        for (size_t i = 0; offset < message.size(); ++i) {
            const size_t size = std::min(pieces[i % pieces.size()], message.size() - offset);
            hash.Update(reinterpret_cast<const byte*>(message.data()) + offset, size);
            offset += size;
        }
        byte digest[32];
        hash.Final(digest);
        EXPECT_EQ(expected, Hex(digest, 32)) << "first piece " << pieces[0];
    }
}

TEST(TinyShaTest, FinalAndRestartBeginANewMessage) {
    tinysha::SHA256 hash;
    byte first[32], second[32], third[32];
    hash.Update(reinterpret_cast<const byte*>("abc"), 3);
    hash.Final(first);
    hash.Update(reinterpret_cast<const byte*>("abc"), 3);
    hash.Final(second);
    EXPECT_EQ(Hex(first, 32), Hex(second, 32));

    hash.Update(reinterpret_cast<const byte*>("something else"), 14);
    hash.Restart();
    hash.Update(nullptr, 0);
    hash.Update(reinterpret_cast<const byte*>("abc"), 3);
    hash.Final(third);
    EXPECT_EQ(Hex(first, 32), Hex(third, 32));
}

TEST(TinyShaTest, NamesAndSizes) {
    tinysha::SHA256 hash;
    EXPECT_EQ("SHA-256", hash.AlgorithmName());
    EXPECT_EQ(32u, hash.DigestSize());
    EXPECT_EQ(64u, hash.BlockSize());

    struct Anonymous : tinysha::HashTransformation {
        void Update(const byte*, size_t) override {}
        unsigned int DigestSize() const override { return 0; }
        void Final(byte*) override {}
        void Restart() override {}
    };
    EXPECT_EQ("unknown", Anonymous().AlgorithmName());
}

TEST(TinyShaTest, OversizedBufferIsRefused) {
    EXPECT_NO_THROW(tinysha::AllocatorBase::CheckSize(0x3FFFFFFF, sizeof(tinysha::word32)));
    try {
        tinysha::SecBlock<tinysha::word32> block(0x40000000);
        FAIL() << "a buffer of 0x40000000 words was allocated";
    } catch (const tinysha::InvalidArgument& error) {
        EXPECT_STREQ("AllocatorBase: requested size would cause integer overflow", error.what());
    }
}

namespace {

// Records whether a block came back wiped.
template <class T>
struct CheckingAllocator : tinysha::AllocatorWithCleanup<T> {
    static bool wiped;
    void deallocate(T* buffer, size_t count) {
        wiped = true;
        for (size_t i = 0; i < count; ++i) {
            wiped = wiped && buffer[i] == T();
        }
        tinysha::AllocatorWithCleanup<T>::deallocate(buffer, count);
    }
};
template <class T>
bool CheckingAllocator<T>::wiped = false;

}  // namespace

TEST(TinyShaTest, BuffersAreZeroedBeforeTheyAreFreed) {
    {
        tinysha::SecBlock<tinysha::word32, CheckingAllocator<tinysha::word32>> block(16);
        for (size_t i = 0; i < block.size(); ++i) {
            block[i] = 0xA5A5A5A5u + static_cast<tinysha::word32>(i);
        }
    }
    EXPECT_TRUE(CheckingAllocator<tinysha::word32>::wiped);

    // A hash destroyed in the middle of a message leaves neither the buffered
    // bytes nor the state words behind; only the object's vtable pointer
    // survives.
    alignas(tinysha::SHA256) unsigned char storage[sizeof(tinysha::SHA256)];
    std::memset(storage, 0xCC, sizeof(storage));
    auto* hash = new (storage) tinysha::SHA256();
    const std::string message = Pattern(100);
    hash->Update(reinterpret_cast<const byte*>(message.data()), message.size());
    hash->~SHA256();
    const volatile unsigned char* bytes = storage;
    for (size_t i = sizeof(void*); i < sizeof(storage); ++i) {
        EXPECT_EQ(0, bytes[i]) << "byte " << i;
    }
}
