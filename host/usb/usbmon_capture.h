// A Linux usbmon capture (pcap link type 220, DLT_USB_LINUX_MMAPPED): one
// record per URB submission ('S') and completion ('C'), each a 64-byte usbmon
// header followed by the data that crossed the bus with it (OUT data on
// submission, IN data on completion). Wireshark and tshark decode it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct pcap;
struct pcap_dumper;

namespace host::usb {

// usbmon transfer types.
constexpr uint8_t kUsbmonIsochronous = 0;
constexpr uint8_t kUsbmonInterrupt = 1;
constexpr uint8_t kUsbmonControl = 2;
constexpr uint8_t kUsbmonBulk = 3;

// usbmon transfer flags (the Linux URB flags).
constexpr uint32_t kUsbmonShortNotOk = 0x0001;
constexpr uint32_t kUsbmonZeroPacket = 0x0040;
constexpr uint32_t kUsbmonDirIn = 0x0200;

struct UsbmonRecord {
  uint64_t id = 0;  // the URB's identity, same in 'S' and 'C'
  char type = 'S';  // 'S' submission, 'C' completion, 'E' error
  uint8_t xfer_type = kUsbmonControl;
  uint8_t endpoint = 0;  // with the direction bit 0x80 for IN
  uint8_t device = 0;
  uint16_t bus = 0;
  bool has_setup = false;  // control submissions carry the setup packet
  uint8_t setup[8] = {};
  int32_t status = 0;   // -EINPROGRESS on submission, 0 or -errno on completion
  uint32_t length = 0;  // requested (submission) or actual (completion) bytes
  int32_t interval = 0;
  int32_t start_frame = 0;
  uint32_t xfer_flags = 0;
};

class UsbmonCapture {
 public:
  // Opens `path` for writing; null with a message in *error on failure.
  static std::unique_ptr<UsbmonCapture> open(const std::string& path, std::string* error);
  ~UsbmonCapture();

  // Writes one record stamped with `time_ns` (virtual clock) and `data_len`
  // bytes of data (none when data is null).
  void write(const UsbmonRecord& record, const uint8_t* data, uint32_t data_len, uint64_t time_ns);
  uint64_t records() const { return records_; }

 private:
  UsbmonCapture(pcap* handle, pcap_dumper* dumper) : handle_(handle), dumper_(dumper) {}
  std::mutex mutex_;
  pcap* handle_;
  pcap_dumper* dumper_;
  uint64_t records_ = 0;
};

// Linux errno values usbmon reports as negative statuses.
constexpr int32_t kUsbmonInProgress = -115;  // -EINPROGRESS
constexpr int32_t kUsbmonUnlinked = -2;      // -ENOENT: cancelled or aborted
constexpr int32_t kUsbmonStall = -32;        // -EPIPE
constexpr int32_t kUsbmonNoDevice = -19;     // -ENODEV
constexpr int32_t kUsbmonShort = -121;       // -EREMOTEIO
constexpr int32_t kUsbmonOverflow = -75;     // -EOVERFLOW
constexpr int32_t kUsbmonInvalid = -22;      // -EINVAL
constexpr int32_t kUsbmonProtocol = -71;     // -EPROTO
constexpr int32_t kUsbmonTimeout = -110;     // -ETIMEDOUT

}  // namespace host::usb
