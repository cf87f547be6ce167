// The upload request body, read back by an independent multipart reader
// (tests/multipart_check.py, Python's email package plus a byte-for-byte
// layout check): the 21 fields in order with their sources, the archive as
// the UsageFile part, the close delimiter with nothing after it, and the
// payload decisions and failures.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "UT/UTProcessState.h"
#include "base/UTTextCodec.h"
#include "comm/UTHttpClient.h"
#include "config/UTConfigManager.h"
#include "log/UTException.h"
#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"
#include "support/ChildProcess.h"
#include "support/ScratchRoots.h"

using tvut_test::ReadFile;
using tvut_test::RunCommand;
using tvut_test::ScratchRoots;
using tvut_test::WriteFile;

namespace {

const std::string kBoundary = "-------------------------------ceb3bc13bbea0941a04b2f8226f5d7ea";

// A machine with known names and identity sources, non-ASCII where a name
// can be.
class KnownMachine : public CUTPlatformWrapper {
public:
    KnownMachine() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    bool ComputerName(std::wstring* name) override {
        *name = computer;
        return true;
    }
    bool AccountName(std::wstring* name) override {
        *name = account;
        return true;
    }
    bool MachineIdBytes(std::string* bytes) override {
        *bytes = machine_id;
        return true;
    }
    bool SystemVolumeSerial(uint32_t* serial) override {
        *serial = volume_serial;
        return true;
    }
    std::wstring ModuleVersion() override { return L"9.8.7.6"; }

