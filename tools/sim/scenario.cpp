#include "scenario.h"

#include <toml++/toml.h>
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace usbeth::sim {
namespace {

constexpr uint32_t kKnownPhyIds[] = {0x00406210, 0x00437410, 0x00225610, 0x00225410,
                                     0x00006B90, 0x20005C20, 0x00006B70};
constexpr uint64_t kUs = 1000;
constexpr uint64_t kMsNs = 1000000;

struct OidName {
  const char* name;
  uint32_t value;
};
constexpr OidName kOids[] = {
    {"OID_GEN_SUPPORTED_LIST", 0x00010101},
    {"OID_GEN_HARDWARE_STATUS", 0x00010102},
    {"OID_GEN_MEDIA_SUPPORTED", 0x00010103},
    {"OID_GEN_MEDIA_IN_USE", 0x00010104},
    {"OID_GEN_MAXIMUM_LOOKAHEAD", 0x00010105},
    {"OID_GEN_MAXIMUM_FRAME_SIZE", 0x00010106},
    {"OID_GEN_LINK_SPEED", 0x00010107},
    {"OID_GEN_TRANSMIT_BUFFER_SPACE", 0x00010108},
    {"OID_GEN_RECEIVE_BUFFER_SPACE", 0x00010109},
    {"OID_GEN_TRANSMIT_BLOCK_SIZE", 0x0001010A},
    {"OID_GEN_RECEIVE_BLOCK_SIZE", 0x0001010B},
    {"OID_GEN_VENDOR_ID", 0x0001010C},
    {"OID_GEN_VENDOR_DESCRIPTION", 0x0001010D},
    {"OID_GEN_CURRENT_PACKET_FILTER", 0x0001010E},
    {"OID_GEN_CURRENT_LOOKAHEAD", 0x0001010F},
    {"OID_GEN_DRIVER_VERSION", 0x00010110},
    {"OID_GEN_MAXIMUM_TOTAL_SIZE", 0x00010111},
    {"OID_GEN_PROTOCOL_OPTIONS", 0x00010112},
    {"OID_GEN_MAC_OPTIONS", 0x00010113},
    {"OID_GEN_MEDIA_CONNECT_STATUS", 0x00010114},
    {"OID_GEN_MAXIMUM_SEND_PACKETS", 0x00010115},
    {"OID_GEN_VENDOR_DRIVER_VERSION", 0x00010116},
    {"OID_GEN_SUPPORTED_GUIDS", 0x00010117},
    {"OID_GEN_NETWORK_LAYER_ADDRESSES", 0x00010118},
    {"OID_GEN_PHYSICAL_MEDIUM", 0x00010202},
    {"OID_GEN_XMIT_OK", 0x00020101},
    {"OID_GEN_RCV_OK", 0x00020102},
    {"OID_GEN_XMIT_ERROR", 0x00020103},
    {"OID_GEN_RCV_ERROR", 0x00020104},
    {"OID_GEN_RCV_NO_BUFFER", 0x00020105},
    {"OID_GEN_RCV_CRC_ERROR", 0x0002020D},
    {"OID_802_3_PERMANENT_ADDRESS", 0x01010101},
    {"OID_802_3_CURRENT_ADDRESS", 0x01010102},
    {"OID_802_3_MULTICAST_LIST", 0x01010103},
    {"OID_802_3_MAXIMUM_LIST_SIZE", 0x01010104},
    {"OID_802_3_MAC_OPTIONS", 0x01010105},
    {"OID_802_3_RCV_ERROR_ALIGNMENT", 0x01020101},
    {"OID_802_3_XMIT_ONE_COLLISION", 0x01020102},
    {"OID_802_3_XMIT_MORE_COLLISIONS", 0x01020103},
    {"OID_802_3_XMIT_DEFERRED", 0x01020201},
    {"OID_802_3_XMIT_MAX_COLLISIONS", 0x01020202},
    {"OID_802_3_RCV_OVERRUN", 0x01020203},
    {"OID_802_3_XMIT_UNDERRUN", 0x01020204},
    {"OID_PNP_CAPABILITIES", 0xFD010100},
    {"OID_PNP_SET_POWER", 0xFD010101},
    {"OID_PNP_QUERY_POWER", 0xFD010102},
    {"OID_PNP_ADD_WAKE_UP_PATTERN", 0xFD010103},
    {"OID_PNP_REMOVE_WAKE_UP_PATTERN", 0xFD010104},
    {"OID_PNP_ENABLE_WAKE_UP", 0xFD010106},
    {"OID_TCP_TASK_OFFLOAD", 0xFC010201},
};

struct FilterName {
  const char* name;
  uint32_t bit;
};
constexpr FilterName kFilterBits[] = {
    {"directed", 0x0001},
    {"multicast", 0x0002},
    {"all_multicast", 0x0004},
    {"broadcast", 0x0008},
    {"source_routing", 0x0010},
    {"promiscuous", 0x0020},
    {"smt", 0x0040},
    {"all_local", 0x0080},
    {"group", 0x1000},
    {"all_functional", 0x2000},
    {"functional", 0x4000},
    {"mac_frame", 0x8000},
};

template <typename E>
struct Named {
  const char* name;
  E value;
};

constexpr Named<Action> kActions[] = {
    {"plug", Action::Plug},
    {"unplug", Action::Unplug},
    {"abilities", Action::Abilities},
    {"echo", Action::Echo},
    {"traffic", Action::Traffic},
    {"stop_traffic", Action::StopTraffic},
    {"bad_status", Action::BadStatus},
    {"rx_transfer", Action::RxTransfer},
    {"reset", Action::Reset},
    {"halt", Action::Halt},
    {"initialize", Action::Initialize},
    {"shutdown", Action::Shutdown},
    {"set_filter", Action::SetFilter},
    {"set_multicast", Action::SetMulticast},
    {"set_lookahead", Action::SetLookahead},
    {"query", Action::Query},
    {"set", Action::Set},
    {"device_fault", Action::DeviceFault},
    {"host_fault", Action::HostFault},
    {"device_removed", Action::DeviceRemoved},
    {"device_plugged", Action::DevicePlugged},
};
constexpr Named<TrafficKind> kTrafficKinds[] = {
    {"directed", TrafficKind::Directed},          {"broadcast", TrafficKind::Broadcast},
    {"multicast", TrafficKind::Multicast},        {"unlisted_multicast", TrafficKind::Unlisted},
    {"other_station", TrafficKind::OtherStation}, {"mix", TrafficKind::Mix},
};
constexpr Named<RequestKind> kRequestKinds[] = {
    {"any", RequestKind::Any},
    {"control", RequestKind::Control},
    {"vendor_read", RequestKind::VendorRead},
    {"vendor_write", RequestKind::VendorWrite},
    {"descriptor", RequestKind::Descriptor},
    {"select_configuration", RequestKind::SelectConfiguration},
    {"feature", RequestKind::Feature},
    {"status", RequestKind::Status},
    {"reset_pipe", RequestKind::ResetPipe},
    {"bulk_in", RequestKind::BulkIn},
    {"bulk_out", RequestKind::BulkOut},
};
constexpr Named<DeviceFaultKind> kDeviceFaults[] = {
    {"stall", DeviceFaultKind::Stall}, {"fail", DeviceFaultKind::Fail},
    {"hang", DeviceFaultKind::Hang},   {"at_once", DeviceFaultKind::AtOnce},
    {"late", DeviceFaultKind::Late},   {"refuse", DeviceFaultKind::Refuse},
};
constexpr Named<AllocKind> kAllocKinds[] = {
    {"pool", AllocKind::Pool},     {"irp", AllocKind::Irp},
    {"urb", AllocKind::Urb},       {"packet", AllocKind::Packet},
    {"buffer", AllocKind::Buffer}, {"work_item", AllocKind::WorkItem},
};

template <typename E, size_t N>
const char* name_of(const Named<E> (&table)[N], E value) {
  for (const auto& n : table) {
    if (n.value == value) return n.name;
  }
  return "?";
}

template <typename E, size_t N>
std::string names_of(const Named<E> (&table)[N]) {
  std::string s;
  for (const auto& n : table)
    s += (s.empty() ? "" : ", ") + std::string(n.name);
  return s;
}

// The fates the traffic check counts, by direction.
const std::set<std::string> kTxFates = {"sent", "delivered", "no_link", "disabled", "refused",
                                        "held", "halted",    "lost",    "echoed"};
const std::set<std::string> kRxFates = {
    "sent",      "delivered",  "filtered", "filtered_wrongly", "beyond_filter",
    "no_link",   "dropped",    "overflow", "disabled",         "flushed",
    "discarded", "contention", "too_long", "partner_busy",     "lost"};

class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}

  [[noreturn]] void fail(const toml::node* node, const std::string& what) const {
    std::ostringstream out;
    out << source_;
    if (node && node->source().begin.line) out << ":" << node->source().begin.line;
    out << ": " << what;
    throw ScenarioError(out.str());
  }

  void only_keys(const toml::table& table, const std::set<std::string>& allowed,
                 const std::string& where) const {
    for (const auto& [key, value] : table) {
      if (!allowed.count(std::string(key.str()))) {
        fail(&value, "unknown key '" + std::string(key.str()) + "' in " + where);
      }
    }
  }

  uint64_t unsigned_value(const toml::table& table, const char* key, uint64_t fallback,
                          uint64_t max = UINT64_MAX) const {
    const toml::node* node = table.get(key);
    if (!node) return fallback;
    auto value = node->value<int64_t>();
    if (!node->is_integer() || !value) fail(node, std::string("'") + key + "' must be an integer");
    if (*value < 0) fail(node, std::string("'") + key + "' must not be negative");
    if (static_cast<uint64_t>(*value) > max) {
      fail(node, std::string("'") + key + "' must be at most " + std::to_string(max));
    }
    return static_cast<uint64_t>(*value);
  }

  // An integer in [min, max].
  uint64_t ranged(const toml::table& table, const char* key, uint64_t fallback, uint64_t min,
                  uint64_t max) const {
    uint64_t v = unsigned_value(table, key, fallback, max);
    if (table.get(key) && v < min) {
      fail(table.get(key), std::string("'") + key + "' must be " + std::to_string(min) + ".." +
                               std::to_string(max));
    }
    return v;
  }

  bool bool_value(const toml::table& table, const char* key, bool fallback) const {
    const toml::node* node = table.get(key);
    if (!node) return fallback;
    if (!node->is_boolean()) fail(node, std::string("'") + key + "' must be true or false");
    return *node->value<bool>();
  }

  std::string string_value(const toml::table& table, const char* key,
                           const std::string& fallback) const {
    const toml::node* node = table.get(key);
    if (!node) return fallback;
    if (!node->is_string()) fail(node, std::string("'") + key + "' must be a string");
    return *node->value<std::string>();
  }

  double probability(const toml::table& table, const char* key) const {
    const toml::node* node = table.get(key);
    double v = 0;
    if (node->is_floating_point()) {
      v = *node->value<double>();
    } else if (node->is_integer()) {
      v = static_cast<double>(*node->value<int64_t>());
    } else {
      fail(node, std::string("'") + key + "' must be a number from 0 to 1");
    }
    if (!(v >= 0 && v <= 1)) fail(node, std::string("'") + key + "' must be from 0 to 1");
    return v;
  }

  const toml::table* table_value(const toml::table& table, const char* key) const {
    const toml::node* node = table.get(key);
    if (!node) return nullptr;
    if (!node->is_table()) fail(node, std::string("'") + key + "' must be a table");
    return node->as_table();
  }

  // Hex bytes separated by colons; `exactly` bytes unless 0 (any number).
  std::vector<uint8_t> bytes_value(const toml::node* node, const std::string& key,
                                   size_t exactly) const {
    const std::string example = exactly == 6 ? "six hex bytes like 02:00:00:00:00:01"
                                             : "hex bytes like 02:00:00 (or \"\" for none)";
    if (!node->is_string()) fail(node, "'" + key + "' must be " + example);
    std::string text = *node->value<std::string>();
    std::vector<uint8_t> bytes;
    if (!text.empty()) {
      std::istringstream in(text);
      std::string part;
      while (std::getline(in, part, ':')) {
        if (part.size() != 2 || !isxdigit(static_cast<unsigned char>(part[0])) ||
            !isxdigit(static_cast<unsigned char>(part[1]))) {
          fail(node, "'" + key + "' must be " + example);
        }
        bytes.push_back(static_cast<uint8_t>(std::stoul(part, nullptr, 16)));
      }
      if (text.back() == ':') fail(node, "'" + key + "' must be " + example);
    }
    if (exactly != 0 && bytes.size() != exactly) fail(node, "'" + key + "' must be " + example);
    return bytes;
  }

  std::vector<uint8_t> mac_value(const toml::table& table, const char* key) const {
    return bytes_value(table.get(key), key, 6);
  }

  template <typename E, size_t N>
  E named(const toml::table& t, const char* key, const Named<E> (&table)[N], E fallback) const {
    const toml::node* node = t.get(key);
    if (!node) return fallback;
    std::string name = string_value(t, key, "");
    for (const auto& n : table) {
      if (name == n.name) return n.value;
    }
    fail(node, "unknown " + std::string(key) + " '" + name + "' (" + names_of(table) + ")");
  }

  // A time in the given unit, or "never".
  std::optional<uint64_t> time_value(const toml::table& t, const char* key, uint64_t unit_ns,
                                     bool never_allowed) const {
    const toml::node* node = t.get(key);
    if (!node) return std::nullopt;
    if (node->is_string()) {
      if (never_allowed && *node->value<std::string>() == "never") return kNeverNs;
      fail(node, std::string("'") + key + "' must be an integer" +
                     (never_allowed ? " or \"never\"" : ""));
    }
    uint64_t v = unsigned_value(t, key, 0, UINT64_MAX / unit_ns - 1);
    return v * unit_ns;
  }

  PartnerSetting partner(const toml::table& table, PartnerSetting base) const {
    only_keys(table, {"plugged", "home_network", "abilities", "autoneg", "echo"}, "partner");
    base.plugged = bool_value(table, "plugged", base.plugged);
    base.home_network = bool_value(table, "home_network", base.home_network);
    base.autoneg = bool_value(table, "autoneg", base.autoneg);
    base.echo = bool_value(table, "echo", base.echo);
    if (const toml::node* node = table.get("abilities")) abilities(node, base);
    if (!base.autoneg && !(base.ability_10_half || base.ability_10_full || base.ability_100_half ||
                           base.ability_100_full)) {
      fail(table.get("autoneg"), "a partner that does not negotiate needs one ability, its mode");
    }
    return base;
  }

  void abilities(const toml::node* node, PartnerSetting& out) const {
    const toml::array* list = node->as_array();
    if (!list) fail(node, "'abilities' must be a list such as [\"100full\", \"10half\"]");
    out.ability_10_half = out.ability_10_full = out.ability_100_half = out.ability_100_full = false;
    for (const toml::node& item : *list) {
      auto name = item.value<std::string>();
      if (!name) fail(&item, "an ability must be a string");
      if (*name == "10half") {
        out.ability_10_half = true;
      } else if (*name == "10full") {
        out.ability_10_full = true;
      } else if (*name == "100half") {
        out.ability_100_half = true;
      } else if (*name == "100full") {
        out.ability_100_full = true;
      } else {
        fail(&item, "unknown ability '" + *name + "' (10half, 10full, 100half, 100full)");
      }
    }
  }

  TimingSetting timing(const toml::table& t, bool board) const {
    std::set<std::string> keys = {"autoneg_ms", "home_link_ms", "forced_link_ms", "phy_reset_us"};
    if (board) keys.insert({"eeprom_us", "mii_us", "mac_reset_us"});
    only_keys(t, keys, board ? "[board.timing]" : "a PHY's timing");
    TimingSetting out;
    out.autoneg_ns = time_value(t, "autoneg_ms", kMsNs, true);
    out.home_link_ns = time_value(t, "home_link_ms", kMsNs, true);
    out.forced_link_ns = time_value(t, "forced_link_ms", kMsNs, true);
    out.phy_reset_ns = time_value(t, "phy_reset_us", kUs, false);
    if (board) {
      out.eeprom_ns = time_value(t, "eeprom_us", kUs, true);
      out.mii_ns = time_value(t, "mii_us", kUs, true);
      out.mac_reset_ns = time_value(t, "mac_reset_us", kUs, false);
    }
    return out;
  }

  Bound bound(const toml::node* node, const std::string& key) const {
    Bound b;
    if (node->is_integer()) {
      b.exact = *node->value<int64_t>();
      return b;
    }
    const toml::table* t = node->as_table();
    if (!t) fail(node, "'" + key + "' must be an integer or { min = .., max = .. }");
    only_keys(*t, {"min", "max"}, "'" + key + "'");
    auto one = [&](const char* k) -> std::optional<int64_t> {
      const toml::node* n = t->get(k);
      if (!n) return std::nullopt;
      if (!n->is_integer()) fail(n, std::string("'") + k + "' must be an integer");
      return *n->value<int64_t>();
    };
    b.min = one("min");
    b.max = one("max");
    if (!b.min && !b.max) fail(node, "'" + key + "' needs 'min' or 'max'");
    return b;
  }

  uint32_t oid_value(const toml::table& t, const char* key) const {
    const toml::node* node = t.get(key);
    if (node->is_string()) {
      auto v = oid_by_name(*node->value<std::string>());
      if (!v) fail(node, "unknown OID '" + *node->value<std::string>() + "' (give its number)");
      return *v;
    }
    return static_cast<uint32_t>(unsigned_value(t, key, 0, 0xFFFFFFFF));
  }

  uint32_t status_value(const toml::table& t, const char* key) const {
    const toml::node* node = t.get(key);
    if (node->is_string()) {
      std::string s = *node->value<std::string>();
      static const std::pair<const char*, uint32_t> kStatus[] = {
          {"success", 0x00000000},       {"pending", 0x00000103},
          {"failure", 0xC0000001},       {"resources", 0xC000009A},
          {"not_supported", 0xC00000BB}, {"invalid_length", 0xC0010014},
          {"invalid_oid", 0xC0010017},   {"invalid_data", 0xC0010015},
          {"multicast_full", 0xC0010009}};
      for (const auto& [n, v] : kStatus) {
        if (s == n) return v;
      }
      fail(node, "unknown status '" + s +
                     "' (success, pending, failure, resources, not_supported, invalid_length, "
                     "invalid_oid, invalid_data, multicast_full, or a number)");
    }
    return static_cast<uint32_t>(unsigned_value(t, key, 0, 0xFFFFFFFF));
  }

  FaultTiming fault_timing(const toml::table& t) const {
    FaultTiming f;
    f.nth = ranged(t, "nth", 1, 1, UINT32_MAX);
    f.count = ranged(t, "count", 1, 1, UINT32_MAX);
    if (t.get("probability")) {
      if (t.get("nth") || t.get("count")) {
        fail(t.get("probability"), "give either 'probability' or 'nth'/'count', not both");
      }
      f.probability = probability(t, "probability");
      f.window_ms = unsigned_value(t, "window_ms", 0);
    } else if (t.get("window_ms")) {
      fail(t.get("window_ms"), "'window_ms' goes with 'probability'");
    }
    return f;
  }

  const std::string& source() const { return source_; }

 private:
  std::string source_;
};

