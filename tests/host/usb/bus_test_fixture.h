// The fixture of the bus driver tests: one kernel, one fake device, one bus.
#pragma once

#include <memory>
#include <vector>

#include "usb/urb_layout.h"
#include "usb_test_support.h"

namespace usb_test {

class BusTest : public host_test::KernelTest {
 protected:
  void TearDown() override {
    bus_.reset();
    device_.reset();
    KernelTest::TearDown();
  }

  // Deferred completion unless a test asks otherwise, so timing is exact.
  static host::usb::BusOptions deferred() {
    host::usb::BusOptions o;
    o.completion = host::usb::CompletionMode::Deferred;
    return o;
  }

  void start(hw::BusSpeed speed, host::usb::BusOptions options = deferred(),
             std::vector<Endpoint> endpoints = {}) {
    if (endpoints.empty()) endpoints = adapter_endpoints(speed == hw::BusSpeed::High ? 512 : 64);
    max_packet_ = endpoints[0].max_packet;
    device_ = std::make_unique<FakeDevice>(speed, configuration(endpoints));
    device_->out_max_packet = endpoints.size() > 1 ? endpoints[1].max_packet : 64;
    bus_ = std::make_unique<host::usb::BusDriver>(*device_, options);
    client_ = std::make_unique<Client>(bus_->device_object());
  }

  // The bus over a device the test owns (a board) instead of the fake one.
  void start_on(hw::UsbDevice& device, host::usb::BusOptions options = deferred()) {
    bus_ = std::make_unique<host::usb::BusDriver>(device, options);
    client_ = std::make_unique<Client>(bus_->device_object());
  }

  // Runs the bus until `c` has completed (or `limit` of virtual time passed).
  bool wait(const Completion& c, Nanoseconds limit = host::kSecond) {
    return scheduler().block_until([&] { return c.done; }, scheduler().now() + limit);
  }

  // Reads the configuration descriptor into a 255-byte buffer as the driver does.
  void read_configuration() {
    URB u;
    std::memset(&u, 0, sizeof u);
    UsbBuildGetDescriptorRequest(&u, 80, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config_buffer_,
                                 nullptr, sizeof config_buffer_, nullptr);
    Completion c;
    client_->send(&u, &c);
    ASSERT_TRUE(wait(c));
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    config_length_ = u.UrbControlDescriptorRequest.TransferBufferLength;
  }

  // Builds the select-configuration request for the first interface.
  PURB build_select() {
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_buffer_);
    list_[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1);
    list_[0].Interface = nullptr;
    list_[1] = {};
    if (list_[0].InterfaceDescriptor == nullptr) return nullptr;
    return USBD_CreateConfigurationRequestEx(cd, list_);
  }

  // The whole configuration sequence; keeps a copy of the pipes.
  void configure() {
    read_configuration();
    PURB select = build_select();
    ASSERT_NE(select, nullptr);
    Completion c;
    client_->send(select, &c);
    ASSERT_TRUE(wait(c));
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    PUSBD_INTERFACE_INFORMATION info = list_[0].Interface;
    pipes_.assign(info->Pipes, info->Pipes + info->NumberOfPipes);
    ExFreePool(select);
  }

  // Sends a bulk transfer on pipe `index`.
  NTSTATUS bulk(size_t index, void* buffer, ULONG length, ULONG flags, URB* u, Completion* c) {
    bulk_urb(u, pipes_.at(index).PipeHandle, buffer, length, flags);
    return client_->send(u, c);
  }

  std::unique_ptr<FakeDevice> device_;
  std::unique_ptr<host::usb::BusDriver> bus_;
  std::unique_ptr<Client> client_;
  uint16_t max_packet_ = 64;
  UCHAR config_buffer_[255] = {};
  ULONG config_length_ = 0;
  USBD_INTERFACE_LIST_ENTRY list_[2] = {};
  std::vector<USBD_PIPE_INFORMATION> pipes_;
};

}  // namespace usb_test
