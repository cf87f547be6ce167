#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "platform/UTPlatform.h"
#include "transcript/TextConversion.h"

namespace {

// A platform without a conversion for the locale's charset, that leaves
// bytes behind in its output, as a half-done conversion could.
class NoCharsetPlatform : public CUTPlatformWrapper {
public:
    NoCharsetPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    bool WideToLocaleCharset(const std::wstring& /*wide*/, std::string* out) override {
        ++calls;
        *out = "partial";
        return false;
    }
    int calls = 0;
};

const wchar_t kMixed[] = L"Gr\u00fc\u00dfe \u20ac \U0001F600!";
const char kMixedUtf8[] =
    "Gr\xc3\xbc\xc3\x9f"
    "e \xe2\x82\xac \xf0\x9f\x98\x80!";

}  // namespace

// The test process never calls setlocale, so its LC_CTYPE is "C": plain
// ASCII is the OEM charset, as for a host that never set a locale.
TEST(TextConversionTest, OemFormOfTheCLocaleUsesTheDefaultCharacter) {
    const struct {
        std::wstring wide;
        std::string oem;
    } cases[] = {
        {kMixed, "Gr??e ? ?!"},
        {L"", ""},
        {L"host-01", "host-01"},
        // An unpaired surrogate has no exact form either.
        {std::wstring(L"a") + wchar_t(0xD800) + L"b", "a?b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.oem, TextConversion::FromWide(c.wide).OemOrEmpty());
    }
}

TEST(TextConversionTest, OemFormFollowsTheLocaleTheHostSet) {
    // Here the test plays the host, which owns the locale.
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
        GTEST_SKIP() << "no C.UTF-8 locale";
    }
    EXPECT_EQ(kMixedUtf8, TextConversion::FromWide(kMixed).OemOrEmpty());
    // Unpaired surrogates still become the default character.
    EXPECT_EQ("?", TextConversion::FromWide(std::wstring(1, wchar_t(0xDC00))).OemOrEmpty());
    std::setlocale(LC_CTYPE, "C");
}

TEST(TextConversionTest, NoConversionForTheCharsetGivesAnEmptyText) {
    NoCharsetPlatform platform;
    CUTScopedPlatform scoped(&platform);
    const TextConversion text = TextConversion::FromWide(L"host-01");
    EXPECT_EQ("", text.OemOrEmpty());
    EXPECT_EQ(1, platform.calls);
}

TEST(TextConversionTest, LongTextsConvertWhole) {
    std::wstring wide;
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        const bool accented = i % 7 == 0;
        wide += accented ? L'\u00e9' : static_cast<wchar_t>(L'a' + i % 26);
        expected += accented ? '?' : static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(expected, TextConversion::FromWide(wide).OemOrEmpty());
}
