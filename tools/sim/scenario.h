// A simulation scenario: the adapters (each a board and its registry
// settings), the events over virtual time and what must have happened by the
// end. Parsed from TOML with every error located in the file.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace usbeth::sim {

constexpr uint64_t kNeverNs = std::numeric_limits<uint64_t>::max();

enum class BusSpeedSetting { Full, High, Unthrottled };

// When the bus completes requests: at the frame boundary after they end, as
// host controllers do; or, to exercise the driver's other completion path,
// inside the dispatch (before-return) or either way by the seed.
enum class CompletionSetting { Frame, BeforeReturn, Seeded };

struct PartnerSetting {
  bool plugged = true;
  bool home_network = false;  // for home-network PHYs: another station on the line
  // Abilities advertised by the partner: 10half, 10full, 100half, 100full.
  bool ability_10_half = true;
  bool ability_10_full = true;
  bool ability_100_half = true;
  bool ability_100_full = true;
  // A partner that does not negotiate runs fixed at its highest ability.
  bool autoneg = true;
  bool echo = false;  // answers every frame with source and destination swapped
};

// Times of the slow parts, each in nanoseconds (kNeverNs: the done bit or the
// link never comes); unset ones keep the board's defaults.
struct TimingSetting {
  std::optional<uint64_t> autoneg_ns, home_link_ns, forced_link_ns, phy_reset_ns, eeprom_ns, mii_ns,
      mac_reset_ns;
  bool any() const {
    return autoneg_ns || home_link_ns || forced_link_ns || phy_reset_ns || eeprom_ns || mii_ns ||
           mac_reset_ns;
  }
};

struct PhySetting {
  unsigned address = 1;
  uint32_t id = 0;
  PartnerSetting partner;
  TimingSetting timing;  // this PHY's own (reset, negotiation, link)
};

struct EndpointSetting {
  uint8_t address = 0x81;   // direction bit included
  uint8_t type = 2;         // 0 control, 1 isochronous, 2 bulk, 3 interrupt
  uint16_t max_packet = 0;  // 0: by bus speed
  uint8_t interval = 0;
};

// USB descriptors the adapter reports instead of the honest ones.
struct DescriptorSetting {
  std::optional<std::vector<EndpointSetting>> endpoints;
  std::optional<uint8_t> configuration_value;
  std::optional<uint16_t> total_length;  // wTotalLength reported
  unsigned pad_bytes = 0;                // vendor filler descriptors
  bool pad_before_endpoints = false;
  int zero_length_descriptor = -1;  // descriptor index given bLength 0
  bool last_runs_past_end = false;  // the last bLength overruns the blob
  std::optional<bool> remote_wakeup;
  std::string changes;  // what the override changes, in the scenario's words
  bool any() const {
    return endpoints || configuration_value || total_length || pad_bytes ||
           zero_length_descriptor >= 0 || last_runs_past_end || remote_wakeup;
  }
};

struct RegistryValue {
  bool is_string = false;
  uint32_t integer = 0;
  std::string text;
};

struct RegistrySetting {
  // By keyword as written (TxPacketDesc, RxPacketDesc, MediaType, HomeLan, AlivePara,
  // TxQueueDepth, RxQueueDepth).
  std::map<std::string, RegistryValue> values;
  std::optional<std::vector<uint8_t>> network_address;  // any length
  const RegistryValue* find(const std::string& keyword) const {
    auto it = values.find(keyword);
    return it == values.end() ? nullptr : &it->second;
  }
};

struct AdapterSetting {
  std::string name = "usbeth0";
  std::vector<uint8_t> eeprom_address = {0x00, 0x60, 0x08, 0x12, 0x34, 0x56};
  std::vector<PhySetting> phys;
  TimingSetting timing;  // the board's
  DescriptorSetting descriptors;
  RegistrySetting registry;
  unsigned line = 0;
};

enum class Action {
  Plug,
  Unplug,
  Abilities,
  Echo,
  Traffic,
  StopTraffic,
  BadStatus,
  RxTransfer,
  Reset,
  Halt,
  Initialize,
  Shutdown,
  SetFilter,
  SetMulticast,
  SetLookahead,
  Query,
  Set,
  DeviceFault,
  HostFault,
  DeviceRemoved,
  DevicePlugged,
};

enum class Direction { Transmit, Receive, Both };

// What the traffic is addressed to.
enum class TrafficKind {
  Directed,      // to the station (or, sent by it, to the partner)
  Broadcast,     // ff:ff:ff:ff:ff:ff
  Multicast,     // a group in the multicast list (or `group`)
  Unlisted,      // a group not in the list
  OtherStation,  // directed to some other station on the wire
  Mix,           // each frame one of the above, by seed
};

struct FrameSizes {
  std::vector<unsigned> list = {512};  // taken in turn; a range when `range`
  bool range = false;                  // uniform in [list[0], list[1]], by seed
};

enum class RequestKind {
  Any,
  Control,  // any control request
  VendorRead,
  VendorWrite,
  Descriptor,
  SelectConfiguration,
  Feature,
  Status,
  ResetPipe,
  BulkIn,
  BulkOut,
};

