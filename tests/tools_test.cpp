// The programs for people: the inspector's decode, config and paths commands
// and the sample host, run as real processes against scratch roots.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include <tvUT/UTTypes.h>

#include "config/UTConfigPaths.h"
#include "config/UTScrambler.h"
#include "config/UTXMLConfig.h"
#include "support/ChildProcess.h"
#include "support/ScratchRoots.h"

using tvut_test::RunCommand;
using tvut_test::ScratchRoots;
using tvut_test::WriteFile;

namespace {

const std::string kInspector = std::string(TVUT_BINARY_DIR) + "/tools/tvut_inspect";
const std::string kSampleHost = std::string(TVUT_BINARY_DIR) + "/tools/tvut_sample_host";

class ToolsTest : public ::testing::Test {
protected:
    // Runs the inspector in the scratch roots (the fixture set the variables).
    int Inspect(const std::string& arguments, std::string* output) {
        return RunCommand(kInspector + " " + arguments, output);
    }
    ScratchRoots roots_;
};

}  // namespace

TEST_F(ToolsTest, DecodeShowsScrambledAndPlainFilesAndRejectsOthers) {
    {
        CUTXMLConfig file(UT_CONFIG_PI_UD, kComponentFolderName);
        ASSERT_TRUE(file.Load());
        file.SetValue(L"TelvoranLogin", L"inspect-me", true);
    }
    const std::string user_file = roots_.pi_ud_folder() + "/ProdInd_UserDep.cur";
    std::string output;
    ASSERT_EQ(0, Inspect("decode " + user_file, &output)) << output;
    EXPECT_NE(std::string::npos, output.find("<PROD_IND_USER_DEP"));
    EXPECT_NE(std::string::npos, output.find("inspect-me"));
    EXPECT_NE(std::string::npos, output.find("stored scrambled"));

    const std::string plain = roots_.folder().Join("plain.xml");
    ASSERT_TRUE(WriteFile(plain, "<?xml version=\"1.0\" ?><ROOT a=\"1\" />"));
    ASSERT_EQ(0, Inspect("decode " + plain, &output));
    EXPECT_NE(std::string::npos, output.find("stored plain"));

    const struct {
        const char* label;
        std::string arguments;
        int code;
        const char* says;
    } failures[] = {
        {"not ours", "decode /etc/hostname", 1, "not a tvUT configuration or transcript file"},
        {"missing", "decode " + roots_.folder().Join("missing"), 1, "cannot read"},
        {"folder", "decode " + roots_.folder().path(), 1, "is a folder"},
        {"no file", "decode", 2, "usage"},
        {"unknown command", "frobnicate", 2, "unknown command"},
        {"no command", "", 2, "usage"},
    };
    ASSERT_TRUE(WriteFile(roots_.folder().Join("empty"), ""));
    for (const auto& f : failures) {
        SCOPED_TRACE(f.label);
        EXPECT_EQ(f.code, Inspect(f.arguments, &output));
        EXPECT_NE(std::string::npos, output.find(f.says)) << output;
    }
    EXPECT_EQ(1, Inspect("decode " + roots_.folder().Join("empty"), &output));
}

TEST_F(ToolsTest, ConfigShowsEffectiveValuesAndWhereTheyComeFrom) {
    std::string output;
    ASSERT_EQ(0, Inspect("config", &output));
    EXPECT_NE(std::string::npos, output.find("default (not stored)"))
        << "read-only on a clean machine";
    EXPECT_FALSE(tvut_test::PathExists(roots_.pi_ud_folder())) << "the inspector creates nothing";
    {
        CUTXMLConfig file(UT_CONFIG_PI_UI, kComponentFolderName);
        ASSERT_TRUE(file.Load());
        file.SetValue(L"LogLevel", L"9", false);
        file.SetValue(L"MaxFileCount", L"42", true);
    }
    ASSERT_EQ(0, Inspect("config", &output));
    EXPECT_NE(std::string::npos, output.find("default (stored \"9\" is not valid)")) << output;
    const size_t line = output.find("MaxFileCount");
    ASSERT_NE(std::string::npos, line);
    EXPECT_NE(std::string::npos, output.find("42", line));
    EXPECT_NE(std::string::npos, output.find("ProdInd_UserInd.cur", line));
}

TEST_F(ToolsTest, PathsNameTheProductFoldersSafely) {
    std::string output;
    ASSERT_EQ(0, Inspect("paths ../x 1", &output));
    EXPECT_NE(std::string::npos, output.find(roots_.pi_ud_folder() + "/___x_1/Transcripts"))
        << output;
    EXPECT_EQ(2, Inspect("paths onlyone", &output));
}

namespace {

// "<call> -> <code> <meaning>" lines of the sample host, by call.
std::map<std::string, std::pair<int, std::string>> StatusLines(const std::string& output) {
    std::map<std::string, std::pair<int, std::string>> lines;
    const std::regex line_format("^(\\S.*\\S) +-> (-?[0-9]+) +(\\S.*)$");
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (std::regex_match(line, match, line_format)) {
            lines[match[1]] = {std::stoi(match[2]), match[3]};
        }
    }
    return lines;
}

