// Conversions between the component's text forms: wide text (std::wstring),
// UTF-8 and UTF-16. Pure functions, any thread.
//
// Wide text is UTF-32 where wchar_t is 32 bits (Linux) and UTF-16 where it is
// 16 bits (Windows): there a character beyond U+FFFF is a surrogate pair of
// two wchar_t, and code that walks wide text by characters uses
// WideCharacterAt instead of taking one wchar_t for one character.
//
// The bool conversions are exact: invalid input (malformed UTF-8, unpaired
// surrogates, code points beyond U+10FFFF) makes them fail as a whole, the
// output is left empty and the result is false, never a partial text. They
// serve the component's own files and names, where invalid text means a
// damaged file.
//
// Text the host hands in is different: it is the host's data and must never
// be dropped for one bad code unit. It goes through DecodeHostUtf16, which
// keeps every valid character and puts U+FFFD in place of each code unit that
// is not part of one.
#ifndef TVUT_BASE_UTTEXTCODEC_H
#define TVUT_BASE_UTTEXTCODEC_H

#include <cstddef>
#include <string>

bool Utf8ToWide(const std::string& utf8, std::wstring* wide);
bool WideToUtf8(const std::wstring& wide, std::string* utf8);
bool Utf16ToWide(const std::u16string& utf16, std::wstring* wide);
bool WideToUtf16(const std::wstring& wide, std::u16string* utf16);

// Length of the well-formed UTF-8 sequence at the start of the available
// bytes at p (shortest form, no surrogates, at most U+10FFFF), with its code
// point in *code; 0 when none starts there. An ASCII byte, NUL included, is
// a sequence of one.
size_t Utf8SequenceAt(const char* p, size_t available, char32_t* code);
// True when all size bytes are well-formed UTF-8.
bool IsWellFormedUtf8(const char* text, size_t size);

// The character at text[i] (i < text.size()) in *code, and the number of
// wchar_t it takes: 2 for a surrogate pair where wide text is UTF-16, else 1.
// An unpaired surrogate, or a wchar_t value that is no character, is given as
// its own value (never a scalar value).
size_t WideCharacterAt(const std::wstring& text, size_t i, char32_t* code);
// How many of the size wchar_t at text hold its first characters characters
// (all of them when it has fewer); a cut there never splits a pair.
size_t WideUnitsOfCharacters(const wchar_t* text, size_t size, size_t characters);

// The replacement character put in place of each invalid code unit.
constexpr wchar_t kReplacementCharacter = 0xFFFD;

// count UTF-16 code units as wide text, never failing: a valid surrogate pair
// becomes its character, every other surrogate (a high one not followed by a
// low one, a low one not preceded by a high one -- so a reversed pair gives
// two -- or a high one at the end) becomes one U+FFFD. Every interface string
// (kormSTRING) enters the component through this.
std::wstring DecodeHostUtf16(const char16_t* units, size_t count);

// Convenience forms for text that is known to be valid or where an empty
// result is the right fallback (log lines, paths built from our own names).
std::string ToUtf8(const std::wstring& wide);
std::wstring FromUtf8(const std::string& utf8);

#endif  // TVUT_BASE_UTTEXTCODEC_H
