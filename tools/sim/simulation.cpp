#include "simulation.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "board_mapping.h"
#include "hw/board.h"
#include "miniport/adapter.h"
#include "miniport/miniport.h"
#include "ndis/ndis.h"
#include "ndis/protocol.h"
#include "sim/kernel.h"
#include "traffic.h"
#include "usb/bus_driver.h"
#include "wire_pcap.h"

namespace usbeth::sim {
namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kSec = 1'000'000'000;

uint64_t now_ns() {
  return host::Kernel::get().scheduler().now();
}

// The protocol bound above the adapter: its indications go to the run.
class SimProtocol : public host::ndis::Protocol {
 public:
  using Protocol::Protocol;
  std::function<void(const std::vector<uint8_t>&, NDIS_STATUS)> on_receive;
  std::function<void(NDIS_STATUS)> on_status;

  bool receive(host::ndis::Miniport&, PNDIS_PACKET, NDIS_STATUS status, UINT,
               std::vector<uint8_t> data) override {
    if (on_receive) on_receive(data, status);
    return false;  // copied here; never kept
  }
  void status(host::ndis::Miniport& m, NDIS_STATUS code, const void* b, UINT s) override {
    Protocol::status(m, code, b, s);
    if (on_status) on_status(code);
  }
  void send_complete(host::ndis::Miniport& m, PNDIS_PACKET p, NDIS_STATUS status) override {
    Protocol::send_complete(m, p, status);
    ++completed_by_status[status];
  }
  uint64_t completed(NDIS_STATUS status) const {
    auto it = completed_by_status.find(status);
    return it == completed_by_status.end() ? 0 : it->second;
  }
  uint64_t completed_total() const {
    uint64_t n = 0;
    for (const auto& [status, count] : completed_by_status)
      n += count;
    return n;
  }
  // Every send completion, by status, for the whole run.
  std::map<NDIS_STATUS, uint64_t> completed_by_status;
};

struct Stream {
  bool transmit = true;
  unsigned frame_size = 512;
  uint64_t interval_ns = kMs;
  uint64_t next_ns = 0;
  uint64_t end_ns = kNever;
};

struct PhyView {
  bool up = false;
  int speed = 0;
  bool full = false;
};

struct Totals {  // one second of traffic
  uint64_t tx_frames = 0, tx_bytes = 0, rx_frames = 0, rx_bytes = 0;
  bool any() const { return tx_frames || rx_frames; }
};

const char* direction_name(Direction d) {
  switch (d) {
    case Direction::Transmit:
      return "tx";
    case Direction::Receive:
      return "rx";
    case Direction::Both:
      return "both";
  }
  return "both";
}

// What the run is doing, for the watchdog.
struct Progress {
  std::atomic<uint64_t> beat{0};
  std::atomic<const char*> what{"starting"};
};

// Ends a run whose step has not come back within the limit (a driver stuck
// in a loop that never returns to the run): the process cannot be unwound
// from there, so it says where it was and exits.
class Watchdog {
 public:
  Watchdog(unsigned seconds, Progress& progress) : seconds_(seconds), progress_(progress) {
    if (seconds_) thread_ = std::thread([this] { Watch(); });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t seen = progress_.beat;
    auto since = std::chrono::steady_clock::now();
    while (!done_) {
      cv_.wait_for(lock, std::chrono::seconds(1));
      if (progress_.beat != seen) {
        seen = progress_.beat;
        since = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - since > std::chrono::seconds(seconds_)) {
        std::fprintf(
            stderr, "usbeth-sim: stuck for %u s of real time while %s (virtual time %.3f s)\n",
            seconds_, progress_.what.load(), host::Kernel::current() ? now_ns() / 1e9 : 0.0);
        std::fflush(stderr);
        std::_Exit(kExitBugCheck);
      }
    }
  }
  unsigned seconds_;
  Progress& progress_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

class Run {
 public:
  Run(const Scenario& s, const SimOptions& o) : s_(s), o_(o) {}

