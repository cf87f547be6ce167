// tvut_inspect paths [LINE RELEASE]: the folders and files tvUT uses for the
// user running the command, and, given a product line id and release id,
// that product's. Read-only: nothing is created.
#include <cstdio>
#include <cstring>
#include <string>

#include "InspectorCommands.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigPaths.h"
#include "platform/UTPlatform.h"

namespace {

void Show(const char* label, const std::wstring& path) {
    CUTPlatform* platform = CUTPlatform::Current();
    const char* state = path.empty()                 ? "unavailable"
                        : IsFolder(platform, path)   ? "folder"
                        : FileExists(platform, path) ? "exists"
                                                     : "missing";
    std::printf("%-26s %-12s %s\n", label, state, ToUtf8(path).c_str());
}

}  // namespace

int RunPathsCommand(int argc, char** argv) {
    if ((argc != 0 && argc != 2) ||
        (argc > 0 && (std::strcmp(argv[0], "-h") == 0 || std::strcmp(argv[0], "--help") == 0))) {
        std::fprintf(stderr, "usage: tvut_inspect paths [PRODUCT_LINE_ID RELEASE_ID]\n");
        return 2;
    }
    CUTPlatform* platform = CUTPlatform::Current();
    std::wstring machine_root;
    std::wstring user_root;
    if (!platform->MachineDataRoot(&machine_root)) {
        machine_root.clear();
    }
    if (!platform->UserDataRoot(&user_root)) {
        user_root.clear();
    }
    const std::wstring pi_ui = PIUIFolderPath();
    const std::wstring pi_ud = PIUDFolderPath();
    Show("machine root", machine_root);
    Show("user root", user_root);
    Show("machine-wide folder", WithoutTrailingSeparator(pi_ui));
    Show("machine-wide settings", pi_ui.empty() ? pi_ui : pi_ui + kPIUIFileName);
    Show("plain-files marker", pi_ui.empty() ? pi_ui : pi_ui + kDecodeMarkerName);
    Show("user folder", WithoutTrailingSeparator(pi_ud));
    Show("user settings", pi_ud.empty() ? pi_ud : pi_ud + kPIUDFileName);
    Show("log file", pi_ud.empty() ? pi_ud : pi_ud + kLogFileName);
    std::printf("%-26s %-12s %s\n", "archived logs", "",
                pi_ud.empty() ? "" : (ToUtf8(pi_ud) + "TVUT_<utc time>.log").c_str());
    if (argc == 2) {
        const std::wstring product =
            UserFolderPath(ProductFolderName(FromUtf8(argv[0]), FromUtf8(argv[1])));
        Show("product folder", WithoutTrailingSeparator(product));
        Show("product settings", product.empty() ? product : product + kProductFileName);
        Show("transcripts", product.empty() ? product : product + kTranscriptFolderName);
    }
    return 0;
}
