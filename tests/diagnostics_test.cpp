#include <gtest/gtest.h>

#include <locale>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/UTStringFormater.h"
#include "base/UTTextCodec.h"
#include "log/UTException.h"
#include "log/UTLoggerManager.h"
#include "support/ScratchRoots.h"

namespace {

using tvut_test::ReadFile;
using tvut_test::ScratchFolder;

// ---- exceptions -----------------------------------------------------------------------

TEST(ExceptionTest, ChainIsLoggedOuterFirstAtItsSeverities) {
    ScratchFolder scratch;
    const std::string path = scratch.Join("logs/TVUTLog.log");
    CUTLoggerManager* logger = CUTLoggerManager::GetInstance();
    ASSERT_NE(nullptr, logger);
    logger->Init(FromUtf8(scratch.Join("logs")).c_str(), FromUtf8(path).c_str(), 51200, 3,
                 UT_LOG_DEVDBG);

    // error -> unknown code (skipped) -> warning -> info
    const CUTException chain(
        UT_SEVERITY_ERROR, L"outer failure",
        new CUTException(
            7, L"odd code",
            new CUTException(UT_SEVERITY_WARNING, L"middle warning",
                             new CUTException(UT_SEVERITY_INFO, L"inner info", nullptr))));
    LogExceptionChain(chain);

    std::istringstream lines(ReadFile(path));
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);) {
        got.push_back(line.substr(0, 7) + "|" + line.substr(line.rfind(" | ") + 3));
    }
    const std::vector<std::string> expected = {"Error  |outer failure", "Warning|middle warning",
                                               "Info   |inner info"};
    EXPECT_EQ(expected, got);
}

TEST(ExceptionTest, CopiesShareTheInnerException) {
    CUTException inner_owner(UT_SEVERITY_ERROR, nullptr,
                             new CUTException(UT_SEVERITY_INFO, L"inner", nullptr));
    EXPECT_EQ(L"", inner_owner.Message());
    CUTException copy(inner_owner);
    EXPECT_EQ(inner_owner.Inner().get(), copy.Inner().get());
    EXPECT_EQ(UT_SEVERITY_ERROR, copy.Code());
    EXPECT_EQ(L"inner", copy.Inner()->Message());
    EXPECT_EQ(nullptr, copy.Inner()->Inner());
}

TEST(ExceptionTest, CommExceptionsAreThrownAndCaughtFirst) {
    const struct {
        const char* what;
        void (*thrower)();
        std::wstring message;
    } cases[] = {
        {"message", [] { ThrowCommException(L"Payload transmission stopped"); },
         L"Payload transmission stopped"},
        {"narrow detail",
         [] { ThrowCommException(L"Initial handshake failed due to ", std::string("timeout")); },
         L"Initial handshake failed due to timeout"},
        {"wide detail",
         [] { ThrowCommException(L"Prefix: ", std::wstring(L"d\u00e9tail"), UT_SEVERITY_WARNING); },
         L"Prefix: d\u00e9tail"},
        // A detail that is not UTF-8 is kept byte by byte rather than lost.
        {"bytes", [] { ThrowCommException(L"Bytes: ", std::string("a\xe9z")); },
         L"Bytes: a\u00e9z"},
    };
    for (const auto& c : cases) {
        bool caught_as_comm = false;
        try {
            c.thrower();
        } catch (const CUTCommException& e) {
            caught_as_comm = true;
            EXPECT_EQ(c.message, e.Message()) << c.what;
            EXPECT_EQ(
                std::string(c.what) == "wide detail" ? UT_SEVERITY_WARNING : UT_SEVERITY_ERROR,
                e.Code());
        } catch (const CUTException&) {
        }
        EXPECT_TRUE(caught_as_comm) << c.what;
    }
}

// ---- formatters -----------------------------------------------------------------------

// Groups thousands with ',' and uses ',' as the decimal point, like many
// national locales; the machine may have no such locale installed.
class GroupingPunct : public std::numpunct<char> {
protected:
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

class WideGroupingPunct : public std::numpunct<wchar_t> {
protected:
    wchar_t do_decimal_point() const override { return L','; }
    wchar_t do_thousands_sep() const override { return L'.'; }
    std::string do_grouping() const override { return "\3"; }
};

class GlobalLocaleTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::locale grouping(std::locale(std::locale::classic(), new GroupingPunct),
                                   new WideGroupingPunct);
        previous_ = std::locale::global(grouping);
    }
    void TearDown() override { std::locale::global(previous_); }

private:
    std::locale previous_;
};

TEST_F(GlobalLocaleTest, FormatersIgnoreTheGlobalLocale) {
    // The global locale really groups: a plain stream shows it.
    std::ostringstream plain;
    plain << 1234567;
    ASSERT_EQ("1.234.567", plain.str());

    CUTStringFormater narrow;
    narrow << 1234567 << ' ' << 2.5 << ' ' << -42;
    EXPECT_EQ("1234567 2.5 -42", narrow.str());

    CUTWStringFormater wide;
    wide << 1234567 << L' ' << 0.25 << L' ' << 4294967295u;
    EXPECT_EQ(L"1234567 0.25 4294967295", wide.str());

    EXPECT_EQ(L"-1234567", IntToWString(-1234567));
    EXPECT_EQ(L"0", IntToWString(0));
}

TEST_F(GlobalLocaleTest, FormatersParseClassicNumbers) {
    CUTStringFormater narrow("1234567 2.5");
    long long integer = 0;
    double real = 0;
    narrow >> integer >> real;
    EXPECT_EQ(1234567, integer);
    EXPECT_DOUBLE_EQ(2.5, real);

    CUTWStringFormater wide(L"51200 -3");
    long long size = 0;
    int negative = 0;
    wide >> size >> negative;
    EXPECT_FALSE(wide.fail());
    EXPECT_EQ(51200, size);
    EXPECT_EQ(-3, negative);
}

}  // namespace