  SimResult Go() {
    Watchdog watchdog(o_.stuck_after_seconds, step_);
    try {
      if (!Assemble()) return std::move(result_);
      Initialize();
      if (initialized_) Loop();
      if (initialized_ && !halted_) Halt("end of the scenario");
    } catch (const host::BugCheck& e) {
      Emit(Make("bug_check").add("code", e.code).add("message", e.message));
      Fail(kExitBugCheck, "bug check " + e.code + ": " + e.message);
      if (ndis_) ndis_->abandon();
      if (kernel_) kernel_->set_check_leaks_on_destroy(false);
    }
    if (wire_) {
      wire_->flush();
      result_.wire_capture_frames = wire_->frames();
    }
    Teardown();
    return std::move(result_);
  }

 private:
  Record Make(const std::string& kind) {
    Record r;
    r.time_ns = host::Kernel::current() ? now_ns() : 0;
    r.kind = kind;
    return r;
  }
  void Emit(Record r) {
    if (o_.on_record) o_.on_record(r);
    result_.records.push_back(std::move(r));
  }
  void Fail(int code, const std::string& why) {
    if (result_.exit_code == kExitClean) {
      result_.exit_code = code;
      result_.failure = why;
    }
  }

  bool Assemble() {
    host::KernelOptions k;
    k.mode = host::Mode::Deterministic;
    k.seed = o_.seed.value_or(s_.seed);
    k.bug_check_throws = true;
    kernel_ = host::Kernel::create(k);
    ndis_ = std::make_unique<host::ndis::Library>();
    board_ = std::make_unique<hw::Board>(board_for(s_), [] { return now_ns(); });
    host::usb::BusOptions bus;
    bus.unthrottled = s_.bus == BusSpeedSetting::Unthrottled;
    bus_ = std::make_unique<host::usb::BusDriver>(*board_, bus);
    std::string error;
    if (!o_.usb_pcap.empty() && !bus_->start_capture(o_.usb_pcap, &error)) {
      Fail(kExitBadInput, error.empty() ? o_.usb_pcap + ": cannot be written" : error);
      return false;
    }
    if (!o_.wire_pcap.empty()) {
      wire_ = EthernetPcapWriter::open(o_.wire_pcap, &error);
      if (!wire_) {
        Fail(kExitBadInput, error);
        return false;
      }
    }
    board_->set_wire_tap([this](const hw::WireFrame& f) { OnWire(f); });
    std::string phys;
    for (const PhySetting& p : s_.phys) {
      char buf[40];
      snprintf(buf, sizeof buf, "%s%u:%08X", phys.empty() ? "" : " ", p.address, p.id);
      phys += buf;
      phy_view_[p.address] = {};
    }
    Emit(Make("start")
             .add("scenario", s_.name)
             .add("seed", kernel_->scheduler().seed())
             .add("bus", bus_name(s_.bus))
             .add("phys", phys.empty() ? std::string("none") : phys));
    NTSTATUS loaded = ndis_->load_driver(DriverEntry);
    if (loaded != STATUS_SUCCESS) {
      Fail(kExitBadTraffic, "DriverEntry failed");
      return false;
    }
    host::ndis::AdapterSetup setup;
    setup.lower_device = bus_->device_object();
    setup.registry = registry_for(s_);
    setup.name = "usbeth0";
    miniport_ = &ndis_->add_adapter(std::move(setup));
    host::ndis::Protocol::Options po;
    po.keep_received_packets = false;
    protocol_ = std::make_unique<SimProtocol>(*miniport_, po);
    protocol_->on_receive = [this](const std::vector<uint8_t>& d, NDIS_STATUS st) {
      OnReceive(d, st);
    };
    protocol_->on_status = [this](NDIS_STATUS code) {
      if (code == NDIS_STATUS_MEDIA_CONNECT || code == NDIS_STATUS_MEDIA_DISCONNECT) {
        media_.push_back({now_ns(), code});
      }
    };
    return true;
  }

