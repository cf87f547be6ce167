// Differential fuzz target of the parse guard: whatever document the guard
// accepts, TinyXML itself must build a tree within the limits it was checked
// against. The guard follows the parser's reading rules by its own linear
// pass; this target lets the parser judge it.
//
// Input: byte 0 picks the depth limit (bits 0-2: 1 to 8 levels) and whether
// the parser condenses white space (bit 3 clear: it does, as tvUT leaves it);
// the rest is the document. The attribute and node caps are the defaults.
//
// What must hold, for a document the guard accepts, parsed exactly as
// ParseXmlGuarded parses it (four spare zero bytes, UTF-8): no element
// deeper than the depth limit, no element with more attributes than the
// cap, no more nodes than the cap (every attribute counting as one). The
// tree is walked without recursion and checked before the document is
// destroyed (TinyXML frees it recursively).
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <tinyxml.h>

#include "base/UTParseGuard.h"

namespace {

// Spare zero bytes after the text, as ParseXmlGuarded gives the parser.
constexpr size_t kSparePadding = 4;

size_t AttributeCount(const TiXmlElement* element) {
    size_t count = 0;
    for (const TiXmlAttribute* attribute = element->FirstAttribute(); attribute != nullptr;
         attribute = attribute->Next()) {
        ++count;
    }
    return count;
}

// Checks the tree; returns normally only when it is within limits.
void CheckTree(const TiXmlDocument& document, const CUTParseLimits& limits) {
    size_t nodes = 0;
    // Each node with the number of elements from the root down to it.
    std::vector<std::pair<const TiXmlNode*, size_t>> pending;
    for (const TiXmlNode* child = document.FirstChild(); child != nullptr;
         child = child->NextSibling()) {
        pending.emplace_back(child, 0);
    }
    while (!pending.empty()) {
        const TiXmlNode* node = pending.back().first;
        size_t depth = pending.back().second;
        pending.pop_back();
        if (++nodes > limits.max_nodes) {
            __builtin_trap();  // more nodes than the cap
        }
        if (const TiXmlElement* element = node->ToElement()) {
            if (++depth > limits.max_depth) {
                __builtin_trap();  // deeper than the limit
            }
            const size_t attributes = AttributeCount(element);
            if (attributes > limits.max_attributes) {
                __builtin_trap();  // more attributes than the cap
            }
            nodes += attributes;
            if (nodes > limits.max_nodes) {
                __builtin_trap();  // more nodes and attributes than the cap
            }
        }
        for (const TiXmlNode* child = node->FirstChild(); child != nullptr;
             child = child->NextSibling()) {
            pending.emplace_back(child, depth);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    CUTParseLimits limits;
    limits.max_depth = 1 + (data[0] & 7);
    TiXmlBase::SetCondenseWhiteSpace((data[0] & 8) == 0);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const UTParseVerdict verdict = CheckXmlDocument(text, limits);
    if (verdict != UTParseVerdict::kAccepted) {
        return 0;
    }
    std::string padded = text;
    padded.append(kSparePadding, '\0');
    TiXmlDocument document;
    document.Parse(padded.c_str(), nullptr, TIXML_ENCODING_UTF8);
    // Parsed or stopped with an error, what the parser built counts.
    CheckTree(document, limits);
    return 0;
}
