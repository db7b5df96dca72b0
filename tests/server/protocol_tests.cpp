#include <gtest/gtest.h>

#include "tests/support/test_host.h"

TEST(ProtocolTest, BannerThenPromptThenExitOnClose) {
    TestHost host;
    ASSERT_TRUE(host.Start());
    EXPECT_EQ(host.ReadUntilPrompt(), "info:Velmorant Plugin Scan Server (x64)\n");
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
    EXPECT_EQ(host.Rest(), "");
}
