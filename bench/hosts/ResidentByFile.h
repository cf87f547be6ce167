// The resident size of this process per mapped file, for the bench hosts.
#ifndef TVUT_BENCH_HOSTS_RESIDENTBYFILE_H
#define TVUT_BENCH_HOSTS_RESIDENTBYFILE_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

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

#endif  // TVUT_BENCH_HOSTS_RESIDENTBYFILE_H
