// Configuration files on disk: creation with defaults, scrambling, repair of
// damaged and hostile files, the parse guard, the first-attribute rule,
// saving, links and the access probes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <tinyxml.h>

#include "base/UTParseGuard.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigCommon.h"
#include "config/UTConfigPaths.h"
#include "config/UTFolderAccess.h"
#include "config/UTScrambler.h"
#include "config/UTXMLConfig.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"
#include "support/ChildProcess.h"
#include "support/FakePlatforms.h"
#include "support/ScratchRoots.h"
#include "support/WaitFor.h"

using tvut_test::ChildProcess;
using tvut_test::PathExists;
using tvut_test::ReadFile;
using tvut_test::ScratchRoots;
using tvut_test::WriteFile;

namespace {

std::string Unscrambled(const std::string& path) {
    std::string bytes = ReadFile(path);
    ScrambleBytes(&bytes);
    return bytes;
}

// Parses xml and returns the root element's name, or "" when it does not parse.
std::string RootName(const std::string& xml, TiXmlDocument* document) {
    document->Parse(xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (document->Error() || document->RootElement() == nullptr) {
        return "";
    }
    return document->RootElement()->ValueStr();
}

std::string ValueIn(TiXmlDocument* document, const char* item) {
    TiXmlElement* element = document->RootElement()->FirstChildElement(item);
    if (element == nullptr || element->FirstAttribute() == nullptr) {
        return "<missing>";
    }
    return element->FirstAttribute()->ValueStr();
}

class ConfigFileTest : public ::testing::Test {
protected:
    std::string PIUDFile() const { return roots_.pi_ud_folder() + "/ProdInd_UserDep.cur"; }
    std::string PIUIFile() const { return roots_.pi_ui_folder() + "/ProdInd_UserInd.cur"; }

    // Empty: these tests watch the files come to be. Nothing here sends.
    ScratchRoots roots_{ScratchRoots::kEmpty};
};

}  // namespace

TEST_F(ConfigFileTest, FirstLoadCreatesScrambledFilesWithDefaultsAndVersion) {
    CUTXMLConfig pi_ui(UT_FILE_PI_UI, kComponentFolderName);
    CUTXMLConfig pi_ud(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(pi_ui.Load());
    ASSERT_TRUE(pi_ud.Load());
    EXPECT_TRUE(pi_ui.IsWritable());

    struct stat st;
    ASSERT_EQ(0, ::stat(roots_.pi_ud_folder().c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u) << "folders are the owner's alone";

    const std::string raw = ReadFile(PIUIFile());
    TiXmlDocument plain_attempt;
    EXPECT_EQ("", RootName(raw, &plain_attempt)) << "bytes on disk are scrambled";

    TiXmlDocument document;
    ASSERT_EQ("PROD_IND_USER_IND", RootName(Unscrambled(PIUIFile()), &document));
    EXPECT_EQ(ToUtf8(CUTPlatform::Current()->ModuleVersion()),
              *document.RootElement()->Attribute(std::string("version")));
    int machine_items = 0;
    for (const CUTConfigItem& item : CUTConfigCommon::Items()) {
        if (item.file_class == UT_FILE_PI_UI) {
            ++machine_items;
            EXPECT_EQ(ToUtf8(item.default_value), ValueIn(&document, ToUtf8(item.name).c_str()));
        }
    }
    int children = 0;
    for (TiXmlElement* e = document.RootElement()->FirstChildElement(); e != nullptr;
         e = e->NextSiblingElement()) {
        ++children;
    }
    EXPECT_EQ(machine_items, children);

    TiXmlDocument user_document;
    ASSERT_EQ("PROD_IND_USER_DEP", RootName(Unscrambled(PIUDFile()), &user_document));
    EXPECT_EQ("-1", ValueIn(&user_document, "LastSendTimestamp"));
    EXPECT_EQ("", ValueIn(&user_document, "TelvoranLogin"));

    std::wstring value;
    EXPECT_TRUE(pi_ui.GetValue(L"LogLevel", false, &value));
    EXPECT_EQ(L"3", value);
    EXPECT_FALSE(pi_ud.GetValue(L"TelvoranLogin", false, &value)) << "empty reads as absent";
}

TEST_F(ConfigFileTest, ProductFileHoldsOnlyItsRoot) {
    CUTXMLConfig product(UT_FILE_PRODUCT, L"TVUT/LINE_1");
    ASSERT_TRUE(product.Load());
    TiXmlDocument document;
    ASSERT_EQ(
        "PROD_DEP_USER_DEP",
        RootName(Unscrambled(roots_.pi_ud_folder() + "/LINE_1/ProdDep_UserDep.cur"), &document));
    EXPECT_EQ(nullptr, document.RootElement()->FirstChildElement());
}

TEST_F(ConfigFileTest, DecodeMarkerSwitchesScramblingOffForTheProcess) {
    ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.pi_ui_folder())));
    ASSERT_TRUE(WriteFile(roots_.pi_ui_folder() + "/decode.xml", ""));
    CUTXMLConfig pi_ud(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(pi_ud.Load());
    EXPECT_FALSE(IsConfigScramblingOn());
    TiXmlDocument document;
    EXPECT_EQ("PROD_IND_USER_DEP", RootName(ReadFile(PIUDFile()), &document));
}

TEST_F(ConfigFileTest, ScrambledFileStaysReadableAfterTheMarkerAppears) {
    {
        CUTXMLConfig writer(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(writer.Load());
        writer.SetValue(L"LastSendTimestamp", L"1700000000", true);
    }
    ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.pi_ui_folder())));
    ASSERT_TRUE(WriteFile(roots_.pi_ui_folder() + "/decode.xml", ""));
    CheckDecodeMarker();
    ASSERT_FALSE(IsConfigScramblingOn());

    CUTXMLConfig reader(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    std::wstring value;
    ASSERT_TRUE(reader.GetValue(L"LastSendTimestamp", false, &value));
    EXPECT_EQ(L"1700000000", value) << "the delivered-send time must not be lost";
}

