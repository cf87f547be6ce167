// Many short host sessions at once, some killed at random moments, all
// sharing one machine root and one user root: they compete for the sending
// lock and write into the same Transcripts folders while uploads to the local
// receiver come and go. Afterwards one last synchronous send must leave
// nothing waiting, and the receiver must hold every session's final state.
//
// The run is random but reproducible: it prints its seed, and
// TVUT_STRESS_SEED=<seed> repeats its plan (each session's product, whether
// it sends synchronously or crashes, its pauses and the moment it is
// killed); how the processes interleave is the machine's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "config/UTConfigManager.h"
#include "config/UTRuntimeConfig.h"
#include "manager/UTPendingTranscripts.h"
#include "manager/UTTranscriptManager.h"
#include "support/ChildProcess.h"
#include "support/LocalReceiver.h"
#include "support/LogLines.h"
#include "support/ScratchRoots.h"
#include "support/TranscriptFiles.h"
#include "support/WaitFor.h"
#include "transcript/MLSerializer.h"

using tvut_test::ChildProcess;
using tvut_test::LocalReceiver;
using tvut_test::ReceivedRequest;
using tvut_test::ScratchRoots;
using tvut_test::WaitFor;

namespace {

constexpr int kHosts = 6;
constexpr int kSessionsPerHost = 20;

struct Product {
    const char16_t* line;
    const char16_t* release;
    const char* folder;
};
const Product kProducts[] = {
    {u"ALPHA", u"1", "ALPHA_1"}, {u"BRAVO", u"22", "BRAVO_22"}, {u"CHARLIE", u"3", "CHARLIE_3"}};

kormSTRING Text(const char16_t* text) {
    return kormSTRING{const_cast<kormCHAR*>(text), -1};
}

// What one session process does, drawn from the seeded generator.
struct SessionPlan {
    int index = 0;
    int product = 0;
    bool synchronous = false;
    bool crash = false;
    // Pauses between the steps, as a product does other work.
    int pause_ms[4] = {0, 0, 0, 0};
    // Killed this long after its start; negative: left to end.
    int kill_after_ms = -1;
};

// A line of the session's notes: appended with one write, so that a kill
// leaves whole lines.
void Note(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        std::_Exit(30);
    }
}

// CLOCK_MONOTONIC, as the receiver stamps its requests.
int64_t MonotonicNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The wall clock in whole seconds, read as the component reads it
// (CLOCK_REALTIME). Not std::time: glibc's time() reads the kernel's coarse
// clock, which for a few milliseconds after a second begins may still give
// the second before, so that an end time CleanUp stamped would seem to lie
// after the moment CleanUp returned.
int64_t WallSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The seeded pause between a session's calls: spreading the calls in time
// is what makes the kills land at different moments, so this sleep is the
// schedule under test, not a wait for something to happen.
void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The body of a session process. The notes say how far it got, from its own
// point of view: the session id, each call that completed, and the wall clock
// around CleanUp (which stamps the end time).
int RunSession(const SessionPlan& plan, const std::string& notes) {
    const int fd = ::open(notes.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return 20;
    }
    if (CUTFacade::InitUTComponent() != UT_INIT_OK) {
        return 21;
    }
    Note(fd, "session " + ToUtf8(CUTConfigManager::PeekInstance()->Runtime()->SessionId()));
    const Product& product = kProducts[plan.product];
    CUTProductInfo* info = CUTProductInfo::Create();
    CUTUserInfo* user = CUTUserInfo::Create();
    info->SetProductLineId(Text(product.line));
    info->SetReleaseId(Text(product.release));
    info->SetReleaseType(Text(u"F"));
    Pause(plan.pause_ms[0]);
    const UTStatus handed =
        CUTFacade::GetUBInformation(info, user, plan.synchronous ? kormTRUE : kormFALSE);
    info->Dispose();
    user->Dispose();
    Note(fd, "handed " + std::to_string(handed));
    Pause(plan.pause_ms[1]);
    const UTStatus logged = CUTFacade::LogUsageData();
    if (logged != UT_LOG_USAGE_OK) {
        return 22;
    }
    Note(fd, "logged");
    Pause(plan.pause_ms[2]);
    if (plan.crash) {
        if (CUTFacade::OnCrash() != UT_CRASH_OK) {
            return 23;
        }
        Note(fd, "crashed");
        Pause(plan.pause_ms[3]);
    }
    Note(fd,
         "cleanup_from " + std::to_string(WallSeconds()) + " " + std::to_string(MonotonicNanos()));
    if (CUTFacade::CleanUp() != UT_CLEANUP_OK) {
        return 24;
    }
    Note(fd, "cleanup_to " + std::to_string(WallSeconds()));
    ::close(fd);
    return 0;
}

