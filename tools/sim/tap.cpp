#include "tap.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace usbeth::sim {
namespace {

// The header before every frame of a TAP opened with IFF_VNET_HDR (struct
// virtio_net_hdr, whose C header does not compile as C++), in the host's
// byte order.
struct virtio_net_hdr {
  uint8_t flags;
  uint8_t gso_type;
  uint16_t hdr_len;
  uint16_t gso_size;
  uint16_t csum_start;
  uint16_t csum_offset;
};
static_assert(sizeof(virtio_net_hdr) == 10);

}  // namespace

std::unique_ptr<Tap> Tap::open(const std::string& name, std::string* error, bool offloads) {
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
  ifr.ifr_flags = IFF_TAP | IFF_NO_PI | (offloads ? IFF_VNET_HDR : 0);
  std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
    if (error) *error = name + ": cannot attach the TAP interface: " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  if (offloads) {
    // Without them (an old kernel) the header stays, all zero.
    unsigned features = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6;
    if (ioctl(fd, TUNSETOFFLOAD, features) < 0) ioctl(fd, TUNSETOFFLOAD, 0u);
  }
  return std::unique_ptr<Tap>(new Tap(fd, ifr.ifr_name, offloads));
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

size_t Tap::read_packet(int timeout_ms) {
  // The descriptor does not block: while packets are queued each read takes
  // one at once, and poll() is asked only when the queue is empty, so a busy
  // interface costs one system call per packet rather than two.
  if (rx_buffer_.empty()) rx_buffer_.resize(kMaxRead);
  for (int attempt = 0; attempt < 2; ++attempt) {
    ssize_t n = ::read(fd_, rx_buffer_.data(), rx_buffer_.size());
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0 || (errno != EAGAIN && errno != EINTR) || attempt == 1 || timeout_ms == 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0 || !(p.revents & POLLIN)) break;
  }
  return 0;
}

bool Tap::read(std::vector<uint8_t>& frame, int timeout_ms) {
  if (rx_next_ < rx_frames_.size()) {
    frame.swap(rx_frames_[rx_next_++]);
    return true;
  }
  const size_t n = read_packet(timeout_ms);
  if (n == 0) return false;
  if (!offloads_) {
    frame.assign(rx_buffer_.data(), rx_buffer_.data() + n);
    return true;
  }
  virtio_net_hdr h{};
  if (n < sizeof h) {
    ++unusable_;
    return false;
  }
  std::memcpy(&h, rx_buffer_.data(), sizeof h);
  OffloadHeader header;
  header.flags = h.flags;
  header.gso_type = h.gso_type;
  header.hdr_len = h.hdr_len;
  header.gso_size = h.gso_size;
  header.csum_start = h.csum_start;
  header.csum_offset = h.csum_offset;
  rx_frames_.clear();
  rx_next_ = 0;
  if (!split_offloaded(header, rx_buffer_.data() + sizeof h, n - sizeof h, rx_frames_) ||
      rx_frames_.empty()) {
    ++unusable_;
    return false;
  }
  frame.swap(rx_frames_[rx_next_++]);
  return true;
}

bool Tap::write(const uint8_t* data, size_t len) {
  if (!offloads_) return ::write(fd_, data, len) == static_cast<ssize_t>(len);
  virtio_net_hdr h{};
  iovec parts[2] = {{&h, sizeof h}, {const_cast<uint8_t*>(data), len}};
  return writev(fd_, parts, 2) == static_cast<ssize_t>(sizeof h + len);
}

Tap::Written Tap::write_frames(const std::vector<std::vector<uint8_t>>& frames, size_t count) {
  Written w;
  if (!offloads_) {
    for (size_t i = 0; i < count; ++i) {
      if (write(frames[i])) {
        ++w.frames;
        w.bytes += frames[i].size();
      } else {
        ++w.refused;
      }
    }
    return w;
  }
  const size_t packets = coalesce(frames, count, tx_packets_);
  for (size_t i = 0; i < packets; ++i) {
    const CoalescedPacket& p = tx_packets_[i];
    virtio_net_hdr h{};
    h.flags = p.header.flags;
    h.gso_type = p.header.gso_type;
    h.hdr_len = p.header.hdr_len;
    h.gso_size = p.header.gso_size;
    h.csum_start = p.header.csum_start;
    h.csum_offset = p.header.csum_offset;
    iovec parts[2] = {{&h, sizeof h}, {const_cast<uint8_t*>(p.bytes.data()), p.bytes.size()}};
    if (writev(fd_, parts, 2) == static_cast<ssize_t>(sizeof h + p.bytes.size())) {
      w.frames += p.frames;
      w.bytes += p.frame_bytes;
    } else {
      w.refused += p.frames;
    }
  }
  return w;
}

TapWriter::TapWriter(Tap& tap) : tap_(tap), thread_([this] { run(); }) {}

TapWriter::~TapWriter() {
  stop();
}

void TapWriter::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void TapWriter::add(std::vector<uint8_t>& frame) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (count_ == 0 && !writing_ && !carries_tcp_data(frame.data(), frame.size())) {
    // Nothing ahead of it, nothing to join it to: no reason to wait.
    if (tap_.write(frame)) {
      ++written_.frames;
      written_.bytes += frame.size();
    } else {
      ++written_.refused;
    }
    return;
  }
  if (count_ == waiting_.size()) waiting_.emplace_back();
  waiting_[count_++].swap(frame);
  if (count_ == 1) wake_.notify_one();
}

Tap::Written TapWriter::written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

void TapWriter::run() {
  std::vector<std::vector<uint8_t>> batch;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return count_ != 0 || stop_; });
    if (count_ == 0) return;  // stopping, and nothing is left
    batch.swap(waiting_);
    const size_t n = count_;
    count_ = 0;
    writing_ = true;
    lock.unlock();
    const Tap::Written w = tap_.write_frames(batch, n);
    lock.lock();
    writing_ = false;
    written_.frames += w.frames;
    written_.bytes += w.bytes;
    written_.refused += w.refused;
    // The batch's vectors are kept for the frames to come.
    if (waiting_.size() < batch.size()) {
      for (size_t i = 0; i < count_; ++i)
        batch[i].swap(waiting_[i]);
      batch.swap(waiting_);
    }
  }
}

}  // namespace usbeth::sim
