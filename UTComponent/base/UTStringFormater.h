// Narrow and wide string streams fixed to the classic locale, used for every
// number-to-text conversion: numbers never get grouping separators or a
// locale's decimal comma, whatever locale the host has set. Same thread rules
// as the standard streams.
#ifndef TVUT_BASE_UTSTRINGFORMATER_H
#define TVUT_BASE_UTSTRINGFORMATER_H

#include <locale>
#include <sstream>
#include <string>

class CUTStringFormater : public std::basic_stringstream<char> {
public:
    CUTStringFormater() { imbue(std::locale::classic()); }
    explicit CUTStringFormater(const std::string& text) : std::basic_stringstream<char>(text) {
        imbue(std::locale::classic());
    }
};

class CUTWStringFormater : public std::basic_stringstream<wchar_t> {
public:
    CUTWStringFormater() { imbue(std::locale::classic()); }
    explicit CUTWStringFormater(const std::wstring& text) : std::basic_stringstream<wchar_t>(text) {
        imbue(std::locale::classic());
    }
};

// Decimal text of an integer, with a leading "-" for negatives.
std::wstring IntToWString(long long value);

#endif  // TVUT_BASE_UTSTRINGFORMATER_H
