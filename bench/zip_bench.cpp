// Packing cost of CUTZipper against zlib's raw deflate of the same bytes at
// the same settings (level 6, window bits -15, memory level 8, reset between
// files), in one run. The archive's own work (reading, CRC-32, headers,
// writing) should add next to nothing.
//
// Time (prints the packer/zlib ratios of the fastest repetition, wall and
// CPU, also with the file work any packer must do taken off: reading the
// sources alone, and reading them plus writing an archive-sized file);
// interleaving the repetitions spreads the load of a shared machine evenly:
//   build/bench/zip_bench --benchmark_repetitions=20
//       --benchmark_enable_random_interleaving=true --benchmark_min_time=0.2
//
// User-space instructions, independent of machine load: one workload per run
// under callgrind, counting only inside the workload's rounds:
//   bench/zip_instructions.sh build/bench/zip_bench 20
// which runs, for each of pack, deflate and read,
//   valgrind --tool=callgrind --toggle-collect='*Rounds*'
//       build/bench/zip_bench --instructions=pack --rounds=20   (one line)
// and prints the instruction counts and the packer/zlib ratio.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"
#include "zip/UTZipper.h"

namespace {

// About 300 KB of transcript-like XML in files of 2 to 5 KB.
struct Corpus {
    boost::filesystem::path folder;
    std::vector<std::wstring> paths;
    std::vector<std::string> contents;
    size_t total = 0;

    Corpus() {
        folder = boost::filesystem::temp_directory_path() /
                 boost::filesystem::unique_path("tvut-zip-bench-%%%%%%%%");
        boost::filesystem::create_directories(folder);
        for (int file = 0; total < 300 * 1000; ++file) {
            std::string xml =
                "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UsageTranscript version=\"1.0\">\n"
                "  <Product line=\"Telvoran Studio\" release=\"12.4.1\" language=\"en\" "
                "country=\"US\" type=\"Retail\" />\n"
                "  <Machine name=\"WS-" +
                std::to_string(4000 + file) + "\" os=\"Debian GNU/Linux 12 (bookworm)\" />\n";
            const size_t target = 2000 + static_cast<size_t>(file * 7919 % 3000);
            for (int i = 0; xml.size() < target; ++i) {
                xml += "  <Session id=\"{" + std::to_string(10000000 + file * 131 + i * 17) +
                       "-A1B2-4C3D-8E9F-" + std::to_string(100000000 + i * 7777 + file) +
                       "}\" start=\"" + std::to_string(1700000000 + file * 3600 + i * 61) +
                       "\" end=\"" + std::to_string(1700000900 + file * 3600 + i * 67) +
                       "\" crash=\"" + (i % 11 == 0 ? "1" : "0") + "\" />\n";
            }
            xml += "</UsageTranscript>\n";
            const boost::filesystem::path path =
                folder / ("{SESSION-" + std::to_string(file) + "}.utt");
            std::ofstream(path.string(), std::ios::binary) << xml;
            paths.push_back(FromUtf8(path.string()));
            total += xml.size();
            contents.push_back(std::move(xml));
        }
    }
    ~Corpus() {
        boost::system::error_code ec;
        boost::filesystem::remove_all(folder, ec);
    }
};

Corpus& TheCorpus() {
    static Corpus corpus;
    return corpus;
}

// One archive of the whole corpus; false when an entry could not be added.
bool PackOnce(const Corpus& corpus, const std::wstring& archive) {
    CUTZipper zipper(archive);
    for (const std::wstring& path : corpus.paths) {
        if (!zipper.AddFile(path)) {
            return false;
        }
    }
    return true;
}

// Every file's bytes through one raw deflate stream, reset between files, as
// the packer does: the compression work the packer cannot avoid.
size_t DeflateOnce(const Corpus& corpus, std::vector<unsigned char>* out) {
    z_stream stream{};
    deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    size_t produced = 0;
    for (const std::string& content : corpus.contents) {
        deflateReset(&stream);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
        stream.avail_in = static_cast<uInt>(content.size());
        int rc;
        do {
            stream.next_out = out->data();
            stream.avail_out = static_cast<uInt>(out->size());
            rc = deflate(&stream, Z_FINISH);
            produced += out->size() - stream.avail_out;
        } while (rc != Z_STREAM_END);
    }
    deflateEnd(&stream);
    return produced;
}

// The floor of any packer that reads files: open, status, read and close of
// every file, without compressing anything.
size_t ReadOnce(const Corpus& corpus, std::vector<char>* piece) {
    size_t total = 0;
    for (const std::wstring& path : corpus.paths) {
        CUTFileStatus status;
        std::unique_ptr<CUTReadableFile> file;
        CUTPlatform::Current()->OpenForReading(path, &status, &file);
        size_t n = 0;
        if (file && file->Read(piece->data(), static_cast<size_t>(status.size), &n)) {
            total += n;
        }
    }
    return total;
}

// What any packer must do without the archive: each file opened, its status
// read, its bytes read and deflated as in DeflateOnce; no CRC-32, no archive.
// Against DeflateOnce it shows what the system calls between the files cost
// the compressor itself (caches and TLB after each call).
size_t ReadAndDeflateOnce(const Corpus& corpus, std::vector<char>* piece,
                          std::vector<unsigned char>* out) {
    z_stream stream{};
    deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    size_t produced = 0;
    for (const std::wstring& path : corpus.paths) {
        CUTFileStatus status;
        std::unique_ptr<CUTReadableFile> file;
        CUTPlatform::Current()->OpenForReading(path, &status, &file);
        size_t n = 0;
        if (!file || !file->Read(piece->data(), piece->size(), &n)) {
            continue;
        }
        file.reset();
        deflateReset(&stream);
        stream.next_in = reinterpret_cast<Bytef*>(piece->data());
        stream.avail_in = static_cast<uInt>(n);
        int rc;
        do {
            stream.next_out = out->data();
            stream.avail_out = static_cast<uInt>(out->size());
            rc = deflate(&stream, Z_FINISH);
            produced += out->size() - stream.avail_out;
        } while (rc != Z_STREAM_END);
    }
    deflateEnd(&stream);
    return produced;
}

std::wstring ArchivePath(const Corpus& corpus) {
    return FromUtf8((corpus.folder / "payload.zip").string());
}

// The file work of any packer: ReadOnce, then a new file of the archive's
// size written in 64 KiB pieces, as the packer writes its archive.
size_t ReadAndWriteOnce(const Corpus& corpus, size_t archive_size, std::vector<char>* piece,
                        const std::vector<char>& bytes) {
    const size_t total = ReadOnce(corpus, piece);
    std::FILE* file = std::fopen((corpus.folder / "floor.zip").string().c_str(), "wb");
    std::setvbuf(file, nullptr, _IONBF, 0);
    for (size_t done = 0; done < archive_size;) {
        const size_t n = std::min(bytes.size(), archive_size - done);
        done += std::fwrite(bytes.data(), 1, n, file);
    }
    std::fclose(file);
    return total;
}

void BM_ReadWriteFilesOnly(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    PackOnce(corpus, ArchivePath(corpus));
    const size_t archive_size =
        static_cast<size_t>(boost::filesystem::file_size(corpus.folder / "payload.zip"));
    std::vector<char> piece(16384);
    const std::vector<char> bytes(64 * 1024, 'z');
    for (auto _ : state) {
        state.PauseTiming();
        boost::system::error_code ec;
        boost::filesystem::remove(corpus.folder / "floor.zip", ec);
        state.ResumeTiming();
        benchmark::DoNotOptimize(ReadAndWriteOnce(corpus, archive_size, &piece, bytes));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.total));
}

