#include "support/LogLines.h"

#include <cstdlib>
#include <sstream>

#include "support/ScratchRoots.h"

namespace tvut_test {

std::vector<LogLine> ReadLogLines(const std::string& log_file) {
    std::vector<LogLine> lines;
    std::istringstream in(ReadFile(log_file));
    for (std::string line; std::getline(in, line);) {
        // The message begins after the fourth " | ".
        size_t at = std::string::npos;
        size_t pid_at = std::string::npos;
        for (int i = 0; i < 4; ++i) {
            at = line.find(" | ", at == std::string::npos ? 0 : at + 3);
            if (at == std::string::npos) {
                break;
            }
            if (i == 1) {
                pid_at = at + 3;
            }
        }
        if (at == std::string::npos || line.compare(pid_at, 4, "pid:") != 0) {
            continue;
        }
        LogLine parsed;
        parsed.level = line.substr(0, line.find(' '));
        parsed.pid = std::atoi(line.c_str() + pid_at + 4);
        parsed.message = line.substr(at + 3);
        lines.push_back(parsed);
    }
    return lines;
}

int CountLogLines(const std::string& log_file, const std::string& level,
                  const std::string& message) {
    int count = 0;
    for (const LogLine& line : ReadLogLines(log_file)) {
        count += line.level == level && line.message == message ? 1 : 0;
    }
    return count;
}

std::vector<std::string> LogMessagesStartingWith(const std::string& log_file,
                                                 const std::string& level,
                                                 const std::string& prefix) {
    std::vector<std::string> messages;
    for (const LogLine& line : ReadLogLines(log_file)) {
        if (line.level == level && line.message.compare(0, prefix.size(), prefix) == 0) {
            messages.push_back(line.message);
        }
    }
    return messages;
}

}  // namespace tvut_test