  void Initialize() {
    NDIS_STATUS status = miniport_->initialize();
    Record r = Make("initialize");
    r.add("status", static_cast<int64_t>(status));
    if (status != NDIS_STATUS_SUCCESS) {
      r.add("error", "the adapter did not start");
      Emit(r);
      Fail(kExitBadTraffic, "miniport initialize failed");
      return;
    }
    initialized_ = true;
    auto addr = protocol_->query(OID_802_3_CURRENT_ADDRESS, 6);
    if (addr->status == NDIS_STATUS_SUCCESS && addr->bytes_done == 6) {
      std::copy_n(addr->buffer.begin(), 6, station_.begin());
    }
    r.add("address", format_mac(station_.data()));
    Emit(r);
    // What every protocol does once bound: choose which frames to receive.
    protocol_->set_ulong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED |
                                                            NDIS_PACKET_TYPE_MULTICAST |
                                                            NDIS_PACKET_TYPE_BROADCAST);
    next_second_ = (now_ns() / kSec + 1) * kSec;
    Observe();
  }

  void Loop() {
    const uint64_t end = s_.duration_ms * kMs;
    size_t next_event = 0;
    uint64_t next_sample = (now_ns() / o_.sample_ns + 1) * o_.sample_ns;
    while (!halted_) {
      step_.what = "running the scenario";
      step_.beat++;
      uint64_t t = std::min(next_sample, end);
      if (next_event < s_.events.size()) t = std::min(t, s_.events[next_event].at_ms * kMs);
      for (const Stream& st : streams_)
        t = std::min({t, st.next_ns, st.end_ns});
      uint64_t now = now_ns();
      if (t > now) kernel_->scheduler().run_for(t - now);
      now = now_ns();
      while (next_sample <= now)
        next_sample += o_.sample_ns;
      Observe();
      if (now >= end) break;
      while (next_event < s_.events.size() && s_.events[next_event].at_ms * kMs <= now &&
             !halted_) {
        Apply(s_.events[next_event++]);
      }
      if (halted_) break;
      Pump(now);
    }
  }

  // Sends what the streams owe up to `now` and ends finished streams.
  void Pump(uint64_t now) {
    for (Stream& st : streams_) {
      while (st.next_ns <= now && st.next_ns < st.end_ns) {
        if (st.transmit) {
          SendOne(st.frame_size);
        } else {
          PartnerSendOne(st.frame_size);
        }
        st.next_ns += st.interval_ns;
      }
    }
    auto done = std::remove_if(streams_.begin(), streams_.end(),
                               [&](const Stream& st) { return st.end_ns <= now; });
    if (done != streams_.end()) {
      streams_.erase(done, streams_.end());
      if (streams_.empty()) Emit(Make("traffic_stop").add("direction", "duration over"));
    }
  }

  void SendOne(unsigned size) {
    uint32_t seq = tx_check_.next_sequence();
    auto frame = make_checked_frame(partner_mac_, station_, seq, size);
    if (protocol_->send(frame, {}, host::ndis::CallOptions{DISPATCH_LEVEL}) == 0) {
      ++tx_refused_;
    } else {
      ++tx_since_reset_;
    }
  }

  void PartnerSendOne(unsigned size) {
    uint32_t seq = rx_check_.next_sequence();
    auto frame = make_checked_frame(station_, partner_mac_, seq, size);
    // The partner's MAC pads short frames to the Ethernet minimum.
    if (frame.size() < 60) frame.resize(60, 0);
    board_->send_from_partner(PartnerPhy(), std::move(frame), 0);
  }

  // The PHY whose cable carries the partner's frames: the one passing
  // traffic, else the one the driver chose.
  uint8_t PartnerPhy() {
    for (const PhySetting& p : s_.phys) {
      if (board_->phy_state(static_cast<uint8_t>(p.address)).carries_traffic) {
        return static_cast<uint8_t>(p.address);
      }
    }
    if (Adapter* a = adapter()) return a->ActivePhyAddress;
    return board_->first_phy_address();
  }

  Adapter* adapter() {
    if (!initialized_ || halted_) return nullptr;
    return static_cast<Adapter*>(miniport_->context());
  }

