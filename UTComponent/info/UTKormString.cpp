#include "info/UTKormString.h"

#include <cstring>

#include "base/UTTextCodec.h"

void FreeKormString(kormSTRING* target) {
    delete[] target->text;
    target->text = nullptr;
}

void CopyKormString(kormSTRING* target, const kormSTRING& source) {
    // Copy before freeing: source may be target itself or point into it.
    kormCHAR* copy = nullptr;
    if (source.text != nullptr) {
        size_t count = 0;
        bool copies = true;
        if (source.length > 0) {
            count = static_cast<size_t>(source.length);
        } else if (source.length == -1) {
            while (source.text[count] != 0) {
                ++count;
            }
        } else {
            copies = false;
        }
        if (copies) {
            copy = new kormCHAR[count + 1]();
            std::memcpy(copy, source.text, count * sizeof(kormCHAR));
        }
    }
    FreeKormString(target);
    target->text = copy;
    target->length = source.length;
}

std::wstring KormStringToWide(const kormSTRING& value) {
    if (value.text == nullptr) {
        return std::wstring();
    }
    size_t count = 0;
    while (value.text[count] != 0) {
        ++count;
    }
    static_assert(sizeof(kormCHAR) == sizeof(char16_t), "kormCHAR is UTF-16");
    const char16_t* units = reinterpret_cast<const char16_t*>(value.text);
    // Cut in code units, then one more back when the cut would split a
    // surrogate pair: a character is at most two units.
    size_t kept = 0;
    for (size_t characters = 0; kept < count && characters < kHostTextMaxCharacters; ++characters) {
        const bool pair = units[kept] >= 0xD800 && units[kept] <= 0xDBFF && kept + 1 < count &&
                          units[kept + 1] >= 0xDC00 && units[kept + 1] <= 0xDFFF;
        kept += pair ? 2 : 1;
    }
    return DecodeHostUtf16(units, kept);
}
