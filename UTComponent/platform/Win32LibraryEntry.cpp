// The DLL's entry: process attach and detach of tvUT.dll. Only the DLL
// contains this object.
//
// The system calls it with the loader lock held, so it never waits: joining
// a thread would wait for that thread's own exit, which needs the loader
// lock, and a lock another thread holds may never be released. Teardown that
// must wait for threads happens in CleanUp, on the host's thread.
#include <windows.h>

#include "UT/UTLibraryEntry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    switch (reason) {
        case DLL_PROCESS_ATTACH: {
            // No thread attach and detach calls: nothing here needs them.
            ::DisableThreadLibraryCalls(instance);
            // Pinned: a host that unloads tvUT without CleanUp would unmap
            // the code its worker and timer threads still run, and an unload
            // cannot end them without waiting. A pinned DLL stays until the
            // process ends, so its detach runs at process exit only.
            HMODULE self = nullptr;
            ::GetModuleHandleExW(
                GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                reinterpret_cast<LPCWSTR>(&DllMain), &self);
            UTLibraryAttach();
            break;
        }
        case DLL_PROCESS_DETACH:
            // Process exit (the DLL is pinned): the system has ended every
            // other thread wherever it was, perhaps holding one of tvUT's
            // locks, and frees the memory and handles itself. Tearing down
            // here (what UTLibraryDetach does at an unload elsewhere) could
            // only wait for those threads or their locks: nothing is done,
            // and the static objects the C runtime destroys after this call
            // are told to leave theirs alone too.
            UTLibraryProcessEnding();
            break;
        default:
            break;
    }
    return TRUE;
}
