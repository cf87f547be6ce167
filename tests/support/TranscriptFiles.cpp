#include "support/TranscriptFiles.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include <boost/filesystem.hpp>

#ifdef _WIN32
#include <cstdlib>

#include "support/LinuxSideCheck.h"
#include "support/ScratchRoots.h"
#else
#include "support/ChildProcess.h"
#endif

namespace tvut_test {

namespace {

#ifdef _WIN32
// The checker's scrambling key (tests/transcript_check.py).
const unsigned char kKey[] = {0x5A, 0x3C, 0x91, 0x17, 0xE4, 0x2B, 0x6D, 0xB8, 0x0F,
                              0xC3, 0x74, 0x9E, 0x21, 0xD6, 0x58, 0xAF, 0x33};

void AppendUtf8(unsigned long code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// Character data with its references resolved, as an XML parser gives it.
std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t end = text[i] == '&' ? text.find(';', i) : std::string::npos;
        if (end == std::string::npos) {
            out.push_back(text[i]);
            continue;
        }
        const std::string name = text.substr(i + 1, end - i - 1);
        if (name == "lt") {
            out += '<';
        } else if (name == "gt") {
            out += '>';
        } else if (name == "amp") {
            out += '&';
        } else if (name == "quot") {
            out += '"';
        } else if (name == "apos") {
            out += '\'';
        } else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x';
            AppendUtf8(std::strtoul(name.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10), &out);
        } else {
            out += text.substr(i, end - i + 1);
        }
        i = end;
    }
    return out;
}

// The values of a transcript, keyed as the checker prints them: every
// attribute, and the text (or the CDATA) of every element without child
// elements. Only for the transcripts' own plain form: the checker on the
// Linux side judges whether the document is sound.
bool ReadValues(const std::string& xml, std::map<std::string, std::string>* values) {
    struct Open {
        std::string path;
        std::string text;
        std::string cdata;
        bool has_cdata = false;
        bool has_children = false;
    };
    std::vector<Open> stack;
    size_t pos = 0;
    while (pos < xml.size()) {
        const size_t tag = xml.find('<', pos);
        if (!stack.empty()) {
            stack.back().text += Unescaped(xml.substr(pos, tag - pos));
        }
        if (tag == std::string::npos) {
            break;
        }
        if (xml.compare(tag, 9, "<![CDATA[") == 0) {
            const size_t end = xml.find("]]>", tag);
            if (end == std::string::npos || stack.empty()) {
                return false;
            }
            stack.back().cdata += xml.substr(tag + 9, end - tag - 9);
            stack.back().has_cdata = true;
            pos = end + 3;
        } else if (xml.compare(tag, 2, "<?") == 0 || xml.compare(tag, 4, "<!--") == 0) {
            const size_t end = xml.find(xml[tag + 1] == '?' ? "?>" : "-->", tag);
            if (end == std::string::npos) {
                return false;
            }
            pos = end + (xml[tag + 1] == '?' ? 2 : 3);
        } else if (xml.compare(tag, 2, "</") == 0) {
            const size_t end = xml.find('>', tag);
            if (end == std::string::npos || stack.empty()) {
                return false;
            }
            const Open& closed = stack.back();
            if (!closed.has_children) {
                (*values)[closed.path] = closed.has_cdata ? closed.cdata : closed.text;
            }
            stack.pop_back();
            pos = end + 1;
        } else {
            size_t p = tag + 1;
            while (p < xml.size() && !std::isspace(static_cast<unsigned char>(xml[p])) &&
                   xml[p] != '/' && xml[p] != '>') {
                ++p;
            }
            Open element;
            element.path =
                (stack.empty() ? "" : stack.back().path + "/") + xml.substr(tag + 1, p - tag - 1);
            if (!stack.empty()) {
                stack.back().has_children = true;
            }
            for (;;) {
                while (p < xml.size() && std::isspace(static_cast<unsigned char>(xml[p]))) {
                    ++p;
                }
                if (p >= xml.size()) {
                    return false;
                }
                if (xml[p] == '>' || xml.compare(p, 2, "/>") == 0) {
                    break;
                }
                const size_t equals = xml.find('=', p);
                if (equals == std::string::npos || equals + 1 >= xml.size()) {
                    return false;
                }
                const char quote = xml[equals + 1];
                const size_t close = xml.find(quote, equals + 2);
                if (close == std::string::npos) {
                    return false;
                }
                (*values)[element.path + "@" + xml.substr(p, equals - p)] =
                    Unescaped(xml.substr(equals + 2, close - equals - 2));
                p = close + 1;
            }
            if (xml[p] == '/') {
                (*values)[element.path] = "";
                pos = p + 2;
            } else {
                stack.push_back(element);
                pos = p + 1;
            }
        }
    }
    return stack.empty();
}
#else
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
#endif

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

#ifdef _WIN32
// The checker runs on the Linux side (LinuxSideCheck); the values are read
// here.
bool CheckTranscripts(const std::vector<std::string>& files, std::string* report) {
    LinuxSideCheck check("transcript_check.py");
    for (const std::string& file : files) {
        check.AddFile(file);
    }
    return check.Expect(0, LinuxSideCheck::kWholeOutput, "OK", report);
}

bool ReadTranscript(const std::string& file, std::map<std::string, std::string>* values,
                    std::string* report) {
    values->clear();
    const bool recorded = CheckTranscripts({file}, report);
    const std::string stored = ReadFile(file);
    std::string plain(stored.size(), '\0');
    for (size_t i = 0; i < stored.size(); ++i) {
        plain[i] = static_cast<char>(static_cast<unsigned char>(stored[i]) ^ kKey[i % sizeof kKey]);
    }
    if (!ReadValues(plain, values)) {
        *report += "\n" + file + ": not read as a transcript";
        return false;
    }
    return recorded;
}
#else
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

#endif

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
