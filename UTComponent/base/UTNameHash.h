// NameHash: the short, stable tail of a name that had to be shortened (long
// folder and lock names). Pure function, any thread.
#ifndef TVUT_BASE_UTNAMEHASH_H
#define TVUT_BASE_UTNAMEHASH_H

#include <string>

// 32 hexadecimal digits of the SHA-256 of name (of its UTF-8 form, or of
// its code points when it has none): the tail of a shortened name.
std::string NameHash(const std::wstring& name);

#endif  // TVUT_BASE_UTNAMEHASH_H