TEST_F(ConfigFileTest, DamagedFilesAreReplacedByDefaults) {
    std::string other_key =
        "<?xml version=\"1.0\" ?><PROD_IND_USER_DEP version=\"1\">"
        "<LastSendTimestamp value=\"5\" /></PROD_IND_USER_DEP>";
    for (char& c : other_key) {
        c = static_cast<char>(c ^ 0x55);
    }
    std::string random_bytes;
    for (int i = 0; i < 300; ++i) {
        random_bytes.push_back(static_cast<char>((i * 7919 + 13) % 251));
    }
    std::string no_root = "<?xml version=\"1.0\" ?><!-- nothing here -->";
    ScrambleBytes(&no_root);
    const struct {
        const char* label;
        std::string bytes;
    } cases[] = {
        {"zero bytes", ""},
        {"random bytes", random_bytes},
        {"scrambled with another key", other_key},
        {"valid XML without a root element", no_root},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.pi_ud_folder())));
        ASSERT_TRUE(WriteFile(PIUDFile(), c.bytes));
        CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
        EXPECT_TRUE(config.Load());
        EXPECT_FALSE(config.IsFailed());
        TiXmlDocument document;
        ASSERT_EQ("PROD_IND_USER_DEP", RootName(Unscrambled(PIUDFile()), &document));
        EXPECT_EQ("-1", ValueIn(&document, "LastSendTimestamp"));
    }
}

TEST_F(ConfigFileTest, FirstAttributeIsReadAndWrittenWhateverItsName) {
    ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.pi_ui_folder())));
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<PROD_IND_USER_IND version=\"0.0.0.0\">"
        "<LogLevel level=\"4\" value=\"1\" /><EnableLogging /><MaxFileCount value=\"9\" />"
        "<MaxFileCount value=\"12\" /></PROD_IND_USER_IND>";
    ScrambleBytes(&xml);
    ASSERT_TRUE(WriteFile(PIUIFile(), xml));

    CUTXMLConfig config(UT_FILE_PI_UI, kComponentFolderName);
    ASSERT_TRUE(config.Load());
    std::wstring value;
    ASSERT_TRUE(config.GetValue(L"LogLevel", false, &value));
    EXPECT_EQ(L"4", value);
    EXPECT_FALSE(config.GetValue(L"EnableLogging", false, &value))
        << "an element without attributes holds no value";
    ASSERT_TRUE(config.GetValue(L"MaxFileCount", false, &value));
    EXPECT_EQ(L"9", value) << "the first of duplicates counts, the one a write changes";

    config.SetValue(L"LogLevel", L"2", true);
    config.SetValue(L"EnableLogging", L"1", true);
    TiXmlDocument document;
    ASSERT_EQ("PROD_IND_USER_IND", RootName(Unscrambled(PIUIFile()), &document));
    TiXmlElement* level = document.RootElement()->FirstChildElement("LogLevel");
    EXPECT_EQ("2", *level->Attribute(std::string("level")));
    EXPECT_EQ("1", *level->Attribute(std::string("value")));
    EXPECT_EQ("1", *document.RootElement()
                        ->FirstChildElement("EnableLogging")
                        ->Attribute(std::string("value")));
    EXPECT_EQ(ToUtf8(CUTPlatform::Current()->ModuleVersion()),
              *document.RootElement()->Attribute(std::string("version")))
        << "a save stamps the current version";
}

TEST_F(ConfigFileTest, ChangesWaitInMemoryUntilSave) {
    CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(config.Load());
    const std::string before = ReadFile(PIUDFile());
    config.SetValue(L"TelvoranLogin", L"someone", false);
    config.SetValue(L"NewItem", L"x", false);
    EXPECT_EQ(before, ReadFile(PIUDFile()));
    std::wstring value;
    EXPECT_TRUE(config.GetValue(L"TelvoranLogin", false, &value));
    EXPECT_EQ(L"someone", value);
    ASSERT_TRUE(config.Save());
    TiXmlDocument document;
    ASSERT_EQ("PROD_IND_USER_DEP", RootName(Unscrambled(PIUDFile()), &document));
    EXPECT_EQ("someone", ValueIn(&document, "TelvoranLogin"));
    EXPECT_EQ("x", ValueIn(&document, "NewItem"));
    ASSERT_TRUE(config.GetValue(L"TelvoranLogin", true, &value));
    EXPECT_EQ(L"someone", value);
}

