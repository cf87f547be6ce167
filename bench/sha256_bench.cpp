// Throughput of tinysha::SHA256 beside OpenSSL's SHA-256 (EVP, which picks the
// fastest code this CPU supports) on short and long inputs, in one run.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>

#include "base/TinySha.h"

namespace {

std::string Message(size_t length) {
    return std::string(length, '\x5a');
}

void BM_TinySha256(benchmark::State& state) {
    const std::string message = Message(static_cast<size_t>(state.range(0)));
    unsigned char digest[32];
    for (auto _ : state) {
        tinysha::SHA256 hash;
        hash.CalculateDigest(digest, reinterpret_cast<const unsigned char*>(message.data()),
                             message.size());
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslSha256(benchmark::State& state) {
    const std::string message = Message(static_cast<size_t>(state.range(0)));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const EVP_MD* sha256 = EVP_sha256();
    for (auto _ : state) {
        EVP_Digest(message.data(), message.size(), digest, &size, sha256, nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_TinySha256)->Arg(64)->Arg(16 * 1024);
BENCHMARK(BM_OpenSslSha256)->Arg(64)->Arg(16 * 1024);

BENCHMARK_MAIN();
