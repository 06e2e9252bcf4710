// The assembled machine: the usbeth driver loaded under the host NDIS over a
// board on the simulated bus, driven through the testbed.
#include <gtest/gtest.h>

#include "hw/board.h"
#include "testbed/testbed.h"

namespace {

TEST(TestbedTest, BringsTheDriverUpOnABoardAndHaltsItClean) {
  hw::Board board(hw::boards::SingleEthernet(), host::kernel_clock());
  host::TestbedOptions options;
  options.bus.completion = host::usb::CompletionMode::Deferred;
  host::Testbed bed(board, options);
  ASSERT_EQ(bed.initialize_status(), NDIS_STATUS_SUCCESS);
  EXPECT_NE(bed.adapter_context(), nullptr);
  EXPECT_EQ(bed.ndis().characteristics_length(), 96u);
  // The adapter answers through the bound protocol.
  EXPECT_EQ(bed.protocol().query_ulong(OID_GEN_MAXIMUM_FRAME_SIZE), 1500u);
  // The first link poll, 3 s after initialize, indicates the media state.
  bed.scheduler().run_for(4 * host::kSecond);
  auto statuses = bed.protocol().statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_TRUE(statuses.back().code == NDIS_STATUS_MEDIA_CONNECT ||
              statuses.back().code == NDIS_STATUS_MEDIA_DISCONNECT);
  EXPECT_FALSE(bed.protocol().status_completes().empty());
  // A frame sent through the protocol completes back to it.
  std::vector<uint8_t> frame(60, 0x5A);
  uint64_t id = bed.protocol().send(frame, {14});
  ASSERT_NE(id, 0u);
  bed.protocol().run_until([&] { return bed.protocol().send_completion_count() == 1; },
                           host::kSecond);
  ASSERT_EQ(bed.protocol().send_completion_count(), 1u);
  EXPECT_EQ(bed.protocol().send_completions()[0].frame, id);
  bed.halt();
  EXPECT_EQ(bed.adapter().state(), host::ndis::Miniport::State::Halted);
}

}  // namespace