TEST_F(ConfigFileTest, NonAsciiValuesRoundTripAsUtf8) {
    CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(config.Load());
    const std::wstring login = L"J\u00fcrgen \u6771\u4eac <&\"'> \x01\t\n\r end";
    config.SetValue(L"TelvoranLogin", login, true);
    CUTXMLConfig reader(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    std::wstring value;
    ASSERT_TRUE(reader.GetValue(L"TelvoranLogin", false, &value));
    EXPECT_EQ(login, value);
}

// A save writes a file that reads back as the document it saved, whatever
// the file held: tvUT's own declaration replaces one whose values the
// printer would write unescaped, the first element of a name is the one
// read and written, and text that is not UTF-8 makes the file damaged.
TEST_F(ConfigFileTest, SavedFilesReadBackAsTheyWereSaved) {
    const std::string items =
        "<TelvoranLogin value=\"someone\" /><LastSendTimestamp value=\"1\" />"
        "<LastSendTimestamp value=\"2\" />";
    const std::string root = "<PROD_IND_USER_DEP version=\"1\">";
    const struct {
        const char* label;
        std::string file;
        bool damaged;
    } cases[] = {
        {"a quote in the declaration's encoding",
         "<?xml version=\"1.0\" encoding='U\"TF-8' ?>" + root + items + "</PROD_IND_USER_DEP>",
         false},
        {"a second declaration",
         "<?xml version=\"1.0\" ?><?xml version='1' encoding='a\"' ?>" + root + items +
             "</PROD_IND_USER_DEP>",
         false},
        {"a lead byte and a NUL in the declaration",
         std::string("<?xml version=\"1.0\" encoding=\"\xC6\0\"?>", 35) + root + items +
             "</PROD_IND_USER_DEP>",
         true},
        {"a lead byte at the end of a value",
         "<?xml version=\"1.0\" ?>" + root + "<Other value=\"a\xF2\" />" + items +
             "</PROD_IND_USER_DEP>",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchRoots roots(ScratchRoots::kEmpty);
        const std::string path = roots.pi_ud_folder() + "/ProdInd_UserDep.cur";
        ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots.pi_ud_folder())));
        std::string bytes = c.file;
        ScrambleBytes(&bytes);
        ASSERT_TRUE(WriteFile(path, bytes));
        {
            CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
            ASSERT_TRUE(config.Load());
            std::wstring value;
            ASSERT_TRUE(config.GetValue(L"LastSendTimestamp", false, &value));
            // Damaged: replaced by the defaults.
            EXPECT_EQ(c.damaged ? L"-1" : L"1", value) << "the first element of a name counts";
            config.SetValue(L"LastSendTimestamp", L"42", true);
            ASSERT_TRUE(config.GetValue(L"LastSendTimestamp", false, &value));
            EXPECT_EQ(L"42", value);
        }
        CUTXMLConfig reader(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(reader.Load());
        std::wstring value;
        ASSERT_TRUE(reader.GetValue(L"LastSendTimestamp", false, &value));
        EXPECT_EQ(L"42", value);
        if (!c.damaged) {
            ASSERT_TRUE(reader.GetValue(L"TelvoranLogin", false, &value));
            EXPECT_EQ(L"someone", value) << "an item nobody changed is still there";
        }
        TiXmlDocument document;
        ASSERT_EQ("PROD_IND_USER_DEP", RootName(Unscrambled(path), &document));
        const TiXmlDeclaration* declaration = document.FirstChild()->ToDeclaration();
        ASSERT_NE(nullptr, declaration);
        EXPECT_STREQ("UTF-8", declaration->Encoding());
    }
}

TEST_F(ConfigFileTest, SaveReplacesTheFileAndLeavesNoTemporaryFiles) {
    CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(config.Load());
    // A temporary file left by a process that died while saving, an hour
    // ago, and one of a writer at work now (in a process whose lock folder
    // is another, so the lock did not keep it out).
    ASSERT_TRUE(WriteFile(PIUDFile() + ".tmpABC123", "half"));
    struct timespec hour_ago[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, (PIUDFile() + ".tmpABC123").c_str(), hour_ago, 0));
    ASSERT_TRUE(WriteFile(PIUDFile() + ".tmpDEF456", "being written"));
    config.SetValue(L"LastSendTimestamp", L"42", true);
    EXPECT_FALSE(PathExists(PIUDFile() + ".tmpABC123"));
    ASSERT_TRUE(PathExists(PIUDFile() + ".tmpDEF456"));
    ::unlink((PIUDFile() + ".tmpDEF456").c_str());
    int entries = 0;
    for (const std::string& name : tvut_test::EntryNames(roots_.pi_ud_folder())) {
        entries += name.find("ProdInd_UserDep.cur") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(1, entries) << "the settings file and nothing beside it";
}

TEST(ConfigRootTest, UnavailableRootLeavesTheObjectWithoutDocument) {
    tvut_test::NoUserRootPlatform platform;
    CUTScopedPlatform scoped(&platform);
    CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
    EXPECT_TRUE(config.FolderPath().empty());
    EXPECT_FALSE(config.Load());
    std::wstring value;
    config.SetValue(L"TelvoranLogin", L"x", true);
    EXPECT_FALSE(config.GetValue(L"TelvoranLogin", false, &value));
    EXPECT_FALSE(config.Save());
    EXPECT_FALSE(config.IsWritable());
}

TEST_F(ConfigFileTest, UnwritableFolderMarksTheObjectFailedButKeepsItsCache) {
    // The user root's place is taken by a file: nothing can be created there.
    ASSERT_TRUE(WriteFile(roots_.user_root() + "/Telvoran", "not a folder"));
    CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
    EXPECT_FALSE(config.Load());
    EXPECT_TRUE(config.IsFailed());
    config.SetValue(L"TelvoranLogin", L"kept", false);
    std::wstring value;
    EXPECT_TRUE(config.GetValue(L"TelvoranLogin", false, &value));
    EXPECT_EQ(L"kept", value);
    EXPECT_FALSE(config.Save()) << "a file that never loaded is not written over";
}

