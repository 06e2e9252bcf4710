#include "usbmon_capture.h"

#include <pcap/pcap.h>

#include <cstring>
#include <vector>

namespace host::usb {
namespace {

constexpr int kLinkTypeUsbLinuxMmapped = 220;
constexpr size_t kHeaderSize = 64;

template <typename T>
void put(uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof(T));  // usbmon headers are in host byte order
}

}  // namespace

std::unique_ptr<UsbmonCapture> UsbmonCapture::open(const std::string& path, std::string* error) {
  pcap_t* handle = pcap_open_dead(kLinkTypeUsbLinuxMmapped, 65535);
  if (handle == nullptr) {
    if (error) *error = "pcap_open_dead failed";
    return nullptr;
  }
  pcap_dumper_t* dumper = pcap_dump_open(handle, path.c_str());
  if (dumper == nullptr) {
    if (error) *error = std::string("cannot open capture: ") + pcap_geterr(handle);
    pcap_close(handle);
    return nullptr;
  }
  return std::unique_ptr<UsbmonCapture>(new UsbmonCapture(handle, dumper));
}

UsbmonCapture::~UsbmonCapture() {
  pcap_dump_close(dumper_);
  pcap_close(handle_);
}

void UsbmonCapture::write(const UsbmonRecord& r, const uint8_t* data, uint32_t data_len,
                          uint64_t time_ns) {
  if (data == nullptr) data_len = 0;
  std::vector<uint8_t> packet(kHeaderSize + data_len, 0);
  uint8_t* h = packet.data();
  int64_t sec = static_cast<int64_t>(time_ns / 1000000000ull);
  int32_t usec = static_cast<int32_t>((time_ns % 1000000000ull) / 1000ull);
  put<uint64_t>(h + 0, r.id);
  h[8] = static_cast<uint8_t>(r.type);
  h[9] = r.xfer_type;
  h[10] = r.endpoint;
  h[11] = r.device;
  put<uint16_t>(h + 12, r.bus);
  h[14] = r.has_setup ? 0 : '-';
  // flag_data: 0 when data follows; otherwise '<' for IN, '>' for OUT.
  h[15] = data_len != 0 ? 0 : ((r.endpoint & 0x80) ? '<' : '>');
  put<int64_t>(h + 16, sec);
  put<int32_t>(h + 24, usec);
  put<int32_t>(h + 28, r.status);
  put<uint32_t>(h + 32, r.length);
  put<uint32_t>(h + 36, data_len);
  if (r.has_setup) std::memcpy(h + 40, r.setup, 8);
  put<int32_t>(h + 48, r.interval);
  put<int32_t>(h + 52, r.start_frame);
  put<uint32_t>(h + 56, r.xfer_flags);
  put<uint32_t>(h + 60, 0);  // ndesc
  if (data_len) std::memcpy(h + kHeaderSize, data, data_len);

  pcap_pkthdr ph{};
  ph.ts.tv_sec = static_cast<time_t>(sec);
  ph.ts.tv_usec = usec;
  ph.caplen = static_cast<bpf_u_int32>(packet.size());
  ph.len = ph.caplen;
  std::lock_guard<std::mutex> lock(mutex_);
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &ph, packet.data());
  pcap_dump_flush(dumper_);
  ++records_;
}

}  // namespace host::usb