void read_descriptors(const Reader& r, const toml::table& t, DescriptorSetting& d) {
  r.only_keys(
      t,
      {"changes", "endpoints", "configuration_value", "total_length", "pad_bytes",
       "pad_before_endpoints", "zero_length_descriptor", "last_runs_past_end", "remote_wakeup"},
      "[board.descriptors]");
  d.changes = r.string_value(t, "changes", "");
  if (const toml::node* node = t.get("endpoints")) {
    const toml::array* list = node->as_array();
    if (!list)
      r.fail(node, "'endpoints' must be a list of { address, type, max_packet, interval }");
    std::vector<EndpointSetting> eps;
    for (const toml::node& item : *list) {
      const toml::table* e = item.as_table();
      if (!e) r.fail(&item, "each endpoint must be a table { address = 0x81, type = \"bulk\" }");
      r.only_keys(*e, {"address", "type", "max_packet", "interval"}, "an endpoint");
      if (!e->get("address")) r.fail(&item, "an endpoint needs an 'address'");
      EndpointSetting ep;
      ep.address = static_cast<uint8_t>(r.unsigned_value(*e, "address", 0, 0xFF));
      std::string type = r.string_value(*e, "type", "bulk");
      static const char* kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
      auto it = std::find_if(std::begin(kTypes), std::end(kTypes),
                             [&](const char* n) { return type == n; });
      if (it == std::end(kTypes)) {
        r.fail(e->get("type"), "'type' must be control, isochronous, bulk or interrupt");
      }
      ep.type = static_cast<uint8_t>(it - std::begin(kTypes));
      ep.max_packet = static_cast<uint16_t>(r.unsigned_value(*e, "max_packet", 0, 0xFFFF));
      ep.interval = static_cast<uint8_t>(r.unsigned_value(*e, "interval", ep.type == 3, 0xFF));
      eps.push_back(ep);
    }
    if (eps.size() > 30) r.fail(node, "at most 30 endpoints");
    d.endpoints = eps;
  }
  if (t.get("configuration_value")) {
    d.configuration_value =
        static_cast<uint8_t>(r.unsigned_value(t, "configuration_value", 1, 255));
  }
  if (t.get("total_length")) {
    d.total_length = static_cast<uint16_t>(r.unsigned_value(t, "total_length", 0, 0xFFFF));
  }
  d.pad_bytes = static_cast<unsigned>(r.unsigned_value(t, "pad_bytes", 0, 4000));
  d.pad_before_endpoints = r.bool_value(t, "pad_before_endpoints", false);
  if (t.get("zero_length_descriptor")) {
    d.zero_length_descriptor =
        static_cast<int>(r.unsigned_value(t, "zero_length_descriptor", 0, 40));
  }
  d.last_runs_past_end = r.bool_value(t, "last_runs_past_end", false);
  if (t.get("remote_wakeup")) d.remote_wakeup = r.bool_value(t, "remote_wakeup", true);
  if (d.any() && d.changes.empty()) {
    r.fail(&t, "[board.descriptors] needs 'changes': what the override changes, in words");
  }
}

