// The codec against one table of texts, in each width of wide text: wchar_t
// through the component's own functions (UTF-32 here, UTF-16 on Windows),
// and the codec's core for char16_t and char32_t, so that the UTF-16 form of
// wide text -- what std::wstring holds on Windows -- is checked here too.
#include <gtest/gtest.h>

#include <string>

#include "base/UTTextCodec.h"
#include "base/UTTextCodecCore.h"

namespace {

// The conversions of one wide unit type, under the component's names.
template <class Unit>
struct CoreCodec {
    using Text = std::basic_string<Unit>;
    static bool Utf8ToWide(const std::string& in, Text* out) {
        return tvut_codec::Utf8ToUnits(in, out);
    }
    static bool WideToUtf8(const Text& in, std::string* out) {
        return tvut_codec::UnitsToUtf8(in, out);
    }
    static bool Utf16ToWide(const std::u16string& in, Text* out) {
        return tvut_codec::Utf16ToUnits(in, out);
    }
    static bool WideToUtf16(const Text& in, std::u16string* out) {
        return tvut_codec::UnitsToUtf16(in, out);
    }
    static Text DecodeHostUtf16(const std::u16string& in) {
        return tvut_codec::DecodeHostUtf16Units<Unit>(in.data(), in.size());
    }
    static size_t UnitsOfCharacters(const Text& in, size_t characters) {
        return tvut_codec::UnitsOfCharacters(in.data(), in.size(), characters);
    }
};

struct LibraryCodec {
    using Text = std::wstring;
    static bool Utf8ToWide(const std::string& in, Text* out) { return ::Utf8ToWide(in, out); }
    static bool WideToUtf8(const Text& in, std::string* out) { return ::WideToUtf8(in, out); }
    static bool Utf16ToWide(const std::u16string& in, Text* out) { return ::Utf16ToWide(in, out); }
    static bool WideToUtf16(const Text& in, std::u16string* out) { return ::WideToUtf16(in, out); }
    static Text DecodeHostUtf16(const std::u16string& in) {
        return ::DecodeHostUtf16(in.data(), in.size());
    }
    static size_t UnitsOfCharacters(const Text& in, size_t characters) {
        return WideUnitsOfCharacters(in.data(), in.size(), characters);
    }
};

// Wide text of the codec's unit type with the units of the form of its width,
// copied unit by unit (no conversion, so that the expectation is independent
// of the code under test).
template <class Codec>
typename Codec::Text Units(const std::u16string& utf16, const std::u32string& utf32) {
    using Unit = typename Codec::Text::value_type;
    typename Codec::Text text;
    if (sizeof(Unit) == 2) {
        for (char16_t c : utf16) {
            text.push_back(static_cast<Unit>(c));
        }
    } else {
        for (char32_t c : utf32) {
            text.push_back(static_cast<Unit>(c));
        }
    }
    return text;
}

// One valid text in its three forms.
struct ValidText {
    const char* name;
    std::string utf8;
    std::u16string utf16;
    std::u32string utf32;
};

const ValidText kValid[] = {
    {"empty", "", u"", U""},
    {"ascii", "abc", u"abc", U"abc"},
    {"NUL inside", std::string("a\0b", 3), std::u16string(u"a\0b", 3), std::u32string(U"a\0b", 3)},
    {"two and three bytes", "\xC3\xBC\xE2\x82\xAC", u"\u00FC\u20AC", U"\u00FC\u20AC"},
    {"U+FFFF", "\xEF\xBF\xBF", std::u16string(1, 0xFFFF), std::u32string(1, 0xFFFF)},
    {"U+10000", "\xF0\x90\x80\x80", {0xD800, 0xDC00}, {0x10000}},
    {"U+1F600 in a serial",
     "SN-\xF0\x9F\x98\x80-7",
     {'S', 'N', '-', 0xD83D, 0xDE00, '-', '7'},
     {'S', 'N', '-', 0x1F600, '-', '7'}},
    {"U+10FFFF", "\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}, {0x10FFFF}},
    {"pairs side by side",
     "\xF0\x9F\x98\x80\xF0\x9F\x98\x81",
     {0xD83D, 0xDE00, 0xD83D, 0xDE01},
     {0x1F600, 0x1F601}},
    {"last before the surrogates, first after",
     "\xED\x9F\xBF\xEE\x80\x80",
     {0xD7FF, 0xE000},
     {0xD7FF, 0xE000}},
};

// UTF-8 that no conversion accepts.
const char* const kInvalidUtf8[] = {
    "\xC0\xAF",                  // overlong "/"
    "\xE0\x80\xAF",              // overlong "/"
    "\xF0\x80\x80\x80",          // overlong NUL
    "\xC1\xBF",                  // overlong DEL
    "\xED\xA0\x80",              // a surrogate's own bytes
    "\xED\xA0\xBD\xED\xB8\x80",  // a pair's surrogates, each encoded (CESU-8)
    "\xF4\x90\x80\x80",          // beyond U+10FFFF
    "\xF8\x88\x80\x80\x80",
    "\xC3",            // cut short
    "ok\xF0\x9F\x98",  // cut short
    "\x80",            // a lone continuation byte
    "ok\xFF",
};

// Wide texts that have no exact form, as UTF-16 units (for 16-bit units) and
// as UTF-32 units (for 32-bit units), and what the host decoding makes of the
// UTF-16 units.
struct BrokenText {
    const char* name;
    std::u16string utf16;
    std::u32string utf32;
    std::u16string decoded16;
    std::u32string decoded32;
};

const BrokenText kBroken[] = {
    {"lone high", {'a', 0xD83D, 'b'}, {'a', 0xD83D, 'b'}, u"a\uFFFDb", U"a\uFFFDb"},
    {"lone low", {'a', 0xDE00}, {'a', 0xDE00}, u"a\uFFFD", U"a\uFFFD"},
    {"high at the end", {'a', 0xD800}, {'a', 0xD800}, u"a\uFFFD", U"a\uFFFD"},
    {"reversed pair", {0xDE00, 0xD83D}, {0xDE00, 0xD83D}, u"\uFFFD\uFFFD", U"\uFFFD\uFFFD"},
    {"two highs, then a low",
     {0xD83D, 0xD83D, 0xDE00},
     {0xD83D, 0xD83D, 0xDE00},
     {0xFFFD, 0xD83D, 0xDE00},
     {0xFFFD, 0x1F600}},
};

template <class Codec>
class TextCodecTableTest : public ::testing::Test {};

using Codecs = ::testing::Types<LibraryCodec, CoreCodec<char16_t>, CoreCodec<char32_t>>;
TYPED_TEST_SUITE(TextCodecTableTest, Codecs);

TYPED_TEST(TextCodecTableTest, ValidTextsConvertExactlyEveryWay) {
    using Codec = TypeParam;
    for (const ValidText& c : kValid) {
        SCOPED_TRACE(c.name);
        const typename Codec::Text wide = Units<Codec>(c.utf16, c.utf32);
        typename Codec::Text from_utf8;
        ASSERT_TRUE(Codec::Utf8ToWide(c.utf8, &from_utf8));
        EXPECT_TRUE(wide == from_utf8);
        std::string utf8 = "previous";
        ASSERT_TRUE(Codec::WideToUtf8(wide, &utf8));
        EXPECT_EQ(c.utf8, utf8);
        typename Codec::Text from_utf16;
        ASSERT_TRUE(Codec::Utf16ToWide(c.utf16, &from_utf16));
        EXPECT_TRUE(wide == from_utf16);
        std::u16string utf16;
        ASSERT_TRUE(Codec::WideToUtf16(wide, &utf16));
        EXPECT_TRUE(c.utf16 == utf16);
        EXPECT_TRUE(wide == Codec::DecodeHostUtf16(c.utf16));
        // Counting characters: a pair is one, and a cut after the first
        // character never leaves half of one.
        EXPECT_EQ(wide.size(), Codec::UnitsOfCharacters(wide, c.utf32.size()));
        EXPECT_EQ(wide.size(), Codec::UnitsOfCharacters(wide, c.utf32.size() + 1));
        if (!c.utf32.empty()) {
            using Unit = typename Codec::Text::value_type;
            const size_t first = sizeof(Unit) == 2 && c.utf32[0] >= 0x10000 ? 2 : 1;
            EXPECT_EQ(first, Codec::UnitsOfCharacters(wide, 1));
        }
    }
}

TYPED_TEST(TextCodecTableTest, InvalidUtf8FailsWhole) {
    using Codec = TypeParam;
    for (const char* text : kInvalidUtf8) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        typename Codec::Text out = Units<Codec>(u"previous", U"previous");
        EXPECT_FALSE(Codec::Utf8ToWide(text, &out));
        EXPECT_TRUE(out.empty()) << "never a partial result";
    }
}

TYPED_TEST(TextCodecTableTest, UnpairedSurrogatesFailExactlyAndDecodeToReplacements) {
    using Codec = TypeParam;
    for (const BrokenText& c : kBroken) {
        SCOPED_TRACE(c.name);
        const typename Codec::Text wide = Units<Codec>(c.utf16, c.utf32);
        std::string utf8 = "previous";
        EXPECT_FALSE(Codec::WideToUtf8(wide, &utf8));
        EXPECT_TRUE(utf8.empty());
        std::u16string utf16 = u"previous";
        EXPECT_FALSE(Codec::WideToUtf16(wide, &utf16));
        EXPECT_TRUE(utf16.empty());
        typename Codec::Text out = Units<Codec>(u"previous", U"previous");
        EXPECT_FALSE(Codec::Utf16ToWide(c.utf16, &out));
        EXPECT_TRUE(out.empty());
        EXPECT_TRUE(Units<Codec>(c.decoded16, c.decoded32) == Codec::DecodeHostUtf16(c.utf16));
    }
}

// What only UTF-32 units can hold: values beyond U+10FFFF, negative ones
// (a signed wchar_t), and a pair's surrogates as two units, which are two
// surrogates there, not a character.
template <class Codec>
void ExpectUtf32UnitsThatAreNoCharacterFail() {
    using Unit = typename Codec::Text::value_type;
    static_assert(sizeof(Unit) == 4, "32-bit units only");
    const std::u32string cases[] = {{0x110000}, {'a', 0x7FFFFFFF}, {0xD83D, 0xDE00}, {0xFFFFFFFF}};
    for (const std::u32string& units : cases) {
        SCOPED_TRACE(static_cast<unsigned long>(units.back()));
        const typename Codec::Text wide = Units<Codec>(u"", units);
        std::string utf8;
        EXPECT_FALSE(Codec::WideToUtf8(wide, &utf8));
        std::u16string utf16;
        EXPECT_FALSE(Codec::WideToUtf16(wide, &utf16));
    }
}

TEST(TextCodecTest, Utf32UnitsThatAreNoCharacterFail) {
    ExpectUtf32UnitsThatAreNoCharacterFail<CoreCodec<char32_t>>();
    if constexpr (sizeof(wchar_t) == 4) {
        ExpectUtf32UnitsThatAreNoCharacterFail<LibraryCodec>();
    }
}

// Wide text walked character by character: with 16-bit units a pair is one
// character, a lone surrogate one unit of its own value.
TEST(TextCodecTest, CharacterAtReadsPairsAsOneCharacterInUtf16) {
    const std::u16string text = {'a', 0xD83D, 0xDE00, 0xDE00, 0xD83D};
    const struct {
        size_t at;
        size_t units;
        char32_t code;
    } cases[] = {{0, 1, 'a'}, {1, 2, 0x1F600}, {2, 1, 0xDE00}, {3, 1, 0xDE00}, {4, 1, 0xD83D}};
    for (const auto& c : cases) {
        char32_t code = 0;
        EXPECT_EQ(c.units, tvut_codec::CharacterAt(text.data(), text.size(), c.at, &code)) << c.at;
        EXPECT_EQ(c.code, code) << c.at;
    }
    // The component's own width walks the same text of its own form.
    std::wstring wide;
    ASSERT_TRUE(Utf8ToWide("a\xF0\x9F\x98\x80", &wide));
    char32_t code = 0;
    const size_t units = WideCharacterAt(wide, 1, &code);
    EXPECT_EQ(0x1F600u, code);
    EXPECT_EQ(wide.size(), 1 + units);
}

}  // namespace
