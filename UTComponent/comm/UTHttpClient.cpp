#include "comm/UTHttpClient.h"

#include <curl/curl.h>

#include "config/UTConfigManager.h"
#include "config/UTRuntimeConfig.h"
#include "log/UTLoggerManager.h"

CUTHttpClient::CUTHttpClient(const std::string& url) : url_(url) {}

CUTHttpClient::~CUTHttpClient() = default;

// The transfer is not built yet: every send fails as a transfer would.
int CUTHttpClient::Send(const std::wstring& /*payload_path*/, std::wstring* session_id) {
    if (session_id != nullptr)
        session_id->clear();
    CUTConfigManager* config = CUTConfigManager::PeekInstance();
    if (config != nullptr && config->Runtime() != nullptr)
        config->Runtime()->SetSending(false);
    return UT_SEND_RESULT_FAILED;
}

size_t CUTHttpClient::WriteCallback(char* data, size_t size, size_t count, void* client) {
    CUTHttpClient* self = static_cast<CUTHttpClient*>(client);
    // Decided before anything is kept, so a reply past the cap never costs
    // more than the cap. The request body was drained before the transfer:
    // what is pending is reply.
    const size_t room = kReplyMaxBytes - self->queue_.Pending();
    if (count != 0 && size > room / count) {
        if (!self->reply_too_large_) {
            self->reply_too_large_ = true;
            UT_LOG(UT_LOG_ERROR, "Response Data exceeds %d bytes, transfer stopped!!",
                   static_cast<int>(kReplyMaxBytes));
        }
        return 0;
    }
    try {
        self->queue_.Append(data, size * count);
    } catch (...) {
        // No memory for the piece: libcurl ends the transfer with a write
        // error, which is a failed send.
        return 0;
    }
    return size * count;
}

int CUTHttpClient::ReceiveReply(const char* body, size_t size, std::wstring* session_id) {
    size_t offset = 0;
    while (offset < size) {
        const size_t piece =
            size - offset < CURL_MAX_WRITE_SIZE ? size - offset : CURL_MAX_WRITE_SIZE;
        if (WriteCallback(const_cast<char*>(body + offset), 1, piece, this) != piece) {
            // libcurl would end the transfer with a write error.
            return UT_SEND_RESULT_FAILED;
        }
        offset += piece;
    }
    return HandleResponse(session_id);
}