  void Apply(const Event& e) {
    uint8_t mii = static_cast<uint8_t>(e.phy);
    switch (e.action) {
      case Action::Plug:
      case Action::Unplug: {
        if (e.abilities_given) {
          board_->set_partner_abilities(mii, ability_bits(e.abilities), true);
          Emit(Make("abilities").add("phy", e.phy).add("abilities", ability_names(e.abilities)));
        }
        if (e.home_network) {
          board_->set_home_network(mii, *e.home_network);
          Emit(Make("home_network").add("phy", e.phy).add("present", *e.home_network));
        }
        board_->plug(mii, e.action == Action::Plug);
        Emit(Make(e.action == Action::Plug ? "plug" : "unplug").add("phy", e.phy));
        break;
      }
      case Action::Abilities:
        board_->set_partner_abilities(mii, ability_bits(e.abilities), true);
        Emit(Make("abilities").add("phy", e.phy).add("abilities", ability_names(e.abilities)));
        if (e.home_network) {
          board_->set_home_network(mii, *e.home_network);
          Emit(Make("home_network").add("phy", e.phy).add("present", *e.home_network));
        }
        break;
      case Action::Traffic: {
        uint64_t now = now_ns();
        uint64_t interval = std::max<uint64_t>(1, kSec / e.rate_pps);
        uint64_t end = e.duration_ms ? now + e.duration_ms * kMs : kNever;
        if (e.direction != Direction::Receive) {
          streams_.push_back({true, e.frame_size, interval, now, end});
        }
        if (e.direction != Direction::Transmit) {
          streams_.push_back({false, e.frame_size, interval, now, end});
        }
        Emit(Make("traffic")
                 .add("direction", direction_name(e.direction))
                 .add("frame_size", e.frame_size)
                 .add("rate_pps", e.rate_pps)
                 .add("duration_ms", e.duration_ms));
        break;
      }
      case Action::StopTraffic:
        streams_.clear();
        Emit(Make("traffic_stop").add("direction", "all"));
        break;
      case Action::BadStatus:
        board_->inject_crc_errors(e.count);
        Emit(Make("bad_status").add("count", e.count));
        break;
      case Action::Reset: {
        NDIS_STATUS status = protocol_->reset();
        Emit(Make("reset").add("status", static_cast<int64_t>(status)));
        // The driver zeroes its statistics on reset.
        tx_since_reset_ = 0;
        rx_since_reset_ = 0;
        break;
      }
      case Action::Halt:
        Halt("");
        break;
    }
  }

  void OnWire(const hw::WireFrame& f) {
    if (wire_) wire_->write(f.time_ns, f.bytes);
    if (f.direction != hw::WireDirection::ToPartner) return;
    second_.tx_frames++;
    second_.tx_bytes += f.bytes.size();
    CheckedFrame c = check_frame(f.bytes, partner_mac_, station_);
    if (c.check != FrameCheck::NotChecked) ++tx_copies_on_wire_;
    tx_check_.arrived(c, f.mii_address);
    if (c.check == FrameCheck::Corrupt) {
      Emit(Make("corrupt").add("direction", "tx").add("sequence", c.sequence));
    }
  }

  void OnReceive(const std::vector<uint8_t>& data, NDIS_STATUS) {
    second_.rx_frames++;
    second_.rx_bytes += data.size();
    ++rx_since_reset_;
    ++rx_indicated_;
    CheckedFrame c = check_frame(data, station_, partner_mac_);
    rx_check_.arrived(c);
    if (c.check == FrameCheck::Corrupt) {
      Emit(Make("corrupt").add("direction", "rx").add("sequence", c.sequence));
    }
  }

