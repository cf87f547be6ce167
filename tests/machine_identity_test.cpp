#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"
#include "transcript/UTMachineIdentity.h"
#include "transcript/UTSystemInfo.h"

namespace {

std::wstring OpenSslIdentity(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    return CUTMachineIdentity::HexText(digest, size);
}

bool IsIdentityText(const std::wstring& text) {
    if (text == L"UNKNOWN") {
        return true;
    }
    if (text.size() != 64) {
        return false;
    }
    for (wchar_t c : text) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) {
            return false;
        }
    }
    return true;
}

std::string RunAndCapture(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, n);
    }
    ::pclose(pipe);
    return output;
}

std::string HexOfUtf8(const std::wstring& text) {
    const std::string utf8 = ToUtf8(text);
    std::string hex;
    char pair[3];
    for (unsigned char c : utf8) {
        std::snprintf(pair, sizeof(pair), "%02x", c);
        hex += pair;
    }
    return hex;
}

// Fakes the identity sources.
class FakeIdentityPlatform : public CUTPlatformWrapper {
public:
    FakeIdentityPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}

    bool ComputerName(std::wstring* name) override {
        if (!computer_ok) {
            return false;
        }
        *name = computer;
        return true;
    }
    bool AccountName(std::wstring* name) override {
        if (!user_ok) {
            return false;
        }
        *name = user;
        return true;
    }
    bool MachineIdBytes(std::string* bytes) override {
        if (!machine_id_ok) {
            return false;
        }
        *bytes = machine_id;
        return true;
    }
    bool SystemVolumeSerial(uint32_t* value) override {
        if (!serial_ok) {
            return false;
        }
        *value = serial;
        return true;
    }

    bool computer_ok = true;
    bool user_ok = true;
    bool machine_id_ok = true;
    bool serial_ok = true;
    std::wstring computer = L"HOST";
    std::wstring user = L"alice";
    std::string machine_id = "0123456789abcdef0123456789abcdef\n";
    uint32_t serial = 0x12345678;
};

}  // namespace

TEST(MachineIdentityTest, IdentitiesOfThisMachineAreIdentityTexts) {
    EXPECT_TRUE(IsIdentityText(CUTMachineIdentity::HashedUserIdentity()));
    EXPECT_TRUE(IsIdentityText(CUTMachineIdentity::HashedOsProductId()));
    EXPECT_TRUE(IsIdentityText(CUTMachineIdentity::HashedVolumeSerial()));
}

TEST(MachineIdentityTest, UserIdentityMatchesAnIndependentComputation) {
    // Python reads the host and account names itself.
    const std::string expected = RunAndCapture(
        "python3 -c \"import hashlib,socket,pwd,os;"
        "n=socket.gethostname()+chr(92)+pwd.getpwuid(os.geteuid()).pw_name;"
        "print(hashlib.sha256(n.encode('utf-16-le')).hexdigest().upper(),end='')\"");
    ASSERT_EQ(64u, expected.size()) << expected;
    EXPECT_EQ(expected, ToUtf8(CUTMachineIdentity::HashedUserIdentity()));
}

TEST(MachineIdentityTest, UserIdentityHashesUtf16LittleEndianWithoutTerminator) {
    FakeIdentityPlatform fake;
    // A character outside the BMP takes a surrogate pair in UTF-16.
    fake.computer = L"B\u00fcro-PC";
    fake.user = L"Jos\u00e9\U0001F600";
    CUTScopedPlatform scoped(&fake);

    std::string bytes;
    ASSERT_TRUE(CUTMachineIdentity::UserIdentityBytes(&bytes));
    EXPECT_EQ(std::string("B\0\xfc\0r\0o\0-\0P\0C\0\\\0J\0o\0s\0\xe9\0\x3d\xd8\x00\xde", 28),
              bytes);

    // Python gets the names as hexadecimal UTF-8: no shell quoting or locale
    // gets in the way.
    const std::string script =
        "import hashlib,sys;"
        "n=bytes.fromhex(sys.argv[1]).decode()+chr(92)+bytes.fromhex(sys.argv[2]).decode();"
        "print(hashlib.sha256(n.encode('utf-16-le')).hexdigest().upper(),end='')";
    const std::string expected = RunAndCapture(
        "python3 -c \"" + script + "\" " + HexOfUtf8(fake.computer) + " " + HexOfUtf8(fake.user));
    ASSERT_EQ(64u, expected.size()) << expected;
    EXPECT_EQ(expected, ToUtf8(CUTMachineIdentity::HashedUserIdentity()));
}

TEST(MachineIdentityTest, SourcesAreHashedInTheirDocumentedByteForm) {
    FakeIdentityPlatform fake;
    CUTScopedPlatform scoped(&fake);
    EXPECT_EQ(OpenSslIdentity(std::string("\x78\x56\x34\x12", 4)),
              CUTMachineIdentity::HashedVolumeSerial());
    EXPECT_EQ(OpenSslIdentity(fake.machine_id), CUTMachineIdentity::HashedOsProductId());
    EXPECT_EQ(OpenSslIdentity(std::string("H\0O\0S\0T\0\\\0a\0l\0i\0c\0e\0", 20)),
              CUTMachineIdentity::HashedUserIdentity());
}

