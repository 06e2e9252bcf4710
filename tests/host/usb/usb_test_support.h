// Shared pieces of the USB bus tests: a small scriptable device, configuration
// descriptors built byte by byte, and a client that sends URBs the way a
// function driver does and records how each one completed.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "hw/usb_device.h"
#include "sim/kernel.h"
#include "test_support.h"
#include "usb/bus_driver.h"
#include "usb/descriptor_extents.h"
#include "wdk_nt.h"
#include "wdk_usb.h"

namespace usb_test {

using host::Nanoseconds;

// ---- Descriptors ------------------------------------------------------------------

struct Endpoint {
  uint8_t address;
  uint8_t attributes;  // 2 bulk, 3 interrupt
  uint16_t max_packet;
  uint8_t interval = 0;
};

// A configuration descriptor with one interface (number 0) and the endpoints.
inline std::vector<uint8_t> configuration(const std::vector<Endpoint>& endpoints,
                                          uint8_t value = 1) {
  std::vector<uint8_t> d = {9, 2, 0, 0, 1, value, 0, 0x80, 50};
  d.insert(d.end(), {9, 4, 0, 0, static_cast<uint8_t>(endpoints.size()), 0xFF, 0xFF, 0, 0});
  for (const Endpoint& e : endpoints) {
    d.insert(d.end(), {7, 5, e.address, e.attributes, static_cast<uint8_t>(e.max_packet),
                       static_cast<uint8_t>(e.max_packet >> 8), e.interval});
  }
  d[2] = static_cast<uint8_t>(d.size());
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

inline std::vector<Endpoint> adapter_endpoints(uint16_t bulk_max_packet) {
  return {{0x81, 2, bulk_max_packet}, {0x02, 2, bulk_max_packet}, {0x83, 3, 8, 1}};
}

// ---- Device -------------------------------------------------------------------------

// A device on the bus with descriptors, byte registers behind the vendor
// requests 0xF0/0xF1, and bulk endpoints scripted by the test.
class FakeDevice : public hw::UsbDevice {
 public:
  FakeDevice(hw::BusSpeed speed, std::vector<uint8_t> config)
      : speed_(speed), config_(std::move(config)) {}

  hw::ControlResult control(const hw::SetupPacket& s, uint8_t* data) override {
    controls.push_back(s);
    control_times.push_back(now());
    if (control_naks > 0) {
      --control_naks;
      controls.pop_back();
      control_times.pop_back();
      return {hw::Handshake::Nak, 0};
    }
    if (stall_control) return {hw::Handshake::Stall, 0};
    if (s.bmRequestType == 0x80 && s.bRequest == 6) {
      const std::vector<uint8_t>& src = (s.wValue >> 8) == 2 ? config_ : device_descriptor;
      size_t n = std::min<size_t>(src.size(), s.wLength);
      std::memcpy(data, src.data(), n);
      return {hw::Handshake::Ack, n};
    }
    if (s.bmRequestType == 0x00 && s.bRequest == 9) {
      configuration_value = s.wValue;
      return {hw::Handshake::Ack, 0};
    }
    if (s.bmRequestType == 0x80 && s.bRequest == 0) {
      data[0] = 0x02;
      data[1] = 0;
      return {hw::Handshake::Ack, 2};
    }
    if (s.bmRequestType == 0xC0 && s.bRequest == 0xF0) {
      for (size_t i = 0; i < s.wLength; ++i)
        data[i] = registers[s.wIndex + i];
      return {hw::Handshake::Ack, std::min<size_t>(s.wLength, short_read)};
    }
    if (s.bmRequestType == 0x40 && s.bRequest == 0xF1) {
      for (size_t i = 0; i < s.wLength; ++i)
        registers[s.wIndex + i] = data[i];
      return {hw::Handshake::Ack, s.wLength};
    }
    if ((s.bmRequestType & 0x60) == 0) return {hw::Handshake::Ack, 0};  // features
    return {hw::Handshake::Stall, 0};
  }

  hw::Handshake bulk_out(uint8_t endpoint, const uint8_t* data, size_t len) override {
    if (now() < out_ready_at) {
      ++out_naks;
      return hw::Handshake::Nak;
    }
    if (stall_out) return hw::Handshake::Stall;
    out_packets.emplace_back(data, data + len);
    out_endpoints.push_back(endpoint);
    current_.insert(current_.end(), data, data + len);
    if (len < out_max_packet) {
      // A short or zero-length packet ends what the device takes as one transfer.
      out_transfers.push_back(current_);
      current_.clear();
    }
    return hw::Handshake::Ack;
  }

  hw::Handshake bulk_in(uint8_t endpoint, uint8_t* buf, size_t max_packet, size_t& len) override {
    ++in_polls;
    in_poll_times.push_back(now());
    len = 0;
    if (stall_in) return hw::Handshake::Stall;
    if (now() < in_ready_at || in_packets.empty()) return hw::Handshake::Nak;
    std::vector<uint8_t> p = in_packets.front();
    in_packets.pop_front();
    len = std::min(p.size(), max_packet);
    if (len != 0) std::memcpy(buf, p.data(), len);
    return hw::Handshake::Ack;
  }

  void reset_endpoint(uint8_t endpoint_address) override { resets.push_back(endpoint_address); }
  hw::BusSpeed speed() const override { return speed_; }

  // Queues `bytes` as IN packets of at most `max_packet` bytes each, with a
  // zero-length packet after a multiple of it when `zlp` is set.
  void queue_in(const std::vector<uint8_t>& bytes, size_t max_packet, bool zlp = true) {
    size_t at = 0;
    do {
      size_t n = std::min(max_packet, bytes.size() - at);
      in_packets.emplace_back(bytes.begin() + at, bytes.begin() + at + n);
      at += n;
      if (n < max_packet) return;
    } while (at < bytes.size());
    if (zlp) in_packets.emplace_back();
  }

  static Nanoseconds now() { return host::Kernel::get().scheduler().now(); }

  std::vector<uint8_t> device_descriptor = {18,   1,    0x00, 0x02, 0xFF, 0, 0, 64, 0x34,
                                            0x12, 0x78, 0x56, 0x01, 0x00, 0, 0, 0,  1};
  std::vector<hw::SetupPacket> controls;
  std::vector<Nanoseconds> control_times;
  std::map<uint16_t, uint8_t> registers;
  size_t short_read = 0xFFFF;
  int control_naks = 0;
  bool stall_control = false;
  uint16_t configuration_value = 0;

  size_t out_max_packet = 64;
  Nanoseconds out_ready_at = 0;
  int out_naks = 0;
  bool stall_out = false;
  std::vector<std::vector<uint8_t>> out_packets;
  std::vector<uint8_t> out_endpoints;
  std::vector<std::vector<uint8_t>> out_transfers;

  Nanoseconds in_ready_at = 0;
  bool stall_in = false;
  std::deque<std::vector<uint8_t>> in_packets;
  int in_polls = 0;
  std::vector<Nanoseconds> in_poll_times;
  std::vector<uint8_t> resets;

 private:
  hw::BusSpeed speed_;
  std::vector<uint8_t> config_;
  std::vector<uint8_t> current_;
};

// ---- Client -------------------------------------------------------------------------

// How one URB came back.
struct Completion {
  PURB urb = nullptr;
  PIRP irp = nullptr;
  bool done = false;
  bool during_call = false;  // completed before IofCallDriver returned
  bool pending_returned = false;
  NTSTATUS status = 0;
  USBD_STATUS usbd = 0;
  Nanoseconds at = 0;
  KIRQL irql = 0;
  NTSTATUS call_result = 0;
};

// Sends URBs as a function driver does: its own IRP per request with a
// completion routine that records the outcome and frees the IRP.
class Client {
 public:
  explicit Client(PDEVICE_OBJECT lower) : lower_(lower) {}

  NTSTATUS send(PURB urb, Completion* c) {
    *c = Completion{};
    c->urb = urb;
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(lower_->StackSize + 1), FALSE);
    c->irp = irp;
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    s->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, &Client::completed, c, TRUE, TRUE, TRUE);
    in_call_ = c;
    c->call_result = IofCallDriver(lower_, irp);
    in_call_ = nullptr;
    return c->call_result;
  }

