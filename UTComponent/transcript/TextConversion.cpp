#include "transcript/TextConversion.h"

#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"

TextConversion::TextConversion() = default;

TextConversion TextConversion::FromWide(const std::wstring& wide) {
    TextConversion text;
    text.wide_ = wide;
    text.wide_state_ = kPresent;
    text.utf8_state_ = kUnknown;
    text.oem_state_ = kUnknown;
    return text;
}

TextConversion TextConversion::FromUtf8(const std::string& utf8) {
    TextConversion text;
    text.utf8_ = utf8;
    text.utf8_state_ = kPresent;
    text.wide_state_ = kUnknown;
    text.oem_state_ = kUnknown;
    return text;
}

TextConversion TextConversion::FromOem(const std::string& oem) {
    TextConversion text;
    text.oem_ = oem;
    text.oem_state_ = kPresent;
    text.wide_state_ = kUnknown;
    text.utf8_state_ = kUnknown;
    return text;
}

TextConversion TextConversion::FromWide(const wchar_t* wide) {
    return wide != nullptr ? FromWide(std::wstring(wide)) : TextConversion();
}

TextConversion TextConversion::FromUtf8(const char* utf8) {
    return utf8 != nullptr ? FromUtf8(std::string(utf8)) : TextConversion();
}

TextConversion TextConversion::FromOem(const char* oem) {
    return oem != nullptr ? FromOem(std::string(oem)) : TextConversion();
}

const std::wstring* TextConversion::Wide() {
    if (wide_state_ == kUnknown) {
        std::wstring wide;
        bool ok = false;
        if (oem_state_ == kPresent) {
            ok = CUTPlatform::Current()->LocaleCharsetToWide(oem_, &wide);
        } else if (utf8_state_ == kPresent) {
            ok = Utf8ToWide(utf8_, &wide);
        }
        wide_state_ = ok ? kPresent : kAbsent;
        if (ok) {
            wide_.swap(wide);
        }
    }
    return wide_state_ == kPresent ? &wide_ : nullptr;
}

const std::string* TextConversion::Utf8() {
    if (utf8_state_ == kUnknown) {
        const std::wstring* wide = Wide();
        std::string utf8;
        const bool ok = wide != nullptr && WideToUtf8(*wide, &utf8);
        utf8_state_ = ok ? kPresent : kAbsent;
        if (ok) {
            utf8_.swap(utf8);
        }
    }
    return utf8_state_ == kPresent ? &utf8_ : nullptr;
}

const std::string* TextConversion::Oem() {
    if (oem_state_ == kUnknown) {
        const std::wstring* wide = Wide();
        std::string oem;
        const bool ok = wide != nullptr && CUTPlatform::Current()->WideToLocaleCharset(*wide, &oem);
        oem_state_ = ok ? kPresent : kAbsent;
        if (ok) {
            oem_.swap(oem);
        }
    }
    return oem_state_ == kPresent ? &oem_ : nullptr;
}
