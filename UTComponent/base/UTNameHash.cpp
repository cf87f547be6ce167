#include "base/UTNameHash.h"

#include <cstdint>

#include "base/TinySha.h"
#include "base/UTTextCodec.h"

namespace {

constexpr size_t kNameHashBytes = 16;

}  // namespace

std::string NameHash(const std::wstring& name) {
    std::string bytes;
    if (!WideToUtf8(name, &bytes)) {
        // Not representable in UTF-8: the code points themselves, after a
        // byte that UTF-8 never holds, so that no UTF-8 name hashes the same.
        bytes.assign(1, '\xFF');
        for (wchar_t c : name) {
            const uint32_t value = static_cast<uint32_t>(c);
            for (int shift = 0; shift < 32; shift += 8) {
                bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
            }
        }
    }
    tinysha::SHA256 sha;
    tinysha::byte digest[tinysha::SHA256::DIGESTSIZE];
    sha.CalculateDigest(digest, reinterpret_cast<const tinysha::byte*>(bytes.data()), bytes.size());
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < kNameHashBytes; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0x0F]);
    }
    return hex;
}
