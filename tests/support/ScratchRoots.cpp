#include "support/ScratchRoots.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <boost/filesystem.hpp>

#include "base/UTTextCodec.h"
#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"

namespace tvut_test {

ScratchFolder::ScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/tvut-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("cannot make a scratch folder");
    }
    path_ = buffer.data();
}

ScratchFolder::~ScratchFolder() {
    boost::system::error_code ec;
    // Folders made read-only by a test must be opened up before removal.
    for (boost::filesystem::recursive_directory_iterator it(path_, ec), end; !ec && it != end;
         it.increment(ec)) {
        ::chmod(it->path().c_str(), 0700);
    }
    boost::filesystem::remove_all(path_, ec);
}

std::wstring ScratchFolder::wpath() const {
    return FromUtf8(path_);
}

const char kNoServerHost[] = "http://127.0.0.1:1/BRIMReceiver";

ScratchRoots::ScratchRoots(Contents contents) {
    const char* machine = std::getenv("UT_MACHINE_DATA_DIR");
    const char* user = std::getenv("XDG_DATA_HOME");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* policy = std::getenv("UT_POLICY_FILE");
    had_policy_ = policy != nullptr;
    old_policy_ = policy != nullptr ? policy : "";
    had_machine_ = machine != nullptr;
    had_user_ = user != nullptr;
    had_runtime_ = runtime != nullptr;
    old_machine_ = machine != nullptr ? machine : "";
    old_user_ = user != nullptr ? user : "";
    old_runtime_ = runtime != nullptr ? runtime : "";
    ::mkdir(machine_root().c_str(), 0700);
    ::mkdir(user_root().c_str(), 0700);
    ::mkdir(runtime_root().c_str(), 0700);
    ::setenv("UT_MACHINE_DATA_DIR", machine_root().c_str(), 1);
    ::setenv("XDG_DATA_HOME", user_root().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", runtime_root().c_str(), 1);
    ::setenv("UT_POLICY_FILE", policy_path().c_str(), 1);
    if (contents == kNoServerSettings) {
        const std::wstring host = FromUtf8(kNoServerHost);
        if (!WriteMachineSettings({{L"ReceivingHost", host}, {L"ReceivingHostBeta", host}})) {
            throw std::runtime_error("cannot write the scratch machine settings");
        }
    }
}

bool WriteMachineSettings(const std::vector<std::pair<std::wstring, std::wstring>>& items) {
    CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
    machine.Load();
    for (const auto& item : items) {
        machine.SetValue(item.first, item.second, false);
    }
    return machine.Save();
}

std::vector<std::pair<std::wstring, std::wstring>> SendOnlyWhenAskedSettings(
    const std::string& host) {
    return {{L"CommunicationCheckTime", L"3600000"},
            {L"CommunicationRetryWaitTime", L"3600000"},
            {L"CommunicationServerRestartWaitTime", L"3600000"},
            {L"ReceivingHost", FromUtf8(host)},
            {L"ReceivingHostBeta", FromUtf8(host)}};
}

ScratchRoots::~ScratchRoots() {
    if (had_machine_) {
        ::setenv("UT_MACHINE_DATA_DIR", old_machine_.c_str(), 1);
    } else {
        ::unsetenv("UT_MACHINE_DATA_DIR");
    }
    if (had_user_) {
        ::setenv("XDG_DATA_HOME", old_user_.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
    if (had_runtime_) {
        ::setenv("XDG_RUNTIME_DIR", old_runtime_.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    if (had_policy_) {
        ::setenv("UT_POLICY_FILE", old_policy_.c_str(), 1);
    } else {
        ::unsetenv("UT_POLICY_FILE");
    }
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string Repeated(const std::string& piece, size_t count) {
    std::string text;
    text.reserve(piece.size() * count);
    for (size_t i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool PathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> EntryNames(const std::string& folder) {
    std::vector<std::string> names;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tvut_test
