// What a send cycle spends on the files before it packs anything, with 1,000
// and 10,000 waiting transcripts spread over 20 product folders
// (CUTPendingTranscripts, called directly):
//
//   trim:   RemoveOldTranscripts with one file more than MaxFileCount, so
//           that every transcript's status is read, the oldest chosen and
//           removed (it is put back, untimed, after each round);
//   count:  RemoveOldTranscripts with nothing to remove (the listing alone);
//   gather: GatherTranscripts up to the default budget (102400 bytes).
//
// Goal: trim + gather under 50 ms at 10,000, and growth from 1,000 to 10,000
// no worse than n log n (a ratio of 13.3).
//
// Run: pending_transcripts_bench [rounds]   (9 when not given; medians)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/UTTextCodec.h"
#include "manager/UTPendingTranscripts.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kProductFolders = 20;
constexpr size_t kTranscriptBytes = 2000;
constexpr uint64_t kDefaultBudget = 102400;

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Figures {
    double trim = 0;
    double count = 0;
    double gather = 0;
};

// n transcripts with distinct last write times in kProductFolders product
// folders of a component folder under scratch.
Figures Measure(const fs::path& scratch, int n, int rounds) {
    const std::string component = (scratch / ("n" + std::to_string(n))).string();
    std::mt19937 random(static_cast<unsigned>(n));
    const std::string bytes(kTranscriptBytes, 'x');
    const fs::file_time_type base = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
    for (int i = 0; i < n; ++i) {
        const std::string folder =
            component + "/PRODUCT" + std::to_string(i % kProductFolders) + "_1/Transcripts";
        if (i < kProductFolders) {
            fs::create_directories(folder);
        }
        char name[64];
        std::snprintf(name, sizeof name, "/{%08X-0000-4000-8000-%012d}.utt",
                      static_cast<unsigned>(random()), i);
        const std::string path = folder + name;
        WriteFile(path, bytes);
        fs::last_write_time(path, base + std::chrono::seconds(random() % (24 * 3600 * 30)));
    }
    const CUTPendingTranscripts pending(FromUtf8(component));
    std::vector<double> trim, count, gather;
    for (int round = 0; round < rounds; ++round) {
        // The file the trim will take, to put it back afterwards.
        std::string oldest;
        fs::file_time_type oldest_time = fs::file_time_type::max();
        for (const std::wstring& path : pending.ListTranscripts()) {
            const fs::file_time_type time = fs::last_write_time(ToUtf8(path));
            if (time < oldest_time) {
                oldest_time = time;
                oldest = ToUtf8(path);
            }
        }

        Clock::time_point start = Clock::now();
        const size_t removed = pending.RemoveOldTranscripts(n - 1);
        trim.push_back(Milliseconds(Clock::now() - start));
        if (removed != 1 || fs::exists(oldest)) {
            std::printf("  n=%d round %d: removed %zu, the oldest %s\n", n, round, removed,
                        fs::exists(oldest) ? "stayed" : "went");
        }
        WriteFile(oldest, bytes);
        fs::last_write_time(oldest, oldest_time);

        start = Clock::now();
        pending.RemoveOldTranscripts(n);
        count.push_back(Milliseconds(Clock::now() - start));

        CUTPayloadList payload(kDefaultBudget);
        start = Clock::now();
        pending.GatherTranscripts(&payload);
        gather.push_back(Milliseconds(Clock::now() - start));
        if (payload.files.size() != kDefaultBudget / kTranscriptBytes) {
            std::printf("  n=%d round %d: gathered %zu files\n", n, round, payload.files.size());
        }
    }
    return Figures{Median(trim), Median(count), Median(gather)};
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    std::string pattern = (fs::temp_directory_path() / "tvut-pending-bench-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path scratch(pattern);
    const int sizes[] = {1000, 10000};
    Figures figures[2];
    for (int i = 0; i < 2; ++i) {
        figures[i] = Measure(scratch, sizes[i], rounds);
        std::printf(
            "%6d transcripts in %d product folders: trim (status of all, remove the oldest) "
            "%.2f ms, count only %.2f ms, gather %llu bytes %.2f ms; trim + gather %.2f ms\n",
            sizes[i], kProductFolders, figures[i].trim, figures[i].count,
            static_cast<unsigned long long>(kDefaultBudget), figures[i].gather,
            figures[i].trim + figures[i].gather);
    }
    const double small = figures[0].trim + figures[0].gather;
    const double large = figures[1].trim + figures[1].gather;
    const double nlogn = (10000 * std::log(10000.0)) / (1000 * std::log(1000.0));
    std::printf(
        "trim + gather at 10,000: %.2f ms (goal < 50 ms); growth 1,000 -> 10,000: %.1f "
        "(n log n: %.1f, n: 10.0)\n",
        large, large / small, nlogn);
    std::error_code ec;
    fs::remove_all(scratch, ec);
    return 0;
}
