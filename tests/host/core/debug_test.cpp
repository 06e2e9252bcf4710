// DbgPrint capture.
#include "nt/debug.h"
#include "test_support.h"

namespace {

class DebugOutputTest : public host_test::KernelTest {};

TEST_F(DebugOutputTest, PrintsAreCapturedFormattedUntilCleared) {
  host::clear_debug_output();
  DbgPrint("pipe %u max %u\n", 1u, 64u);
  DbgPrint("type %x\n", 0x2u);
  EXPECT_EQ(host::debug_output(), (std::vector<std::string>{"pipe 1 max 64\n", "type 2\n"}));
  host::clear_debug_output();
  EXPECT_TRUE(host::debug_output().empty());
}

TEST_F(DebugOutputTest, LongLinesAreKeptWhole) {
  host::clear_debug_output();
  std::string long_text(3000, 'x');
  DbgPrint("%s", long_text.c_str());
  ASSERT_EQ(host::debug_output().size(), 1u);
  EXPECT_EQ(host::debug_output()[0], long_text);
}

}  // namespace