void read_board(const Reader& r, const toml::table& board, AdapterSetting& a,
                const std::string& where) {
  r.only_keys(board, {"eeprom_address", "phy", "timing", "descriptors"}, where);
  if (board.get("eeprom_address")) a.eeprom_address = r.mac_value(board, "eeprom_address");
  if (const toml::table* t = r.table_value(board, "timing")) a.timing = r.timing(*t, true);
  if (const toml::table* d = r.table_value(board, "descriptors")) {
    read_descriptors(r, *d, a.descriptors);
  }
  const toml::node* phys = board.get("phy");
  if (!phys) return;
  const toml::array* list = phys->as_array();
  if (!list) r.fail(phys, "'phy' must be written as [[board.phy]] tables");
  std::set<unsigned> addresses;
  for (const toml::node& item : *list) {
    const toml::table* t = item.as_table();
    if (!t) r.fail(&item, "each [[board.phy]] must be a table");
    r.only_keys(*t, {"address", "id", "unrecognised", "partner", "timing"}, "[[board.phy]]");
    if (!t->get("address")) r.fail(&item, "[[board.phy]] needs an 'address'");
    if (!t->get("id")) r.fail(&item, "[[board.phy]] needs an 'id'");
    PhySetting phy;
    phy.address = static_cast<unsigned>(r.unsigned_value(*t, "address", 0, 31));
    phy.id = static_cast<uint32_t>(r.unsigned_value(*t, "id", 0, 0xFFFFFFFF));
    if (!is_known_phy_id(phy.id) && !r.bool_value(*t, "unrecognised", false)) {
      char hex[16];
      snprintf(hex, sizeof hex, "0x%08X", phy.id);
      r.fail(t->get("id"), std::string("unknown PHY identifier ") + hex +
                               " (add 'unrecognised = true' to model an unknown PHY)");
    }
    if (!addresses.insert(phy.address).second) {
      r.fail(t->get("address"), "two PHYs at MII address " + std::to_string(phy.address));
    }
    if (const toml::table* p = r.table_value(*t, "partner")) phy.partner = r.partner(*p, {});
    if (const toml::table* tm = r.table_value(*t, "timing")) phy.timing = r.timing(*tm, false);
    a.phys.push_back(phy);
  }
  if (a.phys.size() > 10) r.fail(phys, "a board holds at most ten PHYs");
}

