// Select configuration through the bus: what the bus fills in, what it checks
// in the request against the configuration descriptor, and the lengths.
#include "bus_test_fixture.h"

namespace {

using host::usb::BadUrbAction;
using host::usb::BusOptions;
using usb_test::BusTest;
using usb_test::Completion;

class SelectConfigurationTest : public BusTest {};

TEST_F(SelectConfigurationTest, FillsHandlesAndPipesFromTheDescriptor) {
  start(hw::BusSpeed::Full);
  read_configuration();
  PURB select = build_select();
  ASSERT_NE(select, nullptr);
  EXPECT_EQ(select->UrbHeader.Length, 100);  // x86 size for three pipes
  PUSBD_INTERFACE_INFORMATION info = list_[0].Interface;
  ASSERT_EQ(info->NumberOfPipes, 3u);
  info->Pipes[0].MaximumTransferSize = 1536;
  info->Pipes[1].MaximumTransferSize = 1536;

  Completion c;
  EXPECT_EQ(client_->send(select, &c), STATUS_PENDING);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.usbd, USBD_STATUS_SUCCESS);
  EXPECT_EQ(device_->configuration_value, 1);  // SET_CONFIGURATION reached the device
  EXPECT_NE(select->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  EXPECT_NE(info->InterfaceHandle, nullptr);
  EXPECT_EQ(info->Class, 0xFF);

  const USBD_PIPE_INFORMATION* p = info->Pipes;
  EXPECT_EQ(p[0].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(p[0].EndpointAddress, 0x81);
  EXPECT_EQ(p[0].MaximumPacketSize, 64);
  EXPECT_EQ(p[1].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(p[1].EndpointAddress, 0x02);
  EXPECT_EQ(p[2].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(p[2].EndpointAddress, 0x83);
  EXPECT_EQ(p[2].Interval, 1);
  EXPECT_EQ(p[2].MaximumPacketSize, 8);
  EXPECT_EQ(p[0].MaximumTransferSize, 1536u);
  EXPECT_EQ(p[2].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  EXPECT_NE(p[0].PipeHandle, nullptr);
  EXPECT_NE(p[0].PipeHandle, p[1].PipeHandle);
  EXPECT_NE(p[1].PipeHandle, p[2].PipeHandle);

  // The requested maximum transfer size is enforced.
  pipes_.assign(p, p + 3);
  ExFreePool(select);
  std::vector<uint8_t> big(1537);
  URB u;
  Completion t;
  EXPECT_EQ(bulk(1, big.data(), 1537, 0, &u, &t), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(t.usbd, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(device_->out_packets.empty());
}

TEST_F(SelectConfigurationTest, HighSpeedPipesReport512BytePackets) {
  start(hw::BusSpeed::High);
  configure();
  EXPECT_EQ(pipes_[0].MaximumPacketSize, 512);
  EXPECT_EQ(pipes_[1].MaximumPacketSize, 512);
}

TEST_F(SelectConfigurationTest, PipesFollowTheDescriptorOrder) {
  // Out before in: the bus reports them in descriptor order.
  start(hw::BusSpeed::Full, deferred(), {{0x02, 2, 64}, {0x81, 2, 64}, {0x83, 3, 8, 1}});
  configure();
  EXPECT_EQ(pipes_[0].EndpointAddress, 0x02);
  EXPECT_EQ(pipes_[1].EndpointAddress, 0x81);
}

TEST_F(SelectConfigurationTest, WrongHeaderLengthIsABugCheck) {
  start(hw::BusSpeed::Full);
  read_configuration();
  PURB select = build_select();
  select->UrbHeader.Length = 96;  // the driver must say 100 for three pipes
  Completion c;
  EXPECT_BUG_CHECK(client_->send(select, &c), "USB_BAD_URB_LENGTH");
  allow_leaks();
}

TEST_F(SelectConfigurationTest, WrongHeaderLengthFailsTheRequestWhenAskedTo) {
  BusOptions o = deferred();
  o.bad_urb = BadUrbAction::Fail;
  start(hw::BusSpeed::Full, o);
  read_configuration();
  PURB select = build_select();
  select->UrbHeader.Length = 120;
  Completion c;
  EXPECT_EQ(client_->send(select, &c), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(c.done);
  EXPECT_FALSE(c.pending_returned);
  EXPECT_EQ(c.usbd, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device_->configuration_value, 0);
  ExFreePool(select);
}

TEST_F(SelectConfigurationTest, InterfaceLengthMustMatchItsPipes) {
  BusOptions o = deferred();
  o.bad_urb = BadUrbAction::Fail;
  start(hw::BusSpeed::Full, o);
  read_configuration();
  PURB select = build_select();
  list_[0].Interface->Length = 76;  // the x86 size, not this host's
  Completion c;
  EXPECT_EQ(client_->send(select, &c), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.usbd, USBD_STATUS_INVALID_PARAMETER);
  ExFreePool(select);
}

TEST_F(SelectConfigurationTest, PipeCountDisagreeingWithTheDescriptorIsRefused) {
  // Consistent lengths for two pipes, but the interface has three endpoints:
  // refused with an error, not a bug check (the descriptor is the device's).
  start(hw::BusSpeed::Full);
  read_configuration();
  PURB select = build_select();
  PUSBD_INTERFACE_INFORMATION info = list_[0].Interface;
  info->NumberOfPipes = 2;
  info->Length = static_cast<USHORT>(host::usb::host_interface_length(2));
  select->UrbHeader.Length = 80;
  Completion c;
  EXPECT_EQ(client_->send(select, &c), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.usbd, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device_->configuration_value, 0);
  ExFreePool(select);
}

TEST_F(SelectConfigurationTest, UnknownInterfaceIsRefused) {
  start(hw::BusSpeed::Full);
  read_configuration();
  PURB select = build_select();
  list_[0].Interface->InterfaceNumber = 5;
  Completion c;
  EXPECT_EQ(client_->send(select, &c), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.usbd, USBD_STATUS_INTERFACE_NOT_FOUND);
  ExFreePool(select);
}

TEST_F(SelectConfigurationTest, ReconfigurationEndsTransfersOnTheOldPipes) {
  start(hw::BusSpeed::Full);
  configure();
  std::vector<uint8_t> buf(64);
  URB u;
  Completion in;
  bulk(0, buf.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, &u, &in);
  auto old = pipes_;
  configure();
  EXPECT_TRUE(in.done);
  EXPECT_EQ(in.status, STATUS_CANCELLED);
  // The old handle is gone.
  URB u2;
  Completion c;
  usb_test::bulk_urb(&u2, old[1].PipeHandle, buf.data(), 10, 0);
  EXPECT_EQ(client_->send(&u2, &c), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(SelectConfigurationTest, ConfigurationReadShorterThanClaimedCannotBeParsedPastItsEnd) {
  // The device claims 300 bytes; the driver's 255-byte read holds its first
  // 255. A second interface placed beyond is not found, and the
  // interface's endpoints cut off at 255 make the request fail, not overrun.
  auto cfg = usb_test::configuration(usb_test::adapter_endpoints(64));
  while (cfg.size() < 250)
    cfg.insert(cfg.end(), {5, 0x24, 0, 0, 0});  // class-specific padding
  cfg.insert(cfg.end(), {9, 4, 1, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x84, 2, 64, 0, 0});
  cfg[2] = static_cast<uint8_t>(cfg.size());
  cfg[3] = static_cast<uint8_t>(cfg.size() >> 8);
  device_ = std::make_unique<usb_test::FakeDevice>(hw::BusSpeed::Full, cfg);
  bus_ = std::make_unique<host::usb::BusDriver>(*device_, deferred());
  client_ = std::make_unique<usb_test::Client>(bus_->device_object());
  read_configuration();
  EXPECT_EQ(config_length_, 255u);
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_buffer_);
  EXPECT_GT(cd->wTotalLength, 255);
  EXPECT_NE(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, -1, -1, -1), nullptr);
}

}  // namespace
