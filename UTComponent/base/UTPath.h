// Paths as tvUT composes them: wide text joined with kPathSeparator. The one
// place that knows the separator and how a path splits at it. Pure functions,
// any thread.
#ifndef TVUT_BASE_UTPATH_H
#define TVUT_BASE_UTPATH_H

#include <string>

// The one separator of composed paths.
#ifdef _WIN32
constexpr wchar_t kPathSeparator = L'\\';
#else
constexpr wchar_t kPathSeparator = L'/';
#endif

// path without trailing separators, so that callers can append their own; a
// lone root separator stays.
inline std::wstring WithoutTrailingSeparator(std::wstring path) {
    while (path.size() > 1 && path.back() == kPathSeparator) {
        path.pop_back();
    }
    return path;
}

// The last component of path (after the last separator); the whole path when
// it has no separator.
inline std::wstring FileNameOf(const std::wstring& path) {
    const size_t separator = path.rfind(kPathSeparator);
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// What comes before the last separator; empty when there is none (or the
// separator is the first character).
inline std::wstring ParentFolderOf(const std::wstring& path) {
    const size_t separator = path.rfind(kPathSeparator);
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

#endif  // TVUT_BASE_UTPATH_H
