// A Linux TAP interface: Ethernet frames in and out of the host's network
// stack through /dev/net/tun.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace usbeth::sim {

class Tap {
 public:
  // Attaches to the TAP interface `name`, creating it when it does not exist.
  // Null with a message in *error on failure (no /dev/net/tun, no permission).
  static std::unique_ptr<Tap> open(const std::string& name, std::string* error);
  ~Tap();
  Tap(const Tap&) = delete;
  Tap& operator=(const Tap&) = delete;

  const std::string& name() const { return name_; }
  // Sets the interface's hardware address; false with *error on failure.
  bool set_mac(const std::array<uint8_t, 6>& mac, std::string* error);
  // Waits up to `timeout_ms` for one frame; false when none came (or on error).
  bool read(std::vector<uint8_t>& frame, int timeout_ms);
  // Writes one frame; false when the interface refused it (down, full).
  bool write(const uint8_t* data, size_t len);
  bool write(const std::vector<uint8_t>& frame) { return write(frame.data(), frame.size()); }

 private:
  Tap(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  static constexpr size_t kMaxRead = 65536;  // the largest frame a TAP hands over
  int fd_;
  std::string name_;
  std::vector<uint8_t> rx_buffer_;  // one read's worth, reused
};

}  // namespace usbeth::sim
