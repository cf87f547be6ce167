#include "platform/UTOsRelease.h"

#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"

namespace {

bool IsNameCharacter(char c, bool first) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
           (!first && c >= '0' && c <= '9');
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Parses the shell word that starts at line[pos]; false when a quote is not
// closed or the value goes on after unquoted blanks.
bool ParseValue(const std::string& line, size_t pos, std::string* value) {
    std::string result;
    while (pos < line.size() && !IsBlank(line[pos])) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            for (;;) {
                if (pos >= line.size()) {
                    return false;
                }
                const char q = line[pos];
                if (q == '"') {
                    ++pos;
                    break;
                }
                if (q == '\\' && pos + 1 < line.size() &&
                    (line[pos + 1] == '"' || line[pos + 1] == '\\' || line[pos + 1] == '$' ||
                     line[pos + 1] == '`')) {
                    result += line[pos + 1];
                    pos += 2;
                    continue;
                }
                result += q;
                ++pos;
            }
        } else if (c == '\'') {
            const size_t end = line.find('\'', pos + 1);
            if (end == std::string::npos) {
                return false;
            }
            result.append(line, pos + 1, end - pos - 1);
            pos = end + 1;
        } else if (c == '\\' && pos + 1 < line.size()) {
            result += line[pos + 1];
            pos += 2;
        } else {
            result += c;
            ++pos;
        }
    }
    // Only blanks or a comment may follow.
    while (pos < line.size() && IsBlank(line[pos])) {
        ++pos;
    }
    if (pos < line.size() && line[pos] != '#') {
        return false;
    }
    value->swap(result);
    return true;
}

}  // namespace

CUTOsRelease CUTOsRelease::FromText(const std::string& text) {
    CUTOsRelease release;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;

        size_t pos = 0;
        while (pos < line.size() && IsBlank(line[pos])) {
            ++pos;
        }
        const size_t name_start = pos;
        while (pos < line.size() && IsNameCharacter(line[pos], pos == name_start)) {
            ++pos;
        }
        if (pos == name_start || pos >= line.size() || line[pos] != '=') {
            continue;  // comment, blank line or not an assignment
        }
        std::string value;
        if (ParseValue(line, pos + 1, &value)) {
            release.values_[line.substr(name_start, pos - name_start)] = value;
        }
    }
    return release;
}

bool CUTOsRelease::FromFile(const std::wstring& path, CUTOsRelease* release) {
    std::string text;
    if (!ReadWholeFile(CUTPlatform::Current(), path, &text)) {
        *release = CUTOsRelease();
        return false;
    }
    *release = FromText(text);
    return true;
}

std::string CUTOsRelease::Value(const std::string& name) const {
    const auto found = values_.find(name);
    return found != values_.end() ? found->second : std::string();
}

std::wstring CUTOsRelease::DisplayName() const {
    const std::string pretty = Value("PRETTY_NAME");
    return FromUtf8(pretty.empty() ? std::string("Linux") : pretty);
}
