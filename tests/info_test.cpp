// The information objects the host fills: kormSTRING copy rules, ownership
// and the order of the virtual operations (part of the binary interface).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include <tvUT/UTProductInfo.h>

#include "info/UTKormString.h"
#include "info/UTProductInfoImp.h"
#include "support/HostText.h"

using tvut_test::HostString;

namespace {

struct CopyCase {
    const char* label;
    const kormCHAR* text;
    int32_t length;
    bool expect_null;
    const kormCHAR* expect_text;
};

HostString TextOf(const kormSTRING& value) {
    return value.text == nullptr ? HostString() : HostString(value.text);
}

}  // namespace

TEST(KormStringTest, CopyRulesHoldForEveryLength) {
    static const kormCHAR abc[] = HOST_TEXT("abc");
    static const kormCHAR abcdef[] = HOST_TEXT("abcdef");
    static const kormCHAR empty[] = HOST_TEXT("");
    const CopyCase cases[] = {
        {"zero-terminated", abc, -1, false, HOST_TEXT("abc")},
        {"counted prefix", abcdef, 3, false, HOST_TEXT("abc")},
        {"whole counted", abcdef, 6, false, HOST_TEXT("abcdef")},
        {"empty zero-terminated", empty, -1, false, HOST_TEXT("")},
        {"length zero", abc, 0, true, nullptr},
        {"length below -1", abc, -2, true, nullptr},
        {"very negative length", abc, INT32_MIN, true, nullptr},
        {"null text, -1", nullptr, -1, true, nullptr},
        {"null text, counted", nullptr, 5, true, nullptr},
    };
    for (const CopyCase& c : cases) {
        SCOPED_TRACE(c.label);
        kormSTRING target = kUnsetKormString;
        CopyKormString(&target, kormSTRING{const_cast<kormCHAR*>(c.text), c.length});
        EXPECT_EQ(c.length, target.length) << "the length passed in is kept";
        if (c.expect_null) {
            EXPECT_EQ(nullptr, target.text);
        } else {
            ASSERT_NE(nullptr, target.text);
            EXPECT_NE(c.text, target.text) << "the text is copied, not borrowed";
            EXPECT_EQ(HostString(c.expect_text), TextOf(target));
        }
        FreeKormString(&target);
    }
}

TEST(KormStringTest, CountedCopyReadsExactlyThatManyUnits) {
    // A counted text without a terminator, followed by units that must not
    // be read: the copy stops at the count and adds its own terminator.
    kormCHAR buffer[4] = {HOST_TEXT('x'), HOST_TEXT('y'), HOST_TEXT('z'), HOST_TEXT('!')};
    kormSTRING target = kUnsetKormString;
    CopyKormString(&target, kormSTRING{buffer, 3});
    ASSERT_NE(nullptr, target.text);
    EXPECT_EQ(HOST_TEXT("xyz"), TextOf(target));
    EXPECT_EQ(0, target.text[3]);
    // A count larger than the zero-terminated text copies the zero and what
    // follows it, exactly as many units as counted.
    kormCHAR with_zero[5] = {HOST_TEXT('a'), 0, HOST_TEXT('b'), HOST_TEXT('c'), 0};
    CopyKormString(&target, kormSTRING{with_zero, 4});
    EXPECT_EQ(0, std::memcmp(with_zero, target.text, 4 * sizeof(kormCHAR)));
    EXPECT_EQ(0, target.text[4]);
    FreeKormString(&target);
}

TEST(KormStringTest, SelfCopyKeepsTheText) {
    kormSTRING target = kUnsetKormString;
    CopyKormString(&target, kormSTRING{const_cast<kormCHAR*>(HOST_TEXT("same")), -1});
    CopyKormString(&target, target);
    EXPECT_EQ(HOST_TEXT("same"), TextOf(target));
    FreeKormString(&target);
}