  // Looks at what changed since the last look: media indications, PHY links,
  // the active PHY, and a finished second of traffic.
  void Observe() {
    for (const auto& [at, code] : media_) {
      Record r = Make("media");
      r.time_ns = at;
      r.add("state", code == NDIS_STATUS_MEDIA_CONNECT ? "connect" : "disconnect");
      if (code == NDIS_STATUS_MEDIA_CONNECT && !halted_) {
        if (auto speed = protocol_->query_ulong(OID_GEN_LINK_SPEED)) {
          r.add("link_speed", static_cast<int64_t>(*speed));
        }
      }
      Emit(r);
    }
    media_.clear();
    for (auto& [mii, view] : phy_view_) {
      hw::PhyState st = board_->phy_state(mii);
      PhyView now{st.link_up, st.speed_mbps, st.full_duplex};
      if (now.up != view.up || now.speed != view.speed || now.full != view.full) {
        view = now;
        Emit(Make("phy_link")
                 .add("phy", static_cast<unsigned>(mii))
                 .add("up", now.up)
                 .add("speed_mbps", now.speed)
                 .add("full_duplex", now.full));
      }
    }
    if (Adapter* a = adapter()) {
      int active = a->ActivePhyAddress;
      uint32_t id = a->ActivePhyId;
      if (active != active_phy_ || id != active_id_) {
        active_phy_ = active;
        active_id_ = id;
        Emit(Make("active_phy")
                 .add("phy", active)
                 .add("id", static_cast<int64_t>(id))
                 .add("phy_kind", phy_kind(id)));
      }
    }
    uint64_t now = now_ns();
    if (now >= next_second_) {
      if (second_.any()) {
        Record r = Make("second");
        r.time_ns = next_second_;
        r.add("tx_frames", second_.tx_frames)
            .add("tx_bytes", second_.tx_bytes)
            .add("rx_frames", second_.rx_frames)
            .add("rx_bytes", second_.rx_bytes);
        Emit(r);
      }
      second_ = {};
      next_second_ = (now / kSec + 1) * kSec;
      // The run keeps its own records; bound the protocol's and the board's.
      protocol_->clear_records();
      board_->clear_logs();
    }
  }

  void Summarize() {
    Record r = Make("summary");
    struct Oid {
      const char* name;
      NDIS_OID oid;
    } oids[] = {
        {"OID_GEN_XMIT_OK", OID_GEN_XMIT_OK},
        {"OID_GEN_RCV_OK", OID_GEN_RCV_OK},
        {"OID_GEN_XMIT_ERROR", OID_GEN_XMIT_ERROR},
        {"OID_GEN_RCV_ERROR", OID_GEN_RCV_ERROR},
        {"OID_GEN_RCV_NO_BUFFER", OID_GEN_RCV_NO_BUFFER},
        {"OID_GEN_RCV_CRC_ERROR", OID_GEN_RCV_CRC_ERROR},
        {"OID_802_3_RCV_ERROR_ALIGNMENT", OID_802_3_RCV_ERROR_ALIGNMENT},
        {"OID_802_3_XMIT_ONE_COLLISION", OID_802_3_XMIT_ONE_COLLISION},
        {"OID_GEN_LINK_SPEED", OID_GEN_LINK_SPEED},
        {"OID_GEN_MEDIA_CONNECT_STATUS", OID_GEN_MEDIA_CONNECT_STATUS},
        {"OID_GEN_CURRENT_PACKET_FILTER", OID_GEN_CURRENT_PACKET_FILTER},
        {"OID_GEN_MAXIMUM_SEND_PACKETS", OID_GEN_MAXIMUM_SEND_PACKETS},
    };
    for (const Oid& o : oids) {
      if (auto v = protocol_->query_ulong(o.oid)) {
        r.add(o.name, static_cast<int64_t>(*v));
      } else {
        r.add(o.name, "not answered");
      }
    }
    // Every send the protocol made, by what became of it so far: completed
    // (by status), still in NDIS's queue, or still with the driver.
    const uint64_t tx_sent = tx_check_.sent() - tx_refused_;
    const uint64_t ok = protocol_->completed(NDIS_STATUS_SUCCESS);
    const uint64_t failed = protocol_->completed(NDIS_STATUS_FAILURE);
    const uint64_t resources = protocol_->completed(NDIS_STATUS_RESOURCES);
    const uint64_t other = protocol_->completed_total() - ok - failed - resources;
    const uint64_t queued = miniport_->sends_queued();
    const uint64_t in_driver = miniport_->sends_outstanding();
    tx_outcomes_add_up_ = ok + failed + resources + other + queued + in_driver == tx_sent;
    r.add("tx_sent", tx_sent)
        .add("tx_refused", tx_refused_)
        .add("tx_completed_success", ok)
        .add("tx_completed_failure", failed)
        .add("tx_completed_resources", resources)
        .add("tx_completed_other", other)
        .add("tx_queued_at_halt", queued)
        .add("tx_with_driver_at_halt", in_driver)
        .add("tx_refused_by_driver", miniport_->sends_refused())
        .add("tx_sent_since_reset", tx_since_reset_)
        .add("tx_on_wire_good", tx_check_.good())
        .add("tx_copies_on_wire", tx_copies_on_wire_)
        .add("tx_corrupt", tx_check_.corrupt())
        .add("tx_duplicated", tx_check_.duplicated())
        .add("rx_sent_by_partner", static_cast<uint64_t>(rx_check_.sent()))
        .add("rx_indicated", rx_indicated_)
        .add("rx_indicated_since_reset", rx_since_reset_)
        .add("rx_good", rx_check_.good())
        .add("rx_corrupt", rx_check_.corrupt())
        .add("rx_duplicated", rx_check_.duplicated());
    hw::Counters c = board_->counters();
    r.add("wire_tx_frames", c.wire_tx_frames)
        .add("wire_rx_frames", c.wire_rx_frames)
        .add("tx_dropped_no_link", c.tx_dropped_no_link)
        .add("rx_lost_no_link", c.rx_lost_no_link)
        .add("rx_mii_contention", c.rx_mii_contention)
        .add("rx_fifo_overflows", c.rx_fifo_overflows)
        .add("rx_filtered", c.rx_filtered);
    Emit(r);
    if (tx_check_.corrupt() || tx_check_.duplicated() || rx_check_.corrupt() ||
        rx_check_.duplicated()) {
      Fail(kExitBadTraffic, "frames arrived damaged or twice");
    }
    if (!tx_outcomes_add_up_) Fail(kExitBadTraffic, "the outcomes of the sends do not add up");
  }

