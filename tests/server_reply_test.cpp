// The reply handling as one table: each row is a reply body as the server
// sends it, and what must come of it -- the send result code, the two
// process-wide status codes, the session id, whether the send time reached
// LastSendTimestamp on disk, and exactly which of the reply handling's log
// lines were written at which level. The reply goes through the write
// callback in libcurl's pieces (tvut_test::ReceiveReply), as a transfer
// delivers it.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "UT/UTProcessState.h"
#include "base/UTTextCodec.h"
#include "comm/UTHttpClient.h"
#include "config/UTConfigManager.h"
#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"
#include "support/FakePlatforms.h"
#include "support/ReplyReplay.h"
#include "support/ScratchRoots.h"

using tvut_test::ReadFile;
using tvut_test::ScratchFolder;
using tvut_test::ScratchRoots;
using tvut_test::WriteFile;

namespace {

constexpr int64_t kNow = 1765000000;

class FixedClock : public tvut_test::ClockPlatform {
public:
    FixedClock() { Set(kNow); }
};

using Element = std::optional<std::string>;

// A reply with the four elements (inner XML; nullopt leaves the element
// out), in the order servers send them.
std::string Reply(Element session, Element status, Element ext_status, Element message,
                  const std::string& root = "Reply") {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<" + root + ">";
    const std::pair<const char*, const Element*> elements[] = {{"REQ_SESSION_ID", &session},
                                                               {"REQ_STATUS_CODE", &status},
                                                               {"EXT_DEP_STATUS_CODE", &ext_status},
                                                               {"EXT_DEP_EXCEPTION_MSG", &message}};
    for (const auto& element : elements) {
        if (*element.second) {
            xml += std::string("<") + element.first + ">" + **element.second + "</" +
                   element.first + ">";
        }
    }
    return xml + "</" + root + ">\r\n";
}

std::string Accepted(Element status = std::string("199")) {
    return Reply(std::string("S-42"), status, std::string("0"), std::string("none"));
}

std::string Bomb() {
    std::string doctype = "<!DOCTYPE Reply [<!ENTITY lol0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        doctype += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) {
            doctype += "&lol" + std::to_string(i - 1) + ";";
        }
        doctype += "\">";
    }
    doctype += "]>";
    std::string reply =
        Reply(std::string("S-42"), std::string("199"), std::string("0"), std::string("&lol9;"));
    return reply.insert(reply.find("<Reply>"), doctype);
}

std::string Nested(size_t depth) {
    std::string inner;
    for (size_t i = 0; i < depth; ++i) {
        inner += "<a>";
    }
    for (size_t i = 0; i < depth; ++i) {
        inner += "</a>";
    }
    std::string reply = Accepted();
    return reply.insert(reply.find("</Reply>"), inner);
}

using tvut_test::Repeated;

// An accepted reply whose root carries count attributes: the parser looks
// each new one up among those before it.
std::string AttributeFlood(size_t count) {
    std::string attributes;
    for (size_t i = 0; i < count; ++i) {
        attributes += " a" + std::to_string(i) + "=''";
    }
    std::string reply = Accepted();
    return reply.insert(reply.find("<Reply") + 6, attributes);
}

// An accepted reply padded with a comment to exactly size bytes.
std::string AcceptedOfSize(size_t size) {
    std::string reply = Accepted();
    const std::string head = "<!--", tail = "-->";
    const size_t fill = size - reply.size() - head.size() - tail.size();
    return reply.insert(reply.find("<REQ_SESSION_ID>"), head + std::string(fill, 'x') + tail);
}

struct Line {
    const char* level;  // as the log names it
    std::string message;
};

struct ReplyCase {
    const char* name;
    std::string body;
    int result;
    int server_status;
    int ext_status;
    std::wstring session_id;
    bool stamped;
    std::vector<Line> lines;
};

// Rows print as their names.
void PrintTo(const ReplyCase& row, std::ostream* out) {
    *out << row.name;
}

const char kError[] = "Error";
const char kInfo[] = "Info";
const char kDetail[] = "Devdbg";

Line Delivered(int ext, const std::string& message) {
    return {kDetail, "ExtDepStatusCode = " + std::to_string(ext) + ", ExtDepExceptionMsg = [" +
                         message + "]"};
}

const Line kNoXml{kDetail, "Cannot find the xml string in response!!"};
const Line kParseError{kError, "Parse Response Error!!"};