void read_registry(const Reader& r, const toml::table& reg, AdapterSetting& a) {
  static const char* kKeywords[] = {"TxPacketDesc", "RxPacketDesc", "MediaType",   "HomeLan",
                                    "AlivePara",    "TxQueueDepth", "RxQueueDepth"};
  std::set<std::string> allowed(std::begin(kKeywords), std::end(kKeywords));
  allowed.insert("NetworkAddress");
  r.only_keys(reg, allowed, "[registry]");
  for (const char* key : kKeywords) {
    const toml::node* node = reg.get(key);
    if (!node) continue;
    RegistryValue v;
    if (node->is_string()) {
      // NDIS hands string values over as they are stored; the driver reads
      // them as hexadecimal.
      v.is_string = true;
      v.text = *node->value<std::string>();
    } else {
      if (!node->is_integer()) {
        r.fail(node, std::string("'") + key + "' must be an integer or a string");
      }
      v.integer = static_cast<uint32_t>(r.unsigned_value(reg, key, 0, 0xFFFFFFFF));
    }
    a.registry.values[key] = v;
  }
  if (const toml::node* node = reg.get("NetworkAddress")) {
    a.registry.network_address = r.bytes_value(node, "NetworkAddress", 0);
    if (a.registry.network_address->size() > 32) {
      r.fail(node, "'NetworkAddress' holds at most 32 bytes");
    }
  }
}

size_t adapter_index(const Reader& r, const toml::table& t, const Scenario& s) {
  const toml::node* node = t.get("adapter");
  if (!node) return 0;
  std::string name = r.string_value(t, "adapter", "");
  for (size_t i = 0; i < s.adapters.size(); ++i) {
    if (s.adapters[i].name == name) return i;
  }
  r.fail(node, "no adapter named '" + name + "'");
}

void read_sizes(const Reader& r, const toml::table& t, FrameSizes& out) {
  const toml::node* node = t.get("frame_size");
  if (!node) return;
  auto one = [&](const toml::node* n) {
    auto v = n->value<int64_t>();
    if (!n->is_integer() || !v || *v < 14 || *v > 1514) {
      r.fail(n, "a frame size must be an integer 14..1514");
    }
    return static_cast<unsigned>(*v);
  };
  out = FrameSizes{};
  if (node->is_integer()) {
    out.list = {one(node)};
  } else if (const toml::array* list = node->as_array()) {
    out.list.clear();
    for (const toml::node& item : *list)
      out.list.push_back(one(&item));
    if (out.list.empty()) r.fail(node, "'frame_size' lists no size");
  } else if (const toml::table* range = node->as_table()) {
    r.only_keys(*range, {"min", "max"}, "'frame_size'");
    if (!range->get("min") || !range->get("max"))
      r.fail(node, "a size range needs 'min' and 'max'");
    out.range = true;
    out.list = {one(range->get("min")), one(range->get("max"))};
    if (out.list[0] > out.list[1]) r.fail(node, "'min' is above 'max'");
  } else {
    r.fail(node, "'frame_size' must be a size, a list of sizes or { min = .., max = .. }");
  }
}

void need_phy(const Reader& r, const toml::table& t, const toml::node& item, const Scenario& s,
              Event& e) {
  if (!t.get("phy")) r.fail(&item, "this [[event]] needs 'phy' (the MII address)");
  e.phy = static_cast<unsigned>(r.unsigned_value(t, "phy", 0, 31));
  const auto& phys = s.adapters[e.adapter].phys;
  bool found = std::any_of(phys.begin(), phys.end(),
                           [&](const PhySetting& p) { return p.address == e.phy; });
  if (!found) r.fail(t.get("phy"), "no PHY at MII address " + std::to_string(e.phy));
}

