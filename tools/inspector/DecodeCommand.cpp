// tvut_inspect decode FILE: prints a configuration or transcript file as
// plain, indented XML, whether it is stored scrambled or plain. The file is
// read as tvUT reads it: a regular file only, without blocking, up to the
// settings size cap, and parsed only through the parse guard, so a damaged
// or hostile file gets a message instead of a hang or a crash.
#include <cstdio>
#include <cstring>
#include <string>

#include <tinyxml.h>

#include "InspectorCommands.h"
#include "StoredDocuments.h"
#include "base/UTParseGuard.h"
#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"

int RunDecodeCommand(int argc, char** argv) {
    if (argc != 1 || std::strcmp(argv[0], "-h") == 0 || std::strcmp(argv[0], "--help") == 0) {
        std::fprintf(argc == 1 ? stdout : stderr, "usage: tvut_inspect decode FILE\n");
        return argc == 1 ? 0 : 2;
    }
    const char* path = argv[0];
    CUTPlatform* platform = CUTPlatform::Current();
    const std::wstring wide_path = FromUtf8(path);
    if (IsFolder(platform, wide_path)) {
        std::fprintf(stderr, "tvut_inspect: %s is a folder, not a file\n", path);
        return 1;
    }
    std::string bytes;
    const CUTOsStatus read = ReadWholeFile(platform, wide_path, &bytes, kSettingsMaxBytes);
    if (!read) {
        if (read.Is(UTOsError::kTooLarge)) {
            std::fprintf(stderr,
                         "tvut_inspect: %s is larger than %llu bytes; tvUT would not read it "
                         "either\n",
                         path, static_cast<unsigned long long>(kSettingsMaxBytes));
        } else {
            std::fprintf(stderr,
                         "tvut_inspect: cannot read %s (missing, unreadable or not a "
                         "regular file)\n",
                         path);
        }
        return 1;
    }
    if (bytes.empty()) {
        std::fprintf(stderr, "tvut_inspect: %s is empty\n", path);
        return 1;
    }
    TiXmlDocument document;
    const char* form = nullptr;
    UTParseVerdict scrambled_verdict = UTParseVerdict::kAccepted;
    UTParseVerdict plain_verdict = UTParseVerdict::kAccepted;
    if (!tvut_inspect::DecodeStoredDocument(bytes, &document, &form, &scrambled_verdict,
                                            &plain_verdict)) {
        if (scrambled_verdict == UTParseVerdict::kTooDeep ||
            plain_verdict == UTParseVerdict::kTooDeep) {
            std::fprintf(stderr,
                         "tvut_inspect: %s nests elements deeper than %zu levels; tvUT treats it "
                         "as damaged\n",
                         path, kDocumentMaxDepth);
        } else {
            std::fprintf(stderr,
                         "tvut_inspect: %s is not a tvUT configuration or transcript file "
                         "(neither plain nor scrambled XML)\n",
                         path);
        }
        return 1;
    }
    TiXmlPrinter printer;
    printer.SetIndent("  ");
    document.Accept(&printer);
    std::fprintf(stderr, "%s: stored %s, %zu bytes\n", path, form, bytes.size());
    std::fwrite(printer.CStr(), 1, printer.Size(), stdout);
    return 0;
}