// The text after "prefix" up to the end of its line.
std::string After(const std::string& output, const std::string& prefix) {
    const size_t at = output.find(prefix);
    if (at == std::string::npos) {
        return std::string();
    }
    const size_t from = at + prefix.size();
    return output.substr(from, output.find('\n', from) - from);
}

}  // namespace

// Every call's status code is one its operation can return, the meaning
// printed is that code's; the scratch folder goes unless --root keeps it; the
// inspector command it prints works from wherever it was started.
TEST_F(ToolsTest, SampleHostShowsTheStatusCodesOfItsSequence) {
    const std::string tools = std::string(TVUT_BINARY_DIR) + "/tools";
    const std::string elsewhere = roots_.folder().Join("elsewhere");
    ASSERT_EQ(0, RunCommand("mkdir -p " + elsewhere, nullptr));
    const std::string kept = roots_.folder().Join("kept");
    const struct {
        const char* label;
        std::string command;
        bool crash;
        bool keep;
    } runs[] = {
        {"crash, kept root", kSampleHost + " --crash --root " + kept, true, true},
        {"started by name from another folder",
         "cd " + elsewhere + " && TMPDIR=" + elsewhere + " PATH=" + tools +
             ":$PATH tvut_sample_host",
         false, false},
        {"beta, relative path",
         "cd " + tools + " && TMPDIR=" + elsewhere + " ./tvut_sample_host --beta", false, false},
    };
    const std::set<int> send_codes = {UT_SEND_OK, UT_SEND_CYCLE_FAILED, UT_SEND_NOT_DELIVERED,
                                      UT_SEND_EXT_DEPENDENCY_FAILED, UT_SEND_SERVER_REJECTED};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.label);
        std::string output;
        ASSERT_EQ(0, RunCommand(run.command, &output)) << output;
        auto lines = StatusLines(output);
        const std::map<std::string, std::set<int>> expected = {
            {"InitUTComponent", {UT_INIT_OK}},
            {"SetUserID", {UT_SET_USER_OK}},
            {"GetUBInformation (kormFALSE)", send_codes},
            {"LogUsageData", {UT_LOG_USAGE_OK, UT_LOG_USAGE_WRITE_FAILED}},
            {"CleanUp", {UT_CLEANUP_OK}},
            {"CleanUp (again)", {UT_NOT_INITIALISED}},
        };
        for (const auto& call : expected) {
            ASSERT_EQ(1u, lines.count(call.first)) << call.first << "\n" << output;
            const auto& line = lines[call.first];
            EXPECT_EQ(1u, call.second.count(line.first)) << call.first << " -> " << line.first;
            EXPECT_NE("unknown status", line.second) << call.first;
        }
        EXPECT_EQ(run.crash ? 1u : 0u, lines.count("OnCrash")) << output;
        if (run.crash) {
            EXPECT_TRUE(lines["OnCrash"].first == UT_CRASH_OK ||
                        lines["OnCrash"].first == UT_CRASH_WRITE_FAILED);
        }
        // Two calls give the same code the same meaning.
        std::map<int, std::string> meanings;
        for (const auto& line : lines) {
            auto inserted = meanings.insert({line.second.first, line.second.second});
            EXPECT_EQ(inserted.first->second, line.second.second) << line.first;
        }
        EXPECT_NE(std::string::npos,
                  output.find("GetUserID                          -> length 23"));

        const std::string root = After(output, "working in ");
        ASSERT_FALSE(root.empty()) << output;
        std::string command;
        if (run.keep) {
            EXPECT_EQ(kept, root);
            EXPECT_TRUE(tvut_test::PathExists(root + "/user/Telvoran/TVUT/ProdInd_UserDep.cur"));
            EXPECT_NE(std::string::npos, output.find("The files are kept in " + root));
            command = After(output, "Show a settings file as plain XML with:\n  ");
        } else {
            EXPECT_EQ(0u, root.rfind(elsewhere + "/tvut-sample-", 0)) << root;
            EXPECT_FALSE(tvut_test::PathExists(root)) << "scratch folder left behind";
            EXPECT_NE(std::string::npos, output.find(root + " has been removed"));
            command = After(output, "run with --root DIR, then:\n  ");
        }
        // The inspector named is the one built beside the sample host.
        const std::string inspector = command.substr(0, command.find(' '));
        EXPECT_EQ(kInspector, inspector) << output;
        if (run.keep) {
            std::string decoded;
            EXPECT_EQ(0, RunCommand("cd " + elsewhere + " && " + command, &decoded)) << decoded;
            EXPECT_NE(std::string::npos, decoded.find("sample.user@example.com")) << decoded;
        }
    }
}
