// Several real processes load, change and save the same configuration file
// at once, and some are killed in the middle of their work. At every moment
// the file on disk must parse, and every value in it must come from one
// whole save.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <tinyxml.h>

#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "platform/UTTextCodec.h"
#include "support/ChildProcess.h"
#include "support/ScratchRoots.h"

using tvut_test::ChildProcess;
using tvut_test::ReadFile;
using tvut_test::ScratchRoots;

namespace {

// The login written with a stamp is the stamp repeated: a torn or mixed file
// shows up as a login that does not match its stamp.
std::wstring LoginFor(const std::wstring& stamp) {
    std::wstring login;
    for (int i = 0; i < 40; ++i) {
        login += stamp + L";";
    }
    return login;
}

int Writer(int id, int rounds) {
    for (int round = 0; rounds < 0 || round < rounds; ++round) {
        CUTXMLConfig config(UT_CONFIG_PI_UD, kComponentFolderName);
        if (!config.Load()) {
            return 3;
        }
        const std::wstring stamp = std::to_wstring(id) + L"000" + std::to_wstring(round);
        config.SetValue(L"LastSendTimestamp", stamp, false);
        config.SetValue(L"TelvoranLogin", LoginFor(stamp), false);
        if (!config.Save()) {
            return 4;
        }
    }
    return 0;
}

// Checks one snapshot of the file; returns "" when it is sound.
std::string CheckSnapshot(const std::string& bytes) {
    std::string xml;
    if (!CUTXMLConfig::DecodeFileBytes(bytes, UT_CONFIG_PI_UD, &xml)) {
        return "file does not parse (" + std::to_string(bytes.size()) + " bytes)";
    }
    TiXmlDocument document;
    document.Parse(xml.c_str());
    TiXmlElement* root = document.RootElement();
    TiXmlElement* stamp = root->FirstChildElement("LastSendTimestamp");
    TiXmlElement* login = root->FirstChildElement("TelvoranLogin");
    if (stamp == nullptr || login == nullptr) {
        return "items missing";
    }
    const std::wstring stamp_text = FromUtf8(*stamp->Attribute(std::string("value")));
    const std::wstring login_text = FromUtf8(*login->Attribute(std::string("value")));
    if (stamp_text == L"-1" && login_text.empty()) {
        return "";  // defaults, before the first save
    }
    if (login_text != LoginFor(stamp_text)) {
        return "values of different saves mixed";
    }
    return "";
}

class ConfigMultiProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        CUTXMLConfig config(UT_CONFIG_PI_UD, kComponentFolderName);
        ASSERT_TRUE(config.Load());
        path_ = roots_.pi_ud_folder() + "/ProdInd_UserDep.cur";
    }

    ScratchRoots roots_;
    std::string path_;
};

}  // namespace

TEST_F(ConfigMultiProcessTest, ConcurrentSavesAreAlwaysWhole) {
    std::vector<std::unique_ptr<ChildProcess>> writers;
    for (int id = 1; id <= 4; ++id) {
        writers.push_back(std::make_unique<ChildProcess>([id] { return Writer(id, 150); }));
    }
    // Snapshots taken while the writers run, without any lock: what another
    // process that reads the file sees.
    for (int snapshot = 0; snapshot < 400; ++snapshot) {
        ASSERT_EQ("", CheckSnapshot(ReadFile(path_))) << "snapshot " << snapshot;
    }
    for (auto& writer : writers) {
        EXPECT_EQ(0, writer->Wait());
    }
    EXPECT_EQ("", CheckSnapshot(ReadFile(path_)));
}

TEST_F(ConfigMultiProcessTest, WritersKilledAtRandomMomentsNeverLeaveATornFile) {
    std::mt19937 random(20261209);
    std::vector<std::unique_ptr<ChildProcess>> writers;
    for (int id = 1; id <= 3; ++id) {
        writers.push_back(std::make_unique<ChildProcess>([id] { return Writer(id, -1); }));
    }
    int next_id = 10;
    for (int kill = 0; kill < 60; ++kill) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ASSERT_EQ("", CheckSnapshot(ReadFile(path_))) << "before kill " << kill;
        const size_t victim = random() % writers.size();
        writers[victim]->Kill();
        EXPECT_EQ(128 + 9, writers[victim]->Wait()) << "the writer was still working";
        const int id = next_id++;
        writers[victim] = std::make_unique<ChildProcess>([id] { return Writer(id, -1); });
    }
    for (auto& writer : writers) {
        writer->Kill();
        writer->Wait();
    }
    ASSERT_EQ("", CheckSnapshot(ReadFile(path_)));

    // A new process reads the last whole save, not defaults.
    CUTXMLConfig reader(UT_CONFIG_PI_UD, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    std::wstring stamp;
    ASSERT_TRUE(reader.GetValue(L"LastSendTimestamp", false, &stamp));
    EXPECT_NE(L"-1", stamp);
}