enum class DeviceFaultKind { Stall, Fail, Hang, AtOnce, Late, Refuse };

enum class AllocKind { Pool, Irp, Urb, Packet, Buffer, WorkItem };

// When a fault strikes: the n-th matching request (or allocation) from the
// event's time on and `count` in a row; or each one with `probability` while
// the window lasts.
struct FaultTiming {
  uint64_t nth = 1;
  uint64_t count = 1;
  std::optional<double> probability;
  uint64_t window_ms = 0;  // probability: how long (0: to the end)
};

struct Event {
  uint64_t at_ms = 0;
  Action action = Action::Plug;
  size_t adapter = 0;  // index into Scenario::adapters
  unsigned line = 0;   // where it was written

  // plug, unplug, abilities, echo
  unsigned phy = 0;
  PartnerSetting abilities;
  bool abilities_given = false;
  std::optional<bool> home_network;
  bool on = true;  // echo

  // traffic
  Direction direction = Direction::Both;
  TrafficKind traffic = TrafficKind::Directed;
  std::optional<std::array<uint8_t, 6>> group;
  FrameSizes sizes;
  unsigned rate_pps = 100;
  uint64_t duration_ms = 0;  // 0 = until stopped or the end

  unsigned count = 1;  // bad_status: frames affected; rx_transfer: transfers

  // rx_transfer
  unsigned length = 68;                    // bytes of the transfer, trailer included
  uint8_t status = 0;                      // receive status byte
  std::optional<unsigned> trailer_length;  // length field of the trailer (else the true one)

  // set_filter, set_lookahead, set, query, set_multicast
  uint32_t filter = 0;
  uint32_t value = 0;
  uint32_t oid = 0;
  std::optional<uint32_t> buffer_length;  // InformationBufferLength to give instead
  std::vector<uint8_t> data;              // set, set_multicast: the bytes

  // device_fault
  RequestKind request = RequestKind::Any;
  DeviceFaultKind fault = DeviceFaultKind::Fail;
  std::optional<uint16_t> register_index;  // vendor requests: first register
  bool stall_endpoint = false;             // bulk: the endpoint halts (until reset)
  // host_fault
  AllocKind alloc = AllocKind::Pool;
  FaultTiming timing;
};

// A value an expectation compares with: exact, or at least / at most.
struct Bound {
  std::optional<int64_t> exact, min, max;
  bool holds(int64_t v) const {
    return (!exact || v == *exact) && (!min || v >= *min) && (!max || v <= *max);
  }
  std::string text() const;
};

enum class ExpectKind { Media, Frames, Oid, Statistic, Initialize, Reset };

struct Expectation {
  ExpectKind kind = ExpectKind::Media;
  size_t adapter = 0;
  unsigned line = 0;
  // media
  bool connect = true;
  std::optional<uint64_t> by_ms;     // media: at or before; oid: asked then
  std::optional<uint64_t> after_ms;  // media: at or after
  std::optional<Bound> count;        // media: how many (else at least one)
  // frames
  Direction direction = Direction::Receive;
  std::optional<TrafficKind> traffic;
  std::map<std::string, Bound> fates;  // delivered, filtered, refused, lost, dropped, ...
  // oid
  uint32_t oid = 0;
  uint32_t length = 64;
  std::optional<uint32_t> status;
  std::optional<Bound> value;
  std::optional<std::vector<uint8_t>> bytes;
  // statistic
  std::string name;
  // initialize, reset: which one (1-based; 0: every one)
  unsigned index = 0;
  bool refused = false;
  std::optional<uint64_t> within_ms;
};

struct Scenario {
  std::string name = "scenario";
  std::string source = "scenario";  // file name, for messages
  uint64_t duration_ms = 30000;
  uint64_t seed = 1;
  BusSpeedSetting bus = BusSpeedSetting::Full;
  CompletionSetting completion = CompletionSetting::Frame;
  bool wire_limit = true;                // frames take their time on the wire at the link's rate
  std::vector<AdapterSetting> adapters;  // at least one
  std::vector<Event> events;             // sorted by time, stable
  std::vector<Expectation> expectations;
  bool check_invariants = true;

  // The first adapter, for one-adapter scenarios.
  AdapterSetting& adapter() { return adapters.front(); }
  const AdapterSetting& adapter() const { return adapters.front(); }
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

// Names used in files, the event log and messages.
const char* action_name(Action a);
const char* traffic_kind_name(TrafficKind k);
const char* request_kind_name(RequestKind k);
const char* device_fault_name(DeviceFaultKind k);
const char* alloc_kind_name(AllocKind k);
// OIDs by name ("OID_GEN_LINK_SPEED"); "" for an unknown number.
std::optional<uint32_t> oid_by_name(const std::string& name);
std::string oid_name(uint32_t oid);
// NDIS packet-filter bits by name ("directed", "broadcast", ...).
std::optional<uint32_t> filter_bit(const std::string& name);

// The scenario as a file that parses back to the same runs (the soak writes
// the events up to a failure with it).
std::string write_scenario(const Scenario& s);

}  // namespace usbeth::sim