void BM_ReadAndDeflate(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    std::vector<char> piece(16384);
    std::vector<unsigned char> out(16384);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadAndDeflateOnce(corpus, &piece, &out));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.total));
}

void BM_ZipperPack(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    const std::wstring archive = ArchivePath(corpus);
    for (auto _ : state) {
        // Every send packs into a new file; truncating the last one would add
        // the file system's flush of a replaced file to the figure.
        state.PauseTiming();
        boost::system::error_code ec;
        boost::filesystem::remove(corpus.folder / "payload.zip", ec);
        state.ResumeTiming();
        if (!PackOnce(corpus, archive)) {
            state.SkipWithError("AddFile failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.total));
}

void BM_ZlibDeflate(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    std::vector<unsigned char> out(16384);
    for (auto _ : state) {
        benchmark::DoNotOptimize(DeflateOnce(corpus, &out));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.total));
}

void BM_ReadFilesOnly(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    std::vector<char> piece(16384);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadOnce(corpus, &piece));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.total));
}

BENCHMARK(BM_ZipperPack)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadFilesOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadWriteFilesOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadAndDeflate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZlibDeflate)->Unit(benchmark::kMicrosecond);

// Keeps the fastest repetition of each benchmark (the one least disturbed by
// other load) to print the packer/zlib ratios of wall and CPU time.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0 || run.error_occurred) {
                continue;
            }
            const double n = static_cast<double>(run.iterations);
            Keep(run.benchmark_name(), run.real_accumulated_time / n, run.cpu_accumulated_time / n);
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const Times& pack = times_[0];
        const Times& zlib = times_[1];
        const Times& read = times_[2];
        const Times& file_work = times_[3];
        const Times& read_deflate = times_[4];
        if (pack.wall > 0 && zlib.wall > 0) {
            std::printf("corpus %zu bytes in %zu files (fastest repetition of each)\n",
                        TheCorpus().total, TheCorpus().paths.size());
            std::printf("packer / zlib: wall %.3f, cpu %.3f\n", pack.wall / zlib.wall,
                        pack.cpu / zlib.cpu);
            if (read.wall > 0) {
                std::printf("(packer - file reading) / zlib: wall %.3f, cpu %.3f\n",
                            (pack.wall - read.wall) / zlib.wall, (pack.cpu - read.cpu) / zlib.cpu);
            }
            if (file_work.wall > 0) {
                std::printf("(packer - reading and writing files) / zlib: wall %.3f, cpu %.3f\n",
                            (pack.wall - file_work.wall) / zlib.wall,
                            (pack.cpu - file_work.cpu) / zlib.cpu);
            }
            if (read_deflate.wall > 0) {
                std::printf("packer / (reading and deflating each file): wall %.3f, cpu %.3f\n",
                            pack.wall / read_deflate.wall, pack.cpu / read_deflate.cpu);
            }
        }
    }

