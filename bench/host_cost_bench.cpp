// What tvUT costs a host process, beside a host that uses only libcurl, in
// interleaved rounds (each figure a median over the rounds):
//
//   start-up:  CPU of a whole process (exec to exit, from wait4) that links
//              the library and calls nothing: tvut_host idle, curl_host idle;
//   lifecycle: CPU of the process from before InitUTComponent to after
//              CleanUp (tvut_host lifecycle), in a root where an earlier
//              session left its files and transcript but no send is on
//              record, so that the hand-over waits for a send (delivered to
//              the local receiver on 127.0.0.1) as a new user's does; beside
//              curl_global_init, one POST of the same request body to the
//              same receiver and the cleanup (curl_host post). The same in a
//              new root (no files at all yet) is the "first run";
//   peak RSS:  the peak resident size of those two processes (wait4);
//   GetUserID: thread CPU per call, outside a session, in a root where a
//              session stored the login seconds ago (tvut_host getuserid).
//
// Then, once each: the dynamic loader's own statistics (LD_DEBUG=statistics)
// of both idle hosts, and the resident size per library of both after their
// work (--smaps).
//
// Run: host_cost_bench [rounds]   (20 when not given)
// Scratch roots keep the real ones untouched; the policy file is absent.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/UTConfigPaths.h"
#include "config/UTParsedFiles.h"
#include "config/UTXMLConfig.h"
#include "support/LocalReceiver.h"
#include "support/ScratchRoots.h"

extern char** environ;

namespace {

struct Run {
    std::string out;
    double process_cpu_ms = 0;  // exec to exit
    double maxrss_mib = 0;
    int status = -1;
    // The "key value" lines the host printed.
    double Value(const std::string& key) const {
        std::istringstream in(out);
        for (std::string name; in >> name;) {
            double value = 0;
            if (name == key && in >> value) {
                return value;
            }
        }
        return -1;
    }
};

// Runs argv with the current environment (plus extra), capturing its output.
Run Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra = {}) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> env_text(extra);
    for (char** e = environ; *e != nullptr; ++e) {
        env_text.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& entry : env_text) {
        envp.push_back(&entry[0]);
    }
    envp.push_back(nullptr);
    int fds[2];
    Run run;
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        run.out.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (spawned != 0) {
        return run;
    }
    rusage usage{};
    wait4(pid, &run.status, 0, &usage);
    run.process_cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    run.maxrss_mib = usage.ru_maxrss / 1024.0;
    return run;
}

bool Ok(const Run& run, const char* what) {
    if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) {
        return true;
    }
    std::fprintf(stderr, "%s failed (status %d):\n%s\n", what, run.status, run.out.c_str());
    return false;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void UseRoot(const std::string& root) {
    setenv("UT_MACHINE_DATA_DIR", (root + "/machine").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/user").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    setenv("UT_POLICY_FILE", (root + "/no-policy.xml").c_str(), 1);
}

// Points the component's roots at a new folder under base, with uploads
// going to host; returns the folder.
std::string NewRoot(const tvut_test::ScratchFolder& base, const std::string& name,
                    const std::string& host) {
    const std::string root = base.Join(name);
    for (const char* sub : {"", "/machine", "/user", "/runtime"}) {
        mkdir((root + sub).c_str(), 0700);
    }
    UseRoot(root);
    tvut_test::WriteMachineSettings(tvut_test::SendOnlyWhenAskedSettings(host));
    return root;
}

// A copy of template as base/name, where no send is on
// record (the files and the transcript of the template's session stay).
void CopiedRoot(const std::string& from, const tvut_test::ScratchFolder& base,
                const std::string& name) {
    const std::string root = base.Join(name);
    std::filesystem::copy(from, root, std::filesystem::copy_options::recursive);
    std::filesystem::remove_all(root + "/runtime");
    mkdir((root + "/runtime").c_str(), 0700);
    UseRoot(root);
    // Another product's session left no send on record for this user.
    CUTXMLConfig user(UT_FILE_PI_UD, kComponentFolderName);
    user.Load();
    user.SetValue(L"LastSendTimestamp", L"-1", true);
}

// The loader's statistics lines of interest, from LD_DEBUG=statistics.
void PrintLoaderStatistics(const char* name, const std::string& host) {
    const Run run = Spawn({host, "idle"}, {"LD_DEBUG=statistics"});
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) {
        if (line.find("total startup time") != std::string::npos ||
            line.find("number of relocations") != std::string::npos ||
            line.find("load time") != std::string::npos) {
            const size_t colon = line.find(':');
            std::printf("  %-10s %s\n", name, line.substr(colon + 1).c_str());
        }
    }
}