TEST(MachineIdentityTest, FailingSourcesGiveUnknown) {
    struct Case {
        const char* what;
        void (*break_it)(FakeIdentityPlatform*);
        std::wstring (*identity)();
    };
    const Case cases[] = {
        {"missing machine id", [](FakeIdentityPlatform* f) { f->machine_id_ok = false; },
         &CUTMachineIdentity::HashedOsProductId},
        {"failing statvfs", [](FakeIdentityPlatform* f) { f->serial_ok = false; },
         &CUTMachineIdentity::HashedVolumeSerial},
        {"unknown user id", [](FakeIdentityPlatform* f) { f->user_ok = false; },
         &CUTMachineIdentity::HashedUserIdentity},
        {"no host name", [](FakeIdentityPlatform* f) { f->computer_ok = false; },
         &CUTMachineIdentity::HashedUserIdentity},
        {"host name of 260 characters",
         [](FakeIdentityPlatform* f) { f->computer = std::wstring(260, L'h'); },
         &CUTMachineIdentity::HashedUserIdentity},
        {"unpaired surrogate in the user name",
         [](FakeIdentityPlatform* f) { f->user = std::wstring(L"a") + wchar_t(0xD800); },
         &CUTMachineIdentity::HashedUserIdentity},
    };
    for (const Case& c : cases) {
        FakeIdentityPlatform fake;
        c.break_it(&fake);
        CUTScopedPlatform scoped(&fake);
        EXPECT_EQ(L"UNKNOWN", c.identity()) << c.what;
    }
}

TEST(MachineIdentityTest, NamesMustFitTheirBuffer) {
    FakeIdentityPlatform fake;
    CUTScopedPlatform scoped(&fake);
    for (size_t length : {1u, 259u, 260u, 300u}) {
        fake.computer = std::wstring(length, L'h');
        fake.user = std::wstring(length, L'u');
        std::wstring computer = L"before";
        std::wstring user = L"before";
        const bool fits = length < 260;
        EXPECT_EQ(fits, CUTSystemInfo::ComputerName(&computer)) << length;
        EXPECT_EQ(fits, CUTSystemInfo::UserName(&user)) << length;
        EXPECT_EQ(fits ? fake.computer : L"before", computer);
        EXPECT_EQ(fits ? fake.user : L"before", user);
    }
}

TEST(MachineIdentityTest, PosixSourcesReadTheSystem) {
    CUTPlatform* platform = CUTPlatform::Default();

    char host[1025] = {};
    ASSERT_EQ(0, ::gethostname(host, sizeof(host) - 1));
    std::wstring computer;
    ASSERT_TRUE(platform->ComputerName(&computer));
    EXPECT_EQ(FromUtf8(host), computer);

    std::wstring account;
    ASSERT_TRUE(platform->AccountName(&account));
    EXPECT_EQ(FromUtf8(::getpwuid(::geteuid())->pw_name), account);

    struct statvfs info;
    ASSERT_EQ(0, ::statvfs("/", &info));
    uint32_t serial = 0;
    ASSERT_TRUE(platform->SystemVolumeSerial(&serial));
    EXPECT_EQ(static_cast<uint32_t>(info.f_fsid), serial);

    std::string expected_id;
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream content;
        content << file.rdbuf();
        if (file && !content.str().empty()) {
            expected_id = content.str();
            break;
        }
    }
    std::string machine_id;
    EXPECT_EQ(!expected_id.empty(), platform->MachineIdBytes(&machine_id));
    EXPECT_EQ(expected_id, machine_id);
}

TEST(MachineIdentityTest, InspectorPrintsTheSameIdentities) {
    const std::string inspector = std::string(TVUT_BINARY_DIR) + "/tools/tvut_inspect";
    if (::access(inspector.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "tvut_inspect is not built";
    }
    const std::string output = RunAndCapture(inspector + " identity");
    struct Line {
        const char* label;
        std::wstring value;
    };
    const Line lines[] = {
        {"Hashed user identity:", CUTMachineIdentity::HashedUserIdentity()},
        {"Hashed OS product id:", CUTMachineIdentity::HashedOsProductId()},
        {"Hashed volume serial:", CUTMachineIdentity::HashedVolumeSerial()},
    };
    for (const Line& line : lines) {
        const size_t at = output.find(line.label);
        ASSERT_NE(std::string::npos, at) << output;
        std::istringstream rest(output.substr(at + std::string(line.label).size()));
        std::string value;
        rest >> value;
        EXPECT_TRUE(IsIdentityText(FromUtf8(value))) << value;
        EXPECT_EQ(ToUtf8(line.value), value) << line.label;
    }
    for (const char* label : {"Computer name:", "User name:", "Domain:", "OS name:", "OS version:",
                              "OS locale id:", "Time zone offset (minutes):", "OS platform:"}) {
        EXPECT_NE(std::string::npos, output.find(label)) << label;
    }
}
