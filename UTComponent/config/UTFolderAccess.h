// The access probes run before tvUT accepts work (folders are made with
// CreateFolderTree of the platform layer).
// None throws; every file-system error turns into a false result. Any thread.
#ifndef TVUT_CONFIG_UTFOLDERACCESS_H
#define TVUT_CONFIG_UTFOLDERACCESS_H

#include <string>

// Can this process create entries in folder (given with a trailing
// separator)? Probes by creating and removing a folder named by a new GUID.
bool CanWriteFolder(const std::wstring& folder);

// Can this process open the existing file for update? Probes under the file's
// named lock; a missing file reports false.
bool CanUpdateFile(const std::wstring& path);

#endif  // TVUT_CONFIG_UTFOLDERACCESS_H
