// The adapter as a whole: a USB device whose vendor requests reach the
// controller's register file, with the EEPROM and the MII bus behind it, the
// PHYs on that bus, the MAC between the bulk pipes and the wire, and a
// scriptable link partner at the far end of each PHY's cable.
//
// The wire runs at the link's rate (BoardConfig::wire_at_link_rate): a frame
// occupies it for its preamble, bytes, FCS and inter-frame gap. The MAC puts
// a frame taken from a bulk-out transfer on the wire at once when the wire is
// free, else holds it until the frame before it has gone; while it holds one,
// a new bulk-out transfer is NAKed, so back-pressure reaches the pipe. (The
// held frame is recorded and handed to the wire tap when the MAC takes it,
// stamped with the time it starts.) A partner's frames come one after the
// other at the same rate.
//
// The board is passive. Everything time-dependent (done bits, resets, link
// establishment, scripted partner events and traffic) is held as due times
// and evaluated, in time order, against the clock whenever anyone calls in.
// Every public method takes the board's lock, once a call (once for all the
// packets of a bulk transfer), so several threads may call in;
// the wire tap is called after the lock is released and may call back in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "hw/board_config.h"
#include "hw/phy.h"
#include "hw/usb_device.h"

namespace hw {

// One register changed by a vendor write (0xF1) request.
struct RegisterWrite {
  uint64_t time_ns;
  uint8_t reg;
  uint8_t value;
  uint64_t request;      // sequence number of the control request, from 1
  uint16_t first;        // wIndex of that request
  uint16_t count;        // wLength of that request
  uint16_t setup_value;  // wValue of that request
};

// One vendor read (0xF0) request and the bytes it returned.
struct RegisterRead {
  uint64_t time_ns;
  uint64_t request;
  uint16_t first;
  uint16_t count;
  std::vector<uint8_t> data;
};

// Every control request, standard or vendor, and how it ended.
struct ControlRecord {
  uint64_t time_ns;
  uint64_t request;
  SetupPacket setup;
  Handshake handshake;
  size_t actual;
};

enum class WireDirection { ToPartner, FromPartner };

struct WireFrame {
  uint64_t time_ns;
  uint8_t mii_address;  // the PHY whose cable carried it
  WireDirection direction;
  std::vector<uint8_t> bytes;  // destination first, no frame check sequence
};

// Where a frame ended inside the adapter, when it did not simply pass.
enum class FrameFate {
  TxNoLink,           // no PHY with link carries traffic
  TxDisabled,         // transmitter disabled or MAC in reset
  RxNoLink,           // its PHY carried no traffic
  RxContention,       // two PHYs drove the receive data lines
  RxDisabled,         // receiver disabled or MAC in reset
  RxFiltered,         // refused by the address filter
  RxTooLong,          // would not fit a receive transfer
  RxFifoOverflow,     // no room in the receive FIFO
  RxPartnerBusy,      // dropped by the link partner: its queue for the wire was full
  RxFlushed,          // dropped from the FIFO by a controller reset
  RxStreamDiscarded,  // partly read when the bulk-in endpoint was reset
  RxReadOut,          // read out whole on the bulk-in pipe (it reached the host)
};

struct FrameFateRecord {
  uint64_t time_ns;
  FrameFate fate;
  std::vector<uint8_t> bytes;  // the frame, destination first, no trailer
};

struct PhyState {
  bool present = false;
  bool link_up = false;
  bool an_complete = false;
  bool isolated = false;
  bool powered_down = false;
  bool in_reset = false;
  bool carries_traffic = false;
  int speed_mbps = 0;
  bool full_duplex = false;
  bool duplex_mismatch = false;
  uint32_t writes_ignored_in_reset = 0;
};

struct Counters {
  // The wire.
  uint64_t wire_tx_frames = 0;  // frames the MAC put on a wire
  uint64_t wire_tx_bytes = 0;
  uint64_t wire_rx_frames = 0;  // frames the link partners sent
  uint64_t wire_rx_bytes = 0;
  // Transmit side: bulk-out transfers and what became of them.
  uint64_t tx_transfers = 0;  // transfers of one byte or more
  uint64_t tx_zero_length_transfers = 0;
  uint64_t tx_dropped_no_link = 0;     // no PHY with link carries traffic
  uint64_t tx_dropped_disabled = 0;    // transmitter disabled or MAC in reset
  uint64_t tx_bad_length = 0;          // prefix 0, above 1514, or transfer under 2 bytes
  uint64_t tx_short_transfers = 0;     // prefix longer than the bytes that followed it
  uint64_t tx_trailing_discarded = 0;  // transfers with bytes beyond frame and padding
  uint64_t tx_oversize_transfers = 0;  // no transfer end within 2048 bytes
  // Receive side.
  uint64_t rx_lost_no_link = 0;      // sent by a partner while its PHY carried no traffic
  uint64_t rx_partner_dropped = 0;   // offered faster than the partner's wire carries them
  uint64_t rx_mii_contention = 0;    // two PHYs driving the data path at once
  uint64_t rx_dropped_disabled = 0;  // receiver disabled or MAC in reset
  uint64_t rx_filtered = 0;          // refused by the address filter
  uint64_t rx_too_long = 0;          // would not fit a 1536-byte read
  uint64_t rx_fifo_frames = 0;       // queued for the bulk-in pipe
  uint64_t rx_fifo_overflows = 0;
  uint64_t rx_flushed = 0;           // dropped from the FIFO by a controller reset
  uint64_t rx_stream_discarded = 0;  // partly read frames dropped by an endpoint reset
  // USB.
  uint64_t control_requests = 0;
  uint64_t control_stalls = 0;
  uint64_t bulk_in_packets = 0;
  uint64_t bulk_out_packets = 0;
  std::map<uint8_t, uint64_t> endpoint_bytes;  // by endpoint address, direction bit included
  uint64_t eeprom_commands = 0;
  uint64_t mii_commands = 0;
};

class Board : public UsbDevice {
 public:
  Board(BoardConfig config, Clock clock);
  ~Board() override;
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // UsbDevice.
  ControlResult control(const SetupPacket& setup, uint8_t* data) override;
  Handshake bulk_out(uint8_t endpoint, const uint8_t* data, size_t len) override;
  Handshake bulk_in(uint8_t endpoint, uint8_t* buf, size_t max_packet, size_t& len) override;
  BulkPackets bulk_out_packets(uint8_t endpoint, const uint8_t* data, size_t len, size_t mps,
                               unsigned max_packets) override;
  BulkPackets bulk_in_packets(uint8_t endpoint, uint8_t* buf, size_t room, size_t mps,
                              unsigned max_packets) override;
  void reset_endpoint(uint8_t endpoint_address) override;
  BusSpeed speed() const override { return config_.speed; }
  // The bulk-in endpoint NAKs until its FIFO gets a frame, which only a due
  // event (a partner's frame, an echo) or a call from outside the bus does;
  // the bulk-out endpoint NAKs until the frame the MAC holds starts;
  // the interrupt endpoint NAKs until a call changes the configuration or
  // halts it. Every public method that changes the board, other than the
  // bus's own, calls the change hook.
  uint64_t naks_until(uint8_t endpoint_address) override;
  void set_change_hook(std::function<void()> hook) override;

