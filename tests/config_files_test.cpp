#include <gtest/gtest.h>

#include "config/UTXMLConfig.h"
#include "support/ScratchRoots.h"

TEST(XMLConfigTest, Smoke) {
    tvut_test::ScratchRoots roots;
    CUTXMLConfig config(UT_CONFIG_PI_UD, L"TVUT");
    EXPECT_TRUE(config.Load());
}