  void Halt(const std::string& reason) {
    step_.what = "halting the adapter";
    step_.beat++;
    Record r = Make("halt");
    streams_.clear();
    // Let frames in flight land before the counters are read.
    kernel_->scheduler().run_for(50 * kMs);
    Observe();
    Summarize();
    miniport_->halt();
    halted_ = true;
    protocol_->close();
    ndis_->unload_driver();
    kernel_->check_leaks();
    if (!reason.empty()) r.add("reason", reason);
    r.add("leaks", false);
    Emit(r);
  }

  void Teardown() {
    protocol_.reset();
    ndis_.reset();
    bus_.reset();
    board_.reset();
    wire_.reset();
    kernel_.reset();
  }

  const Scenario& s_;
  const SimOptions& o_;
  Progress step_;
  SimResult result_;
  std::unique_ptr<host::Kernel> kernel_;
  std::unique_ptr<host::ndis::Library> ndis_;
  std::unique_ptr<hw::Board> board_;
  std::unique_ptr<host::usb::BusDriver> bus_;
  std::unique_ptr<EthernetPcapWriter> wire_;
  host::ndis::Miniport* miniport_ = nullptr;
  std::unique_ptr<SimProtocol> protocol_;
  bool initialized_ = false;
  bool halted_ = false;

  Mac station_{};
  Mac partner_mac_ = hw::LinkPartnerConfig{}.mac;
  std::vector<Stream> streams_;
  StreamCheck tx_check_, rx_check_;
  uint64_t tx_copies_on_wire_ = 0, tx_refused_ = 0, tx_since_reset_ = 0, rx_since_reset_ = 0,
           rx_indicated_ = 0;
  bool tx_outcomes_add_up_ = true;
  std::vector<std::pair<uint64_t, NDIS_STATUS>> media_;
  std::map<uint8_t, PhyView> phy_view_;
  int active_phy_ = -1;
  uint32_t active_id_ = 0;
  Totals second_;
  uint64_t next_second_ = kSec;
};

std::string summary_value(const Record& r, const std::string& key) {
  const Field* f = r.find(key);
  if (!f) return "-";
  if (auto v = std::get_if<int64_t>(&f->value)) return std::to_string(*v);
  if (auto s = std::get_if<std::string>(&f->value)) return *s;
  return std::get<bool>(f->value) ? "yes" : "no";
}

}  // namespace

SimResult run_simulation(const Scenario& scenario, const SimOptions& options) {
  return Run(scenario, options).Go();
}