// Host text is read whole: each code unit that is not part of a valid UTF-16
// character becomes U+FFFD and everything around it is kept.
TEST(KormStringTest, InvalidUtf16ReadsAsReplacementCharacters) {
    const kormCHAR kHigh = 0xD83D, kLow = 0xDE00;  // together: U+1F600
    const wchar_t kBad = 0xFFFD;
    const struct {
        const char* label;
        HostString units;
        std::wstring expected;
    } cases[] = {
        {"plain", HOST_TEXT("login"), L"login"},
        {"valid pairs untouched", HOST_TEXT("a\U0001F600b\U00010000"), L"a\U0001F600b\U00010000"},
        {"lone high", HostString(HOST_TEXT("a")) + kHigh + HOST_TEXT("b"),
         std::wstring(L"a") + kBad + L"b"},
        {"lone low", HostString(HOST_TEXT("a")) + kLow + HOST_TEXT("b"),
         std::wstring(L"a") + kBad + L"b"},
        {"reversed pair", HostString(HOST_TEXT("a")) + kLow + kHigh + HOST_TEXT("b"),
         std::wstring(L"a") + kBad + kBad + L"b"},
        {"high at the end", HostString(HOST_TEXT("ab")) + kHigh, std::wstring(L"ab") + kBad},
        {"low at the start", HostString(1, kLow) + HOST_TEXT("ab"), std::wstring(1, kBad) + L"ab"},
        {"two highs then a low", HostString(HOST_TEXT("x")) + kHigh + kHigh + kLow,
         std::wstring(L"x") + kBad + L"\U0001F600"},
        {"only a surrogate", HostString(1, kHigh), std::wstring(1, kBad)},
        {"empty", HOST_TEXT(""), L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        HostString units = c.units;
        EXPECT_EQ(c.expected, KormStringToWide(kormSTRING{&units[0], -1}));
        EXPECT_EQ(c.expected,
                  KormStringToWide(kormSTRING{&units[0], static_cast<int32_t>(units.size())}));
    }
    EXPECT_EQ(L"", KormStringToWide(kormSTRING{nullptr, -1}));
}

// A host text longer than any name is cut at kHostTextMaxCharacters
// characters, never inside a surrogate pair, so that a session's transcript
// stays small enough to travel.
TEST(KormStringTest, LongHostTextsAreCutAtACharacterBoundary) {
    const HostString emoji = HOST_TEXT("\U0001F600");  // one character, two units
    const struct {
        const char* label;
        HostString text;
        std::wstring expected;
    } cases[] = {
        {"150,000 characters", HostString(150000, HOST_TEXT('a')), std::wstring(4096, L'a')},
        {"exactly the limit", HostString(4096, HOST_TEXT('b')), std::wstring(4096, L'b')},
        {"a pair as the last character kept",
         HostString(4095, HOST_TEXT('c')) + emoji + HOST_TEXT("d"),
         std::wstring(4095, L'c') + L"\U0001F600"},
        {"a pair just past the limit", HostString(4096, HOST_TEXT('e')) + emoji,
         std::wstring(4096, L'e')},
        {"short", HOST_TEXT("short"), L"short"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        HostString text = c.text;
        const kormSTRING value{reinterpret_cast<kormCHAR*>(&text[0]), -1};
        EXPECT_EQ(c.expected, KormStringToWide(value));
    }
}

TEST(ProductInfoTest, FreshObjectIsUnsetAndSettersCopy) {
    CUTProductInfo* product = CUTProductInfo::Create();
    ASSERT_NE(nullptr, product);
    using Getter = const kormSTRING& (CUTProductInfo::*)() const;
    using Setter = void (CUTProductInfo::*)(const kormSTRING&);
    const std::pair<Setter, Getter> fields[] = {
        {&CUTProductInfo::SetSerialNumber, &CUTProductInfo::GetSerialNumber},
        {&CUTProductInfo::SetProductLineId, &CUTProductInfo::GetProductLineId},
        {&CUTProductInfo::SetReleaseId, &CUTProductInfo::GetReleaseId},
        {&CUTProductInfo::SetReleaseType, &CUTProductInfo::GetReleaseType},
        {&CUTProductInfo::SetCountryCode, &CUTProductInfo::GetCountryCode},
        {&CUTProductInfo::SetLanguage, &CUTProductInfo::GetLanguage},
        {&CUTProductInfo::SetLicenseProductLineId, &CUTProductInfo::GetLicenseProductLineId},
        {&CUTProductInfo::SetLicenseProductReleaseId, &CUTProductInfo::GetLicenseProductReleaseId},
        {&CUTProductInfo::SetLicenseProductReleaseType,
         &CUTProductInfo::GetLicenseProductReleaseType},
        {&CUTProductInfo::SetProgramType, &CUTProductInfo::GetProgramType},
    };
    int index = 0;
    for (const auto& field : fields) {
        const kormSTRING& fresh = (product->*field.second)();
        EXPECT_EQ(nullptr, fresh.text);
        EXPECT_EQ(-1, fresh.length);
        // Each field holds its own value: a setter must not write another.
        HostString value =
            HOST_TEXT("value") + HostString(1, static_cast<kormCHAR>(HOST_TEXT('A') + index));
        (product->*field.first)(kormSTRING{&value[0], -1});
        value[0] = HOST_TEXT('X');  // the host reuses its buffer
        ++index;
    }
    index = 0;
    for (const auto& field : fields) {
        const HostString expected =
            HOST_TEXT("value") + HostString(1, static_cast<kormCHAR>(HOST_TEXT('A') + index));
        EXPECT_EQ(expected, TextOf((product->*field.second)())) << "field " << index;
        ++index;
    }
    // Setting again replaces (the first copy is freed: ASan checks the leak).
    product->SetReleaseType(kormSTRING{const_cast<kormCHAR*>(HOST_TEXT("B")), 0});
    EXPECT_EQ(nullptr, product->GetReleaseType().text);
    EXPECT_EQ(0, product->GetReleaseType().length);
    product->Dispose();
}

TEST(UserInfoTest, LoginFollowsTheCopyRules) {
    CUTUserInfo* user = CUTUserInfo::Create();
    ASSERT_NE(nullptr, user);
    EXPECT_EQ(nullptr, user->GetLogin().text);
    EXPECT_EQ(-1, user->GetLogin().length);
    user->SetLogin(kormSTRING{const_cast<kormCHAR*>(HOST_TEXT("someone")), 4});
    EXPECT_EQ(HOST_TEXT("some"), TextOf(user->GetLogin()));
    EXPECT_EQ(4, user->GetLogin().length);
    user->Dispose();

    TelvoranUserInfo own;
    own.SetLogin(kormSTRING{const_cast<kormCHAR*>(HOST_TEXT("x")), -1});
    EXPECT_EQ(HOST_TEXT("x"), TextOf(own.GetLogin()));
}

namespace {

// Index of a virtual function in its vtable, from the Itanium C++ ABI's
// representation of a pointer to a virtual member function (offset + 1).
template <class F>
ptrdiff_t SlotOf(F function) {
    static_assert(sizeof(F) == 2 * sizeof(ptrdiff_t), "Itanium member pointer");
    ptrdiff_t words[2];
    std::memcpy(words, &function, sizeof(words));
    EXPECT_EQ(1, words[0] & 1) << "not a virtual function";
    return (words[0] - 1) / static_cast<ptrdiff_t>(sizeof(void*));
}

// The destructor's entry: one slot on the original platform, two (complete
// and deleting destructor) under the Itanium ABI; everything after it shifts
// by the same amount.
constexpr ptrdiff_t kDestructorSlots = 2;
constexpr ptrdiff_t kFirstOperation = 1 + kDestructorSlots;

}  // namespace

TEST(SlotOrderTest, ObjectProductAndUserInterfacesKeepTheirOrder) {
    EXPECT_EQ(0, SlotOf(&CUTObject::Dispose));
    EXPECT_EQ(0, SlotOf(&CUTProductInfo::Dispose));
    const ptrdiff_t product_slots[] = {
        SlotOf(&CUTProductInfo::SetSerialNumber),
        SlotOf(&CUTProductInfo::GetSerialNumber),
        SlotOf(&CUTProductInfo::SetProductLineId),
        SlotOf(&CUTProductInfo::GetProductLineId),
        SlotOf(&CUTProductInfo::SetReleaseId),
        SlotOf(&CUTProductInfo::GetReleaseId),
        SlotOf(&CUTProductInfo::SetReleaseType),
        SlotOf(&CUTProductInfo::GetReleaseType),
        SlotOf(&CUTProductInfo::SetCountryCode),
        SlotOf(&CUTProductInfo::GetCountryCode),
        SlotOf(&CUTProductInfo::SetLanguage),
        SlotOf(&CUTProductInfo::GetLanguage),
        SlotOf(&CUTProductInfo::SetLicenseProductLineId),
        SlotOf(&CUTProductInfo::GetLicenseProductLineId),
        SlotOf(&CUTProductInfo::SetLicenseProductReleaseId),
        SlotOf(&CUTProductInfo::GetLicenseProductReleaseId),
        SlotOf(&CUTProductInfo::SetLicenseProductReleaseType),
        SlotOf(&CUTProductInfo::GetLicenseProductReleaseType),
        SlotOf(&CUTProductInfo::SetProgramType),
        SlotOf(&CUTProductInfo::GetProgramType),
    };
    for (ptrdiff_t i = 0; i < 20; ++i) {
        EXPECT_EQ(kFirstOperation + i, product_slots[i]) << "operation " << i;
    }
    EXPECT_EQ(kFirstOperation, SlotOf(&CUTUserInfo::GetLogin));
    EXPECT_EQ(kFirstOperation + 1, SlotOf(&CUTUserInfo::SetLogin));
}

TEST(ObjectTest, DisposeRunsTheMostDerivedDestructor) {
    static int destroyed = 0;
    class Probe : public CUTObject {
    public:
        ~Probe() override { ++destroyed; }
    };
    CUTObject* object = new Probe();
    object->Dispose();
    EXPECT_EQ(1, destroyed);
}
