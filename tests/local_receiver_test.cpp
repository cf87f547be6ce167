// The local receiver (tools/ut_receiver.py) through LocalReceiver, posted to
// with the curl command-line tool and raw sockets, never through tvUT's own
// transport: what it stores, what it finds wrong with a request, what each
// scripted reply puts on the wire, TLS, overlapping uploads and stopping.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/UTTextCodec.h"
#include "config/UTScrambler.h"
#include "support/ChildProcess.h"
#include "support/LocalReceiver.h"
#include "support/ScratchRoots.h"
#include "support/WaitFor.h"
#include "zip/UTZipper.h"

namespace tvut_test {
namespace {

const char kBoundary[] = "-------------------------------ceb3bc13bbea0941a04b2f8226f5d7ea";
const char kTranscriptName[] = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}.utt";
const char kLogName[] = "TVUT_2026_12_10_5_40_1.log";
const char kTranscriptXml[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
    "<transcript guid=\"{11111111-2222-3333-4444-555555555555}\">\n"
    "    <usage_data><start_time>1700000000</start_time></usage_data>\n"
    "</transcript>\n";
const std::string kHash(64, 'C');

using Fields = std::vector<std::pair<std::string, std::string>>;

// A request body as the component lays it out: the descriptive fields in
// order, then the archive as the UsageFile part when there is one.
struct Upload {
    Fields fields;
    std::string archive;
    bool with_file = false;
    std::string content_type = std::string("multipart/form-data; boundary=") + kBoundary;

    std::string Body() const {
        std::string body;
        for (const auto& field : fields) {
            body += std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" +
                    field.first + "\"\r\n\r\n" + field.second + "\r\n";
        }
        if (with_file) {
            body += std::string("--") + kBoundary +
                    "\r\nContent-Disposition: form-data; name=\"UsageFile\"; "
                    "filename=\"{A1B2C3D4-0000-1111-2222-333344445555}.zip\"\r\n"
                    "Content-Type: application/x-zip-compressed\r\n\r\n" +
                    archive + "\r\n";
        }
        return body + "--" + kBoundary + "--";
    }

    void Set(const std::string& name, const std::string& value) {
        for (auto& field : fields) {
            if (field.first == name) {
                field.second = value;
            }
        }
    }

    void Drop(const std::string& name) {
        for (auto it = fields.begin(); it != fields.end(); ++it) {
            if (it->first == name) {
                fields.erase(it);
                return;
            }
        }
    }
};

// A sound upload; with a payload when archive is not empty.
Upload WellFormed(const std::string& archive = std::string()) {
    Upload upload;
    upload.fields = {{"TLVR_LOGIN", "NoValue"},
                     {"PROD_LANG", "en"},
                     {"SERIAL_NUM", ""},
                     {"KORM_COUNTRY", "US"},
                     {"RELEASE_TYPE", "F"},
                     {"PROD_LINE_ID", "PL7"},
                     {"RELEASE_ID", "R2026"},
                     {"LIC_PROD_LINE_ID", "PL7"},
                     {"LIC_RELEASE_ID", "R2026"},
                     {"LIC_RELEASE_TYPE", "F"},
                     {"PROGRAM_TYPE", "NoValue"},
                     {"NT_LOGIN", "j\xc3\xbcrgen"},
                     {"OS_LOCALE_ID", "1033"},
                     {"GMT_OFFSET", "-300"},
                     {"UT_COMP_VER", "1.4.0.12"},
                     {"CLIENT_MODE", "0"},
                     {"MACHINE_NAME", "build-7"},
                     {"HIDDEN_PARAM_1", kHash},
                     {"HIDDEN_PARAM_2", "UNKNOWN"},
                     {"HIDDEN_PARAM_3", kHash},
                     {"PAYLOAD_PRESENT", archive.empty() ? "0" : "1"}};
    upload.archive = archive;
    upload.with_file = !archive.empty();
    return upload;
}

// The component's own zipper packs a scrambled transcript and a log file.
std::string Archive(const ScratchFolder& work, const std::string& transcript_bytes) {
    const std::string transcript = work.Join(kTranscriptName);
    const std::string log = work.Join(kLogName);
    const std::string archive = work.Join("payload.zip");
    EXPECT_TRUE(WriteFile(transcript, transcript_bytes));
    EXPECT_TRUE(WriteFile(log, "Info   | log line\n"));
    {
        CUTZipper zipper(FromUtf8(archive));
        EXPECT_TRUE(zipper.AddFile(FromUtf8(transcript)));
        EXPECT_TRUE(zipper.AddFile(FromUtf8(log)));
        EXPECT_TRUE(zipper.Complete());
    }
    return ReadFile(archive);
}

std::string Scrambled(std::string bytes) {
    ScrambleBytes(&bytes);
    return bytes;
}

struct CurlResult {
    int exit_code = -1;
    int http = 0;
    std::string body;
    std::string output;
};

// Posts body with the curl tool; extra options go before the URL.
CurlResult Post(const ScratchFolder& work, const std::string& url, const Upload& upload,
                const std::string& extra = std::string()) {
    // Unique across forked children too.
    static int count = 0;
    const std::string name = "post" + std::to_string(::getpid()) + "-" + std::to_string(++count);
    const std::string body_file = work.Join(name + ".body");
    const std::string reply_file = work.Join(name + ".reply");
    EXPECT_TRUE(WriteFile(body_file, upload.Body()));
    CurlResult result;
    result.exit_code =
        RunCommand("curl -sS --max-time 60 -o '" + reply_file +
                       "' -w 'HTTP=%{http_code}\\n' -H 'Content-Type: " + upload.content_type +
                       "' --data-binary @'" + body_file + "' " + extra + " '" + url + "'",
                   &result.output);
    const size_t at = result.output.rfind("HTTP=");
    if (at != std::string::npos) {
        result.http = std::atoi(result.output.c_str() + at + 5);
    }
    result.body = ReadFile(reply_file);
    return result;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool HasProblem(const ReceivedRequest& request, const std::string& part) {
    for (const std::string& problem : request.problems) {
        if (Contains(problem, part)) {
            return true;
        }
    }
    return false;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// A TCP connection to the receiver; -1 on failure.
int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

// The head of an upload that promises more body than it sends.
std::string PartialRequest() {
    return std::string(
               "POST /BRIMReceiver/receiver.aspx HTTP/1.1\r\n"
               "Host: 127.0.0.1\r\nContent-Length: 5000\r\n"
               "Content-Type: multipart/form-data; boundary=") +
           kBoundary + "\r\n\r\n--" + kBoundary + "\r\n";
}

int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST(LocalReceiverTest, StoresAWellFormedUploadAndAnswersDelivered) {
    ScratchFolder work;
    LocalReceiver receiver;
    const std::string archive = Archive(work, Scrambled(kTranscriptXml));
    const Upload upload = WellFormed(archive);

    const int64_t before = SteadyNowNs();
    const CurlResult result = Post(work, receiver.UploadUrl(), upload);
    ASSERT_EQ(0, result.exit_code) << result.output;
    EXPECT_EQ(200, result.http);
    EXPECT_TRUE(Contains(result.body, "<REQ_STATUS_CODE>199</REQ_STATUS_CODE>")) << result.body;
    EXPECT_TRUE(Contains(result.body, "<EXT_DEP_STATUS_CODE>183</EXT_DEP_STATUS_CODE>"));
    EXPECT_EQ(0u, result.body.rfind("<?xml", 0));

    // The reply may reach curl before the receiver stamps its end.
    ASSERT_TRUE(receiver.WaitForRequests(1));
    const int64_t after = SteadyNowNs();
    EXPECT_EQ(1, receiver.ArrivalCount());
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    ASSERT_EQ(1u, requests.size());
    const ReceivedRequest& request = requests[0];
    EXPECT_EQ(1, request.index);
    EXPECT_EQ("/BRIMReceiver/receiver.aspx", request.path);
    EXPECT_TRUE(request.problems.empty()) << Joined(request.problems);
    EXPECT_EQ("ok", request.archive);
    EXPECT_EQ(upload.Body(), request.body);
    EXPECT_EQ(archive, request.payload);
    EXPECT_EQ("{A1B2C3D4-0000-1111-2222-333344445555}.zip", request.payload_name);
    ASSERT_EQ(upload.fields.size(), request.fields.size());
    for (const auto& field : upload.fields) {
        EXPECT_EQ(field.second, request.fields.at(field.first)) << field.first;
    }
    ASSERT_EQ(1u, request.transcripts.count(kTranscriptName));
    EXPECT_EQ(kTranscriptXml, request.transcripts.at(kTranscriptName));
    EXPECT_EQ(std::vector<std::string>{kLogName}, request.log_entries);
    // The session id in the stored description is the one sent.
    EXPECT_EQ(0u, request.reply.rfind("xml REQ_SESSION_ID={", 0)) << request.reply;
    const size_t id = request.reply.find('{');
    EXPECT_TRUE(Contains(result.body, request.reply.substr(id, 38)));
    // Times are on the test's steady clock.
    EXPECT_LE(before, request.start_ns);
    EXPECT_LE(request.start_ns, request.end_ns);
    EXPECT_LE(request.end_ns, after);
}

TEST(LocalReceiverTest, FaultyRequestsAreStoredWithTheirProblemsAndAnsweredMissingParameters) {
    ScratchFolder work;
    const std::string good_archive = Archive(work, Scrambled(kTranscriptXml));
    struct Case {
        const char* name;
        Upload upload;
        const char* problem;
        const char* archive;
    };
    std::vector<Case> cases;
    {
        Upload upload = WellFormed();
        upload.Drop("SERIAL_NUM");
        cases.push_back({"missing field", upload, "missing field SERIAL_NUM", "none"});
    }
    {
        Upload upload = WellFormed();
        upload.Set("PAYLOAD_PRESENT", "1");
        cases.push_back({"flag without file", upload,
                         "PAYLOAD_PRESENT is 1 but there is no UsageFile", "none"});
    }
    {
        Upload upload = WellFormed(good_archive);
        upload.Set("PAYLOAD_PRESENT", "0");
        cases.push_back({"file without flag", upload, "PAYLOAD_PRESENT is 0 but", "ok"});
    }
    {
        Upload upload = WellFormed();
        upload.Set("TLVR_LOGIN", "");
        cases.push_back({"empty login", upload, "field TLVR_LOGIN is", "none"});
    }
    {
        Upload upload = WellFormed();
        upload.Set("HIDDEN_PARAM_2", "12ab");
        cases.push_back({"short hash", upload, "field HIDDEN_PARAM_2 is 12ab", "none"});
    }
    {
        Upload upload = WellFormed();
        upload.content_type = "application/octet-stream";
        cases.push_back({"not multipart", upload, "not multipart/form-data", "none"});
    }
    cases.push_back({"truncated archive",
                     WellFormed(good_archive.substr(0, good_archive.size() / 2)),
                     "the archive is corrupt", "corrupt"});
    cases.push_back({"transcript not scrambled", WellFormed(Archive(work, kTranscriptXml)),
                     "is stored unscrambled", "ok"});
    cases.push_back({"transcript not XML", WellFormed(Archive(work, Scrambled("<transcript"))),
                     "does not unscramble into XML", "ok"});
    {
        // An entry name that climbs out of the store is stored inside it.
        const std::string hostile = work.Join("hostile.zip");
        std::string output;
        ASSERT_EQ(0, RunCommand("python3 -c 'import sys, zipfile\n"
                                "with zipfile.ZipFile(sys.argv[1], \"w\") as z:\n"
                                "    z.writestr(\"../../escaped.utt\", b\"x\")' '" +
                                    hostile + "'",
                                &output))
            << output;
        cases.push_back(
            {"hostile entry name", WellFormed(ReadFile(hostile)), "is not a safe file name", "ok"});
    }
    {
        // Fifty entries of 4 MiB of zeros: 200 MiB from an upload of about
        // 200 KB, more than any upload may unpack to.
        const std::string bomb = work.Join("bomb.zip");
        std::string output;
        ASSERT_EQ(0,
                  RunCommand(
                      "python3 -c 'import sys, zipfile\n"
                      "with zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED) as z:\n"
                      "    for i in range(50): z.writestr(\"TVUT_%d.log\" % i, bytes(4 << 20))' '" +
                          bomb + "'",
                      &output))
            << output;
        cases.push_back({"archive that unpacks to 200 MiB", WellFormed(ReadFile(bomb)),
                         "the archive unpacks to 209715200 bytes, more than", "corrupt"});
    }

    LocalReceiver receiver;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const CurlResult result = Post(work, receiver.UploadUrl(), cases[i].upload);
        ASSERT_EQ(0, result.exit_code) << result.output;
        EXPECT_EQ(200, result.http);
        EXPECT_TRUE(Contains(result.body, "<REQ_STATUS_CODE>-100</REQ_STATUS_CODE>"))
            << result.body;
        ASSERT_TRUE(receiver.WaitForRequests(static_cast<int>(i) + 1));
        const ReceivedRequest request = receiver.Requests().at(i);
        EXPECT_TRUE(HasProblem(request, cases[i].problem)) << Joined(request.problems);
        EXPECT_EQ(cases[i].archive, request.archive);
        EXPECT_EQ(cases[i].upload.Body(), request.body);
    }
    // Nothing of the bomb was unpacked.
    const std::string bomb_folder =
        receiver.StoreDir() + "/requests/" + std::to_string(10000 + cases.size()).substr(1);
    EXPECT_TRUE(std::filesystem::exists(bomb_folder + "/payload.zip"));
    EXPECT_FALSE(std::filesystem::exists(bomb_folder + "/logs"));
    // The store holds what products sent: its owner's alone.
    for (const std::string& folder : {receiver.StoreDir() + "/requests", bomb_folder}) {
        EXPECT_EQ(std::filesystem::perms::owner_all,
                  std::filesystem::status(folder).permissions() & std::filesystem::perms::all)
            << folder;
    }
    // Whatever the hostile entry became, it stayed inside its request's folder.
    const std::string request_folder =
        receiver.StoreDir() + "/requests/" + std::to_string(10000 + cases.size() - 1).substr(1);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(receiver.StoreDir())) {
        if (Contains(entry.path().filename().string(), "escaped")) {
            EXPECT_EQ(0u, entry.path().string().rfind(request_folder + "/transcripts/", 0))
                << entry.path();
        }
    }
}

TEST(LocalReceiverTest, ScriptedRepliesDoWhatTheySay) {
    struct Case {
        const char* entry;
        const char* curl_options;
        bool curl_ok;
        int http;
        std::vector<std::string> body_has;
        std::vector<std::string> body_lacks;
        long body_size;  // -1: any
        const char* reply_starts;
    };
    const std::vector<Case> cases = {
        {R"({"status": 190, "ext_dep": 186, "session_id": "S-1", "default": true})",
         "",
         true,
         200,
         {"<REQ_SESSION_ID>S-1</REQ_SESSION_ID>", "<REQ_STATUS_CODE>190</REQ_STATUS_CODE>",
          "<EXT_DEP_STATUS_CODE>186</EXT_DEP_STATUS_CODE>"},
         {},
         -1,
         "xml REQ_SESSION_ID=S-1 REQ_STATUS_CODE=190 EXT_DEP_STATUS_CODE=186"},
        {R"({"status": " 120x", "ext_dep": null, "session_id": ""})",
         "",
         true,
         200,
         {"<REQ_STATUS_CODE> 120x</REQ_STATUS_CODE>", "<REQ_SESSION_ID/>"},
         {"EXT_DEP_STATUS_CODE"},
         -1,
         "xml REQ_SESSION_ID= REQ_STATUS_CODE= 120x EXT_DEP_STATUS_CODE=(omitted)"},
        {R"({"status": null, "bogus": 1})",
         "",
         true,
         200,
         {"<REQ_SESSION_ID>"},
         {"REQ_STATUS_CODE"},
         -1,
         "xml REQ_SESSION_ID={"},
        {R"({"http": 500})", "", true, 500, {}, {"<?xml"}, -1, "http 500"},
        {R"({"http": 503, "body": "busy"})", "", true, 503, {"busy"}, {}, 4, "http 503"},
        {R"({"empty": true})", "", true, 200, {}, {}, 0, "empty"},
        {R"({"body": "OK"})", "", true, 200, {"OK"}, {}, 2, "body 2 bytes"},
        {R"({"oversize": 300000})",
         "",
         true,
         200,
         {"<?xml version=", "99999"},
         {},
         300000,
         "oversize 300000 bytes"},
        {R"({"reset": "before"})", "", false, 0, {}, {}, -1, "reset before"},
        {R"({"reset": "mid"})", "", false, 200, {}, {}, -1, "reset mid"},
        {R"({"delay": 0.3})",
         "",
         true,
         200,
         {"<REQ_STATUS_CODE>199</REQ_STATUS_CODE>"},
         {},
         -1,
         "xml"},
        {R"({"hang": true})", "--max-time 1", false, 0, {}, {}, -1, "hang (client closed)"},
    };
    std::string script = "[";
    for (const Case& c : cases) {
        script += std::string(script.size() > 1 ? ", " : "") + c.entry;
    }
    ReceiverOptions options;
    options.script_json = script + "]";
    LocalReceiver receiver(options);
    ScratchFolder work;

    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.entry);
        const CurlResult result = Post(work, receiver.UploadUrl(), WellFormed(), c.curl_options);
        EXPECT_EQ(c.curl_ok, result.exit_code == 0) << result.output;
        EXPECT_EQ(c.http, result.http) << result.output;
        for (const std::string& part : c.body_has) {
            EXPECT_TRUE(Contains(result.body, part)) << result.body.substr(0, 400);
        }
        for (const std::string& part : c.body_lacks) {
            EXPECT_FALSE(Contains(result.body, part)) << result.body.substr(0, 400);
        }
        if (c.body_size >= 0) {
            EXPECT_EQ(static_cast<size_t>(c.body_size), result.body.size());
        }
        ASSERT_TRUE(receiver.WaitForRequests(static_cast<int>(i) + 1));
        const ReceivedRequest request = receiver.Requests().at(i);
        EXPECT_EQ(0u, request.reply.rfind(c.reply_starts, 0)) << request.reply;
        EXPECT_TRUE(request.problems.empty()) << Joined(request.problems);
    }
    // The delay lies between the request and its reply.
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    for (size_t i = 0; i < cases.size(); ++i) {
        if (Contains(cases[i].entry, "delay")) {
            EXPECT_GE(requests.at(i).end_ns - requests.at(i).start_ns, 300 * 1000 * 1000);
        }
    }
    EXPECT_TRUE(Contains(receiver.Output(), "unknown key 'bogus'")) << receiver.Output();