void read_event(const Reader& r, const toml::node& item, Scenario& s) {
  const toml::table* tp = item.as_table();
  if (!tp) r.fail(&item, "each [[event]] must be a table");
  const toml::table& t = *tp;
  Event e;
  e.line = item.source().begin.line;
  const toml::node* action = t.get("action");
  if (!action) r.fail(&t, "an [[event]] needs an 'action'");
  e.action = r.named(t, "action", kActions, Action::Plug);
  if (!t.get("at_ms")) r.fail(&item, "an [[event]] needs 'at_ms'");
  e.at_ms = r.unsigned_value(t, "at_ms", 0);
  e.adapter = adapter_index(r, t, s);
  std::set<std::string> keys = {"at_ms", "action", "adapter"};
  auto allow = [&](std::initializer_list<const char*> more) {
    for (const char* k : more)
      keys.insert(k);
  };
  switch (e.action) {
    case Action::Plug:
    case Action::Unplug:
    case Action::Abilities: {
      allow({"phy", "abilities", "home_network", "autoneg"});
      r.only_keys(t, keys, "this [[event]]");
      need_phy(r, t, item, s, e);
      if (const toml::node* a = t.get("abilities")) {
        r.abilities(a, e.abilities);
        e.abilities_given = true;
      }
      e.abilities.autoneg = r.bool_value(t, "autoneg", true);
      if (t.get("autoneg") && !e.abilities_given) {
        r.fail(t.get("autoneg"), "'autoneg' goes with 'abilities'");
      }
      if (e.action == Action::Abilities && !e.abilities_given) {
        r.fail(&item, "an 'abilities' event needs 'abilities'");
      }
      if (t.get("home_network")) e.home_network = r.bool_value(t, "home_network", false);
      e.abilities.home_network = e.home_network.value_or(false);
      break;
    }
    case Action::Echo:
      allow({"phy", "on"});
      r.only_keys(t, keys, "this [[event]]");
      need_phy(r, t, item, s, e);
      e.on = r.bool_value(t, "on", true);
      break;
    case Action::Traffic: {
      allow({"direction", "frame_size", "rate_pps", "duration_ms", "kind", "group"});
      r.only_keys(t, keys, "this [[event]]");
      std::string dir = r.string_value(t, "direction", "both");
      if (dir == "tx") {
        e.direction = Direction::Transmit;
      } else if (dir == "rx") {
        e.direction = Direction::Receive;
      } else if (dir == "both") {
        e.direction = Direction::Both;
      } else {
        r.fail(t.get("direction"), "'direction' must be tx, rx or both");
      }
      read_sizes(r, t, e.sizes);
      e.rate_pps = static_cast<unsigned>(r.ranged(t, "rate_pps", 100, 1, 200000));
      e.duration_ms = r.unsigned_value(t, "duration_ms", 0);
      e.traffic = r.named(t, "kind", kTrafficKinds, TrafficKind::Directed);
      if (const toml::node* g = t.get("group")) {
        auto bytes = r.bytes_value(g, "group", 6);
        if (!(bytes[0] & 1)) r.fail(g, "'group' must be a multicast address (first byte odd)");
        std::array<uint8_t, 6> group{};
        std::copy(bytes.begin(), bytes.end(), group.begin());
        e.group = group;
        if (e.traffic != TrafficKind::Multicast && e.traffic != TrafficKind::Unlisted) {
          r.fail(g, "'group' goes with kind = \"multicast\" or \"unlisted_multicast\"");
        }
      }
      break;
    }
    case Action::BadStatus:
      allow({"count"});
      r.only_keys(t, keys, "this [[event]]");
      e.count = static_cast<unsigned>(r.unsigned_value(t, "count", 1, 1000000));
      break;
    case Action::RxTransfer:
      allow({"length", "status", "trailer_length", "count"});
      r.only_keys(t, keys, "this [[event]]");
      e.length = static_cast<unsigned>(r.unsigned_value(t, "length", 68, 1536));
      e.status = static_cast<uint8_t>(r.unsigned_value(t, "status", 0, 255));
      if (t.get("trailer_length")) {
        e.trailer_length = static_cast<unsigned>(r.unsigned_value(t, "trailer_length", 0, 0xFFFF));
      }
      e.count = static_cast<unsigned>(r.ranged(t, "count", 1, 1, 100000));
      break;
    case Action::SetFilter: {
      allow({"filter", "length"});
      r.only_keys(t, keys, "this [[event]]");
      const toml::node* f = t.get("filter");
      if (!f) r.fail(&item, "a 'set_filter' event needs 'filter'");
      if (const toml::array* list = f->as_array()) {
        for (const toml::node& n : *list) {
          auto name = n.value<std::string>();
          auto bit = name ? filter_bit(*name) : std::nullopt;
          if (!bit) {
            r.fail(&n,
                   "unknown filter bit (directed, multicast, all_multicast, broadcast, "
                   "promiscuous, source_routing, smt, all_local, group, all_functional, "
                   "functional, mac_frame)");
          }
          e.filter |= *bit;
        }
      } else {
        e.filter = static_cast<uint32_t>(r.unsigned_value(t, "filter", 0, 0xFFFFFFFF));
      }
      if (t.get("length")) {
        e.buffer_length = static_cast<uint32_t>(r.unsigned_value(t, "length", 0, 4096));
      }
      break;
    }
    case Action::SetMulticast: {
      allow({"addresses", "count", "length"});
      r.only_keys(t, keys, "this [[event]]");
      if (t.get("addresses") && t.get("count")) {
        r.fail(t.get("count"), "give either 'addresses' or 'count', not both");
      }
      if (const toml::node* a = t.get("addresses")) {
        const toml::array* list = a->as_array();
        if (!list) r.fail(a, "'addresses' must be a list of addresses");
        for (const toml::node& n : *list) {
          auto bytes = r.bytes_value(&n, "addresses", 6);
          e.data.insert(e.data.end(), bytes.begin(), bytes.end());
        }
      } else {
        // `count` groups 01:00:5e:00:00:01 onwards.
        unsigned n = static_cast<unsigned>(r.unsigned_value(t, "count", 0, 1000));
        for (unsigned i = 0; i < n; ++i) {
          uint8_t g[6] = {0x01,
                          0x00,
                          0x5E,
                          0x00,
                          static_cast<uint8_t>((i + 1) >> 8),
                          static_cast<uint8_t>(i + 1)};
          e.data.insert(e.data.end(), g, g + 6);
        }
      }
      if (t.get("length")) {
        e.buffer_length = static_cast<uint32_t>(r.unsigned_value(t, "length", 0, 6000));
      }
      break;
    }
    case Action::SetLookahead:
      allow({"value", "length"});
      r.only_keys(t, keys, "this [[event]]");
      e.value = static_cast<uint32_t>(r.unsigned_value(t, "value", 1500, 0xFFFFFFFF));
      if (t.get("length")) {
        e.buffer_length = static_cast<uint32_t>(r.unsigned_value(t, "length", 0, 4096));
      }
      break;
    case Action::Query:
      allow({"oid", "length"});
      r.only_keys(t, keys, "this [[event]]");
      if (!t.get("oid")) r.fail(&item, "a 'query' event needs 'oid'");
      e.oid = r.oid_value(t, "oid");
      e.buffer_length = static_cast<uint32_t>(r.unsigned_value(t, "length", 256, 4096));
      break;
    case Action::Set:
      allow({"oid", "data", "length"});
      r.only_keys(t, keys, "this [[event]]");
      if (!t.get("oid")) r.fail(&item, "a 'set' event needs 'oid'");
      e.oid = r.oid_value(t, "oid");
      if (const toml::node* d = t.get("data")) e.data = r.bytes_value(d, "data", 0);
      if (t.get("length")) {
        e.buffer_length = static_cast<uint32_t>(r.unsigned_value(t, "length", 0, 4096));
      }
      break;
    case Action::DeviceFault: {
      allow({"request", "fault", "register", "nth", "count", "probability", "window_ms"});
      r.only_keys(t, keys, "this [[event]]");
      if (!t.get("request")) r.fail(&item, "a 'device_fault' event needs 'request'");
      if (!t.get("fault")) r.fail(&item, "a 'device_fault' event needs 'fault'");
      e.request = r.named(t, "request", kRequestKinds, RequestKind::Any);
      const toml::node* f = t.get("fault");
      if (r.string_value(t, "fault", "") == "stall_endpoint") {
        if (e.request != RequestKind::BulkIn && e.request != RequestKind::BulkOut) {
          r.fail(f, "'stall_endpoint' is a fault of bulk_in or bulk_out requests");
        }
        e.stall_endpoint = true;
        e.fault = DeviceFaultKind::Stall;
      } else {
        e.fault = r.named(t, "fault", kDeviceFaults, DeviceFaultKind::Fail);
      }
      if (t.get("register")) {
        if (e.request != RequestKind::VendorRead && e.request != RequestKind::VendorWrite) {
          r.fail(t.get("register"), "'register' goes with vendor_read or vendor_write");
        }
        e.register_index = static_cast<uint16_t>(r.unsigned_value(t, "register", 0, 0xFF));
      }
      e.timing = r.fault_timing(t);
      break;
    }
    case Action::HostFault:
      allow({"kind", "nth", "count", "probability", "window_ms"});
      r.only_keys(t, keys, "this [[event]]");
      if (!t.get("kind")) r.fail(&item, "a 'host_fault' event needs 'kind'");
      e.alloc = r.named(t, "kind", kAllocKinds, AllocKind::Pool);
      e.timing = r.fault_timing(t);
      break;
    case Action::StopTraffic:
    case Action::Reset:
    case Action::Halt:
    case Action::Initialize:
    case Action::Shutdown:
    case Action::DeviceRemoved:
    case Action::DevicePlugged:
      r.only_keys(t, keys, "this [[event]]");
      break;
  }
  s.events.push_back(e);
}

