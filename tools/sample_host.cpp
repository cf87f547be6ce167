// tvut_sample_host: a host product in miniature. It goes through the sequence
// a product follows with tvUT (initialise, hand over product and user
// information, log usage, crash if asked, send now if asked, clean up), prints
// every status code and then shows what tvUT left on disk.
//
//   tvut_sample_host [--crash] [--beta] [--send-now] [--server URL] [--root DIR]
//                    [--calls-only]
//
// Without --root it works in a new scratch folder, never in the real data
// folders, and removes that folder at exit; with --root DIR the files stay
// in DIR for the inspector. --server URL points the root's uploads at URL (a
// ReceivingHost value, such as the local receiver's) the way a product's
// installer does, with logging on, and shows what tvUT logged. It uses only
// the public headers and libtvUT.so (tvUT.dll on Windows). --calls-only
// leaves out the files (tree, decoded transcript, inspector hints): for
// scripts that show them their own way. The inspector is a Linux tool: on
// Windows the tree is shown and the transcripts are left to it.
#ifdef _WIN32
#include <process.h>
#include <stdlib.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <tvUT/UTFacade.h>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
int ProcessId() {
    return _getpid();
}
void SetVariable(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}
// A new folder of this run's own below the temporary folder.
bool MakeScratchFolder(const fs::path& temp, std::string* folder) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            temp / ("tvut-sample-" + std::to_string(ProcessId()) + "-" + std::to_string(attempt));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            *folder = candidate.string();
            return true;
        }
    }
    return false;
}
#else
int ProcessId() {
    return static_cast<int>(getpid());
}
void SetVariable(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}
bool MakeScratchFolder(const fs::path& temp, std::string* folder) {
    std::string pattern = (temp / "tvut-sample-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) {
        return false;
    }
    *folder = pattern;
    return true;
}
#endif

std::basic_string<kormCHAR> U16(const char* text) {
    std::basic_string<kormCHAR> out;
    for (const char* p = text; *p != 0; ++p) {
        out.push_back(static_cast<kormCHAR>(static_cast<unsigned char>(*p)));
    }
    return out;
}

// The host keeps its texts; tvUT copies them during each call.
struct HostText {
    explicit HostText(const char* text) : units(U16(text)) {}
    kormSTRING Get() { return kormSTRING{&units[0], -1}; }
    std::basic_string<kormCHAR> units;
};

const char* Meaning(int status) {
    switch (status) {
        case UT_INIT_OK:
            return "initialised";
        case UT_INIT_ACE_FAILED:
            return "runtime library could not start";
        case UT_INIT_NO_ACCESS:
            return "per-user folder or settings file not usable";
        case UT_LOG_USAGE_OK:
            return "session start recorded, transcript written";
        case UT_LOG_USAGE_WRITE_FAILED:
            return "transcript not written";
        case UT_SEND_OK:
            return "upload requested or done";
        case UT_SEND_CYCLE_FAILED:
            return "the send cycle could not run";
        case UT_SEND_NOT_DELIVERED:
            return "upload not delivered";
        case UT_SEND_EXT_DEPENDENCY_FAILED:
            return "server accepted, its dependency failed";
        case UT_SEND_SERVER_REJECTED:
            return "server did not accept the upload";
        case UT_TRANSCRIPT_FOLDER_NOT_WRITABLE:
            return "transcript folder not writable";
        case UT_PRODUCT_CONFIG_NOT_WRITABLE:
            return "product settings file not writable";
        case UT_CRASH_OK:
            return "crash recorded, transcript written";
        case UT_CRASH_WRITE_FAILED:
            return "crash recorded, transcript not written";
        case UT_CLEANUP_OK:
            return "shut down";
        case UT_SET_USER_OK:
            return "login stored";
        case UT_SET_USER_NO_USER:
            return "no user information";
        case UT_NOT_INITIALISED:
            return "not initialised";
        case UT_NO_PRODUCT:
            return "no product information handed over";
        case UT_CRASH_RECORDED:
            return "crash noted, written when the interrupted call returns";
        case UT_CLEANUP_FROM_CALLBACK:
            return "CleanUp from the callback: nothing done";
        case UT_CONSENT_STORED:
            return "consent decision stored";
        case UT_CONSENT_NOT_STORED:
            return "consent decision not stored";
        case UT_TRACKING_OFF:
            return "tracking is off: nothing recorded or sent";
        case UT_IN_FORKED_CHILD:
            return "called in a forked child: refused";
        default:
            return "unknown status";
    }
}

void Report(const char* call, int status) {
    std::printf("%-34s -> %-6d %s\n", call, status, Meaning(status));
}

