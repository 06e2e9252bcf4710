// The adapter as the USB bus sees it: a device with a default control
// endpoint and bulk/interrupt endpoints driven one packet at a time.
// The model is passive: it never schedules work of its own. Time-dependent
// behaviour (EEPROM and MII done bits, PHY reset, auto-negotiation, the link
// partner's traffic) is evaluated against the clock it is given, whenever the
// bus touches the device.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// What the packets of one bulk transfer moved in one call (bulk_out_packets,
// bulk_in_packets).
struct BulkPackets {
  Handshake handshake = Handshake::Ack;  // of the last packet tried
  unsigned packets = 0;                  // packets ACKed
  size_t bytes = 0;                      // bytes of those packets the buffer took
  bool ended = false;    // a short packet, or the last byte of the buffer, ended the transfer
  bool overrun = false;  // IN: the last packet brought more than the buffer had room for
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

  // The packets of one bulk transfer, moved as the host controller moves
  // them, in one call: at most `max_packets` packets of `mps` bytes or less,
  // up to the first that is not ACKed or that ends the transfer.
  // OUT: packets of min(mps, what is left) bytes from data[0..len); a short
  // or zero-length packet, or the last byte sent, ends the transfer (no
  // zero-length packet follows a full one). IN: packets into buf[0..room);
  // a short packet, or a full buffer, ends it; a packet larger than the
  // room left is an overrun (babble) and ends it too, with what fitted.
  // The defaults call bulk_out / bulk_in packet by packet; a device that
  // locks per call overrides them to lock once per transfer.
  virtual BulkPackets bulk_out_packets(uint8_t endpoint, const uint8_t* data, size_t len,
                                       size_t mps, unsigned max_packets) {
    return OutPackets(data, len, mps, max_packets,
                      [&](const uint8_t* p, size_t n) { return bulk_out(endpoint, p, n); });
  }
  virtual BulkPackets bulk_in_packets(uint8_t endpoint, uint8_t* buf, size_t room, size_t mps,
                                      unsigned max_packets) {
    return InPackets(buf, room, mps, max_packets,
                     [&](uint8_t* p, size_t m, size_t& n) { return bulk_in(endpoint, p, m, n); });
  }

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

 protected:
  // The packet loops of bulk_out_packets / bulk_in_packets, over a call that
  // moves one packet (with bulk_out's / bulk_in's signature, less the endpoint).
  template <typename OnePacket>
  static BulkPackets OutPackets(const uint8_t* data, size_t len, size_t mps, unsigned max_packets,
                                OnePacket&& one) {
    BulkPackets r;
    while (r.packets < max_packets) {
      const size_t size = std::min(mps, len - r.bytes);
      r.handshake = one(size != 0 ? data + r.bytes : nullptr, size);
      if (r.handshake != Handshake::Ack) return r;
      ++r.packets;
      r.bytes += size;
      if (size < mps || r.bytes == len) {
        r.ended = true;
        return r;
      }
    }
    return r;
  }
  template <typename OnePacket>
  static BulkPackets InPackets(uint8_t* buf, size_t room, size_t mps, unsigned max_packets,
                               OnePacket&& one) {
    BulkPackets r;
    std::vector<uint8_t> bounce;  // for a packet that may not fit what is left
    while (r.packets < max_packets) {
      const size_t left = room - r.bytes;
      size_t got = 0;
      uint8_t* into = buf + r.bytes;
      if (left < mps || buf == nullptr) {
        bounce.resize(mps);
        into = bounce.data();
      }
      r.handshake = one(into, mps, got);
      if (r.handshake != Handshake::Ack) return r;
      ++r.packets;
      got = std::min(got, mps);
      const size_t take = std::min(got, left);
      if (into != buf + r.bytes && take != 0) std::memcpy(buf + r.bytes, into, take);
      r.bytes += take;
      if (got > left) {
        r.overrun = r.ended = true;
        return r;
      }
      if (got < mps || r.bytes == room) {
        r.ended = true;
        return r;
      }
    }
    return r;
  }
};

}  // namespace hw
