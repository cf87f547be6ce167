// Platform fakes shared by several tests: each overrides one service of the
// real platform. Install with CUTScopedPlatform.
#ifndef TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H
#define TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H

#include <string>

#include "platform/UTPlatform.h"

namespace tvut_test {

// A user without a home: the per-user root is unavailable.
class NoUserRootPlatform : public CUTPlatformWrapper {
public:
    NoUserRootPlatform() : CUTPlatformWrapper(CUTPlatform::Default()) {}
    bool UserDataRoot(std::wstring*) override { return false; }
};

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_FAKEPLATFORMS_H