// The notes of one session, read back by the test.
struct SessionNotes {
    std::string session;
    int handed = 0;
    bool has_handed = false;
    bool logged = false;
    bool crashed = false;
    int64_t cleanup_from = -1;
    int64_t cleanup_from_ns = -1;  // CLOCK_MONOTONIC
    int64_t cleanup_to = -1;       // -1 unless CleanUp returned
};

SessionNotes ReadNotes(const std::string& path) {
    SessionNotes notes;
    std::istringstream in(tvut_test::ReadFile(path));
    std::string key;
    while (in >> key) {
        if (key == "session") {
            in >> notes.session;
        } else if (key == "handed") {
            in >> notes.handed;
            notes.has_handed = true;
        } else if (key == "logged") {
            notes.logged = true;
        } else if (key == "crashed") {
            notes.crashed = true;
        } else if (key == "cleanup_from") {
            in >> notes.cleanup_from >> notes.cleanup_from_ns;
        } else if (key == "cleanup_to") {
            in >> notes.cleanup_to;
        }
    }
    return notes;
}

// One delivered version of a transcript, read from the receiver's decoded
// copy: each write of a session carries a new guid.
struct Version {
    std::string session;
    std::string guid;
    bool crash = false;
    int64_t end_time = -1;
};

bool ParseVersion(const std::string& xml, Version* version) {
    static const std::regex root(
        "<transcript[^>]*\\sguid=\"([^\"]+)\"[^>]*\\ssession=\"([^\"]+)\"");
    static const std::regex end("<end_time isCrash=\"([01])\">(-?[0-9]+)</end_time>");
    std::smatch match;
    if (!std::regex_search(xml, match, root)) {
        return false;
    }
    version->guid = match[1];
    version->session = match[2];
    if (!std::regex_search(xml, match, end)) {
        return false;
    }
    version->crash = match[1] == "1";
    version->end_time = std::stoll(match[2]);
    return true;
}

// A session process while it runs.
struct Running {
    SessionPlan plan;
    std::unique_ptr<ChildProcess> child;
    std::chrono::steady_clock::time_point kill_at;
    bool killed = false;
};

// What the test knows of a session once its process has ended.
struct Ended {
    SessionPlan plan;
    int exit_code = 0;
    bool killed = false;
    int pid = 0;
    SessionNotes notes;
    // A killed session's transcript as it was on disk right after the kill:
    // its final state, unless a send had already taken it.
    std::string last_guid_on_disk;
};

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

class SendStressTest : public ::testing::Test {
protected:
    void TearDown() override {
        CUTFacade::CleanUp();
        CUTTranscriptManager::DestroyInstance();
        CUTConfigManager::DestroyInstance();
    }

    std::string ComponentFolder() const { return roots_.pi_ud_folder(); }
    std::string TranscriptPath(const Ended& session) const {
        return ComponentFolder() + "/" + kProducts[session.plan.product].folder + "/Transcripts/" +
               session.notes.session + ".utt";
    }
    // What must not stay in the user component folder: archives, temporary
    // files, a lock folder.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> found;
        std::error_code ec;
        for (std::filesystem::recursive_directory_iterator it(ComponentFolder(), ec), end;
             !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.find(".tmp") != std::string::npos || it->path().extension() == ".zip" ||
                name == ".locks") {
                found.push_back(it->path().string());
            }
        }
        return found;
    }
    size_t Pending() const {
        return CUTPendingTranscripts(FromUtf8(ComponentFolder())).ListTranscripts().size();
    }

    ScratchRoots roots_;
};

unsigned SeedOfThisRun() {
    const char* given = std::getenv("TVUT_STRESS_SEED");
    if (given != nullptr && *given != 0) {
        return static_cast<unsigned>(std::strtoul(given, nullptr, 10));
    }
    return std::random_device()();
}

}  // namespace

