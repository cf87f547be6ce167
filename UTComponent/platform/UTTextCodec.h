// Exact conversions between the component's text forms: wide text
// (std::wstring, UTF-32 here), UTF-8 and UTF-16. Pure functions, any thread.
// Invalid input (malformed UTF-8, unpaired surrogates, code points beyond
// U+10FFFF) makes a conversion fail as a whole: the output is left empty and
// the result is false, never a partial text.
#ifndef TVUT_PLATFORM_UTTEXTCODEC_H
#define TVUT_PLATFORM_UTTEXTCODEC_H

#include <string>

bool Utf8ToWide(const std::string& utf8, std::wstring* wide);
bool WideToUtf8(const std::wstring& wide, std::string* utf8);
bool Utf16ToWide(const std::u16string& utf16, std::wstring* wide);
bool WideToUtf16(const std::wstring& wide, std::u16string* utf16);

// Convenience forms for text that is known to be valid or where an empty
// result is the right fallback (log lines, paths built from our own names).
std::string ToUtf8(const std::wstring& wide);
std::wstring FromUtf8(const std::string& utf8);

#endif  // TVUT_PLATFORM_UTTEXTCODEC_H