    std::wstring computer = L"Rechner-\u00c4\u00df";
    std::wstring account = L"j\u00fcrgen-\u7528\u6237";
    std::string machine_id = "5f3a9c0e7d2b4e6f8a1c3e5b7d9f0a2c\n";
    uint32_t volume_serial = 0x89abcdefu;
};

std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string Utf16Le(const std::wstring& text) {
    std::u16string units;
    WideToUtf16(text, &units);
    std::string bytes;
    for (char16_t unit : units) {
        bytes += static_cast<char>(unit & 0xff);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string JsonText(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

using Fields = std::vector<std::pair<std::string, std::string>>;

struct FilePart {
    std::string filename;
    std::string source;
};

class UploadRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "IST-5:30", 1);
        log_path_ = roots_.folder().Join("log/TVUTLog.log");
        CUTLoggerManager::GetInstance()->Init(FromUtf8(roots_.folder().Join("log")).c_str(),
                                              FromUtf8(log_path_).c_str(), 64 << 20, 3,
                                              UT_LOG_DEVDBG);
        CUTProcessState::client_mode.store(2);
        session_ = CUTConfigManager::GetInstance()->Runtime();
        session_->SetText(UTSessionText::Login, L"");
        session_->SetText(UTSessionText::ProgramType, L"");
        session_->SetText(UTSessionText::Language, L"de");
        session_->SetText(UTSessionText::SerialNumber, L"");
        session_->SetText(UTSessionText::CountryCode, L"AT");
        session_->SetText(UTSessionText::ReleaseType, L"F");
        session_->SetText(UTSessionText::ProductLineId, L"PRODUKT-\u03a9");
        session_->SetText(UTSessionText::ReleaseId, L"2026");
        session_->SetText(UTSessionText::LicenseProductLineId, L"LIC-LINE");
        session_->SetText(UTSessionText::LicenseProductReleaseId, L"2025");
        session_->SetText(UTSessionText::LicenseProductReleaseType, L"B");
    }

    // The 21 fields as the server must receive them, from what this test
    // set up (not from the code under test).
    Fields ExpectedFields(const std::string& login, const std::string& program_type,
                          bool payload) const {
        return {
            {"TLVR_LOGIN", login},
            {"PROD_LANG", "de"},
            {"SERIAL_NUM", ""},
            {"KORM_COUNTRY", "AT"},
            {"RELEASE_TYPE", "F"},
            {"PROD_LINE_ID", "PRODUKT-\xce\xa9"},
            {"RELEASE_ID", "2026"},
            {"LIC_PROD_LINE_ID", "LIC-LINE"},
            {"LIC_RELEASE_ID", "2025"},
            {"LIC_RELEASE_TYPE", "B"},
            {"PROGRAM_TYPE", program_type},
            {"NT_LOGIN", "j\xc3\xbcrgen-\xe7\x94\xa8\xe6\x88\xb7"},
            {"OS_LOCALE_ID", "1033"},
            {"GMT_OFFSET", "330"},
            {"UT_COMP_VER", "9.8.7.6"},
            {"CLIENT_MODE", "2"},
            {"MACHINE_NAME", "Rechner-\xc3\x84\xc3\x9f"},
            {"HIDDEN_PARAM_1", Sha256Hex(Utf16Le(machine_.computer + L"\\" + machine_.account))},
            {"HIDDEN_PARAM_2", Sha256Hex(machine_.machine_id)},
            {"HIDDEN_PARAM_3", Sha256Hex(std::string("\xef\xcd\xab\x89", 4))},
            {"PAYLOAD_PRESENT", payload ? "1" : "0"},
        };
    }

    std::string Body(const std::wstring& payload_path) {
        CUTHttpClient client("https://127.0.0.1/BRIMReceiver/receiver.aspx");
        client.BuildRequest(payload_path);
        std::string body(client.Queue().Pending(), '\0');
        client.Queue().Read(&body[0], body.size());
        return body;
    }

    // Runs the independent reader over body; "OK" when it matches.
    std::string Check(const std::string& body, const Fields& fields, const FilePart* file) {
        const std::string body_path = roots_.folder().Join("body.bin");
        const std::string expect_path = roots_.folder().Join("expect.json");
        std::string json = "{\"boundary\": " + JsonText(kBoundary) + ", \"fields\": [";
        for (size_t i = 0; i < fields.size(); ++i) {
            json += (i ? ", [" : "[") + JsonText(fields[i].first) + ", " +
                    JsonText(fields[i].second) + "]";
        }
        json += "], \"file\": ";
        json += file == nullptr ? std::string("null")
                                : "{\"filename\": " + JsonText(file->filename) +
                                      ", \"content_type\": \"application/x-zip-compressed\", "
                                      "\"source\": " +
                                      JsonText(file->source) + "}";
        json += "}";
        EXPECT_TRUE(WriteFile(body_path, body));
        EXPECT_TRUE(WriteFile(expect_path, json));
        std::string output;
        RunCommand("python3 " + std::string(TVUT_SOURCE_DIR) + "/tests/multipart_check.py '" +
                       body_path + "' '" + expect_path + "'",
                   &output);
        while (!output.empty() && output.back() == '\n') {
            output.pop_back();
        }
        return output;
    }

    ScratchRoots roots_;
    KnownMachine machine_;
    CUTScopedPlatform installed_{&machine_};
    std::string log_path_;
    CUTRuntimeConfig* session_ = nullptr;
};

}  // namespace

TEST_F(UploadRequestTest, FieldsInOrderAndTheArchiveAsUsageFile) {
    // Bytes that look like line ends and delimiters inside the archive.
    std::mt19937 random(42);
    std::string archive = "PK\x03\x04\r\n--\r\n\r\n--" + kBoundary.substr(0, 20) + "\0\r";
    while (archive.size() < 70000) {
        archive += static_cast<char>(random());
    }
    const std::string name = "{0A1B2C3D-0000-4000-8000-ABCDEF012345}-\xc3\xa9.zip";
    const std::string path = roots_.folder().Join(name);
    ASSERT_TRUE(WriteFile(path, archive));

    // An empty login and program type go as "NoValue"; given ones as they are.
    const struct {
        std::wstring login, program_type;
        std::string sent_login, sent_program_type;
    } sessions[] = {{L"", L"", "NoValue", "NoValue"},
                    {L"m\u00fcller@example.com", L"TERM", "m\xc3\xbcller@example.com", "TERM"}};
    for (const auto& s : sessions) {
        SCOPED_TRACE(s.sent_login);
        session_->SetText(UTSessionText::Login, s.login);
        session_->SetText(UTSessionText::ProgramType, s.program_type);
        const FilePart file{name, path};
        EXPECT_EQ("OK", Check(Body(FromUtf8(path)),
                              ExpectedFields(s.sent_login, s.sent_program_type, true), &file));
    }

    // Each field is logged at level 5 after the request heading, in order.
    const std::string log = ReadFile(log_path_);
    size_t at = log.find("| \nRequest:\n");
    ASSERT_NE(std::string::npos, at);
    for (const auto& field : ExpectedFields("NoValue", "NoValue", true)) {
        const size_t next = log.find("Devdbg | ", at);
        at = log.find("| \r\n" + field.first + "=" + field.second + "\r\n", at);
        ASSERT_NE(std::string::npos, at) << field.first;
        EXPECT_LT(next, at);
    }
}