std::vector<ReplyCase> Cases() {
    const std::string none = "none";
    return {
        {"EmptyBody", "", 6, 0, 0, L"", false, {{kError, "Empty Response Data"}}},
        {"OkOnly", "OK", 7, 0, 0, L"", false, {kNoXml}},
        {"Accepted", Accepted(), 0, 199, 0, L"S-42", true, {Delivered(0, none)}},
        {"TextBeforeTheDeclaration",
         "HTTP/1.1 junk <html>\r\n" + Accepted(),
         0,
         199,
         0,
         L"S-42",
         true,
         {Delivered(0, none)}},
        {"AnyRootName",
         Reply(std::string("S-7"), std::string("199"), std::string("3"), std::string("m"),
               "UsageServiceAnswer"),
         0,
         199,
         3,
         L"S-7",
         true,
         {Delivered(3, "m")}},
        {"NoSessionId",
         Reply(std::nullopt, std::string("199"), std::string("0"), none),
         0,
         199,
         0,
         L"",
         true,
         {{kError, "Cannot find REQ_SESSION_ID!!"}, Delivered(0, none)}},
        {"NoStatus",
         Reply(std::string("S-1"), std::nullopt, std::string("5"), none),
         10,
         0,
         5,
         L"S-1",
         false,
         {{kError, "Cannot find REQ_STATUS_CODE!!"}}},
        {"NoExtStatus",
         Reply(std::string("S-1"), std::string("199"), std::nullopt, none),
         0,
         199,
         0,
         L"S-1",
         true,
         {{kError, "Cannot find EXT_DEP_STATUS_CODE!!"}, Delivered(0, none)}},
        {"NoMessage",
         Reply(std::string("S-1"), std::string("199"), std::string("4"), std::nullopt),
         0,
         199,
         4,
         L"S-1",
         true,
         {{kDetail, "Cannot find EXT_DEP_EXCEPTION_MSG!!"}, Delivered(4, "")}},
        {"EmptySessionId",
         Reply(std::string(""), std::string("199"), std::string("0"), none),
         0,
         199,
         0,
         L"",
         true,
         {{kError, "REQ_SESSION_ID context is missing!!"}, Delivered(0, none)}},
        {"EmptyStatus",
         Reply(std::string("S-1"), std::string(""), std::string("0"), none),
         10,
         0,
         0,
         L"S-1",
         false,
         {{kError, "REQ_STATUS_CODE context is missing!!"}}},
        {"BlankStatus",
         Reply(std::string("S-1"), std::string("  \r\n "), std::string("0"), none),
         10,
         0,
         0,
         L"S-1",
         false,
         {{kError, "REQ_STATUS_CODE context is missing!!"}}},
        {"EmptyExtStatus",
         Reply(std::string("S-1"), std::string("199"), std::string(""), none),
         0,
         199,
         0,
         L"S-1",
         true,
         {{kError, "EXT_DEP_STATUS_CODE context is missing!!"}, Delivered(0, none)}},
        {"EmptyMessage",
         Reply(std::string("S-1"), std::string("199"), std::string("2"), std::string("")),
         0,
         199,
         2,
         L"S-1",
         true,
         {Delivered(2, "")}},
        {"StatusWithLeadingSpace",
         Accepted(std::string(" 199")),
         0,
         199,
         0,
         L"S-42",
         true,
         {Delivered(0, none)}},
        {"StatusWithTrailingLetters",
         Accepted(std::string("199abc")),
         0,
         199,
         0,
         L"S-42",
         true,
         {Delivered(0, none)}},
        {"StatusWithPlusSign",
         Accepted(std::string("+199")),
         0,
         199,
         0,
         L"S-42",
         true,
         {Delivered(0, none)}},
        {"StatusNotANumber",
         Accepted(std::string("abc")),
         8,
         0,
         0,
         L"S-42",
         false,
         {{kInfo, "Server Return Error StatusCode 0!"}}},
        {"StatusOutOfRange",
         Accepted(std::string("99999999999")),
         8,
         0,
         0,
         L"S-42",
         false,
         {{kInfo, "Server Return Error StatusCode 0!"}}},
        {"StatusMissingParameters",
         Accepted(std::string("-100")),
         0,
         199,
         0,
         L"S-42",
         true,
         {{kDetail, "This request doesn't have all required parameters!!"}, Delivered(0, none)}},
        {"StatusWithoutPayload",
         Accepted(std::string("189")),
         0,
         199,
         0,
         L"S-42",
         true,
         {{kDetail, "This request is being sent without payload!!"}, Delivered(0, none)}},
        {"StatusRejected",
         Accepted(std::string("190")),
         0,
         199,
         0,
         L"S-42",
         true,
         {{kDetail, "This request was rejected by the server!!"}, Delivered(0, none)}},
        {"StatusRestarting",
         Accepted(std::string("120")),
         9,
         120,
         0,
         L"S-42",
         false,
         {{kInfo, "Server Return Error StatusCode 120!"},
          {kInfo, "Server is restarting, wait to resend again!"}}},
        {"StatusServerError",
         Accepted(std::string("500")),
         8,
         500,
         0,
         L"S-42",
         false,
         {{kInfo, "Server Return Error StatusCode 500!"}}},
        {"MessageInCdata",
         Reply(std::string("S-1"), std::string("199"), std::string("7"),
               std::string("<![CDATA[a <b> & c]]>")),
         0,
         199,
         7,
         L"S-1",
         true,
         {Delivered(7, "a <b> & c")}},
        {"MessageIsAnElement",
         Reply(std::string("S-1"), std::string("199"), std::string("7"),
               std::string("<Inner>text</Inner>")),
         0,
         199,
         7,
         L"S-1",
         true,
         {Delivered(7, "Inner")}},
        // A stray "<" in the message breaks the document: a document the
        // guard cannot follow to its end is never parsed, not even the part
        // before the damage.
        {"MessageWithStrayBracket",
         Reply(std::string("S-1"), std::string("199"), std::string("7"), std::string("a < b")),
         7,
         0,
         0,
         L"",
         false,
         {kParseError}},
        {"NulBeforeTheXml", std::string("junk\0", 5) + Accepted(), 7, 0, 0, L"", false, {kNoXml}},
        {"NulInsideTheXml",
         std::string("<?xml version=\"1.0\"?><Reply><REQ_SESSION_ID>S-9</REQ_SESSION_ID>\0", 66) +
             "<REQ_STATUS_CODE>199</REQ_STATUS_CODE></Reply>",
         7,
         0,
         0,
         L"",
         false,
         {kParseError}},
        {"NulAfterTheXml",
         Accepted() + std::string("\0trailing", 9),
         0,
         199,
         0,
         L"S-42",
         true,
         {Delivered(0, none)}},
        {"EntityBomb", Bomb(), 7, 0, 0, L"", false, {kParseError}},
        {"DeeplyNested", Nested(100000), 7, 0, 0, L"", false, {kParseError}},
        // The parser swallows everything from "&#x" to the next ";": end
        // tags, quotes and the ">" of a start tag. Each of these nests
        // deep enough in the parser to overflow the stack.
        {"EndTagsHiddenInCharacterReferences",
         "<?xml version=\"1.0\"?>" + Repeated("<a>&#x</a>x;", 80000),
         7,
         0,
         0,
         L"",
         false,
         {kParseError}},
        {"QuoteHiddenInACharacterReference",
         "<?xml version=\"1.0\"?><r a=\"&#x\" x;\">" + Repeated("<a>", 200000),
         7,
         0,
         0,
         L"",
         false,
         {kParseError}},
        {"WellFormedCharacterReferences",
         Reply(std::string("S-&#49;&#x32;"), std::string("&#x31;99"), std::string("7"),
               std::string("&#60;b&#x3E;")),
         0,
         199,
         7,
         L"S-12",
         true,
         {Delivered(7, "<b>")}},
        {"AttributeFlood", AttributeFlood(20000), 7, 0, 0, L"", false, {kParseError}},
        {"NestedWithinTheLimit", Nested(50), 0, 199, 0, L"S-42", true, {Delivered(0, none)}},
        {"ExactlyAtTheCap",
         AcceptedOfSize(CUTHttpClient::kReplyMaxBytes),
         0,
         199,
         0,
         L"S-42",
         true,
         {Delivered(0, none)}},
        {"OneByteOverTheCap",
         AcceptedOfSize(CUTHttpClient::kReplyMaxBytes + 1),
         3,
         0,
         0,
         L"",
         false,
         {{kError, "Response Data exceeds 1048576 bytes, transfer stopped!!"}}},
        {"TenMegabytes",
         AcceptedOfSize(10 * 1024 * 1024),
         3,
         0,
         0,
         L"",
         false,
         {{kError, "Response Data exceeds 1048576 bytes, transfer stopped!!"}}},
    };
}

