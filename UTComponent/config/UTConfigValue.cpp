#include "config/UTConfigValue.h"

#include <cstdint>

bool IsInConfigRange(long long value, int range) {
    switch (range) {
        case UT_RANGE_PERCENT:
            return value >= 0 && value <= 100;
        case UT_RANGE_NON_NEGATIVE:
            return value >= 0;
        case UT_RANGE_LOG_LEVEL:
            return value >= 0 && value <= 5;
        case UT_RANGE_CONSENT:
            return value >= -1 && value <= 1;
        case UT_RANGE_TIME_OR_NONE:
            return value >= -1;
        default:
            return true;
    }
}

bool IsValidConfigText(const CUTConfigItem& item, const std::wstring& text) {
    switch (item.value_type) {
        case UT_VALUE_STRING:
            return true;
        case UT_VALUE_BOOL: {
            bool value = false;
            return ParseConfigNumber(text, &value);
        }
        case UT_VALUE_INT32: {
            int32_t value = 0;
            return ParseConfigNumber(text, &value) && IsInConfigRange(value, item.range);
        }
        default: {
            int64_t value = 0;
            return ParseConfigNumber(text, &value) && IsInConfigRange(value, item.range);
        }
    }
}
