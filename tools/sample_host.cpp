#include <cstdio>

#include <tvUT/UTFacade.h>

int main() {
    std::printf("InitUTComponent -> %d\n", static_cast<int>(CUTFacade::InitUTComponent()));
    std::printf("CleanUp -> %d\n", static_cast<int>(CUTFacade::CleanUp()));
    return 0;
}