TEST_F(ConfigFileTest, FolderTreeCreationAndProbes) {
    const std::wstring deep = FromUtf8(roots_.folder().Join("a/b/c"));
    EXPECT_TRUE(CreateFolderTree(CUTPlatform::Current(), deep));
    EXPECT_TRUE(CreateFolderTree(CUTPlatform::Current(), deep + L"/"))
        << "an existing folder is fine";
    EXPECT_FALSE(CreateFolderTree(CUTPlatform::Current(), L""));
    ASSERT_TRUE(WriteFile(roots_.folder().Join("file"), "x"));
    EXPECT_FALSE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.folder().Join("file"))));
    EXPECT_FALSE(
        CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.folder().Join("file/below"))));

    EXPECT_TRUE(CanWriteFolder(deep + L"/"));
    EXPECT_FALSE(CanWriteFolder(FromUtf8(roots_.folder().Join("missing/"))));
    EXPECT_TRUE(tvut_test::EntryNames(ToUtf8(deep)).empty()) << "the probe folder is removed again";

    EXPECT_TRUE(CanUpdateFile(FromUtf8(roots_.folder().Join("file"))));
    EXPECT_FALSE(CanUpdateFile(FromUtf8(roots_.folder().Join("missing"))));
}

TEST_F(ConfigFileTest, ReadOnlyFileIsStillReadButNotWritable) {
    {
        CUTXMLConfig writer(UT_FILE_PI_UI, kComponentFolderName);
        ASSERT_TRUE(writer.Load());
        writer.SetValue(L"LogLevel", L"4", true);
    }
    // Root may open anything: the refusal comes from the platform's probe.
    class ReadOnlyFiles : public CUTPlatformWrapper {
    public:
        ReadOnlyFiles() : CUTPlatformWrapper(CUTPlatform::Default()) {}
        CUTOsStatus CanOpenForUpdate(const std::wstring&) override {
            return CUTOsStatus::Failure("open", UTOsError::kAccessDenied, EACCES);
        }
    } platform;
    CUTScopedPlatform scoped(&platform);
    CUTXMLConfig reader(UT_FILE_PI_UI, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    EXPECT_FALSE(reader.IsWritable());
    std::wstring value;
    ASSERT_TRUE(reader.GetValue(L"LogLevel", false, &value));
    EXPECT_EQ(L"4", value);
}

// ---- the parse guard ------------------------------------------------------

namespace {

using tvut_test::Repeated;

CUTParseLimits DepthLimit(size_t depth) {
    CUTParseLimits limits;
    limits.max_depth = depth;
    return limits;
}

// Depth of the elements the parser built, complete or not: it links every
// element it started, also when it stops with an error, so this is how deep
// its recursion went.
int ParsedDepth(const TiXmlNode* node) {
    int deepest = 0;
    for (const TiXmlNode* child = node->FirstChild(); child != nullptr;
         child = child->NextSibling()) {
        const int depth = ParsedDepth(child) + (child->ToElement() != nullptr ? 1 : 0);
        deepest = depth > deepest ? depth : deepest;
    }
    return deepest;
}

}  // namespace

TEST(ParseGuardTest, CountsNestingAsTheParserReadsIt) {
    const struct {
        const char* label;
        std::string text;
        size_t limit;
        UTParseVerdict verdict;
    } cases[] = {
        {"a settings file", "<?xml version=\"1.0\" ?><R version=\"1\"><A value=\"1\" /></R>", 2,
         UTParseVerdict::kAccepted},
        {"three levels, limit three", "<a><b><c/></b></a>", 3, UTParseVerdict::kAccepted},
        {"three levels, limit two", "<a><b><c/></b></a>", 2, UTParseVerdict::kTooDeep},
        {"self-closing siblings", "<r><a/><a /><a x='1'/></r>", 2, UTParseVerdict::kAccepted},
        {"tags inside comments and CDATA",
         "<r><!-- <a><a><a> --><![CDATA[<a><a><a>]]><!DOCTYPE x><a/></r>", 2,
         UTParseVerdict::kAccepted},
        {"a processing instruction ends at its first '>'", "<r><?pi <a> ?><a><b/></a></r>", 2,
         UTParseVerdict::kTooDeep},
        {"quoted '<', '>' and '/>' in attribute values",
         "<r v=\"/>\"><a w=\"<a><a>\" x='</a>'><b/></a></r>", 3, UTParseVerdict::kAccepted},
        {"quoted '<', '>' and '/>' in attribute values, limit two",
         "<r v=\"/>\"><a w=\"<a><a>\" x='</a>'><b/></a></r>", 2, UTParseVerdict::kTooDeep},
        // The parser steps over a UTF-8 lead byte and the bytes after it as
        // one character, so it never sees these end tags.
        {"end tags hidden behind UTF-8 lead bytes", Repeated("<a>\xE0</a>", 3), 2,
         UTParseVerdict::kTooDeep},
        {"a declaration whose version holds '>'", "<?xml version=\"1>\"?><r><a/></r>", 2,
         UTParseVerdict::kAccepted},
        {"start tags that never close", Repeated("<a>", 65), kDocumentMaxDepth,
         UTParseVerdict::kTooDeep},
        {"an end tag for another element", "<a><b></a></b>", 8, UTParseVerdict::kMalformed},
        // The parser reads "&#" up to the next ";" wherever it is: only the
        // well-formed references pass.
        {"end tags hidden in character references", Repeated("<a>&#x</a>x;", 3), 2,
         UTParseVerdict::kMalformed},
        {"a decimal reference hiding an end tag", "<r><a>&#</a>#;</a></r>", 8,
         UTParseVerdict::kMalformed},
        {"a closing quote hidden in a character reference", "<r a=\"&#x\" x;\"><a><a></a></a></r>",
         8, UTParseVerdict::kMalformed},
        {"a reference in the declaration", "<?xml version=\"&#x\" x;\"?><r/>", 8,
         UTParseVerdict::kMalformed},
        {"an empty reference", "<r>&#;</r>", 8, UTParseVerdict::kMalformed},
        {"an upper-case X", "<r>&#X41;</r>", 8, UTParseVerdict::kMalformed},
        {"well-formed references", "<r a=\"&#65;&#x4a;\">&#x1F600;&#0;&amp;</r>", 8,
         UTParseVerdict::kAccepted},
        {"a named entity and a lone ampersand", "<r>&amp; & &lt</r>", 8, UTParseVerdict::kAccepted},
        {"a reference cut by the next tag", "<r>&#</r>", 8, UTParseVerdict::kMalformed},
        // The limit holds exactly, also for a start tag that the end of the
        // text cuts short (the parser links that element too).
        {"exactly at the limit", Repeated("<a>", 64) + Repeated("</a>", 64), kDocumentMaxDepth,
         UTParseVerdict::kAccepted},
        {"one over the limit", Repeated("<a>", 65) + Repeated("</a>", 65), kDocumentMaxDepth,
         UTParseVerdict::kTooDeep},
        {"a cut start tag one over the limit", Repeated("<a>", 64) + "<a", kDocumentMaxDepth,
         UTParseVerdict::kTooDeep},
        {"a cut start tag at the limit", Repeated("<a>", 63) + "<a", kDocumentMaxDepth,
         UTParseVerdict::kMalformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.verdict, CheckXmlDocument(c.text, DepthLimit(c.limit)));
    }
}

namespace {

// count attributes of distinct names, each with a leading space.
std::string Attributes(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    }
    return text;
}

std::string WithAttributes(size_t count) {
    return "<r" + Attributes(count) + "/>";
}

}  // namespace

