#include "config/UTScrambler.h"

#include <atomic>
#include <cstring>

#include "config/UTConfigPaths.h"
#include "platform/UTPlatform.h"

namespace {

// Files written with one key are unreadable with another: never change it.
const char kScrambleKey[] = "\x5A\x3C\x91\x17\xE4\x2B\x6D\xB8\x0F\xC3\x74\x9E\x21\xD6\x58\xAF\x33";

std::atomic<bool> g_config_scrambling_on{true};

}  // namespace

void ScrambleBytes(std::string* bytes) {
    static const size_t key_length = std::strlen(kScrambleKey);
    for (size_t i = 0; i < bytes->size(); ++i) {
        (*bytes)[i] = static_cast<char>((*bytes)[i] ^ kScrambleKey[i % key_length]);
    }
}

bool IsConfigScramblingOn() {
    return g_config_scrambling_on.load(std::memory_order_acquire);
}

void CheckDecodeMarker() {
    if (!IsConfigScramblingOn()) {
        return;
    }
    const std::wstring folder = PIUIFolderPath();
    if (!folder.empty() && FileExists(CUTPlatform::Current(), folder + kDecodeMarkerName)) {
        g_config_scrambling_on.store(false, std::memory_order_release);
    }
}
