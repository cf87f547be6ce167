// Fuzz target: arbitrary bytes as a stored file, through what tvut_inspect
// does with one: `decode` (scrambled or plain, parsed through the guard and
// printed) and `pending` (a transcript's session, times and crash flag).
//
// Input: byte 0 bit 0 set means the rest is plain text that is scrambled
// before it is handed in, so that the fuzzer can shape the XML that the
// decoder unscrambles; clear, the rest is handed in as stored. Both readings
// see the same bytes.
//
// What must hold: nothing crashes (a stack overflow in the parser or the
// printer included); the summary's times and crash flag are among the forms
// `pending` prints.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <tinyxml.h>

#include "base/UTParseGuard.h"
#include "config/UTScrambler.h"
#include "inspector/StoredDocuments.h"

namespace {

bool IsTimeText(const std::string& text) {
    if (text == "?" || text == "not set") {
        return true;
    }
    // "YYYY-MM-DD hh:mm:ss", the year possibly longer or negative.
    return text.size() >= 19 && text[text.size() - 3] == ':' && text[text.size() - 6] == ':' &&
           text[text.size() - 9] == ' ';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    std::string stored(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) != 0) {
        ScrambleBytes(&stored);
    }

    TiXmlDocument document;
    const char* form = nullptr;
    UTParseVerdict scrambled_verdict = UTParseVerdict::kAccepted;
    UTParseVerdict plain_verdict = UTParseVerdict::kAccepted;
    if (tvut_inspect::DecodeStoredDocument(stored, &document, &form, &scrambled_verdict,
                                           &plain_verdict)) {
        if (form == nullptr ||
            (std::strcmp(form, "scrambled") != 0 && std::strcmp(form, "plain") != 0)) {
            __builtin_trap();
        }
        TiXmlPrinter printer;
        printer.SetIndent("  ");
        document.Accept(&printer);
        // A document with a root prints as something.
        if (printer.Size() == 0) {
            __builtin_trap();
        }
    }

    tvut_inspect::TranscriptSummary summary;
    if (tvut_inspect::SummarizeTranscript(stored, tvut_inspect::kMaxTranscriptBytes, &summary)) {
        if (!IsTimeText(summary.start) || !IsTimeText(summary.end) ||
            (summary.crash != "?" && summary.crash != "yes" && summary.crash != "no")) {
            __builtin_trap();
        }
    }
    return 0;
}