  const BoardConfig& config() const { return config_; }
  std::vector<uint8_t> device_descriptor() const { return device_descriptor_; }
  std::vector<uint8_t> configuration_descriptor() const { return configuration_descriptor_; }
  uint8_t bulk_in_endpoint() const { return bulk_in_ep_; }    // address, 0x80 included
  uint8_t bulk_out_endpoint() const { return bulk_out_ep_; }  // address
  uint16_t max_packet(uint8_t endpoint_address) const;        // 0 for an unknown endpoint

  // USB device state.
  uint8_t configuration();
  bool remote_wakeup_enabled();
  bool endpoint_halted(uint8_t endpoint_address);
  void halt_endpoint(uint8_t endpoint_address);  // as a device error would

  // Controller registers and logs.
  uint8_t peek_register(uint8_t reg);
  std::vector<uint8_t> peek_registers(uint8_t first, size_t count);
  std::vector<RegisterWrite> register_writes();
  std::vector<uint8_t> values_written_to(uint8_t reg);  // in order
  std::vector<RegisterRead> register_reads();
  std::vector<ControlRecord> control_log();
  void clear_logs();
  std::array<uint16_t, 16> eeprom();

  // PHYs, by MII address; an empty address reads 0xFFFF.
  uint16_t peek_phy(uint8_t mii_address, uint8_t reg);
  uint16_t peek_phy_page(uint8_t mii_address, uint16_t page, uint8_t reg);
  PhyState phy_state(uint8_t mii_address);
  // The first PHY (in the board's order) that carries traffic now, if any.
  std::optional<uint8_t> phy_carrying_traffic();
  // MII address of the board's first PHY (0 when there is none).
  uint8_t first_phy_address() const;

