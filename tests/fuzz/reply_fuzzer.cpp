// Fuzz target: arbitrary bytes as the body of a server reply, through the
// write callback and the whole reply handling (search for the declaration,
// the parse guard, the parser, the element reading, the status mapping).
//
// The settings roots are unavailable here, so a reply that counts as
// delivered records nothing on disk and each run stays fast; the logger is
// not started.
#include <cstddef>
#include <cstdint>
#include <string>

#include "UT/UTProcessState.h"
#include "comm/UTHttpClient.h"
#include "platform/UTPlatform.h"
#include "support/ReplyReplay.h"

namespace {

class NoRootsPlatform : public CUTPlatformWrapper {
public:
    NoRootsPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    bool MachineDataRoot(std::wstring*) override { return false; }
    bool UserDataRoot(std::wstring*) override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static NoRootsPlatform platform;
    CUTPlatform::Install(&platform);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CUTProcessState::server_status_code.store(0);
    CUTProcessState::ext_dep_status_code.store(0);
    CUTHttpClient client("https://127.0.0.1/BRIMReceiver/receiver.aspx");
    std::wstring session_id;
    const int result =
        tvut_test::ReceiveReply(client, reinterpret_cast<const char*>(data), size, &session_id);
    // Every outcome is one of the reply handling's codes.
    switch (result) {
        case 0:
        case 3:
        case 6:
        case 7:
        case 8:
        case 9:
        case 10:
            break;
        default:
            __builtin_trap();
    }
    return 0;
}