// The parser looks each new attribute up among those before it, and
// allocates every node: both are capped far above what tvUT writes.
TEST(ParseGuardTest, CapsAttributesPerElementAndNodesPerDocument) {
    EXPECT_EQ(UTParseVerdict::kAccepted, CheckXmlDocument(WithAttributes(32), CUTParseLimits()));
    EXPECT_EQ(UTParseVerdict::kTooManyAttributes,
              CheckXmlDocument(WithAttributes(33), CUTParseLimits()));
    // Declaration attributes are not the parser's attribute list.
    EXPECT_EQ(
        UTParseVerdict::kAccepted,
        CheckXmlDocument("<?xml version='1' encoding='UTF-8' standalone='' ?>" + WithAttributes(32),
                         CUTParseLimits()));

    // Elements, texts, comments, unknown nodes and attributes all count.
    const struct {
        const char* label;
        std::string piece;
        size_t nodes_per_piece;
    } kinds[] = {{"elements", "<a/>", 1},       {"elements with text", "<a>t</a>", 2},
                 {"comments", "<!---->", 1},    {"unknown nodes", "<!x>", 1},
                 {"CDATA", "<![CDATA[x]]>", 1}, {"attributes", "<a x='1' y='2'/>", 3}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.label);
        const size_t fit = (kDocumentMaxNodes - 1) / kind.nodes_per_piece;
        EXPECT_EQ(UTParseVerdict::kAccepted,
                  CheckXmlDocument("<r>" + Repeated(kind.piece, fit) + "</r>", CUTParseLimits()));
        EXPECT_EQ(
            UTParseVerdict::kTooManyNodes,
            CheckXmlDocument("<r>" + Repeated(kind.piece, fit + 1) + "</r>", CUTParseLimits()));
    }
    TiXmlDocument document;
    UTParseVerdict verdict = UTParseVerdict::kAccepted;
    EXPECT_FALSE(ParseXmlGuarded(WithAttributes(20000), CUTParseLimits(), &document, &verdict));
    EXPECT_EQ(UTParseVerdict::kTooManyAttributes, verdict);
    EXPECT_EQ(nullptr, document.FirstChild()) << "the parser never ran";
}

TEST(ParseGuardTest, SizeCapIsTheCallersOrTheSettingsCap) {
    const std::string text = "<r>" + std::string(100, ' ') + "</r>";
    CUTParseLimits limits;
    limits.max_bytes = text.size();
    EXPECT_EQ(UTParseVerdict::kAccepted, CheckXmlDocument(text, limits));
    limits.max_bytes = text.size() - 1;
    EXPECT_EQ(UTParseVerdict::kTooLarge, CheckXmlDocument(text, limits));
    const std::string at_cap = "<r>" + std::string(kSettingsMaxBytes - 7, ' ') + "</r>";
    EXPECT_EQ(UTParseVerdict::kAccepted, CheckXmlDocument(at_cap, CUTParseLimits()));
    EXPECT_EQ(UTParseVerdict::kTooLarge, CheckXmlDocument(at_cap + " ", CUTParseLimits()));
}

