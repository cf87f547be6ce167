// The server's reply: a small XML document with the request session id, the
// status of the request and the status of one of the server's external
// dependencies.
#include <cstring>
#include <memory>

#include <tinyxml.h>

#include "UT/UTProcessState.h"
#include "base/UTParseGuard.h"
#include "base/UTStringFormater.h"
#include "base/UTTextCodec.h"
#include "comm/UTHttpClient.h"
#include "config/UTConfigManager.h"
#include "log/UTLoggerManager.h"
#include "platform/UTPlatform.h"

namespace {

const char kParseError[] = "Parse Response Error!!";

// The text of element when its first child is a text node (CDATA too), else
// null.
const char* ElementText(const TiXmlElement* element) {
    const TiXmlNode* child = element->FirstChild();
    const TiXmlText* text = child != nullptr ? child->ToText() : nullptr;
    return text != nullptr ? text->Value() : nullptr;
}

// Reads a signed 32-bit number as a stream extraction does: leading white
// space skipped, stopping at the first character that cannot continue it.
// False, value untouched, when the text starts with no number or the number
// is out of range. Digits and white space are ASCII, so reading the UTF-8
// bytes gives what reading their wide form would.
bool ReadInt32(const char* text, int* value) {
    CUTStringFormater stream{std::string(text)};
    int32_t number = 0;
    stream >> number;
    if (stream.fail()) {
        return false;
    }
    *value = number;
    return true;
}

// The element's number, or a logged reason why there is none. False when
// the element or its text is missing.
bool ReadStatusElement(const TiXmlElement* root, const char* name, int* value, bool* found) {
    *found = false;
    const TiXmlElement* element = root->FirstChildElement(name);
    if (element == nullptr) {
        UT_LOG(UT_LOG_ERROR, "Cannot find %s!!", name);
        return false;
    }
    const char* text = ElementText(element);
    if (text == nullptr) {
        UT_LOG(UT_LOG_ERROR, "%s context is missing!!", name);
        return false;
    }
    *found = ReadInt32(text, value);
    return true;
}

// Replies that the server wants counted as delivered, so that their
// transcripts are not sent again.
int MapServerStatus(int status) {
    const char* reason = nullptr;
    switch (status) {
        case kServerStatusNoPayload:
            reason = "This request is being sent without payload!!";
            break;
        case kServerStatusRejected:
            reason = "This request was rejected by the server!!";
            break;
        case kServerStatusMissingParameters:
            reason = "This request doesn't have all required parameters!!";
            break;
        default:
            return status;
    }
    UT_LOG(UT_LOG_DEVDBG, "%s", reason);
    return kServerStatusAccepted;
}

}  // namespace

// The save merges: it writes this process's changes into the file as it is
// now, so a login or send time that another process saved meanwhile stays.
void CUTHttpClient::RecordDeliveredSend() {
    CUTConfigManager* config = CUTConfigManager::GetInstance();
    if (config == nullptr) {
        return;
    }
    config->Store()->SetInt64(L"LastSendTimestamp", CurrentTimeSeconds(CUTPlatform::Current()),
                              false);
    config->Flush();
}

int CUTHttpClient::ParseResponse(const char* text, UsageReply* reply) {
    try {
        CUTParseLimits limits;
        limits.max_bytes = kReplyMaxBytes;
        // A reply the guard refuses is never parsed, not even in part: where
        // the guard stops, the parser might read on into what it refused.
        TiXmlDocument document;
        ParseXmlGuarded(std::string(text), limits, &document);
        const TiXmlElement* root = document.RootElement();
        if (root == nullptr) {
            UT_LOG(UT_LOG_ERROR, "%s", kParseError);
            return UT_SEND_RESULT_NO_XML;
        }
        int result = UT_SEND_RESULT_OK;

        const TiXmlElement* session = root->FirstChildElement("REQ_SESSION_ID");
        if (session == nullptr) {
            UT_LOG(UT_LOG_ERROR, "Cannot find REQ_SESSION_ID!!");
        } else if (const char* id = ElementText(session)) {
            reply->session_id = FromUtf8(id);
        } else {
            UT_LOG(UT_LOG_ERROR, "REQ_SESSION_ID context is missing!!");
        }

        int status = 0;
        bool is_number = false;
        if (!ReadStatusElement(root, "REQ_STATUS_CODE", &status, &is_number)) {
            result = UT_SEND_RESULT_NO_STATUS;
        } else if (is_number) {
            CUTProcessState::server_status_code.store(MapServerStatus(status));
        }

        int ext_status = 0;
        if (ReadStatusElement(root, "EXT_DEP_STATUS_CODE", &ext_status, &is_number) && is_number) {
            CUTProcessState::ext_dep_status_code.store(ext_status);
        }

        const TiXmlElement* message = root->FirstChildElement("EXT_DEP_EXCEPTION_MSG");
        if (message == nullptr) {
            UT_LOG(UT_LOG_DEVDBG, "Cannot find EXT_DEP_EXCEPTION_MSG!!");
        } else if (const TiXmlNode* child = message->FirstChild()) {
            // Whatever the node is: text, CDATA, or the name of an element.
            reply->ext_dep_message = FromUtf8(child->ValueStr());
        }
        return result;
    } catch (...) {
        UT_LOG(UT_LOG_ERROR, "%s", kParseError);
        return UT_SEND_RESULT_NO_XML;
    }
}

int CUTHttpClient::HandleResponse(std::wstring* session_id) {
    try {
        const size_t pending = queue_.Pending();
        if (pending == 0) {
            UT_LOG(UT_LOG_ERROR, "Empty Response Data");
            return UT_SEND_RESULT_EMPTY_REPLY;
        }
        // Ends at the first NUL, wherever the reply has one: everything
        // below reads the text up to there and never beyond the buffer.
        std::unique_ptr<char[]> buffer(new char[pending + 1]);
        const size_t read = queue_.Read(buffer.get(), pending);
        buffer[read] = '\0';
        UT_LOG(UT_LOG_DEVDBG, "\nResponse:\n%s\n", buffer.get());

        const char* xml = std::strstr(buffer.get(), "<?xml");
        if (xml == nullptr) {
            UT_LOG(UT_LOG_DEVDBG, "Cannot find the xml string in response!!");
            return UT_SEND_RESULT_NO_XML;
        }
        UsageReply reply;
        const int parsed = ParseResponse(xml, &reply);
        if (session_id != nullptr) {
            *session_id = reply.session_id;
        }
        if (parsed == UT_SEND_RESULT_NO_XML || parsed == UT_SEND_RESULT_NO_STATUS) {
            return parsed;
        }
        const int status = CUTProcessState::server_status_code.load();
        if (status == kServerStatusAccepted) {
            UT_LOG(UT_LOG_DEVDBG, "ExtDepStatusCode = %d, ExtDepExceptionMsg = [%ls]",
                   CUTProcessState::ext_dep_status_code.load(), reply.ext_dep_message.c_str());
            if (!defer_delivered_time_) {
                RecordDeliveredSend();
            }
            return UT_SEND_RESULT_OK;
        }
        UT_LOG(UT_LOG_INFO, "Server Return Error StatusCode %d!", status);
        if (status == kServerStatusRestarting) {
            UT_LOG(UT_LOG_INFO, "Server is restarting, wait to resend again!");
            return UT_SEND_RESULT_SERVER_RESTARTING;
        }
        return UT_SEND_RESULT_SERVER_ERROR;
    } catch (...) {
        UT_LOG(UT_LOG_ERROR, "Undefined exception occurred during sending process");
        return UT_SEND_RESULT_FAILED;
    }
}
