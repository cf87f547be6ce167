// Configuration files on disk: creation with defaults, scrambling, repair of
// damaged files, the first-attribute rule, saving and the access
// probes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include <tinyxml.h>

#include "config/UTConfigCommon.h"
#include "config/UTConfigPaths.h"
#include "config/UTFolderAccess.h"
#include "config/UTScrambler.h"
#include "config/UTXMLConfig.h"
#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"
#include "support/FakePlatforms.h"
#include "support/ScratchRoots.h"

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

    ScratchRoots roots_;
};

}  // namespace

TEST_F(ConfigFileTest, FirstLoadCreatesScrambledFilesWithDefaultsAndVersion) {
    CUTXMLConfig pi_ui(UT_CONFIG_PI_UI, kComponentFolderName);
    CUTXMLConfig pi_ud(UT_CONFIG_PI_UD, kComponentFolderName);
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
    CUTXMLConfig product(UT_CONFIG_PRODUCT, L"TVUT/LINE_1");
    ASSERT_TRUE(product.Load());
    TiXmlDocument document;
    ASSERT_EQ(
        "PROD_DEP_USER_DEP",
        RootName(Unscrambled(roots_.pi_ud_folder() + "/LINE_1/ProdDep_UserDep.cur"), &document));
    EXPECT_EQ(nullptr, document.RootElement()->FirstChildElement());
}

TEST_F(ConfigFileTest, DecodeMarkerSwitchesScramblingOffForTheProcess) {
    ASSERT_TRUE(CreateFolderTree(FromUtf8(roots_.pi_ui_folder())));
    ASSERT_TRUE(WriteFile(roots_.pi_ui_folder() + "/decode.xml", ""));
    CUTXMLConfig pi_ud(UT_CONFIG_PI_UD, kComponentFolderName);
    ASSERT_TRUE(pi_ud.Load());
    EXPECT_FALSE(IsConfigScramblingOn());
    TiXmlDocument document;
    EXPECT_EQ("PROD_IND_USER_DEP", RootName(ReadFile(PIUDFile()), &document));
}

TEST_F(ConfigFileTest, ScrambledFileStaysReadableAfterTheMarkerAppears) {
    {
        CUTXMLConfig writer(UT_CONFIG_PI_UD, kComponentFolderName);
        ASSERT_TRUE(writer.Load());
        writer.SetValue(L"LastSendTimestamp", L"1700000000", true);
    }
    ASSERT_TRUE(CreateFolderTree(FromUtf8(roots_.pi_ui_folder())));
    ASSERT_TRUE(WriteFile(roots_.pi_ui_folder() + "/decode.xml", ""));
    CheckDecodeMarker();
    ASSERT_FALSE(IsConfigScramblingOn());

    CUTXMLConfig reader(UT_CONFIG_PI_UD, kComponentFolderName);
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
        ASSERT_TRUE(CreateFolderTree(FromUtf8(roots_.pi_ud_folder())));
        ASSERT_TRUE(WriteFile(PIUDFile(), c.bytes));
        CUTXMLConfig config(UT_CONFIG_PI_UD, kComponentFolderName);
        EXPECT_TRUE(config.Load());
        EXPECT_FALSE(config.IsFailed());
        TiXmlDocument document;
        ASSERT_EQ("PROD_IND_USER_DEP", RootName(Unscrambled(PIUDFile()), &document));
        EXPECT_EQ("-1", ValueIn(&document, "LastSendTimestamp"));
    }
}

