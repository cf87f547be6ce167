#include <gtest/gtest.h>

#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"
#include "support/ScratchRoots.h"

TEST(PlatformTest, GuidTextHasRegistryForm) {
    const std::wstring guid = CUTPlatform::Current()->NewGuidText();
    ASSERT_EQ(38u, guid.size());
    EXPECT_EQ(L'{', guid.front());
    EXPECT_EQ(L'}', guid.back());
}