TEST_F(SendStressTest, KilledAndCompetingSessionsLoseNothingAndLeaveNothingBehind) {
    const unsigned seed = SeedOfThisRun();
    std::printf("send stress seed %u (TVUT_STRESS_SEED=%u repeats this run's plan)\n", seed, seed);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);

    LocalReceiver receiver;
    // A scheduled check sends once a second has passed since the last
    // delivered upload, so the background path uploads too; the repeating,
    // retry and restart timers stay out of the way.
    std::vector<std::pair<std::wstring, std::wstring>> settings =
        tvut_test::SendOnlyWhenAskedSettings(receiver.HostUrl());
    settings.insert(settings.end(), {{L"EnableLogging", L"1"},
                                     {L"LogLevel", L"3"},
                                     {L"MaxLogFileSize", L"100000000"},
                                     {L"CommunicationWaitTime", L"1000"}});
    ASSERT_TRUE(tvut_test::WriteMachineSettings(settings));
    const std::string notes_folder = roots_.folder().Join("notes");
    ASSERT_TRUE(std::filesystem::create_directory(notes_folder));

    // Each host runs its sessions one after the other, each in a process of
    // its own; the hosts run side by side.
    std::vector<std::vector<SessionPlan>> queues(kHosts);
    for (int i = 0; i < kHosts * kSessionsPerHost; ++i) {
        SessionPlan plan;
        plan.index = i;
        plan.product = static_cast<int>(random() % 3);
        plan.synchronous = random() % 4 == 0;
        plan.crash = random() % 3 == 0;
        for (int& pause : plan.pause_ms) {
            pause = static_cast<int>(random() % 30);
        }
        if (random() % 4 == 0) {
            plan.kill_after_ms = static_cast<int>(random() % 250);
        }
        queues[static_cast<size_t>(i % kHosts)].push_back(plan);
    }
    for (std::vector<SessionPlan>& queue : queues) {
        std::reverse(queue.begin(), queue.end());
    }

    std::vector<std::unique_ptr<Running>> running(kHosts);
    std::vector<Ended> ended;
    // CLOCK_MONOTONIC times of the kills, comparable with the receiver's.
    std::vector<int64_t> kill_times;
    const auto start = std::chrono::steady_clock::now();
    while (true) {
        bool any = false;
        for (int host = 0; host < kHosts; ++host) {
            std::unique_ptr<Running>& slot = running[static_cast<size_t>(host)];
            if (slot && slot->child->HasEnded()) {
                Ended done;
                done.plan = slot->plan;
                done.killed = slot->killed;
                done.pid = slot->child->pid();
                done.exit_code = slot->child->Wait();
                done.notes = ReadNotes(notes_folder + "/" + std::to_string(done.plan.index));
                if (done.killed && !done.notes.session.empty()) {
                    std::map<std::string, std::string> values;
                    std::string report;
                    if (tvut_test::ReadTranscript(TranscriptPath(done), &values, &report)) {
                        done.last_guid_on_disk = values["transcript@guid"];
                    }
                }
                ended.push_back(done);
                slot.reset();
            }
            std::vector<SessionPlan>& queue = queues[static_cast<size_t>(host)];
            if (!slot && !queue.empty()) {
                slot.reset(new Running);
                slot->plan = queue.back();
                queue.pop_back();
                const std::string notes = notes_folder + "/" + std::to_string(slot->plan.index);
                const SessionPlan plan = slot->plan;
                slot->kill_at = std::chrono::steady_clock::now() +
                                std::chrono::milliseconds(std::max(plan.kill_after_ms, 0));
                slot->child.reset(
                    new ChildProcess([plan, notes] { return RunSession(plan, notes); }));
            }
            if (slot && slot->plan.kill_after_ms >= 0 && !slot->killed &&
                std::chrono::steady_clock::now() >= slot->kill_at) {
                slot->child->Kill();
                slot->killed = true;
                kill_times.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
            }
            any = any || slot != nullptr;
        }
        if (!any) {
            break;
        }
        // Until a session ends or a kill is due.
        WaitFor([&running] {
            for (const std::unique_ptr<Running>& slot : running) {
                if (slot && (slot->child->HasEnded() ||
                             (slot->plan.kill_after_ms >= 0 && !slot->killed &&
                              std::chrono::steady_clock::now() >= slot->kill_at))) {
                    return true;
                }
            }
            return false;
        });
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // One last synchronous send, repeated while anything waits: every
    // session has ended, so this empties the folders.
    ASSERT_EQ(UT_INIT_OK, CUTFacade::InitUTComponent());
    CUTProductInfo* info = CUTProductInfo::Create();
    info->SetProductLineId(Text(kProducts[0].line));
    info->SetReleaseId(Text(kProducts[0].release));
    for (int round = 0; round < 10 && (round == 0 || Pending() > 0); ++round) {
        EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(info, nullptr, kormTRUE));
    }
    EXPECT_EQ(0u, Pending()) << "transcripts left after the final send";

    // A process killed during its send cycle leaves that cycle's archive,
    // one killed during a write (of a transcript or a settings file) its
    // temporary file; a later cycle removes
    // an archive once it is an hour old and a temporary file once it is
    // five minutes old (younger ones may still be in use by a process that
    // does not share this lock folder). Age them and send once more.
    const std::vector<std::string> archives_of_killed = Leftovers();
    for (const std::string& path : archives_of_killed) {
        const std::string name = std::filesystem::path(path).filename().string();
        EXPECT_TRUE(std::filesystem::path(path).extension() == ".zip" ||
                    CMLSerializer::IsTemporaryFileName(FromUtf8(name)) ||
                    name.find(".cur.tmp") != std::string::npos)
            << path;
        std::error_code ec;
        std::filesystem::last_write_time(
            path, std::filesystem::last_write_time(path, ec) - std::chrono::hours(2), ec);
    }
    if (!archives_of_killed.empty()) {
        EXPECT_EQ(UT_SEND_OK, CUTFacade::GetUBInformation(info, nullptr, kormTRUE));
    }
    info->Dispose();

    // What the receiver got.
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    std::map<std::string, std::vector<Version>> delivered;  // by session
    std::map<std::string, int> deliveries_of_version;       // by guid
    int abandoned = 0;
    for (const ReceivedRequest& request : requests) {
        if (request.reply.rfind("none", 0) == 0) {
            // The sender went away (killed, or its CleanUp stopped the
            // upload) before the body was in: nothing was delivered.
            ++abandoned;
            continue;
        }
        EXPECT_NE("corrupt", request.archive) << "request " << request.index;
        EXPECT_TRUE(request.problems.empty())
            << "request " << request.index << ": " << Join(request.problems);
        for (const auto& entry : request.transcripts) {
            Version version;
            if (!ParseVersion(entry.second, &version)) {
                ADD_FAILURE() << "request " << request.index << " entry " << entry.first
                              << " is not a transcript:\n"
                              << entry.second;
                continue;
            }
            delivered[version.session].push_back(version);
            ++deliveries_of_version[version.guid];
        }
    }

    // One upload at a time. The receiver stamps a request's end after its
    // reply has gone out, so a sender that has its answer may begin the next
    // upload before that stamp; the next request must not begin before the
    // previous body was received in full, though. A sender that was killed,
    // or stopped by its CleanUp, lets go of the lock early: such a moment
    // between the two starts excuses the overlap.
    std::map<int, int64_t> arrivals = receiver.ArrivalTimes();  // request index -> body received
    std::vector<int64_t> early_releases = kill_times;
    for (const Ended& session : ended) {
        if (session.notes.cleanup_from_ns >= 0) {
            early_releases.push_back(session.notes.cleanup_from_ns);
        }
    }
    std::vector<ReceivedRequest> by_start = tvut_test::ByStart(requests);
    by_start.erase(std::remove_if(by_start.begin(), by_start.end(),
                                  [&arrivals](const ReceivedRequest& request) {
                                      return arrivals.count(request.index) == 0;
                                  }),
                   by_start.end());
    for (size_t i = 1; i < by_start.size(); ++i) {
        const ReceivedRequest& before = by_start[i - 1];
        const ReceivedRequest& after = by_start[i];
        if (arrivals[before.index] < after.start_ns) {
            continue;
        }
        const bool excused =
            std::any_of(early_releases.begin(), early_releases.end(),
                        [&](int64_t at) { return at >= before.start_ns && at <= after.start_ns; });
        EXPECT_TRUE(excused) << "upload " << after.index << " began before the body of upload "
                             << before.index << " was in";
    }
    // The senders' own account, from the shared log: between a process's
    // "Start Sending Request...." and its outcome no other process starts
    // one, unless the first was killed meanwhile.
    std::set<int> killed_pids;
    for (const Ended& session : ended) {
        if (session.killed) {
            killed_pids.insert(session.pid);
        }
    }
    int open_sender = 0;
    int cycles_logged = 0;
    for (const tvut_test::LogLine& line :
         tvut_test::ReadLogLines(ComponentFolder() + "/TVUTLog.log")) {
        if (line.message == "Start Sending Request....") {
            ++cycles_logged;
            EXPECT_TRUE(open_sender == 0 || killed_pids.count(open_sender) != 0)
                << "process " << line.pid << " began an upload during one of process "
                << open_sender;
            open_sender = line.pid;
        } else if (line.message.rfind("Send Payload", 0) == 0 && line.pid == open_sender) {
            open_sender = 0;
        }
    }
    EXPECT_GE(cycles_logged, static_cast<int>(by_start.size()));

    // Every session's final state reached the receiver.
    int killed = 0, completed = 0, crashed = 0;
    for (const Ended& session : ended) {
        SCOPED_TRACE("session " + std::to_string(session.plan.index) + " " + session.notes.session);
        if (session.killed) {
            ++killed;
            EXPECT_TRUE(session.exit_code == 0 || session.exit_code == 128 + 9)
                << session.exit_code;
        } else {
            ++completed;
            ASSERT_EQ(0, session.exit_code) << "the session process failed";
            EXPECT_EQ(UT_SEND_OK, session.notes.handed);
        }
        if (session.notes.session.empty()) {
            continue;  // killed before it had a session
        }
        const std::vector<Version>& versions = delivered[session.notes.session];
        if (!session.last_guid_on_disk.empty()) {
            EXPECT_TRUE(std::any_of(versions.begin(), versions.end(), [&](const Version& v) {
                return v.guid == session.last_guid_on_disk;
            })) << "the version left on disk by the kill was not delivered";
        }
        if (session.notes.logged) {
            EXPECT_FALSE(versions.empty()) << "never delivered";
        }
        if (session.notes.crashed) {
            ++crashed;
            EXPECT_TRUE(std::any_of(versions.begin(), versions.end(), [](const Version& v) {
                return v.crash;
            })) << "the crash was never delivered";
        }
        if (session.notes.cleanup_to >= 0) {
            EXPECT_TRUE(std::any_of(versions.begin(), versions.end(), [&](const Version& v) {
                return v.crash == session.notes.crashed &&
                       v.end_time >= session.notes.cleanup_from &&
                       v.end_time <= session.notes.cleanup_to;
            })) << "the final transcript (end time from CleanUp) was not delivered";
        }
    }

    int duplicated_versions = 0, extra_deliveries = 0;
    for (const auto& version : deliveries_of_version) {
        if (version.second > 1) {
            ++duplicated_versions;
            extra_deliveries += version.second - 1;
        }
    }
    std::printf(
        "send stress: %zu sessions in %.1f s (%d completed, %d killed, %d crashes recorded); "
        "%zu uploads (%d abandoned by their sender); %zu transcript versions delivered, "
        "duplicates: %d versions delivered more than once (%d extra deliveries)\n",
        ended.size(), seconds, completed, killed, crashed, requests.size(), abandoned,
        deliveries_of_version.size(), duplicated_versions, extra_deliveries);
    RecordProperty("duplicates", duplicated_versions);

    EXPECT_TRUE(archives_of_killed.empty() || killed > 0) << Join(archives_of_killed);
    std::printf(
        "send stress: %zu archives and temporary files left by killed processes, removed by the "
        "next cycle once old\n",
        archives_of_killed.size());
    EXPECT_TRUE(Leftovers().empty()) << Join(Leftovers());
    EXPECT_EQ(static_cast<size_t>(kHosts * kSessionsPerHost), ended.size());
}