  // The far end of a PHY's cable. Times are absolute nanoseconds on the
  // board's clock; a time already past (0 included) means now.
  void plug(uint8_t mii_address, bool plugged, uint64_t at_ns = 0);
  void set_partner_abilities(uint8_t mii_address, uint16_t abilities, bool autoneg,
                             uint64_t at_ns = 0);
  void set_home_network(uint8_t mii_address, bool present, uint64_t at_ns = 0);
  void set_echo(uint8_t mii_address, bool on, uint64_t delay_ns = 100 * kMicrosecond);
  void send_from_partner(uint8_t mii_address, std::vector<uint8_t> frame, uint64_t at_ns = 0);
  // The partner's frames due by now that wait for its cable to be free (at
  // most BoardConfig::partner_queue_frames; it drops what comes beyond).
  size_t partner_frames_waiting(uint8_t mii_address);
  // Whether a frame sent from the partner now would be taken (sent at once or
  // queued) rather than dropped; a caller that asks first need not build the
  // frames the partner would drop, and counts them with partner_drops().
  bool partner_takes_frame(uint8_t mii_address);
  void partner_drops(size_t frames = 1);
  // All of that in one call, as a traffic generator offers a frame now: the
  // partner on the cable of the first PHY carrying traffic (else of the PHY
  // `fallback` names) takes the frame `build` makes, or drops it unbuilt.
  // Returns the PHY and whether the frame was taken. Both callbacks run
  // under the board's lock and must not call back in.
  struct PartnerOffer {
    uint8_t mii_address;
    bool taken;
  };
  PartnerOffer offer_from_partner(const std::function<uint8_t()>& fallback,
                                  const std::function<std::vector<uint8_t>()>& build);
  // Every frame on the wires since the last clear_logs() (none when
  // BoardConfig::keep_wire_log is off; the wire tap sees them all anyway).
  std::vector<WireFrame> wire_frames();
  std::vector<WireFrame> frames_sent_to_partner();
  void set_wire_tap(std::function<void(const WireFrame&)> tap);

  // Faults on the receive side: the next `frames` frames queued for the
  // bulk-in pipe carry these status bits; or a wrong CRC and bit 0x08.
  void inject_rx_status(uint8_t bits, unsigned frames);
  void inject_crc_errors(unsigned frames);
  // Queues `bytes` as one bulk-in transfer exactly as given (frame, CRC and
  // trailer are the caller's, lies included); it goes behind the frames
  // already queued and takes no FIFO room; a controller reset drops it with
  // them. An empty one is a zero-length transfer.
  void inject_bulk_in_transfer(std::vector<uint8_t> bytes);
  // Called, after the board's lock is released, for every frame that ends
  // somewhere other than the wire or the FIFO, and for every frame read out
  // whole on the bulk-in pipe.
  void set_fate_tap(std::function<void(const FrameFateRecord&)> tap);

  // The device unplugged and plugged back in: a bus reset puts the USB side
  // back to its power-on state (unconfigured, no halted endpoint, remote
  // wake-up off, nothing half-transferred); the controller keeps running.
  void usb_reset();

  // A lying or failing device, for robustness tests. Each vendor register
  // request for which the rule answers true is stalled instead of carried out
  // (the rule runs under the board's lock and must not call back in; an empty
  // rule clears it). Raw bulk-in transfers: inject_bulk_in_transfer.
  void set_vendor_stall_rule(std::function<bool(const SetupPacket&)> rule);

  Counters counters();
  size_t rx_fifo_frames();
  size_t rx_fifo_bytes();
  // Brings every time-dependent state up to the clock.
  void advance();

 private:
  class Session;
  struct ScriptItem {
    enum class Kind { Plug, Abilities, HomeNetwork, Frame } kind;
    uint8_t mii_address = 0;
    bool flag = false;  // plugged, autoneg, home network present
    uint16_t abilities = 0;
    std::vector<uint8_t> frame;
  };
  struct MiiOp {
    bool write;
    uint8_t address;
    uint8_t reg;
    uint16_t value;
  };

  uint64_t Now();
  void AdvanceLocked();
  uint64_t NextEventLocked() const;
  void FireAt(uint64_t t);
  void RunScriptItem(ScriptItem& item, uint64_t t);
  void Schedule(uint64_t at, ScriptItem item);

  Phy* FindPhy(uint8_t mii_address);
  bool EndpointKnown(uint8_t endpoint_address) const;
  bool BulkAllowed(uint8_t endpoint_address) const;

  ControlResult StandardRequest(const SetupPacket& setup, uint8_t* data);
  ControlResult VendorRequest(const SetupPacket& setup, uint8_t* data, uint64_t request);
  void WriteRegister(uint8_t reg, uint8_t value);
  void ApplyPhyPins();
  void FinishMiiOp(uint64_t t);
  void FinishEepromOp();

