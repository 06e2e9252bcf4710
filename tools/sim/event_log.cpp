#include "event_log.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace usbeth::sim {
namespace {

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string time_column(uint64_t ns) {
  char buf[32];
  snprintf(buf, sizeof buf, "%8.3f s", static_cast<double>(ns) / 1e9);
  return buf;
}

std::string with_kind(const Record& r, const std::string& label, const std::string& text) {
  char buf[32];
  snprintf(buf, sizeof buf, "  %-12s ", label.c_str());
  // With several adapters each line says whose it is.
  const Field* adapter = r.find("adapter");
  std::string who;
  if (adapter && std::holds_alternative<std::string>(adapter->value)) {
    who = "[" + std::get<std::string>(adapter->value) + "] ";
  }
  return time_column(r.time_ns) + buf + who + text;
}

std::string speed_text(int64_t mbps, bool full) {
  if (mbps == 1) return "1 Mb/s home network";
  return std::to_string(mbps) + " Mb/s " + (full ? "full duplex" : "half duplex");
}

std::string link_speed_oid_text(int64_t units_of_100bps) {
  if (units_of_100bps <= 0) return "";
  int64_t kbps = units_of_100bps / 10;
  if (kbps >= 1000) return std::to_string(kbps / 1000) + " Mb/s";
  return std::to_string(kbps) + " kb/s";
}

std::string bytes_text(int64_t bytes) {
  char buf[32];
  if (bytes >= 1000000) {
    snprintf(buf, sizeof buf, "%.2f MB", bytes / 1e6);
  } else if (bytes >= 1000) {
    snprintf(buf, sizeof buf, "%.1f kB", bytes / 1e3);
  } else {
    snprintf(buf, sizeof buf, "%" PRId64 " B", bytes);
  }
  return buf;
}

std::string status_text(int64_t status) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08" PRIX32, static_cast<uint32_t>(status));
  return status == 0 ? "success" : buf;
}

// NDIS requests made by a scenario.
std::string request_line(const Record& r) {
  const std::string& k = r.kind;
  std::string outcome;
  if (r.find("error")) {
    outcome = " not made: " + r.text("error");
  } else if (r.find("status")) {
    outcome = ": " + (r.text("status") == "0x00000000" ? std::string("success") : r.text("status"));
    if (r.find("bytes_read")) {
      outcome += ", " + std::to_string(r.integer("bytes_read")) + " bytes read, " +
                 std::to_string(r.integer("bytes_needed")) + " needed";
    }
  }
  if (k == "filter_set") {
    char f[16];
    snprintf(f, sizeof f, "0x%04" PRIX64, static_cast<uint64_t>(r.integer("filter")));
    return "set packet filter " + std::string(f) + " (" + std::to_string(r.integer("length")) +
           " bytes)" + outcome;
  }
  if (k == "multicast_set") {
    return "set multicast list of " + std::to_string(r.integer("addresses")) + " addresses (" +
           std::to_string(r.integer("length")) + " bytes)" + outcome;
  }
  if (k == "lookahead_set") {
    return "set lookahead " + std::to_string(r.integer("value")) + outcome;
  }
  if (k == "set") {
    return "set " + r.text("oid") + " (" + std::to_string(r.integer("length")) + " bytes)" +
           outcome;
  }
  if (k == "query") {
    std::string s =
        "query " + r.text("oid") + " (" + std::to_string(r.integer("length")) + "-byte buffer)";
    if (r.find("error")) return s + " not made: " + r.text("error");
    s += ": " + (r.text("status") == "0x00000000" ? std::string("success") : r.text("status"));
    if (r.find("value")) {
      s += ", " + std::to_string(r.integer("value"));
    } else if (r.find("answer")) {
      s += ", " + std::to_string(r.integer("bytes_written")) + " bytes " + r.text("answer");
    } else if (r.integer("bytes_needed")) {
      s += ", " + std::to_string(r.integer("bytes_needed")) + " more bytes needed";
    }
    return s;
  }
  if (k == "shutdown") {
    return r.flag("handled") ? "system shutdown: the adapter's shutdown handler ran"
                             : "system shutdown: no shutdown handler";
  }
  return "";
}

std::string fault_timing(const Record& r) {
  if (r.find("probability_ppm")) {
    char p[64];
    snprintf(p, sizeof p, "each with probability %.4g", r.integer("probability_ppm") / 1e6);
    std::string s = p;
    if (r.integer("window_ms")) s += " for " + std::to_string(r.integer("window_ms")) + " ms";
    return s;
  }
  auto ordinal = [](int64_t n) {
    const char* suffix = (n % 100 >= 11 && n % 100 <= 13) ? "th"
                         : n % 10 == 1                    ? "st"
                         : n % 10 == 2                    ? "nd"
                         : n % 10 == 3                    ? "rd"
                                                          : "th";
    return std::to_string(n) + suffix;
  };
  int64_t nth = r.integer("nth"), count = r.integer("count");
  std::string s = "the " + ordinal(nth);
  if (count > 1) s += " to the " + ordinal(nth + count - 1);
  return s;
}

