// A simulation scenario: the board, the registry settings and the events
// over virtual time. Parsed from TOML with every error located in the file.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace usbeth::sim {

enum class BusSpeedSetting { Full, High, Unthrottled };

struct PartnerSetting {
  bool plugged = true;
  bool home_network = false;  // for home-network PHYs: another station on the line
  // Abilities advertised by the partner: 10half, 10full, 100half, 100full.
  bool ability_10_half = true;
  bool ability_10_full = true;
  bool ability_100_half = true;
  bool ability_100_full = true;
};

struct PhySetting {
  unsigned address = 1;
  uint32_t id = 0;
  PartnerSetting partner;
};

struct RegistrySetting {
  std::optional<uint32_t> tx_packet_desc;
  std::optional<uint32_t> rx_packet_desc;
  std::optional<uint32_t> media_type;
  std::optional<uint32_t> home_lan;
  std::optional<uint32_t> alive_para;
  std::optional<std::vector<uint8_t>> network_address;
};

enum class Action {
  Plug,
  Unplug,
  Abilities,
  Traffic,
  StopTraffic,
  BadStatus,
  Reset,
  Halt,
};

enum class Direction { Transmit, Receive, Both };

struct Event {
  uint64_t at_ms = 0;
  Action action = Action::Plug;
  unsigned phy = 0;  // MII address the event concerns (plug, unplug, abilities)
  PartnerSetting abilities;
  bool abilities_given = false;      // the event names the partner's abilities
  std::optional<bool> home_network;  // the event says whether other stations are on the line
  Direction direction = Direction::Both;
  unsigned frame_size = 512;
  unsigned rate_pps = 100;
  uint64_t duration_ms = 0;  // traffic: 0 = until stopped or the end
  unsigned count = 1;        // bad_status: frames affected
  unsigned line = 0;         // where it was written
};

struct Scenario {
  std::string name = "scenario";
  uint64_t duration_ms = 30000;
  uint64_t seed = 1;
  BusSpeedSetting bus = BusSpeedSetting::Full;
  std::vector<uint8_t> eeprom_address = {0x00, 0x60, 0x08, 0x12, 0x34, 0x56};
  std::vector<PhySetting> phys;
  RegistrySetting registry;
  std::vector<Event> events;  // sorted by time, stable
};

// A scenario file that cannot be used: `what()` names the file, the line and
// what is wrong.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Scenario parse_scenario(const std::string& text, const std::string& source_name);
Scenario load_scenario(const std::string& path);
// The scenario run when none is given.
const char* default_scenario_text();

bool is_known_phy_id(uint32_t id);

}  // namespace usbeth::sim