  Handshake BulkOutLocked(uint8_t endpoint, const uint8_t* data, size_t len);
  Handshake BulkInLocked(uint8_t endpoint, uint8_t* buf, size_t max_packet_size, size_t& len);
  void EndTransfer();
  // The MAC takes a frame for the wire: it starts at once when the wire is
  // free, else when the one before it has left, and until it starts the
  // bulk-out pipe NAKs a new transfer.
  void TakeForWire(std::vector<uint8_t> frame);
  void Transmit(std::vector<uint8_t> frame, uint64_t t);
  // A partner's frame reaches its cable at t: it starts when the cable is
  // free of the partner's frames before it.
  void PartnerSends(uint8_t mii_address, std::vector<uint8_t> frame, uint64_t t);
  bool PartnerTakesLocked(uint8_t mii_address) const;
  void StartFromPartner(uint8_t mii_address, std::vector<uint8_t> frame, uint64_t t);
  void RecordWire(WireFrame frame);
  void FrameFromPartner(uint8_t mii_address, std::vector<uint8_t> frame, uint64_t t);
  void ReceiveFromWire(uint8_t mii_address, const std::vector<uint8_t>& frame);
  void ReceiveIntoFifo(const std::vector<uint8_t>& frame);
  bool AddressFilterPasses(const uint8_t* dst) const;
  void FlushFifo();
  void FinishInFrame();
  // The frame being read went out whole: its fate is told and it is done.
  void ReadOutInFrame();

  BoardConfig config_;
  Clock clock_;
  std::mutex mu_;
  uint64_t now_ = 0;

  std::vector<uint8_t> device_descriptor_;
  std::vector<uint8_t> configuration_descriptor_;
  uint8_t bulk_in_ep_ = 0x81;
  uint8_t bulk_out_ep_ = 0x02;
  uint8_t interrupt_ep_ = 0x83;

  // USB device state.
  uint8_t usb_address_ = 0;
  uint8_t configuration_ = 0;
  bool remote_wakeup_ = false;
  std::set<uint8_t> halted_;
  uint64_t request_seq_ = 0;

  // Controller.
  std::array<uint8_t, 256> regs_{};
  std::array<uint16_t, 16> eeprom_{};
  uint64_t mac_reset_until_ = kNever;
  uint64_t eeprom_done_at_ = kNever;
  uint8_t eeprom_command_ = 0;
  uint64_t mii_done_at_ = kNever;
  MiiOp mii_op_{};
  std::vector<std::unique_ptr<Phy>> phys_;

  // The wire, at the link's rate. A frame the MAC takes is given its start
  // on the wire at once (recorded and tapped then, with that start time),
  // so it goes out whether or not anyone calls in again; the MAC holds one
  // frame that has not started yet. Each partner's cable carries one frame
  // after another.
  uint64_t tx_last_start_ = 0;
  uint64_t tx_wire_free_at_ = 0;
  struct RxWire {
    uint64_t free_at = 0;
    std::deque<std::vector<uint8_t>> waiting;
  };
  std::map<uint8_t, RxWire> rx_wire_;  // by MII address

  // MAC.
  std::vector<uint8_t> out_transfer_;  // packets of the bulk-out transfer so far
  bool out_overrun_ = false;           // discarding an overlong transfer to its end
  std::deque<std::vector<uint8_t>> fifo_;
  size_t fifo_bytes_ = 0;
  std::vector<uint8_t> in_frame_;  // the frame being read on the bulk-in pipe
  size_t in_pos_ = 0;
  bool in_zero_length_due_ = false;
  unsigned inject_status_frames_ = 0;
  uint8_t inject_status_bits_ = 0;
  unsigned inject_crc_frames_ = 0;
  std::function<bool(const SetupPacket&)> vendor_stall_rule_;
  std::shared_ptr<const std::function<void()>> change_hook_;  // shared with calls under way

  // Link partners' scripts, by (due time, order of scheduling).
  std::multimap<std::pair<uint64_t, uint64_t>, ScriptItem> script_;
  uint64_t script_seq_ = 0;

  std::vector<RegisterWrite> writes_;
  std::vector<RegisterRead> reads_;
  std::vector<ControlRecord> control_log_;
  std::vector<WireFrame> wire_;
  std::vector<WireFrame> tap_pending_;
  std::shared_ptr<const std::function<void(const WireFrame&)>> tap_;
  std::vector<FrameFateRecord> fate_pending_;
  std::shared_ptr<const std::function<void(const FrameFateRecord&)>> fate_tap_;
  std::deque<bool> raw_entries_;  // per FIFO entry: injected as is (takes no FIFO room)
  bool in_frame_raw_ = false;
  void Fate(FrameFate fate, const std::vector<uint8_t>& bytes, size_t trailer);
  void Fate(FrameFate fate, std::vector<uint8_t>&& bytes, size_t trailer);
  Counters counters_;
};

}  // namespace hw
