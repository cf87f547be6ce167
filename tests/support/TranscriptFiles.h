// Reading transcript files in tests, with a second implementation: the
// checks and the values come from tests/transcript_check.py (Python's expat),
// never from the component's own parser. On Windows the checker runs on the
// Linux side (LinuxSideCheck records each check) and the values are read by
// a small reader of the transcripts' plain form here.
#ifndef TVUT_TESTS_SUPPORT_TRANSCRIPTFILES_H
#define TVUT_TESTS_SUPPORT_TRANSCRIPTFILES_H

#include <map>
#include <string>
#include <vector>

namespace tvut_test {

// The entries of a Transcripts folder: transcripts (names ending ".utt") and
// everything else (temporary files and anything a test did not expect), as
// full paths in name order. An absent folder gives two empty lists.
struct TranscriptFolder {
    std::vector<std::string> transcripts;
    std::vector<std::string> others;
};
TranscriptFolder ListTranscriptFolder(const std::string& folder);

// Checks the files; true when every one is sound. The checker's report (its
// problems, or "OK") goes to *report.
bool CheckTranscripts(const std::vector<std::string>& files, std::string* report);

// Checks one file and reads every attribute and text into *values, keyed as
// "transcript@guid", "transcript/header/os/name", ... (UTF-8 text).
bool ReadTranscript(const std::string& file, std::map<std::string, std::string>* values,
                    std::string* report);

// The bytes of text as lowercase hexadecimal (as the checker reports them).
std::string Hex(const std::string& text);

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_TRANSCRIPTFILES_H
