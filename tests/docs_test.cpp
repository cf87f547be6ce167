// The reference documents keep up with the code: every status code of
// UTTypes.h is in docs/api.md with its number, and every item of the settings
// table is in a table row of docs/settings.md. A code or an item added
// without its documentation fails here.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "config/UTConfigCommon.h"
#include "support/ScratchRoots.h"

namespace {

std::string SourceFile(const std::string& relative) {
    const std::string text = tvut_test::ReadFile(std::string(TVUT_SOURCE_DIR) + "/" + relative);
    EXPECT_FALSE(text.empty()) << relative << " is missing or empty";
    return text;
}

struct Enumerator {
    std::string name;
    std::string number;
};

// The enumerators "UT_... = number" of enum UTStatus, in the header's order.
std::vector<Enumerator> StatusEnumerators(const std::string& header) {
    std::vector<Enumerator> found;
    std::smatch body;
    if (!std::regex_search(header, body, std::regex(R"(enum\s+UTStatus\b[^{]*\{([^}]*)\})"))) {
        return found;
    }
    const std::string text = body[1].str();
    const std::regex entry(R"((UT_[A-Z0-9_]+)\s*=\s*(-?[0-9]+))");
    for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it) {
        found.push_back({(*it)[1].str(), (*it)[2].str()});
    }
    return found;
}

// Does one line of doc hold `name` and number, the number not part of a
// longer one (300 is not -300, nor 3000)?
bool SomeLineHolds(const std::string& doc, const std::string& name, const std::string& number) {
    const std::regex standalone("(^|[^0-9A-Za-z_-])" + number + "([^0-9]|$)");
    std::istringstream lines(doc);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("`" + name + "`") != std::string::npos &&
            std::regex_search(line, standalone)) {
            return true;
        }
    }
    return false;
}

// Item names are ASCII; anything else would not be found as written.
std::string Narrow(const wchar_t* name) {
    std::string text;
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        EXPECT_LT(static_cast<unsigned long>(*c), 0x80ul) << "item name is not ASCII";
        text.push_back(static_cast<char>(*c));
    }
    return text;
}

}  // namespace

TEST(ApiDocTest, NamesEveryStatusCodeWithItsNumber) {
    const std::vector<Enumerator> codes =
        StatusEnumerators(SourceFile("UTComponent/UT/include/tvUT/UTTypes.h"));
    ASSERT_FALSE(codes.empty()) << "no enumerator of enum UTStatus found in UTTypes.h";
    const std::string doc = SourceFile("docs/api.md");
    for (const Enumerator& code : codes) {
        EXPECT_TRUE(SomeLineHolds(doc, code.name, code.number))
            << "docs/api.md has no line with `" << code.name << "` and " << code.number;
    }
}

TEST(SettingsDocTest, HasATableRowForEverySettingsItem) {
    const std::vector<CUTConfigItem>& items = CUTConfigCommon::Items();
    ASSERT_FALSE(items.empty());
    const std::string doc = "\n" + SourceFile("docs/settings.md");
    for (const CUTConfigItem& item : items) {
        const std::string name = Narrow(item.name);
        EXPECT_NE(std::string::npos, doc.find("\n| `" + name + "` |"))
            << "docs/settings.md has no table row for `" << name << "`";
    }
}
