// The copy rules of kormSTRING, shared by every object that holds one.
//
// CopyKormString replaces what target holds with a copy of source: a null
// text gives a null text; length > 0 copies exactly that many code units
// (the caller guarantees they are readable) into a zeroed buffer of length+1;
// length -1 copies up to the first zero; any other length (0, below -1) gives
// a null text. The stored length is always the length passed in. The target's
// old text is freed first. Throws std::bad_alloc only when memory runs out.
#ifndef TVUT_INFO_UTKORMSTRING_H
#define TVUT_INFO_UTKORMSTRING_H

#include <string>

#include <tvUT/UTTypes.h>

constexpr kormSTRING kUnsetKormString = {nullptr, -1};

void FreeKormString(kormSTRING* target);
void CopyKormString(kormSTRING* target, const kormSTRING& source);

// The most characters of one host text that tvUT keeps: texts longer than
// any product name, serial number or login are cut there, so that one
// session's transcript stays a few kilobytes and fits an upload.
constexpr size_t kHostTextMaxCharacters = 4096;

// The text up to its terminating zero as wide text, its first
// kHostTextMaxCharacters characters at most (never half a character); a null
// text reads as empty, and each code unit that is not part of a valid UTF-16
// character reads as U+FFFD (DecodeHostUtf16), so a bad unit never costs the
// rest.
std::wstring KormStringToWide(const kormSTRING& value);
// True when the text is null (the length is not consulted).
inline bool IsNullKormString(const kormSTRING& value) {
    return value.text == nullptr;
}

// Owns one kormSTRING field; the field starts unset.
class CUTKormStringField {
public:
    CUTKormStringField() : value_(kUnsetKormString) {}
    ~CUTKormStringField() { FreeKormString(&value_); }
    CUTKormStringField(const CUTKormStringField&) = delete;
    CUTKormStringField& operator=(const CUTKormStringField&) = delete;

    void Set(const kormSTRING& source) { CopyKormString(&value_, source); }
    const kormSTRING& Get() const { return value_; }

private:
    kormSTRING value_;
};

#endif  // TVUT_INFO_UTKORMSTRING_H
