// What tvUT does when the library is loaded into a process and unloaded from
// it. Called by the platform's load hooks on the loader's thread; never throw.
#ifndef TVUT_UT_UTLIBRARYENTRY_H
#define TVUT_UT_UTLIBRARYENTRY_H

void UTLibraryAttach();
// Tears down a completed initialisation that the host did not clean up.
void UTLibraryDetach();

#endif  // TVUT_UT_UTLIBRARYENTRY_H
