// tvut_inspect pending [LINE RELEASE]: the transcripts waiting on this
// machine for the user running the command -- every file whose path holds
// ".utt" in a product's Transcripts folder, which is what the send cycle
// gathers -- with the session each one records. Given a product line id and
// release id, only that product's. Read-only: nothing is created, changed or
// removed.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <tinyxml.h>

#include "InspectorCommands.h"
#include "config/UTConfigPaths.h"
#include "config/UTParseGuard.h"
#include "config/UTScrambler.h"
#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"

namespace {

// A transcript is a few kilobytes; anything far larger is not one of ours
// and is not read.
constexpr uint64_t kMaxTranscriptBytes = 1024 * 1024;

struct Transcript {
    std::string product;  // the product folder's name, "<line>_<release>"
    std::string session;
    std::string start = "?";
    std::string end = "?";
    std::string crash = "?";
    uint64_t size = 0;
    bool readable = false;
};

std::string NameOf(const std::wstring& path) {
    const size_t cut = path.find_last_of(kPathSeparator);
    return ToUtf8(cut == std::wstring::npos ? path : path.substr(cut + 1));
}

// Seconds since 1970 as "YYYY-MM-DD hh:mm:ss"; "not set" for -1.
std::string UtcText(const char* seconds_text) {
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

const char* TextOf(TiXmlElement* parent, const char* name) {
    TiXmlElement* element = parent != nullptr ? parent->FirstChildElement(name) : nullptr;
    return element != nullptr && element->GetText() != nullptr ? element->GetText() : nullptr;
}

Transcript ReadTranscript(const std::wstring& path, const std::string& product) {
    Transcript transcript;
    transcript.product = product;
    transcript.session = NameOf(path);
    const size_t dot = transcript.session.rfind(".utt");
    if (dot != std::string::npos) {
        transcript.session.resize(dot);
    }
    CUTPlatform* platform = CUTPlatform::Current();
    std::string bytes;
    if (!platform->ReadWholeFile(path, &bytes, kMaxTranscriptBytes)) {
        platform->FileSize64(path, &transcript.size);
        return transcript;
    }
    transcript.size = bytes.size();
    // Transcripts are always stored scrambled.
    ScrambleBytes(&bytes);
    // Through the parse guard: a damaged or planted file deep enough to
    // exhaust the parser's stack is listed as unreadable instead.
    CUTParseLimits limits;
    limits.max_bytes = kMaxTranscriptBytes;
    TiXmlDocument document;
    const bool parsed = ParseXmlGuarded(bytes, limits, &document);
    TiXmlElement* root = parsed ? document.FirstChildElement("transcript") : nullptr;
    TiXmlElement* usage = root != nullptr ? root->FirstChildElement("usage_data") : nullptr;
    if (usage == nullptr) {
        return transcript;
    }
    transcript.readable = true;
    if (const char* session = root->Attribute("session")) {
        transcript.session = session;
    }
    transcript.start = UtcText(TextOf(usage, "start_time"));
    transcript.end = UtcText(TextOf(usage, "end_time"));
    TiXmlElement* end = usage->FirstChildElement("end_time");
    const char* crash = end != nullptr ? end->Attribute("isCrash") : nullptr;
    transcript.crash = crash == nullptr ? "?" : std::strcmp(crash, "1") == 0 ? "yes" : "no";
    return transcript;
}

void Collect(const std::wstring& product_folder, std::vector<Transcript>* found) {
    const std::wstring folder =
        WithoutTrailingSeparator(product_folder) + kPathSeparator + kTranscriptFolderName;
    const std::string product = NameOf(WithoutTrailingSeparator(product_folder));
    for (const std::wstring& path : CUTPlatform::Current()->ListFiles(folder, L".utt")) {
        found->push_back(ReadTranscript(path, product));
    }
}

}  // namespace

int RunPendingCommand(int argc, char** argv) {
    if ((argc != 0 && argc != 2) ||
        (argc > 0 && (std::strcmp(argv[0], "-h") == 0 || std::strcmp(argv[0], "--help") == 0))) {
        std::fprintf(stderr, "usage: tvut_inspect pending [PRODUCT_LINE_ID RELEASE_ID]\n");
        return 2;
    }
    const std::wstring component_folder = PIUDFolderPath();
    if (component_folder.empty()) {
        std::fprintf(stderr,
                     "tvut_inspect: this user has no data folder ($XDG_DATA_HOME, $HOME)\n");
        return 1;
    }
    std::vector<Transcript> found;
    std::wstring where = component_folder;
    if (argc == 2) {
        const std::wstring product =
            UserFolderPath(ProductFolderName(FromUtf8(argv[0]), FromUtf8(argv[1])));
        where = product + kTranscriptFolderName;
        Collect(product, &found);
    } else {
        for (const CUTFolderEntry& entry : CUTPlatform::Current()->WalkFolder(component_folder)) {
            if (entry.is_folder) {
                Collect(entry.path, &found);
            }
        }
    }
    std::printf("transcripts waiting to be sent, in %s\n", ToUtf8(where).c_str());
    if (found.empty()) {
        std::printf("none\n");
        return 0;
    }
    std::printf("%-20s %-38s  %-19s  %-19s  %-5s  %s\n", "product", "session", "start (UTC)",
                "end (UTC)", "crash", "bytes");
    for (const Transcript& t : found) {
        if (t.readable) {
            std::printf("%-20s %-38s  %-19s  %-19s  %-5s  %llu\n", t.product.c_str(),
                        t.session.c_str(), t.start.c_str(), t.end.c_str(), t.crash.c_str(),
                        static_cast<unsigned long long>(t.size));
        } else {
            std::printf("%-20s %-38s  %-48s  %llu\n", t.product.c_str(), t.session.c_str(),
                        "(not a readable transcript)", static_cast<unsigned long long>(t.size));
        }
    }
    std::printf("%zu transcript%s\n", found.size(), found.size() == 1 ? "" : "s");
    return 0;
}
