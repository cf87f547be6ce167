// Parsing and validation of configuration values, shared by the typed
// getters and the tools that show effective values. Pure functions.
//
// Numbers are read with the classic-locale stream extraction: leading white
// space is skipped and reading stops at the first character that does not
// fit ("12abc" reads 12); overflow fails. Booleans accept "0" and "1" only.
#ifndef TVUT_CONFIG_UTCONFIGVALUE_H
#define TVUT_CONFIG_UTCONFIGVALUE_H

#include <string>

#include "base/UTStringFormater.h"
#include "config/UTConfigCommon.h"

template <class T>
bool ParseConfigNumber(const std::wstring& text, T* value) {
    CUTWStringFormater formatter(text);
    T parsed{};
    formatter >> parsed;
    if (formatter.fail()) {
        return false;
    }
    *value = parsed;
    return true;
}

template <>
inline bool ParseConfigNumber<bool>(const std::wstring& text, bool* value) {
    CUTWStringFormater formatter(text);
    long long parsed = 0;
    formatter >> parsed;
    if (formatter.fail() || (parsed != 0 && parsed != 1)) {
        return false;
    }
    *value = parsed == 1;
    return true;
}

// Is value within the item's range kind?
bool IsInConfigRange(long long value, int range);

// Would a getter accept text for item as it stands?
bool IsValidConfigText(const CUTConfigItem& item, const std::wstring& text);

#endif  // TVUT_CONFIG_UTCONFIGVALUE_H