#ifdef _WIN32
// tvUT's files are the same on every system: the Linux inspector reads them.
fs::path InspectorPath(const char*) {
    return "tvut_inspect";
}
#else
// tvut_inspect is built beside this program: find it from the program's own
// location, whatever the current folder or the name it was started by.
fs::path InspectorPath(const char* argv0) {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        self = fs::absolute(argv0, ec);
    }
    return self.parent_path() / "tvut_inspect";
}
#endif

void ShowTree(const fs::path& root) {
    std::printf("\nFiles under %s:\n", root.string().c_str());
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path relative = fs::relative(it->path(), root, ec);
        if (it->is_directory(ec)) {
            std::printf("  %s/\n", relative.string().c_str());
        } else {
            std::printf("  %-70s %8llu bytes\n", relative.string().c_str(),
                        static_cast<unsigned long long>(it->file_size(ec)));
        }
    }
}

// The session's transcript as the inspector decodes it (it is stored
// scrambled).
void ShowTranscripts(const fs::path& root, const fs::path& inspector) {
#ifdef _WIN32
    std::printf("\nDecode the transcripts on Linux with %s decode FILE.utt\n",
                inspector.string().c_str());
    (void)root;
    return;
#endif
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() != ".utt") {
            continue;
        }
        std::printf("\nThe session's transcript, decoded by\n  %s decode %s\n\n",
                    inspector.string().c_str(), it->path().string().c_str());
        std::fflush(stdout);
        const std::string command =
            "'" + inspector.string() + "' decode '" + it->path().string() + "' 2>/dev/null";
        if (std::system(command.c_str()) != 0) {
            std::printf("(the inspector could not decode it)\n");
        }
        std::fflush(stdout);
    }
}

// Points the machine-wide settings of root at server, as an installer that
// ships its own settings does: the marker file makes settings plain XML, and
// items the file lacks get their defaults at first use. A settings file that
// is already there is kept (it came from an earlier run).
bool PointAt(const fs::path& root, const std::string& server) {
    const fs::path folder = root / "machine/Telvoran/TVUT";
    std::error_code ec;
    fs::create_directories(folder, ec);
    std::ofstream(folder / "decode.xml").close();
    const fs::path settings = folder / "ProdInd_UserInd.cur";
    if (fs::exists(settings, ec)) {
        return true;
    }
    std::ofstream out(settings);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
        << "<PROD_IND_USER_IND>\n"
        << "  <ReceivingHost value=\"" << server << "\" />\n"
        << "  <ReceivingHostBeta value=\"" << server << "\" />\n"
        << "  <EnableLogging value=\"1\" />\n"
        << "  <LogLevel value=\"3\" />\n"
        << "</PROD_IND_USER_IND>\n";
    out.close();
    return static_cast<bool>(out);
}

// The messages this process logged, in order.
std::vector<std::string> OwnLogLines(const fs::path& log) {
    const std::string mark = "| pid:" + std::to_string(ProcessId()) + " |";
    std::vector<std::string> lines;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(mark);
        if (at == std::string::npos) {
            continue;
        }
        // "<level> | <time> | pid:N | tid:N | <message>"
        const size_t tid = line.find(" | ", at + mark.size());
        if (tid != std::string::npos) {
            lines.push_back(line.substr(0, line.find(' ')) + ": " + line.substr(tid + 3));
        }
    }
    return lines;
}