TEST(ParseGuardTest, ParsesOnlyWhatItAccepts) {
    TiXmlDocument document;
    UTParseVerdict verdict = UTParseVerdict::kAccepted;
    EXPECT_FALSE(ParseXmlGuarded(Repeated("<a>", 40000), CUTParseLimits(), &document, &verdict));
    EXPECT_EQ(UTParseVerdict::kTooDeep, verdict);
    EXPECT_EQ(nullptr, document.FirstChild()) << "the parser never ran";

    ASSERT_TRUE(ParseXmlGuarded("<r><a v=\"\xC3\xA9\"/></r>", CUTParseLimits(), &document));
    EXPECT_EQ("\xC3\xA9",
              *document.RootElement()->FirstChildElement("a")->Attribute(std::string("v")));
    // A UTF-8 sequence cut short by the end of the text: the parser reads
    // past the end of it, which the guard's copy keeps inside its buffer.
    EXPECT_FALSE(ParseXmlGuarded("<r a=\"\xF0", CUTParseLimits(), &document));

    // A document the guard cannot follow to its end never reaches the
    // parser, not even the part before the damage.
    EXPECT_FALSE(
        ParseXmlGuarded("<r><a>1</a><b>&#x</b>x;</r>", CUTParseLimits(), &document, &verdict));
    EXPECT_EQ(UTParseVerdict::kMalformed, verdict);
    EXPECT_EQ(nullptr, document.FirstChild()) << "the parser never ran";
    EXPECT_FALSE(ParseXmlGuarded("<r><a>1</a><b>", CUTParseLimits(), &document, &verdict));
    EXPECT_EQ(nullptr, document.FirstChild()) << "the parser never ran";
}

// Documents built from pieces that the parser reads in unusual ways: for
// each, the guard must never accept what takes the parser deeper than the
// limit, and must accept what the parser reads without error within it.
bool HasLooseCharacterReference(const std::string& text) {
    static const std::regex kWellFormed("^&#([0-9]+|x[0-9a-fA-F]+);");
    for (size_t at = text.find("&#"); at != std::string::npos; at = text.find("&#", at + 1)) {
        if (at + 2 < text.size() &&
            !std::regex_search(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(),
                               kWellFormed)) {
            return true;
        }
    }
    return false;
}

TEST(ParseGuardTest, AgreesWithTheParserOnGeneratedDocuments) {
    const std::vector<std::string> pieces = {"<a>",
                                             "</a>",
                                             "<b>",
                                             "</b>",
                                             "<a/>",
                                             "<b x='1'/>",
                                             "<a x=\"</a>\">",
                                             "<a y=\"/>\">",
                                             "<!-- <a> -->",
                                             "<![CDATA[<a></a>]]>",
                                             "<?pi <a> ?>",
                                             "<?xml version=\"1>\"?>",
                                             "<?xml foo=\"1>\"?>",
                                             "<!DOCTYPE <a>>",
                                             "\xE0",
                                             "\xC3",
                                             "\xF0",
                                             "text",
                                             " ",
                                             "&amp;",
                                             "&#x41;",
                                             "'",
                                             "\"",
                                             "<",
                                             ">",
                                             "/",
                                             "=",
                                             "<a ",
                                             "<_q>",
                                             "</_q>",
                                             "\xEF\xBB\xBF",
                                             "<!--",
                                             "-->",
                                             "]]>",
                                             "<![CDATA[",
                                             "\n",
                                             "<a\xE0>",
                                             "</a\xE0>",
                                             "x=\"",
                                             "\xC2\xA0",
                                             "&#x",
                                             "&#",
                                             "x;",
                                             ";",
                                             "1"};
    std::mt19937 random(20261210);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = random() % 2 == 0 ? "<r>" : "";
        const int count = static_cast<int>(random() % 14);
        for (int i = 0; i < count; ++i) {
            text += pieces[random() % pieces.size()];
        }
        if (random() % 2 == 0) {
            text += "</r>";
        }
        // Shallow by construction, so the parser may read it unguarded; the
        // spare zero bytes keep its reads past a cut UTF-8 sequence inside.
        const std::string padded = text + std::string(4, '\0');
        TiXmlDocument document;
        document.Parse(padded.c_str(), nullptr, TIXML_ENCODING_UTF8);
        const size_t depth = static_cast<size_t>(ParsedDepth(&document));
        const bool parsed = !document.Error() && document.RootElement() != nullptr;
        for (size_t limit = 1; limit <= 4; ++limit) {
            const UTParseVerdict verdict = CheckXmlDocument(text, DepthLimit(limit));
            if (verdict == UTParseVerdict::kAccepted) {
                ++accepted;
                ASSERT_LE(depth, limit) << "accepted too deep: [" << text << "]";
            }
            // A character reference the guard does not follow is refused
            // however the parser reads it.
            if (parsed && depth <= limit && !HasLooseCharacterReference(text)) {
                ASSERT_EQ(UTParseVerdict::kAccepted, verdict) << "refused: [" << text << "]";
            }
        }
    }
    EXPECT_GT(accepted, 10000) << "the generated documents exercise acceptance";
}

// ---- hostile settings files -------------------------------------------------

namespace {

// Exit code of child, or -2 when it has not ended within the bound (it is
// then killed): a hang shows as a failure, not as a stuck test.
int WaitWithin(ChildProcess* child, std::chrono::seconds bound) {
    if (tvut_test::WaitFor([child] { return child->HasEnded(); }, bound)) {
        return child->Wait();
    }
    child->Kill();
    child->Wait();
    return -2;
}

std::string Scrambled(std::string bytes) {
    ScrambleBytes(&bytes);
    return bytes;
}

}  // namespace

