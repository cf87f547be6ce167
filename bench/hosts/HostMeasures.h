// What the bench hosts measure of their own process: CPU time and the
// resident size per mapped file.
#ifndef TVUT_BENCH_HOSTS_HOSTMEASURES_H
#define TVUT_BENCH_HOSTS_HOSTMEASURES_H

#include <sys/resource.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

// CPU time (user and system) of the process (RUSAGE_SELF) or the calling
// thread (RUSAGE_THREAD), in microseconds.
inline double CpuUs(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

// Prints "rss_kb <kB> <file>" for each mapped file and "[anon]" for the
// mappings of no file (heap, stacks).
inline void PrintResidentByFile() {
    std::ifstream in("/proc/self/smaps");
    std::map<std::string, long> rss;
    std::string current = "[anon]";
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 4, "Rss:") == 0) {
            rss[current] += std::atol(line.c_str() + 4);
        } else if (!line.empty() && line.find('-') < line.find(' ') &&
                   line.find(':') > line.find(' ')) {
            // A mapping's first line: "start-end perms offset dev inode [path]".
            const size_t slash = line.find('/');
            current = slash != std::string::npos ? line.substr(slash) : "[anon]";
        }
    }
    for (const auto& entry : rss) {
        std::printf("rss_kb %ld %s\n", entry.second, entry.first.c_str());
    }
}

#endif  // TVUT_BENCH_HOSTS_HOSTMEASURES_H
