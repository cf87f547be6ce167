#include "transcript/UTTranscript.h"

#include <memory>

#include "UT/UTProcessState.h"
#include "base/UTStringFormater.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigManager.h"
#include "platform/UTPlatform.h"
#include "transcript/UTMachineIdentity.h"
#include "transcript/UTSystemInfo.h"

const char kTranscriptElement[] = "transcript";
const char kUsageDataElement[] = "usage_data";

namespace {

// Char ::= #x9 | #xA | #xD | [#x20-#xD7FF] | [#xE000-#xFFFD] | [#x10000-#x10FFFF]
bool IsXmlChar(uint32_t c) {
    if (c < 0x20) {
        return c == 0x9 || c == 0xA || c == 0xD;
    }
    return c <= 0xD7FF || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// What the session and the settings give the header; empty without a
// configuration manager.
struct HeaderSources {
    explicit HeaderSources(CUTConfigManager* shared) : manager(shared) {}

    std::wstring Session(UTSessionText field) const {
        return manager != nullptr ? manager->Runtime()->GetText(field) : std::wstring();
    }
    std::wstring OS(UTOSText which) const {
        return manager != nullptr ? manager->Runtime()->GetOSText(which) : std::wstring();
    }
    // Outside a session, gathered for this transcript alone.
    CUTSessionIdentity Identity() const {
        return manager != nullptr ? manager->Runtime()->Identity()
                                  : CUTRuntimeConfig::GatherIdentity();
    }

    CUTConfigManager* manager;
};

std::wstring OrWhenEmpty(const std::wstring& text, const wchar_t* fallback) {
    return text.empty() ? std::wstring(fallback) : text;
}

}  // namespace

std::wstring CUTTranscriptText::XmlSafe(const std::wstring& text) {
    std::wstring safe;
    safe.reserve(text.size());
    // By characters: where wide text is UTF-16, a pair is one character.
    for (size_t i = 0; i < text.size();) {
        char32_t code = 0;
        const size_t units = WideCharacterAt(text, i, &code);
        if (IsXmlChar(code)) {
            safe.append(text, i, units);
        } else {
            safe.push_back(kReplacementCharacter);
        }
        i += units;
    }
    return safe;
}

std::string CUTTranscriptText::Utf8(const std::wstring& text) {
    // Every character left by XmlSafe is a Unicode scalar value, so the
    // conversion cannot fail.
    return ToUtf8(XmlSafe(text));
}

TiXmlElement* CUTTranscriptText::AppendText(TiXmlElement* parent, const char* name,
                                            const std::wstring& text) {
    TiXmlElement* element = new TiXmlElement(name);
    parent->LinkEndChild(element);
    element->LinkEndChild(new TiXmlText(Utf8(text)));
    return element;
}

TiXmlElement* CUTTranscriptText::AppendCData(TiXmlElement* parent, const char* name,
                                             const std::wstring& text) {
    TiXmlElement* element = new TiXmlElement(name);
    parent->LinkEndChild(element);
    // The printer writes a CDATA value as it is. A "]]>" in it would end the
    // section early; ending the section after "]]" and starting a new one
    // before ">" keeps the text exact, inside the one text node.
    const std::string utf8 = Utf8(text);
    std::string value;
    value.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        if (utf8.compare(i, 3, "]]>") == 0) {
            value += "]]]]><![CDATA[>";
            i += 2;
        } else {
            value += utf8[i];
        }
    }
    TiXmlText* node = new TiXmlText(value);
    node->SetCDATA(true);
    element->LinkEndChild(node);
    return element;
}

void CUTTranscriptText::SetAttribute(TiXmlElement* element, const char* name,
                                     const std::wstring& value) {
    element->SetAttribute(name, Utf8(value));
}

void CUTTranscriptText::SetAttribute(TiXmlElement* element, const char* name, int64_t value) {
    SetAttribute(element, name, IntToWString(value));
}

