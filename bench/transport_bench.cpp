// What an upload costs the host, against the local receiver on 127.0.0.1:
//
//   1. CPU time of the sending thread while the server holds its reply back
//      for 2 seconds (getrusage RUSAGE_THREAD around Send), beside libcurl's
//      easy interface posting the same form, held the same way. Goal: < 20 ms.
//   2. The time from what CleanUp does (stop flag up, transfers woken) to
//      Send's return during an upload whose reply is held back (a transfer
//      waits for libcurl's own timeout, so the flag alone would not end it:
//      the wake-up is what does). Goal: < 200 ms.
//   3. One upload of a 300 KB archive beside the curl command posting the
//      same multipart body to the same receiver (medians of several runs;
//      curl's figure includes starting the process, which "curl --version"
//      alone shows).
//
// Run: transport_bench [rounds]   (5 when not given)
// Scratch roots keep the real ones untouched; logging stays off.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "UT/UTProcessState.h"
#include "base/UTTextCodec.h"
#include "comm/UTHttpClient.h"
#include "config/UTConfigManager.h"
#include "support/ChildProcess.h"
#include "support/CurlForm.h"
#include "support/LocalReceiver.h"
#include "support/ScratchRoots.h"
#include "zip/UTZipper.h"

namespace {

using Clock = std::chrono::steady_clock;
using tvut_test::LocalReceiver;
using tvut_test::ReceiverOptions;

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double ThreadCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Max(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// An archive of one entry of size random (incompressible) bytes.
std::wstring MakeArchive(const tvut_test::ScratchFolder& folder, size_t size) {
    std::string bytes(size, '\0');
    std::mt19937 random(11);
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    const std::string entry = folder.Join("Usage.log");
    tvut_test::WriteFile(entry, bytes);
    const std::wstring archive = FromUtf8(folder.Join("payload.zip"));
    CUTZipper zipper(archive);
    zipper.AddFile(FromUtf8(entry));
    zipper.Complete();
    return archive;
}

size_t DiscardReply(char*, size_t size, size_t count, void*) {
    return size * count;
}

// The floor of case 1: libcurl's easy interface posting the same form on a
// thread of its own, from curl_easy_init to curl_easy_cleanup.
double CurlHeldReplyCpu(const std::string& url, const std::string& body) {
    const size_t end = body.find("\r\n");
    const std::string type = "Content-Type: multipart/form-data; boundary=" +
                             (end != std::string::npos && end > 2 ? body.substr(2, end - 2) : "");
    double used = 0;
    std::thread sender([&] {
        const double before = ThreadCpuMs();
        CURL* curl = curl_easy_init();
        curl_slist* headers = curl_slist_append(nullptr, type.c_str());
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DiscardReply);
        curl_easy_perform(curl);
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        used = ThreadCpuMs() - before;
    });
    sender.join();
    return used;
}

void HeldReplyCpu(const tvut_test::ScratchFolder& folder, const std::wstring& archive, int rounds) {
    std::vector<double> cpu, wall, floor;
    const std::string body_file = folder.Join("held-body.bin");
    for (int i = 0; i < rounds; ++i) {
        LocalReceiver receiver(ReceiverOptions{false, false, R"([{"delay": 2}, {"delay": 2}])"});
        double used = 0, took = 0;
        int result = -1;
        std::thread sender([&] {
            CUTHttpClient client(receiver.UploadUrl());
            std::wstring id;
            const double before = ThreadCpuMs();
            const Clock::time_point start = Clock::now();
            result = client.Send(archive, &id);
            took = Milliseconds(Clock::now() - start);
            used = ThreadCpuMs() - before;
        });
        sender.join();
        if (result != 0) {
            std::printf("  round %d: send result %d\n", i, result);
        }
        cpu.push_back(used);
        wall.push_back(took);
        tvut_test::CurlPostOfForm(archive, body_file, receiver.UploadUrl());
        floor.push_back(CurlHeldReplyCpu(receiver.UploadUrl(), tvut_test::ReadFile(body_file)));
    }
    std::printf(
        "1. reply held 2 s: sending thread CPU median %.2f ms, max %.2f ms "
        "(wall median %.0f ms), goal < 20 ms; libcurl's easy interface posting the same form: "
        "median %.2f ms\n",
        Median(cpu), Max(cpu), Median(wall), Median(floor));
}

// Time from the stop flag and the wake-up to Send's return.
void StopLatency(const std::wstring& archive, int rounds) {
    std::vector<double> latency;
    for (int i = 0; i < rounds; ++i) {
        LocalReceiver receiver(ReceiverOptions{false, false, R"([{"hold": true}])"});
        std::atomic<int64_t> returned_at{0};
        int result = -1;
        std::thread sender([&] {
            CUTHttpClient client(receiver.UploadUrl());
            std::wstring id;
            result = client.Send(archive, &id);
            returned_at.store(Clock::now().time_since_epoch().count());
        });
        receiver.WaitForArrivals(1);
        const Clock::time_point stop = Clock::now();
        CUTProcessState::stop.store(true);
        CUTHttpClient::WakeTransfers();
        sender.join();
        receiver.Release();
        CUTProcessState::stop.store(false);
        if (result != 3) {
            std::printf("  round %d: send result %d\n", i, result);
        }
        latency.push_back(
            Milliseconds(Clock::duration(returned_at.load()) - stop.time_since_epoch()));
    }
    std::printf(
        "2. stop flag + wake-up (CleanUp) to Send's return: median %.2f ms, max %.2f ms, "
        "goal < 200 ms\n",
        Median(latency), Max(latency));
}

void BesideCurl(const tvut_test::ScratchFolder& folder, const std::wstring& archive, int rounds) {
    LocalReceiver receiver(ReceiverOptions{false, false, R"([{"default": true}])"});
    // The same body as the component sends, for curl to post.
    size_t body_size = 0;
    const std::string command = tvut_test::CurlPostOfForm(archive, folder.Join("body.bin"),
                                                          receiver.UploadUrl(), &body_size);

    std::vector<double> ours, theirs, startup;
    for (int i = 0; i < rounds; ++i) {
        CUTHttpClient client(receiver.UploadUrl());
        std::wstring id;
        Clock::time_point start = Clock::now();
        const int result = client.Send(archive, &id);
        ours.push_back(Milliseconds(Clock::now() - start));
        std::string output;
        start = Clock::now();
        tvut_test::RunCommand(command, &output);
        theirs.push_back(Milliseconds(Clock::now() - start));
        std::string version;
        start = Clock::now();
        tvut_test::RunCommand("curl --version", &version);
        startup.push_back(Milliseconds(Clock::now() - start));
        if (result != 0 || output != "200") {
            std::printf("  round %d: send result %d, curl %s\n", i, result, output.c_str());
        }
    }
    std::printf(
        "3. %zu-byte body: Send median %.2f ms, curl command median %.2f ms, "
        "ratio %.2f; curl --version alone (its start-up) median %.2f ms\n   (%s)\n",
        body_size, Median(ours), Median(theirs), Median(ours) / Median(theirs), Median(startup),
        command.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    tvut_test::ScratchRoots roots;
    if (CUTConfigManager::GetInstance() == nullptr) {
        std::fprintf(stderr, "no configuration manager\n");
        return 1;
    }
    tvut_test::ScratchFolder folder;
    const std::wstring small = MakeArchive(folder, 4096);
    HeldReplyCpu(folder, small, rounds);
    StopLatency(small, rounds);
    const std::wstring large = MakeArchive(folder, 300 * 1024);
    BesideCurl(folder, large, std::max(rounds, 9));
    return 0;
}
