#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "platform/UTPlatform.h"
#include "transcript/TextConversion.h"

namespace {

// Counts the platform's charset conversions, to see what is kept.
class CountingPlatform : public CUTPlatformWrapper {
public:
    CountingPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    bool WideToLocaleCharset(const std::wstring& wide, std::string* out) override {
        ++to_oem;
        return CUTPlatformWrapper::WideToLocaleCharset(wide, out);
    }
    bool LocaleCharsetToWide(const std::string& text, std::wstring* out) override {
        ++from_oem;
        return CUTPlatformWrapper::LocaleCharsetToWide(text, out);
    }
    int to_oem = 0;
    int from_oem = 0;
};

const wchar_t kMixed[] = L"Gr\u00fc\u00dfe \u20ac \U0001F600!";
const char kMixedUtf8[] =
    "Gr\xc3\xbc\xc3\x9f"
    "e \xe2\x82\xac \xf0\x9f\x98\x80!";

}  // namespace

// The test process never calls setlocale, so its LC_CTYPE is "C": plain
// ASCII is the OEM charset, as for a host that never set a locale.
TEST(TextConversionTest, OemFormOfTheCLocaleUsesTheDefaultCharacter) {
    TextConversion text = TextConversion::FromWide(kMixed);
    ASSERT_NE(nullptr, text.Oem());
    EXPECT_EQ("Gr??e ? ?!", *text.Oem());
    EXPECT_EQ(std::wstring(kMixed).size(), text.Oem()->size());
    ASSERT_NE(nullptr, text.Utf8());
    EXPECT_EQ(kMixedUtf8, *text.Utf8());
}

TEST(TextConversionTest, Utf8AndWideConvertExactly) {
    TextConversion from_utf8 = TextConversion::FromUtf8(kMixedUtf8);
    ASSERT_NE(nullptr, from_utf8.Wide());
    EXPECT_EQ(kMixed, *from_utf8.Wide());
    EXPECT_EQ(kMixedUtf8, *from_utf8.Utf8());

    TextConversion empty = TextConversion::FromWide(L"");
    ASSERT_NE(nullptr, empty.Utf8());
    EXPECT_EQ("", *empty.Utf8());
    ASSERT_NE(nullptr, empty.Oem());
    EXPECT_EQ("", *empty.Oem());
}

TEST(TextConversionTest, FailedConversionsGiveAbsentTexts) {
    // Invalid UTF-8: no wide form, hence no OEM form; the source stays.
    for (const char* bad : {"ok\xff", "\xc3", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc0\xaf"}) {
        TextConversion text = TextConversion::FromUtf8(bad);
        EXPECT_EQ(nullptr, text.Wide()) << bad;
        EXPECT_EQ(nullptr, text.Oem()) << bad;
        ASSERT_NE(nullptr, text.Utf8());
        EXPECT_EQ(bad, *text.Utf8());
        EXPECT_EQ(L"", text.WideOrEmpty());
    }

    // An unpaired surrogate has no UTF-8 form; the OEM form gets the default
    // character.
    const std::wstring lone = std::wstring(L"a") + wchar_t(0xD800) + L"b";
    TextConversion surrogate = TextConversion::FromWide(lone);
    EXPECT_EQ(nullptr, surrogate.Utf8());
    ASSERT_NE(nullptr, surrogate.Oem());
    EXPECT_EQ("a?b", *surrogate.Oem());

    // Bytes that are not text in the locale charset (ASCII here).
    TextConversion oem = TextConversion::FromOem(std::string("caf\xe9"));
    EXPECT_EQ(nullptr, oem.Wide());
    EXPECT_EQ(nullptr, oem.Utf8());

    // Absent input gives absent output.
    for (TextConversion absent :
         {TextConversion(), TextConversion::FromUtf8(static_cast<const char*>(nullptr)),
          TextConversion::FromOem(static_cast<const char*>(nullptr)),
          TextConversion::FromWide(static_cast<const wchar_t*>(nullptr))}) {
        EXPECT_EQ(nullptr, absent.Wide());
        EXPECT_EQ(nullptr, absent.Utf8());
        EXPECT_EQ(nullptr, absent.Oem());
    }
}

TEST(TextConversionTest, FormsAreKeptOnceProduced) {
    CountingPlatform counting;
    CUTScopedPlatform scoped(&counting);

    TextConversion text = TextConversion::FromOem("host-01");
    const std::wstring* wide = text.Wide();
    ASSERT_NE(nullptr, wide);
    EXPECT_EQ(L"host-01", *wide);
    EXPECT_EQ(wide, text.Wide());
    EXPECT_EQ("host-01", *text.Utf8());
    // The OEM source is returned as given, never converted back.
    EXPECT_EQ("host-01", *text.Oem());
    EXPECT_EQ(1, counting.from_oem);
    EXPECT_EQ(0, counting.to_oem);

    // A failure is remembered too.
    TextConversion bad = TextConversion::FromOem(std::string("\xe9"));
    EXPECT_EQ(nullptr, bad.Wide());
    EXPECT_EQ(nullptr, bad.Utf8());
    EXPECT_EQ(nullptr, bad.Wide());
    EXPECT_EQ(2, counting.from_oem);

    TextConversion from_wide = TextConversion::FromWide(L"x");
    EXPECT_EQ("x", *from_wide.Oem());
    EXPECT_EQ("x", *from_wide.Oem());
    EXPECT_EQ(1, counting.to_oem);
}

TEST(TextConversionTest, OemFormFollowsTheLocaleTheHostSet) {
    // Here the test plays the host, which owns the locale.
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
        GTEST_SKIP() << "no C.UTF-8 locale";
    }
    TextConversion text = TextConversion::FromWide(kMixed);
    ASSERT_NE(nullptr, text.Oem());
    EXPECT_EQ(kMixedUtf8, *text.Oem());

    TextConversion oem = TextConversion::FromOem(std::string("caf\xc3\xa9"));
    ASSERT_NE(nullptr, oem.Wide());
    EXPECT_EQ(L"caf\u00e9", *oem.Wide());

    // Unpaired surrogates still become the default character, and invalid
    // bytes still fail whole.
    TextConversion lone = TextConversion::FromWide(std::wstring(1, wchar_t(0xDC00)));
    EXPECT_EQ("?", lone.OemOrEmpty());
    EXPECT_EQ(nullptr, TextConversion::FromOem(std::string("ab\xff")).Wide());
    std::setlocale(LC_CTYPE, "C");
}

TEST(TextConversionTest, LongTextsConvertWhole) {
    std::wstring wide;
    for (int i = 0; i < 5000; ++i) {
        wide += (i % 7 == 0) ? L'\u00e9' : static_cast<wchar_t>(L'a' + i % 26);
    }
    TextConversion text = TextConversion::FromWide(wide);
    ASSERT_NE(nullptr, text.Oem());
    EXPECT_EQ(wide.size(), text.Oem()->size());
    TextConversion back = TextConversion::FromUtf8(*text.Utf8());
    EXPECT_EQ(wide, *back.Wide());
}