TEST_F(ConfigFileTest, FirstAttributeIsReadAndWrittenWhateverItsName) {
    ASSERT_TRUE(CreateFolderTree(FromUtf8(roots_.pi_ui_folder())));
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<PROD_IND_USER_IND version=\"0.0.0.0\">"
        "<LogLevel level=\"4\" value=\"1\" /><EnableLogging /><MaxFileCount value=\"9\" />"
        "<MaxFileCount value=\"12\" /></PROD_IND_USER_IND>";
    ScrambleBytes(&xml);
    ASSERT_TRUE(WriteFile(PIUIFile(), xml));

    CUTXMLConfig config(UT_CONFIG_PI_UI, kComponentFolderName);
    ASSERT_TRUE(config.Load());
    std::wstring value;
    ASSERT_TRUE(config.GetValue(L"LogLevel", false, &value));
    EXPECT_EQ(L"4", value);
    EXPECT_FALSE(config.GetValue(L"EnableLogging", false, &value))
        << "an element without attributes holds no value";
    ASSERT_TRUE(config.GetValue(L"MaxFileCount", false, &value));
    EXPECT_EQ(L"12", value) << "a later duplicate overwrites an earlier one in the cache";

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
    CUTXMLConfig config(UT_CONFIG_PI_UD, kComponentFolderName);
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
    CUTXMLConfig config(UT_CONFIG_PI_UD, kComponentFolderName);
    ASSERT_TRUE(config.Load());
    const std::wstring login = L"J\u00fcrgen \u6771\u4eac <&\"'> \x01\t\n\r end";
    config.SetValue(L"TelvoranLogin", login, true);
    CUTXMLConfig reader(UT_CONFIG_PI_UD, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    std::wstring value;
    ASSERT_TRUE(reader.GetValue(L"TelvoranLogin", false, &value));
    EXPECT_EQ(login, value);
}

TEST_F(ConfigFileTest, SaveReplacesTheFileAndLeavesNoTemporaryFiles) {
    CUTXMLConfig config(UT_CONFIG_PI_UD, kComponentFolderName);
    ASSERT_TRUE(config.Load());
    // A temporary file left by a process that died while saving.
    ASSERT_TRUE(WriteFile(PIUDFile() + ".tmpABC123", "half"));
    config.SetValue(L"LastSendTimestamp", L"42", true);
    EXPECT_FALSE(PathExists(PIUDFile() + ".tmpABC123"));
    int entries = 0;
    for (const CUTFolderEntry& entry :
         CUTPlatform::Current()->WalkFolder(FromUtf8(roots_.pi_ud_folder()))) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(1, entries);
}

TEST(ConfigRootTest, UnavailableRootLeavesTheObjectWithoutDocument) {
    tvut_test::NoUserRootPlatform platform;
    CUTScopedPlatform scoped(&platform);
    CUTXMLConfig config(UT_CONFIG_PI_UD, kComponentFolderName);
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
    CUTXMLConfig config(UT_CONFIG_PI_UD, kComponentFolderName);
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
    EXPECT_TRUE(CreateFolderTree(deep));
    EXPECT_TRUE(CreateFolderTree(deep + L"/")) << "an existing folder is fine";
    EXPECT_FALSE(CreateFolderTree(L""));
    ASSERT_TRUE(WriteFile(roots_.folder().Join("file"), "x"));
    EXPECT_FALSE(CreateFolderTree(FromUtf8(roots_.folder().Join("file"))));
    EXPECT_FALSE(CreateFolderTree(FromUtf8(roots_.folder().Join("file/below"))));

    EXPECT_TRUE(CanWriteFolder(deep + L"/"));
    EXPECT_FALSE(CanWriteFolder(FromUtf8(roots_.folder().Join("missing/"))));
    int entries = 0;
    for (const CUTFolderEntry& entry : CUTPlatform::Current()->WalkFolder(deep)) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(0, entries) << "the probe folder is removed again";

    EXPECT_TRUE(CanUpdateFile(FromUtf8(roots_.folder().Join("file"))));
    EXPECT_FALSE(CanUpdateFile(FromUtf8(roots_.folder().Join("missing"))));
}

TEST_F(ConfigFileTest, ReadOnlyFileIsStillReadButNotWritable) {
    {
        CUTXMLConfig writer(UT_CONFIG_PI_UI, kComponentFolderName);
        ASSERT_TRUE(writer.Load());
        writer.SetValue(L"LogLevel", L"4", true);
    }
    // Root may open anything: the refusal comes from the platform's probe.
    class ReadOnlyFiles : public CUTPlatformWrapper {
    public:
        ReadOnlyFiles() : CUTPlatformWrapper(CUTPlatform::Default()) {}
        bool CanOpenForUpdate(const std::wstring&) override { return false; }
    } platform;
    CUTScopedPlatform scoped(&platform);
    CUTXMLConfig reader(UT_CONFIG_PI_UI, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    EXPECT_FALSE(reader.IsWritable());
    std::wstring value;
    ASSERT_TRUE(reader.GetValue(L"LogLevel", false, &value));
    EXPECT_EQ(L"4", value);
}
