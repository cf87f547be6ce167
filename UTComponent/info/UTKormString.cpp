#include "info/UTKormString.h"

#include <cstring>

#include "platform/UTTextCodec.h"

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
    return DecodeHostUtf16(reinterpret_cast<const char16_t*>(value.text), count);
}
