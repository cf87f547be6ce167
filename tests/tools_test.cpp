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

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "config/UTConfigPaths.h"
#include "config/UTScrambler.h"
#include "config/UTXMLConfig.h"
#include "support/ChildProcess.h"
#include "support/LocalReceiver.h"
#include "support/ScratchRoots.h"
#include "support/TranscriptFiles.h"

using tvut_test::LocalReceiver;
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
        CUTXMLConfig file(UT_FILE_PI_UD, kComponentFolderName);
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
        CUTXMLConfig file(UT_FILE_PI_UI, kComponentFolderName);
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

    // -1, "no send yet", is the default of the send time and a valid value.
    {
        CUTXMLConfig file(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(file.Load());
        file.SetValue(L"LastSendTimestamp", L"-1", true);
    }
    ASSERT_EQ(0, Inspect("config", &output));
    const size_t sent = output.find("\nLastSendTimestamp ");
    ASSERT_NE(std::string::npos, sent);
    const std::string sent_line = output.substr(sent + 1, output.find('\n', sent + 1) - sent - 1);
    EXPECT_EQ(std::string::npos, sent_line.find("not valid")) << sent_line;
    EXPECT_NE(std::string::npos, sent_line.find("ProdInd_UserDep.cur")) << sent_line;
}

TEST_F(ToolsTest, ConfigShowsThePolicyTheConsentAndWhetherTrackingIsOn) {
    std::string output;
    ASSERT_EQ(0, Inspect("config", &output));
    EXPECT_NE(std::string::npos, output.find("machine policy:        no machine policy (" +
                                             roots_.policy_path() + " does not exist)"))
        << output;
    EXPECT_NE(std::string::npos, output.find("usage consent:         never decided"));
    EXPECT_NE(std::string::npos,
              output.find("tracking (this user):  on: the user has not decided"));

    ASSERT_TRUE(WriteFile(roots_.policy_path(),
                          "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<TVUT_POLICY>\n"
                          "<MaxFileCount value=\"17\" />\n<RequireConsent value=\"1\" />\n"
                          "<Frobnicate value=\"1\" />\n</TVUT_POLICY>\n"));
    ASSERT_EQ(0, Inspect("config", &output));
    EXPECT_NE(std::string::npos,
              output.find("machine policy:        machine policy " + roots_.policy_path() +
                          " in force: 1 settings fixed, consent required"))
        << output;
    EXPECT_NE(std::string::npos, output.find("passed over: Frobnicate is not a machine-wide"));
    const size_t line = output.find("\nMaxFileCount ");
    ASSERT_NE(std::string::npos, line);
    const std::string item = output.substr(line + 1, output.find('\n', line + 1) - line - 1);
    EXPECT_NE(std::string::npos, item.find(" 17 ")) << item;
    EXPECT_NE(std::string::npos, item.find("policy (" + roots_.policy_path() + ")")) << item;
    EXPECT_NE(std::string::npos,
              output.find("tracking (this user):  off: the machine policy requires consent"));

    {
        CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(user.Load());
        user.SetValue(L"UsageConsent", L"1", true);
    }
    ASSERT_EQ(0, Inspect("config", &output));
    EXPECT_NE(std::string::npos, output.find("usage consent:         given"));
    EXPECT_NE(std::string::npos, output.find("tracking (this user):  on: the user gave consent"));
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
    // Every upload goes to a local receiver, never to the default server.
    LocalReceiver receiver;
    const std::string server = " --server " + receiver.HostUrl();
    const struct {
        const char* label;
        std::string command;
        bool crash;
        bool keep;
    } runs[] = {
        {"crash, kept root", kSampleHost + " --crash --root " + kept + server, true, true},
        {"started by name from another folder",
         "cd " + elsewhere + " && TMPDIR=" + elsewhere + " PATH=" + tools +
             ":$PATH tvut_sample_host" + server,
         false, false},
        {"beta, relative path",
         "cd " + tools + " && TMPDIR=" + elsewhere + " ./tvut_sample_host --beta" + server, false,
         false},
    };
    // The receiver accepts every upload.
    const std::set<int> send_codes = {UT_SEND_OK};
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
                  output.find("GetUserID                          -> \"sample.user@example.com\" "
                              "(23 UTF-16 code units)"))
            << output;
        EXPECT_EQ(-1, lines["GetUsageConsent"].first);

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

