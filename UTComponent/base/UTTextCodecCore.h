// The text codec's rules, written once for any wide code unit.
//
// Wide text is UTF-16 where its unit is 16 bits (wchar_t on Windows,
// char16_t) and UTF-32 where it is 32 bits (wchar_t on Linux, char32_t).
// UTTextCodec.cpp instantiates these templates for wchar_t, which is all the
// component uses; the tests instantiate them for char16_t as well, so that
// the UTF-16 forms of wide text are checked on a platform whose wchar_t is 32
// bits. Internal to the component: callers include UTTextCodec.h.
//
// The failure rules are those of UTTextCodec.h: the exact conversions fail as
// a whole (the output is cleared) on malformed UTF-8, unpaired surrogates and
// values beyond U+10FFFF; in UTF-32 a surrogate value is unpaired by
// definition, even when two of them would form a pair in UTF-16. Pure
// functions, any thread.
#ifndef TVUT_BASE_UTTEXTCODECCORE_H
#define TVUT_BASE_UTTEXTCODECCORE_H

#include <cstddef>
#include <string>
#include <type_traits>

#include "base/UTTextCodec.h"

namespace tvut_codec {

constexpr char32_t kReplacement = 0xFFFD;

template <class Unit>
constexpr bool IsUtf16Unit() {
    static_assert(sizeof(Unit) == 2 || sizeof(Unit) == 4, "wide units are 16 or 32 bits");
    return sizeof(Unit) == 2;
}

// The unit's value, without the sign a signed wchar_t would give it: a
// negative unit is then a value far beyond U+10FFFF, as it always was.
template <class Unit>
char32_t UnitValue(Unit unit) {
    return static_cast<char32_t>(static_cast<std::make_unsigned_t<Unit>>(unit));
}

inline bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

inline bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

inline bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

inline bool IsScalarValue(char32_t c) {
    return c <= 0x10FFFF && !IsSurrogate(c);
}

inline char32_t CombineSurrogates(char32_t high, char32_t low) {
    return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// The character that starts at text[i] (i < size) in *code, and the number
// of units it takes: 2 for a surrogate pair in UTF-16, else 1. An unpaired
// surrogate, or in UTF-32 any value that is no character, is given as its
// own value, so that callers can tell it with IsScalarValue.
template <class Unit>
size_t CharacterAt(const Unit* text, size_t size, size_t i, char32_t* code) {
    const char32_t unit = UnitValue(text[i]);
    if (IsUtf16Unit<Unit>() && IsHighSurrogate(unit) && i + 1 < size) {
        const char32_t next = UnitValue(text[i + 1]);
        if (IsLowSurrogate(next)) {
            *code = CombineSurrogates(unit, next);
            return 2;
        }
    }
    *code = unit;
    return 1;
}

// How many of the size units at text hold its first characters characters
// (all of them when it has fewer): a cut there never splits a pair.
template <class Unit>
size_t UnitsOfCharacters(const Unit* text, size_t size, size_t characters) {
    if (!IsUtf16Unit<Unit>()) {
        return characters < size ? characters : size;
    }
    size_t units = 0;
    for (size_t n = 0; n < characters && units < size; ++n) {
        char32_t code = 0;
        units += CharacterAt(text, size, units, &code);
    }
    return units;
}

// Appends the scalar value c.
template <class Unit>
void AppendCharacter(char32_t c, std::basic_string<Unit>* out) {
    if (IsUtf16Unit<Unit>() && c >= 0x10000) {
        const char32_t v = c - 0x10000;
        out->push_back(static_cast<Unit>(0xD800 + (v >> 10)));
        out->push_back(static_cast<Unit>(0xDC00 + (v & 0x3FF)));
    } else {
        out->push_back(static_cast<Unit>(c));
    }
}

inline void AppendUtf8(char32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

template <class Unit>
bool Utf8ToUnits(const std::string& utf8, std::basic_string<Unit>* wide) {
    std::basic_string<Unit> out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        // ASCII runs are the common case.
        const unsigned char byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            out.push_back(static_cast<Unit>(byte));
            ++i;
            continue;
        }
        char32_t code = 0;
        const size_t length = Utf8SequenceAt(utf8.data() + i, utf8.size() - i, &code);
        if (length == 0) {
            wide->clear();
            return false;
        }
        AppendCharacter(code, &out);
        i += length;
    }
    wide->swap(out);
    return true;
}

template <class Unit>
bool UnitsToUtf8(const std::basic_string<Unit>& wide, std::string* utf8) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size();) {
        char32_t code = 0;
        i += CharacterAt(wide.data(), wide.size(), i, &code);
        if (!IsScalarValue(code)) {
            utf8->clear();
            return false;
        }
        AppendUtf8(code, &out);
    }
    utf8->swap(out);
    return true;
}

template <class Unit>
bool Utf16ToUnits(const std::u16string& utf16, std::basic_string<Unit>* wide) {
    std::basic_string<Unit> out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size();) {
        char32_t code = 0;
        i += CharacterAt(utf16.data(), utf16.size(), i, &code);
        if (IsSurrogate(code)) {
            wide->clear();
            return false;
        }
        AppendCharacter(code, &out);
    }
    wide->swap(out);
    return true;
}

template <class Unit>
bool UnitsToUtf16(const std::basic_string<Unit>& wide, std::u16string* utf16) {
    std::u16string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size();) {
        char32_t code = 0;
        i += CharacterAt(wide.data(), wide.size(), i, &code);
        if (!IsScalarValue(code)) {
            utf16->clear();
            return false;
        }
        AppendCharacter(code, &out);
    }
    utf16->swap(out);
    return true;
}

template <class Unit>
std::basic_string<Unit> DecodeHostUtf16Units(const char16_t* units, size_t count) {
    std::basic_string<Unit> out;
    out.reserve(count);
    for (size_t i = 0; i < count;) {
        char32_t code = 0;
        i += CharacterAt(units, count, i, &code);
        AppendCharacter(IsSurrogate(code) ? kReplacement : code, &out);
    }
    return out;
}

}  // namespace tvut_codec

#endif  // TVUT_BASE_UTTEXTCODECCORE_H
