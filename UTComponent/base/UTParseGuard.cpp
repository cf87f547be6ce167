#include "base/UTParseGuard.h"

#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

#include <tinyxml.h>

#include "base/UTTextCodec.h"

namespace {

// The parser reads past the end of a multi-byte UTF-8 sequence cut short by
// the end of the text (up to three bytes beyond its terminator). The copy it
// is given carries that many spare zero bytes, so such a read stays inside
// the buffer and sees the end.
constexpr size_t kSparePadding = 4;

// One pass over NUL-terminated text that moves exactly as TinyXML 2.6 does in
// its UTF-8 mode, counting open elements instead of building them. Each
// method names the parser routine it follows. A null position means "the
// parser stops here with an error" (kMalformed), unless noted.
class CUTXmlShapeScanner {
public:
    explicit CUTXmlShapeScanner(const CUTParseLimits& limits)
        : max_depth_(limits.max_depth),
          max_attributes_(limits.max_attributes),
          max_nodes_(limits.max_nodes) {
        open_.reserve(max_depth_ < 256 ? max_depth_ : 256);
    }

    UTParseVerdict Scan(const char* p) {
        // TiXmlDocument::Parse: nodes one after another; the first thing
        // that is not a node ends the document without an error.
        p = SkipWhiteSpace(p);
        while (*p == '<') {
            p = Node(p);
            if (p == nullptr) {
                // An unterminated CDATA section or declaration ends the
                // document where it starts, without an error.
                return open_.empty() && stops_quietly_ ? UTParseVerdict::kAccepted : verdict_;
            }
            if (!open_.empty()) {
                p = Content(p);
                if (p == nullptr) {
                    return verdict_;
                }
            }
            p = SkipWhiteSpace(p);
        }
        return UTParseVerdict::kAccepted;
    }

private:
    // TiXmlBase::IsWhiteSpace, IsAlpha and IsAlphaNum (UTF-8 mode).
    static bool IsWhiteSpace(char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return std::isspace(u) != 0 || c == '\n' || c == '\r';
    }
    static bool IsAlpha(char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return u < 127 ? std::isalpha(u) != 0 : true;
    }
    static bool IsAlphaNum(char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return u < 127 ? std::isalnum(u) != 0 : true;
    }
    static bool IsNameChar(char c) {
        return IsAlphaNum(c) || c == '_' || c == '-' || c == '.' || c == ':';
    }
    // How far TiXmlBase::GetChar steps over one character (its utf8ByteTable).
    static size_t CharLength(char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0xC2 && u <= 0xDF) {
            return 2;
        }
        if (u >= 0xE0 && u <= 0xEF) {
            return 3;
        }
        if (u >= 0xF0 && u <= 0xF4) {
            return 4;
        }
        return 1;
    }
    static bool StartsWith(const char* p, const char* tag) {
        return std::strncmp(p, tag, std::strlen(tag)) == 0;
    }
    // TiXmlBase::StringEqual with ignoreCase (ASCII letters only).
    static bool StartsWithNoCase(const char* p, const char* tag) {
        for (; *tag != 0; ++p, ++tag) {
            const unsigned char a = static_cast<unsigned char>(*p);
            const unsigned char b = static_cast<unsigned char>(*tag);
            if (a == 0 || (a < 128 ? std::tolower(a) : a) != std::tolower(b)) {
                return false;
            }
        }
        return true;
    }
    // TiXmlBase::SkipWhiteSpace: white space and the three UTF-8 byte-order
    // marks it knows.
    static const char* SkipWhiteSpace(const char* p) {
        for (;;) {
            const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
            if (u[0] == 0xEF && ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && u[2] == 0xBE) ||
                                 (u[1] == 0xBF && u[2] == 0xBF))) {
                p += 3;
            } else if (*p != 0 && IsWhiteSpace(*p)) {
                ++p;
            } else {
                return p;
            }
        }
    }
    // TiXmlBase::ReadName; null when no name starts here.
    static const char* ReadName(const char* p) {
        if (*p == 0 || !(IsAlpha(*p) || *p == '_')) {
            return nullptr;
        }
        while (*p != 0 && IsNameChar(*p)) {
            ++p;
        }
        return p;
    }

    const char* Fail(UTParseVerdict verdict) {
        verdict_ = verdict;
        stops_quietly_ = false;
        return nullptr;
    }
    // The parser stops reading here; outside any element it reports no
    // error for that.
    const char* StopQuietly() {
        verdict_ = UTParseVerdict::kMalformed;
        stops_quietly_ = true;
        return nullptr;
    }

    // One more node (or attribute) for the parser to build; false beyond the
    // cap.
    bool CountNode() { return ++nodes_ <= max_nodes_; }

    // TiXmlNode::Identify followed by the node's Parse. Leaves a newly
    // opened element on open_ with p after its start tag.
    const char* Node(const char* p) {
        if (!CountNode()) {
            return Fail(UTParseVerdict::kTooManyNodes);
        }
        if (StartsWithNoCase(p, "<?xml")) {
            return Declaration(p + 5);
        }
        if (StartsWith(p, "<!--")) {
            // TiXmlComment::Parse: up to "-->", or to the end without error.
            const char* end = std::strstr(p + 4, "-->");
            return end != nullptr ? end + 3 : p + std::strlen(p);
        }
        if (StartsWith(p, "<![CDATA[")) {
            // TiXmlText::Parse, CDATA form: up to "]]>".
            const char* end = std::strstr(p + 9, "]]>");
            return end != nullptr ? end + 3 : StopQuietly();
        }
        if (StartsWith(p, "<!") || !(IsAlpha(p[1]) || p[1] == '_')) {
            // TiXmlUnknown::Parse: up to the first '>', quotes or not.
            const char* end = std::strchr(p + 1, '>');
            return end != nullptr ? end + 1 : p + std::strlen(p);
        }
        return StartTag(p);
    }

    // TiXmlDeclaration::Parse after "<?xml". Only its three known
    // attributes are read as attributes (quoted values may hold '>').
    const char* Declaration(const char* p) {
        while (*p != 0) {
            if (*p == '>') {
                return p + 1;
            }
            p = SkipWhiteSpace(p);
            if (StartsWithNoCase(p, "version") || StartsWithNoCase(p, "encoding") ||
                StartsWithNoCase(p, "standalone")) {
                p = Attribute(p);
                if (p == nullptr) {
                    // The parser would read on past a reference it swallows.
                    return refused_reference_ ? nullptr : StopQuietly();
                }
            } else {
                while (*p != 0 && *p != '>' && !IsWhiteSpace(*p)) {
                    ++p;
                }
            }
        }
        // The parser gives up on an unterminated declaration.
        return StopQuietly();
    }

    // TiXmlAttribute::Parse: name = value, the value quoted or bare.
    const char* Attribute(const char* p) {
        p = SkipWhiteSpace(p);
        p = ReadName(p);
        if (p == nullptr || *p == 0) {
            return Fail(UTParseVerdict::kMalformed);
        }
        p = SkipWhiteSpace(p);
        if (*p != '=') {
            return Fail(UTParseVerdict::kMalformed);
        }
        p = SkipWhiteSpace(p + 1);
        if (*p == 0) {
            return Fail(UTParseVerdict::kMalformed);
        }
        if (*p == '\'' || *p == '"') {
            const char quote = *p;
            p = ReadText(p + 1, quote, false);
            if (p == nullptr) {
                return nullptr;
            }
            return *p == quote ? p + 1 : p;
        }
        while (*p != 0 && !IsWhiteSpace(*p) && *p != '/' && *p != '>') {
            if (*p == '\'' || *p == '"') {
                return Fail(UTParseVerdict::kMalformed);
            }
            ++p;
        }
        return p;
    }

    // TiXmlBase::ReadText up to (not past) end: one character at a time,
    // where a UTF-8 lead byte swallows its sequence's length in bytes
    // whatever they are. In condensed text, white space steps one byte.
    // Named entities and a "&" that starts none span bytes that matter to
    // nobody here; a character reference must be well formed (null when it
    // is not).
    const char* ReadText(const char* p, char end, bool condensed) {
        while (*p != 0 && *p != end) {
            if (*p == '&' && p[1] == '#' && p[2] != 0) {
                p = CharacterReference(p);
                if (p == nullptr) {
                    refused_reference_ = true;
                    return Fail(UTParseVerdict::kMalformed);
                }
                continue;
            }
            p += condensed && IsWhiteSpace(*p) ? 1 : CharLength(*p);
        }
        return p;
    }

    // TiXmlBase::GetEntity reads "&#" up to the next ";" wherever it is and
    // only then looks at what lies between; accepting just the well-formed
    // forms keeps every byte it swallows a digit. Null for any other form.
    static const char* CharacterReference(const char* p) {
        p += 2;
        const bool hexadecimal = *p == 'x';
        if (hexadecimal) {
            ++p;
        }
        const char* digits = p;
        while (hexadecimal ? std::isxdigit(static_cast<unsigned char>(*p)) != 0
                           : (*p >= '0' && *p <= '9')) {
            ++p;
        }
        return p != digits && *p == ';' ? p + 1 : nullptr;
    }

    // TiXmlElement::Parse up to the end of the start tag. The parser links
    // an element into the tree even when its start tag is cut short, so the
    // depth counts before anything else is read.
    const char* StartTag(const char* p) {
        if (open_.size() >= max_depth_) {
            return Fail(UTParseVerdict::kTooDeep);
        }
        p = SkipWhiteSpace(p + 1);
        const char* name = p;
        p = ReadName(p);
        if (p == nullptr || *p == 0) {
            return Fail(UTParseVerdict::kMalformed);
        }
        const size_t name_length = static_cast<size_t>(p - name);
        size_t attributes = 0;
        for (;;) {
            p = SkipWhiteSpace(p);
            if (*p == 0) {
                return Fail(UTParseVerdict::kMalformed);
            }
            if (*p == '/') {
                return p[1] == '>' ? p + 2 : Fail(UTParseVerdict::kMalformed);
            }
            if (*p == '>') {
                open_.emplace_back(name, name_length);
                return p + 1;
            }
            if (++attributes > max_attributes_) {
                return Fail(UTParseVerdict::kTooManyAttributes);
            }
            if (!CountNode()) {
                return Fail(UTParseVerdict::kTooManyNodes);
            }
            p = Attribute(p);
            if (p == nullptr || *p == 0) {
                return Fail(UTParseVerdict::kMalformed);
            }
        }
    }

    // TiXmlElement::ReadValue and the end-tag check of TiXmlElement::Parse,
    // for every element open: returns after the end tag of the outermost.
    const char* Content(const char* p) {
        const bool condensed = TiXmlBase::IsWhiteSpaceCondensed();
        // Text keeps its leading white space when the parser does not
        // condense it, and is then read from before that white space.
        const char* with_space = p;
        p = SkipWhiteSpace(p);
        while (!open_.empty()) {
            if (*p == 0) {
                return Fail(UTParseVerdict::kMalformed);
            }
            if (*p != '<') {
                // TiXmlText::Parse: text up to the next '<' it can see.
                if (!CountNode()) {
                    return Fail(UTParseVerdict::kTooManyNodes);
                }
                p = ReadText(condensed ? p : with_space, '<', condensed);
                if (p == nullptr) {
                    return nullptr;
                }
                if (*p == 0 || p[1] == 0) {
                    return Fail(UTParseVerdict::kMalformed);
                }
            } else if (p[1] == '/') {
                const std::pair<const char*, size_t> element = open_.back();
                open_.pop_back();
                if (std::strncmp(p + 2, element.first, element.second) != 0) {
                    return Fail(UTParseVerdict::kMalformed);
                }
                p = SkipWhiteSpace(p + 2 + element.second);
                if (*p != '>') {
                    return Fail(UTParseVerdict::kMalformed);
                }
                ++p;
            } else {
                p = Node(p);
                if (p == nullptr) {
                    return nullptr;
                }
            }
            with_space = p;
            p = SkipWhiteSpace(p);
        }
        return p;
    }

    const size_t max_depth_;
    const size_t max_attributes_;
    const size_t max_nodes_;
    size_t nodes_ = 0;
    bool refused_reference_ = false;
    std::vector<std::pair<const char*, size_t>> open_;
    UTParseVerdict verdict_ = UTParseVerdict::kMalformed;
    bool stops_quietly_ = false;
};

