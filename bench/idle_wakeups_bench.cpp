// What an idle tvUT costs a host's battery: the context switches of every
// thread the component added to the process, over 10 seconds in which
// nothing is due, with the default settings. Goal: 0.
//
// Run: idle_wakeups_bench [seconds]   (10 when not given)
// Scratch roots in a new temporary folder keep the real ones untouched, and
// uploads go to 127.0.0.1.
#include <dirent.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include <boost/filesystem.hpp>

#include <tvUT/UTFacade.h>

#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"

namespace {

std::set<std::string> Tasks() {
    std::set<std::string> tasks;
    if (DIR* folder = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(folder)) {
            if (entry->d_name[0] != '.') {
                tasks.insert(entry->d_name);
            }
        }
        closedir(folder);
    }
    return tasks;
}

// voluntary_ctxt_switches + nonvoluntary_ctxt_switches of one thread; -1
// when it has ended.
long long Switches(const std::string& task) {
    std::ifstream status("/proc/self/task/" + task + "/status");
    if (!status) {
        return -1;
    }
    long long total = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0 ||
            line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0) {
            total += std::atoll(line.substr(line.find(':') + 1).c_str());
        }
    }
    return total;
}

std::string Name(const std::string& task) {
    std::ifstream comm("/proc/self/task/" + task + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const boost::filesystem::path scratch = boost::filesystem::temp_directory_path() /
                                            boost::filesystem::unique_path("tvut-idlebench-%%%%%%");
    boost::filesystem::create_directories(scratch / "machine");
    boost::filesystem::create_directories(scratch / "user");
    setenv("UT_MACHINE_DATA_DIR", (scratch / "machine").c_str(), 1);
    setenv("XDG_DATA_HOME", (scratch / "user").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", scratch.c_str(), 1);
    // The first hand-over sends on the host's thread: to a port of this
    // machine where nothing listens, never to the default server.
    CUTXMLConfig machine(UT_FILE_PI_UI, kComponentFolderName);
    machine.Load();
    for (const wchar_t* item : {L"ReceivingHost", L"ReceivingHostBeta"}) {
        machine.SetValue(item, L"http://127.0.0.1:1/BRIMReceiver", false);
    }
    if (!machine.Save()) {
        std::fprintf(stderr, "cannot write the scratch settings\n");
        return 1;
    }

    const std::set<std::string> host_tasks = Tasks();
    if (CUTFacade::InitUTComponent() != UT_INIT_OK) {
        std::fprintf(stderr, "InitUTComponent failed\n");
        return 1;
    }
    char16_t line[] = u"BENCH";
    char16_t release[] = u"1";
    char16_t type[] = u"F";
    CUTProductInfo* product = CUTProductInfo::Create();
    CUTUserInfo* user = CUTUserInfo::Create();
    product->SetProductLineId({line, -1});
    product->SetReleaseId({release, -1});
    product->SetReleaseType({type, -1});
    const UTStatus sent = CUTFacade::GetUBInformation(product, user, kormFALSE);
    product->Dispose();
    user->Dispose();
    CUTFacade::LogUsageData();

    std::map<std::string, long long> start;
    for (const std::string& task : Tasks()) {
        if (host_tasks.count(task) == 0) {
            start[task] = Switches(task);
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    long long total = 0;
    std::printf("GetUBInformation: %d\n", static_cast<int>(sent));
    std::printf("threads added by the component: %zu\n", start.size());
    for (const auto& task : start) {
        const long long now = Switches(task.first);
        const long long delta = now < 0 ? 0 : now - task.second;
        total += delta;
        std::printf("  thread %s (%s): %lld context switches\n", task.first.c_str(),
                    Name(task.first).c_str(), delta);
    }
    std::printf("context switches of the component's threads over %d s idle: %lld\n", seconds,
                total);

    CUTFacade::CleanUp();
    const size_t left = Tasks().size() - host_tasks.size();
    std::printf("threads left after CleanUp: %zu\n", left);
    boost::system::error_code ignored;
    boost::filesystem::remove_all(scratch, ignored);
    return left == 0 ? 0 : 2;
}
