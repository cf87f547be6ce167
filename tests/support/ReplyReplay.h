// A server's reply handed to the transport without the network, the way a
// transfer that ended with HTTP status 200 delivers it: for tests and fuzz
// targets of the reply handling, which need no server for it.
#ifndef TVUT_TESTS_SUPPORT_REPLYREPLAY_H
#define TVUT_TESTS_SUPPORT_REPLYREPLAY_H

#include <cstddef>
#include <string>

class CUTHttpClient;

namespace tvut_test {

// Hands body to the client's write callback in the pieces libcurl delivers
// and, when every piece was taken, returns the client's HandleResponse; a
// refused piece ends it as the failed transfer it would be (3). Any thread
// that owns the client.
int ReceiveReply(CUTHttpClient& client, const char* body, size_t size, std::wstring* session_id);

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_REPLYREPLAY_H
