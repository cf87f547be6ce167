// The shared library's load and unload hooks: the POSIX form of a DLL's
// process attach and detach. Only libtvUT.so contains this object.
#include "UT/UTLibraryEntry.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() {
    UTLibraryAttach();
}

__attribute__((destructor)) void OnLibraryUnload() {
    UTLibraryDetach();
}

}  // namespace
