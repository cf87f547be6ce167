// Several processes writing one diagnostic log, as several products of one
// user do: counts the lines lost, written twice and torn across TVUTLog.log
// and every archive, and times the log calls that rotated the file (the time
// a rotation holds the logger's lock, plus the one line written after it).
//
//   logger_writers_bench [--writers N] [--lines N] [--max-size BYTES]
//                        [--max-count N] [--keep]
//
// Defaults: 2 writers, 20000 lines each, the default maximum size of 51200
// bytes, and a maximum count of 1000000 so that no archive is purged and
// every line can be counted (with a small count, purged lines are reported
// as lost). Each writer is a real process (fork) with its own logger.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "base/UTTextCodec.h"
#include "log/UTLoggerManager.h"

namespace {

namespace fs = boost::filesystem;

struct Options {
    int writers = 2;
    int lines = 20000;
    long long max_size = 51200;
    int max_count = 1000000;
    bool keep = false;
};

std::string Padding(int writer) {
    return std::string(static_cast<size_t>(20 + 11 * writer), static_cast<char>('a' + writer));
}

std::string Message(int writer, int line) {
    return "writer " + std::to_string(writer) + " line " + std::to_string(line) + " " +
           Padding(writer);
}

ino_t InodeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// One writer process: logs its lines and stores, for every call during which
// the file at the path changed, the call's duration in nanoseconds; for every
// other call too, in a second list.
int RunWriter(const Options& options, const fs::path& folder, int writer) {
    const std::string path = (folder / "TVUTLog.log").string();
    CUTLoggerManager logger;
    const std::wstring wfolder = FromUtf8(folder.string());
    const std::wstring wpath = FromUtf8(path);
    logger.Init(wfolder.c_str(), wpath.c_str(), options.max_size, options.max_count, UT_LOG_INFO);
    const std::string padding = Padding(writer);
    std::vector<long long> rotating;
    std::vector<long long> plain;
    plain.reserve(static_cast<size_t>(options.lines));
    ino_t inode = InodeOf(path);
    for (int i = 0; i < options.lines; ++i) {
        const auto start = std::chrono::steady_clock::now();
        logger.Log(UT_LOG_INFO, "writer %d line %d %s", writer, i, padding.c_str());
        const auto end = std::chrono::steady_clock::now();
        const long long nanos =
            std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
        const ino_t now = InodeOf(path);
        (now != inode ? rotating : plain).push_back(nanos);
        inode = now;
    }
    std::ofstream out((folder / ("times." + std::to_string(writer))).string());
    out << rotating.size();
    for (long long t : rotating) {
        out << ' ' << t;
    }
    out << '\n' << plain.size();
    for (long long t : plain) {
        out << ' ' << t;
    }
    out << '\n';
    return out ? 0 : 1;
}

bool IsWellFormed(const std::string& line, std::string* message) {
    // "<name padded to 6> | YYYY-MM-DD HH:MM:SS.uuuuuu | pid:N | tid:N | message"
    static const char* const names[] = {"Error  | ", "Warning | ", "Info   | ", "Dbg    | ",
                                        "Devdbg | "};
    size_t pos = std::string::npos;
    for (const char* name : names) {
        if (line.compare(0, std::strlen(name), name) == 0) {
            pos = std::strlen(name);
        }
    }
    if (pos == std::string::npos || line.size() < pos + 26) {
        return false;
    }
    const std::string stamp = line.substr(pos, 26);
    for (size_t i = 0; i < stamp.size(); ++i) {
        const char expected = "0000-00-00 00:00:00.000000"[i];
        if (expected == '0' ? !std::isdigit(static_cast<unsigned char>(stamp[i]))
                            : stamp[i] != expected) {
            return false;
        }
    }
    pos += 26;
    for (const char* label : {" | pid:", " | tid:"}) {
        if (line.compare(pos, std::strlen(label), label) != 0) {
            return false;
        }
        pos += std::strlen(label);
        const size_t digits = line.find_first_not_of("0123456789", pos);
        if (digits == pos || digits == std::string::npos) {
            return false;
        }
        pos = digits;
    }
    if (line.compare(pos, 3, " | ") != 0) {
        return false;
    }
    *message = line.substr(pos + 3);
    return true;
}

long long Percentile(std::vector<long long> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t index = std::min(
        values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size())));
    return values[index];
}

