// The wire as an Ethernet capture (pcap, link type DLT_EN10MB, nanosecond
// timestamps of the simulation's clock), written with libpcap.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace usbeth::sim {

class EthernetPcapWriter {
 public:
  // Opens `path` for writing; null with a message in *error on failure.
  static std::unique_ptr<EthernetPcapWriter> open(const std::string& path, std::string* error);
  ~EthernetPcapWriter();
  EthernetPcapWriter(const EthernetPcapWriter&) = delete;
  EthernetPcapWriter& operator=(const EthernetPcapWriter&) = delete;

  // One frame, destination address first, without its frame check sequence.
  void write(uint64_t time_ns, const std::vector<uint8_t>& frame);
  void flush();
  uint64_t frames() const { return frames_; }

 private:
  EthernetPcapWriter(pcap* handle, pcap_dumper* dumper) : handle_(handle), dumper_(dumper) {}
  std::mutex mutex_;
  pcap* handle_;
  pcap_dumper* dumper_;
  uint64_t frames_ = 0;
};

}  // namespace usbeth::sim