void read_expectation(const Reader& r, const toml::node& item, Scenario& s) {
  const toml::table* tp = item.as_table();
  if (!tp) r.fail(&item, "each [[expect]] must be a table");
  const toml::table& t = *tp;
  Expectation x;
  x.line = item.source().begin.line;
  x.adapter = adapter_index(r, t, s);
  if (!t.get("what")) r.fail(&item, "an [[expect]] needs 'what'");
  std::string what = r.string_value(t, "what", "");
  std::set<std::string> keys = {"what", "adapter"};
  if (what == "media") {
    x.kind = ExpectKind::Media;
    r.only_keys(t, {"what", "adapter", "state", "by_ms", "after_ms", "count"},
                "[[expect]] of media");
    if (const toml::node* c = t.get("count")) x.count = r.bound(c, "count");
    std::string state = r.string_value(t, "state", "connect");
    if (state != "connect" && state != "disconnect") {
      r.fail(t.get("state"), "'state' must be connect or disconnect");
    }
    x.connect = state == "connect";
    if (t.get("by_ms")) x.by_ms = r.unsigned_value(t, "by_ms", 0);
    if (t.get("after_ms")) x.after_ms = r.unsigned_value(t, "after_ms", 0);
  } else if (what == "frames") {
    x.kind = ExpectKind::Frames;
    std::string dir = r.string_value(t, "direction", "rx");
    if (dir != "rx" && dir != "tx") r.fail(t.get("direction"), "'direction' must be tx or rx");
    x.direction = dir == "rx" ? Direction::Receive : Direction::Transmit;
    if (t.get("traffic")) x.traffic = r.named(t, "traffic", kTrafficKinds, TrafficKind::Directed);
    const std::set<std::string>& fates = x.direction == Direction::Receive ? kRxFates : kTxFates;
    for (const auto& [key, value] : t) {
      std::string k(key.str());
      if (k == "what" || k == "adapter" || k == "direction" || k == "traffic") continue;
      if (!fates.count(k)) {
        std::string list;
        for (const auto& f : fates)
          list += (list.empty() ? "" : ", ") + f;
        r.fail(&value,
               "unknown key '" + k + "' in [[expect]] of " + dir + " frames (" + list + ")");
      }
      x.fates[k] = r.bound(&value, k);
    }
    if (x.fates.empty()) r.fail(&item, "an [[expect]] of frames needs a count such as 'delivered'");
  } else if (what == "oid") {
    x.kind = ExpectKind::Oid;
    r.only_keys(t, {"what", "adapter", "oid", "at_ms", "length", "status", "value", "bytes"},
                "[[expect]] of an OID");
    if (!t.get("oid")) r.fail(&item, "an [[expect]] of an OID needs 'oid'");
    x.oid = r.oid_value(t, "oid");
    if (t.get("at_ms")) x.by_ms = r.unsigned_value(t, "at_ms", 0);
    x.length = static_cast<uint32_t>(r.unsigned_value(t, "length", 256, 4096));
    if (t.get("status")) x.status = r.status_value(t, "status");
    if (const toml::node* v = t.get("value")) x.value = r.bound(v, "value");
    if (const toml::node* b = t.get("bytes")) x.bytes = r.bytes_value(b, "bytes", 0);
    if (!x.status && !x.value && !x.bytes) {
      r.fail(&item, "an [[expect]] of an OID needs 'status', 'value' or 'bytes'");
    }
  } else if (what == "statistic") {
    x.kind = ExpectKind::Statistic;
    r.only_keys(t, {"what", "adapter", "name", "value"}, "[[expect]] of a statistic");
    if (!t.get("name") || !t.get("value")) {
      r.fail(&item, "an [[expect]] of a statistic needs 'name' and 'value'");
    }
    x.name = r.string_value(t, "name", "");
    x.value = r.bound(t.get("value"), "value");
  } else if (what == "initialize") {
    x.kind = ExpectKind::Initialize;
    r.only_keys(t, {"what", "adapter", "result", "index"}, "[[expect]] of initialize");
    std::string result = r.string_value(t, "result", "success");
    if (result != "success" && result != "refused") {
      r.fail(t.get("result"), "'result' must be success or refused");
    }
    x.refused = result == "refused";
    x.index = static_cast<unsigned>(r.unsigned_value(t, "index", 0, 1000));
  } else if (what == "reset") {
    x.kind = ExpectKind::Reset;
    r.only_keys(t, {"what", "adapter", "within_ms", "status", "index"}, "[[expect]] of reset");
    if (t.get("within_ms")) x.within_ms = r.unsigned_value(t, "within_ms", 0);
    if (t.get("status")) x.status = r.status_value(t, "status");
    x.index = static_cast<unsigned>(r.unsigned_value(t, "index", 0, 1000));
    if (!x.within_ms && !x.status)
      r.fail(&item, "an [[expect]] of reset needs 'within_ms' or 'status'");
  } else {
    r.fail(t.get("what"),
           "unknown expectation '" + what + "' (media, frames, oid, statistic, initialize, reset)");
  }
  s.expectations.push_back(x);
}

void read_adapters(const Reader& r, const toml::node& node, Scenario& s) {
  const toml::array* list = node.as_array();
  if (!list) r.fail(&node, "'adapter' must be written as [[adapter]] tables");
  std::set<std::string> names;
  for (const toml::node& item : *list) {
    const toml::table* t = item.as_table();
    if (!t) r.fail(&item, "each [[adapter]] must be a table");
    r.only_keys(*t, {"name", "board", "registry"}, "[[adapter]]");
    AdapterSetting a;
    a.line = item.source().begin.line;
    a.name = r.string_value(*t, "name", "usbeth" + std::to_string(s.adapters.size()));
    if (a.name.empty()) r.fail(t->get("name"), "an adapter's 'name' must not be empty");
    if (!names.insert(a.name).second) {
      r.fail(t->get("name") ? t->get("name") : &item, "two adapters named '" + a.name + "'");
    }
    if (const toml::table* b = r.table_value(*t, "board")) read_board(r, *b, a, "[adapter.board]");
    if (const toml::table* g = r.table_value(*t, "registry")) read_registry(r, *g, a);
    s.adapters.push_back(a);
  }
  if (s.adapters.size() > 8) r.fail(&node, "at most eight adapters");
}

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) {
    snprintf(b, sizeof b, "%02x", v);
    s += (s.empty() ? "" : ":") + std::string(b);
  }
  return s;
}

}  // namespace

std::string Bound::text() const {
  if (exact) return std::to_string(*exact);
  if (min && max) return std::to_string(*min) + ".." + std::to_string(*max);
  if (min) return "at least " + std::to_string(*min);
  if (max) return "at most " + std::to_string(*max);
  return "anything";
}

bool is_known_phy_id(uint32_t id) {
  return std::find(std::begin(kKnownPhyIds), std::end(kKnownPhyIds), id & ~0xFu) !=
         std::end(kKnownPhyIds);
}

const char* action_name(Action a) {
  return name_of(kActions, a);
}
const char* traffic_kind_name(TrafficKind k) {
  return name_of(kTrafficKinds, k);
}
const char* request_kind_name(RequestKind k) {
  return name_of(kRequestKinds, k);
}
const char* device_fault_name(DeviceFaultKind k) {
  return name_of(kDeviceFaults, k);
}
const char* alloc_kind_name(AllocKind k) {
  return name_of(kAllocKinds, k);
}

std::optional<uint32_t> oid_by_name(const std::string& name) {
  for (const OidName& o : kOids) {
    if (name == o.name) return o.value;
  }
  return std::nullopt;
}

std::string oid_name(uint32_t oid) {
  for (const OidName& o : kOids) {
    if (oid == o.value) return o.name;
  }
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", oid);
  return buf;
}

std::optional<uint32_t> filter_bit(const std::string& name) {
  for (const FilterName& f : kFilterBits) {
    if (name == f.name) return f.bit;
  }
  return std::nullopt;
}

namespace {

// TOML allows characters other than ASCII only in strings and comments. The
// TOML library tests every other one for Unicode whitespace, and that test
// reaches undefined behaviour for many characters (U+00A1..U+0499 among
// them), so such text is refused here, by line, before the library sees it.
void RefuseNonAsciiOutsideStrings(const std::string& text, const std::string& source_name) {
  enum class In { Value, Comment, Basic, Literal, MultiBasic, MultiLiteral };
  In in = In::Value;
  size_t line = 1;
  auto at = [&](size_t i, const char* what) { return text.compare(i, 3, what) == 0; };
  // Up to two more quotes after a multi-line string's closing three belong
  // to the string.
  auto close_multi = [&](size_t& i, char quote) {
    i += 2;
    for (int extra = 0; extra < 2 && i + 1 < text.size() && text[i + 1] == quote; extra++)
      i++;
    in = In::Value;
  };
  for (size_t i = 0; i < text.size(); i++) {
    const char c = text[i];
    if (c == '\n') {
      line++;
      if (in == In::Comment || in == In::Basic || in == In::Literal) in = In::Value;
      continue;
    }
    switch (in) {
      case In::Value:
        if (static_cast<unsigned char>(c) >= 0x80) {
          throw ScenarioError(source_name + ":" + std::to_string(line) +
                              ": a character other than ASCII outside a string or comment");
        }
        if (c == '#') {
          in = In::Comment;
        } else if (c == '"') {
          in = at(i, "\"\"\"") ? In::MultiBasic : In::Basic;
          if (in == In::MultiBasic) i += 2;
        } else if (c == '\'') {
          in = at(i, "'''") ? In::MultiLiteral : In::Literal;
          if (in == In::MultiLiteral) i += 2;
        }
        break;
      case In::Comment:
        break;
      case In::Basic:
      case In::MultiBasic:
        if (c == '\\' && i + 1 < text.size()) {
          if (text[++i] == '\n') line++;
        } else if (in == In::Basic && c == '"') {
          in = In::Value;
        } else if (in == In::MultiBasic && at(i, "\"\"\"")) {
          close_multi(i, '"');
        }
        break;
      case In::Literal:
        if (c == '\'') in = In::Value;
        break;
      case In::MultiLiteral:
        if (at(i, "'''")) close_multi(i, '\'');
        break;
    }
  }
}

}  // namespace