    // After the array: the entry marked default.
    const CurlResult after = Post(work, receiver.UploadUrl(), WellFormed());
    EXPECT_TRUE(Contains(after.body, "<REQ_STATUS_CODE>190</REQ_STATUS_CODE>")) << after.body;
}

TEST(LocalReceiverTest, TlsIsTrustedOnlyThroughTheCaFile) {
    ScratchFolder work;
    ReceiverOptions options;
    options.tls = true;
    LocalReceiver receiver(options);
    EXPECT_EQ(0u, receiver.HostUrl().rfind("https://127.0.0.1:", 0)) << receiver.HostUrl();
    ASSERT_FALSE(receiver.CaFile().empty());

    const CurlResult trusted =
        Post(work, receiver.UploadUrl(), WellFormed(), "--cacert '" + receiver.CaFile() + "'");
    EXPECT_EQ(0, trusted.exit_code) << trusted.output;
    EXPECT_TRUE(Contains(trusted.body, "<REQ_STATUS_CODE>199</REQ_STATUS_CODE>"));
    // By name as well as by address.
    const std::string by_name = "https://localhost:" + std::to_string(receiver.Port()) + "/x";
    EXPECT_EQ(0,
              Post(work, by_name, WellFormed(), "--cacert '" + receiver.CaFile() + "'").exit_code);

    const CurlResult untrusted = Post(work, receiver.UploadUrl(), WellFormed());
    EXPECT_EQ(60, untrusted.exit_code) << untrusted.output;  // peer certificate not trusted
    ASSERT_TRUE(receiver.WaitForRequests(2));
    EXPECT_EQ(2u, receiver.Requests().size());
}

