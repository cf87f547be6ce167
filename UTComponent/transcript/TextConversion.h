// TextConversion: one text in up to three forms -- the "OEM" form (the
// charset of the host's current LC_CTYPE), UTF-8 and wide -- converted
// lazily and kept once produced, until the object is destroyed.
//
// It is made from any one form; an absent source (a null pointer) makes
// every form absent. Wide comes from the OEM form when there is one, else
// from UTF-8; UTF-8 and OEM come from the wide form. A conversion that fails
// (invalid UTF-8, unpaired surrogates or other non-characters on the way to
// UTF-8, bytes that are not text in the locale charset) leaves that form
// absent, never partly converted; a failure is remembered and not retried.
// Characters that the locale charset lacks become "?" in the OEM form: that
// conversion does not fail. The component never calls setlocale; the host
// owns the locale.
//
// Not thread-safe: the lazy forms are filled on first use, so an object
// belongs to one thread at a time. Never throws except std::bad_alloc.
#ifndef TVUT_TRANSCRIPT_TEXTCONVERSION_H
#define TVUT_TRANSCRIPT_TEXTCONVERSION_H

#include <string>

class TextConversion {
public:
    // Nothing: every form is absent.
    TextConversion();

    static TextConversion FromWide(const std::wstring& wide);
    static TextConversion FromUtf8(const std::string& utf8);
    static TextConversion FromOem(const std::string& oem);
    // Null gives an absent text.
    static TextConversion FromWide(const wchar_t* wide);
    static TextConversion FromUtf8(const char* utf8);
    static TextConversion FromOem(const char* oem);

    // The form, or null when it is absent. The pointer stays valid for the
    // object's life.
    const std::wstring* Wide();
    const std::string* Utf8();
    const std::string* Oem();

    // The form, or an empty text when it is absent (log lines, fields where
    // empty is the right fallback).
    std::wstring WideOrEmpty() { return Or(Wide()); }
    std::string Utf8OrEmpty() { return Or(Utf8()); }
    std::string OemOrEmpty() { return Or(Oem()); }

private:
    enum State { kUnknown, kPresent, kAbsent };

    template <class T>
    static T Or(const T* text) {
        return text != nullptr ? *text : T();
    }

    State wide_state_ = kAbsent;
    State utf8_state_ = kAbsent;
    State oem_state_ = kAbsent;
    std::wstring wide_;
    std::string utf8_;
    std::string oem_;
};

#endif  // TVUT_TRANSCRIPT_TEXTCONVERSION_H
