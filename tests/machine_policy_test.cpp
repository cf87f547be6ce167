// The machine policy: which documents are in force, passed over in part or
// taken as damaged, what each gives every user (a receiver, tracking off,
// consent required), writes to what it fixes, and a user who cannot write
// the machine-wide settings. Real files in scratch roots, the local receiver
// on 127.0.0.1, a child process that runs as another user.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTMachinePolicy.h"
#include "config/UTStaticConfig.h"
#include "config/UTXMLConfig.h"
#include "support/ChildProcess.h"
#include "support/HostObjects.h"
#include "support/LocalReceiver.h"
#include "support/LogLines.h"
#include "support/ScratchRoots.h"
#include "support/TranscriptFiles.h"

using tvut_test::LocalReceiver;
using tvut_test::ScratchRoots;
using tvut_test::WriteFile;

namespace {

// A policy document with these elements inside its root.
std::string Policy(const std::string& elements) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<TVUT_POLICY>\n" + elements +
           "</TVUT_POLICY>\n";
}

const char kReceiverElement[] = "<ReceivingHost value=\"http://127.0.0.1:9/FromThePolicy\" />\n";

class HostObjects : public tvut_test::HostObjects {
public:
    HostObjects() : tvut_test::HostObjects(u"7", u"F", nullptr) {}
};

class MachinePolicyTest : public ::testing::Test {
protected:
    void TearDown() override { CUTFacade::CleanUp(); }

    // The document at the policy's place, readable by everyone, written by
    // its owner only (as an installer leaves it).
    bool PlacePolicy(const std::string& bytes) const {
        return WriteFile(roots_.policy_path(), bytes) &&
               ::chmod(roots_.policy_path().c_str(), 0644) == 0;
    }
    static void StoreConsent(const wchar_t* value) {
        CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(user.Load());
        user.SetValue(L"UsageConsent", value, true);
    }
    std::string Log() const { return roots_.pi_ud_folder() + "/TVUTLog.log"; }

    ScratchRoots roots_;
};

}  // namespace

