// tvut_inspect pending [LINE RELEASE]: the transcripts waiting on this
// machine for the user running the command -- every file whose path holds
// ".utt" in a product's Transcripts folder, which is what the send cycle
// gathers -- with the session each one records. Given a product line id and
// release id, only that product's. Read-only: nothing is created, changed or
// removed.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "InspectorCommands.h"
#include "StoredDocuments.h"
#include "base/UTFileNames.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigPaths.h"
#include "platform/UTPlatform.h"

namespace {

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
    return ToUtf8(FileNameOf(path));
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
    if (!ReadWholeFile(platform, path, &bytes, tvut_inspect::kMaxTranscriptBytes)) {
        CUTFileStatus status;
        if (platform->GetFileStatus(path, &status)) {
            transcript.size = status.size;
        }
        return transcript;
    }
    transcript.size = bytes.size();
    // Through the parse guard: a damaged or planted file deep enough to
    // exhaust the parser's stack is listed as unreadable instead.
    tvut_inspect::TranscriptSummary summary;
    if (!tvut_inspect::SummarizeTranscript(std::move(bytes), tvut_inspect::kMaxTranscriptBytes,
                                           &summary)) {
        return transcript;
    }
    transcript.readable = true;
    if (summary.has_session) {
        transcript.session = summary.session;
    }
    transcript.start = summary.start;
    transcript.end = summary.end;
    transcript.crash = summary.crash;
    return transcript;
}

void Collect(const std::wstring& product_folder, std::vector<Transcript>* found) {
    const std::wstring folder =
        WithoutTrailingSeparator(product_folder) + kPathSeparator + kTranscriptFolderName;
    const std::string product = NameOf(WithoutTrailingSeparator(product_folder));
    for (const std::wstring& path : ListFiles(CUTPlatform::Current(), folder, L".utt")) {
        if (IsTranscriptFileName(FileNameOf(path))) {
            found->push_back(ReadTranscript(path, product));
        }
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
        CUTPlatform* platform = CUTPlatform::Current();
        std::vector<CUTFolderEntry> entries;
        platform->ListFolder(component_folder, UTListing::kEveryEntry, nullptr, &entries);
        for (const CUTFolderEntry& entry : entries) {
            // What a link leads to counts.
            const std::wstring path =
                WithoutTrailingSeparator(component_folder) + kPathSeparator + entry.name;
            if (entry.kind == UTEntryKind::kFolder ||
                (entry.kind != UTEntryKind::kRegularFile && IsFolder(platform, path))) {
                Collect(path, &found);
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
