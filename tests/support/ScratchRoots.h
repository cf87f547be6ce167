// Test fixtures around scratch folders.
//
// ScratchFolder makes a fresh folder under the build's temporary area and
// removes it with everything inside at destruction. ScratchRoots points the
// component's machine and user roots (UT_MACHINE_DATA_DIR, XDG_DATA_HOME) and
// the user's runtime folder (XDG_RUNTIME_DIR, where lock files live) at
// scratch folders for the life of the object, so no test touches real roots
// or leaves lock files behind.
#ifndef TVUT_TESTS_SUPPORT_SCRATCHROOTS_H
#define TVUT_TESTS_SUPPORT_SCRATCHROOTS_H

#include <string>

namespace tvut_test {

class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    std::wstring wpath() const;
    // path() + "/" + name
    std::string Join(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class ScratchRoots {
public:
    ScratchRoots();
    ~ScratchRoots();

    std::string machine_root() const { return folder_.Join("machine"); }
    std::string user_root() const { return folder_.Join("user"); }
    std::string runtime_root() const { return folder_.Join("runtime"); }
    // <root>/Telvoran/TVUT
    std::string pi_ui_folder() const { return machine_root() + "/Telvoran/TVUT"; }
    std::string pi_ud_folder() const { return user_root() + "/Telvoran/TVUT"; }
    const ScratchFolder& folder() const { return folder_; }

private:
    ScratchFolder folder_;
    std::string old_machine_;
    std::string old_user_;
    std::string old_runtime_;
    bool had_machine_;
    bool had_user_;
    bool had_runtime_;
};

// Small file helpers for assertions.
bool WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool PathExists(const std::string& path);

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_SCRATCHROOTS_H
