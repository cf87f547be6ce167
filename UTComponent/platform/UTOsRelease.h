// CUTOsRelease: the values of an os-release file (NAME=value lines in shell
// syntax), read from text or from a file.
//
// Values may be bare, in double quotes (where \", \\, \$ and \` are escapes) or
// in single quotes, and quoted and bare pieces may follow each other as in
// the shell. Comments, blank lines and lines that are not assignments are
// skipped; so is an assignment whose quote is never closed, rather than
// guessing where its value ends. CR LF line ends and a missing final newline
// are accepted. A later assignment of a name replaces an earlier one. Pure
// data, no shared state; never throws.
#ifndef TVUT_PLATFORM_UTOSRELEASE_H
#define TVUT_PLATFORM_UTOSRELEASE_H

#include <map>
#include <string>

class CUTOsRelease {
public:
    CUTOsRelease() = default;

    static CUTOsRelease FromText(const std::string& text);
    // Reads the file through the platform; false (and an empty result) when
    // it cannot be read.
    static bool FromFile(const std::wstring& path, CUTOsRelease* release);

    // The system's name: PRETTY_NAME, else "Linux" (the format's default).
    std::wstring DisplayName() const;
    // The value of name; empty when it is absent.
    std::string Value(const std::string& name) const;
    bool Has(const std::string& name) const { return values_.count(name) != 0; }

private:
    std::map<std::string, std::string> values_;
};

#endif  // TVUT_PLATFORM_UTOSRELEASE_H
