// Where tvUT keeps its files: the names and the composition of the folders
// below the machine and user roots. Pure functions over the platform's roots;
// any thread. A root that is unavailable gives an empty path.
#ifndef TVUT_CONFIG_UTCONFIGPATHS_H
#define TVUT_CONFIG_UTCONFIGPATHS_H

#include <string>

#include "base/UTNameHash.h"
#include "base/UTProductNames.h"

extern const wchar_t kPIUIFileName[];          // "ProdInd_UserInd.cur"
extern const wchar_t kPIUDFileName[];          // "ProdInd_UserDep.cur"
extern const wchar_t kProductFileName[];       // "ProdDep_UserDep.cur"
extern const wchar_t kDecodeMarkerName[];      // "decode.xml"
extern const wchar_t kTranscriptFolderName[];  // "Transcripts"
extern const wchar_t kLogFileName[];           // "TVUTLog.log"

// root + "/Telvoran/" + subfolder + "/", or empty when the root is unavailable.
std::wstring MachineFolderPath(const std::wstring& subfolder);
std::wstring UserFolderPath(const std::wstring& subfolder);

// The PI_UI and PI_UD folders, with a trailing separator.
inline std::wstring PIUIFolderPath() {
    return MachineFolderPath(kComponentFolderName);
}
inline std::wstring PIUDFolderPath() {
    return UserFolderPath(kComponentFolderName);
}

// "TVUT/<line>_<release>": the product folder below the user's "Telvoran"
// folder. The ids come from the host; separators and ".." in them are
// replaced so that the folder stays inside the component's folder. A name
// longer than a file system takes (255 bytes of UTF-8) keeps a readable
// prefix of its first 100 characters, "~" and a hash of the whole name, as
// long lock names do: distinct long names stay distinct.
std::wstring ProductFolderName(const std::wstring& product_line_id, const std::wstring& release_id);

// Replaces what would let a folder name step outside its parent: "/", "\\",
// NUL and ".." become "_".
std::wstring SafeFolderNamePart(const std::wstring& text);

#endif  // TVUT_CONFIG_UTCONFIGPATHS_H