TEST_F(UploadRequestTest, NoArchiveMeansNoFilePartAndTheCloseDelimiterLast) {
    const std::string zero = roots_.folder().Join("zero.zip");
    const std::string folder = roots_.folder().Join("folder.zip");
    ASSERT_TRUE(WriteFile(zero, ""));
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
    const std::string cases[] = {"", roots_.folder().Join("missing.zip"), zero, folder};
    for (const std::string& path : cases) {
        SCOPED_TRACE(path);
        const std::string body = Body(FromUtf8(path));
        EXPECT_EQ("OK", Check(body, ExpectedFields("NoValue", "NoValue", false), nullptr));
        EXPECT_EQ("--" + kBoundary + "--", body.substr(body.size() - kBoundary.size() - 4));
    }
}

TEST_F(UploadRequestTest, GmtOffsetIsStandardTimeEastOfGreenwich) {
    // New York: -300 whatever the date (its summer time is not counted).
    for (const auto& zone : {std::make_pair("IST-5:30", "330"), std::make_pair("EST5EDT", "-300"),
                             std::make_pair("UTC0", "0")}) {
        SCOPED_TRACE(zone.first);
        ::setenv("TZ", zone.first, 1);
        const std::string body = Body(L"");
        EXPECT_NE(std::string::npos,
                  body.find("name=\"GMT_OFFSET\"\r\n\r\n" + std::string(zone.second) + "\r\n--"));
    }
}

namespace {

// Between the choice of the archive (its size queried) and its reading, the
// archive disappears, empties or becomes a folder.
class ChangingArchive : public CUTPlatformWrapper {
public:
    enum Change { kRemoved, kEmptied, kReplacedByFolder };
    ChangingArchive(CUTPlatform* target, Change change)
        : CUTPlatformWrapper(target), change_(change) {}
    // The archive changes right after its first status query.
    CUTOsStatus GetFileStatus(const std::wstring& path, CUTFileStatus* status) override {
        const CUTOsStatus size = target()->GetFileStatus(path, status);
        if (changed_ || path.size() < 4 || path.compare(path.size() - 4, 4, L".zip") != 0) {
            return size;
        }
        changed_ = true;
        const std::string file = ToUtf8(path);
        ::unlink(file.c_str());
        if (change_ == kEmptied) {
            WriteFile(file, "");
        } else if (change_ == kReplacedByFolder) {
            ::mkdir(file.c_str(), 0700);
        }
        return size;
    }

private:
    Change change_;
    bool changed_ = false;
};

}  // namespace

TEST_F(UploadRequestTest, ArchiveThatChangesAfterItWasChosenFailsWithItsPath) {
    for (auto change : {ChangingArchive::kRemoved, ChangingArchive::kEmptied,
                        ChangingArchive::kReplacedByFolder}) {
        SCOPED_TRACE(change);
        const std::string path = roots_.folder().Join("archive" + std::to_string(change) + ".zip");
        ASSERT_TRUE(WriteFile(path, "PK\x03\x04 some archive bytes"));
        ChangingArchive changing(&machine_, change);
        CUTScopedPlatform installed(&changing);
        CUTHttpClient client("https://127.0.0.1/r");
        try {
            client.BuildRequest(FromUtf8(path));
            ADD_FAILURE() << "no exception";
        } catch (const CUTCommException& e) {
            EXPECT_EQ(2, e.Code());
            EXPECT_EQ(L"Payload not found following path: " + FromUtf8(path), e.Message());
        }
    }
}