TEST(LocalReceiverTest, Tls10OnlyServerRefusesTls12Clients) {
    ScratchFolder work;
    ReceiverOptions options;
    options.tls10_only = true;
    LocalReceiver receiver(options);
    const std::string trust = "--cacert '" + receiver.CaFile() + "'";

    const CurlResult modern = Post(work, receiver.UploadUrl(), WellFormed(), trust + " --tlsv1.2");
    EXPECT_EQ(35, modern.exit_code) << modern.output;  // handshake failed
    const CurlResult old = Post(work, receiver.UploadUrl(), WellFormed(),
                                trust + " --tlsv1.0 --tls-max 1.0 --ciphers DEFAULT:@SECLEVEL=0");
    EXPECT_EQ(0, old.exit_code) << old.output;
    EXPECT_TRUE(Contains(old.body, "<REQ_STATUS_CODE>199</REQ_STATUS_CODE>"));
}

TEST(LocalReceiverTest, HeldUploadsOverlapAndEndOnRelease) {
    ScratchFolder work;
    ReceiverOptions options;
    options.script_json = R"([{"hold": true}, {"hold": true}])";
    LocalReceiver receiver(options);
    const std::string url = receiver.UploadUrl();
    auto upload = [&work, url] {
        return ChildProcess([&work, url] {
            const CurlResult result = Post(work, url, WellFormed());
            return result.exit_code == 0 && result.http == 200 ? 0 : 1;
        });
    };
    ChildProcess first = upload();
    ChildProcess second = upload();

    ASSERT_TRUE(receiver.WaitForArrivals(2)) << receiver.Output();
    EXPECT_TRUE(receiver.Requests().empty());
    EXPECT_FALSE(first.HasEnded());
    EXPECT_FALSE(second.HasEnded());

    receiver.Release();
    ASSERT_TRUE(receiver.WaitForRequests(2)) << receiver.Output();
    EXPECT_EQ(0, first.Wait());
    EXPECT_EQ(0, second.Wait());
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_LT(requests[0].start_ns, requests[1].end_ns);
    EXPECT_LT(requests[1].start_ns, requests[0].end_ns);
}

