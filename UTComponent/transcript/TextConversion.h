// TextConversion: wide text and its "OEM" form (the charset of the host's
// current LC_CTYPE), for log lines that show names as the host's console
// would.
//
// Characters that the locale charset lacks become "?" in the OEM form, an
// unpaired surrogate among them; that conversion does not fail. When the
// platform has no conversion for the charset at all, there is no OEM form
// and OemOrEmpty gives an empty text. The component never calls setlocale;
// the host owns the locale.
//
// Immutable once made: any thread may use an object. Never throws except
// std::bad_alloc.
#ifndef TVUT_TRANSCRIPT_TEXTCONVERSION_H
#define TVUT_TRANSCRIPT_TEXTCONVERSION_H

#include <string>

class TextConversion {
public:
    static TextConversion FromWide(const std::wstring& wide);

    // The OEM form, or an empty text when there is none (log lines, where
    // empty is the right fallback).
    std::string OemOrEmpty() const;

private:
    explicit TextConversion(const std::wstring& wide) : wide_(wide) {}

    std::wstring wide_;
};

#endif  // TVUT_TRANSCRIPT_TEXTCONVERSION_H