// Device and host faults.
std::string fault_line(const Record& r) {
  const std::string& k = r.kind;
  if (k == "device_fault") {
    std::string s =
        r.text("fault") + " for " + fault_timing(r) + " " + r.text("request") + " request from now";
    if (r.find("register")) s += " (register " + std::to_string(r.integer("register")) + ")";
    return s;
  }
  if (k == "fault_hit") {
    std::string s = r.text("fault") + " on a " + r.text("request") + " request (URB function " +
                    std::to_string(r.integer("urb_function"));
    if (r.find("endpoint")) {
      char ep[8];
      snprintf(ep, sizeof ep, "0x%02X", static_cast<unsigned>(r.integer("endpoint")));
      s += ", endpoint " + std::string(ep);
    } else {
      s += ", bRequest " + std::to_string(r.integer("setup_request")) + ", wIndex " +
           std::to_string(r.integer("setup_index"));
    }
    return s + ")";
  }
  if (k == "host_fault") {
    if (r.find("error")) return r.text("alloc") + " allocation faults not made: " + r.text("error");
    return r.text("alloc") + " allocations fail: " + fault_timing(r) + " from now";
  }
  if (k == "host_fault_end") {
    return r.text("alloc") + " allocation faults over: " + std::to_string(r.integer("failures")) +
           " failed";
  }
  if (k == "rx_transfer") {
    char st[8];
    snprintf(st, sizeof st, "0x%02X", static_cast<unsigned>(r.integer("status")));
    std::string s = std::to_string(r.integer("count")) + " bulk-in transfer(s) of " +
                    std::to_string(r.integer("length")) + " bytes, status " + st;
    if (r.find("trailer_length")) {
      s += ", trailer length " + std::to_string(r.integer("trailer_length"));
    }
    return s;
  }
  if (k == "device_removed") return "the device is gone: every request fails";
  if (k == "device_plugged") return "the device is back (bus reset, unconfigured)";
  return "";
}

}  // namespace

Record& Record::add(const std::string& key, bool value) {
  fields.push_back({key, value});
  return *this;
}
Record& Record::add(const std::string& key, int64_t value) {
  fields.push_back({key, value});
  return *this;
}
Record& Record::add(const std::string& key, const std::string& value) {
  fields.push_back({key, value});
  return *this;
}

const Field* Record::find(const std::string& key) const {
  for (const Field& f : fields) {
    if (f.key == key) return &f;
  }
  return nullptr;
}

int64_t Record::integer(const std::string& key, int64_t fallback) const {
  const Field* f = find(key);
  if (!f) return fallback;
  if (auto v = std::get_if<int64_t>(&f->value)) return *v;
  if (auto b = std::get_if<bool>(&f->value)) return *b ? 1 : 0;
  return fallback;
}

bool Record::flag(const std::string& key, bool fallback) const {
  const Field* f = find(key);
  if (!f) return fallback;
  if (auto b = std::get_if<bool>(&f->value)) return *b;
  if (auto v = std::get_if<int64_t>(&f->value)) return *v != 0;
  return fallback;
}

std::string Record::text(const std::string& key, const std::string& fallback) const {
  const Field* f = find(key);
  if (!f) return fallback;
  if (auto s = std::get_if<std::string>(&f->value)) return *s;
  return fallback;
}

std::string to_json_line(const Record& record) {
  char time[40];
  snprintf(time, sizeof time, "%" PRIu64 ".%06" PRIu64, record.time_ns / 1000000,
           record.time_ns % 1000000);
  std::string out = "{\"time_ms\":";
  out += time;
  out += ",\"kind\":" + json_string(record.kind);
  for (const Field& f : record.fields) {
    out += "," + json_string(f.key) + ":";
    if (auto b = std::get_if<bool>(&f.value)) {
      out += *b ? "true" : "false";
    } else if (auto v = std::get_if<int64_t>(&f.value)) {
      out += std::to_string(*v);
    } else {
      out += json_string(std::get<std::string>(f.value));
    }
  }
  return out + "}";
}