namespace {

std::wstring WideOf(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}

// A whole session of product line/release in the fixture's roots; returns
// its session id.
std::string RunSession(std::u16string line, std::u16string release, bool crash) {
    EXPECT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTProductInfo* product = CUTProductInfo::Create();
    product->SetProductLineId(kormSTRING{&line[0], -1});
    product->SetReleaseId(kormSTRING{&release[0], -1});
    CUTFacade::GetUBInformation(product, nullptr, kormFALSE);
    product->Dispose();
    EXPECT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
    if (crash) {
        EXPECT_EQ(UT_CRASH_OK, CUTFacade::OnCrash());
    }
    // The session id is the name of the transcript just written.
    const tvut_test::TranscriptFolder listing = tvut_test::ListTranscriptFolder(
        std::string(getenv("XDG_DATA_HOME")) + "/Telvoran/TVUT/" + ToUtf8(WideOf(line)) + "_" +
        ToUtf8(WideOf(release)) + "/Transcripts");
    EXPECT_EQ(1u, listing.transcripts.size());
    std::string name = listing.transcripts.empty() ? "" : listing.transcripts[0];
    name = name.substr(name.rfind('/') + 1);
    EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
    return name.substr(0, name.size() - 4);
}

}  // namespace

TEST_F(ToolsTest, PendingListsTheWaitingTranscriptsAndDecodeShowsThem) {
    std::string output;
    ASSERT_EQ(0, Inspect("pending", &output));
    EXPECT_NE(std::string::npos, output.find("none")) << output;

    const std::string crashed = RunSession(u"LINE", u"2026", true);
    const std::string clean = RunSession(u"OTHER", u"1", false);
    ASSERT_EQ(38u, crashed.size());
    ASSERT_EQ(38u, clean.size());
    const std::string folder = roots_.pi_ud_folder() + "/LINE_2026/Transcripts/";
    ASSERT_TRUE(WriteFile(folder + "{00000000-0000-4000-8000-000000000000}.utt", "not xml"));
    ASSERT_TRUE(WriteFile(folder + crashed + ".tmp0123456789AB", "left by a killed writer"));

    ASSERT_EQ(0, Inspect("pending", &output));
    const std::string time = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}";
    EXPECT_TRUE(std::regex_search(
        output, std::regex("LINE_2026 +\\" + crashed + " +" + time + " +" + time + " +yes +\\d+")))
        << output;
    EXPECT_TRUE(std::regex_search(
        output, std::regex("OTHER_1 +\\" + clean + " +" + time + " +" + time + " +no +\\d+")))
        << output;
    EXPECT_NE(std::string::npos, output.find("(not a readable transcript)")) << output;
    EXPECT_EQ(std::string::npos, output.find(".tmp")) << "temporary files are not pending";
    EXPECT_NE(std::string::npos, output.find("3 transcripts")) << output;

    ASSERT_EQ(0, Inspect("pending OTHER 1", &output));
    EXPECT_EQ(std::string::npos, output.find("LINE_2026")) << output;
    EXPECT_NE(std::string::npos, output.find("1 transcript")) << output;
    EXPECT_EQ(2, Inspect("pending OTHER", &output));

    ASSERT_EQ(0, Inspect("decode '" + folder + crashed + ".utt'", &output));
    EXPECT_NE(std::string::npos, output.find("stored scrambled")) << output;
    EXPECT_NE(std::string::npos, output.find("session=\"" + crashed + "\"")) << output;
    EXPECT_NE(std::string::npos, output.find("isCrash=\"1\"")) << output;
}