CUTTranscript::CUTTranscript(const wchar_t* identifier, bool include_session) {
    LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    TiXmlElement* root = new TiXmlElement(kTranscriptElement);
    LinkEndChild(root);
    CUTTranscriptText::SetAttribute(
        root, "guid",
        identifier != nullptr ? std::wstring(identifier) : CUTPlatform::Current()->NewGuidText());
    if (include_session) {
        const CUTConfigManager* manager = CUTConfigManager::PeekInstance();
        CUTTranscriptText::SetAttribute(
            root, "session", manager != nullptr ? manager->Runtime()->SessionId() : std::wstring());
    }
}

CUTTranscriptHeader::CUTTranscriptHeader() : TiXmlElement("header") {
    typedef CUTTranscriptText X;
    const HeaderSources source(CUTConfigManager::PeekInstance());
    CUTConfigManager* manager = source.manager;

    TiXmlElement* client = new TiXmlElement("client");
    LinkEndChild(client);
    X::SetAttribute(client, "version",
                    manager != nullptr ? manager->Runtime()->ModuleVersion() : std::wstring());
    X::SetAttribute(client, "mode", static_cast<int64_t>(CUTProcessState::client_mode.load()));
    X::SetAttribute(client, "lastSendTimestamp",
                    manager != nullptr ? manager->Store()->GetInt64(L"LastSendTimestamp", false)
                                       : static_cast<int64_t>(-1));

    const CUTSessionIdentity identity = source.Identity();
    X::AppendText(this, "nt_login", identity.account);

    TiXmlElement* login = new TiXmlElement("tlvr_login");
    LinkEndChild(login);
    X::SetAttribute(login, "id", OrWhenEmpty(source.Session(UTSessionText::Login), L"NoValue"));

    X::AppendText(this, "domain", source.OS(UTOSText::Domain));
    X::AppendText(this, "machine_name", identity.computer);

    // Attached once complete, as the os element below.
    std::unique_ptr<TiXmlElement> product_owner(new TiXmlElement("product"));
    TiXmlElement* product = product_owner.get();
    X::AppendText(product, "product_line_id", source.Session(UTSessionText::ProductLineId));
    X::AppendText(product, "release_id", source.Session(UTSessionText::ReleaseId));
    X::AppendText(product, "serial_num", source.Session(UTSessionText::SerialNumber));
    X::AppendText(product, "language", source.Session(UTSessionText::Language));
    X::AppendText(product, "release_type", source.Session(UTSessionText::ReleaseType));
    // The component was a 32-bit module; servers count products by it.
    X::AppendText(product, "platform", L"32");
    X::AppendText(product, "license_product_line_id",
                  source.Session(UTSessionText::LicenseProductLineId));
    X::AppendText(product, "license_product_release_id",
                  source.Session(UTSessionText::LicenseProductReleaseId));
    X::AppendText(product, "license_product_release_type",
                  source.Session(UTSessionText::LicenseProductReleaseType));
    X::AppendText(product, "program_type",
                  OrWhenEmpty(source.Session(UTSessionText::ProgramType), L"-1"));
    LinkEndChild(product_owner.release());

    X::AppendText(this, "country_code", source.Session(UTSessionText::CountryCode));
    X::AppendText(this, "gmt_offset", IntToWString(CUTSystemInfo::TimeZoneOffsetMinutes()));
    X::AppendText(this, "runtime_locale_id", L"0");

    std::unique_ptr<TiXmlElement> os_owner(new TiXmlElement("os"));
    TiXmlElement* os = os_owner.get();
    X::AppendCData(os, "name", source.OS(UTOSText::Name));
    X::AppendText(os, "platform", CUTSystemInfo::OsPlatform());
    X::AppendText(os, "locale_id", source.OS(UTOSText::LocaleId));
    X::AppendCData(os, "service_pack", source.OS(UTOSText::Version));
    X::AppendCData(os, "hash_os_product_id", identity.hashed_os_product);
    X::AppendCData(os, "hash_system_volume_serial", identity.hashed_volume);
    X::AppendCData(os, "hash_os_user_name", identity.hashed_user);
    LinkEndChild(os_owner.release());
}
