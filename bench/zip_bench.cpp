// Packing cost of CUTZipper against zlib's raw deflate of the same bytes at
// the same settings (level 6, window bits -15, memory level 8), in one run.
// The archive's own work (reading, CRC-32, headers, writing) should add next
// to nothing: compare the two bytes_per_second figures.
//
//   build/tools/zip_bench   (prints the packer/zlib time ratio at the end)
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"
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

void BM_ZipperPack(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    const boost::filesystem::path archive_path = corpus.folder / "payload.zip";
    const std::wstring archive = FromUtf8(archive_path.string());
    for (auto _ : state) {
        // Every send packs into a new file; truncating the last one would add
        // the file system's flush of a replaced file to the figure.
        state.PauseTiming();
        boost::system::error_code ec;
        boost::filesystem::remove(archive_path, ec);
        state.ResumeTiming();
        CUTZipper zipper(archive);
        for (const std::wstring& path : corpus.paths) {
            if (!zipper.AddFile(path)) {
                state.SkipWithError("AddFile failed");
                return;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.total));
}

// The same bytes, file by file, through one raw deflate stream reset between
// files: the compression work the packer cannot avoid.
void BM_ZlibDeflate(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    std::vector<unsigned char> out(16384);
    for (auto _ : state) {
        z_stream stream{};
        deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        size_t produced = 0;
        for (const std::string& content : corpus.contents) {
            deflateReset(&stream);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
            stream.avail_in = static_cast<uInt>(content.size());
            int rc;
            do {
                stream.next_out = out.data();
                stream.avail_out = static_cast<uInt>(out.size());
                rc = deflate(&stream, Z_FINISH);
                produced += out.size() - stream.avail_out;
            } while (rc != Z_STREAM_END);
        }
        deflateEnd(&stream);
        benchmark::DoNotOptimize(produced);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.total));
}

// The floor of any packer that reads files: status, open, read and close of
// every file, without compressing anything.
void BM_ReadFilesOnly(benchmark::State& state) {
    Corpus& corpus = TheCorpus();
    std::vector<char> piece(16384);
    for (auto _ : state) {
        size_t total = 0;
        for (const std::wstring& path : corpus.paths) {
            CUTFileStatus status;
            CUTPlatform::Current()->GetFileStatus(path, &status);
            std::FILE* file = std::fopen(ToUtf8(path).c_str(), "rb");
            std::setvbuf(file, nullptr, _IONBF, 0);
            total += std::fread(piece.data(), 1, static_cast<size_t>(status.size), file);
            std::fclose(file);
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.total));
}

BENCHMARK(BM_ZipperPack)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadFilesOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZlibDeflate)->Unit(benchmark::kMicrosecond);

// Collects the mean time of each benchmark to print their ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) {
                continue;
            }
            const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            if (run.benchmark_name().rfind("BM_ZipperPack", 0) == 0) {
                zipper_ = seconds;
            } else if (run.benchmark_name().rfind("BM_ZlibDeflate", 0) == 0) {
                zlib_ = seconds;
            } else if (run.benchmark_name().rfind("BM_ReadFilesOnly", 0) == 0) {
                reading_ = seconds;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (zipper_ > 0 && zlib_ > 0) {
            std::printf("corpus %zu bytes in %zu files; packer time / zlib time = %.3f\n",
                        TheCorpus().total, TheCorpus().paths.size(), zipper_ / zlib_);
            if (reading_ > 0) {
                std::printf("(packer - file reading) / zlib = %.3f\n",
                            (zipper_ - reading_) / zlib_);
            }
        }
    }

private:
    double zipper_ = 0;
    double zlib_ = 0;
    double reading_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
