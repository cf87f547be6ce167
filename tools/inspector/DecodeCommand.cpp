// tvut_inspect decode FILE: prints a configuration or transcript file as
// plain, indented XML, whether it is stored scrambled or plain.
#include <cstdio>
#include <cstring>
#include <string>

#include <tinyxml.h>

#include "InspectorCommands.h"
#include "config/UTScrambler.h"
#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"

namespace {

// Settings files and transcripts are a few kilobytes; a file far larger is
// not one of ours and is not read into memory.
constexpr uint64_t kMaxDecodeBytes = 4 * 1024 * 1024;

bool ParsesWithRoot(const std::string& xml, TiXmlDocument* document) {
    document->Clear();
    document->Parse(xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
    return !document->Error() && document->RootElement() != nullptr;
}

}  // namespace

int RunDecodeCommand(int argc, char** argv) {
    if (argc != 1 || std::strcmp(argv[0], "-h") == 0 || std::strcmp(argv[0], "--help") == 0) {
        std::fprintf(argc == 1 ? stdout : stderr, "usage: tvut_inspect decode FILE\n");
        return argc == 1 ? 0 : 2;
    }
    const char* path = argv[0];
    CUTPlatform* platform = CUTPlatform::Current();
    const std::wstring wide_path = FromUtf8(path);
    if (platform->IsFolder(wide_path)) {
        std::fprintf(stderr, "tvut_inspect: %s is a folder, not a file\n", path);
        return 1;
    }
    std::string bytes;
    bool too_large = false;
    if (!platform->ReadWholeFile(wide_path, &bytes, kMaxDecodeBytes, &too_large)) {
        if (too_large) {
            std::fprintf(stderr, "tvut_inspect: %s is larger than %llu bytes: not a tvUT file\n",
                         path, static_cast<unsigned long long>(kMaxDecodeBytes));
        } else {
            std::fprintf(stderr, "tvut_inspect: cannot read %s\n", path);
        }
        return 1;
    }
    if (bytes.empty()) {
        std::fprintf(stderr, "tvut_inspect: %s is empty\n", path);
        return 1;
    }
    std::string unscrambled = bytes;
    ScrambleBytes(&unscrambled);
    TiXmlDocument document;
    const char* form = nullptr;
    if (ParsesWithRoot(unscrambled, &document)) {
        form = "scrambled";
    } else if (ParsesWithRoot(bytes, &document)) {
        form = "plain";
    } else {
        std::fprintf(stderr,
                     "tvut_inspect: %s is not a tvUT configuration or transcript file "
                     "(neither plain nor scrambled XML)\n",
                     path);
        return 1;
    }
    TiXmlPrinter printer;
    printer.SetIndent("  ");
    document.Accept(&printer);
    std::fprintf(stderr, "%s: stored %s, %zu bytes\n", path, form, bytes.size());
    std::fwrite(printer.CStr(), 1, printer.Size(), stdout);
    return 0;
}
