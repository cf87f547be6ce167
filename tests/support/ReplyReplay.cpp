#include "support/ReplyReplay.h"

#include <curl/curl.h>

#include "comm/UTHttpClient.h"

namespace tvut_test {

int ReceiveReply(CUTHttpClient& client, const char* body, size_t size, std::wstring* session_id) {
    size_t offset = 0;
    while (offset < size) {
        const size_t piece =
            size - offset < CURL_MAX_WRITE_SIZE ? size - offset : CURL_MAX_WRITE_SIZE;
        if (CUTHttpClient::WriteCallback(const_cast<char*>(body + offset), 1, piece, &client) !=
            piece) {
            // libcurl would end the transfer with a write error.
            return UT_SEND_RESULT_FAILED;
        }
        offset += piece;
    }
    return client.HandleResponse(session_id);
}

}  // namespace tvut_test