TEST_F(ToolsTest, SampleHostShowsTheTranscriptItsSessionLeft) {
    std::string output;
    LocalReceiver receiver;
    ASSERT_EQ(0, RunCommand(kSampleHost + " --crash --root " + roots_.folder().Join("sample") +
                                " --server " + receiver.HostUrl(),
                            &output));
    for (const char* expected :
         {"LogUsageData                       -> 200", "OnCrash                            -> 400",
          "decode ", ".utt", "<transcript guid=", "<product_line_id>SAMPLE</product_line_id>",
          "isCrash=\"1\""}) {
        EXPECT_NE(std::string::npos, output.find(expected)) << expected << "\n" << output;
    }
}

// What scripts/run.sh shows: pointed at a server, a first run in a new root
// uploads (first with nothing waiting, then, asked to send now, the session's
// transcript, which is removed once accepted); a second run in the same root
// only wakes the worker, which finds no send due and uploads nothing.
TEST_F(ToolsTest, SampleHostUploadsToItsServerThenWaitsForTheNextScheduledSend) {
    LocalReceiver receiver;
    const std::string root = roots_.folder().Join("sent");
    const std::string command =
        kSampleHost + " --calls-only --root " + root + " --server " + receiver.HostUrl();
    std::string output;
    ASSERT_EQ(0, RunCommand(command + " --send-now", &output)) << output;
    auto lines = StatusLines(output);
    EXPECT_EQ(UT_SEND_OK, lines["GetUBInformation (kormFALSE)"].first) << output;
    EXPECT_EQ(UT_SEND_OK, lines["GetUBInformation (kormTRUE)"].first) << output;
    EXPECT_NE(std::string::npos, output.find("Info: Will Send Synchronously.....")) << output;
    EXPECT_NE(std::string::npos, output.find("Info: Send Payload Success!")) << output;
    EXPECT_EQ(std::string::npos, output.find("Files under")) << "--calls-only shows no files";

    ASSERT_TRUE(receiver.WaitForRequests(2));
    auto requests = receiver.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("none", requests[0].archive) << "nothing waited before LogUsageData";
    EXPECT_EQ("ok", requests[1].archive);
    EXPECT_TRUE(requests[0].problems.empty() && requests[1].problems.empty());
    ASSERT_EQ(1u, requests[1].transcripts.size());
    EXPECT_EQ("SAMPLE", requests[1].fields["PROD_LINE_ID"]);
    const std::string sent_xml = requests[1].transcripts.begin()->second;
    EXPECT_NE(std::string::npos, sent_xml.find("<end_time isCrash=\"0\">-1</end_time>"))
        << "sent before CleanUp stamped the end time:\n"
        << sent_xml;

    // Only CleanUp's final version of that session waits.
    const std::string folder = root + "/user/Telvoran/TVUT/SAMPLE_2026/Transcripts";
    tvut_test::TranscriptFolder listing = tvut_test::ListTranscriptFolder(folder);
    ASSERT_EQ(1u, listing.transcripts.size());
    std::map<std::string, std::string> values;
    std::string report;
    ASSERT_TRUE(tvut_test::ReadTranscript(listing.transcripts[0], &values, &report)) << report;
    EXPECT_NE("-1", values["transcript/usage_data/end_time"]);
    EXPECT_EQ(std::string::npos, sent_xml.find(values["transcript@guid"]))
        << "the version that waits is not the one sent";

    ASSERT_EQ(0, RunCommand(command, &output)) << output;
    lines = StatusLines(output);
    EXPECT_EQ(UT_SEND_OK, lines["GetUBInformation (kormFALSE)"].first) << output;
    EXPECT_EQ(0u, lines.count("GetUBInformation (kormTRUE)"));
    EXPECT_NE(std::string::npos, output.find("Info: Will Send Asynchronously.....")) << output;
    EXPECT_NE(std::string::npos, output.find("Info: Not the Time to send.")) << output;
    EXPECT_EQ(2, receiver.ArrivalCount());
    EXPECT_EQ(2u, tvut_test::ListTranscriptFolder(folder).transcripts.size());
}