std::vector<std::string> summary_lines(const Record& r) {
  std::vector<std::string> out;
  char line[256];
  out.push_back("Statistics reported by the driver (NDIS queries before halt):");
  int64_t speed = r.integer("OID_GEN_LINK_SPEED");
  snprintf(line, sizeof line, "  OID_GEN_LINK_SPEED            %s (%s)",
           summary_value(r, "OID_GEN_LINK_SPEED").c_str(),
           speed >= 10000 ? (std::to_string(speed / 10000) + " Mb/s").c_str() : "x 100 b/s");
  out.push_back(line);
  int64_t media = r.integer("OID_GEN_MEDIA_CONNECT_STATUS", -1);
  snprintf(line, sizeof line, "  OID_GEN_MEDIA_CONNECT_STATUS  %s (%s)",
           summary_value(r, "OID_GEN_MEDIA_CONNECT_STATUS").c_str(),
           media == 0   ? "connected"
           : media == 1 ? "disconnected"
                        : "?");
  out.push_back(line);
  for (const char* key : {"OID_GEN_XMIT_OK", "OID_GEN_RCV_OK", "OID_GEN_XMIT_ERROR",
                          "OID_GEN_RCV_ERROR", "OID_GEN_RCV_NO_BUFFER", "OID_GEN_RCV_CRC_ERROR",
                          "OID_802_3_RCV_ERROR_ALIGNMENT", "OID_802_3_XMIT_ONE_COLLISION",
                          "OID_GEN_CURRENT_PACKET_FILTER", "OID_GEN_MAXIMUM_SEND_PACKETS"}) {
    snprintf(line, sizeof line, "  %-29s %s", key, summary_value(r, key).c_str());
    out.push_back(line);
  }
  out.push_back("Traffic check (counted by the simulator):");
  snprintf(line, sizeof line,
           "  out: %s sent by the protocol (%s since the last reset), %s arrived intact on "
           "the wire, %s damaged, %s twice",
           summary_value(r, "tx_sent").c_str(), summary_value(r, "tx_sent_since_reset").c_str(),
           summary_value(r, "tx_on_wire_good").c_str(), summary_value(r, "tx_corrupt").c_str(),
           summary_value(r, "tx_duplicated").c_str());
  out.push_back(line);
  snprintf(line, sizeof line,
           "       completed: %s with success, %s with failure, %s with NDIS_STATUS_RESOURCES, "
           "%s with another status; at halt %s still queued in NDIS, %s with the driver",
           summary_value(r, "tx_completed_success").c_str(),
           summary_value(r, "tx_completed_failure").c_str(),
           summary_value(r, "tx_completed_resources").c_str(),
           summary_value(r, "tx_completed_other").c_str(),
           summary_value(r, "tx_queued_at_halt").c_str(),
           summary_value(r, "tx_with_driver_at_halt").c_str());
  out.push_back(line);
  snprintf(line, sizeof line,
           "       not sent: %s (no free packet in the protocol's pool); refusals by the driver "
           "for want of a descriptor, each send given to it again later: %s",
           summary_value(r, "tx_refused").c_str(),
           summary_value(r, "tx_refused_by_driver").c_str());
  out.push_back(line);
  snprintf(line, sizeof line,
           "  in:  %s sent by the link partner, %s indicated (%s since the last reset), %s "
           "intact, %s damaged, %s twice",
           summary_value(r, "rx_sent_by_partner").c_str(), summary_value(r, "rx_indicated").c_str(),
           summary_value(r, "rx_indicated_since_reset").c_str(),
           summary_value(r, "rx_good").c_str(), summary_value(r, "rx_corrupt").c_str(),
           summary_value(r, "rx_duplicated").c_str());
  out.push_back(line);
  snprintf(line, sizeof line,
           "  lost without link: %s out, %s in; lost to two PHYs driving the MII at once: %s; "
           "receive FIFO overflows %s; filtered %s",
           summary_value(r, "tx_dropped_no_link").c_str(),
           summary_value(r, "rx_lost_no_link").c_str(),
           summary_value(r, "rx_mii_contention").c_str(),
           summary_value(r, "rx_fifo_overflows").c_str(), summary_value(r, "rx_filtered").c_str());
  out.push_back(line);
  return out;
}

}  // namespace usbeth::sim