private:
    struct Times {
        double wall = 0;
        double cpu = 0;
    };
    void Keep(const std::string& name, double wall, double cpu) {
        static const char* const kNames[] = {"BM_ZipperPack/", "BM_ZlibDeflate/",
                                             "BM_ReadFilesOnly/", "BM_ReadWriteFilesOnly/",
                                             "BM_ReadAndDeflate/"};
        for (size_t i = 0; i < 5; ++i) {
            if ((name + "/").rfind(kNames[i], 0) == 0) {
                Times& t = times_[i];
                t.wall = t.wall == 0 ? wall : std::min(t.wall, wall);
                t.cpu = t.cpu == 0 ? cpu : std::min(t.cpu, cpu);
            }
        }
    }
    Times times_[5];
};

// The workloads of --instructions: each runs its rounds inside one function
// whose name callgrind's --toggle-collect='*Rounds*' selects, so that the
// corpus set-up and the program's start are not counted.
__attribute__((noinline)) bool PackRounds(const Corpus& corpus, int rounds) {
    const std::wstring archive = ArchivePath(corpus);
    for (int i = 0; i < rounds; ++i) {
        if (!PackOnce(corpus, archive)) {
            return false;
        }
    }
    return true;
}

__attribute__((noinline)) size_t DeflateRounds(const Corpus& corpus, int rounds) {
    std::vector<unsigned char> out(16384);
    size_t produced = 0;
    for (int i = 0; i < rounds; ++i) {
        produced += DeflateOnce(corpus, &out);
    }
    return produced;
}

__attribute__((noinline)) size_t ReadRounds(const Corpus& corpus, int rounds) {
    std::vector<char> piece(16384);
    size_t total = 0;
    for (int i = 0; i < rounds; ++i) {
        total += ReadOnce(corpus, &piece);
    }
    return total;
}

// --instructions=pack|deflate|read [--rounds=N]: runs one workload N times
// and exits; 0 when it ran.
int RunInstructionWorkload(const std::string& workload, int rounds) {
    const Corpus& corpus = TheCorpus();
    bool ok = false;
    if (workload == "pack") {
        ok = PackRounds(corpus, rounds);
    } else if (workload == "deflate") {
        ok = DeflateRounds(corpus, rounds) > 0;
    } else if (workload == "read") {
        ok = ReadRounds(corpus, rounds) == corpus.total * static_cast<size_t>(rounds);
    } else {
        std::fprintf(stderr, "unknown workload %s (pack, deflate or read)\n", workload.c_str());
        return 2;
    }
    std::printf("%s: %d rounds of %zu bytes in %zu files%s\n", workload.c_str(), rounds,
                corpus.total, corpus.paths.size(), ok ? "" : " FAILED");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string workload;
    int rounds = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--instructions=", 0) == 0) {
            workload = arg.substr(std::strlen("--instructions="));
        } else if (arg.rfind("--rounds=", 0) == 0) {
            rounds = std::max(1, std::atoi(arg.c_str() + std::strlen("--rounds=")));
        }
    }
    if (!workload.empty()) {
        return RunInstructionWorkload(workload, rounds);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