TEST_F(MachinePolicyTest, DocumentsInForcePassedOverAndDamaged) {
    const std::string place = roots_.policy_path();
    const std::string good = Policy(kReceiverElement);
    const struct {
        const char* label;
        std::function<bool()> place_it;
        CUTMachinePolicy::State state;
        size_t notes;
        bool fixes_receiver;
        const char* described_as;
    } cases[] = {
        {"absent", [] { return true; }, CUTMachinePolicy::kNone, 0, false, "does not exist"},
        {"in force", [&] { return PlacePolicy(good); }, CUTMachinePolicy::kInForce, 0, true,
         "in force: 1 settings fixed"},
        {"switches",
         [&] {
             return PlacePolicy(
                 Policy("<UsageTracking value=\"0\" />\n"
                        "<RequireConsent value=\"1\" />\n"));
         },
         CUTMachinePolicy::kInForce, 0, false, "tracking off for every user"},
        {"items passed over",
         [&] {
             return PlacePolicy(Policy(std::string(kReceiverElement) +
                                       "<Frobnicate value=\"1\" />\n"
                                       "<TelvoranLogin value=\"someone\" />\n"
                                       "<LogLevel value=\"9\" />\n"
                                       "<MaxFileCount />\n"));
         },
         CUTMachinePolicy::kInForce, 4, true, "in force: 1 settings fixed"},
        {"symlink to a document",
         [&] {
             return PlacePolicy(good) && ::rename(place.c_str(), (place + ".real").c_str()) == 0 &&
                    ::symlink((place + ".real").c_str(), place.c_str()) == 0;
         },
         CUTMachinePolicy::kInForce, 0, true, "in force"},
        {"dangling symlink",
         [&] { return ::symlink((place + ".gone").c_str(), place.c_str()) == 0; },
         CUTMachinePolicy::kDamaged, 0, false, "is a link to nothing"},
        {"malformed", [&] { return PlacePolicy("<?xml version=\"1.0\" ?><TVUT_POLICY><Receiv"); },
         CUTMachinePolicy::kDamaged, 0, false, "is not a document tvUT reads"},
        {"empty", [&] { return PlacePolicy(""); }, CUTMachinePolicy::kDamaged, 0, false,
         "is not a document tvUT reads"},
        {"wrong root", [&] { return PlacePolicy("<?xml version=\"1.0\" ?><PROD_IND_USER_IND />"); },
         CUTMachinePolicy::kDamaged, 0, false, "has no TVUT_POLICY root element"},
        {"switch neither 0 nor 1",
         [&] { return PlacePolicy(Policy("<UsageTracking value=\"yes\" />\n")); },
         CUTMachinePolicy::kDamaged, 0, false, "UsageTracking is \"yes\", neither"},
        {"group-writable", [&] { return PlacePolicy(good) && ::chmod(place.c_str(), 0664) == 0; },
         CUTMachinePolicy::kDamaged, 0, false, "may be written by its group or by others"},
        {"FIFO", [&] { return ::mkfifo(place.c_str(), 0644) == 0; }, CUTMachinePolicy::kDamaged, 0,
         false, "is not a regular file"},
        {"folder", [&] { return ::mkdir(place.c_str(), 0755) == 0; }, CUTMachinePolicy::kDamaged, 0,
         false, "is not a regular file"},
        {"over 64 KiB",
         [&] {
             return PlacePolicy(Policy(std::string(kReceiverElement) + "<!-- " +
                                       std::string(70000, 'x') + " -->\n"));
         },
         CUTMachinePolicy::kDamaged, 0, false, "is larger than 65536 bytes"},
        {"deeply nested",
         [&] {
             return PlacePolicy(
                 Policy(tvut_test::Repeated("<a>", 5000) + tvut_test::Repeated("</a>", 5000)));
         },
         CUTMachinePolicy::kDamaged, 0, false, "is not a document tvUT reads"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ::unlink(place.c_str());
        ::rmdir(place.c_str());
        ASSERT_TRUE(c.place_it());
        const std::shared_ptr<const CUTMachinePolicy> policy = CUTMachinePolicy::Load();
        EXPECT_EQ(c.state, policy->state());
        EXPECT_EQ(FromUtf8(place), policy->source());
        EXPECT_EQ(c.notes, policy->notes().size());
        std::wstring value;
        EXPECT_EQ(c.fixes_receiver, policy->Fixes(L"ReceivingHost", &value));
        if (c.fixes_receiver) {
            EXPECT_EQ(L"http://127.0.0.1:9/FromThePolicy", value);
        }
        EXPECT_NE(std::string::npos, policy->Describe().find(c.described_as)) << policy->Describe();
        EXPECT_EQ(c.state == CUTMachinePolicy::kDamaged,
                  policy->Describe().find("tracking is off for every user") != std::string::npos);
        ::unlink((place + ".real").c_str());
    }
}

TEST_F(MachinePolicyTest, DuplicatesGiveTheCautiousReading) {
    ASSERT_TRUE(
        PlacePolicy(Policy("<LogLevel value=\"2\" />\n<LogLevel value=\"4\" />\n"
                           "<UsageTracking value=\"0\" />\n<UsageTracking value=\"1\" />\n"
                           "<RequireConsent value=\"1\" />\n"
                           "<RequireConsent value=\"0\" />\n")));
    const std::shared_ptr<const CUTMachinePolicy> policy = CUTMachinePolicy::Load();
    std::wstring value;
    ASSERT_TRUE(policy->Fixes(L"LogLevel", &value));
    EXPECT_EQ(L"2", value) << "the first counts, as in the settings files";
    EXPECT_EQ(1u, policy->notes().size());
    EXPECT_FALSE(policy->AllowsTracking(1)) << "an \"off\" anywhere holds";
    ASSERT_TRUE(
        PlacePolicy(Policy("<RequireConsent value=\"1\" />\n"
                           "<RequireConsent value=\"0\" />\n")));
    EXPECT_FALSE(CUTMachinePolicy::Load()->AllowsTracking(-1)) << "consent stays required";
}

// Which rule decides, for each consent: the policy's switches first, then
// the user's decision.
TEST_F(MachinePolicyTest, TrackingAllowedByPolicyAndConsent) {
    const struct {
        const char* label;
        std::string document;  // empty: no policy
        bool allowed[3];       // consent -1, 0, 1
        const char* why_undecided;
    } cases[] = {
        {"no policy", "", {true, false, true}, "the user has not decided"},
        {"tracking on",
         Policy("<UsageTracking value=\"1\" />\n"),
         {true, false, true},
         "the user has not decided"},
        {"tracking off",
         Policy("<UsageTracking value=\"0\" />\n"),
         {false, false, false},
         "the machine policy turns tracking off"},
        {"consent required",
         Policy("<RequireConsent value=\"1\" />\n"),
         {false, false, true},
         "the machine policy requires consent, which the user has not given"},
        {"damaged",
         Policy("<RequireConsent value=\"maybe\" />\n"),
         {false, false, false},
         "tracking is off for every user until it is fixed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ::unlink(roots_.policy_path().c_str());
        if (!c.document.empty()) {
            ASSERT_TRUE(PlacePolicy(c.document));
        }
        const std::shared_ptr<const CUTMachinePolicy> policy = CUTMachinePolicy::Load();
        for (int32_t consent = -1; consent <= 1; ++consent) {
            SCOPED_TRACE(consent);
            std::string why;
            EXPECT_EQ(c.allowed[consent + 1], policy->AllowsTracking(consent, &why));
            EXPECT_FALSE(why.empty());
            if (consent == -1) {
                EXPECT_NE(std::string::npos, why.find(c.why_undecided)) << why;
            }
        }
    }
}

// Through the calls a host makes: what each policy leaves of a session.
TEST_F(MachinePolicyTest, PolicySwitchesHoldForTheHostsCalls) {
    const struct {
        const char* label;
        std::string document;
        const wchar_t* consent;  // null: never decided
        UTStatus hand_over;
        UTStatus log_usage;
    } cases[] = {
        {"tracking off, consent given", Policy("<UsageTracking value=\"0\" />\n"), L"1",
         UT_TRACKING_OFF, UT_TRACKING_OFF},
        {"consent required, not decided", Policy("<RequireConsent value=\"1\" />\n"), nullptr,
         UT_TRACKING_OFF, UT_TRACKING_OFF},
        {"consent required and given", Policy("<RequireConsent value=\"1\" />\n"), L"1",
         UT_SEND_NOT_DELIVERED, UT_LOG_USAGE_OK},
        {"damaged", "<TVUT_POLICY><UsageTracking", L"1", UT_TRACKING_OFF, UT_TRACKING_OFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(PlacePolicy(c.document));
        StoreConsent(c.consent != nullptr ? c.consent : L"-1");
        ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
        HostObjects host;
        EXPECT_EQ(c.hand_over, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
        EXPECT_EQ(c.log_usage, CUTFacade::LogUsageData());
        EXPECT_EQ(c.log_usage == UT_LOG_USAGE_OK ? UT_CRASH_OK : UT_TRACKING_OFF,
                  CUTFacade::OnCrash());
        EXPECT_EQ(UT_CLEANUP_OK, CUTFacade::CleanUp());
        EXPECT_EQ(c.log_usage == UT_LOG_USAGE_OK ? 1u : 0u,
                  tvut_test::ListTranscriptFolder(roots_.pi_ud_folder() + "/LINE_7/Transcripts")
                      .transcripts.size());
        std::string output;
        ASSERT_EQ(0,
                  tvut_test::RunCommand("rm -rf '" + roots_.pi_ud_folder() + "/LINE_7'", &output));
    }
    // Where consent is required, giving it starts tracking at once.
    ASSERT_TRUE(PlacePolicy(Policy("<RequireConsent value=\"1\" />\n")));
    StoreConsent(L"-1");
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    EXPECT_EQ(UT_TRACKING_OFF, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE));
    EXPECT_EQ(UT_CONSENT_STORED, CUTFacade::SetUsageConsent(kormTRUE));
    EXPECT_EQ(UT_LOG_USAGE_OK, CUTFacade::LogUsageData());
}

// A value the policy fixes wins over the settings files, and writes to it
// are dropped, said once.
TEST_F(MachinePolicyTest, FixedValueWinsAndWritesToItAreDropped) {
    LocalReceiver receiver;
    ASSERT_TRUE(tvut_test::WriteMachineSettings(
        {{L"EnableLogging", L"1"}, {L"LogLevel", L"5"}, {L"CommunicationCheckTime", L"3600000"}}));
    ASSERT_TRUE(PlacePolicy(Policy("<ReceivingHost value=\"" + receiver.HostUrl() + "\" />\n")));
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    HostObjects host;
    EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE))
        << "the machine file names a port where nothing listens";
    ASSERT_TRUE(receiver.WaitForArrivals(1));

    CUTStaticConfig* store = CUTConfigManager::PeekInstance()->Store();
    store->SetString(L"ReceivingHost", L"http://127.0.0.1:2/Elsewhere", true);
    store->SetString(L"ReceivingHost", L"http://127.0.0.1:3/Elsewhere", true);
    EXPECT_EQ(FromUtf8(receiver.HostUrl()), store->GetString(L"ReceivingHost", true));
    CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
    ASSERT_TRUE(machine.Load());
    std::wstring stored;
    ASSERT_TRUE(machine.GetValue(L"ReceivingHost", false, &stored));
    EXPECT_EQ(FromUtf8(tvut_test::kNoServerHost), stored) << "the file is left as it was";
    EXPECT_EQ(1u, tvut_test::LogMessagesStartingWith(
                      Log(), "Warning", "ReceivingHost is fixed by the machine policy to")
                      .size());
}

// The case the policy is for: a user who cannot write the machine-wide
// settings takes the machine-wide items from the user file, so only the
// policy reaches that user. Needs root, to run the child as nobody.
TEST_F(MachinePolicyTest, UserWhoCannotWriteTheMachineFileFollowsThePolicy) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    constexpr uid_t kNobody = 65534;
    LocalReceiver receiver;
    ASSERT_TRUE(PlacePolicy(Policy("<ReceivingHost value=\"" + receiver.HostUrl() + "\" />\n")));
    {
        // What the user file holds once filled with defaults, pointed at no
        // server, so that a fault never reaches a real one.
        CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(user.Load());
        user.SetValue(L"ReceivingHost", FromUtf8(tvut_test::kNoServerHost), false);
        user.SetValue(L"CommunicationCheckTime", L"3600000", true);
    }
    const std::string scratch = roots_.folder().path();
    std::string output;
    ASSERT_EQ(0, tvut_test::RunCommand("chmod 0755 '" + scratch + "' && chmod -R a+rX '" +
                                           roots_.machine_root() + "' && chown -R 65534:65534 '" +
                                           roots_.user_root() + "' '" + roots_.runtime_root() + "'",
                                       &output))
        << output;
    tvut_test::ChildProcess child([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            return 20;
        }
        const UTStatus init = CUTFacade::InitUTComponent();
        if (init != UT_INIT_OK) {
            return 100 + (-init % 100);
        }
        HostObjects host;
        const UTStatus sent = CUTFacade::GetUBInformation(host.product(), host.user(), kormTRUE);
        CUTFacade::CleanUp();
        return sent == UT_SEND_OK ? 0 : 22;
    });
    EXPECT_EQ(0, child.Wait());
    EXPECT_EQ(1, receiver.ArrivalCount());
    ASSERT_EQ(0, tvut_test::RunCommand("chown -R 0:0 '" + scratch + "'", &output)) << output;
}
