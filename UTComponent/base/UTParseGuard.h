// The gate in front of the XML parser for every document tvUT reads: the
// settings files, transcripts read back, server replies.
//
// TinyXML parses nested elements by recursion and frees and prints them the
// same way, so a document nested a few ten thousand levels deep (a hundred
// kilobytes) overflows the stack of the thread that parses it: a damaged or
// hostile file, or a reply from a rogue server, would kill the host. The
// guard refuses, before the parser runs, a document larger than the caller's
// size cap or nested deeper than its depth limit. Depth is measured by one
// linear pass that follows the parser's own reading rules (comments, CDATA,
// declarations and other "<!"/"<?" nodes, quoted attribute values, self-closing
// tags, and the parser's habit of stepping over the bytes of a UTF-8 sequence
// as one character, which can hide a "<" from it), so no document the pass
// accepts can take the parser deeper than the limit.
//
// Where the parser's reading is hard to follow, the pass is stricter than the
// parser instead of copying it: a character reference must read "&#" digits
// ";" or "&#x" hexadecimal digits ";" (the parser looks for its ";" with a
// plain search, so "&#x</a>x;" would hide an end tag from it). Attributes of
// one element and nodes of one document are capped, because the parser looks
// up each new attribute among the ones before it (a flood of attributes costs
// quadratic time) and allocates every node and attribute. A document the pass cannot follow
// to its end, or refuses for any reason, never reaches the parser. Together
// these bound every parse in depth, memory and time.
//
// Pure functions of their arguments (plus the C library's character classes,
// which the parser consults as well); any thread.
#ifndef TVUT_BASE_UTPARSEGUARD_H
#define TVUT_BASE_UTPARSEGUARD_H

#include <cstddef>
#include <cstdint>
#include <string>

class TiXmlDocument;

// Size cap of a settings file: they hold a few dozen short items (about 2 KB).
constexpr uint64_t kSettingsMaxBytes = 1024 * 1024;
// Nesting limit of every document tvUT parses: its own documents are at most
// a handful of levels deep.
constexpr size_t kDocumentMaxDepth = 64;
// Attributes of one element: tvUT writes one (three in the declaration).
constexpr size_t kElementMaxAttributes = 32;
// Nodes of one document, counting every attribute as one (elements, texts,
// comments, declarations, attributes: everything the parser allocates):
// tvUT's largest document, a transcript, has about a hundred.
constexpr size_t kDocumentMaxNodes = 2048;

struct CUTParseLimits {
    uint64_t max_bytes = kSettingsMaxBytes;
    size_t max_depth = kDocumentMaxDepth;
    size_t max_attributes = kElementMaxAttributes;
    size_t max_nodes = kDocumentMaxNodes;
    // Refuse text that is not well-formed UTF-8 (kMalformed). For tvUT's
    // own files, which it only ever writes in UTF-8: there a stray lead byte
    // is damage, and the parser would step over the bytes after it (a quote,
    // a "<") as part of one character, so that a later save could print a
    // file that no longer reads as it did.
    bool require_utf8 = false;
};

// The limits of the files tvUT writes itself (settings, transcripts read
// back): well-formed UTF-8 required.
inline CUTParseLimits StoredFileLimits(uint64_t max_bytes = kSettingsMaxBytes) {
    CUTParseLimits limits;
    limits.max_bytes = max_bytes;
    limits.require_utf8 = true;
    return limits;
}

enum class UTParseVerdict {
    kAccepted,
    kTooLarge,           // more bytes than the cap
    kTooDeep,            // elements nested deeper than the limit
    kMalformed,          // the parser would stop with an error before the end,
                         // or a character reference the pass does not follow
    kTooManyAttributes,  // an element with more attributes than the cap
    kTooManyNodes,       // more nodes (and attributes) than the cap
};

// A short English name of a verdict for log lines and tools ("accepted",
// "too large", ...).
const char* ParseVerdictName(UTParseVerdict verdict);

// Checks text against limits without building anything.
UTParseVerdict CheckXmlDocument(const std::string& text, const CUTParseLimits& limits);

// Parses UTF-8 text into document (cleared first) only when the guard accepts
// it. True when it was accepted and parsed without error; *verdict (when
// given) says whether the guard refused it. The parser stops at a zero byte
// that it meets as a character of its own (one inside a UTF-8 sequence it
// steps over, as the guard does).
bool ParseXmlGuarded(const std::string& text, const CUTParseLimits& limits, TiXmlDocument* document,
                     UTParseVerdict* verdict = nullptr);

#endif  // TVUT_BASE_UTPARSEGUARD_H
