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
// accepts can take the parser deeper than the limit. A document the pass
// cannot follow to its end is refused too: the parser would reject it or stop
// reading there.
//
// Pure functions of their arguments (plus the C library's character classes,
// which the parser consults as well); any thread.
#ifndef TVUT_CONFIG_UTPARSEGUARD_H
#define TVUT_CONFIG_UTPARSEGUARD_H

#include <cstddef>
#include <cstdint>
#include <string>

class TiXmlDocument;

// Size cap of a settings file: they hold a few dozen short items (about 2 KB).
constexpr uint64_t kSettingsMaxBytes = 1024 * 1024;
// Nesting limit of every document tvUT parses: its own documents are at most
// a handful of levels deep.
constexpr size_t kDocumentMaxDepth = 64;

struct CUTParseLimits {
    uint64_t max_bytes = kSettingsMaxBytes;
    size_t max_depth = kDocumentMaxDepth;
    // Also hand a document that the pass cannot follow to its end
    // (kMalformed) to the parser, which then builds what it reads before it
    // stops; still never deeper than the limit, since the pass stopped where
    // the parser stops. For server replies: a damaged tail must not hide the
    // status read before it.
    bool parse_malformed = false;
};

enum class UTParseVerdict {
    kAccepted,
    kTooLarge,   // more bytes than the cap
    kTooDeep,    // elements nested deeper than the limit
    kMalformed,  // the parser would stop with an error before the end
};

// Checks text against limits without building anything.
UTParseVerdict CheckXmlDocument(const std::string& text, const CUTParseLimits& limits);

// Parses UTF-8 text into document (cleared first) when the guard accepts it
// (or finds it malformed, with parse_malformed). True when it was accepted
// and parsed without error; *verdict (when given)
// says whether the guard refused it. As always, the parser reads text up to
// its first zero byte.
bool ParseXmlGuarded(const std::string& text, const CUTParseLimits& limits, TiXmlDocument* document,
                     UTParseVerdict* verdict = nullptr);

#endif  // TVUT_CONFIG_UTPARSEGUARD_H