// Every line the reply handling may write, by its fixed beginning: a row
// lists exactly those of them that it expects.
const char* const kReplyMessages[] = {
    "Empty Response Data",
    "Cannot find the xml string in response!!",
    "Parse Response Error!!",
    "Cannot find REQ_SESSION_ID!!",
    "REQ_SESSION_ID context is missing!!",
    "Cannot find REQ_STATUS_CODE!!",
    "REQ_STATUS_CODE context is missing!!",
    "Cannot find EXT_DEP_STATUS_CODE!!",
    "EXT_DEP_STATUS_CODE context is missing!!",
    "Cannot find EXT_DEP_EXCEPTION_MSG!!",
    "This request",
    "ExtDepStatusCode = ",
    "Server Return Error StatusCode ",
    "Server is restarting",
    "Response Data exceeds",
    "Undefined exception",
};

// (level, message) of each whole log line that is one of the reply
// handling's messages, in order.
std::vector<std::pair<std::string, std::string>> ReplyLines(const std::string& log) {
    static const std::regex kLine(R"(^(\w+) *\| [^|]* \| pid:\d+ \| tid:\d+ \| (.*)$)");
    std::vector<std::pair<std::string, std::string>> lines;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) {
            end = log.size();
        }
        const std::string line = log.substr(start, end - start);
        std::smatch match;
        if (std::regex_match(line, match, kLine)) {
            for (const char* message : kReplyMessages) {
                if (match[2].str().rfind(message, 0) == 0) {
                    lines.emplace_back(match[1].str(), match[2].str());
                    break;
                }
            }
        }
        start = end + 1;
    }
    return lines;
}

