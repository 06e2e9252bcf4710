// The USBD parsing and request-building routines against honest and lying
// configuration descriptors. Every buffer is recorded with its real size, so
// ASan and the bounds in the routines both watch for reads past it.
#include <vector>

#include "usb/urb_layout.h"
#include "usb_test_support.h"

namespace {

using host::usb::ScopedDescriptorBytes;
using usb_test::configuration;

class UsbdLibraryTest : public host_test::KernelTest {
 protected:
  // Copies `bytes` into an exactly sized heap buffer the routines know about.
  PUSB_CONFIGURATION_DESCRIPTOR load(const std::vector<uint8_t>& bytes) {
    buffer_.reset(new uint8_t[bytes.size()]);
    std::memcpy(buffer_.get(), bytes.data(), bytes.size());
    scope_ = std::make_unique<ScopedDescriptorBytes>(buffer_.get(), bytes.size());
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer_.get());
  }
  PUSB_INTERFACE_DESCRIPTOR first_interface(PUSB_CONFIGURATION_DESCRIPTOR cd) {
    return USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1);
  }
  PURB create(PUSB_CONFIGURATION_DESCRIPTOR cd, PUSB_INTERFACE_DESCRIPTOR d) {
    list_[0] = {d, nullptr};
    list_[1] = {nullptr, nullptr};
    return USBD_CreateConfigurationRequestEx(cd, list_);
  }

  std::unique_ptr<uint8_t[]> buffer_;
  std::unique_ptr<ScopedDescriptorBytes> scope_;
  USBD_INTERFACE_LIST_ENTRY list_[2];
};

TEST_F(UsbdLibraryTest, BuildsTheRequestForThreePipes) {
  auto cd = load(configuration(usb_test::adapter_endpoints(64)));
  PUSB_INTERFACE_DESCRIPTOR d = first_interface(cd);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(d) - buffer_.get(), 9);
  PURB urb = create(cd, d);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, 100);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
  PUSBD_INTERFACE_INFORMATION info = list_[0].Interface;
  ASSERT_EQ(info, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(info->NumberOfPipes, 3u);
  EXPECT_EQ(info->Length, host::usb::host_interface_length(3));
  EXPECT_EQ(info->Class, 0xFF);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(info->Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(info->Pipes[i].PipeFlags, 0u);
  }
  ExFreePool(urb);  // pool memory; the kernel's leak check confirms the release
}

TEST_F(UsbdLibraryTest, MatchesOnTheGivenCriteria) {
  auto bytes = configuration(usb_test::adapter_endpoints(64));
  bytes.insert(bytes.end(), {9, 4, 1, 0, 0, 0x08, 0x06, 0x50, 0});
  bytes[2] = static_cast<uint8_t>(bytes.size());
  auto cd = load(bytes);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 0x08, -1, -1)->bInterfaceNumber, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 0, -1, 6, 0x50)->bInterfaceNumber, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 2, -1, -1, -1, -1), nullptr);
  // A start position inside the first interface finds the second.
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, buffer_.get() + 10, -1, -1, -1, -1, -1)
                ->bInterfaceNumber,
            1);
  EXPECT_EQ(
      USBD_ParseConfigurationDescriptorEx(cd, buffer_.get() + bytes.size() + 4, -1, -1, -1, -1, -1),
      nullptr);
}

TEST_F(UsbdLibraryTest, ZeroLengthDescriptorEndsTheParse) {
  auto bytes = configuration(usb_test::adapter_endpoints(64));
  bytes[9 + 9 + 7] = 0;  // the second endpoint has bLength 0
  auto cd = load(bytes);
  PUSB_INTERFACE_DESCRIPTOR d = first_interface(cd);
  ASSERT_NE(d, nullptr);              // found before the broken descriptor
  EXPECT_EQ(create(cd, d), nullptr);  // its endpoints cannot be counted
  bytes[9] = 0;                       // now the interface itself
  cd = load(bytes);
  EXPECT_EQ(first_interface(cd), nullptr);
}

TEST_F(UsbdLibraryTest, DescriptorRunningPastTheEndIsAnError) {
  auto bytes = configuration(usb_test::adapter_endpoints(64));
  bytes[9 + 9 + 14] = 40;  // the last endpoint claims 40 bytes; 7 remain
  auto cd = load(bytes);
  EXPECT_EQ(create(cd, first_interface(cd)), nullptr);
}