// Each file is loaded by a child process that then stays alive: a crash
// shows as its exit status, a hang as a timeout, and a second process must
// be able to take the file's lock while the first still runs.
TEST_F(ConfigFileTest, HostileSettingsFilesGetDefaultsInAChildProcess) {
    const std::string header = "<?xml version=\"1.0\" ?><PROD_IND_USER_DEP version=\"1\">";
    const struct {
        const char* label;
        int kind;  // 0 bytes, 1 FIFO, 2 link, 3 folder
        std::string content;
        bool replaced;
    } cases[] = {
        {"40,000 nested elements", 0, Scrambled(header + Repeated("<a>", 40000)), true},
        {"40,000 nested elements, plain", 0, header + Repeated("<a>", 40000), true},
        {"nesting hidden behind UTF-8 lead bytes", 0,
         Scrambled(header + Repeated("<a>\xE0</a>", 40000) + "</PROD_IND_USER_DEP>"), true},
        {"end tags hidden in character references", 0,
         Scrambled(header + Repeated("<a>&#x</a>x;", 80000) + "</PROD_IND_USER_DEP>"), true},
        {"a closing quote hidden in a character reference, plain", 0,
         "<?xml version=\"1.0\" ?><PROD_IND_USER_DEP version=\"&#x\" x;\">" +
             Repeated("<a>", 200000),
         true},
        {"20,000 attributes", 0,
         Scrambled(header + "<LastSendTimestamp value=\"5\"" + Attributes(20000) +
                   "/></PROD_IND_USER_DEP>"),
         true},
        {"over the size cap", 0,
         Scrambled(header + "<LastSendTimestamp value=\"5\" /><!--" +
                   std::string(kSettingsMaxBytes, 'x') + "--></PROD_IND_USER_DEP>"),
         true},
        {"a FIFO", 1, "", true},
        {"a link to /dev/zero", 2, "/dev/zero", true},
        {"a link to nothing", 2, "/nonexistent/tvut", true},
        {"a folder", 3, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tvut_test::ScratchRoots roots;
        const std::string path = roots.pi_ud_folder() + "/ProdInd_UserDep.cur";
        ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots.pi_ud_folder())));
        switch (c.kind) {
            case 0:
                ASSERT_TRUE(WriteFile(path, c.content));
                break;
            case 1:
                ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
                break;
            case 2:
                ASSERT_EQ(0, ::symlink(c.content.c_str(), path.c_str()));
                break;
            default:
                ASSERT_EQ(0, ::mkdir(path.c_str(), 0700));
                break;
        }
        int loaded[2];
        ASSERT_EQ(0, ::pipe(loaded));
        ChildProcess loader([&] {
            ::close(loaded[0]);
            CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
            const bool ok = config.Load();
            std::wstring stamp;
            const bool defaults =
                config.GetValue(L"LastSendTimestamp", false, &stamp) && stamp == L"-1";
            const char result = ok && defaults ? 'd' : (!ok && config.IsFailed() ? 'f' : 'x');
            if (::write(loaded[1], &result, 1) != 1) {
                return 2;
            }
            // Stay alive until the parent has seen a second process lock.
            ::pause();
            return 0;
        });
        ::close(loaded[1]);
        char result = 0;
        struct pollfd answer = {loaded[0], POLLIN, 0};
        ASSERT_EQ(1, ::poll(&answer, 1, 60000)) << "Load hangs";
        const bool got = ::read(loaded[0], &result, 1) == 1;
        ::close(loaded[0]);
        ASSERT_TRUE(got) << "the loader died before it answered: exit " << loader.Wait();
        EXPECT_EQ(c.replaced ? 'd' : 'f', result);

        ChildProcess locker([&] {
            CUTNamedLockGuard guard(FileLockName(FromUtf8(path)));
            return guard.IsHeld() ? 0 : 1;
        });
        EXPECT_EQ(0, WaitWithin(&locker, std::chrono::seconds(60)))
            << "the file lock is still held";
        loader.Kill();
        loader.Wait();

        struct stat st;
        ASSERT_EQ(0, ::lstat(path.c_str(), &st));
        if (c.replaced) {
            ASSERT_TRUE(S_ISREG(st.st_mode)) << "replaced by a regular file";
            TiXmlDocument document;
            ASSERT_EQ("PROD_IND_USER_DEP", RootName(Unscrambled(path), &document));
            EXPECT_EQ("-1", ValueIn(&document, "LastSendTimestamp"));
        } else {
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << "a folder is left alone";
        }
    }
}

namespace {

// Counts the bytes read from files whose path contains a text.
class CountingReads : public CUTPlatformWrapper {
public:
    explicit CountingReads(std::wstring watched)
        : CUTPlatformWrapper(CUTPlatform::Default()), watched_(std::move(watched)) {}
    CUTOsStatus OpenForReading(const std::wstring& path, CUTFileStatus* status,
                               std::unique_ptr<CUTReadableFile>* file) override {
        const CUTOsStatus opened = target()->OpenForReading(path, status, file);
        if (opened && path.find(watched_) != std::wstring::npos) {
            file->reset(new Counted(std::move(*file), &bytes_));
        }
        return opened;
    }
    uint64_t bytes() const { return bytes_.load(); }

private:
    class Counted : public CUTReadableFile {
    public:
        Counted(std::unique_ptr<CUTReadableFile> file, std::atomic<uint64_t>* bytes)
            : file_(std::move(file)), bytes_(bytes) {}
        CUTOsStatus Read(void* bytes, size_t size, size_t* count) override {
            const CUTOsStatus read = file_->Read(bytes, size, count);
            bytes_->fetch_add(*count);
            return read;
        }

