// How tvut_inspect reads the documents tvUT stores: a settings or transcript
// file's bytes, scrambled or plain, into a parsed document, and a
// transcript's bytes into the few values `pending` lists. The decode and
// pending commands read their files and call these; the fuzz target of the
// inspector calls them on arbitrary bytes. Everything goes through the parse
// guard, so no bytes can take the parser deeper than the depth limit.
//
// Pure functions of their arguments (the C library's gmtime aside: one
// thread at a time).
#ifndef TVUT_TOOLS_INSPECTOR_STOREDDOCUMENTS_H
#define TVUT_TOOLS_INSPECTOR_STOREDDOCUMENTS_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <tinyxml.h>

#include "base/UTParseGuard.h"
#include "config/UTScrambler.h"

namespace tvut_inspect {

// A transcript is a few kilobytes; anything far larger is not one of ours
// and is not read.
constexpr uint64_t kMaxTranscriptBytes = 1024 * 1024;

inline bool ParsesWithRoot(const std::string& xml, const CUTParseLimits& limits,
                           TiXmlDocument* document, UTParseVerdict* verdict) {
    return ParseXmlGuarded(xml, limits, document, verdict) && document->RootElement() != nullptr;
}

// The bytes of a stored file as a document with a root element, read
// scrambled first, then plain, with the settings limits; *form is
// "scrambled" or "plain". False when neither reading gives one: the two
// verdicts then say whether the guard refused them.
inline bool DecodeStoredDocument(const std::string& bytes, TiXmlDocument* document,
                                 const char** form, UTParseVerdict* scrambled_verdict,
                                 UTParseVerdict* plain_verdict) {
    std::string unscrambled = bytes;
    ScrambleBytes(&unscrambled);
    *scrambled_verdict = UTParseVerdict::kAccepted;
    *plain_verdict = UTParseVerdict::kAccepted;
    if (ParsesWithRoot(unscrambled, StoredFileLimits(), document, scrambled_verdict)) {
        *form = "scrambled";
        return true;
    }
    if (ParsesWithRoot(bytes, StoredFileLimits(), document, plain_verdict)) {
        *form = "plain";
        return true;
    }
    return false;
}

// Seconds since 1970 as "YYYY-MM-DD hh:mm:ss"; "not set" for -1, "?" for
// anything else that is not a time.
inline std::string UtcText(const char* seconds_text) {
    if (seconds_text == nullptr) {
        return "?";
    }
    char* end = nullptr;
    const long long seconds = std::strtoll(seconds_text, &end, 10);
    if (end == seconds_text || *end != '\0') {
        return "?";
    }
    if (seconds == -1) {
        return "not set";
    }
    const std::time_t time = static_cast<std::time_t>(seconds);
    const std::tm* utc = std::gmtime(&time);
    char text[32];
    if (utc == nullptr || std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", utc) == 0) {
        return "?";
    }
    return text;
}

// What `pending` shows of one transcript.
struct TranscriptSummary {
    bool has_session = false;  // the root names its session
    std::string session;
    std::string start = "?";
    std::string end = "?";
    std::string crash = "?";
};

inline const char* ChildText(TiXmlElement* parent, const char* name) {
    TiXmlElement* element = parent != nullptr ? parent->FirstChildElement(name) : nullptr;
    return element != nullptr && element->GetText() != nullptr ? element->GetText() : nullptr;
}

// Reads a transcript as stored (always scrambled) of at most max_bytes
// bytes. False when it is not one: refused by the guard, not XML, or
// without a transcript root holding usage_data.
inline bool SummarizeTranscript(std::string bytes, uint64_t max_bytes, TranscriptSummary* summary) {
    ScrambleBytes(&bytes);
    TiXmlDocument document;
    const bool parsed = ParseXmlGuarded(bytes, StoredFileLimits(max_bytes), &document);
    TiXmlElement* root = parsed ? document.FirstChildElement("transcript") : nullptr;
    TiXmlElement* usage = root != nullptr ? root->FirstChildElement("usage_data") : nullptr;
    if (usage == nullptr) {
        return false;
    }
    if (const char* session = root->Attribute("session")) {
        summary->has_session = true;
        summary->session = session;
    }
    summary->start = UtcText(ChildText(usage, "start_time"));
    summary->end = UtcText(ChildText(usage, "end_time"));
    TiXmlElement* end = usage->FirstChildElement("end_time");
    const char* crash = end != nullptr ? end->Attribute("isCrash") : nullptr;
    summary->crash = crash == nullptr ? "?" : std::strcmp(crash, "1") == 0 ? "yes" : "no";
    return true;
}

}  // namespace tvut_inspect

#endif  // TVUT_TOOLS_INSPECTOR_STOREDDOCUMENTS_H
