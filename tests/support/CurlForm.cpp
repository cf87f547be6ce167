#include "support/CurlForm.h"

#include "comm/UTHttpClient.h"
#include "support/ScratchRoots.h"

namespace tvut_test {

std::string CurlPostOfForm(const std::wstring& archive, const std::string& body_file,
                           const std::string& upload_url, size_t* body_size) {
    std::string body;
    CUTHttpClient client(upload_url);
    client.BuildRequest(archive);
    body.resize(client.Queue().Pending());
    client.Queue().Read(&body[0], body.size());
    WriteFile(body_file, body);
    if (body_size != nullptr) {
        *body_size = body.size();
    }
    return "curl -s -o /dev/null -w '%{http_code}' -H 'Content-Type: multipart/form-data; "
           "boundary=" +
           std::string(CUTHttpClient::kBoundary) + "' --data-binary @" + body_file + " " +
           upload_url;
}

}  // namespace tvut_test
