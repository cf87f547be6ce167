// The floor of host_cost_bench: a C++ host that uses only libcurl.
//
//   curl_host idle               returns at once (what linking curl costs)
//   curl_host post URL BODY      curl_global_init, one POST of the file BODY (a
//                                multipart body as tvUT sent it: its boundary is
//                                taken from its first line) and the cleanup;
//                                prints the process CPU of that span
//   curl_host ... --smaps        also prints the resident size per mapped file
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <curl/curl.h>

#include "HostMeasures.h"

namespace {

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

int Post(const char* url, const char* body_file) {
    std::ifstream in(body_file, std::ios::binary);
    const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = body.find("\r\n");
    if (body.size() < 3 || end == std::string::npos) {
        return 1;
    }
    const std::string type =
        "Content-Type: multipart/form-data; boundary=" + body.substr(2, end - 2);
    const double before = CpuUs(RUSAGE_SELF);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, type.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    std::printf("cpu_us %.0f\n", CpuUs(RUSAGE_SELF) - before);
    return code == CURLE_OK && status == 200 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s idle|post URL BODY [--smaps]\n", argv[0]);
        return 2;
    }
    const bool smaps = std::strcmp(argv[argc - 1], "--smaps") == 0;
    int rc = 0;
    if (std::strcmp(argv[1], "post") == 0 && argc >= 4) {
        rc = Post(argv[2], argv[3]);
    } else if (std::strcmp(argv[1], "idle") == 0) {
        volatile auto keep = &curl_version;
        (void)keep;
        // A C++ host: its runtime is loaded as tvUT's host loads it.
        std::ostringstream out;
        out << argc;
    } else {
        return 2;
    }
    if (smaps) {
        PrintResidentByFile();
    }
    return rc;
}