TEST(LocalReceiverTest, StopEndsHangingAndStalledConnectionsAndLeavesNoProcess) {
    ReceiverOptions options;
    options.script_json = R"([{"hang": true}])";
    LocalReceiver receiver(options);
    ScratchFolder work;
    const std::string url = receiver.UploadUrl();
    ChildProcess client([&work, url] { return Post(work, url, WellFormed()).exit_code; });
    ASSERT_TRUE(receiver.WaitForArrivals(1));
    // A second client stops sending in the middle of its body.
    const int stalled = Connect(receiver.Port());
    ASSERT_LE(0, stalled);
    ASSERT_TRUE(SendAll(stalled, PartialRequest()));
    ASSERT_TRUE(
        WaitFor([&receiver] { return PathExists(receiver.StoreDir() + "/requests/0002"); }));
    const int pid = receiver.Pid();

    receiver.Stop();
    EXPECT_EQ(0, receiver.ExitStatus()) << receiver.Output();
    EXPECT_FALSE(receiver.Running());
    EXPECT_TRUE(::kill(pid, 0) != 0 && errno == ESRCH);
    // The client sees the connection end without a reply.
    ASSERT_TRUE(WaitFor([&client] { return client.HasEnded(); }));
    EXPECT_NE(0, client.Wait());
    const std::vector<ReceivedRequest> requests = receiver.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("hang (receiver stopped)", requests[0].reply);
    EXPECT_TRUE(HasProblem(requests[1], "the request body is incomplete"))
        << Joined(requests[1].problems);
    ::close(stalled);
    receiver.Stop();  // idempotent

    // A new receiver can take the port at once, as a restarted server would.
    ReceiverOptions again;
    again.port = receiver.Port();
    LocalReceiver restarted(again);
    EXPECT_EQ(receiver.UploadUrl(), restarted.UploadUrl());
    EXPECT_EQ(0, Post(work, restarted.UploadUrl(), WellFormed()).exit_code);
}

