#include "tap.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace usbeth::sim {

std::unique_ptr<Tap> Tap::open(const std::string& name, std::string* error) {
  if (name.empty() || name.size() >= IFNAMSIZ) {
    if (error) *error = "'" + name + "' is not a usable interface name";
    return nullptr;
  }
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (error) *error = std::string("/dev/net/tun: ") + std::strerror(errno);
    return nullptr;
  }
  ifreq ifr{};
  ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
    if (error) *error = name + ": cannot attach the TAP interface: " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<Tap>(new Tap(fd, ifr.ifr_name));
}

Tap::~Tap() {
  ::close(fd_);
}

bool Tap::set_mac(const std::array<uint8_t, 6>& mac, std::string* error) {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, name_.c_str(), IFNAMSIZ - 1);
  ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
  std::memcpy(ifr.ifr_hwaddr.sa_data, mac.data(), 6);
  bool ok = ioctl(sock, SIOCSIFHWADDR, &ifr) == 0;
  if (!ok && error) *error = name_ + ": cannot set the hardware address: " + std::strerror(errno);
  ::close(sock);
  return ok;
}

bool Tap::read(std::vector<uint8_t>& frame, int timeout_ms) {
  // The descriptor does not block: while frames are queued each read takes
  // one at once, and poll() is asked only when the queue is empty, so a busy
  // interface costs one system call per frame rather than two.
  if (rx_buffer_.empty()) rx_buffer_.resize(kMaxRead);
  for (int attempt = 0; attempt < 2; ++attempt) {
    ssize_t n = ::read(fd_, rx_buffer_.data(), rx_buffer_.size());
    if (n > 0) {
      frame.assign(rx_buffer_.data(), rx_buffer_.data() + n);
      return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR) || attempt == 1) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0 || !(p.revents & POLLIN)) return false;
  }
  return false;
}

bool Tap::write(const uint8_t* data, size_t len) {
  return ::write(fd_, data, len) == static_cast<ssize_t>(len);
}

}  // namespace usbeth::sim
