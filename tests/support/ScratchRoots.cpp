#include "support/ScratchRoots.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <boost/filesystem.hpp>

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include "base/UTTextCodec.h"
#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "support/Environment.h"

namespace tvut_test {

namespace {

// The temporary area: $TMPDIR when absolute, else /tmp; on Windows the
// user's temporary folder.
boost::filesystem::path TemporaryArea() {
#ifdef _WIN32
    boost::system::error_code ec;
    const boost::filesystem::path temp = boost::filesystem::temp_directory_path(ec);
    if (ec) {
        throw std::runtime_error("no temporary folder");
    }
    return temp;
#else
    const char* base = std::getenv("TMPDIR");
    return base != nullptr && base[0] == '/' ? base : "/tmp";
#endif
}

// A UTF-8 path as the system's file functions take it: the narrow forms of
// Windows read the ANSI code page.
#ifdef _WIN32
std::filesystem::path SystemPath(const std::string& path) {
    return std::filesystem::path(FromUtf8(path));
}
#else
const std::string& SystemPath(const std::string& path) {
    return path;
}
#endif

}  // namespace

std::string NativePath(std::string path) {
#ifdef _WIN32
    std::replace(path.begin(), path.end(), '/', '\\');
#endif
    return path;
}

std::wstring NativePath(std::wstring path) {
#ifdef _WIN32
    std::replace(path.begin(), path.end(), L'/', L'\\');
#endif
    return path;
}

ScratchFolder::ScratchFolder() {
    const boost::filesystem::path area = TemporaryArea();
    // Made new, never taken over: a name that exists is passed by.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const boost::filesystem::path candidate =
            area / boost::filesystem::unique_path("tvut-test-%%%%%%%%%%%%");
        boost::system::error_code ec;
        if (boost::filesystem::create_directory(candidate, ec) && !ec) {
            boost::filesystem::permissions(candidate, boost::filesystem::owner_all, ec);
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot make a scratch folder");
}

ScratchFolder::~ScratchFolder() {
    boost::system::error_code ec;
    // Folders made read-only by a test must be opened up before removal;
    // links are left as they are (their targets are not the test's).
    for (boost::filesystem::recursive_directory_iterator it(path_, ec), end; !ec && it != end;
         it.increment(ec)) {
        boost::system::error_code ignored;
        if (!boost::filesystem::is_symlink(it->symlink_status(ignored))) {
            boost::filesystem::permissions(it->path(), boost::filesystem::owner_all, ignored);
        }
    }
    boost::filesystem::remove_all(path_, ec);
}

std::wstring ScratchFolder::wpath() const {
    return FromUtf8(path_);
}

const char kNoServerHost[] = "http://127.0.0.1:1/BRIMReceiver";

ScratchRoots::ScratchRoots(Contents contents)
    : saved_{SavedVariable("UT_MACHINE_DATA_DIR"), SavedVariable("XDG_DATA_HOME"),
             SavedVariable("XDG_RUNTIME_DIR"), SavedVariable("UT_POLICY_FILE")} {
    for (const std::string& root : {machine_root(), user_root(), runtime_root()}) {
        boost::system::error_code ec;
        boost::filesystem::create_directory(root, ec);
        boost::filesystem::permissions(root, boost::filesystem::owner_all, ec);
    }
    SetVariable("UT_MACHINE_DATA_DIR", machine_root());
    SetVariable("XDG_DATA_HOME", user_root());
    SetVariable("XDG_RUNTIME_DIR", runtime_root());
    SetVariable("UT_POLICY_FILE", policy_path());
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

ScratchRoots::~ScratchRoots() = default;

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(SystemPath(path), std::ios::binary | std::ios::trunc);
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
    std::ifstream in(SystemPath(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool PathExists(const std::string& path) {
    boost::system::error_code ec;
    return boost::filesystem::exists(boost::filesystem::status(path, ec));
}

bool SetFileTimes(const std::string& path, int64_t access, int64_t modification) {
#ifdef _WIN32
    const HANDLE file = ::CreateFileW(FromUtf8(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // 100-nanosecond steps since 1601
    const auto filetime = [](int64_t seconds) {
        const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
        FILETIME time;
        time.dwLowDateTime = static_cast<DWORD>(ticks);
        time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
        return time;
    };
    const FILETIME access_time = filetime(access);
    const FILETIME modification_time = filetime(modification);
    const bool set = ::SetFileTime(file, nullptr, &access_time, &modification_time) != 0;
    ::CloseHandle(file);
    return set;
#else
    struct timespec times[2] = {{static_cast<time_t>(access), 0},
                                {static_cast<time_t>(modification), 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
}

bool MakeFolders(const std::string& path) {
    boost::system::error_code ec;
    boost::filesystem::create_directories(path, ec);
    return boost::filesystem::is_directory(path, ec);
}

bool RemoveEmptyFolder(const std::string& path) {
    boost::system::error_code ec;
    return boost::filesystem::is_directory(path, ec) && boost::filesystem::remove(path, ec) && !ec;
}

std::string FileUrl(const std::string& path) {
#ifdef _WIN32
    std::string url = "file:///" + path;
    std::replace(url.begin(), url.end(), '\\', '/');
    return url;
#else
    return "file://" + path;
#endif
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