bool Contains(const std::vector<std::string>& lines, const char* text) {
    for (const std::string& line : lines) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A send left to tvUT's worker thread is decided on that thread: give it
// (at most 3 s) to log its decision, so that CleanUp does not cut it short.
void AwaitWorkersDecision(const fs::path& log) {
    if (!Contains(OwnLogLines(log), "Will Send Asynchronously")) {
        return;
    }
    for (int i = 0; i < 300 && !Contains(OwnLogLines(log), "ime to send."); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool crash = false;
    bool beta = false;
    bool send_now = false;
    bool calls_only = false;
    std::string root;
    std::string server;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--crash") == 0) {
            crash = true;
        } else if (std::strcmp(argv[i], "--beta") == 0) {
            beta = true;
        } else if (std::strcmp(argv[i], "--calls-only") == 0) {
            calls_only = true;
        } else if (std::strcmp(argv[i], "--send-now") == 0) {
            send_now = true;
        } else if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else if (std::strcmp(argv[i], "--server") == 0 && i + 1 < argc) {
            server = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--crash] [--beta] [--send-now] [--server URL] [--root DIR] "
                         "[--calls-only]\n",
                         argv[0]);
            return 2;
        }
    }
    const bool keep = !root.empty();
    if (!keep) {
        std::error_code ec;
        const fs::path temp = fs::temp_directory_path(ec);
        if (!MakeScratchFolder(ec ? fs::path("/tmp") : temp, &root)) {
            std::perror("cannot make a scratch folder");
            return 1;
        }
    }
    root = fs::absolute(root).lexically_normal().string();
    fs::create_directories(root + "/machine");
    fs::create_directories(root + "/user");
    SetVariable("UT_MACHINE_DATA_DIR", root + "/machine");
    SetVariable("XDG_DATA_HOME", root + "/user");
    std::printf("tvUT sample host, working in %s\n", root.c_str());
    if (!server.empty()) {
        if (!PointAt(root, server)) {
            std::fprintf(stderr, "cannot write the settings in %s\n", root.c_str());
            return 1;
        }
        std::printf("Uploads go to %s\n", server.c_str());
    }
    std::printf("\n");
    const fs::path log = fs::path(root) / "user/Telvoran/TVUT/TVUTLog.log";

    Report("InitUTComponent", CUTFacade::InitUTComponent());

    CUTUserInfo* user = CUTUserInfo::Create();
    HostText login("sample.user@example.com");
    user->SetLogin(login.Get());
    Report("SetUserID", CUTFacade::SetUserID(user));
    const kormSTRING& stored = CUTFacade::GetUserID();
    // The login comes back as UTF-16 code units and their count, the form
    // every text crosses the library in.
    std::string shown;
    for (int32_t i = 0; i < stored.length; ++i) {
        shown += stored.text[i] < 0x80 ? static_cast<char>(stored.text[i]) : '?';
    }
    std::printf("%-34s -> \"%s\" (%d UTF-16 code units)\n", "GetUserID", shown.c_str(),
                static_cast<int>(stored.length));
    const int32_t consent = CUTFacade::GetUsageConsent();
    std::printf("%-34s -> %-6d %s\n", "GetUsageConsent", static_cast<int>(consent),
                consent == 1 ? "given"
                : consent == 0
                    ? "revoked"
                    : "never decided: tracking runs unless a machine policy requires consent");

    CUTProductInfo* product = CUTProductInfo::Create();
    HostText line("SAMPLE"), release("2026"), release_type(beta ? "B" : "F"), country("US"),
        language("en"), program("TERM"), serial("0000-1111-2222");
    product->SetProductLineId(line.Get());
    product->SetReleaseId(release.Get());
    product->SetReleaseType(release_type.Get());
    product->SetCountryCode(country.Get());
    product->SetLanguage(language.Get());
    product->SetProgramType(program.Get());
    product->SetSerialNumber(serial.Get());
    // kormFALSE asks for a background send; until a send has been
    // delivered, as in any new folder, tvUT waits for it up to 3 s.
    Report("GetUBInformation (kormFALSE)", CUTFacade::GetUBInformation(product, user, kormFALSE));
    std::printf(
        "%-34s    (kormFALSE: in the background once a send was delivered;\n"
        "%-34s     until then, as in a new folder, waited for at most 3 s)\n",
        "", "");

    Report("LogUsageData", CUTFacade::LogUsageData());
    if (crash) {
        Report("OnCrash", CUTFacade::OnCrash());
    }
    if (send_now) {
        // A host may ask again at any time; kormTRUE sends on this thread now.
        Report("GetUBInformation (kormTRUE)", CUTFacade::GetUBInformation(product, user, kormTRUE));
        std::printf("%-34s    (kormTRUE: sends the waiting transcripts now, on this thread)\n", "");
    }
    product->Dispose();
    user->Dispose();
    if (!server.empty()) {
        AwaitWorkersDecision(log);
    }
    Report("CleanUp", CUTFacade::CleanUp());
    Report("CleanUp (again)", CUTFacade::CleanUp());

    if (!server.empty()) {
        std::printf("\nWhat tvUT logged during this run (%s, lines of this process):\n",
                    log.string().c_str());
        for (const std::string& logged : OwnLogLines(log)) {
            std::printf("  %s\n", logged.c_str());
        }
    }
    if (calls_only) {
        if (!keep) {
            std::error_code ec;
            fs::remove_all(root, ec);
        }
        return 0;
    }
    ShowTree(root);
    const std::string settings = root + "/user/Telvoran/TVUT/ProdInd_UserDep.cur";
    const fs::path inspector = InspectorPath(argv[0]);
    // Shown before the folder goes, so that every run shows what it left.
    ShowTranscripts(root, inspector);
    if (keep) {
        std::printf("\nThe files are kept in %s.\n", root.c_str());
        std::printf("Show a settings file as plain XML with:\n  %s decode %s\n",
                    inspector.string().c_str(), settings.c_str());
    } else {
        std::error_code ec;
        fs::remove_all(root, ec);
        if (ec) {
            std::printf("\nThe scratch folder %s could not be removed (%s); remove it by hand.\n",
                        root.c_str(), ec.message().c_str());
        } else {
            std::printf("\nThe scratch folder %s has been removed.\n", root.c_str());
        }
        std::printf(
            "To keep the files and inspect them, run with --root DIR, then:\n"
            "  %s decode DIR/user/Telvoran/TVUT/ProdInd_UserDep.cur\n",
            inspector.string().c_str());
    }
    return 0;
}
