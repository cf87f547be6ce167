#include "base/UTTextCodec.h"

#include "base/UTTextCodecCore.h"

size_t Utf8SequenceAt(const char* p, size_t available, char32_t* code) {
    if (available == 0) {
        return 0;
    }
    const unsigned char lead = static_cast<unsigned char>(p[0]);
    size_t length = 0;
    char32_t c = 0;
    char32_t lowest = 0;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (length > available) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(p[i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (c < lowest || !tvut_codec::IsScalarValue(c)) {
        return 0;
    }
    *code = c;
    return length;
}

bool IsWellFormedUtf8(const char* text, size_t size) {
    for (size_t i = 0; i < size;) {
        // ASCII runs are the common case.
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t code = 0;
        const size_t length = Utf8SequenceAt(text + i, size - i, &code);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

bool Utf8ToWide(const std::string& utf8, std::wstring* wide) {
    return tvut_codec::Utf8ToUnits(utf8, wide);
}

bool WideToUtf8(const std::wstring& wide, std::string* utf8) {
    return tvut_codec::UnitsToUtf8(wide, utf8);
}

bool Utf16ToWide(const std::u16string& utf16, std::wstring* wide) {
    return tvut_codec::Utf16ToUnits(utf16, wide);
}

bool WideToUtf16(const std::wstring& wide, std::u16string* utf16) {
    return tvut_codec::UnitsToUtf16(wide, utf16);
}

std::wstring DecodeHostUtf16(const char16_t* units, size_t count) {
    return tvut_codec::DecodeHostUtf16Units<wchar_t>(units, count);
}

size_t WideCharacterAt(const std::wstring& text, size_t i, char32_t* code) {
    return tvut_codec::CharacterAt(text.data(), text.size(), i, code);
}

size_t WideUnitsOfCharacters(const wchar_t* text, size_t size, size_t characters) {
    return tvut_codec::UnitsOfCharacters(text, size, characters);
}

std::string ToUtf8(const std::wstring& wide) {
    std::string out;
    WideToUtf8(wide, &out);
    return out;
}

std::wstring FromUtf8(const std::string& utf8) {
    std::wstring out;
    Utf8ToWide(utf8, &out);
    return out;
}