// Everything the queue holds, drained.
std::string Drain(BlockQueue* queue) {
    std::string bytes(queue->Pending(), '\0');
    bytes.resize(queue->Read(&bytes[0], bytes.size()));
    return bytes;
}

std::wstring StoredSendTime() {
    CUTXMLConfig file(UT_FILE_PI_UD, kComponentFolderName);
    std::wstring value;
    file.Load();
    file.GetValue(L"LastSendTimestamp", false, &value);
    return value;
}

class ServerReplyTest : public ::testing::TestWithParam<ReplyCase> {
protected:
    void SetUp() override {
        log_path_ = roots_.folder().Join("log/TVUTLog.log");
        CUTLoggerManager::GetInstance()->Init(FromUtf8(roots_.folder().Join("log")).c_str(),
                                              FromUtf8(log_path_).c_str(), 64 << 20, 3,
                                              UT_LOG_DEVDBG);
        ASSERT_NE(nullptr, CUTConfigManager::GetInstance());
        // As the send cycle does before each send.
        CUTProcessState::server_status_code.store(0);
        CUTProcessState::ext_dep_status_code.store(0);
    }

    ScratchRoots roots_;
    FixedClock clock_;
    CUTScopedPlatform installed_{&clock_};
    std::string log_path_;
};

}  // namespace

TEST_P(ServerReplyTest, Reply) {
    const ReplyCase& row = GetParam();
    ASSERT_EQ(L"-1", StoredSendTime());
    const size_t log_start = ReadFile(log_path_).size();

    CUTHttpClient client("https://127.0.0.1/BRIMReceiver/receiver.aspx");
    std::wstring session_id;
    EXPECT_EQ(row.result,
              tvut_test::ReceiveReply(client, row.body.data(), row.body.size(), &session_id));
    // A reply within the cap was handled and drained. Of one past it, the
    // pieces before the one that would cross the cap are kept and that piece
    // is not: the cap is a whole number of libcurl's pieces, so that is
    // exactly the cap, the reply's first bytes.
    static_assert(CUTHttpClient::kReplyMaxBytes % CURL_MAX_WRITE_SIZE == 0,
                  "the cap is a whole number of pieces");
    const bool over = row.body.size() > CUTHttpClient::kReplyMaxBytes;
    EXPECT_EQ(over, client.ReplyTooLarge());
    const std::string kept = Drain(&client.Queue());
    EXPECT_EQ(over ? CUTHttpClient::kReplyMaxBytes : 0u, kept.size());
    EXPECT_TRUE(row.body.compare(0, kept.size(), kept) == 0) << "the kept bytes begin the reply";
    EXPECT_EQ(row.server_status, CUTProcessState::server_status_code.load());
    EXPECT_EQ(row.ext_status, CUTProcessState::ext_dep_status_code.load());
    EXPECT_EQ(row.session_id, session_id);
    EXPECT_EQ(row.stamped ? std::to_wstring(kNow) : std::wstring(L"-1"), StoredSendTime());

    // The reply as read, up to its first NUL, at level 5 (long ones are cut
    // by the logger).
    const std::string log = ReadFile(log_path_).substr(log_start);
    const bool handled = !row.body.empty() && row.body.size() <= CUTHttpClient::kReplyMaxBytes;
    const std::string text = row.body.substr(0, row.body.find('\0'));
    const std::string dump = "Devdbg | ";
    const size_t at = log.find("| \nResponse:\n");
    EXPECT_EQ(handled, at != std::string::npos);
    if (handled && text.size() < 3000) {
        // On one line: the reply's own line breaks are escaped.
        std::string shown;
        for (char c : text) {
            shown += c == '\r' ? "\\r" : (c == '\n' ? "\\n" : std::string(1, c));
        }
        EXPECT_EQ(at, log.find("| \nResponse:\n" + shown + "\n"));
        EXPECT_EQ(dump, log.substr(log.rfind('\n', at) + 1, dump.size()));
    }

    std::vector<std::pair<std::string, std::string>> expected;
    for (const Line& line : row.lines) {
        expected.emplace_back(line.level, line.message);
    }
    EXPECT_EQ(expected, ReplyLines(log));
}

