// CUTMachineIdentity: the three anonymised identities that transcripts and
// upload requests carry -- SHA-256 digests of the user identity (computer
// name, "\", user name, as UTF-16LE without a terminator), of the machine's
// product id (the machine id bytes as stored) and of the system volume's
// serial (4 bytes, little-endian) -- as identity texts: 64 upper-case
// hexadecimal digits, or "UNKNOWN" when the source cannot be read.
//
// Computed afresh at each call; no state. Any thread may call; nothing
// throws. Each successful read is logged at level 5 with its digest text.
#ifndef TVUT_TRANSCRIPT_UTMACHINEIDENTITY_H
#define TVUT_TRANSCRIPT_UTMACHINEIDENTITY_H

#include <cstddef>
#include <cstdint>
#include <string>

class CUTMachineIdentity {
public:
    static const wchar_t kUnknown[];  // "UNKNOWN"

    // HIDDEN_PARAM_1, HIDDEN_PARAM_2 and HIDDEN_PARAM_3 of the upload request.
    static std::wstring HashedUserIdentity();
    static std::wstring HashedOsProductId();
    static std::wstring HashedVolumeSerial();

    // The identity text of the SHA-256 digest of bytes.
    static std::wstring IdentityText(const std::string& bytes);
    // Upper-case hexadecimal, two digits per byte, in byte order.
    static std::wstring HexText(const unsigned char* bytes, size_t size);

    // The bytes hashed for the user and volume identities; false when the
    // source cannot be read.
    static bool UserIdentityBytes(std::string* bytes);
    static std::string VolumeSerialBytes(uint32_t serial);
};

#endif  // TVUT_TRANSCRIPT_UTMACHINEIDENTITY_H