    private:
        std::unique_ptr<CUTReadableFile> file_;
        std::atomic<uint64_t>* bytes_;
    };

    std::wstring watched_;
    std::atomic<uint64_t> bytes_{0};
};

}  // namespace

TEST_F(ConfigFileTest, HugeSettingsFileIsNotReadWhole) {
    ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.pi_ud_folder())));
    ASSERT_TRUE(WriteFile(PIUDFile(), ""));
    ASSERT_EQ(0, ::truncate(PIUDFile().c_str(), 100 * 1024 * 1024));  // sparse: no disk used
    CountingReads platform(L"ProdInd_UserDep.cur");
    CUTScopedPlatform scoped(&platform);
    CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(config.Load());
    EXPECT_LE(platform.bytes(), kSettingsMaxBytes + 1) << "read whole";
    std::wstring stamp;
    ASSERT_TRUE(config.GetValue(L"LastSendTimestamp", false, &stamp));
    EXPECT_EQ(L"-1", stamp) << "replaced by defaults";
    EXPECT_LT(ReadFile(PIUDFile()).size(), 4096u);
}

// A settings path that is a link: its target is read, but a load never
// changes the target's mode and a save replaces the link instead of writing
// into the target.
TEST_F(ConfigFileTest, LinkedSettingsFileIsNeitherChmoddedNorWrittenThrough) {
    ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.pi_ud_folder())));
    const std::string target = roots_.folder().Join("elsewhere.cur");
    const std::string content = Scrambled(
        "<?xml version=\"1.0\" ?><PROD_IND_USER_DEP version=\"1\">"
        "<LastSendTimestamp value=\"77\" /><TelvoranLogin value=\"\" /></PROD_IND_USER_DEP>");
    ASSERT_TRUE(WriteFile(target, content));
    ASSERT_EQ(0, ::chmod(target.c_str(), 0400));
    ASSERT_EQ(0, ::symlink(target.c_str(), PIUDFile().c_str()));

    CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(config.Load());
    std::wstring stamp;
    ASSERT_TRUE(config.GetValue(L"LastSendTimestamp", false, &stamp));
    EXPECT_EQ(L"77", stamp) << "the link's target is read";
    struct stat st;
    ASSERT_EQ(0, ::stat(target.c_str(), &st));
    EXPECT_EQ(0400u, st.st_mode & 07777u) << "Load changed the target's mode";
    ASSERT_EQ(0, ::lstat(PIUDFile().c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "a load without changes writes nothing";

    config.SetValue(L"TelvoranLogin", L"someone", true);
    EXPECT_EQ(content, ReadFile(target)) << "the save wrote into the link's target";
    ASSERT_EQ(0, ::stat(target.c_str(), &st));
    EXPECT_EQ(0400u, st.st_mode & 07777u);
    ASSERT_EQ(0, ::lstat(PIUDFile().c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link is replaced by the settings file";
    TiXmlDocument document;
    ASSERT_EQ("PROD_IND_USER_DEP", RootName(Unscrambled(PIUDFile()), &document));
    EXPECT_EQ("77", ValueIn(&document, "LastSendTimestamp"));
    EXPECT_EQ("someone", ValueIn(&document, "TelvoranLogin"));
}

// The inspector reads settings the way the component does: a hostile file
// gets a message, never a crash or a hang.
TEST_F(ConfigFileTest, InspectorReportsHostileFilesInsteadOfCrashing) {
    const std::string inspector = std::string(TVUT_BINARY_DIR) + "/tools/tvut_inspect";
    const std::string header = "<?xml version=\"1.0\" ?><PROD_IND_USER_DEP version=\"1\">";
    const std::string deep = roots_.folder().Join("deep.cur");
    const std::string large = roots_.folder().Join("large.cur");
    const std::string fifo = roots_.folder().Join("fifo.cur");
    ASSERT_TRUE(WriteFile(deep, Scrambled(header + Repeated("<a>", 40000))));
    ASSERT_TRUE(WriteFile(large, Scrambled(header + "<!--" + std::string(kSettingsMaxBytes, 'x') +
                                           "--></PROD_IND_USER_DEP>")));
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const struct {
        std::string arguments;
        int code;
        const char* says;
    } cases[] = {
        {"decode " + deep, 1, "deeper than 64 levels"},
        {"decode " + large, 1, "larger than"},
        {"decode " + fifo, 1, "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        std::string output;
        // "timeout" turns a hang into exit code 124.
        EXPECT_EQ(c.code,
                  tvut_test::RunCommand("timeout 60 " + inspector + " " + c.arguments, &output));
        EXPECT_NE(std::string::npos, output.find(c.says)) << output;
    }
    ASSERT_TRUE(CreateFolderTree(CUTPlatform::Current(), FromUtf8(roots_.pi_ud_folder())));
    ASSERT_TRUE(WriteFile(PIUDFile(), ReadFile(deep)));
    std::string output;
    EXPECT_EQ(0, tvut_test::RunCommand("timeout 60 " + inspector + " config", &output));
    EXPECT_NE(std::string::npos, output.find("not readable yet")) << output;
}
