// tvut_inspect config: every setting with the value tvUT would use and the
// file it comes from. Read-only: files are decoded in memory, never created
// or repaired, so the output shows what is on disk now. Values that tvUT
// would replace by their default are shown with the stored text. Files are
// read as tvUT reads them (regular files only, capped, through the parse
// guard): what tvUT would treat as damaged shows as not readable. The machine
// policy comes first: the settings it fixes show it as their source, and the
// user's consent with it decides whether tracking is on.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include <tinyxml.h>

#include "InspectorCommands.h"
#include "base/UTParseGuard.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigCommon.h"
#include "config/UTConfigPaths.h"
#include "config/UTConfigValue.h"
#include "config/UTMachinePolicy.h"
#include "config/UTXMLConfig.h"
#include "platform/UTPlatform.h"

namespace {

struct StoredFile {
    std::wstring path;
    bool readable = false;
    std::map<std::wstring, std::wstring> values;  // first attribute of each element
};

StoredFile ReadStoredFile(const std::wstring& folder, unsigned kind) {
    StoredFile file;
    if (folder.empty()) {
        return file;
    }
    file.path = folder + CUTXMLConfig::FileNameOf(kind);
    std::string bytes;
    std::string xml;
    TiXmlDocument document;
    if (!ReadWholeFile(CUTPlatform::Current(), file.path, &bytes, kSettingsMaxBytes) ||
        !CUTXMLConfig::DecodeFileBytes(bytes, kind, &xml) ||
        !ParseXmlGuarded(xml, StoredFileLimits(), &document) || document.RootElement() == nullptr) {
        return file;
    }
    file.readable = true;
    for (TiXmlElement* child = document.RootElement()->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (const TiXmlAttribute* attribute = child->FirstAttribute()) {
            file.values[FromUtf8(child->ValueStr())] = FromUtf8(attribute->ValueStr());
        }
    }
    return file;
}

}  // namespace

int RunConfigCommand(int argc, char** argv) {
    if (argc != 0) {
        const bool help = std::strcmp(argv[0], "-h") == 0 || std::strcmp(argv[0], "--help") == 0;
        std::fprintf(help ? stdout : stderr, "usage: tvut_inspect config\n");
        return help ? 0 : 2;
    }
    const StoredFile machine = ReadStoredFile(PIUIFolderPath(), UT_FILE_PI_UI);
    const StoredFile user = ReadStoredFile(PIUDFolderPath(), UT_FILE_PI_UD);
    // Machine-wide items live in the user's file when the user cannot write
    // the machine-wide one.
    const bool machine_writable =
        machine.readable && CUTPlatform::Current()->CanOpenForUpdate(machine.path);
    std::printf("machine-wide settings: %s (%s)\n", ToUtf8(machine.path).c_str(),
                !machine.readable  ? "not readable yet: defaults apply"
                : machine_writable ? "writable"
                                   : "read-only for this user: its items come from the user file");
    std::printf("user settings:         %s (%s)\n", ToUtf8(user.path).c_str(),
                user.readable ? "readable" : "not readable yet: defaults apply");
    const std::shared_ptr<const CUTMachinePolicy> policy = CUTMachinePolicy::Load();
    std::printf("machine policy:        %s\n", policy->Describe().c_str());
    for (const std::string& note : policy->notes()) {
        std::printf("                       passed over: %s\n", note.c_str());
    }
    std::printf("\n");
    std::printf("%-36s %-44s %s\n", "SETTING", "VALUE", "FROM");
    for (const CUTConfigItem& item : CUTConfigCommon::Items()) {
        const StoredFile& home =
            item.file_class == UT_FILE_PI_UI && machine_writable ? machine : user;
        auto it = home.values.find(item.name);
        std::string value = ToUtf8(item.default_value);
        std::string from = "default (not stored)";
        std::wstring fixed;
        if (policy->Fixes(item.name, &fixed)) {
            value = ToUtf8(fixed);
            from = "policy (" + ToUtf8(policy->source()) + ")";
        } else if (it != home.values.end() && !it->second.empty()) {
            if (IsValidConfigText(item, it->second)) {
                value = ToUtf8(it->second);
                from = ToUtf8(home.path);
            } else {
                from = "default (stored \"" + ToUtf8(it->second) + "\" is not valid)";
            }
        }
        std::printf("%-36s %-44s %s\n", ToUtf8(item.name).c_str(), value.c_str(), from.c_str());
    }
    // The consent as tvUT reads it: an invalid stored value counts as never
    // decided.
    int32_t consent = -1;
    auto stored = user.values.find(kUsageConsentItem);
    if (stored != user.values.end()) {
        const CUTConfigItem* item = CUTConfigCommon::FindItem(kUsageConsentItem);
        if (item != nullptr && IsValidConfigText(*item, stored->second)) {
            ParseConfigNumber(stored->second, &consent);
        }
    }
    std::string why;
    const bool on = policy->AllowsTracking(consent, &why);
    std::printf("\nusage consent:         %s\n", consent == 1   ? "given"
                                                 : consent == 0 ? "revoked"
                                                                : "never decided");
    std::printf("tracking (this user):  %s: %s\n", on ? "on" : "off", why.c_str());
    std::printf("\nA pre-release product uses the ...Beta settings and logs at level 5.\n");
    return 0;
}