TEST_F(UsbdLibraryTest, TooShortInterfaceOrEndpointIsAnError) {
  auto bytes = configuration(usb_test::adapter_endpoints(64));
  bytes[9] = 4;  // an interface descriptor of 4 bytes
  EXPECT_EQ(first_interface(load(bytes)), nullptr);
  bytes = configuration(usb_test::adapter_endpoints(64));
  bytes[9 + 9] = 3;  // an endpoint of 3 bytes, the rest shifted
  auto cd = load(bytes);
  EXPECT_EQ(create(cd, first_interface(cd)), nullptr);
}

TEST_F(UsbdLibraryTest, TotalLengthBeyondTheBufferIsClamped) {
  // wTotalLength claims 0xFFFF; only 255 bytes are there. An interface that
  // would lie beyond them is not found, and nothing past 255 is read.
  auto bytes = configuration(usb_test::adapter_endpoints(64));
  while (bytes.size() + 5 <= 255)
    bytes.insert(bytes.end(), {5, 0x24, 0, 0, 0});
  bytes.resize(255, 0);
  bytes[2] = 0xFF;
  bytes[3] = 0xFF;
  auto cd = load(bytes);
  EXPECT_NE(first_interface(cd), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(cd, 0xFFFF, cd, USB_STRING_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(UsbdLibraryTest, BadConfigurationHeaderIsRefused) {
  auto bytes = configuration(usb_test::adapter_endpoints(64));
  bytes[0] = 4;
  EXPECT_EQ(first_interface(load(bytes)), nullptr);
  bytes = configuration(usb_test::adapter_endpoints(64));
  bytes[1] = USB_DEVICE_DESCRIPTOR_TYPE;
  EXPECT_EQ(first_interface(load(bytes)), nullptr);
  bytes = configuration(usb_test::adapter_endpoints(64));
  bytes[2] = 5;  // wTotalLength shorter than the header
  bytes[3] = 0;
  EXPECT_EQ(first_interface(load(bytes)), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdLibraryTest, EndpointCountMustMatchBNumEndpoints) {
  auto bytes = configuration(usb_test::adapter_endpoints(64));
  bytes[9 + 4] = 4;  // claims four endpoints, three follow
  auto cd = load(bytes);
  EXPECT_EQ(create(cd, first_interface(cd)), nullptr);
  bytes[9 + 4] = 2;  // claims two, three follow
  cd = load(bytes);
  EXPECT_EQ(create(cd, first_interface(cd)), nullptr);
}

TEST_F(UsbdLibraryTest, InterfacePointerOffTheChainIsRefused) {
  auto cd = load(configuration(usb_test::adapter_endpoints(64)));
  auto* off = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(buffer_.get() + 10);
  EXPECT_EQ(create(cd, off), nullptr);
}

TEST_F(UsbdLibraryTest, BuildsOneEntryPerListedInterface) {
  auto bytes = configuration(usb_test::adapter_endpoints(64));
  bytes.insert(bytes.end(), {9, 4, 1, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x84, 2, 64, 0, 0});
  bytes[2] = static_cast<uint8_t>(bytes.size());
  bytes[4] = 2;
  auto cd = load(bytes);
  USBD_INTERFACE_LIST_ENTRY list[3] = {
      {USBD_ParseConfigurationDescriptorEx(cd, cd, 0, -1, -1, -1, -1), nullptr},
      {USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, 24 + 76 + 36);
  EXPECT_EQ(
      reinterpret_cast<uint8_t*>(list[1].Interface) - reinterpret_cast<uint8_t*>(list[0].Interface),
      static_cast<ptrdiff_t>(list[0].Interface->Length));
  EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
  ExFreePool(urb);
}

TEST_F(UsbdLibraryTest, PoolFailureGivesNull) {
  auto cd = load(configuration(usb_test::adapter_endpoints(64)));
  PUSB_INTERFACE_DESCRIPTOR d = first_interface(cd);
  host::faults().fail_nth(host::FaultSite::PoolAllocation, 1);
  EXPECT_EQ(create(cd, d), nullptr);
  host::faults().reset();
}

}  // namespace
