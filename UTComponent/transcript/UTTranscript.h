// The transcript document: the record of one product session as XML.
//
//   <transcript guid="{document id}" session="{session id}">
//     <header> client, nt_login, tlvr_login, domain, machine_name,
//              product (ten children), country_code, gmt_offset,
//              runtime_locale_id, os (seven children) </header>
//     <usage_data> start_time, end_time isCrash </usage_data>   (serializer)
//   </transcript>
//
// CUTTranscript is the document with its declaration and root element;
// CUTTranscriptHeader is the header subtree, built from the session record,
// the settings and the system at the moment it is constructed (a header built
// later shows later values). Both read the shared configuration manager and
// never create it: without one, the session values are empty and the
// settings their defaults. No value source makes construction fail; only
// memory exhaustion throws. An object belongs to one thread at a time.
//
// Text rule. Every value enters the document through the helpers of
// CUTTranscriptText, and nowhere else, so that whatever the host or the
// system hands in, the printed document is well-formed XML 1.0:
//   - a character that XML 1.0 does not allow (control characters other than
//     tab, line feed and carriage return; surrogate code points, which
//     invalid UTF-16 leaves behind; U+FFFE and U+FFFF; anything beyond
//     U+10FFFF) becomes U+FFFD, the replacement character, as invalid UTF-16
//     does at the interface;
//   - "]]>" inside a CDATA value is split over two CDATA sections
//     ("]]" ends one, ">" starts the next): a reader sees the exact text;
//   - "&", "<", ">" and quotes in ordinary text and attributes are escaped
//     by the XML printer.
// Tab, line feed and carriage return are kept (as character references in
// text and attributes).
#ifndef TVUT_TRANSCRIPT_UTTRANSCRIPT_H
#define TVUT_TRANSCRIPT_UTTRANSCRIPT_H

#include <cstdint>
#include <string>

#include <tinyxml.h>

// The element and attribute names of the document.
extern const char kTranscriptElement[];  // "transcript"
extern const char kUsageDataElement[];   // "usage_data"

class CUTTranscript : public TiXmlDocument {
public:
    // The declaration and the root element "transcript" with its "guid"
    // attribute: identifier, or a new GUID text when identifier is null.
    // With include_session, the "session" attribute carries the session
    // identifier of the shared configuration manager.
    CUTTranscript(const wchar_t* identifier, bool include_session);

    // The root: the first child element named "transcript"; null if none.
    TiXmlElement* TranscriptRoot() { return FirstChildElement(kTranscriptElement); }
};

class CUTTranscriptHeader : public TiXmlElement {
public:
    // Builds the whole "header" subtree, in document order. The three hashed
    // identities are computed afresh for every header.
    CUTTranscriptHeader();
};

// How values become XML text; see the text rule above. Pure functions.
struct CUTTranscriptText {
    // text with every character XML 1.0 forbids replaced by U+FFFD.
    static std::wstring XmlSafe(const std::wstring& text);
    // The UTF-8 form of XmlSafe(text); never fails.
    static std::string Utf8(const std::wstring& text);

    // Appends <name>text</name>; an empty text still gives its (empty) text
    // node. Returns the new element.
    static TiXmlElement* AppendText(TiXmlElement* parent, const char* name,
                                    const std::wstring& text);
    // Appends <name><![CDATA[text]]></name>.
    static TiXmlElement* AppendCData(TiXmlElement* parent, const char* name,
                                     const std::wstring& text);
    static void SetAttribute(TiXmlElement* element, const char* name, const std::wstring& value);
    static void SetAttribute(TiXmlElement* element, const char* name, int64_t value);
};

#endif  // TVUT_TRANSCRIPT_UTTRANSCRIPT_H
