#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

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

// The OEM form of kMixed and of U+00E9 in the test process, whose host set no
// locale. On Linux the test never calls setlocale, so its LC_CTYPE is "C":
// plain ASCII is the OEM charset, every other character the default '?'. On
// Windows the OEM code page decides: 437 under wine, 437 or 850 on most
// Western systems; both have \u00fc, \u00df and \u00e9 at the same bytes,
// neither has the euro sign, and each half of a surrogate pair becomes the
// default character.
#ifdef _WIN32
const char kOemMixed[] =
    "Gr\x81\xe1"
    "e ? ?\?!";
const char kOemEAcute = '\x82';
bool KnownOemForms() {
    const UINT code_page = ::GetOEMCP();
    return code_page == 437 || code_page == 850;
}
#else
const char kOemMixed[] = "Gr??e ? ?!";
const char kOemEAcute = '?';
bool KnownOemForms() {
    return true;
}
#endif

}  // namespace

TEST(TextConversionTest, OemFormOfTheCLocaleUsesTheDefaultCharacter) {
    if (!KnownOemForms()) {
        GTEST_SKIP() << "an OEM code page without known forms";
    }
    const struct {
        std::wstring wide;
        std::string oem;
    } cases[] = {
        {kMixed, kOemMixed},
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
#ifdef _WIN32
    // On Windows the locale that decides is the system's OEM code page: the
    // C runtime's locale of the host leaves the OEM form as it was.
    if (!KnownOemForms()) {
        GTEST_SKIP() << "an OEM code page without known forms";
    }
    if (std::setlocale(LC_CTYPE, ".1252") == nullptr) {
        GTEST_SKIP() << "no locale of code page 1252";
    }
    EXPECT_EQ(kOemMixed, TextConversion::FromWide(kMixed).OemOrEmpty());
    std::setlocale(LC_CTYPE, "C");
#else
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
        GTEST_SKIP() << "no C.UTF-8 locale";
    }
    EXPECT_EQ(kMixedUtf8, TextConversion::FromWide(kMixed).OemOrEmpty());
    // Unpaired surrogates still become the default character.
    EXPECT_EQ("?", TextConversion::FromWide(std::wstring(1, wchar_t(0xDC00))).OemOrEmpty());
    std::setlocale(LC_CTYPE, "C");
#endif
}

TEST(TextConversionTest, NoConversionForTheCharsetGivesAnEmptyText) {
    NoCharsetPlatform platform;
    CUTScopedPlatform scoped(&platform);
    const TextConversion text = TextConversion::FromWide(L"host-01");
    EXPECT_EQ("", text.OemOrEmpty());
    EXPECT_EQ(1, platform.calls);
}

TEST(TextConversionTest, LongTextsConvertWhole) {
    if (!KnownOemForms()) {
        GTEST_SKIP() << "an OEM code page without known forms";
    }
    std::wstring wide;
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        const bool accented = i % 7 == 0;
        wide += accented ? L'\u00e9' : static_cast<wchar_t>(L'a' + i % 26);
        expected += accented ? kOemEAcute : static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(expected, TextConversion::FromWide(wide).OemOrEmpty());
}
