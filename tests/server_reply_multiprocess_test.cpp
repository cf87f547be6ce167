// Recording a delivered send beside another process that changes the login,
// both in real processes on the same settings file: neither change may be
// lost, not even for a moment, however their saves interleave. One process
// records sends with rising send times, the other stores rising logins;
// each only ever writes its own item, so every snapshot of the file must
// show both items rising and the end must show both last values.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include <tinyxml.h>

#include "base/UTTextCodec.h"
#include "comm/UTHttpClient.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "platform/UTPlatform.h"
#include "support/ChildProcess.h"
#include "support/FakePlatforms.h"
#include "support/ReplyReplay.h"
#include "support/ScratchRoots.h"

using tvut_test::ChildProcess;
using tvut_test::ReadFile;
using tvut_test::ScratchRoots;

namespace {

constexpr int kRounds = 150;
constexpr int64_t kFirstSend = 1765000000;

const char kAccepted[] =
    "<?xml version=\"1.0\"?><Reply><REQ_SESSION_ID>S</REQ_SESSION_ID>"
    "<REQ_STATUS_CODE>199</REQ_STATUS_CODE><EXT_DEP_STATUS_CODE>0</EXT_DEP_STATUS_CODE>"
    "<EXT_DEP_EXCEPTION_MSG></EXT_DEP_EXCEPTION_MSG></Reply>";

std::wstring Stored(const wchar_t* item) {
    CUTXMLConfig file(UT_FILE_PI_UD, kComponentFolderName);
    std::wstring value;
    file.Load();
    file.GetValue(item, false, &value);
    return value;
}

// A session that records delivered sends, as the send cycle does after each
// upload; its settings were loaded once, at its start.
int Sender() {
    tvut_test::ClockPlatform clock;
    CUTScopedPlatform installed(&clock);
    if (CUTConfigManager::GetInstance() == nullptr) {
        return 2;
    }
    for (int round = 1; round <= kRounds; ++round) {
        clock.Set(kFirstSend + round);
        CUTHttpClient client("https://127.0.0.1/r");
        std::wstring session_id;
        if (tvut_test::ReceiveReply(client, kAccepted, sizeof(kAccepted) - 1, &session_id) != 0) {
            return 3;
        }
        if (Stored(L"LastSendTimestamp") != std::to_wstring(kFirstSend + round)) {
            return 4;
        }
    }
    return 0;
}

// A session whose host changes the login; its settings were loaded once, at
// its start.
int LoginChanger() {
    CUTConfigManager* config = CUTConfigManager::GetInstance();
    if (config == nullptr) {
        return 2;
    }
    for (int round = 1; round <= kRounds; ++round) {
        const std::wstring login = L"user" + std::to_wstring(round);
        config->Store()->SetString(L"TelvoranLogin", login, true);
        if (Stored(L"TelvoranLogin") != login) {
            return 4;
        }
    }
    return 0;
}

// The two items of one snapshot of the file: the send time and the login's
// round (0 before the first), or false when the file does not parse.
bool Snapshot(const std::string& path, long long* send_time, long long* login_round) {
    std::string xml;
    if (!CUTXMLConfig::DecodeFileBytes(ReadFile(path), UT_FILE_PI_UD, &xml)) {
        return false;
    }
    TiXmlDocument document;
    document.Parse(xml.c_str());
    const TiXmlElement* root = document.RootElement();
    const TiXmlElement* stamp = root ? root->FirstChildElement("LastSendTimestamp") : nullptr;
    const TiXmlElement* login = root ? root->FirstChildElement("TelvoranLogin") : nullptr;
    if (stamp == nullptr || login == nullptr || stamp->Attribute("value") == nullptr ||
        login->Attribute("value") == nullptr) {
        return false;
    }
    *send_time = std::stoll(stamp->Attribute("value"));
    const std::string login_text = login->Attribute("value");
    *login_round = login_text.empty() ? 0 : std::stoll(login_text.substr(4));
    return true;
}

}  // namespace

TEST(ServerReplyMultiProcessTest, DeliveredSendsAndLoginChangesAtOnceLoseNeither) {
    ScratchRoots roots;
    {
        CUTXMLConfig file(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(file.Load());
    }
    const std::string path = roots.pi_ud_folder() + "/ProdInd_UserDep.cur";

    ChildProcess sender(&Sender);
    ChildProcess changer(&LoginChanger);
    long long last_send = -1, last_round = 0;
    for (int snapshot = 0; snapshot < 300; ++snapshot) {
        long long send_time = 0, login_round = 0;
        ASSERT_TRUE(Snapshot(path, &send_time, &login_round)) << "snapshot " << snapshot;
        ASSERT_GE(send_time, last_send) << "a send time was undone, snapshot " << snapshot;
        ASSERT_GE(login_round, last_round) << "a login was undone, snapshot " << snapshot;
        last_send = send_time;
        last_round = login_round;
    }
    EXPECT_EQ(0, sender.Wait());
    EXPECT_EQ(0, changer.Wait());

    EXPECT_EQ(std::to_wstring(kFirstSend + kRounds), Stored(L"LastSendTimestamp"));
    EXPECT_EQ(L"user" + std::to_wstring(kRounds), Stored(L"TelvoranLogin"));
}