void PrintResident(const char* name, const Run& run) {
    std::istringstream in(run.out);
    std::vector<std::pair<long, std::string>> rows;
    long total = 0;
    for (std::string key; in >> key;) {
        if (key != "rss_kb") {
            continue;
        }
        long kb = 0;
        std::string file;
        in >> kb >> file;
        total += kb;
        rows.emplace_back(kb, file.substr(file.rfind('/') + 1));
    }
    std::sort(rows.rbegin(), rows.rend());
    std::printf("  %s: %ld kB resident at the end\n", name, total);
    for (size_t i = 0; i < rows.size() && i < 12; ++i) {
        std::printf("    %6ld kB  %s\n", rows[i].first, rows[i].second.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    tvut_test::LocalReceiver receiver;
    tvut_test::ScratchFolder base;
    const std::string tvut = TVUT_BENCH_TVUT_HOST;
    const std::string curl = TVUT_BENCH_CURL_HOST;
    const std::string body_file = base.Join("body");
    std::map<std::string, std::vector<double>> figures;
    const std::string template_root = NewRoot(base, "template", receiver.HostUrl());
    int requests = 0;
    if (!Ok(Spawn({tvut, "lifecycle"}), "tvut_host lifecycle") ||
        !receiver.WaitForRequests(++requests)) {
        return 1;
    }
    // The roots of the rounds, made now and left alone for a while, as the
    // files of a product's last session are when it starts again.
    for (int round = 0; round < rounds; ++round) {
        CopiedRoot(template_root, base, "round" + std::to_string(round));
    }
    std::this_thread::sleep_for(std::chrono::seconds(kUnchangedSeconds + 1));
    for (int round = 0; round < rounds; ++round) {
        NewRoot(base, "new" + std::to_string(round), receiver.HostUrl());
        const Run first = Spawn({tvut, "lifecycle"});
        UseRoot(base.Join("round" + std::to_string(round)));
        const Run lifecycle = Spawn({tvut, "lifecycle"});
        if (!Ok(first, "tvut_host lifecycle (first run)") ||
            !Ok(lifecycle, "tvut_host lifecycle") || !receiver.WaitForRequests(requests += 2)) {
            return 1;
        }
        if (round == 0) {
            tvut_test::WriteFile(body_file, receiver.Requests().back().body);
        }
        const Run post = Spawn({curl, "post", receiver.UploadUrl(), body_file});
        const Run tvut_idle = Spawn({tvut, "idle"});
        const Run curl_idle = Spawn({curl, "idle"});
        UseRoot(template_root);
        const Run ids = Spawn({tvut, "getuserid", "2000"});
        if (!Ok(post, "curl_host post") || !Ok(tvut_idle, "tvut_host idle") ||
            !Ok(curl_idle, "curl_host idle") || !Ok(ids, "tvut_host getuserid")) {
            return 1;
        }
        figures["lifecycle_tvut"].push_back(lifecycle.Value("cpu_us") / 1e3);
        figures["first_run"].push_back(first.Value("cpu_us") / 1e3);
        figures["lifecycle_curl"].push_back(post.Value("cpu_us") / 1e3);
        figures["rss_tvut"].push_back(lifecycle.maxrss_mib);
        figures["rss_curl"].push_back(post.maxrss_mib);
        figures["start_tvut"].push_back(tvut_idle.process_cpu_ms);
        figures["start_curl"].push_back(curl_idle.process_cpu_ms);
        figures["getuserid"].push_back(ids.Value("cpu_us_per_call"));
    }
    auto m = [&](const char* key) { return Median(figures[key]); };
    std::printf("%d rounds, medians\n", rounds);
    std::printf(
        "start-up CPU (exec to exit, no call): tvUT host %.2f ms, curl host %.2f ms "
        "(+%.2f ms)\n",
        m("start_tvut"), m("start_curl"), m("start_tvut") - m("start_curl"));
    std::printf("lifecycle CPU: tvUT %.2f ms; curl init + one POST of the same body %.2f ms\n",
                m("lifecycle_tvut"), m("lifecycle_curl"));
    std::printf("first run in a new root: tvUT %.2f ms\n", m("first_run"));
    std::printf("peak RSS: tvUT host %.2f MiB, curl host %.2f MiB (+%.2f MiB)\n", m("rss_tvut"),
                m("rss_curl"), m("rss_tvut") - m("rss_curl"));
    std::printf("GetUserID: %.2f us CPU per call\n", m("getuserid"));
    std::printf("dynamic loader (LD_DEBUG=statistics, idle hosts):\n");
    PrintLoaderStatistics("tvUT host", tvut);
    PrintLoaderStatistics("curl host", curl);
    std::printf("resident per file:\n");
    CopiedRoot(template_root, base, "smaps");
    std::this_thread::sleep_for(std::chrono::seconds(kUnchangedSeconds + 1));
    PrintResident("tvUT host after the lifecycle", Spawn({tvut, "lifecycle", "--smaps"}));
    PrintResident("curl host after its POST",
                  Spawn({curl, "post", receiver.UploadUrl(), body_file, "--smaps"}));
    return 0;
}
