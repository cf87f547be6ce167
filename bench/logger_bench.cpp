// Cost of the diagnostic log inside the host: a line that is written (with
// rotation at the default size) and a line that the level filters out,
// beside one write(2) of a line of the same length (the floor).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <boost/filesystem.hpp>

#include "base/UTTextCodec.h"
#include "log/UTLoggerManager.h"

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

// The floor: one write(2) of a line of the same length, appended to a file
// of the same folder that is emptied at the same size.
void BM_OneWrite(benchmark::State& state) {
    Logger();
    const std::string path = (ScratchFolder() / "floor.log").string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string line(92, 'x');
    off_t size = 0;
    for (auto _ : state) {
        if (::write(fd, line.data(), line.size()) > 0) {
            size += static_cast<off_t>(line.size());
        }
        if (size > 51200) {
            size = ::ftruncate(fd, 0) == 0 ? 0 : size;
        }
    }
    ::close(fd);
}

}  // namespace

BENCHMARK(BM_OneWrite);
BENCHMARK(BM_WrittenLine);
BENCHMARK(BM_FilteredLine);
BENCHMARK_MAIN();