TEST(LocalReceiverTest, ClientGoneMidBodyIsRecordedAndServingGoesOn) {
    LocalReceiver receiver;
    const int fd = Connect(receiver.Port());
    ASSERT_LE(0, fd);
    ASSERT_TRUE(SendAll(fd, PartialRequest()));
    ::close(fd);

    ASSERT_TRUE(receiver.WaitForRequests(1)) << receiver.Output();
    const ReceivedRequest gone = receiver.Requests().at(0);
    EXPECT_TRUE(HasProblem(gone, "the request body is incomplete")) << Joined(gone.problems);
    EXPECT_EQ(0u, gone.reply.rfind("none", 0)) << gone.reply;
    EXPECT_EQ(0, receiver.ArrivalCount());

    ScratchFolder work;
    const CurlResult next = Post(work, receiver.UploadUrl(), WellFormed());
    EXPECT_EQ(0, next.exit_code) << next.output;
    EXPECT_TRUE(Contains(next.body, "<REQ_STATUS_CODE>199</REQ_STATUS_CODE>"));
}

TEST(LocalReceiverTest, TheReceiverHoldsNoneOfTheTestsDescriptors) {
    // A pipe without close-on-exec, as a careless host or test might leave.
    int ends[2];
    ASSERT_EQ(0, ::pipe(ends));
    const std::string pipe_name =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(ends[1])).string();
    LocalReceiver receiver;
    std::vector<std::string> held;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(receiver.Pid()) + "/fd")) {
        std::error_code ec;
        held.push_back(std::filesystem::read_symlink(entry.path(), ec).string());
    }
    ::close(ends[0]);
    ::close(ends[1]);
    EXPECT_FALSE(held.empty());
    for (const std::string& target : held) {
        EXPECT_NE(pipe_name, target);
    }
}

