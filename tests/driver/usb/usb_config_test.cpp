// USB device configuration at start and the pipe reset at stop, including
// devices whose descriptors lie.

#include <gtest/gtest.h>

#include "driver_rig.h"
#include "nt/debug.h"
#include "usb/usb_config.h"

namespace usbeth_test {
namespace {

RigOptions WithBoard(hw::BoardConfig board) {
  RigOptions o;
  o.board = std::move(board);
  return o;
}

class UsbConfigTest : public ::testing::Test {
 protected:
  // Initializes an adapter on the board and expects initialization to fail
  // cleanly: resources status, no select-configuration for a refused
  // descriptor set, nothing of the driver left behind.
  void ExpectRefused(hw::BoardConfig board, bool select_sent) {
    DriverRig rig(WithBoard(std::move(board)));
    rig.AddAdapter();
    EXPECT_EQ(rig.miniport->initialize(), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(rig.spy->with_function(URB_FUNCTION_SELECT_CONFIGURATION).size(),
              select_sent ? 1u : 0u);
    EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
    EXPECT_EQ(host::live_pool_blocks(), 0u);
    EXPECT_EQ(host::counters().irps_live, 0);
  }
};

TEST_F(UsbConfigTest, ThreePipesAreSelectedWithBulkTransferSizeSet) {
  DriverRig rig;
  usbeth::Adapter* a = rig.Start();
  std::vector<SeenUrb> select = rig.spy->with_function(URB_FUNCTION_SELECT_CONFIGURATION);
  ASSERT_EQ(select.size(), 1u);
  EXPECT_EQ(select[0].length, 100);
  const USBD_INTERFACE_INFORMATION& info = select[0].urb().UrbSelectConfiguration.Interface;
  ASSERT_EQ(info.NumberOfPipes, 3u);
  for (int pipe = 0; pipe < 2; ++pipe) {
    EXPECT_EQ(info.Pipes[pipe].MaximumTransferSize, 1536u);
    EXPECT_EQ(info.Pipes[pipe].PipeFlags, 0u);
  }
  ASSERT_NE(a->InterfaceInfo, nullptr);
  EXPECT_EQ(a->InterfaceInfo->Length, usbeth::InterfaceInformationLength(3));
  EXPECT_EQ(a->InterfaceInfo->Pipes[0].EndpointAddress, 0x81);
  EXPECT_EQ(a->InterfaceInfo->Pipes[1].EndpointAddress, 0x02);
  EXPECT_EQ(a->IrpStackSize, rig.spy->device()->StackSize + 1);
  // Remote wake-up cleared, then the status read.
  EXPECT_FALSE(rig.board->remote_wakeup_enabled());
  EXPECT_EQ(rig.spy->with_function(URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE).size(), 1u);
  EXPECT_EQ(rig.spy->with_function(URB_FUNCTION_GET_STATUS_FROM_DEVICE).size(), 1u);
  EXPECT_EQ(rig.board->configuration(), 1);
}

TEST_F(UsbConfigTest, EightDebugLinesShowTheBusValuesThenTheDriverValues) {
  host::clear_debug_output();
  DriverRig rig;
  rig.Start();
  std::vector<std::string> out = host::debug_output();
  ASSERT_GE(out.size(), 8u);
  const char* names[4] = {"Pipes[0].MaximumTransferSize = ", "Pipes[0].PipeFlags = ",
                          "Pipes[1].MaximumTransferSize = ", "Pipes[1].PipeFlags = "};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(out[i].rfind(names[i], 0), 0u) << out[i];
  EXPECT_EQ(out[4], "Pipes[0].MaximumTransferSize = 1536\n");
  EXPECT_EQ(out[5], "Pipes[0].PipeFlags = 0\n");
  EXPECT_EQ(out[6], "Pipes[1].MaximumTransferSize = 1536\n");
  EXPECT_EQ(out[7], "Pipes[1].PipeFlags = 0\n");
}

// The lengths of the configuration descriptor reads, in order.
std::vector<ULONG> ConfigurationReads(const DriverRig& rig) {
  std::vector<ULONG> lengths;
  for (const SeenUrb& u : rig.spy->with_function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)) {
    if (u.urb().UrbControlDescriptorRequest.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
      lengths.push_back(u.urb().UrbControlDescriptorRequest.TransferBufferLength);
    }
  }
  return lengths;
}

TEST_F(UsbConfigTest, ConfigurationLongerThan255BytesIsReadAgainWhole) {
  // Vendor descriptors after the endpoints, then ahead of them: the second
  // layout has its endpoints beyond byte 255 and works only when read whole.
  for (bool before_endpoints : {false, true}) {
    SCOPED_TRACE(before_endpoints ? "padding before the endpoints" : "padding after them");
    hw::BoardConfig board = hw::boards::SingleEthernet();
    board.descriptors.pad_bytes = 400;
    board.descriptors.pad_before_endpoints = before_endpoints;
    DriverRig rig(WithBoard(board));
    usbeth::Adapter* a = rig.Start();
    ASSERT_EQ(rig.miniport->initialize_status(), NDIS_STATUS_SUCCESS);
    const ULONG total = static_cast<ULONG>(rig.board->configuration_descriptor().size());
    EXPECT_EQ(ConfigurationReads(rig), (std::vector<ULONG>{255, total}));
    const auto* config =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(a->ConfigurationDescriptor);
    EXPECT_EQ(config->wTotalLength, total);
    EXPECT_EQ(a->InterfaceInfo->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(a->InterfaceInfo->Pipes[1].EndpointAddress, 0x02);
    EXPECT_EQ(rig.spy->with_function(URB_FUNCTION_SELECT_CONFIGURATION).size(), 1u);
  }
}

TEST_F(UsbConfigTest, ConfigurationBeyondTheBoundIsReadAsFarAsTheBound) {
  hw::BoardConfig after = hw::boards::SingleEthernet();
  after.descriptors.pad_bytes = 6000;
  {
    DriverRig rig(WithBoard(after));
    rig.Start();
    ASSERT_EQ(rig.miniport->initialize_status(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(ConfigurationReads(rig), (std::vector<ULONG>{255, usbeth::kConfigurationMaxSize}));
  }
  // Endpoints beyond the bound are never seen: refused, nothing left.
  hw::BoardConfig before = after;
  before.descriptors.pad_before_endpoints = true;
  ExpectRefused(before, false);
}

TEST_F(UsbConfigTest, BulkPipesPointingTheWrongWayOrCarryingNoPacketsAreRefused) {
  struct Case {
    const char* what;
    std::vector<hw::EndpointConfig> endpoints;
    int zero_max_packet = -1;
  };
  const std::vector<Case> cases = {
      {"bulk out listed before bulk in",
       {{0x02, hw::EndpointKind::Bulk, 0, 0},
        {0x81, hw::EndpointKind::Bulk, 0, 0},
        {0x83, hw::EndpointKind::Interrupt, 0, 1}}},
      {"first bulk endpoint without its IN bit",
       {{0x01, hw::EndpointKind::Bulk, 0, 0},
        {0x02, hw::EndpointKind::Bulk, 0, 0},
        {0x83, hw::EndpointKind::Interrupt, 0, 1}}},
      {"second bulk endpoint with the IN bit",
       {{0x81, hw::EndpointKind::Bulk, 0, 0},
        {0x82, hw::EndpointKind::Bulk, 0, 0},
        {0x83, hw::EndpointKind::Interrupt, 0, 1}}},
      {"bulk in with packets of 0 bytes", hw::DescriptorConfig{}.endpoints, 0},
      {"bulk out with packets of 0 bytes", hw::DescriptorConfig{}.endpoints, 1},
      {"bulk out with 32-byte packets, which 64-byte framing leaves unterminated",
       {{0x81, hw::EndpointKind::Bulk, 0, 0},
        {0x02, hw::EndpointKind::Bulk, 32, 0},
        {0x83, hw::EndpointKind::Interrupt, 0, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hw::BoardConfig board = hw::boards::SingleEthernet();
    board.descriptors.endpoints = c.endpoints;
    board.descriptors.zero_max_packet_endpoint = c.zero_max_packet;
    ExpectRefused(board, true);
  }
  // High speed: 512-byte bulk packets are fine.
  hw::BoardConfig high = hw::boards::SingleEthernet();
  high.speed = hw::BusSpeed::High;
  DriverRig rig(WithBoard(high));
  usbeth::Adapter* a = rig.Start();
  ASSERT_EQ(rig.miniport->initialize_status(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(a->InterfaceInfo->Pipes[1].MaximumPacketSize, 512);
}

TEST_F(UsbConfigTest, DeviceWithoutRemoteWakeupStallsItsClearingAndStillWorks) {
  hw::BoardConfig board = hw::boards::SingleEthernet();
  board.descriptors.remote_wakeup_capable = false;
  DriverRig rig(WithBoard(board));
  rig.Start();
  ASSERT_EQ(rig.miniport->initialize_status(), NDIS_STATUS_SUCCESS);
  bool stalled = false;
  for (const hw::ControlRecord& c : rig.board->control_log())
    stalled |=
        c.setup.bRequest == 1 && c.setup.bmRequestType == 0 && c.handshake == hw::Handshake::Stall;
  EXPECT_TRUE(stalled) << "the clear of remote wake-up was refused";
  EXPECT_EQ(rig.spy->with_function(URB_FUNCTION_GET_STATUS_FROM_DEVICE).size(), 1u);
}

TEST_F(UsbConfigTest, InterfaceWithTwoOrFourPipesIsRefusedAndItsRequestReleased) {
  hw::BoardConfig two = hw::boards::SingleEthernet();
  two.descriptors.endpoints.pop_back();
  ExpectRefused(two, false);
  hw::BoardConfig four = hw::boards::SingleEthernet();
  four.descriptors.endpoints.push_back({0x84, hw::EndpointKind::Interrupt, 0, 1});
  ExpectRefused(four, false);
}

TEST_F(UsbConfigTest, PipeKindsOtherThanBulkBulkInterruptAreRefused) {
  hw::BoardConfig board = hw::boards::SingleEthernet();
  board.descriptors.endpoints = {{0x83, hw::EndpointKind::Interrupt, 0, 1},
                                 {0x81, hw::EndpointKind::Bulk, 0, 0},
                                 {0x02, hw::EndpointKind::Bulk, 0, 0}};
  ExpectRefused(board, true);
}

TEST_F(UsbConfigTest, ZeroLengthDescriptorsAreRefused) {
  for (int index : {0, 1, 2, 4}) {
    SCOPED_TRACE(index);
    hw::BoardConfig board = hw::boards::SingleEthernet();
    board.descriptors.zero_length_descriptor = index;
    ExpectRefused(board, false);
  }
}

TEST_F(UsbConfigTest, DescriptorRunningPastTheEndIsRefused) {
  hw::BoardConfig board = hw::boards::SingleEthernet();
  board.descriptors.last_runs_past_end = true;
  ExpectRefused(board, false);
}

TEST_F(UsbConfigTest, TotalLengthShorterThanTheEndpointsIsRefused) {
  hw::BoardConfig board = hw::boards::SingleEthernet();
  board.descriptors.total_length = 20;  // configuration, interface, part of an endpoint
  ExpectRefused(board, false);
}

TEST_F(UsbConfigTest, TotalLengthBeyondTheBytesSentIsClampedToThem) {
  hw::BoardConfig board = hw::boards::SingleEthernet();
  board.descriptors.total_length = 4000;
  DriverRig rig(WithBoard(board));
  rig.Start();
  EXPECT_EQ(rig.spy->with_function(URB_FUNCTION_SELECT_CONFIGURATION).size(), 1u);
}

TEST(ValidateConfigurationDescriptor, WorksWithinTheBytesAtHand) {
  // Configuration (wTotalLength 300), interface with 3 endpoints, three
  // endpoints, then a filler descriptor cut by the end of the buffer.
  std::vector<uint8_t> d = {9,  2,    0x2C, 0x01, 1,  1,    0, 0x80, 50,  //
                            9,  4,    0,    0,    3,  0xFF, 0, 0,    0,   //
                            7,  5,    0x81, 2,    64, 0,    0,            //
                            7,  5,    0x02, 2,    64, 0,    0,            //
                            7,  5,    0x83, 3,    8,  0,    1,            //
                            40, 0xFF, 1,    2,    3};
  const ULONG at_hand = static_cast<ULONG>(d.size());
  PUSB_INTERFACE_DESCRIPTOR found = usbeth::ValidateConfigurationDescriptor(d.data(), at_hand);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(found), d.data() + 9);
  // Clamped to the last whole descriptor within the bytes read.
  EXPECT_EQ(d[2] | d[3] << 8, 9 + 9 + 21);

  // The same chain claiming its own end there refuses the cut descriptor.
  std::vector<uint8_t> lie = d;
  lie[2] = static_cast<uint8_t>(at_hand);
  lie[3] = 0;
  EXPECT_EQ(usbeth::ValidateConfigurationDescriptor(lie.data(), at_hand), nullptr);
  // Fewer endpoint descriptors than announced.
  std::vector<uint8_t> few = d;
  few[13] = 4;
  EXPECT_EQ(usbeth::ValidateConfigurationDescriptor(few.data(), at_hand), nullptr);
  // A header too short to be a configuration.
  EXPECT_EQ(usbeth::ValidateConfigurationDescriptor(d.data(), 5), nullptr);
}

TEST_F(UsbConfigTest, StopAbortsAndResetsBulkOutBeforeBulkIn) {
  DriverRig rig;
  usbeth::Adapter* a = rig.Start();
  USBD_PIPE_HANDLE in = a->InterfaceInfo->Pipes[0].PipeHandle;
  USBD_PIPE_HANDLE out = a->InterfaceInfo->Pipes[1].PipeHandle;
  rig.spy->urbs.clear();
  rig.miniport->halt();
  std::vector<SeenUrb> steps;
  for (const SeenUrb& u : rig.spy->urbs) {
    if (u.function == URB_FUNCTION_ABORT_PIPE || u.function == URB_FUNCTION_RESET_PIPE) {
      steps.push_back(u);
    }
  }
  ASSERT_GE(steps.size(), 4u);
  const USHORT functions[4] = {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_RESET_PIPE,
                               URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_RESET_PIPE};
  const USBD_PIPE_HANDLE pipes[4] = {out, out, in, in};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(steps[i].function, functions[i]);
    EXPECT_EQ(steps[i].length, 24);
    EXPECT_EQ(steps[i].urb().UrbPipeRequest.PipeHandle, pipes[i]);
  }
  // 10 ms after each abort, none after the resets: from one request to the
  // next there is only the 10 ms sleep and the time the request took.
  EXPECT_GE(steps[1].at - steps[0].at, 10 * host::kMillisecond);
  EXPECT_LT(steps[1].at - steps[0].at, 11 * host::kMillisecond);
  EXPECT_LT(steps[2].at - steps[1].at, 1 * host::kMillisecond);
  EXPECT_GE(steps[3].at - steps[2].at, 10 * host::kMillisecond);
  EXPECT_LT(steps[3].at - steps[2].at, 11 * host::kMillisecond);
}

}  // namespace
}  // namespace usbeth_test
