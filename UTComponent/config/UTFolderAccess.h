// Folder creation and the access probes run before tvUT accepts work.
// None throws; every file-system error turns into a false result. Any thread.
#ifndef TVUT_CONFIG_UTFOLDERACCESS_H
#define TVUT_CONFIG_UTFOLDERACCESS_H

#include <string>

// Creates the folder and its missing parents, each new one for the owner
// only. True when a folder exists at path afterwards; false for an empty path
// or when a file stands in the way.
bool CreateFolderTree(const std::wstring& path);

// Can this process create entries in folder (given with a trailing
// separator)? Probes by creating and removing a folder named by a new GUID.
bool CanWriteFolder(const std::wstring& folder);

// Can this process open the existing file for update? Probes under the file's
// named lock; a missing file reports false.
bool CanUpdateFile(const std::wstring& path);

#endif  // TVUT_CONFIG_UTFOLDERACCESS_H
