// One whole send cycle of a full 300 KB budget, beside its floor.
//
//   ours:  a synchronous GetUBInformation (kormTRUE) with transcripts worth
//          MaxPayloadSize 300000 bytes waiting: the decision under the
//          sending lock, gathering, packing, the upload to the local
//          receiver on 127.0.0.1, the reply and the removal of the files.
//   floor: zlib's compress2 of each file's bytes, plus one curl command
//          posting the resulting archive as the same multipart form to the
//          same receiver (curl's figure includes starting the process).
//
// The transcripts are copies, under new session names, of one transcript a
// real session wrote. Each round puts them back, untimed.
//
// Run: send_cycle_bench [rounds]   (7 when not given; medians are printed)
// Scratch roots keep the real ones untouched; logging stays off.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <tvUT/UTFacade.h>

#include "base/UTTextCodec.h"
#include "manager/UTPendingTranscripts.h"
#include "platform/UTPlatform.h"
#include "support/ChildProcess.h"
#include "support/CurlForm.h"
#include "support/LocalReceiver.h"
#include "support/ScratchRoots.h"
#include "zip/UTZipper.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBudget = 300000;

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

kormSTRING Text(const char16_t* text) {
    return kormSTRING{const_cast<kormCHAR*>(text), -1};
}

// Copies of transcript under new session names in folder, as many as fit
// the budget; returns their paths.
std::vector<std::string> FillBudget(const std::string& folder, const std::string& transcript) {
    std::vector<std::string> paths;
    for (size_t total = transcript.size(); total <= kBudget; total += transcript.size()) {
        const std::string path =
            folder + "/" + ToUtf8(CUTPlatform::Current()->NewGuidText()) + ".utt";
        tvut_test::WriteFile(path, transcript);
        paths.push_back(path);
    }
    return paths;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    tvut_test::ScratchRoots roots;
    tvut_test::LocalReceiver receiver;
    std::vector<std::pair<std::wstring, std::wstring>> settings =
        tvut_test::SendOnlyWhenAskedSettings(receiver.HostUrl());
    settings.emplace_back(L"MaxPayloadSize", L"300000");
    tvut_test::WriteMachineSettings(settings);
    if (CUTFacade::InitUTComponent() != UT_INIT_OK) {
        std::fprintf(stderr, "InitUTComponent failed\n");
        return 1;
    }
    CUTProductInfo* product = CUTProductInfo::Create();
    product->SetProductLineId(Text(u"BENCH"));
    product->SetReleaseId(Text(u"1"));
    // The first hand-over sends (nothing is on record yet); then one real
    // transcript, which the copies repeat.
    CUTFacade::GetUBInformation(product, nullptr, kormFALSE);
    CUTFacade::LogUsageData();
    const std::string folder = roots.pi_ud_folder() + "/BENCH_1/Transcripts";
    const std::vector<std::wstring> written =
        CUTPendingTranscripts(FromUtf8(roots.pi_ud_folder())).ListTranscripts();
    if (written.size() != 1) {
        std::fprintf(stderr, "expected the session's transcript in %s\n", folder.c_str());
        return 1;
    }
    const std::string own = ToUtf8(written[0]);
    const std::string transcript = tvut_test::ReadFile(own);
    std::remove(own.c_str());

    std::vector<double> ours;
    size_t files = 0, bytes = 0;
    for (int i = 0; i < rounds; ++i) {
        const std::vector<std::string> paths = FillBudget(folder, transcript);
        files = paths.size();
        bytes = files * transcript.size();
        const int before = receiver.ArrivalCount();
        const Clock::time_point start = Clock::now();
        const UTStatus status = CUTFacade::GetUBInformation(product, nullptr, kormTRUE);
        ours.push_back(Milliseconds(Clock::now() - start));
        const size_t left =
            CUTPendingTranscripts(FromUtf8(roots.pi_ud_folder())).ListTranscripts().size();
        if (status != UT_SEND_OK || left != 0 || receiver.ArrivalCount() != before + 1) {
            std::printf("  round %d: status %d, %zu transcripts left\n", i, status, left);
        }
    }

    // The floor, on the same files.
    const std::vector<std::string> paths = FillBudget(folder, transcript);
    std::vector<std::string> contents;
    for (const std::string& path : paths) {
        contents.push_back(tvut_test::ReadFile(path));
    }
    tvut_test::ScratchFolder scratch;
    const std::wstring archive = FromUtf8(scratch.Join("payload.zip"));
    {
        CUTZipper zipper(archive);
        for (const std::string& path : paths) {
            zipper.AddFile(FromUtf8(path));
        }
        zipper.Complete();
    }
    size_t body_size = 0;
    const std::string command = tvut_test::CurlPostOfForm(archive, scratch.Join("body.bin"),
                                                          receiver.UploadUrl(), &body_size);
    std::vector<double> deflate, curl;
    for (int i = 0; i < rounds; ++i) {
        Clock::time_point start = Clock::now();
        for (const std::string& content : contents) {
            std::vector<Bytef> out(compressBound(content.size()));
            uLongf size = out.size();
            compress2(out.data(), &size, reinterpret_cast<const Bytef*>(content.data()),
                      content.size(), Z_DEFAULT_COMPRESSION);
        }
        deflate.push_back(Milliseconds(Clock::now() - start));
        std::string output;
        start = Clock::now();
        tvut_test::RunCommand(command, &output);
        curl.push_back(Milliseconds(Clock::now() - start));
        if (output != "200") {
            std::printf("  round %d: curl %s\n", i, output.c_str());
        }
    }
    product->Dispose();
    CUTFacade::CleanUp();

    const double floor = Median(deflate) + Median(curl);
    std::printf(
        "send cycle of a full budget: %zu transcripts, %zu bytes (MaxPayloadSize 300000), "
        "%d rounds\n"
        "  ours  (GetUBInformation kormTRUE: decide, gather, zip, upload, remove): median %.2f ms\n"
        "  floor (compress2 of each file %.2f ms + curl POST of the %zu-byte form %.2f ms): "
        "%.2f ms\n"
        "  ratio ours / floor: %.2f\n",
        files, bytes, rounds, Median(ours), Median(deflate), body_size, Median(curl), floor,
        Median(ours) / floor);
    return 0;
}
