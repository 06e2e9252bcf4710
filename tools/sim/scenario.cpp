#include "scenario.h"

#include <toml++/toml.h>
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

namespace usbeth::sim {
namespace {

constexpr uint32_t kKnownPhyIds[] = {0x00406210, 0x00437410, 0x00225610, 0x00225410,
                                     0x00006B90, 0x20005C20, 0x00006B70};

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

  const toml::table* table_value(const toml::table& table, const char* key) const {
    const toml::node* node = table.get(key);
    if (!node) return nullptr;
    if (!node->is_table()) fail(node, std::string("'") + key + "' must be a table");
    return node->as_table();
  }

  std::vector<uint8_t> mac_value(const toml::table& table, const char* key) const {
    const toml::node* node = table.get(key);
    std::string text = string_value(table, key, "");
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, ':')) {
      if (part.size() != 2 || !isxdigit(part[0]) || !isxdigit(part[1])) {
        fail(node, std::string("'") + key + "' must be six hex bytes like 02:00:00:00:00:01");
      }
      bytes.push_back(static_cast<uint8_t>(std::stoul(part, nullptr, 16)));
    }
    if (bytes.size() != 6) {
      fail(node, std::string("'") + key + "' must be six hex bytes like 02:00:00:00:00:01");
    }
    return bytes;
  }

  PartnerSetting partner(const toml::table& table, PartnerSetting base) const {
    only_keys(table, {"plugged", "home_network", "abilities"}, "partner");
    base.plugged = bool_value(table, "plugged", base.plugged);
    base.home_network = bool_value(table, "home_network", base.home_network);
    if (const toml::node* node = table.get("abilities")) abilities(node, base);
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

 private:
  std::string source_;
};

void read_board(const Reader& r, const toml::table& board, Scenario& s) {
  r.only_keys(board, {"eeprom_address", "phy"}, "[board]");
  if (board.get("eeprom_address")) s.eeprom_address = r.mac_value(board, "eeprom_address");
  const toml::node* phys = board.get("phy");
  if (!phys) return;
  const toml::array* list = phys->as_array();
  if (!list) r.fail(phys, "'phy' must be written as [[board.phy]] tables");
  std::set<unsigned> addresses;
  for (const toml::node& item : *list) {
    const toml::table* t = item.as_table();
    if (!t) r.fail(&item, "each [[board.phy]] must be a table");
    r.only_keys(*t, {"address", "id", "unrecognised", "partner"}, "[[board.phy]]");
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
    s.phys.push_back(phy);
  }
  if (s.phys.size() > 10) r.fail(phys, "a board holds at most ten PHYs");
}

void read_registry(const Reader& r, const toml::table& reg, Scenario& s) {
  r.only_keys(
      reg, {"TxPacketDesc", "RxPacketDesc", "MediaType", "HomeLan", "AlivePara", "NetworkAddress"},
      "[registry]");
  auto opt = [&](const char* key, std::optional<uint32_t>& out) {
    if (reg.get(key)) out = static_cast<uint32_t>(r.unsigned_value(reg, key, 0, 0xFFFFFFFF));
  };
  opt("TxPacketDesc", s.registry.tx_packet_desc);
  opt("RxPacketDesc", s.registry.rx_packet_desc);
  opt("MediaType", s.registry.media_type);
  opt("HomeLan", s.registry.home_lan);
  opt("AlivePara", s.registry.alive_para);
  if (reg.get("NetworkAddress")) s.registry.network_address = r.mac_value(reg, "NetworkAddress");
}

Action action_named(const Reader& r, const toml::table& t) {
  static const std::pair<const char*, Action> kActions[] = {
      {"plug", Action::Plug},
      {"unplug", Action::Unplug},
      {"abilities", Action::Abilities},
      {"traffic", Action::Traffic},
      {"stop_traffic", Action::StopTraffic},
      {"bad_status", Action::BadStatus},
      {"reset", Action::Reset},
      {"halt", Action::Halt},
  };
  const toml::node* node = t.get("action");
  if (!node) r.fail(&t, "an [[event]] needs an 'action'");
  std::string name = r.string_value(t, "action", "");
  for (const auto& [text, action] : kActions) {
    if (name == text) return action;
  }
  r.fail(node, "unknown action '" + name +
                   "' (plug, unplug, abilities, traffic, stop_traffic, bad_status, reset, halt)");
}

