// What tvUT does when the library is loaded into a process and unloaded from
// it. Called by the platform's load hooks on the loader's thread; never throw.
#ifndef TVUT_UT_UTLIBRARYENTRY_H
#define TVUT_UT_UTLIBRARYENTRY_H

void UTLibraryAttach();
// Tears down a completed initialisation that the host did not clean up.
void UTLibraryDetach();
// The process is ending and its other threads are gone, stopped wherever
// they were (Windows, at process exit): nothing may be torn down any more,
// neither here nor by the static objects destroyed after this, since a lock
// or a thread they would wait for may never be released.
void UTLibraryProcessEnding();

#endif  // TVUT_UT_UTLIBRARYENTRY_H
