#include <cstdio>

#include "InspectorCommands.h"

int RunPathsCommand(int, char**) {
    std::fprintf(stderr, "tvut_inspect: not available in this build\n");
    return 1;
}