void read_events(const Reader& r, const toml::node& events, Scenario& s) {
  const toml::array* list = events.as_array();
  if (!list) r.fail(&events, "'event' must be written as [[event]] tables");
  for (const toml::node& item : *list) {
    const toml::table* t = item.as_table();
    if (!t) r.fail(&item, "each [[event]] must be a table");
    Event e;
    e.line = item.source().begin.line;
    e.action = action_named(r, *t);
    if (!t->get("at_ms")) r.fail(&item, "an [[event]] needs 'at_ms'");
    e.at_ms = r.unsigned_value(*t, "at_ms", 0);
    switch (e.action) {
      case Action::Plug:
      case Action::Unplug:
      case Action::Abilities: {
        r.only_keys(*t, {"at_ms", "action", "phy", "abilities", "home_network"}, "[[event]]");
        if (!t->get("phy")) r.fail(&item, "this [[event]] needs 'phy' (the MII address)");
        e.phy = static_cast<unsigned>(r.unsigned_value(*t, "phy", 0, 31));
        bool found = std::any_of(s.phys.begin(), s.phys.end(),
                                 [&](const PhySetting& p) { return p.address == e.phy; });
        if (!found) r.fail(t->get("phy"), "no PHY at MII address " + std::to_string(e.phy));
        if (const toml::node* a = t->get("abilities")) {
          r.abilities(a, e.abilities);
          e.abilities_given = true;
        }
        if (e.action == Action::Abilities && !e.abilities_given) {
          r.fail(&item, "an 'abilities' event needs 'abilities'");
        }
        if (t->get("home_network")) e.home_network = r.bool_value(*t, "home_network", false);
        e.abilities.home_network = e.home_network.value_or(false);
        break;
      }
      case Action::Traffic: {
        r.only_keys(*t, {"at_ms", "action", "direction", "frame_size", "rate_pps", "duration_ms"},
                    "[[event]]");
        std::string dir = r.string_value(*t, "direction", "both");
        if (dir == "tx") {
          e.direction = Direction::Transmit;
        } else if (dir == "rx") {
          e.direction = Direction::Receive;
        } else if (dir == "both") {
          e.direction = Direction::Both;
        } else {
          r.fail(t->get("direction"), "'direction' must be tx, rx or both");
        }
        e.frame_size = static_cast<unsigned>(r.unsigned_value(*t, "frame_size", 512, 1514));
        if (e.frame_size < 14) r.fail(t->get("frame_size"), "'frame_size' must be 14..1514");
        e.rate_pps = static_cast<unsigned>(r.unsigned_value(*t, "rate_pps", 100, 100000));
        if (e.rate_pps == 0) r.fail(t->get("rate_pps"), "'rate_pps' must be at least 1");
        e.duration_ms = r.unsigned_value(*t, "duration_ms", 0);
        break;
      }
      case Action::BadStatus:
        r.only_keys(*t, {"at_ms", "action", "count"}, "[[event]]");
        e.count = static_cast<unsigned>(r.unsigned_value(*t, "count", 1, 1000000));
        break;
      case Action::StopTraffic:
      case Action::Reset:
      case Action::Halt:
        r.only_keys(*t, {"at_ms", "action"}, "[[event]]");
        break;
    }
    s.events.push_back(e);
  }
  std::stable_sort(s.events.begin(), s.events.end(),
                   [](const Event& a, const Event& b) { return a.at_ms < b.at_ms; });
}

}  // namespace

bool is_known_phy_id(uint32_t id) {
  return std::find(std::begin(kKnownPhyIds), std::end(kKnownPhyIds), id & ~0xFu) !=
         std::end(kKnownPhyIds);
}

Scenario parse_scenario(const std::string& text, const std::string& source_name) {
  Reader r(source_name);
  toml::table root;
  try {
    root = toml::parse(text, source_name);
  } catch (const toml::parse_error& e) {
    std::ostringstream out;
    out << source_name << ":" << e.source().begin.line << ": " << e.description();
    throw ScenarioError(out.str());
  }
  r.only_keys(root, {"simulation", "board", "registry", "event"}, "the scenario");
  Scenario s;
  if (const toml::table* sim = r.table_value(root, "simulation")) {
    r.only_keys(*sim, {"name", "duration_ms", "seed", "bus"}, "[simulation]");
    s.name = r.string_value(*sim, "name", s.name);
    s.duration_ms = r.unsigned_value(*sim, "duration_ms", s.duration_ms);
    s.seed = r.unsigned_value(*sim, "seed", s.seed);
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
  }
  if (const toml::table* board = r.table_value(root, "board")) read_board(r, *board, s);
  if (const toml::table* reg = r.table_value(root, "registry")) read_registry(r, *reg, s);
  if (const toml::node* events = root.get("event")) read_events(r, *events, s);
  for (const Event& e : s.events) {
    if (e.at_ms > s.duration_ms) {
      throw ScenarioError(source_name + ":" + std::to_string(e.line) + ": event at " +
                          std::to_string(e.at_ms) + " ms is after the end of the simulation (" +
                          std::to_string(s.duration_ms) + " ms)");
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
