// What happened during a run, one record per event: the timeline printed on
// the terminal, the JSON-lines log and the SVG picture are all made from it.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace usbeth::sim {

struct Field {
  std::string key;
  std::variant<bool, int64_t, std::string> value;
};

// Kinds of record, with the fields each carries:
//   start          scenario, seed, bus, phys
//   initialize     status, address, (error)
//   plug/unplug    phy
//   abilities      phy, abilities
//   home_network   phy, present
//   traffic        direction, frame_size, rate_pps, duration_ms
//   traffic_stop   direction (what stopped)
//   bad_status     count
//   reset          status
//   halt           (reason)
//   phy_link       phy, up, speed_mbps, full_duplex
//   active_phy     phy, id, phy_kind ("ethernet", "home", "other")
//   media          state ("connect", "disconnect"), link_speed (OID value, 100 b/s units)
//   second         tx_frames, tx_bytes, rx_frames, rx_bytes (one second of traffic)
//   corrupt        direction, sequence
//   bug_check      code, message
//   summary        the statistics NDIS reports and the traffic check
struct Record {
  uint64_t time_ns = 0;
  std::string kind;
  std::vector<Field> fields;

  Record& add(const std::string& key, bool value);
  Record& add(const std::string& key, int64_t value);
  Record& add(const std::string& key, uint64_t value) {
    return add(key, static_cast<int64_t>(value));
  }
  Record& add(const std::string& key, int value) { return add(key, static_cast<int64_t>(value)); }
  Record& add(const std::string& key, unsigned value) {
    return add(key, static_cast<int64_t>(value));
  }
  Record& add(const std::string& key, const std::string& value);
  Record& add(const std::string& key, const char* value) { return add(key, std::string(value)); }

  const Field* find(const std::string& key) const;
  int64_t integer(const std::string& key, int64_t fallback = 0) const;
  bool flag(const std::string& key, bool fallback = false) const;
  std::string text(const std::string& key, const std::string& fallback = "") const;
};

// {"time_ms":1234.567,"kind":"media","state":"connect",...}
std::string to_json_line(const Record& record);

// One line of the readable timeline, e.g.
//   "   3.012 s  media      connect, 100 Mb/s". Empty for records not shown.
std::string timeline_line(const Record& record);

// "00:60:08:12:34:56"
std::string format_mac(const uint8_t* bytes);

// Records of one kind, in order.
std::vector<Record> of_kind(const std::vector<Record>& records, const std::string& kind);

}  // namespace usbeth::sim
