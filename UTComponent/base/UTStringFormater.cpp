#include "base/UTStringFormater.h"

std::wstring IntToWString(long long value) {
    CUTWStringFormater formatter;
    formatter << value;
    return formatter.str();
}
