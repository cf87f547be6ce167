// The names of the files tvUT writes for itself, and the one test of each
// kind of name that every reader and every cleaner uses: what one part of the
// component writes, every other part recognises alike, and a file of a name
// tvUT never writes is neither sent nor removed. Pure functions, any thread.
#ifndef TVUT_BASE_UTFILENAMES_H
#define TVUT_BASE_UTFILENAMES_H

#include <cstddef>
#include <string>

// "<session id>.utt": a session's transcript.
inline constexpr wchar_t kTranscriptFileExtension[] = L".utt";
// "TVUT_<utc time>[_<n>].log": an archived log or a copy of the current one.
inline constexpr wchar_t kArchivedLogPrefix[] = L"TVUT_";
inline constexpr wchar_t kArchivedLogExtension[] = L".log";

namespace ut_file_names {

template <size_t N>
bool EndsWith(const std::wstring& name, const wchar_t (&suffix)[N]) {
    return name.size() >= N - 1 && name.compare(name.size() - (N - 1), N - 1, suffix) == 0;
}

template <size_t N>
bool StartsWith(const std::wstring& name, const wchar_t (&prefix)[N]) {
    return name.compare(0, N - 1, prefix) == 0 && name.size() >= N - 1;
}

}  // namespace ut_file_names

// A bare file name with something before ".utt".
inline bool IsTranscriptFileName(const std::wstring& name) {
    return name.size() > sizeof(kTranscriptFileExtension) / sizeof(wchar_t) - 1 &&
           ut_file_names::EndsWith(name, kTranscriptFileExtension);
}

// A bare file name "TVUT_" + something + ".log".
inline bool IsArchivedLogFileName(const std::wstring& name) {
    constexpr size_t kFixed = sizeof(kArchivedLogPrefix) / sizeof(wchar_t) - 1 +
                              sizeof(kArchivedLogExtension) / sizeof(wchar_t) - 1;
    return name.size() > kFixed && ut_file_names::StartsWith(name, kArchivedLogPrefix) &&
           ut_file_names::EndsWith(name, kArchivedLogExtension);
}

#endif  // TVUT_BASE_UTFILENAMES_H