TEST(LocalReceiverTest, AForkedChildLeavesTheReceiverToItsOwner) {
    auto receiver = std::make_unique<LocalReceiver>();
    const std::string store = receiver->StoreDir();
    ChildProcess child([&receiver] {
        receiver.reset();  // runs the destructor in the child
        return 0;
    });
    ASSERT_EQ(0, child.Wait());
    EXPECT_TRUE(receiver->Running());
    EXPECT_TRUE(PathExists(store));
    ScratchFolder work;
    EXPECT_EQ(0, Post(work, receiver->UploadUrl(), WellFormed()).exit_code);

    receiver.reset();
    EXPECT_FALSE(PathExists(store));
}

// A live process (not a zombie that nobody reaped).
bool ProcessLives(int pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

TEST(LocalReceiverTest, AReceiverWhoseTestIsKilledStopsByItself) {
    ScratchFolder work;
    const std::string pid_file = work.Join("receiver.pid");
    ChildProcess test([&pid_file] {
        LocalReceiver receiver;
        WriteFile(pid_file + ".tmp",
                  std::to_string(receiver.Pid()) + " " + receiver.StoreDir() + "\n");
        ::rename((pid_file + ".tmp").c_str(), pid_file.c_str());
        for (;;) {
            ::pause();
        }
        return 0;
    });
    ASSERT_TRUE(WaitFor([&pid_file] { return PathExists(pid_file); }));
    std::istringstream written(ReadFile(pid_file));
    int pid = 0;
    std::string store;
    written >> pid >> store;
    ASSERT_TRUE(ProcessLives(pid));

    test.Kill();
    test.Wait();
    EXPECT_TRUE(WaitFor([pid] { return !ProcessLives(pid); }))
        << ReadFile(store + "/../receiver.log");
    // The killed test could not remove its scratch folder.
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(store).parent_path(), ec);
}

}  // namespace
}  // namespace tvut_test
