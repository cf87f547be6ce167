// Test fixtures around scratch folders.
//
// ScratchFolder makes a fresh folder under the build's temporary area and
// removes it with everything inside at destruction. ScratchRoots points the
// component's machine and user roots (UT_MACHINE_DATA_DIR, XDG_DATA_HOME) and
// the user's runtime folder (XDG_RUNTIME_DIR, where lock files live) at
// scratch folders, and the machine policy (UT_POLICY_FILE) at policy_path()
// in the scratch folder (absent unless a test writes it), for the life of
// the object, so no test touches real roots, meets the machine's own policy
// or leaves lock files behind. Unless asked for empty roots, it also writes
// the machine-wide settings with kNoServerHost as ReceivingHost and
// ReceivingHostBeta (a port where nothing listens), so that an upload of a
// test that sets no server of its own fails at once on this machine and no
// test ever reaches the real usage server.
#ifndef TVUT_TESTS_SUPPORT_SCRATCHROOTS_H
#define TVUT_TESTS_SUPPORT_SCRATCHROOTS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/Environment.h"

namespace tvut_test {

// path with every "/" turned into the component's separator ("\\" on
// Windows; nothing changes on Linux): for paths the tests compose that meet
// the paths the component composes.
std::string NativePath(std::string path);
std::wstring NativePath(std::wstring path);

class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    std::wstring wpath() const;
    // path() + "/" + name, with the system's separators
    std::string Join(const std::string& name) const { return NativePath(path_ + "/" + name); }

private:
    std::string path_;
};

// Where uploads go when a test names no server: refused at once.
extern const char kNoServerHost[];

class ScratchRoots {
public:
    enum Contents {
        kNoServerSettings,  // machine settings that point uploads at kNoServerHost
        kEmpty,             // nothing: for tests of how the files come to be
    };
    explicit ScratchRoots(Contents contents = kNoServerSettings);
    ~ScratchRoots();

    std::string machine_root() const { return folder_.Join("machine"); }
    std::string user_root() const { return folder_.Join("user"); }
    std::string runtime_root() const { return folder_.Join("runtime"); }
    std::string policy_path() const { return folder_.Join("policy.xml"); }
    // <root>/Telvoran/TVUT
    std::string pi_ui_folder() const { return NativePath(machine_root() + "/Telvoran/TVUT"); }
    std::string pi_ud_folder() const { return NativePath(user_root() + "/Telvoran/TVUT"); }
    const ScratchFolder& folder() const { return folder_; }

private:
    // Put back after the folder is gone (members end in reverse order).
    SavedVariable saved_[4];
    ScratchFolder folder_;
};

// Writes the machine-wide settings items (names and values) of the current
// scratch roots; false when the file could not be saved.
bool WriteMachineSettings(const std::vector<std::pair<std::wstring, std::wstring>>& items);

// Settings items that send to host (plain and pre-release products) and keep
// the check, retry and restart timers an hour away, so that only the uploads
// a test or benchmark asks for happen. Callers append their own items.
std::vector<std::pair<std::wstring, std::wstring>> SendOnlyWhenAskedSettings(
    const std::string& host);

// Small file helpers for assertions; paths are UTF-8 text on every system.
bool WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// piece, count times over: the large hostile documents of the tests.
std::string Repeated(const std::string& piece, size_t count);
bool PathExists(const std::string& path);
// Sets a file's access and modification times (seconds since 1970).
bool SetFileTimes(const std::string& path, int64_t access, int64_t modification);
// Makes path with its missing parents (true when it is a folder afterwards),
// and removes an empty folder: the same on every system.
bool MakeFolders(const std::string& path);
bool RemoveEmptyFolder(const std::string& path);
// The file: URL of an absolute path ("file:///C:/..." on Windows).
std::string FileUrl(const std::string& path);
// The names of every entry directly in folder, sorted; empty when it cannot
// be listed.
std::vector<std::string> EntryNames(const std::string& folder);

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_SCRATCHROOTS_H
