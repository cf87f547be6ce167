// Cost of the diagnostic log inside the host: a line that is written (with
// rotation at the default size) and a line that the level filters out.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include <boost/filesystem.hpp>

#include "log/UTLoggerManager.h"
#include "platform/UTTextCodec.h"

namespace {

// The scratch folder of this run, removed when the program ends.
boost::filesystem::path& ScratchFolder() {
    static boost::filesystem::path folder;
    return folder;
}

void RemoveScratchFolder() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(ScratchFolder(), ignored);
}

// One logger per process, as in the component, in a scratch folder.
CUTLoggerManager& Logger() {
    static CUTLoggerManager* const logger = [] {
        const boost::filesystem::path folder =
            boost::filesystem::temp_directory_path() /
            boost::filesystem::unique_path("tvut-logbench-%%%%%%");
        ScratchFolder() = folder;
        std::atexit(RemoveScratchFolder);
        auto* instance = new CUTLoggerManager();
        const std::wstring wide = FromUtf8(folder.string());
        const std::wstring path = wide + L"/TVUTLog.log";
        instance->Init(wide.c_str(), path.c_str(), 51200, 3, UT_LOG_INFO);
        return instance;
    }();
    return *logger;
}

void BM_WrittenLine(benchmark::State& state) {
    CUTLoggerManager& logger = Logger();
    int n = 0;
    for (auto _ : state) {
        logger.Log(UT_LOG_INFO, "GetUBInformation return %d !", ++n);
    }
}

void BM_FilteredLine(benchmark::State& state) {
    CUTLoggerManager& logger = Logger();
    int n = 0;
    for (auto _ : state) {
        logger.Log(UT_LOG_DEVDBG, "GetUBInformation return %d !", ++n);
    }
}

}  // namespace

BENCHMARK(BM_WrittenLine);
BENCHMARK(BM_FilteredLine);
BENCHMARK_MAIN();
