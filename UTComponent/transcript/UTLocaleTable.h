// CUTLocaleTable: the Windows locale id (LCID) of a POSIX locale name, for
// the operating-system locale that transcripts and requests report.
//
// The name's codeset and modifier are ignored ("de_DE.UTF-8@euro" is
// de_DE); "-" is taken for "_" and case does not matter. C and POSIX (and an
// empty name, which means the C locale) are 1033. A bare language ("de") is
// its main locale (1031). A name that is not in the table has no locale id:
// its text is "0", the neutral id, so a reader can tell "unknown" from a
// real locale and the value is still a decimal number. Pure functions, any
// thread; never throws.
#ifndef TVUT_TRANSCRIPT_UTLOCALETABLE_H
#define TVUT_TRANSCRIPT_UTLOCALETABLE_H

#include <string>

class CUTLocaleTable {
public:
    // The LCID, or 0 when the locale is not in the table.
    static int LocaleId(const std::string& locale_name);
    // The LCID in decimal, "0" when unknown.
    static std::wstring LocaleIdText(const std::string& locale_name);
};

#endif  // TVUT_TRANSCRIPT_UTLOCALETABLE_H
