// A Linux TAP interface: Ethernet frames in and out of the host's network
// stack through /dev/net/tun.
//
// With offloads, the interface carries the virtio-net header and tells the
// stack it takes packets with their checksums left to it and TCP packets of
// up to 64 KiB to cut into segments (TUNSETOFFLOAD): the stack then hands
// over a burst of a TCP stream in one read, and read() cuts it up and fills
// in the checksums, so its callers still see frames of at most one MTU.
// write_frames() joins consecutive segments of a stream back into one packet
// (see tap_offload.h). This spares the stack most of its per-frame work,
// which is where a busy bridge spends its time.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tap_offload.h"

namespace usbeth::sim {

class Tap {
 public:
  // Attaches to the TAP interface `name`, creating it when it does not exist.
  // Null with a message in *error on failure (no /dev/net/tun, no permission).
  static std::unique_ptr<Tap> open(const std::string& name, std::string* error,
                                   bool offloads = false);
  ~Tap();
  Tap(const Tap&) = delete;
  Tap& operator=(const Tap&) = delete;

  const std::string& name() const { return name_; }
  // Sets the interface's hardware address; false with *error on failure.
  bool set_mac(const std::array<uint8_t, 6>& mac, std::string* error);
  // Waits up to `timeout_ms` for one frame; false when none came (or on
  // error). With a timeout of 0 it only takes what is there.
  bool read(std::vector<uint8_t>& frame, int timeout_ms);
  // Writes one frame; false when the interface refused it (down, full).
  bool write(const uint8_t* data, size_t len);
  bool write(const std::vector<uint8_t>& frame) { return write(frame.data(), frame.size()); }

  // Writes frames[0..count) in order, joining segments of a TCP stream when
  // the interface has offloads.
  struct Written {
    uint64_t frames = 0, bytes = 0, refused = 0;
  };
  Written write_frames(const std::vector<std::vector<uint8_t>>& frames, size_t count);

  // Packets the stack handed over that could not be made into frames (an
  // offload that was not offered, a malformed header).
  uint64_t unusable() const { return unusable_; }

 private:
  Tap(int fd, std::string name, bool offloads)
      : fd_(fd), name_(std::move(name)), offloads_(offloads) {}
  // One read: a frame, or with offloads a header and up to 64 KiB.
  static constexpr size_t kMaxRead = 65536 + 64;
  // Reads one packet into rx_buffer_ (waiting up to `timeout_ms` for one):
  // its length, 0 when none came.
  size_t read_packet(int timeout_ms);

  int fd_;
  std::string name_;
  bool offloads_;
  std::vector<uint8_t> rx_buffer_;               // one read's worth, reused
  std::vector<std::vector<uint8_t>> rx_frames_;  // cut from the last read
  size_t rx_next_ = 0;                           // the next of them to hand out
  std::vector<CoalescedPacket> tx_packets_;      // reused by write_frames
  uint64_t unusable_ = 0;
};

// Writes frames handed over one at a time, from any thread, to a TAP: TCP
// segments with data go through a thread of its own, which takes all that
// have gathered while it wrote the last ones and writes them with
// write_frames(), so that a stream's segments leave joined; any other frame
// is written at once when nothing is waiting. Frames leave in the order
// they came.
class TapWriter {
 public:
  TapWriter(Tap& tap);
  ~TapWriter();  // stop()s
  TapWriter(const TapWriter&) = delete;
  TapWriter& operator=(const TapWriter&) = delete;

  // Takes the frame (the vector is swapped with one of the writer's).
  void add(std::vector<uint8_t>& frame);
  // Writes what is still waiting and ends the thread; no frame may come
  // after.
  void stop();
  // Frames written, their bytes, frames the interface refused.
  Tap::Written written() const;

 private:
  void run();

  Tap& tap_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::vector<uint8_t>> waiting_;  // [0, count_) waiting
  size_t count_ = 0;
  bool writing_ = false;  // the thread is writing a batch
  bool stop_ = false;
  Tap::Written written_;
  std::thread thread_;
};

}  // namespace usbeth::sim
