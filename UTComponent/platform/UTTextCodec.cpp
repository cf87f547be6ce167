#include "platform/UTTextCodec.h"

namespace {

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

bool IsScalarValue(char32_t c) {
    return c <= 0x10FFFF && !IsSurrogate(c);
}

void AppendUtf8(char32_t c, std::string* out) {
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

}  // namespace

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
    if (c < lowest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
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
    std::wstring out;
    out.reserve(utf8.size());
    const size_t n = utf8.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        char32_t c;
        size_t extra;
        char32_t minimum;
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            extra = 1;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            extra = 2;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07;
            extra = 3;
            minimum = 0x10000;
        } else {
            wide->clear();
            return false;
        }
        if (i + extra >= n) {
            wide->clear();
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                wide->clear();
                return false;
            }
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms and surrogates are not UTF-8.
        if (c < minimum || !IsScalarValue(c)) {
            wide->clear();
            return false;
        }
        out.push_back(static_cast<wchar_t>(c));
        i += extra + 1;
    }
    wide->swap(out);
    return true;
}

bool WideToUtf8(const std::wstring& wide, std::string* utf8) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t w : wide) {
        const char32_t c = static_cast<char32_t>(w);
        if (!IsScalarValue(c)) {
            utf8->clear();
            return false;
        }
        AppendUtf8(c, &out);
    }
    utf8->swap(out);
    return true;
}

bool Utf16ToWide(const std::u16string& utf16, std::wstring* wide) {
    std::wstring out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        const char32_t unit = utf16[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= utf16.size()) {
                wide->clear();
                return false;
            }
            const char32_t low = utf16[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) {
                wide->clear();
                return false;
            }
            out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            wide->clear();
            return false;
        } else {
            out.push_back(static_cast<wchar_t>(unit));
        }
    }
    wide->swap(out);
    return true;
}

std::wstring DecodeHostUtf16(const char16_t* units, size_t count) {
    std::wstring out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const char32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            const char32_t low = units[i + 1];
            out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
            ++i;
        } else if (IsSurrogate(unit)) {
            out.push_back(kReplacementCharacter);
        } else {
            out.push_back(static_cast<wchar_t>(unit));
        }
    }
    return out;
}

bool WideToUtf16(const std::wstring& wide, std::u16string* utf16) {
    std::u16string out;
    out.reserve(wide.size());
    for (wchar_t w : wide) {
        const char32_t c = static_cast<char32_t>(w);
        if (!IsScalarValue(c)) {
            utf16->clear();
            return false;
        }
        if (c >= 0x10000) {
            const char32_t v = c - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    utf16->swap(out);
    return true;
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
