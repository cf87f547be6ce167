// Reading the diagnostic log in tests: each line's level name, process id
// and message, parsed from the line format "<level> | <time> | pid:<pid> |
// tid:<tid> | <message>". Lines that do not have the format (the empty line
// after a message that ends in a line break) are left out.
#ifndef TVUT_TESTS_SUPPORT_LOGLINES_H
#define TVUT_TESTS_SUPPORT_LOGLINES_H

#include <string>
#include <vector>

namespace tvut_test {

struct LogLine {
    std::string level;
    int pid = 0;
    std::string message;
};

std::vector<LogLine> ReadLogLines(const std::string& log_file);

// Lines of log_file with this level and exactly this message.
int CountLogLines(const std::string& log_file, const std::string& level,
                  const std::string& message);

// Lines of log_file with this level whose message begins with prefix.
std::vector<std::string> LogMessagesStartingWith(const std::string& log_file,
                                                 const std::string& level,
                                                 const std::string& prefix);

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_LOGLINES_H
