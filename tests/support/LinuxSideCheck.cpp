#include "support/LinuxSideCheck.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#ifdef _WIN32
#include <filesystem>

#include "base/UTTextCodec.h"
#else
#include "support/ChildProcess.h"
#endif

namespace tvut_test {

namespace {

#ifdef _WIN32
// The running case's full name ("Suite.Name", "Cases/Suite.Name/Param").
std::string CaseName() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info == nullptr ? std::string("no-case")
                           : std::string(info->test_suite_name()) + "." + info->name();
}

// A folder name from a case name: the separators of parameterised names
// would make folders of their own.
std::string FolderName(std::string name) {
    for (char& c : name) {
        if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '<' || c == '>' ||
            c == '|' || c == '"') {
            c = '-';
        }
    }
    return name;
}
#else
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string WithoutFinalNewlines(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}
#endif

}  // namespace

LinuxSideCheck::LinuxSideCheck(const std::string& checker) : checker_(checker) {
#ifdef _WIN32
    const char* base = std::getenv("TVUT_WINDOWS_CHECK_DIR");
    if (base == nullptr || base[0] == '\0') {
        problem_ =
            "TVUT_WINDOWS_CHECK_DIR is not set: the check of the Linux side cannot be "
            "recorded (the suite's CTest run sets it)";
        return;
    }
    // Each case runs in a process of its own, but a case may check several
    // times: the first free number is this check's.
    const std::filesystem::path case_folder =
        std::filesystem::path(FromUtf8(base)) / FromUtf8(FolderName(CaseName()));
    for (int n = 1; n < 10000; ++n) {
        const std::filesystem::path candidate = case_folder / std::to_wstring(n);
        std::error_code ec;
        std::filesystem::create_directories(case_folder, ec);
        if (std::filesystem::create_directory(candidate, ec) && !ec) {
            folder_ = ToUtf8(candidate.wstring());
            return;
        }
        if (!std::filesystem::exists(candidate, ec)) {
            problem_ = "cannot make " + ToUtf8(candidate.wstring()) + ": " + ec.message();
            return;
        }
    }
    problem_ = "no free check folder in " + ToUtf8(case_folder.wstring());
#endif
}

void LinuxSideCheck::AddFile(const std::string& path) {
    arguments_.push_back("file\t" + AddFileNamedByAnother(path));
}

std::string LinuxSideCheck::AddFileNamedByAnother(const std::string& path) {
#ifdef _WIN32
    // Numbered copies: two sources of one name (or names the Linux side
    // would spell otherwise) never meet.
    const std::string name = "file" + std::to_string(++copies_);
    if (problem_.empty()) {
        std::error_code ec;
        std::filesystem::copy_file(std::filesystem::path(FromUtf8(path)),
                                   std::filesystem::path(FromUtf8(folder_)) / FromUtf8(name), ec);
        if (ec) {
            problem_ = "cannot copy " + path + " for the check: " + ec.message();
        }
    }
    return name;
#else
    return path;
#endif
}

void LinuxSideCheck::AddArgument(const std::string& text) {
    arguments_.push_back("argument\t" + text);
}

bool LinuxSideCheck::Expect(int status, Match match, const std::string& text, std::string* output) {
#ifdef _WIN32
    if (!problem_.empty()) {
        if (output != nullptr) {
            *output = problem_;
        }
        return false;
    }
    std::ofstream record(std::filesystem::path(FromUtf8(folder_)) / L"check.txt",
                         std::ios::binary | std::ios::trunc);
    record << "case\t" << CaseName() << "\n"
           << "checker\t" << checker_ << "\n";
    for (const std::string& argument : arguments_) {
        record << argument << "\n";
    }
    record << "status\t" << status << "\n"
           << (match == kWholeOutput ? "output\t" : "contains\t") << text << "\n";
    record.close();
    if (!record) {
        if (output != nullptr) {
            *output = "cannot write the check in " + folder_;
        }
        return false;
    }
    if (output != nullptr) {
        *output = "recorded for the Linux side in " + folder_;
    }
    return true;
#else
    const bool script = checker_.size() > 3 && checker_.compare(checker_.size() - 3, 3, ".py") == 0;
    std::string command =
        script ? "python3 " + Quoted(std::string(TVUT_SOURCE_DIR) + "/tests/" + checker_)
               : checker_;
    for (const std::string& argument : arguments_) {
        command += " " + Quoted(argument.substr(argument.find('\t') + 1));
    }
    std::string printed;
    const int actual = RunCommand(command, &printed);
    if (output != nullptr) {
        *output = printed;
    }
    const bool matches = match == kWholeOutput ? WithoutFinalNewlines(printed) == text
                                               : printed.find(text) != std::string::npos;
    if (output != nullptr && (actual != status || !matches)) {
        *output = command + " ended with " + std::to_string(actual) + " (" +
                  std::to_string(status) + " expected) and printed:\n" + printed;
    }
    return actual == status && matches;
#endif
}

}  // namespace tvut_test
