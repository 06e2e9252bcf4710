// Boards as data: which PHYs sit at which MII addresses, what the EEPROM
// holds, the bus speed, the USB descriptors (honest or not), the timing of
// the slow parts, and what is at the other end of each PHY's cable.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "hw/usb_device.h"

namespace hw {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kMicrosecond = 1000;
constexpr uint64_t kMillisecond = 1000 * kMicrosecond;
constexpr uint64_t kSecond = 1000 * kMillisecond;

using MacAddress = std::array<uint8_t, 6>;

// PHY identifiers as the driver forms them: register 2 << 16 | register 3,
// revision nibble cleared.
namespace phyid {
constexpr uint32_t kEthernetA = 0x00406210;
constexpr uint32_t kEthernetB = 0x00437410;
constexpr uint32_t kEthernetC = 0x00225610;
constexpr uint32_t kEthernetD = 0x00225410;
constexpr uint32_t kHomeA = 0x00006B90;
constexpr uint32_t kHomeB = 0x20005C20;
constexpr uint32_t kIsolatedKind = 0x00006B70;
}  // namespace phyid

// What is at the far end of a PHY's cable.
struct LinkPartnerConfig {
  bool plugged = true;          // cable in and the far end powered
  bool autoneg = true;          // the far end negotiates
  uint16_t abilities = 0x01E0;  // technology bits as in MII register 4 (0x0020..0x0100)
                                // when not negotiating, the highest bit is its fixed mode
  bool home_network = false;    // home-network PHYs: other stations on the line
  MacAddress mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
  bool echo = false;  // answer every frame received with dst/src swapped
  uint64_t echo_delay_ns = 100 * kMicrosecond;
};

// Delays of the slow parts. kNever: the done bit never comes.
struct TimingConfig {
  uint64_t eeprom_ns = 100 * kMicrosecond;
  bool eeprom_done_bit_stuck = false;  // the word arrives but the done bit never shows
  uint16_t eeprom_stuck_words = 0;     // bit i: the same, for word i only
  uint64_t mii_ns = 0;
  uint64_t mac_reset_ns = 100 * kMicrosecond;
  uint64_t phy_reset_ns = 300 * kMicrosecond;   // MII writes during it are ignored
  uint64_t autoneg_ns = 1500 * kMillisecond;    // also parallel detection
  uint64_t forced_link_ns = 50 * kMillisecond;  // link with auto-negotiation off
  uint64_t home_link_ns = 200 * kMillisecond;   // home-network PHYs
};

struct PhyConfig {
  uint8_t mii_address = 1;
  uint32_t id = phyid::kEthernetA;  // register 2 << 16 | register 3, revision included
  LinkPartnerConfig partner;
  // This PHY's own reset, negotiation and link times; the board's when empty.
  std::optional<TimingConfig> timing;
};

enum class EndpointKind : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct EndpointConfig {
  uint8_t address;  // with the direction bit (0x80 = IN)
  EndpointKind kind;
  uint16_t max_packet;  // 0: by bus speed (64 full, 512 high; interrupt 8)
  uint8_t interval;
};

struct DescriptorConfig {
  uint16_t vendor_id = 0x1209;
  uint16_t product_id = 0x0001;
  uint16_t bcd_device = 0x0100;
  bool remote_wakeup_capable = true;
  // In descriptor order; the driver takes pipes by position.
  std::vector<EndpointConfig> endpoints = {
      {0x81, EndpointKind::Bulk, 0, 0},
      {0x02, EndpointKind::Bulk, 0, 0},
      {0x83, EndpointKind::Interrupt, 0, 1},
  };
  // Vendor-specific filler descriptors (type 0xFF), up to 255 bytes each,
  // totalling pad_bytes, placed after the endpoints or between the interface
  // and its endpoints.
  size_t pad_bytes = 0;
  bool pad_before_endpoints = false;
  // Lies, for robustness tests.
  int zero_length_descriptor = -1;  // index (0 config, 1 interface, 2.. endpoints) given bLength 0
  bool last_runs_past_end = false;  // the last descriptor's bLength overruns the blob
  std::optional<uint16_t> total_length;  // wTotalLength to report instead of the real one
  int zero_max_packet_endpoint = -1;     // index into endpoints whose wMaxPacketSize reads 0
  uint8_t configuration_value = 1;       // bConfigurationValue, the one SET_CONFIGURATION takes
};

struct BoardConfig {
  std::string name;
  std::vector<PhyConfig> phys;        // up to ten, distinct MII addresses 0..31
  std::array<uint16_t, 16> eeprom{};  // words 0..2: station address, low byte first
  BusSpeed speed = BusSpeed::Full;
  DescriptorConfig descriptors;
  TimingConfig timing;
  size_t rx_fifo_bytes = 8192;        // each queued frame takes its length + 8
  bool require_configuration = true;  // bulk endpoints stall until SET_CONFIGURATION 1
  // Each frame takes its time on the wire at the link's rate (preamble, frame
  // padded to 60 bytes, FCS and inter-frame gap); false: frames take no time.
  bool wire_at_link_rate = true;
  // Frames a link partner holds for its wire; it drops what comes beyond.
  size_t partner_queue_frames = 64;
  // The board keeps every frame on its wires for wire_frames(); a user that
  // watches the wire tap instead turns it off and saves a copy per frame.
  bool keep_wire_log = true;
};

// Nanoseconds a frame of `frame_bytes` (destination to payload, no FCS)
// occupies a wire at `mbps`, with its preamble, FCS and the inter-frame gap
// after it; 0 when the rate is 0 (no link).
uint64_t WireTimeNs(size_t frame_bytes, int mbps);

// EEPROM image holding the station address in words 0..2.
std::array<uint16_t, 16> EepromWithAddress(const MacAddress& mac);

// Ready-made boards. Station address 02:00:00:00:00:01 unless changed.
namespace boards {
BoardConfig SingleEthernet(uint32_t id = phyid::kEthernetA);  // PHY at MII 1
BoardConfig EthernetAndHome();        // 0x00406210 at MII 1, 0x00006B90 at MII 3
BoardConfig HomeWithIsolated();       // 0x00006B70 at MII 1, 0x00006B90 at MII 3
BoardConfig SingleHome(uint32_t id);  // home PHY at MII 1, home network present
BoardConfig FivePhys();               // MII 0, 2, 4, 6, 8
BoardConfig NoPhy();
}  // namespace boards

}  // namespace hw