Scenario parse_scenario(const std::string& text, const std::string& source_name) {
  RefuseNonAsciiOutsideStrings(text, source_name);
  Reader r(source_name);
  toml::table root;
  try {
    root = toml::parse(text, source_name);
  } catch (const toml::parse_error& e) {
    std::ostringstream out;
    out << source_name << ":" << e.source().begin.line << ": " << e.description();
    throw ScenarioError(out.str());
  }
  r.only_keys(root, {"simulation", "board", "registry", "adapter", "event", "expect"},
              "the scenario");
  Scenario s;
  s.source = source_name;
  if (const toml::table* sim = r.table_value(root, "simulation")) {
    r.only_keys(*sim,
                {"name", "duration_ms", "seed", "bus", "completion", "wire", "check_invariants"},
                "[simulation]");
    s.name = r.string_value(*sim, "name", s.name);
    s.duration_ms = r.unsigned_value(*sim, "duration_ms", s.duration_ms, 1000ull * 3600 * 10000);
    s.seed = r.unsigned_value(*sim, "seed", s.seed);
    s.check_invariants = r.bool_value(*sim, "check_invariants", true);
    std::string bus = r.string_value(*sim, "bus", "full");
    if (bus == "full") {
      s.bus = BusSpeedSetting::Full;
    } else if (bus == "high") {
      s.bus = BusSpeedSetting::High;
    } else if (bus == "unthrottled") {
      s.bus = BusSpeedSetting::Unthrottled;
    } else {
      r.fail(sim->get("bus"), "'bus' must be full, high or unthrottled");
    }
    std::string completion = r.string_value(*sim, "completion", "frame");
    if (completion == "frame") {
      s.completion = CompletionSetting::Frame;
    } else if (completion == "before-return") {
      s.completion = CompletionSetting::BeforeReturn;
    } else if (completion == "seeded") {
      s.completion = CompletionSetting::Seeded;
    } else {
      r.fail(sim->get("completion"), "'completion' must be frame, before-return or seeded");
    }
    std::string wire = r.string_value(*sim, "wire", "link-rate");
    if (wire == "link-rate") {
      s.wire_limit = true;
    } else if (wire == "unlimited") {
      s.wire_limit = false;
    } else {
      r.fail(sim->get("wire"), "'wire' must be link-rate or unlimited");
    }
  }
  if (const toml::node* adapters = root.get("adapter")) {
    for (const char* single : {"board", "registry"}) {
      if (root.get(single)) {
        r.fail(root.get(single), std::string("[") + single +
                                     "] and [[adapter]] do not mix: give each adapter its own "
                                     "[adapter." +
                                     single + "]");
      }
    }
    read_adapters(r, *adapters, s);
  } else {
    AdapterSetting a;
    if (const toml::table* board = r.table_value(root, "board")) {
      read_board(r, *board, a, "[board]");
    }
    if (const toml::table* reg = r.table_value(root, "registry")) read_registry(r, *reg, a);
    s.adapters.push_back(a);
  }
  if (const toml::node* events = root.get("event")) {
    const toml::array* list = events->as_array();
    if (!list) r.fail(events, "'event' must be written as [[event]] tables");
    for (const toml::node& item : *list)
      read_event(r, item, s);
  }
  std::stable_sort(s.events.begin(), s.events.end(),
                   [](const Event& a, const Event& b) { return a.at_ms < b.at_ms; });
  if (const toml::node* expects = root.get("expect")) {
    const toml::array* list = expects->as_array();
    if (!list) r.fail(expects, "'expect' must be written as [[expect]] tables");
    for (const toml::node& item : *list)
      read_expectation(r, item, s);
  }
  for (const Event& e : s.events) {
    if (e.at_ms > s.duration_ms) {
      throw ScenarioError(source_name + ":" + std::to_string(e.line) + ": event at " +
                          std::to_string(e.at_ms) + " ms is after the end of the simulation (" +
                          std::to_string(s.duration_ms) + " ms)");
    }
  }
  for (const Expectation& x : s.expectations) {
    for (const auto* t : {&x.by_ms, &x.after_ms}) {
      if (*t && **t > s.duration_ms) {
        throw ScenarioError(source_name + ":" + std::to_string(x.line) + ": expectation at " +
                            std::to_string(**t) + " ms is after the end of the simulation (" +
                            std::to_string(s.duration_ms) + " ms)");
      }
    }
  }
  return s;
}

Scenario load_scenario(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ScenarioError(path + ": cannot be opened");
  std::stringstream text;
  text << in.rdbuf();
  return parse_scenario(text.str(), path);
}

// ---- writing ------------------------------------------------------------------------

