#include "wire_pcap.h"

#include <pcap/pcap.h>

namespace usbeth::sim {

std::unique_ptr<EthernetPcapWriter> EthernetPcapWriter::open(const std::string& path,
                                                             std::string* error) {
  pcap_t* handle =
      pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_NANO);
  if (!handle) {
    if (error) *error = "libpcap cannot open a capture handle";
    return nullptr;
  }
  pcap_dumper_t* dumper = pcap_dump_open(handle, path.c_str());
  if (!dumper) {
    if (error) *error = path + ": " + pcap_geterr(handle);
    pcap_close(handle);
    return nullptr;
  }
  return std::unique_ptr<EthernetPcapWriter>(new EthernetPcapWriter(handle, dumper));
}

EthernetPcapWriter::~EthernetPcapWriter() {
  pcap_dump_close(dumper_);
  pcap_close(handle_);
}

void EthernetPcapWriter::write(uint64_t time_ns, const std::vector<uint8_t>& frame) {
  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<time_t>(time_ns / 1000000000);
  // With nanosecond precision the microsecond field carries nanoseconds.
  header.ts.tv_usec = static_cast<suseconds_t>(time_ns % 1000000000);
  header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
  std::lock_guard<std::mutex> lock(mutex_);
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
  ++frames_;
}

void EthernetPcapWriter::flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  pcap_dump_flush(dumper_);
}

}  // namespace usbeth::sim
