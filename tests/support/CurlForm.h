// The curl command line that posts the same multipart form as the component,
// for benchmarks that compare an upload with curl's. The form (the request
// fields and the archive) is built by CUTHttpClient and written to a file
// that curl sends as it is.
#ifndef TVUT_TESTS_SUPPORT_CURLFORM_H
#define TVUT_TESTS_SUPPORT_CURLFORM_H

#include <cstddef>
#include <string>

namespace tvut_test {

// Writes the form for archive to body_file and returns the command that
// posts it to upload_url, printing only the HTTP status. The body's size
// goes to *body_size when given.
std::string CurlPostOfForm(const std::wstring& archive, const std::string& body_file,
                           const std::string& upload_url, size_t* body_size = nullptr);

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_CURLFORM_H
