#include "support/TranscriptFiles.h"

#include <algorithm>
#include <sstream>

#include <boost/filesystem.hpp>

#include "support/ChildProcess.h"

namespace tvut_test {

namespace {

const std::string kChecker = std::string(TVUT_SOURCE_DIR) + "/tests/transcript_check.py";

std::string Quoted(const std::string& path) {
    std::string quoted = "'";
    for (char c : path) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace

TranscriptFolder ListTranscriptFolder(const std::string& folder) {
    TranscriptFolder listing;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string path = it->path().string();
        const std::string name = it->path().filename().string();
        const bool transcript = name.size() > 4 && name.compare(name.size() - 4, 4, ".utt") == 0;
        (transcript ? listing.transcripts : listing.others).push_back(path);
    }
    std::sort(listing.transcripts.begin(), listing.transcripts.end());
    std::sort(listing.others.begin(), listing.others.end());
    return listing;
}

bool CheckTranscripts(const std::vector<std::string>& files, std::string* report) {
    std::string command = "python3 " + kChecker;
    for (const std::string& file : files) {
        command += " " + Quoted(file);
    }
    return RunCommand(command, report) == 0;
}

bool ReadTranscript(const std::string& file, std::map<std::string, std::string>* values,
                    std::string* report) {
    std::string output;
    const bool sound =
        RunCommand("python3 " + kChecker + " --values " + Quoted(file), &output) == 0;
    *report = output;
    values->clear();
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) {
            (*values)[line.substr(0, tab)] = Unhex(line.substr(tab + 1));
        }
    }
    return sound;
}

std::string Hex(const std::string& text) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 0x0F];
    }
    return hex;
}

}  // namespace tvut_test
