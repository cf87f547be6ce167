#include "transcript/TextConversion.h"

#include "platform/UTPlatform.h"

TextConversion TextConversion::FromWide(const std::wstring& wide) {
    return TextConversion(wide);
}

std::string TextConversion::OemOrEmpty() const {
    std::string oem;
    if (!CUTPlatform::Current()->WideToLocaleCharset(wide_, &oem)) {
        oem.clear();
    }
    return oem;
}