std::string timeline_line(const Record& r) {
  const std::string& k = r.kind;
  if (k == "start") {
    return with_kind(r, "start",
                     "\"" + r.text("scenario") + "\", seed " + std::to_string(r.integer("seed")) +
                         ", " + r.text("bus") + "-speed bus, PHYs " + r.text("phys"));
  }
  if (k == "initialize") {
    std::string s = "miniport initialize: " + status_text(r.integer("status"));
    if (r.find("address")) s += ", station " + r.text("address");
    if (r.find("error")) s += " (" + r.text("error") + ")";
    return with_kind(r, "initialize", s);
  }
  if (k == "plug" || k == "unplug") {
    return with_kind(r, k,
                     std::string("cable ") + (k == "plug" ? "plugged into" : "pulled from") +
                         " PHY " + std::to_string(r.integer("phy")));
  }
  if (k == "abilities") {
    return with_kind(
        r, k,
        "partner of PHY " + std::to_string(r.integer("phy")) + " offers " + r.text("abilities"));
  }
  if (k == "home_network") {
    return with_kind(r, "home net",
                     "PHY " + std::to_string(r.integer("phy")) +
                         (r.flag("present") ? ": other stations on the line" : ": line quiet"));
  }
  if (k == "traffic") {
    std::string size =
        r.find("frame_sizes") ? r.text("frame_sizes") : std::to_string(r.integer("frame_size"));
    std::string s = r.text("direction") + ", " + size + "-byte " +
                    (r.find("traffic") && r.text("traffic") != "directed" ? r.text("traffic") + " "
                                                                          : std::string()) +
                    "frames at " + std::to_string(r.integer("rate_pps")) + "/s";
    if (r.integer("duration_ms")) s += " for " + std::to_string(r.integer("duration_ms")) + " ms";
    return with_kind(r, "traffic", s);
  }
  if (k == "traffic_stop") return with_kind(r, "traffic", "stopped (" + r.text("direction") + ")");
  if (k == "bad_status") {
    return with_kind(
        r, "bad status",
        "next " + std::to_string(r.integer("count")) + " received frames carry a CRC error status");
  }
  if (k == "reset") {
    if (r.find("error")) return with_kind(r, "reset", "NDIS reset not made: " + r.text("error"));
    std::string s = "NDIS reset: " + status_text(r.integer("status"));
    if (r.find("took_us")) {
      char took[32];
      snprintf(took, sizeof took, " after %.1f ms", r.integer("took_us") / 1000.0);
      s += took;
    }
    return with_kind(r, "reset", s);
  }
  if (k == "halt") {
    std::string s = "miniport halt";
    if (r.find("reason")) s += " (" + r.text("reason") + ")";
    if (r.find("leaks")) s += r.flag("leaks") ? ": LEAKS" : ": no leaks";
    return with_kind(r, "halt", s);
  }
  if (k == "phy_link") {
    std::string s = "PHY " + std::to_string(r.integer("phy")) + " link ";
    s +=
        r.flag("up") ? "up, " + speed_text(r.integer("speed_mbps"), r.flag("full_duplex")) : "down";
    return with_kind(r, "link", s);
  }
  if (k == "active_phy") {
    char id[16];
    snprintf(id, sizeof id, "0x%08" PRIX32, static_cast<uint32_t>(r.integer("id")));
    return with_kind(
        r, "active PHY",
        "PHY " + std::to_string(r.integer("phy")) + " (" + r.text("phy_kind") + ", " + id + ")");
  }
  if (k == "media") {
    std::string s = r.text("state");
    std::string speed = link_speed_oid_text(r.integer("link_speed"));
    if (r.text("state") == "connect" && !speed.empty()) s += ", " + speed;
    return with_kind(r, "media", s);
  }
  if (k == "second") {
    return with_kind(r, "traffic/s",
                     "out " + std::to_string(r.integer("tx_frames")) + " frames " +
                         bytes_text(r.integer("tx_bytes")) + ", in " +
                         std::to_string(r.integer("rx_frames")) + " frames " +
                         bytes_text(r.integer("rx_bytes")));
  }
  if (k == "corrupt") {
    return with_kind(r, "CORRUPT",
                     r.text("direction") + " frame " + std::to_string(r.integer("sequence")) +
                         " arrived damaged");
  }
  if (k == "bug_check") {
    return with_kind(r, "BUG CHECK", r.text("code") + ": " + r.text("message"));
  }
  if (k == "summary") return "";
  if (std::string s = request_line(r); !s.empty()) return with_kind(r, k, s);
  if (std::string s = fault_line(r); !s.empty()) {
    return with_kind(r, k == "fault_hit" ? "FAULT" : "fault", s);
  }
  if (k == "echo") {
    return with_kind(r, k,
                     "partner of PHY " + std::to_string(r.integer("phy")) +
                         (r.flag("on") ? " echoes every frame" : " stops echoing"));
  }
  if (k == "expectation") {
    return with_kind(r, r.flag("ok") ? "expected" : "EXPECTED",
                     "line " + std::to_string(r.integer("line")) + ": " + r.text("expected") +
                         (r.flag("ok") ? ": yes (" : ": NO, got ") + r.text("got") +
                         (r.flag("ok") ? ")" : ""));
  }
  if (k == "invariant") {
    return with_kind(r, "INVARIANT", r.text("name") + ": " + r.text("detail"));
  }
  std::string s;
  for (const Field& f : r.fields) {
    if (!s.empty()) s += ", ";
    s += f.key + "=";
    if (auto b = std::get_if<bool>(&f.value)) {
      s += *b ? "yes" : "no";
    } else if (auto v = std::get_if<int64_t>(&f.value)) {
      s += std::to_string(*v);
    } else {
      s += std::get<std::string>(f.value);
    }
  }
  return with_kind(r, k, s);
}

std::string format_mac(const uint8_t* b) {
  char buf[24];
  snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
  return buf;
}

std::vector<Record> of_kind(const std::vector<Record>& records, const std::string& kind) {
  std::vector<Record> out;
  for (const Record& r : records) {
    if (r.kind == kind) out.push_back(r);
  }
  return out;
}

}  // namespace usbeth::sim
