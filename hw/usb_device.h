// The adapter as the USB bus sees it: a device with a default control
// endpoint and bulk/interrupt endpoints driven one packet at a time.
// The model is passive: it never schedules work of its own. Time-dependent
// behaviour (EEPROM and MII done bits, PHY reset, auto-negotiation, the link
// partner's traffic) is evaluated against the clock it is given, whenever the
// bus touches the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace hw {

// Nanoseconds of (virtual or scaled real) time.
using Clock = std::function<uint64_t()>;

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

enum class Handshake {
  Ack,    // packet accepted / data returned
  Nak,    // endpoint not ready: the host retries in a later (micro)frame
  Stall,  // request or endpoint refused (halted until CLEAR_FEATURE/reset)
};

enum class BusSpeed { Full, High };

struct ControlResult {
  Handshake handshake = Handshake::Ack;
  size_t actual = 0;  // bytes of the data stage moved
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // A whole control transfer on endpoint 0. For device-to-host requests the
  // device writes at most setup.wLength bytes to data; for host-to-device
  // requests data holds setup.wLength bytes.
  virtual ControlResult control(const SetupPacket& setup, uint8_t* data) = 0;

  // One OUT data packet (0..max packet bytes) to a bulk endpoint (address
  // without the direction bit). Nak: try again later; Stall: endpoint halted.
  virtual Handshake bulk_out(uint8_t endpoint, const uint8_t* data, size_t len) = 0;

  // One IN packet from a bulk or interrupt endpoint; at most max_packet bytes
  // are written to buf and their count to len. Nak when nothing is ready.
  virtual Handshake bulk_in(uint8_t endpoint, uint8_t* buf, size_t max_packet, size_t& len) = 0;

  // Bus-level resets of one endpoint's state (data toggle, halt, any partial
  // packet stream), as done by the bus driver for RESET_PIPE.
  virtual void reset_endpoint(uint8_t endpoint_address) = 0;

  virtual BusSpeed speed() const = 0;

  // Idle support for a bus that polls pending IN transfers once per
  // (micro)frame: it may skip the frames in which every poll would be NAKed.
  // naks_until() is the earliest time (on the device's clock) at which
  // `endpoint_address`, which has just NAKed, may answer otherwise, provided
  // nobody but the bus calls in before then; UINT64_MAX when only such a call
  // can change the answer. Whoever else changes the device (a partner's
  // frame, a cable, an injected fault, a reset) makes the device call the
  // change hook, outside its own locks, and the bus polls again at its next
  // (micro)frame. The defaults promise nothing: 0 means "poll every frame".
  virtual uint64_t naks_until(uint8_t endpoint_address) {
    (void)endpoint_address;
    return 0;
  }
  virtual void set_change_hook(std::function<void()> hook) { (void)hook; }
};

}  // namespace hw