std::string Padded(const std::string& text) {
    std::string padded;
    padded.reserve(text.size() + kSparePadding);
    padded = text;
    padded.append(kSparePadding, '\0');
    return padded;
}

}  // namespace

const char* ParseVerdictName(UTParseVerdict verdict) {
    switch (verdict) {
        case UTParseVerdict::kAccepted:
            return "accepted";
        case UTParseVerdict::kTooLarge:
            return "too large";
        case UTParseVerdict::kTooDeep:
            return "nested too deep";
        case UTParseVerdict::kMalformed:
            return "malformed";
        case UTParseVerdict::kTooManyAttributes:
            return "too many attributes";
        case UTParseVerdict::kTooManyNodes:
            return "too many nodes";
    }
    return "unknown";
}

namespace {

// The guard's verdict on text; *padded holds the copy the parser may be
// given when the pass ran.
UTParseVerdict Inspect(const std::string& text, const CUTParseLimits& limits, std::string* padded) {
    if (text.size() > limits.max_bytes) {
        return UTParseVerdict::kTooLarge;
    }
    if (limits.require_utf8 && !IsWellFormedUtf8(text.data(), text.size())) {
        return UTParseVerdict::kMalformed;
    }
    *padded = Padded(text);
    return CUTXmlShapeScanner(limits).Scan(padded->c_str());
}

}  // namespace

UTParseVerdict CheckXmlDocument(const std::string& text, const CUTParseLimits& limits) {
    std::string padded;
    return Inspect(text, limits, &padded);
}

bool ParseXmlGuarded(const std::string& text, const CUTParseLimits& limits, TiXmlDocument* document,
                     UTParseVerdict* verdict) {
    document->Clear();
    std::string padded;
    const UTParseVerdict result = Inspect(text, limits, &padded);
    // Only what the pass followed to its end: on anything else it may have
    // stopped where the parser would go on.
    if (result == UTParseVerdict::kAccepted) {
        document->Parse(padded.c_str(), nullptr, TIXML_ENCODING_UTF8);
    }
    if (verdict != nullptr) {
        *verdict = result;
    }
    return result == UTParseVerdict::kAccepted && !document->Error();
}