 private:
  static NTSTATUS NTAPI completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* c = static_cast<Completion*>(context);
    c->done = true;
    c->during_call = in_call_ == c;
    c->pending_returned = irp->PendingReturned;
    c->status = irp->IoStatus.Status;
    c->usbd = c->urb->UrbHeader.Status;
    c->at = host::Kernel::get().scheduler().now();
    c->irql = KeGetCurrentIrql();
    c->irp = nullptr;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT lower_;
  static inline Completion* in_call_ = nullptr;
};

// ---- URB builders -------------------------------------------------------------------

inline void vendor_urb(URB* u, bool read, uint16_t reg, uint16_t count, void* buffer,
                       uint16_t value = 0) {
  std::memset(u, 0, sizeof(*u));
  u->UrbHeader.Length = 80;
  u->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
  auto& r = u->UrbControlVendorClassRequest;
  r.TransferFlags = read ? USBD_TRANSFER_DIRECTION_IN : 0;
  r.TransferBufferLength = count;
  r.TransferBuffer = buffer;
  r.Request = read ? 0xF0 : 0xF1;
  r.Value = value;
  r.Index = reg;
}

inline void bulk_urb(URB* u, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags) {
  std::memset(u, 0, sizeof(*u));
  u->UrbHeader.Length = 72;
  u->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  auto& r = u->UrbBulkOrInterruptTransfer;
  r.PipeHandle = pipe;
  r.TransferFlags = flags;
  r.TransferBufferLength = length;
  r.TransferBuffer = buffer;
}

inline void pipe_urb(URB* u, uint16_t function, USBD_PIPE_HANDLE pipe) {
  std::memset(u, 0, sizeof(*u));
  u->UrbHeader.Length = 24;
  u->UrbHeader.Function = function;
  u->UrbPipeRequest.PipeHandle = pipe;
}

}  // namespace usb_test