namespace {

// A TOML basic string: quotes, backslashes and control characters other than
// tab escaped (a name may hold any of them, e.g. as \f in the file read).
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if ((u < 0x20 && c != '\t') || u == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string abilities_list(const PartnerSetting& p) {
  std::string s;
  auto add = [&](bool on, const char* n) {
    if (on) s += (s.empty() ? "\"" : ", \"") + std::string(n) + "\"";
  };
  add(p.ability_10_half, "10half");
  add(p.ability_10_full, "10full");
  add(p.ability_100_half, "100half");
  add(p.ability_100_full, "100full");
  return "[" + s + "]";
}

void write_time(std::ostringstream& out, const char* key, const std::optional<uint64_t>& ns,
                uint64_t unit, bool& first) {
  if (!ns) return;
  out << (first ? "" : ", ") << key << " = ";
  if (*ns == kNeverNs) {
    out << "\"never\"";
  } else {
    out << *ns / unit;
  }
  first = false;
}

std::string timing_inline(const TimingSetting& t) {
  std::ostringstream out;
  bool first = true;
  write_time(out, "autoneg_ms", t.autoneg_ns, kMsNs, first);
  write_time(out, "home_link_ms", t.home_link_ns, kMsNs, first);
  write_time(out, "forced_link_ms", t.forced_link_ns, kMsNs, first);
  write_time(out, "phy_reset_us", t.phy_reset_ns, kUs, first);
  write_time(out, "eeprom_us", t.eeprom_ns, kUs, first);
  write_time(out, "mii_us", t.mii_ns, kUs, first);
  write_time(out, "mac_reset_us", t.mac_reset_ns, kUs, first);
  return "{ " + out.str() + " }";
}

void write_board(std::ostringstream& out, const AdapterSetting& a, const std::string& prefix) {
  out << "[" << prefix << "board]\neeprom_address = " << quoted(hex_bytes(a.eeprom_address))
      << "\n";
  if (a.timing.any()) out << "timing = " << timing_inline(a.timing) << "\n";
  const DescriptorSetting& d = a.descriptors;
  if (d.any()) {
    out << "\n[" << prefix << "board.descriptors]\nchanges = " << quoted(d.changes) << "\n";
    if (d.endpoints) {
      static const char* kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
      out << "endpoints = [";
      for (size_t i = 0; i < d.endpoints->size(); ++i) {
        const EndpointSetting& e = (*d.endpoints)[i];
        out << (i ? ", " : "") << "{ address = " << unsigned(e.address) << ", type = \""
            << kTypes[e.type & 3] << "\", max_packet = " << e.max_packet
            << ", interval = " << unsigned(e.interval) << " }";
      }
      out << "]\n";
    }
    if (d.configuration_value) {
      out << "configuration_value = " << unsigned(*d.configuration_value) << "\n";
    }
    if (d.total_length) out << "total_length = " << *d.total_length << "\n";
    if (d.pad_bytes) out << "pad_bytes = " << d.pad_bytes << "\n";
    if (d.pad_before_endpoints) out << "pad_before_endpoints = true\n";
    if (d.zero_length_descriptor >= 0) {
      out << "zero_length_descriptor = " << d.zero_length_descriptor << "\n";
    }
    if (d.last_runs_past_end) out << "last_runs_past_end = true\n";
    if (d.remote_wakeup) out << "remote_wakeup = " << (*d.remote_wakeup ? "true" : "false") << "\n";
  }
  for (const PhySetting& p : a.phys) {
    char id[16];
    snprintf(id, sizeof id, "0x%08X", p.id);
    out << "\n[[" << prefix << "board.phy]]\naddress = " << p.address << "\nid = " << id << "\n";
    if (!is_known_phy_id(p.id)) out << "unrecognised = true\n";
    out << "partner = { plugged = " << (p.partner.plugged ? "true" : "false")
        << ", home_network = " << (p.partner.home_network ? "true" : "false")
        << ", abilities = " << abilities_list(p.partner)
        << ", autoneg = " << (p.partner.autoneg ? "true" : "false")
        << ", echo = " << (p.partner.echo ? "true" : "false") << " }\n";
    if (p.timing.any()) out << "timing = " << timing_inline(p.timing) << "\n";
  }
  if (!a.registry.values.empty() || a.registry.network_address) {
    out << "\n[" << prefix << "registry]\n";
    for (const auto& [k, v] : a.registry.values) {
      out << k << " = " << (v.is_string ? quoted(v.text) : std::to_string(v.integer)) << "\n";
    }
    if (a.registry.network_address) {
      out << "NetworkAddress = " << quoted(hex_bytes(*a.registry.network_address)) << "\n";
    }
  }
}

void write_fault_timing(std::ostringstream& out, const FaultTiming& f) {
  if (f.probability) {
    char p[32];
    snprintf(p, sizeof p, "%.6g", *f.probability);
    std::string ps = p;
    if (ps.find_first_of(".e") == std::string::npos) ps += ".0";
    out << "probability = " << ps << "\n";
    if (f.window_ms) out << "window_ms = " << f.window_ms << "\n";
  } else {
    out << "nth = " << f.nth << "\ncount = " << f.count << "\n";
  }
}

}  // namespace

std::string write_scenario(const Scenario& s) {
  std::ostringstream out;
  const char* bus = s.bus == BusSpeedSetting::Full   ? "full"
                    : s.bus == BusSpeedSetting::High ? "high"
                                                     : "unthrottled";
  out << "[simulation]\nname = " << quoted(s.name) << "\nduration_ms = " << s.duration_ms
      << "\nseed = " << s.seed << "\nbus = \"" << bus << "\"\n";
  if (s.completion != CompletionSetting::Frame) {
    out << "completion = \""
        << (s.completion == CompletionSetting::Seeded ? "seeded" : "before-return") << "\"\n";
  }
  if (!s.wire_limit) out << "wire = \"unlimited\"\n";
  if (!s.check_invariants) out << "check_invariants = false\n";
  if (s.adapters.size() == 1 && s.adapters[0].name == "usbeth0") {
    out << "\n";
    write_board(out, s.adapters[0], "");
  } else {
    for (const AdapterSetting& a : s.adapters) {
      out << "\n[[adapter]]\nname = " << quoted(a.name) << "\n\n";
      write_board(out, a, "adapter.");
    }
  }
  for (const Event& e : s.events) {
    out << "\n[[event]]\nat_ms = " << e.at_ms << "\naction = \"" << action_name(e.action) << "\"\n";
    if (s.adapters.size() > 1 || s.adapters[0].name != "usbeth0") {
      out << "adapter = " << quoted(s.adapters[e.adapter].name) << "\n";
    }
    switch (e.action) {
      case Action::Plug:
      case Action::Unplug:
      case Action::Abilities:
        out << "phy = " << e.phy << "\n";
        if (e.abilities_given) {
          out << "abilities = " << abilities_list(e.abilities) << "\n";
          if (!e.abilities.autoneg) out << "autoneg = false\n";
        }
        if (e.home_network)
          out << "home_network = " << (*e.home_network ? "true" : "false") << "\n";
        break;
      case Action::Echo:
        out << "phy = " << e.phy << "\non = " << (e.on ? "true" : "false") << "\n";
        break;
      case Action::Traffic: {
        out << "direction = \""
            << (e.direction == Direction::Transmit  ? "tx"
                : e.direction == Direction::Receive ? "rx"
                                                    : "both")
            << "\"\nkind = \"" << traffic_kind_name(e.traffic) << "\"\n";
        if (e.group) {
          out << "group = "
              << quoted(hex_bytes(std::vector<uint8_t>(e.group->begin(), e.group->end()))) << "\n";
        }
        if (e.sizes.range) {
          out << "frame_size = { min = " << e.sizes.list[0] << ", max = " << e.sizes.list[1]
              << " }\n";
        } else if (e.sizes.list.size() == 1) {
          out << "frame_size = " << e.sizes.list[0] << "\n";
        } else {
          out << "frame_size = [";
          for (size_t i = 0; i < e.sizes.list.size(); ++i)
            out << (i ? ", " : "") << e.sizes.list[i];
          out << "]\n";
        }
        out << "rate_pps = " << e.rate_pps << "\n";
        if (e.duration_ms) out << "duration_ms = " << e.duration_ms << "\n";
        break;
      }
      case Action::BadStatus:
        out << "count = " << e.count << "\n";
        break;
      case Action::RxTransfer:
        out << "length = " << e.length << "\nstatus = " << unsigned(e.status) << "\n";
        if (e.trailer_length) out << "trailer_length = " << *e.trailer_length << "\n";
        out << "count = " << e.count << "\n";
        break;
      case Action::SetFilter:
        out << "filter = " << e.filter << "\n";
        if (e.buffer_length) out << "length = " << *e.buffer_length << "\n";
        break;
      case Action::SetMulticast: {
        out << "addresses = [";
        for (size_t i = 0; i + 6 <= e.data.size(); i += 6) {
          out << (i ? ", " : "")
              << quoted(hex_bytes(std::vector<uint8_t>(e.data.begin() + static_cast<long>(i),
                                                       e.data.begin() + static_cast<long>(i) + 6)));
        }
        out << "]\n";
        if (e.buffer_length) out << "length = " << *e.buffer_length << "\n";
        break;
      }
      case Action::SetLookahead:
        out << "value = " << e.value << "\n";
        if (e.buffer_length) out << "length = " << *e.buffer_length << "\n";
        break;
      case Action::Query:
        out << "oid = " << e.oid << "\n";
        if (e.buffer_length) out << "length = " << *e.buffer_length << "\n";
        break;
      case Action::Set:
        out << "oid = " << e.oid << "\ndata = " << quoted(hex_bytes(e.data)) << "\n";
        if (e.buffer_length) out << "length = " << *e.buffer_length << "\n";
        break;
      case Action::DeviceFault:
        out << "request = \"" << request_kind_name(e.request) << "\"\nfault = \""
            << (e.stall_endpoint ? "stall_endpoint" : device_fault_name(e.fault)) << "\"\n";
        if (e.register_index) out << "register = " << *e.register_index << "\n";
        write_fault_timing(out, e.timing);
        break;
      case Action::HostFault:
        out << "kind = \"" << alloc_kind_name(e.alloc) << "\"\n";
        write_fault_timing(out, e.timing);
        break;
      default:
        break;
    }
  }
  return out.str();
}

const char* default_scenario_text() {
  return R"(# Bring-up on a board with an Ethernet PHY and a home-network PHY (and
# an idle PHY that bring-up isolates), auto-negotiation, two-way traffic; the
# Ethernet cable pulled and the move to the home-network PHY; the cable back
# while the home network goes quiet, and the move back; a reset; halt.
[simulation]
name = "Ethernet and home-network PHYs"
duration_ms = 90000
seed = 1
bus = "full"

[board]
eeprom_address = "00:60:08:12:34:56"

[[board.phy]]
address = 1
id = 0x00406210
partner = { plugged = true, abilities = ["10half", "10full", "100half", "100full"] }

[[board.phy]]
address = 3
id = 0x00006B90
partner = { plugged = true, home_network = true }

[[board.phy]]
address = 5
id = 0x00006B70
partner = { plugged = false }

[[event]]
at_ms = 8000
action = "traffic"
direction = "both"
frame_size = 590
rate_pps = 200
duration_ms = 12000

[[event]]
at_ms = 25000
action = "unplug"
phy = 1

[[event]]
at_ms = 40000
action = "traffic"
direction = "both"
frame_size = 128
rate_pps = 50
duration_ms = 5000

[[event]]
at_ms = 50000
action = "plug"
phy = 1

[[event]]
at_ms = 50000
action = "unplug"
phy = 3
home_network = false

[[event]]
at_ms = 70000
action = "reset"

[[event]]
at_ms = 75000
action = "traffic"
direction = "both"
frame_size = 1514
rate_pps = 100
duration_ms = 5000

[[event]]
at_ms = 88000
action = "halt"
)";
}

}  // namespace usbeth::sim
