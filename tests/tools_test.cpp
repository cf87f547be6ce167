// The programs for people: the inspector's decode, config and paths commands
// and the sample host, run as real processes against scratch roots.
#include <gtest/gtest.h>

#include <string>

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

TEST_F(ToolsTest, SampleHostShowsTheStatusCodesOfItsSequence) {
    std::string output;
    ASSERT_EQ(
        0, RunCommand(kSampleHost + " --crash --root " + roots_.folder().Join("sample"), &output));
    for (const char* expected :
         {"InitUTComponent                    -> 100", "SetUserID                          -> 600",
          "LogUsageData", "OnCrash", "CleanUp                            -> 500",
          "CleanUp (again)                    -> -1000", "ProdInd_UserDep.cur"}) {
        EXPECT_NE(std::string::npos, output.find(expected)) << expected << "\n" << output;
    }
}