INSTANTIATE_TEST_SUITE_P(Table, ServerReplyTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ReplyCase>& row) {
                             return std::string(row.param.name);
                         });

// The write callback under libcurl itself (a file:// transfer, no network):
// refusing a piece ends the transfer with a write error, and the client
// keeps every piece before the one that would take the reply past the cap,
// none of that one, and so never more than the cap. libcurl's pieces are
// recorded, so the expectation holds whatever their size; a read buffer that
// does not divide the cap puts the crossing inside a piece.
struct Piece {
    size_t offered;
    size_t taken;
};

struct RecordedTransfer {
    CUTHttpClient* client;
    std::vector<Piece> pieces;
};

size_t RecordingWriteCallback(char* data, size_t size, size_t count, void* transfer) {
    RecordedTransfer* recorded = static_cast<RecordedTransfer*>(transfer);
    const size_t taken = CUTHttpClient::WriteCallback(data, size, count, recorded->client);
    recorded->pieces.push_back({size * count, taken});
    return taken;
}

// True when this libcurl reads file: URLs (the Windows build has HTTP and
// HTTPS only).
bool CurlReadsFiles() {
    for (const char* const* protocol = curl_version_info(CURLVERSION_NOW)->protocols;
         *protocol != nullptr; ++protocol) {
        if (std::string(*protocol) == "file") {
            return true;
        }
    }
    return false;
}

TEST(ReplyCapTest, TransferPastTheCapEndsWithAWriteErrorHoldingAtMostTheCap) {
    if (!CurlReadsFiles()) {
        GTEST_SKIP() << "libcurl without the file protocol";
    }
    ScratchFolder folder;
    for (long buffer_size : {0L, 3000L}) {
        for (size_t size : {CUTHttpClient::kReplyMaxBytes, size_t{10} * 1024 * 1024}) {
            SCOPED_TRACE("buffer " + std::to_string(buffer_size) + ", reply " +
                         std::to_string(size));
            const std::string url = tvut_test::FileUrl(folder.Join("reply.xml"));
            const std::string body = AcceptedOfSize(size);
            ASSERT_TRUE(WriteFile(folder.Join("reply.xml"), body));
            CUTHttpClient client(url);
            RecordedTransfer recorded{&client, {}};
            CURL* easy = curl_easy_init();
            ASSERT_NE(nullptr, easy);
            curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
            if (buffer_size != 0) {
                curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, buffer_size);
            }
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &RecordingWriteCallback);
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &recorded);
            const CURLcode code = curl_easy_perform(easy);
            curl_easy_cleanup(easy);

            const bool over = size > CUTHttpClient::kReplyMaxBytes;
            EXPECT_EQ(over ? CURLE_WRITE_ERROR : CURLE_OK, code);
            EXPECT_EQ(over, client.ReplyTooLarge());
            ASSERT_FALSE(recorded.pieces.empty());
            // Every piece but a refused last one was taken whole.
            size_t taken = 0;
            for (size_t i = 0; i < recorded.pieces.size(); ++i) {
                const Piece& piece = recorded.pieces[i];
                const bool refused = over && i + 1 == recorded.pieces.size();
                EXPECT_EQ(refused ? 0u : piece.offered, piece.taken) << "piece " << i;
                taken += piece.taken;
            }
            if (over) {
                // The refused piece is the one that crossed the cap.
                EXPECT_LE(taken, CUTHttpClient::kReplyMaxBytes);
                EXPECT_GT(taken + recorded.pieces.back().offered, CUTHttpClient::kReplyMaxBytes);
            } else {
                EXPECT_EQ(size, taken);
            }
            // The client holds exactly what it took: the reply's first bytes.
            const std::string kept = Drain(&client.Queue());
            EXPECT_EQ(taken, kept.size());
            EXPECT_TRUE(body.compare(0, kept.size(), kept) == 0)
                << "the kept bytes begin the reply";
        }
    }
}