void PrintTimes(const char* what, const std::vector<long long>& values) {
    std::printf("%-34s %7zu calls  median %9.1f us  p99 %9.1f us  max %9.1f us\n", what,
                values.size(), Percentile(values, 0.5) / 1000.0, Percentile(values, 0.99) / 1000.0,
                values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()) / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() { return i + 1 < argc ? std::atoll(argv[++i]) : 0LL; };
        if (arg == "--writers") {
            options.writers = static_cast<int>(next());
        } else if (arg == "--lines") {
            options.lines = static_cast<int>(next());
        } else if (arg == "--max-size") {
            options.max_size = next();
        } else if (arg == "--max-count") {
            options.max_count = static_cast<int>(next());
        } else if (arg == "--keep") {
            options.keep = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--writers N] [--lines N] [--max-size BYTES] [--max-count N] "
                         "[--keep]\n",
                         argv[0]);
            return 2;
        }
    }
    if (options.writers < 1 || options.writers > 26 || options.lines < 1) {
        std::fprintf(stderr, "need 1..26 writers and at least one line\n");
        return 2;
    }
    const fs::path folder = fs::temp_directory_path() / fs::unique_path("tvut-logwriters-%%%%%%%%");
    fs::create_directories(folder);

    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (int w = 0; w < options.writers; ++w) {
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::_exit(RunWriter(options, folder, w));
        }
        if (pid < 0) {
            std::perror("fork");
            return 1;
        }
        children.push_back(pid);
    }
    bool writers_ok = true;
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        writers_ok = writers_ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // Every line of every file, taken apart.
    std::map<std::string, int> seen;
    size_t torn = 0;
    size_t archives = 0;
    size_t small_archives = 0;
    std::vector<long long> rotating;
    std::vector<long long> plain;
    for (fs::directory_iterator it(folder), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, 6, "times.") == 0) {
            std::ifstream in(it->path().string());
            for (std::vector<long long>* list : {&rotating, &plain}) {
                size_t count = 0;
                in >> count;
                for (size_t i = 0; i < count; ++i) {
                    long long t = 0;
                    in >> t;
                    list->push_back(t);
                }
            }
            continue;
        }
        if (name != "TVUTLog.log" && name.compare(0, 5, "TVUT_") != 0) {
            continue;
        }
        std::ifstream in(it->path().string(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        const std::string bytes = text.str();
        if (name != "TVUTLog.log") {
            ++archives;
            if (static_cast<long long>(bytes.size()) <= options.max_size) {
                ++small_archives;
            }
        }
        size_t pos = 0;
        while (pos < bytes.size()) {
            size_t eol = bytes.find('\n', pos);
            const bool complete = eol != std::string::npos;
            if (!complete) {
                eol = bytes.size();
            }
            std::string message;
            if (complete && IsWellFormed(bytes.substr(pos, eol - pos), &message)) {
                ++seen[message];
            } else {
                ++torn;
            }
            pos = eol + 1;
        }
    }
    size_t lost = 0;
    size_t doubled = 0;
    size_t expected_seen = 0;
    for (int w = 0; w < options.writers; ++w) {
        for (int i = 0; i < options.lines; ++i) {
            const auto it = seen.find(Message(w, i));
            if (it == seen.end()) {
                ++lost;
            } else {
                ++expected_seen;
                doubled += static_cast<size_t>(it->second - 1);
            }
        }
    }
    const size_t strangers = seen.size() - expected_seen;

    std::printf("%d writer process(es) x %d lines, max size %lld bytes, max count %d, %.2f s\n",
                options.writers, options.lines, options.max_size, options.max_count, seconds);
    std::printf("lines lost %zu, doubled %zu, torn %zu (unknown messages %zu)\n", lost, doubled,
                torn, strangers);
    std::printf("archives %zu (of them not over the limit: %zu)\n", archives, small_archives);
    PrintTimes("calls that saw the file rotate", rotating);
    PrintTimes("other calls", plain);
    if (!options.keep) {
        boost::system::error_code ignored;
        fs::remove_all(folder, ignored);
    } else {
        std::printf("files kept in %s\n", folder.string().c_str());
    }
    return writers_ok && lost == 0 && doubled == 0 && torn == 0 ? 0 : 1;
}
