// tvut_inspect: shows people who support a product what tvUT keeps on this
// machine and what it would report about it.
#include <cstdio>
#include <cstring>

#include "InspectorCommands.h"

namespace {

struct Command {
    const char* name;
    const char* usage;
    int (*run)(int, char**);
};

const Command kCommands[] = {
    {"decode", "decode FILE            print a configuration or transcript file as plain XML",
     &RunDecodeCommand},
    {"config", "config                 print every setting, its value and the file it comes from",
     &RunConfigCommand},
    {"paths", "paths [LINE RELEASE]   print the folders and files tvUT uses", &RunPathsCommand},
    {"identity", "identity               print what this machine reports about itself",
     &RunIdentityCommand},
    {"pending",
     "pending [LINE RELEASE] list the transcripts waiting to be sent, with their sessions",
     &RunPendingCommand},
};

void PrintUsage(FILE* out) {
    std::fprintf(out, "usage: tvut_inspect COMMAND [ARGS]\n\ncommands:\n");
    for (const Command& command : kCommands) {
        std::fprintf(out, "  %s\n", command.usage);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        PrintUsage(stdout);
        return 0;
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(argv[1], command.name) == 0) {
            return command.run(argc - 2, argv + 2);
        }
    }
    std::fprintf(stderr, "tvut_inspect: unknown command '%s'\n\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}
