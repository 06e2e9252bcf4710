#include "simulation.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "board_mapping.h"
#include "hw/board.h"
#include "miniport/adapter.h"
#include "miniport/miniport.h"
#include "ndis/ndis.h"
#include "ndis/protocol.h"
#include "sim/kernel.h"
#include "testbed/driver.h"
#include "traffic.h"
#include "usb/bus_driver.h"
#include "wire_pcap.h"

namespace usbeth::sim {
namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kSec = 1'000'000'000;

// How long after a disturbance (a fault, a reset, a halt, a removal) frames
// and indications are not held to the invariants, once the adapter has been
// restarted.
constexpr uint64_t kSettleNs = 3 * kSec;
// A link that has stayed as it is this long must be what NDIS was told.
constexpr uint64_t kLinkStableNs = 30 * kSec;
// Virtual time one step (an event, an initialize, a halt) may take before the
// run is declared stuck: a driver that sleeps and polls forever never comes
// back, and virtual time runs on without bound.
constexpr uint64_t kStepLimitNs = 1800 * kSec;
// How long an allocation fault given by count (`nth`, `count`) stays armed.
constexpr uint64_t kSpanWindowNs = 60 * kSec;
// A failed or stalled bulk transfer leaves the adapter unable to move frames
// until NDIS resets it: its hang check (every 2 s) sees the failure and the
// reset clears the pipes. Longer than this without a reset is a driver that
// does not recover.
constexpr uint64_t kRecoveryNs = 10 * kSec;
// A test frame this old has ended wherever it will end.
constexpr uint64_t kFrameSettleNs = 10 * kSec;

constexpr uint32_t kFilterDirected = 0x0001, kFilterMulticast = 0x0002,
                   kFilterAllMulticast = 0x0004, kFilterBroadcast = 0x0008,
                   kFilterPromiscuous = 0x0020;

const Mac kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Mac kOtherStation = {0x02, 0x00, 0x00, 0x00, 0x00, 0x33};
const Mac kDefaultGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const Mac kUnlistedGroup = {0x01, 0x00, 0x5E, 0x7F, 0x00, 0x99};
const Mac kInjectorMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x1F};

uint64_t now_ns() {
  return host::Kernel::get().scheduler().now();
}

// Where a test frame ended.
enum class Fate : uint8_t {
  Pending,
  Delivered,  // tx: intact on the wire; rx: indicated intact
  Refused,    // tx: the send completed with an error status, or NDIS refused it
  Held,       // tx: still queued in NDIS or with the driver when the halt began
  Halted,     // tx: taken by the driver, not yet on a slow wire, dropped by the halt
  NoLink,
  Disabled,
  Filtered,
  Overflow,
  PartnerBusy,  // rx: offered faster than the wire carries, dropped by the partner
  Flushed,
  Discarded,
  Contention,
  TooLong,
  ReadOut,  // rx: reached the host, not (yet) indicated
};

// One per frame offered, kept for the whole run: the small fields packed
// after the two times, 24 bytes.
struct FrameInfo {
  uint64_t sent_ns = 0;
  // tx: when the driver took it (its send completed with success), which is
  // later than sent_ns when the send first waited in NDIS's queue.
  uint64_t taken_ns = 0;
  TrafficKind kind = TrafficKind::Directed;  // of the stream (mix included)
  Fate fate = Fate::Pending;
  bool should_pass = true;  // rx: the packet filter in force asks for it
  bool echoed = false;      // tx: the partner's echo came back
};
static_assert(sizeof(FrameInfo) <= 24, "a frame's record grows the run's memory per frame");

constexpr const char* kFateNames[] = {
    "lost",      "delivered",  "refused",          "held",         "halted",   "no_link",
    "disabled",  "filtered",   "filtered_wrongly", "partner_busy", "overflow", "flushed",
    "discarded", "contention", "too_long",         "dropped"};

size_t FateIndex(const FrameInfo& f, bool tx) {
  switch (f.fate) {
    case Fate::Pending:
      return 0;
    case Fate::Delivered:
      return 1;
    case Fate::Refused:
      return 2;
    case Fate::Held:
      return 3;
    case Fate::Halted:
      return 4;
    case Fate::NoLink:
      return 5;
    case Fate::Disabled:
      return 6;
    case Fate::Filtered:
      return f.should_pass ? 8 : 7;
    case Fate::PartnerBusy:
      return 9;
    case Fate::Overflow:
      return 10;
    case Fate::Flushed:
      return 11;
    case Fate::Discarded:
      return 12;
    case Fate::Contention:
      return 13;
    case Fate::TooLong:
      return 14;
    case Fate::ReadOut:
      return tx ? 0 : 15;
  }
  return 0;
}

// The records of one direction's test frames, by sequence number. Once more
// than twice `keep` are held, the oldest are let go down to `keep`: those
// whose fate can no longer change (and that no check would report) are
// folded into counts by kind of traffic, the others (a frame still on its
// way, or lost in a disturbance) are kept aside by sequence. A saturated run
// offers several times the frames it carries, and a record kept for each
// would grow the run's memory by a megabyte a simulated second. A folded
// record is gone: find() gives null for it.
class FrameBook {
 public:
  // Counts of frames by fate, as the reports give them.
  struct Counts {
    int64_t sent = 0, echoed = 0, beyond_filter = 0;
    std::array<int64_t, std::size(kFateNames)> by_name{};

    void add(const FrameInfo& f, bool tx) {
      ++sent;
      if (tx && f.echoed) ++echoed;
      ++by_name[FateIndex(f, tx)];
      if (!tx && f.fate == Fate::Delivered && !f.should_pass) ++beyond_filter;
    }
    void add(const Counts& o) {
      sent += o.sent;
      echoed += o.echoed;
      beyond_filter += o.beyond_filter;
      for (size_t i = 0; i < by_name.size(); ++i)
        by_name[i] += o.by_name[i];
    }
  };

  explicit FrameBook(bool tx) : tx_(tx) {}
  void set_keep(size_t keep) { keep_ = std::max<size_t>(keep, 1); }

  // Sequence numbers given so far: the next frame's.
  size_t size() const { return first_ + recent_.size(); }
  size_t peak_kept() const { return peak_; }
  FrameInfo* find(size_t seq) {
    if (seq >= first_) return seq < size() ? &recent_[seq - first_] : nullptr;
    auto it = aside_.find(seq);
    return it == aside_.end() ? nullptr : &it->second;
  }
  FrameInfo& back() { return recent_.back(); }

  // `settled(f)`: f's fate is final and no check would report it.
  template <typename Settled>
  void push(const FrameInfo& f, Settled settled) {
    recent_.push_back(f);
    peak_ = std::max(peak_, recent_.size() + aside_.size());
    if (recent_.size() <= 2 * keep_) return;
    for (auto it = aside_.begin(); it != aside_.end();) {
      if (!settled(it->second)) {
        ++it;
        continue;
      }
      Fold(it->first, it->second);
      it = aside_.erase(it);
    }
    size_t n = 0;
    for (; recent_.size() - n > keep_; ++n) {
      if (settled(recent_[n])) {
        Fold(first_ + n, recent_[n]);
      } else {
        aside_.emplace_hint(aside_.end(), first_ + n, recent_[n]);
      }
    }
    recent_.erase(recent_.begin(), recent_.begin() + static_cast<ptrdiff_t>(n));
    first_ += n;
  }

  // The counts of the folded records of one kind of stream (mix included).
  const Counts& folded(TrafficKind kind) const { return folded_[static_cast<size_t>(kind)]; }
  // One past the last folded sequence whose frame the MAC took or dropped
  // (delivered, no link, disabled); 0 when none.
  size_t folded_taken_end() const { return folded_taken_end_; }

  // The records held, in sequence order from `from`, until f returns false.
  template <typename F>
  void visit_from(size_t from, F&& f) {
    for (auto it = aside_.lower_bound(from); it != aside_.end(); ++it) {
      if (!f(it->first, it->second)) return;
    }
    for (size_t seq = std::max(from, first_); seq < size(); ++seq) {
      if (!f(seq, recent_[seq - first_])) return;
    }
  }
  template <typename F>
  void for_each_kept(F&& f) const {
    for (const auto& [seq, info] : aside_)
      f(seq, info);
    for (size_t i = 0; i < recent_.size(); ++i)
      f(first_ + i, recent_[i]);
  }

 private:
  void Fold(size_t seq, const FrameInfo& f) {
    folded_[static_cast<size_t>(f.kind)].add(f, tx_);
    if (f.fate == Fate::Delivered || f.fate == Fate::NoLink || f.fate == Fate::Disabled) {
      folded_taken_end_ = std::max(folded_taken_end_, seq + 1);
    }
  }

  bool tx_;
  size_t keep_ = 65536;
  size_t first_ = 0;  // the sequence of recent_.front()
  size_t peak_ = 0;
  size_t folded_taken_end_ = 0;
  std::vector<FrameInfo> recent_;      // let go of in batches: a vector serves
  std::map<size_t, FrameInfo> aside_;  // before first_, not settled when let go
  std::array<Counts, static_cast<size_t>(TrafficKind::Mix) + 1> folded_{};
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

std::string hex_string(const std::vector<uint8_t>& bytes, size_t max = 64) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    snprintf(b, sizeof b, "%02x", bytes[i]);
    s += b;
  }
  if (bytes.size() > max) s += "...";
  return s;
}

std::string status_hex(uint32_t status) {
  char b[16];
  snprintf(b, sizeof b, "0x%08X", status);
  return b;
}

// The protocol bound above an adapter: its indications go to the run.
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
    if (on_packet_free) on_packet_free();
  }
  // A packet of the pool is free again.
  std::function<void()> on_packet_free;
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

struct Unit;

struct Stream {
  bool transmit = true;
  TrafficKind kind = TrafficKind::Directed;
  std::optional<Mac> group;
  FrameSizes sizes;
  size_t next_size = 0;
  uint64_t interval_ns = kMs;
  uint64_t next_ns = 0;
  uint64_t end_ns = kNever;
  Unit* unit = nullptr;
  host::TimerId timer = 0;  // offers its next frame
  // Waiting for a free packet: the offers from next_ns on are refused until
  // one is free, and are accounted when it is (or when the run looks), not
  // one event each. The timer is not set meanwhile.
  bool dormant = false;
  // The time of the stream's last offer.
  uint64_t last_ns() const {
    return next_ns >= end_ns ? next_ns
                             : next_ns + (end_ns - 1 - next_ns) / interval_ns * interval_ns;
  }
};

struct PhyView {
  bool up = false;
  int speed = 0;
  bool full = false;
  uint64_t since = 0;
};

struct Totals {  // one second of traffic
  uint64_t tx_frames = 0, tx_bytes = 0, rx_frames = 0, rx_bytes = 0;
  bool any() const { return tx_frames || rx_frames; }
};

// A device fault waiting for its requests.
struct ArmedFault {
  const Event* event = nullptr;
  uint64_t from_ns = 0;
  uint64_t until_ns = kNever;  // probability windows
  uint64_t matched = 0;
  uint64_t hits = 0;
  bool done = false;
};

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

// One adapter of the run: its board, bus, miniport, protocol and checks.
struct Unit {
  size_t index = 0;
  const AdapterSetting* setting = nullptr;
  std::unique_ptr<hw::Board> board;
  std::unique_ptr<host::usb::BusDriver> bus;
  host::ndis::Miniport* miniport = nullptr;
  std::unique_ptr<SimProtocol> protocol;
  bool running = false;  // initialized and not halted
  unsigned initializations = 0;
  unsigned resets = 0;

  Mac station{};
  Mac partner_mac = hw::LinkPartnerConfig{}.mac;
  std::mt19937_64 rng;
  // Traffic runs as scheduler events, so that it goes on while the run waits
  // in a blocking request (a reset, a halt, another adapter's request).
  std::list<Stream> streams;
  StreamCheck tx_check, rx_check;
  // By sequence number.
  FrameBook tx_frames{true}, rx_frames{false};
  std::unordered_map<uint64_t, uint32_t> pending_sends;  // protocol frame number -> sequence
  std::vector<uint32_t> held_at_halt;  // sequences of the frames held at the halt's summary
  uint64_t tx_no_packet = 0;           // sends the protocol could not make: its pool was empty
  uint64_t tx_copies_on_wire = 0, tx_refused = 0, tx_since_reset = 0, rx_since_reset = 0,
           rx_indicated = 0, echo_frames = 0, injected_sent = 0, injected_indicated = 0;
  size_t tx_checked = 0, rx_checked = 0;  // frames already held to the invariants
  size_t& checked_upto(bool tx) { return tx ? tx_checked : rx_checked; }
  bool crc_injected = false;  // frames with a bad status were asked for
  hw::Counters at_reset;      // board counters when the statistics were last zeroed
  uint32_t filter = 0;        // the packet filter in force (last one accepted)
  std::vector<Mac> multicast;
  std::vector<std::pair<uint64_t, NDIS_STATUS>> media;
  bool media_known = false;
  bool media_connected = false;
  uint64_t media_at = 0;
  std::map<uint8_t, PhyView> phy_view;
  int active_phy = -1;
  uint32_t active_id = 0;
  uint64_t active_since = 0;
  Totals second;
  uint64_t next_second = kSec;
  std::vector<ArmedFault> faults;
  bool removed = false;
  // Frames and indications are not held to the invariants inside these.
  uint64_t disturbed_until = 0;                             // a known end
  bool disturbed_open = false;                              // until the next restart settles
  std::vector<std::pair<uint64_t, uint64_t>> disturbances;  // closed intervals
  uint64_t disturbance_from = kNever;                       // the open one
  // The statistics are not comparable with the traffic check (a fault or an
  // injected transfer since they were zeroed), or only within a margin
  // (frames in flight across a reset).
  bool stats_dirty = false;
  uint64_t last_fault_ns = 0;  // the last device fault that struck
  // A bulk transfer failed at the device: a reset must start by this time.
  uint64_t recovery_due = kNever;
  // Resets NDIS made on its own (hang check); one seen, not yet finished.
  uint64_t hang_resets_seen = 0;
  uint64_t hang_reset_seen_at = kNever;
  int64_t stats_margin = 0;

  uint8_t tx_descriptors() const {
    const RegistryValue* v = setting->registry.find("TxPacketDesc");
    return v && !v->is_string ? static_cast<uint8_t>(std::min<uint32_t>(v->integer, 255)) : 20;
  }
};

class Run {
 public:
  Run(const Scenario& s, const SimOptions& o) : s_(s), o_(o) {
    for (const AdapterSetting& a : s.adapters) {
      for (const PhySetting& phy : a.phys)
        echo_possible_ = echo_possible_ || phy.partner.echo;
    }
    for (const Event& e : s.events)
      echo_possible_ = echo_possible_ || e.action == Action::Echo;
  }

  SimResult Go() {
    Watchdog watchdog(o_.stuck_after_seconds, step_);
    try {
      if (Assemble()) {
        for (auto& u : units_)
          Initialize(*u, true);
        Loop();
        for (auto& u : units_) {
          if (u->running) Halt(*u, "end of the scenario");
        }
        Finish();
      }
    } catch (const host::BugCheck& e) {
      Emit(Make("bug_check").add("code", e.code).add("message", e.message));
      try {
        Fail(kExitBugCheck, "bug check " + e.code + ": " + e.message, "bug_check: " + e.code);
      } catch (const StopRun&) {
      }
      if (ndis_) ndis_->abandon();
      if (kernel_) kernel_->set_check_leaks_on_destroy(false);
    } catch (const StopRun&) {
      // An invariant broke and the caller asked to stop there.
      if (ndis_) ndis_->abandon();
      if (kernel_) kernel_->set_check_leaks_on_destroy(false);
    }
    if (wire_) {
      wire_->flush();
      result_.wire_capture_frames = wire_->frames();
    }
    result_.end_ns = host::Kernel::current() ? now_ns() : 0;
    if (kernel_) result_.scheduler_steps = kernel_->scheduler().events_run();
    for (auto& u : units_) {
      result_.frames_checked += u->tx_frames.size() + u->rx_frames.size();
      result_.frame_records_peak = std::max(
          {result_.frame_records_peak, u->tx_frames.peak_kept(), u->rx_frames.peak_kept()});
    }
    Teardown();
    return std::move(result_);
  }

 private:
  struct StopRun {};

  // Bounds the virtual time of one step; nests.
  class StepLimit {
   public:
    StepLimit(Run* run, const char* what) : run_(run), saved_(run->step_deadline_) {
      run_->step_deadline_ = std::min(saved_, now_ns() + kStepLimitNs);
      run_->step_.what = what;
      run_->step_.beat++;
    }
    ~StepLimit() { run_->step_deadline_ = saved_; }
    StepLimit(const StepLimit&) = delete;
    StepLimit& operator=(const StepLimit&) = delete;

   private:
    Run* run_;
    uint64_t saved_;
  };

  // Runs every half minute of virtual time: a step past its limit is stuck.
  void Guard() {
    if (now_ns() > step_deadline_) {
      step_deadline_ = kNever;
      host::bug_check("SIMULATION_STUCK", std::string("virtual time ran ") +
                                              std::to_string(kStepLimitNs / kSec) +
                                              " s past the start of a step (" + step_.what.load() +
                                              ") without it returning");
    }
    kernel_->scheduler().schedule_after(
        30 * kSec, host::RunLevel::Dispatch, [this] { Guard(); }, "scenario guard");
  }

  Record Make(const std::string& kind, const Unit* u = nullptr) {
    Record r;
    r.time_ns = host::Kernel::current() ? now_ns() : 0;
    r.kind = kind;
    if (u && units_.size() > 1) r.add("adapter", u->setting->name);
    return r;
  }
  void Emit(Record r) {
    if (o_.on_record) o_.on_record(r);
    result_.records.push_back(std::move(r));
  }
  void Fail(int code, const std::string& why, const std::string& kind) {
    if (result_.failed.size() < 50) result_.failed.push_back(why);
    uint64_t now = host::Kernel::current() ? now_ns() : 0;
    if (result_.exit_code == kExitClean) {
      result_.exit_code = code;
      result_.failure = why;
      result_.failure_kind = kind;
      result_.failure_ns = now;
    }
    bool known = std::any_of(result_.kinds.begin(), result_.kinds.end(),
                             [&](const SimResult::Kind& k) { return k.kind == kind; });
    if (!known) result_.kinds.push_back({kind, why, now});
    if (!o_.stop_at_kind.empty() && kind == o_.stop_at_kind) throw StopRun{};
  }
  // An invariant every run keeps. `what` tells this breach apart from others
  // of the same invariant (the soak writes one scenario for each).
  void Broken(Unit& u, const std::string& name, const std::string& detail,
              const std::string& what = "") {
    if (!s_.check_invariants) return;
    Emit(Make("invariant", &u).add("name", name).add("detail", detail));
    std::string where = units_.size() > 1 ? u.setting->name + ": " : "";
    Fail(kExitInvariant, "invariant '" + name + "' broken: " + where + detail,
         what.empty() ? name : name + ": " + what);
    if (o_.stop_at_invariant) throw StopRun{};
  }

  // ---- assembly --------------------------------------------------------------

  bool Assemble() {
    host::KernelOptions k;
    k.mode = host::Mode::Deterministic;
    k.seed = o_.seed.value_or(s_.seed);
    k.bug_check_throws = true;
    kernel_ = host::Kernel::create(k);
    // The driver allocates its URBs under this tag: they are what the
    // "urb" allocation fault fails.
    host::faults().set_urb_tag('W' | 'd' << 8 | 'm' << 16 | ' ' << 24);
    ndis_ = std::make_unique<host::ndis::Library>();
    Guard();
    std::mt19937_64 seeds(k.seed);
    for (size_t i = 0; i < s_.adapters.size(); ++i) {
      auto u = std::make_unique<Unit>();
      u->tx_frames.set_keep(o_.frame_records_kept);
      u->rx_frames.set_keep(o_.frame_records_kept);
      u->index = i;
      u->setting = &s_.adapters[i];
      u->rng.seed(seeds());
      hw::BoardConfig board = board_for(s_.adapters[i], s_.bus);
      board.wire_at_link_rate = s_.wire_limit;
      board.keep_wire_log = false;  // the wire tap sees every frame
      u->board = std::make_unique<hw::Board>(std::move(board), [] { return now_ns(); });
      host::usb::BusOptions bus;
      bus.unthrottled = s_.bus == BusSpeedSetting::Unthrottled;
      bus.completion = s_.completion == CompletionSetting::Seeded
                           ? host::usb::CompletionMode::Seeded
                       : s_.completion == CompletionSetting::BeforeReturn
                           ? host::usb::CompletionMode::BeforeReturn
                           : host::usb::CompletionMode::Deferred;
      bus.device_address = static_cast<uint8_t>(2 + i);
      bus.bus_number = static_cast<uint16_t>(1 + i);
      u->bus = std::make_unique<host::usb::BusDriver>(*u->board, bus);
      Unit* raw = u.get();
      u->board->set_wire_tap([this, raw](const hw::WireFrame& f) { OnWire(*raw, f); });
      u->board->set_fate_tap([this, raw](const hw::FrameFateRecord& f) { OnFate(*raw, f); });
      u->bus->set_request_rule(
          [this, raw](const host::usb::RequestInfo& r) { return DeviceRule(*raw, r); });
      for (const PhySetting& p : s_.adapters[i].phys)
        u->phy_view[static_cast<uint8_t>(p.address)] = {};
      units_.push_back(std::move(u));
    }
    std::string error;
    if (!o_.usb_pcap.empty() && !units_[0]->bus->start_capture(o_.usb_pcap, &error)) {
      Fail(kExitBadInput, error.empty() ? o_.usb_pcap + ": cannot be written" : error, "output");
      return false;
    }
    if (!o_.wire_pcap.empty()) {
      wire_ = EthernetPcapWriter::open(o_.wire_pcap, &error);
      if (!wire_) {
        Fail(kExitBadInput, error, "output");
        return false;
      }
    }
    for (auto& u : units_) {
      std::string phys;
      for (const PhySetting& p : u->setting->phys) {
        char buf[40];
        snprintf(buf, sizeof buf, "%s%u:%08X", phys.empty() ? "" : " ", p.address, p.id);
        phys += buf;
      }
      Record r = Make("start", u.get());
      r.add("scenario", s_.name)
          .add("seed", kernel_->scheduler().seed())
          .add("bus", bus_name(s_.bus))
          .add("phys", phys.empty() ? std::string("none") : phys);
      if (u->setting->descriptors.any()) r.add("descriptors", u->setting->descriptors.changes);
      Emit(r);
    }
    NTSTATUS loaded = ndis_->load_driver(host::driver_entry());
    if (loaded != STATUS_SUCCESS) {
      Fail(kExitBadTraffic, "DriverEntry failed", "driver_entry");
      return false;
    }
    for (auto& u : units_) {
      host::ndis::AdapterSetup setup;
      setup.lower_device = u->bus->device_object();
      setup.registry = registry_for(*u->setting);
      setup.name = u->setting->name;
      u->miniport = &ndis_->add_adapter(std::move(setup));
      if (!o_.ndis_hang_check) u->miniport->set_hang_check(false);
      host::ndis::Protocol::Options po;
      po.keep_received_packets = false;
      u->protocol = std::make_unique<SimProtocol>(*u->miniport, po);
      Unit* raw = u.get();
      u->protocol->on_receive = [this, raw](const std::vector<uint8_t>& d, NDIS_STATUS st) {
        OnReceive(*raw, d, st);
      };
      u->protocol->on_packet_free = [this, raw] { PacketFree(*raw); };
      u->protocol->on_status = [raw](NDIS_STATUS code) {
        if (code == NDIS_STATUS_MEDIA_CONNECT || code == NDIS_STATUS_MEDIA_DISCONNECT) {
          raw->media.push_back({now_ns(), code});
        }
      };
    }
    return true;
  }

  bool InitializeExpected(const Unit& u) const {
    return std::any_of(s_.expectations.begin(), s_.expectations.end(), [&](const Expectation& x) {
      return x.kind == ExpectKind::Initialize && x.adapter == u.index;
    });
  }

  void Initialize(Unit& u, bool first) {
    StepLimit limit(this, "initializing an adapter");
    if (u.running) {
      Emit(Make("initialize", &u).add("status", int64_t{0}).add("error", "already running"));
      return;
    }
    uint64_t started = now_ns();
    NDIS_STATUS status = u.miniport->initialize();
    ++u.initializations;
    Record r = Make("initialize", &u);
    r.add("status", static_cast<int64_t>(status)).add("took_ms", (now_ns() - started) / kMs);
    if (status != NDIS_STATUS_SUCCESS) {
      r.add("error", "the adapter did not start");
      Emit(r);
      if (!InitializeExpected(u) && !o_.initialize_may_fail) {
        Fail(kExitBadTraffic,
             (units_.size() > 1 ? u.setting->name + ": " : "") + "miniport initialize failed",
             "initialize");
      }
      return;
    }
    u.running = true;
    u.recovery_due = kNever;
    auto addr = u.protocol->query(OID_802_3_CURRENT_ADDRESS, 6);
    if (addr->status == NDIS_STATUS_SUCCESS && addr->bytes_done == 6) {
      std::copy_n(addr->buffer.begin(), 6, u.station.begin());
    }
    r.add("address", format_mac(u.station.data()));
    Emit(r);
    // What every protocol does once bound: choose which frames to receive.
    uint32_t filter = kFilterDirected | kFilterMulticast | kFilterBroadcast;
    auto set = u.protocol->set_ulong(OID_GEN_CURRENT_PACKET_FILTER, filter);
    if (set->status == NDIS_STATUS_SUCCESS) u.filter = filter;
    u.multicast.clear();
    u.next_second = (now_ns() / kSec + 1) * kSec;
    ZeroedStatistics(u);
    // A new start counts from nothing: what went before no longer matters.
    u.stats_dirty = false;
    u.stats_margin = 0;
    Restarted(u, started);
    if (!first) u.media_known = false;
    Observe();
  }

  // ---- disturbances -------------------------------------------------------------

  void Disturb(Unit& u, uint64_t until = 0, bool stats = true) {
    uint64_t now = now_ns();
    // Frames sent shortly before may still have been on their way.
    if (u.disturbance_from == kNever) u.disturbance_from = now > kSec ? now - kSec : 0;
    if (until == 0) {
      u.disturbed_open = true;
    } else {
      u.disturbed_until = std::max(u.disturbed_until, until);
    }
    if (stats) u.stats_dirty = true;
  }
  // The adapter has been started afresh (initialize, reset): an open
  // disturbance ends a little later.
  // `started` is when the restart began: a fault that struck during it may
  // have left the adapter as broken as before.
  void Restarted(Unit& u, uint64_t started) {
    if (u.last_fault_ns >= started) return;
    if (u.disturbed_open && !u.removed) {
      u.disturbed_open = false;
      u.disturbed_until = std::max(u.disturbed_until, now_ns() + kSettleNs);
    }
  }
  // Resets NDIS starts on its own restart the adapter as scripted ones do;
  // a failed bulk transfer must be followed by one in time.
  void WatchRecovery(Unit& u, uint64_t now) {
    if (!u.running || u.removed) {
      u.recovery_due = kNever;
      return;
    }
    const uint64_t resets = u.miniport->hang_resets();
    if (resets != u.hang_resets_seen) {
      u.hang_resets_seen = resets;
      // It started at most one look ago: from then on a fault may have struck
      // during it.
      u.hang_reset_seen_at = now > o_.sample_ns ? now - o_.sample_ns : 0;
      u.recovery_due = kNever;
      // The restart itself disturbs the adapter, as a scripted reset does:
      // one that follows a reset which could not mend the device comes after
      // the first one's disturbance has ended.
      Disturb(u);
      Emit(Make("hang_reset", &u));
    }
    if (u.hang_reset_seen_at != kNever && !u.miniport->reset_pending()) {
      Restarted(u, u.hang_reset_seen_at);
      u.hang_reset_seen_at = kNever;
    }
    if (now > u.recovery_due) {
      u.recovery_due = kNever;
      Broken(
          u, "recovers_from_bulk_fault",
          "no reset within " + std::to_string(kRecoveryNs / kSec) + " s of a failed bulk transfer");
    }
  }
  bool Disturbed(const Unit& u, uint64_t t) const {
    return u.disturbed_open || t < u.disturbed_until;
  }
  void CloseDisturbance(Unit& u) {
    // Called as time passes: remember the interval once it is over.
    if (u.disturbance_from != kNever && !Disturbed(u, now_ns())) {
      u.disturbances.push_back({u.disturbance_from, u.disturbed_until});
      u.disturbance_from = kNever;
    }
  }
  bool WasDisturbed(const Unit& u, uint64_t t) const {
    if (u.disturbance_from != kNever && t >= u.disturbance_from) return true;
    for (const auto& [from, to] : u.disturbances) {
      if (t >= from && t <= to) return true;
    }
    return false;
  }
  void ZeroedStatistics(Unit& u) {
    u.at_reset = u.board->counters();
    u.tx_since_reset = 0;
    u.rx_since_reset = 0;
  }

  // ---- the loop -------------------------------------------------------------------

  // OID expectations are asked at their time, as queries.
  struct Ask {
    uint64_t at_ms;
    size_t expectation;
  };

  void Loop() {
    const uint64_t end = s_.duration_ms * kMs;
    size_t next_event = 0;
    std::vector<Ask> asks;
    for (size_t i = 0; i < s_.expectations.size(); ++i) {
      const Expectation& x = s_.expectations[i];
      if (x.kind == ExpectKind::Oid) {
        asks.push_back({x.by_ms.value_or(s_.duration_ms > 0 ? s_.duration_ms - 1 : 0), i});
      }
    }
    std::stable_sort(asks.begin(), asks.end(),
                     [](const Ask& a, const Ask& b) { return a.at_ms < b.at_ms; });
    size_t next_ask = 0;
    uint64_t next_sample = (now_ns() / o_.sample_ns + 1) * o_.sample_ns;
    uint64_t next_check = (now_ns() / kSec + 1) * kSec;
    while (true) {
      step_.what = "running the scenario";
      step_.beat++;
      uint64_t t = std::min(next_sample, end);
      if (next_event < s_.events.size()) t = std::min(t, s_.events[next_event].at_ms * kMs);
      if (next_ask < asks.size()) t = std::min(t, asks[next_ask].at_ms * kMs);
      for (auto& u : units_) {
        for (const ArmedFault& f : u->faults) {
          if (!f.done && f.until_ns > now_ns()) t = std::min(t, f.until_ns);
        }
      }
      for (const auto& w : host_windows_)
        t = std::min(t, w.until_ns);
      for (const auto& u : units_)
        t = std::min(t, WaitingStreamsEnd(*u));
      uint64_t now = now_ns();
      if (t > now) kernel_->scheduler().run_for(t - now);
      now = now_ns();
      // What follows reads the books: a waiting stream's offers up to now
      // are accounted first.
      for (auto& u : units_)
        CatchUpStreams(*u, now + 1);
      while (next_sample <= now)
        next_sample += o_.sample_ns;
      Observe();
      EndWindows(now);
      if (now >= next_check) {
        next_check = (now / kSec + 1) * kSec;
        if (o_.on_second) o_.on_second(now);
        if (o_.stop_at_invariant || o_.check_continuously) {
          CheckLink();
          // Frames long enough on their way must have ended somewhere.
          for (auto& u : units_) {
            if (now > kFrameSettleNs) CheckFrames(*u, now - kFrameSettleNs);
          }
        }
      }
      while (next_event < s_.events.size() && s_.events[next_event].at_ms * kMs <= now) {
        Apply(s_.events[next_event++]);
      }
      while (next_ask < asks.size() && asks[next_ask].at_ms * kMs <= now) {
        AskOid(asks[next_ask++].expectation);
      }
      if (now >= end) break;
      // Every adapter halted and nothing more to do: the run is over.
      if (next_event == s_.events.size() && next_ask == asks.size() &&
          std::none_of(units_.begin(), units_.end(), [](const auto& u) { return u->running; })) {
        break;
      }
    }
    CheckLink();
  }

  // A stream is a timer set again for each frame offered (however many are
  // refused): its routine stays in the scheduler's slot, so offering a frame
  // builds no routine. The timer goes with the stream.
  void StartStream(Unit& u, Stream st) {
    // A waiting stream offers again: two sending streams share the books.
    CatchUpStreams(u, now_ns(), true);
    u.streams.push_back(st);
    Stream* s = &u.streams.back();
    s->unit = &u;
    s->timer = kernel_->scheduler().create_timer(
        host::RunLevel::Dispatch, [this, s] { Frame(*s->unit, s); }, "scenario traffic");
    ScheduleFrame(s);
  }

  void ScheduleFrame(Stream* st) { kernel_->scheduler().arm_timer(st->timer, st->next_ns); }

  // One frame of a stream, and the next one scheduled.
  void Frame(Unit& u, Stream* st) {
    unsigned size = NextSize(u, *st);
    TrafficKind kind = st->kind;
    if (kind == TrafficKind::Mix) {
      static const TrafficKind kKinds[] = {TrafficKind::Directed,  TrafficKind::Directed,
                                           TrafficKind::Broadcast, TrafficKind::Multicast,
                                           TrafficKind::Unlisted,  TrafficKind::OtherStation};
      kind = kKinds[u.rng() % std::size(kKinds)];
    }
    if (st->transmit) {
      SendOne(u, st->kind, kind, st->group, size);
    } else {
      PartnerSendOne(u, st->kind, kind, st->group, size);
    }
    st->next_ns += st->interval_ns;
    if (st->next_ns < st->end_ns) {
      // Offered faster than packets come free, a stream waits for one
      // rather than offering frames it cannot send one by one. Only a stream
      // whose offers draw nothing at random and that is the unit's only
      // sending stream: its refused offers are then the same whenever they
      // are accounted.
      if (o_.streams_wait && st->transmit && st->kind != TrafficKind::Mix && !st->sizes.range &&
          !u.protocol->has_free_packet() && SendingStreams(u) == 1) {
        st->dormant = true;
        return;
      }
      ScheduleFrame(st);
      return;
    }
    kernel_->scheduler().destroy_timer(st->timer);
    u.streams.remove_if([st](const Stream& s) { return &s == st; });
    if (u.streams.empty()) Emit(Make("traffic_stop", &u).add("direction", "duration over"));
  }

  void StopStreams(Unit& u) {
    CatchUpStreams(u, now_ns() + 1);
    for (const Stream& st : u.streams)
      kernel_->scheduler().destroy_timer(st.timer);
    u.streams.clear();
  }

  size_t SendingStreams(const Unit& u) const {
    return static_cast<size_t>(std::count_if(u.streams.begin(), u.streams.end(),
                                             [](const Stream& s) { return s.transmit; }));
  }

  // Accounts a waiting stream's offers due before `before_ns`: each refused
  // for want of a packet, as it would have been when due. True when that
  // was the stream's last offer: the stream is over.
  bool CatchUp(Unit& u, Stream* st, uint64_t before_ns) {
    for (; st->next_ns < before_ns; st->next_ns += st->interval_ns) {
      if (st->next_ns >= st->end_ns) break;
      NextSize(u, *st);
      RefuseNoPacket(u, st->kind, st->next_ns);
      ++result_.offers_waited;
    }
    return st->next_ns >= st->end_ns;
  }

  // Accounts every waiting stream's offers due before `before_ns`; `wake`
  // sets the waiting ones offering again from their next offer.
  void CatchUpStreams(Unit& u, uint64_t before_ns, bool wake = false) {
    bool over = false;
    for (Stream& st : u.streams) {
      if (!st.dormant) continue;
      const uint64_t last = st.last_ns();
      if (CatchUp(u, &st, before_ns)) {
        kernel_->scheduler().destroy_timer(st.timer);
        st.timer = 0;
        Record r = Make("traffic_stop", &u).add("direction", "duration over");
        r.time_ns = last;
        over = true;
        if (std::count_if(u.streams.begin(), u.streams.end(),
                          [](const Stream& s) { return s.timer != 0; }) == 0) {
          Emit(r);
        }
      } else if (wake) {
        st.dormant = false;
        ScheduleFrame(&st);
      }
    }
    if (over) u.streams.remove_if([](const Stream& s) { return s.timer == 0; });
  }

  // A packet is free: a waiting stream offers again from its next offer due
  // now or later.
  void PacketFree(Unit& u) { CatchUpStreams(u, now_ns(), true); }

  // The earliest last offer of the waiting streams: the run looks then, to
  // end them on time.
  uint64_t WaitingStreamsEnd(const Unit& u) const {
    uint64_t t = kNever;
    for (const Stream& st : u.streams) {
      if (st.dormant) t = std::min(t, st.last_ns());
    }
    return t;
  }

  unsigned NextSize(Unit& u, Stream& st) {
    if (st.sizes.range) {
      return st.sizes.list[0] +
             static_cast<unsigned>(u.rng() % (st.sizes.list[1] - st.sizes.list[0] + 1));
    }
    unsigned size = st.sizes.list[st.next_size % st.sizes.list.size()];
    ++st.next_size;
    return size;
  }

  Mac Destination(const Unit& u, TrafficKind kind, const std::optional<Mac>& group,
                  bool to_station) const {
    switch (kind) {
      case TrafficKind::Broadcast:
        return kBroadcastMac;
      case TrafficKind::Multicast:
        if (group) return *group;
        return u.multicast.empty() ? kDefaultGroup : u.multicast.front();
      case TrafficKind::Unlisted:
        return group ? *group : kUnlistedGroup;
      case TrafficKind::OtherStation:
        return kOtherStation;
      default:
        return to_station ? u.station : u.partner_mac;
    }
  }

  bool ShouldPass(const Unit& u, const Mac& dst) const {
    if (u.filter & kFilterPromiscuous) return true;
    if (dst == u.station) return u.filter & kFilterDirected;
    if (dst == kBroadcastMac) return u.filter & kFilterBroadcast;
    if (dst[0] & 1) {
      if (u.filter & kFilterAllMulticast) return true;
      return (u.filter & kFilterMulticast) &&
             std::find(u.multicast.begin(), u.multicast.end(), dst) != u.multicast.end();
    }
    return false;
  }

  // `stream` is the kind of traffic asked for (mix included), `kind` this
  // frame's.
  void SendOne(Unit& u, TrafficKind stream, TrafficKind kind, const std::optional<Mac>& group,
               unsigned size) {
    // A frame the protocol has no packet for is never built.
    if (!u.protocol->has_free_packet()) {
      RefuseNoPacket(u, stream, now_ns());
      return;
    }
    uint32_t seq = u.tx_check.next_sequence();
    u.tx_frames.push({now_ns(), 0, stream, Fate::Pending, true, false},
                     [this](const FrameInfo& f) { return TxSettled(f); });
    uint64_t number = u.protocol->send(
        make_checked_frame(Destination(u, kind, group, false), u.station, seq, size), {},
        host::ndis::CallOptions{DISPATCH_LEVEL});
    if (number == 0) {
      ++u.tx_refused;
      ++u.tx_no_packet;
      u.tx_frames.back().fate = Fate::Refused;
      return;
    }
    NDIS_STATUS status = u.protocol->send_status(number);
    if (status == NDIS_STATUS_PENDING) {
      u.pending_sends[number] = seq;
      ++u.tx_since_reset;
    } else if (status != NDIS_STATUS_SUCCESS) {
      ++u.tx_refused;
      FrameInfo* fi = u.tx_frames.find(seq);
      if (fi && fi->fate == Fate::Pending) fi->fate = Fate::Refused;
    } else {
      ++u.tx_since_reset;
    }
  }

  // An offer at `at_ns` the protocol had no packet for.
  void RefuseNoPacket(Unit& u, TrafficKind stream, uint64_t at_ns) {
    u.tx_check.next_sequence();
    u.tx_frames.push({at_ns, 0, stream, Fate::Pending, true, false},
                     [this](const FrameInfo& f) { return TxSettled(f); });
    ++u.tx_refused;
    ++u.tx_no_packet;
    u.tx_frames.back().fate = Fate::Refused;
  }

  // Sends that completed with an error are refused frames.
  void SettleSends(Unit& u) {
    for (const auto& c : u.protocol->send_completions()) {
      auto it = u.pending_sends.find(c.frame);
      if (it == u.pending_sends.end()) continue;
      // A folded record's fate was final already.
      FrameInfo* fi = u.tx_frames.find(it->second);
      if (c.status != NDIS_STATUS_SUCCESS) {
        ++u.tx_refused;
        if (fi && (fi->fate == Fate::Pending || fi->fate == Fate::Held)) fi->fate = Fate::Refused;
      } else if (fi) {
        fi->taken_ns = c.time;
        // Sent after all: the wire must show it.
        if (fi->fate == Fate::Held) fi->fate = Fate::Pending;
      }
      u.pending_sends.erase(it);
    }
  }

  void PartnerSendOne(Unit& u, TrafficKind stream, TrafficKind kind,
                      const std::optional<Mac>& group, unsigned size) {
    uint32_t seq = u.rx_check.next_sequence();
    Mac dst = Destination(u, kind, group, true);
    u.rx_frames.push({now_ns(), 0, stream, Fate::Pending, ShouldPass(u, dst), false},
                     [](const FrameInfo& f) { return RxSettled(f); });
    // A frame the partner has no room for is never built: offered faster
    // than its wire carries, it is dropped there and then. The board is
    // asked once: which PHY's cable, whether the partner takes it, and the
    // frame itself.
    auto fallback = [this, &u] { return PartnerPhyWithoutTraffic(u); };
    auto build = [&] {
      auto frame = make_checked_frame(dst, u.partner_mac, seq, size);
      // The partner's MAC pads short frames to the Ethernet minimum.
      if (frame.size() < 60) frame.resize(60, 0);
      return frame;
    };
    if (!u.board->offer_from_partner(std::ref(fallback), std::ref(build)).taken) {
      u.rx_frames.back().fate = Fate::PartnerBusy;
    }
  }

  // The PHY whose cable carries the partner's frames is the one passing
  // traffic (the board knows it), else the one the driver chose: this one.
  // Called under the board's lock: it reads the driver's adapter and the
  // board's configuration only.
  uint8_t PartnerPhyWithoutTraffic(Unit& u) {
    if (const void* a = adapter(u)) {
      return static_cast<uint8_t>(host::read_adapter_field(a, "ActivePhyAddress"));
    }
    return u.board->first_phy_address();
  }

  bool PartnerFramesWaiting(Unit& u) {
    for (const auto& [mii, view] : u.phy_view) {
      if (u.board->partner_frames_waiting(mii) != 0) return true;
    }
    return false;
  }

  // The driver's adapter record (linked driver or loaded image), null while
  // the adapter is not running. Its fields are read through
  // host::read_adapter_field, at the running driver's offsets.
  const void* adapter(Unit& u) {
    if (!u.running) return nullptr;
    return u.miniport->context();
  }

  // ---- events ----------------------------------------------------------------------

  void Apply(const Event& e) {
    Unit& u = *units_[e.adapter];
    StepLimit limit(this, action_name(e.action));
    uint8_t mii = static_cast<uint8_t>(e.phy);
    switch (e.action) {
      case Action::Plug:
      case Action::Unplug: {
        if (e.abilities_given) {
          u.board->set_partner_abilities(mii, ability_bits(e.abilities), e.abilities.autoneg);
          Emit(Make("abilities", &u)
                   .add("phy", e.phy)
                   .add("abilities", ability_names(e.abilities))
                   .add("autoneg", e.abilities.autoneg));
        }
        if (e.home_network) {
          u.board->set_home_network(mii, *e.home_network);
          Emit(Make("home_network", &u).add("phy", e.phy).add("present", *e.home_network));
        }
        u.board->plug(mii, e.action == Action::Plug);
        Emit(Make(e.action == Action::Plug ? "plug" : "unplug", &u).add("phy", e.phy));
        break;
      }
      case Action::Abilities:
        u.board->set_partner_abilities(mii, ability_bits(e.abilities), e.abilities.autoneg);
        Emit(Make("abilities", &u)
                 .add("phy", e.phy)
                 .add("abilities", ability_names(e.abilities))
                 .add("autoneg", e.abilities.autoneg));
        if (e.home_network) {
          u.board->set_home_network(mii, *e.home_network);
          Emit(Make("home_network", &u).add("phy", e.phy).add("present", *e.home_network));
        }
        break;
      case Action::Echo:
        u.board->set_echo(mii, e.on);
        Emit(Make("echo", &u).add("phy", e.phy).add("on", e.on));
        break;
      case Action::Traffic: {
        uint64_t now = now_ns();
        uint64_t interval = std::max<uint64_t>(1, kSec / e.rate_pps);
        uint64_t end = e.duration_ms ? now + e.duration_ms * kMs : kNever;
        std::optional<Mac> group;
        if (e.group) {
          Mac g;
          std::copy(e.group->begin(), e.group->end(), g.begin());
          group = g;
        }
        if (e.direction != Direction::Receive) {
          StartStream(u, {true, e.traffic, group, e.sizes, 0, interval, now, end});
        }
        if (e.direction != Direction::Transmit) {
          StartStream(u, {false, e.traffic, group, e.sizes, 0, interval, now, end});
        }
        std::string sizes;
        if (e.sizes.range) {
          sizes = std::to_string(e.sizes.list[0]) + ".." + std::to_string(e.sizes.list[1]);
        } else {
          for (unsigned v : e.sizes.list)
            sizes += (sizes.empty() ? "" : ",") + std::to_string(v);
        }
        Record r = Make("traffic", &u);
        r.add("direction", direction_name(e.direction));
        if (e.sizes.list.size() == 1 && !e.sizes.range) {
          r.add("frame_size", e.sizes.list[0]);
        } else {
          r.add("frame_sizes", sizes);
        }
        r.add("rate_pps", e.rate_pps)
            .add("duration_ms", e.duration_ms)
            .add("traffic", traffic_kind_name(e.traffic));
        Emit(r);
        break;
      }
      case Action::StopTraffic:
        StopStreams(u);
        Emit(Make("traffic_stop", &u).add("direction", "all"));
        break;
      case Action::BadStatus:
        u.crc_injected = true;
        u.board->inject_crc_errors(e.count);
        Emit(Make("bad_status", &u).add("count", e.count));
        break;
      case Action::RxTransfer:
        InjectTransfers(u, e);
        break;
      case Action::Reset:
        Reset(u);
        break;
      case Action::Halt:
        if (!u.running) {
          Emit(Make("halt", &u).add("reason", "not running: nothing to halt"));
          break;
        }
        Halt(u, "");
        break;
      case Action::Initialize:
        Initialize(u, false);
        break;
      case Action::Shutdown: {
        if (!u.running) {
          Emit(Make("shutdown", &u).add("handled", false));
          break;
        }
        Disturb(u);
        StopStreams(u);
        bool handled = u.miniport->shutdown();
        Emit(Make("shutdown", &u).add("handled", handled));
        break;
      }
      case Action::SetFilter: {
        std::vector<uint8_t> data(4);
        for (int i = 0; i < 4; ++i)
          data[i] = static_cast<uint8_t>(e.filter >> (8 * i));
        if (e.buffer_length) data.resize(*e.buffer_length, 0);
        auto req = Request(u, true, OID_GEN_CURRENT_PACKET_FILTER, data);
        if (req && req->status == NDIS_STATUS_SUCCESS && data.size() == 4) u.filter = e.filter;
        Emit(RequestRecord("filter_set", u, req, data.size()).add("filter", e.filter));
        break;
      }
      case Action::SetMulticast: {
        std::vector<uint8_t> data = e.data;
        if (e.buffer_length) data.resize(*e.buffer_length, 0);
        auto req = Request(u, true, OID_802_3_MULTICAST_LIST, data);
        if (req && req->status == NDIS_STATUS_SUCCESS) {
          u.multicast.clear();
          for (size_t i = 0; i + 6 <= data.size(); i += 6) {
            Mac m;
            std::copy_n(data.begin() + static_cast<long>(i), 6, m.begin());
            u.multicast.push_back(m);
          }
        }
        Emit(RequestRecord("multicast_set", u, req, data.size())
                 .add("addresses", static_cast<uint64_t>(data.size() / 6)));
        break;
      }
      case Action::SetLookahead: {
        std::vector<uint8_t> data(4);
        for (int i = 0; i < 4; ++i)
          data[i] = static_cast<uint8_t>(e.value >> (8 * i));
        if (e.buffer_length) data.resize(*e.buffer_length, 0);
        auto req = Request(u, true, OID_GEN_CURRENT_LOOKAHEAD, data);
        Emit(RequestRecord("lookahead_set", u, req, data.size()).add("value", e.value));
        break;
      }
      case Action::Set: {
        std::vector<uint8_t> data = e.data;
        if (e.buffer_length) data.resize(*e.buffer_length, 0);
        auto req = Request(u, true, e.oid, data);
        Emit(RequestRecord("set", u, req, data.size())
                 .add("oid", oid_name(e.oid))
                 .add("data", hex_string(data)));
        break;
      }
      case Action::Query: {
        auto req = Request(u, false, e.oid, std::vector<uint8_t>(e.buffer_length.value_or(256)));
        Emit(QueryRecord(u, req, e.oid, e.buffer_length.value_or(256)));
        break;
      }
      case Action::DeviceFault: {
        ArmedFault f;
        f.event = &e;
        f.from_ns = now_ns();
        if (e.timing.probability && e.timing.window_ms) {
          f.until_ns = f.from_ns + e.timing.window_ms * kMs;
        }
        u.faults.push_back(f);
        Record r = Make("device_fault", &u);
        r.add("request", request_kind_name(e.request))
            .add("fault", e.stall_endpoint ? "stall_endpoint" : device_fault_name(e.fault));
        if (e.register_index) r.add("register", static_cast<unsigned>(*e.register_index));
        AddTiming(r, e.timing);
        Emit(r);
        break;
      }
      case Action::HostFault:
        ArmHostFault(u, e);
        break;
      case Action::DeviceRemoved:
        u.removed = true;
        Disturb(u);
        u.bus->set_surprise_removed(true);
        Emit(Make("device_removed", &u));
        break;
      case Action::DevicePlugged:
        u.removed = false;
        u.bus->set_surprise_removed(false);
        u.board->usb_reset();
        Emit(Make("device_plugged", &u));
        break;
    }
  }

  void AddTiming(Record& r, const FaultTiming& t) {
    if (t.probability) {
      r.add("probability_ppm", static_cast<int64_t>(*t.probability * 1e6 + 0.5))
          .add("window_ms", t.window_ms);
    } else {
      r.add("nth", t.nth).add("count", t.count);
    }
  }

  std::shared_ptr<host::ndis::Request> Request(Unit& u, bool is_set, uint32_t oid,
                                               const std::vector<uint8_t>& data) {
    if (!u.running) return nullptr;
    step_.what = is_set ? "waiting for a set request" : "waiting for a query";
    step_.beat++;
    return is_set ? u.protocol->set(oid, data)
                  : u.protocol->query(oid, static_cast<ULONG>(data.size()));
  }

  Record RequestRecord(const char* kind, Unit& u, const std::shared_ptr<host::ndis::Request>& req,
                       size_t length) {
    Record r = Make(kind, &u);
    r.add("length", static_cast<uint64_t>(length));
    if (!req) return r.add("error", "adapter not running");
    if (!req->completed) return r.add("error", "request never completed");
    return r.add("status", status_hex(req->status))
        .add("bytes_read", static_cast<uint64_t>(req->bytes_done))
        .add("bytes_needed", static_cast<uint64_t>(req->bytes_needed));
  }

  Record QueryRecord(Unit& u, const std::shared_ptr<host::ndis::Request>& req, uint32_t oid,
                     uint32_t length) {
    Record r = Make("query", &u);
    r.add("oid", oid_name(oid)).add("length", length);
    if (!req) return r.add("error", "adapter not running");
    if (!req->completed) return r.add("error", "request never completed");
    r.add("status", status_hex(req->status))
        .add("bytes_written", static_cast<uint64_t>(req->bytes_done))
        .add("bytes_needed", static_cast<uint64_t>(req->bytes_needed));
    std::vector<uint8_t> answer = req->data();
    if (req->status == NDIS_STATUS_SUCCESS) {
      r.add("answer", hex_string(answer, 256));
      if (answer.size() == 4 || answer.size() == 2) {
        uint32_t v = 0;
        for (size_t i = 0; i < answer.size(); ++i)
          v |= static_cast<uint32_t>(answer[i]) << (8 * i);
        r.add("value", static_cast<int64_t>(v));
      }
    }
    return r;
  }

  void Reset(Unit& u) {
    if (!u.running) {
      Emit(Make("reset", &u).add("error", "adapter not running"));
      return;
    }
    step_.what = "waiting for a reset";
    step_.beat++;
    uint64_t started = now_ns();
    Disturb(u, 0, false);
    u.recovery_due = kNever;  // the reset the failed transfer needed
    NDIS_STATUS status = u.protocol->reset();
    ++u.resets;
    uint64_t took = now_ns() - started;
    Emit(Make("reset", &u).add("status", static_cast<int64_t>(status)).add("took_us", took / 1000));
    // The driver zeroes its statistics on reset; frames in flight across it
    // are counted on either side.
    ZeroedStatistics(u);
    u.stats_margin = std::max<int64_t>(u.stats_margin, u.tx_descriptors() + 2);
    Restarted(u, started);
  }

  void InjectTransfers(Unit& u, const Event& e) {
    Disturb(u, now_ns() + kSettleNs);
    for (unsigned k = 0; k < e.count; ++k) {
      std::vector<uint8_t> t(e.length, 0);
      // The frame part: a test frame from a station of its own, so that what
      // the driver makes of it is told apart from the partner's traffic.
      if (e.length >= 8) {
        unsigned frame = e.length - 8;
        auto f = make_checked_frame(u.station, kInjectorMac, static_cast<uint32_t>(u.injected_sent),
                                    std::max(frame, 20u));
        std::copy_n(f.begin(), std::min<size_t>(frame, f.size()), t.begin());
      }
      if (e.length >= 4) {
        unsigned field = e.trailer_length.value_or(e.length >= 4 ? e.length - 4 : 0);
        t[e.length - 4] = static_cast<uint8_t>(field);
        t[e.length - 3] = static_cast<uint8_t>(field >> 8);
      }
      if (e.length >= 2) t[e.length - 2] = e.status;
      ++u.injected_sent;
      u.board->inject_bulk_in_transfer(std::move(t));
    }
    Record r = Make("rx_transfer", &u);
    r.add("length", e.length).add("status", static_cast<unsigned>(e.status)).add("count", e.count);
    if (e.trailer_length) r.add("trailer_length", *e.trailer_length);
    Emit(r);
  }

  // ---- device and host faults -----------------------------------------------------------

  static bool Matches(const Event& e, const host::usb::RequestInfo& r) {
    const bool vendor = !r.bulk && (r.setup.bmRequestType & 0x60) == 0x40;
    switch (e.request) {
      case RequestKind::Any:
        break;
      case RequestKind::Control:
        if (r.bulk) return false;
        break;
      case RequestKind::VendorRead:
      case RequestKind::VendorWrite:
        if (!vendor || r.in != (e.request == RequestKind::VendorRead)) return false;
        if (e.register_index && r.setup.wIndex != *e.register_index) return false;
        break;
      case RequestKind::Descriptor:
        if (r.function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) return false;
        break;
      case RequestKind::SelectConfiguration:
        if (r.function != URB_FUNCTION_SELECT_CONFIGURATION) return false;
        break;
      case RequestKind::Feature:
        if (r.bulk || (r.setup.bRequest != 1 && r.setup.bRequest != 3) || vendor) return false;
        if (r.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) return false;
        break;
      case RequestKind::Status:
        if (r.bulk || vendor || r.setup.bRequest != 0 || !r.in) return false;
        break;
      case RequestKind::ResetPipe:
        if (r.function != URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL &&
            r.function != URB_FUNCTION_SYNC_RESET_PIPE &&
            r.function != URB_FUNCTION_SYNC_CLEAR_STALL) {
          return false;
        }
        break;
      case RequestKind::BulkIn:
        if (!r.bulk || !(r.endpoint & 0x80)) return false;
        break;
      case RequestKind::BulkOut:
        if (!r.bulk || (r.endpoint & 0x80)) return false;
        break;
    }
    return true;
  }

  host::usb::RequestFault DeviceRule(Unit& u, const host::usb::RequestInfo& r) {
    if (u.faults.empty()) return host::usb::RequestFault::None;
    uint64_t now = now_ns();
    for (ArmedFault& f : u.faults) {
      if (f.done) continue;
      if (now >= f.until_ns) {
        f.done = true;
        continue;
      }
      const Event& e = *f.event;
      if (!Matches(e, r)) continue;
      ++f.matched;
      bool hit;
      if (e.timing.probability) {
        hit = std::uniform_real_distribution<double>(0, 1)(u.rng) < *e.timing.probability;
      } else {
        hit = f.matched >= e.timing.nth && f.matched < e.timing.nth + e.timing.count;
        if (f.matched + 1 >= e.timing.nth + e.timing.count) f.done = true;
      }
      if (!hit) continue;
      ++f.hits;
      ++result_.faults_injected;
      u.last_fault_ns = now;
      Disturb(u);
      const bool breaks_pipe =
          e.stall_endpoint || e.fault == DeviceFaultKind::Stall || e.fault == DeviceFaultKind::Fail;
      if (r.bulk && breaks_pipe && u.recovery_due == kNever) u.recovery_due = now + kRecoveryNs;
      Record rec = Make("fault_hit", &u);
      rec.add("request", request_kind_name(e.request))
          .add("fault", e.stall_endpoint ? "stall_endpoint" : device_fault_name(e.fault))
          .add("urb_function", static_cast<unsigned>(r.function));
      if (r.bulk) {
        rec.add("endpoint", static_cast<unsigned>(r.endpoint));
      } else {
        rec.add("setup_request", static_cast<unsigned>(r.setup.bRequest))
            .add("setup_index", static_cast<unsigned>(r.setup.wIndex));
      }
      Emit(rec);
      if (e.stall_endpoint) {
        // The device halts the endpoint: this and every later transfer on it
        // is stalled until the pipe is reset.
        u.board->halt_endpoint(r.endpoint);
        return host::usb::RequestFault::None;
      }
      switch (e.fault) {
        case DeviceFaultKind::Stall:
          return host::usb::RequestFault::Stall;
        case DeviceFaultKind::Fail:
          return host::usb::RequestFault::Error;
        case DeviceFaultKind::Hang:
          return host::usb::RequestFault::Hang;
        case DeviceFaultKind::AtOnce:
          return host::usb::RequestFault::AtOnce;
        case DeviceFaultKind::Late:
          return host::usb::RequestFault::Late;
        case DeviceFaultKind::Refuse:
          return host::usb::RequestFault::Refuse;
      }
    }
    return host::usb::RequestFault::None;
  }

  struct HostWindow {
    host::FaultSite site;
    uint64_t until_ns;
    Unit* unit;
    uint64_t failures_before;
    bool span = false;
  };

  static std::optional<host::FaultSite> SiteOf(AllocKind k) {
    switch (k) {
      case AllocKind::Pool:
        return host::FaultSite::PoolAllocation;
      case AllocKind::Irp:
        return host::FaultSite::IrpAllocation;
      case AllocKind::Urb:
        return host::FaultSite::UrbAllocation;
      case AllocKind::Packet:
        return host::FaultSite::PacketAllocation;
      case AllocKind::Buffer:
        return host::FaultSite::BufferAllocation;
      case AllocKind::WorkItem:
        return std::nullopt;  // the host's work items cannot fail
    }
    return std::nullopt;
  }

  void ArmHostFault(Unit& u, const Event& e) {
    Record r = Make("host_fault", &u);
    r.add("alloc", alloc_kind_name(e.alloc));
    AddTiming(r, e.timing);
    auto site = SiteOf(e.alloc);
    if (!site) {
      Emit(r.add("error", "work-item scheduling does not fail in this host"));
      return;
    }
    Disturb(u);
    u.last_fault_ns = kNever - 1;  // until the window ends, a restart proves nothing
    uint64_t before = host::faults().failures(*site);
    if (e.timing.probability) {
      host::faults().fail_rate(*site, *e.timing.probability);
      uint64_t until = e.timing.window_ms ? now_ns() + e.timing.window_ms * kMs : kNever;
      host_windows_.push_back({*site, until, &u, before});
    } else {
      host::faults().fail_span(*site, e.timing.nth, e.timing.count);
      // The span is given a minute to strike; what is left of it is cleared.
      host_windows_.push_back({*site, now_ns() + kSpanWindowNs, &u, before, true});
    }
    Emit(r);
  }

  void EndWindows(uint64_t now) {
    for (auto it = host_windows_.begin(); it != host_windows_.end();) {
      if (it->until_ns > now) {
        ++it;
        continue;
      }
      host::faults().fail_rate(it->site, 0);
      if (it->span) host::faults().fail_span(it->site, 0, 0);
      if (it->unit->last_fault_ns == kNever - 1) it->unit->last_fault_ns = now;
      uint64_t failed = host::faults().failures(it->site) - it->failures_before;
      result_.faults_injected += failed;
      Emit(Make("host_fault_end", it->unit)
               .add("alloc", SiteName(it->site))
               .add("failures", failed));
      it = host_windows_.erase(it);
    }
  }

  // Allocation failures of spans, counted at the end.
  void CountHostSpans() {
    for (auto& w : host_windows_) {
      uint64_t failed = host::faults().failures(w.site) - w.failures_before;
      result_.faults_injected += failed;
      Emit(Make("host_fault_end", w.unit).add("alloc", SiteName(w.site)).add("failures", failed));
    }
    host_windows_.clear();
  }

  static const char* SiteName(host::FaultSite s) {
    switch (s) {
      case host::FaultSite::PoolAllocation:
        return "pool";
      case host::FaultSite::IrpAllocation:
        return "irp";
      case host::FaultSite::UrbAllocation:
        return "urb";
      case host::FaultSite::PacketAllocation:
        return "packet";
      case host::FaultSite::BufferAllocation:
        return "buffer";
      default:
        return "urb_submission";
    }
  }

  // ---- frames -----------------------------------------------------------------------------

  struct Decoded {
    bool checked = false;
    Mac dst{}, src{};
    uint32_t sequence = 0;
  };
  static Decoded Decode(const std::vector<uint8_t>& b) {
    Decoded d;
    if (b.size() < kCheckedHeaderBytes || b[12] != (kCheckedEtherType >> 8) ||
        b[13] != (kCheckedEtherType & 0xFF)) {
      return d;
    }
    d.checked = true;
    std::copy_n(b.begin(), 6, d.dst.begin());
    std::copy_n(b.begin() + 6, 6, d.src.begin());
    for (int i = 0; i < 4; ++i)
      d.sequence = d.sequence << 8 | b[16 + i];
    return d;
  }

  void OnWire(Unit& u, const hw::WireFrame& f) {
    if (wire_ && u.index == 0) wire_->write(f.time_ns, f.bytes);
    if (f.direction != hw::WireDirection::ToPartner) return;
    u.second.tx_frames++;
    u.second.tx_bytes += f.bytes.size();
    Decoded d = Decode(f.bytes);
    if (!d.checked || d.src != u.station) return;
    CheckedFrame c = check_frame(f.bytes, d.dst, u.station);
    ++u.tx_copies_on_wire;
    u.tx_check.arrived(c, f.mii_address);
    if (c.check == FrameCheck::Corrupt) {
      Emit(Make("corrupt", &u).add("direction", "tx").add("sequence", c.sequence));
    } else if (FrameInfo* fi = u.tx_frames.find(c.sequence)) {
      fi->fate = Fate::Delivered;
    }
  }

  void OnFate(Unit& u, const hw::FrameFateRecord& f) {
    Decoded d = Decode(f.bytes);
    if (!d.checked) return;
    const bool tx = f.fate == hw::FrameFate::TxNoLink || f.fate == hw::FrameFate::TxDisabled;
    if (tx) {
      FrameInfo* fi = d.src == u.station ? u.tx_frames.find(d.sequence) : nullptr;
      if (fi && fi->fate == Fate::Pending) {
        fi->fate = f.fate == hw::FrameFate::TxNoLink ? Fate::NoLink : Fate::Disabled;
      }
      return;
    }
    FrameInfo* found = d.src == u.partner_mac ? u.rx_frames.find(d.sequence) : nullptr;
    if (!found) return;
    FrameInfo& fi = *found;
    if (fi.fate == Fate::Delivered) return;
    switch (f.fate) {
      case hw::FrameFate::RxNoLink:
        fi.fate = Fate::NoLink;
        break;
      case hw::FrameFate::RxContention:
        fi.fate = Fate::Contention;
        break;
      case hw::FrameFate::RxDisabled:
        fi.fate = Fate::Disabled;
        break;
      case hw::FrameFate::RxFiltered:
        fi.fate = Fate::Filtered;
        break;
      case hw::FrameFate::RxTooLong:
        fi.fate = Fate::TooLong;
        break;
      case hw::FrameFate::RxFifoOverflow:
        fi.fate = Fate::Overflow;
        break;
      case hw::FrameFate::RxPartnerBusy:
        fi.fate = Fate::PartnerBusy;
        break;
      case hw::FrameFate::RxFlushed:
        fi.fate = Fate::Flushed;
        break;
      case hw::FrameFate::RxStreamDiscarded:
        fi.fate = Fate::Discarded;
        break;
      case hw::FrameFate::RxReadOut:
        if (fi.fate == Fate::Pending) fi.fate = Fate::ReadOut;
        break;
      default:
        break;
    }
  }

  void OnReceive(Unit& u, const std::vector<uint8_t>& data, NDIS_STATUS) {
    u.second.rx_frames++;
    u.second.rx_bytes += data.size();
    ++u.rx_since_reset;
    ++u.rx_indicated;
    Decoded d = Decode(data);
    if (!d.checked) return;
    if (d.src == kInjectorMac) {
      ++u.injected_indicated;
      return;
    }
    if (d.src == kEchoMac) {
      CheckedFrame c = check_frame(data, u.station, kEchoMac);
      ++u.echo_frames;
      if (c.check == FrameCheck::Good && c.sequence < u.tx_frames.size()) {
        // A folded record was not waiting for its echo.
        if (FrameInfo* fi = u.tx_frames.find(c.sequence)) fi->echoed = true;
      } else {
        Emit(Make("corrupt", &u).add("direction", "echo").add("sequence", c.sequence));
        u.tx_check.arrived({FrameCheck::Corrupt, c.sequence, 0});
      }
      return;
    }
    CheckedFrame c = check_frame(data, d.dst, u.partner_mac);
    u.rx_check.arrived(c);
    if (c.check == FrameCheck::Corrupt) {
      Emit(Make("corrupt", &u).add("direction", "rx").add("sequence", c.sequence));
    } else if (FrameInfo* fi = u.rx_frames.find(c.sequence)) {
      fi->fate = Fate::Delivered;
    }
  }

  // ---- observation ---------------------------------------------------------------------

  // Looks at what changed since the last look: media indications, PHY links,
  // the active PHY, and a finished second of traffic.
  void Observe() {
    for (auto& up : units_) {
      Unit& u = *up;
      for (const auto& [at, code] : u.media) {
        Record r = Make("media", &u);
        r.time_ns = at;
        bool connect = code == NDIS_STATUS_MEDIA_CONNECT;
        r.add("state", connect ? "connect" : "disconnect");
        if (connect && u.running) {
          if (auto speed = u.protocol->query_ulong(OID_GEN_LINK_SPEED)) {
            r.add("link_speed", static_cast<int64_t>(*speed));
          }
        }
        u.media_known = true;
        u.media_connected = connect;
        u.media_at = at;
        Emit(r);
      }
      u.media.clear();
      uint64_t now = now_ns();
      for (auto& [mii, view] : u.phy_view) {
        hw::PhyState st = u.board->phy_state(mii);
        PhyView seen{st.link_up, st.speed_mbps, st.full_duplex, view.since};
        if (seen.up != view.up || seen.speed != view.speed || seen.full != view.full) {
          seen.since = now;
          view = seen;
          Emit(Make("phy_link", &u)
                   .add("phy", static_cast<unsigned>(mii))
                   .add("up", seen.up)
                   .add("speed_mbps", seen.speed)
                   .add("full_duplex", seen.full));
        }
      }
      if (const void* a = adapter(u)) {
        int active = static_cast<uint8_t>(host::read_adapter_field(a, "ActivePhyAddress"));
        uint32_t id = host::read_adapter_field(a, "ActivePhyId");
        if (active != u.active_phy || id != u.active_id) {
          u.active_phy = active;
          u.active_id = id;
          u.active_since = now;
          Emit(Make("active_phy", &u)
                   .add("phy", active)
                   .add("id", static_cast<int64_t>(id))
                   .add("phy_kind", phy_kind(id)));
        }
      }
      WatchRecovery(u, now);
      CloseDisturbance(u);
      if (now >= u.next_second) {
        if (u.second.any()) {
          Record r = Make("second", &u);
          r.time_ns = u.next_second;
          r.add("tx_frames", u.second.tx_frames)
              .add("tx_bytes", u.second.tx_bytes)
              .add("rx_frames", u.second.rx_frames)
              .add("rx_bytes", u.second.rx_bytes);
          Emit(r);
        }
        u.second = {};
        u.next_second = (now / kSec + 1) * kSec;
        // The run keeps its own records; bound the protocol's and the board's.
        SettleSends(u);
        u.protocol->clear_records();
        u.board->clear_logs();
      }
    }
  }

  // What NDIS was told of the link must be what the active PHY has, once
  // the link has stayed put a while and nothing disturbed the adapter.
  void CheckLink() {
    uint64_t now = now_ns();
    for (auto& up : units_) {
      Unit& u = *up;
      if (!u.running || u.active_phy < 0 || Disturbed(u, now) || !u.media_known) continue;
      auto it = u.phy_view.find(static_cast<uint8_t>(u.active_phy));
      if (it == u.phy_view.end()) continue;
      const PhyView& v = it->second;
      uint64_t stable_from = std::max({v.since, u.active_since, u.disturbed_until});
      if (now < stable_from + kLinkStableNs) continue;
      if (v.up != u.media_connected) {
        char detail[200];
        snprintf(detail, sizeof detail,
                 "PHY %d has had its link %s for %.1f s, but the last indication (at %.3f s) "
                 "was %s",
                 u.active_phy, v.up ? "up" : "down", (now - stable_from) / 1e9, u.media_at / 1e9,
                 u.media_connected ? "connect" : "disconnect");
        Broken(u, "indications_follow_link", detail, v.up ? "link up" : "link down");
        u.media_known = false;  // once per disagreement
      }
    }
  }

  // ---- halt, summary, invariants ---------------------------------------------------------

  void Summarize(Unit& u) {
    SettleSends(u);
    // Sends not completed yet are in NDIS's queue or with the driver; the
    // halt gives them back, and their frames are checked after it.
    u.held_at_halt.clear();
    for (const auto& [number, seq] : u.pending_sends) {
      FrameInfo* fi = u.tx_frames.find(seq);
      if (!fi || fi->fate != Fate::Pending) continue;
      fi->fate = Fate::Held;
      u.held_at_halt.push_back(seq);
    }
    Record r = Make("summary", &u);
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
    std::map<std::string, int64_t> oid_values;
    for (const Oid& o : oids) {
      if (auto v = u.protocol->query_ulong(o.oid)) {
        r.add(o.name, static_cast<int64_t>(*v));
        oid_values[o.name] = *v;
      } else {
        r.add(o.name, "not answered");
      }
    }
    // Every send the protocol made, by what became of it so far: completed
    // (by status), still in NDIS's queue, or still with the driver.
    const uint64_t tx_sent = u.tx_check.sent() - u.tx_refused;
    const uint64_t ok = u.protocol->completed(NDIS_STATUS_SUCCESS);
    const uint64_t failed = u.protocol->completed(NDIS_STATUS_FAILURE);
    const uint64_t resources = u.protocol->completed(NDIS_STATUS_RESOURCES);
    const uint64_t other = u.protocol->completed_total() - ok - failed - resources;
    const uint64_t queued = u.miniport->sends_queued();
    const uint64_t in_driver = u.miniport->sends_outstanding();
    // Every send handed to NDIS ended in exactly one of these.
    const uint64_t handed = u.tx_check.sent() - u.tx_no_packet;
    if (ok + failed + resources + other + queued + in_driver != handed) {
      tx_outcomes_add_up_ = false;
    }
    r.add("tx_sent", tx_sent)
        .add("tx_refused", u.tx_refused)
        .add("tx_completed_success", ok)
        .add("tx_completed_failure", failed)
        .add("tx_completed_resources", resources)
        .add("tx_completed_other", other)
        .add("tx_queued_at_halt", queued)
        .add("tx_with_driver_at_halt", in_driver)
        .add("tx_refused_by_driver", u.miniport->sends_refused())
        .add("tx_sent_since_reset", u.tx_since_reset)
        .add("tx_on_wire_good", u.tx_check.good())
        .add("tx_copies_on_wire", u.tx_copies_on_wire)
        .add("tx_corrupt", u.tx_check.corrupt())
        .add("tx_duplicated", u.tx_check.duplicated())
        .add("rx_sent_by_partner", static_cast<uint64_t>(u.rx_check.sent()))
        .add("rx_indicated", u.rx_indicated)
        .add("rx_indicated_since_reset", u.rx_since_reset)
        .add("rx_good", u.rx_check.good())
        .add("rx_corrupt", u.rx_check.corrupt())
        .add("rx_duplicated", u.rx_check.duplicated());
    hw::Counters c = u.board->counters();
    r.add("wire_tx_frames", c.wire_tx_frames)
        .add("wire_rx_frames", c.wire_rx_frames)
        .add("tx_dropped_no_link", c.tx_dropped_no_link)
        .add("rx_lost_no_link", c.rx_lost_no_link)
        .add("rx_mii_contention", c.rx_mii_contention)
        .add("rx_fifo_overflows", c.rx_fifo_overflows)
        .add("rx_filtered", c.rx_filtered);
    if (u.echo_frames) r.add("echo_frames", u.echo_frames);
    if (u.injected_sent) {
      r.add("injected_transfers", u.injected_sent).add("injected_indicated", u.injected_indicated);
    }
    // Where every test frame ended, by direction.
    for (const auto& [dir, counts] : {std::make_pair("tx", FateCounts(u, true, std::nullopt)),
                                      std::make_pair("rx", FateCounts(u, false, std::nullopt))}) {
      for (const auto& [fate, n] : counts) {
        if (fate == "sent") continue;
        r.add(std::string(dir) + "_fate_" + fate, n);
      }
    }
    Emit(r);
    if (u.tx_check.corrupt() || u.tx_check.duplicated() || u.rx_check.corrupt() ||
        u.rx_check.duplicated()) {
      Fail(kExitBadTraffic,
           (units_.size() > 1 ? u.setting->name + ": " : "") + "frames arrived damaged or twice",
           "damaged_frames");
    }
    CheckStatistics(u, oid_values, c);
  }

  // Counts of each fate, for one direction and optionally one kind of traffic.
  std::map<std::string, int64_t> FateCounts(const Unit& u, bool tx,
                                            std::optional<TrafficKind> kind) const {
    std::map<std::string, int64_t> n;
    const auto& frames = tx ? u.tx_frames : u.rx_frames;
    static const char* const kTx[] = {"sent", "delivered", "no_link", "disabled", "refused",
                                      "held", "halted",    "lost",    "echoed"};
    static const char* const kRx[] = {
        "sent",      "delivered",  "filtered", "filtered_wrongly", "beyond_filter",
        "no_link",   "dropped",    "overflow", "disabled",         "flushed",
        "discarded", "contention", "too_long", "partner_busy",     "lost"};
    if (tx) {
      for (const char* k : kTx)
        n[k] = 0;
    } else {
      for (const char* k : kRx)
        n[k] = 0;
    }
    // Counted by name index first: one array step per frame.
    FrameBook::Counts c;
    for (size_t k = 0; k <= static_cast<size_t>(TrafficKind::Mix); ++k) {
      if (!kind || static_cast<size_t>(*kind) == k)
        c.add(frames.folded(static_cast<TrafficKind>(k)));
    }
    frames.for_each_kept([&](size_t, const FrameInfo& f) {
      if (!kind || f.kind == *kind) c.add(f, tx);
    });
    if (c.sent) n["sent"] += c.sent;
    if (c.echoed) n["echoed"] += c.echoed;
    if (c.beyond_filter) n["beyond_filter"] += c.beyond_filter;
    for (size_t i = 0; i < c.by_name.size(); ++i) {
      if (c.by_name[i]) n[kFateNames[i]] += c.by_name[i];
    }
    return n;
  }

  static std::string_view FateName(const FrameInfo& f, bool tx) {
    return kFateNames[FateIndex(f, tx)];
  }

  // A sent frame's record may be folded once its fate is final: refused, or
  // the MAC took it (and its echo came back, when a partner may echo).
  bool TxSettled(const FrameInfo& f) const {
    switch (f.fate) {
      case Fate::Refused:
      case Fate::NoLink:
      case Fate::Disabled:
        return true;
      case Fate::Delivered:
        return f.echoed || !echo_possible_;
      default:
        return false;
    }
  }

  // A received frame's, once it ended anywhere but where the checks look:
  // not still on its way, not read out without an indication, not filtered
  // although the filter asks for it.
  static bool RxSettled(const FrameInfo& f) {
    return f.fate != Fate::Pending && f.fate != Fate::ReadOut &&
           !(f.fate == Fate::Filtered && f.should_pass);
  }

  // Every test frame ended somewhere known, and the adapter filtered none
  // that the filter in force asked for, unless something disturbed it.
  void CheckFrames(Unit& u, uint64_t sent_before = kNever) {
    for (bool tx : {true, false}) {
      FrameBook& frames = tx ? u.tx_frames : u.rx_frames;
      // Folded records are settled: none of them would be reported.
      size_t i = frames.size();
      frames.visit_from(u.checked_upto(tx), [&](size_t seq, const FrameInfo& f) {
        if (f.sent_ns >= sent_before) {
          i = seq;
          return false;
        }
        // A frame is on its way from when the driver took it: one that waited
        // in NDIS's queue first may still be with the driver when a
        // disturbance strikes.
        if (WasDisturbed(u, std::max(f.sent_ns, f.taken_ns))) return true;
        const std::string_view fate = FateName(f, tx);
        if (fate == "lost" || fate == "filtered_wrongly" ||
            (!tx && fate == "dropped" && !u.crc_injected)) {
          char detail[200];
          snprintf(detail, sizeof detail, "%s frame %zu (%s, sent at %.3f s) was %s",
                   tx ? "sent" : "received", seq, traffic_kind_name(f.kind), f.sent_ns / 1e9,
                   fate == "lost"      ? "lost without a trace"
                   : fate == "dropped" ? "read from the device but never indicated"
                                       : "filtered although the packet filter asks for it");
          // Once per check: the frames after it went the same way.
          u.checked_upto(tx) = frames.size();
          i = seq;
          Broken(u, "frames_accounted", detail,
                 std::string(tx ? "sent " : "received ") + traffic_kind_name(f.kind) + " " +
                     std::string(fate));
          return false;
        }
        return true;
      });
      u.checked_upto(tx) = std::max(u.checked_upto(tx), i);
    }
    if (!tx_outcomes_add_up_) {
      Fail(kExitBadTraffic, "the outcomes of the sends do not add up", "sends_add_up");
    }
  }

  // What the driver counts agrees with what the traffic check saw since the
  // statistics were last zeroed, when nothing disturbed the adapter since.
  void CheckStatistics(Unit& u, const std::map<std::string, int64_t>& oid, const hw::Counters& c) {
    if (u.stats_dirty) return;
    auto get = [&](const char* k) {
      auto it = oid.find(k);
      return it == oid.end() ? int64_t{-1} : it->second;
    };
    int64_t rcv_ok = get("OID_GEN_RCV_OK");
    int64_t indicated = static_cast<int64_t>(u.rx_since_reset);
    if (rcv_ok >= 0 &&
        (rcv_ok > indicated + u.stats_margin || rcv_ok + u.stats_margin < indicated)) {
      Broken(u, "statistics_agree",
             "OID_GEN_RCV_OK is " + std::to_string(rcv_ok) + " but " +
                 std::to_string(u.rx_since_reset) + " frames were indicated",
             "OID_GEN_RCV_OK");
    }
    int64_t xmit_ok = get("OID_GEN_XMIT_OK");
    int64_t transfers = static_cast<int64_t>(c.tx_transfers - u.at_reset.tx_transfers);
    int64_t margin = u.tx_descriptors() + 2 + u.stats_margin;
    if (xmit_ok >= 0 && (xmit_ok > transfers + margin || xmit_ok + margin < transfers)) {
      Broken(u, "statistics_agree",
             "OID_GEN_XMIT_OK is " + std::to_string(xmit_ok) + " but the device took " +
                 std::to_string(transfers) + " transfers",
             "OID_GEN_XMIT_OK");
    }
  }

  void Halt(Unit& u, const std::string& reason) {
    StepLimit limit(this, "halting the adapter");
    Record r = Make("halt", &u);
    StopStreams(u);
    // Let frames in flight land before the counters are read, those the
    // partner still holds for a slow wire too.
    kernel_->scheduler().run_for(50 * kMs);
    for (int waited = 0; waited < 100 && PartnerFramesWaiting(u); ++waited)
      kernel_->scheduler().run_for(10 * kMs);
    Observe();
    CheckLink();
    Summarize(u);
    Disturb(u);
    // Frames whose sends completed but that the driver has not handed the
    // MAC yet: a slow wire (1 Mb/s on a home network) may still owe them
    // when the halt aborts the driver's transfers. The driver sends in
    // order: they come after the last frame the MAC took.
    size_t first_with_driver = u.tx_frames.folded_taken_end();
    u.tx_frames.visit_from(0, [&](size_t seq, const FrameInfo& f) {
      if (f.fate == Fate::Delivered || f.fate == Fate::NoLink || f.fate == Fate::Disabled) {
        first_with_driver = std::max(first_with_driver, seq + 1);
      }
      return true;
    });
    std::vector<size_t> with_driver;
    u.tx_frames.visit_from(first_with_driver, [&](size_t seq, const FrameInfo& f) {
      if (f.fate == Fate::Pending) with_driver.push_back(seq);
      return true;
    });
    // Frames go on being offered during the halt, and records of frames that
    // settled meanwhile may be folded: a folded one is not pending.
    auto still_pending = [&u](size_t seq) {
      FrameInfo* fi = u.tx_frames.find(seq);
      return fi != nullptr && fi->fate == Fate::Pending;
    };
    u.miniport->halt();
    u.running = false;
    u.active_phy = -1;
    // What the halt gave back settles the frames held at the summary; one
    // the halt neither sent nor gave back is lost. The halt drops what the
    // driver had taken and not sent yet, at most one descriptor's worth.
    SettleSends(u);
    size_t dropped = 0;
    for (size_t i : with_driver)
      dropped += still_pending(i);
    if (dropped <= u.tx_descriptors()) {
      for (size_t i : with_driver) {
        if (still_pending(i)) u.tx_frames.find(i)->fate = Fate::Halted;
      }
    }
    for (uint32_t seq : u.held_at_halt) {
      FrameInfo* fi = u.tx_frames.find(seq);
      if (fi && fi->fate == Fate::Held) fi->fate = Fate::Pending;
    }
    u.held_at_halt.clear();
    CheckFrames(u);
    size_t pending = u.bus->pending_irps();
    if (!reason.empty()) r.add("reason", reason);
    r.add("leaks", pending != 0);
    Emit(r);
    if (pending != 0) {
      Broken(u, "no_leak_at_halt",
             std::to_string(pending) + " request(s) still at the bus after the halt");
    }
  }

  void Finish() {
    StepLimit limit(this, "unloading the driver");
    CountHostSpans();
    for (auto& u : units_)
      u->protocol->close();
    ndis_->unload_driver();
    kernel_->check_leaks();
    for (auto& u : units_)
      EvaluateExpectations(*u);
  }

  void Teardown() {
    for (auto& u : units_)
      u->protocol.reset();
    ndis_.reset();
    for (auto& u : units_) {
      u->bus.reset();
      u->board.reset();
    }
    wire_.reset();
    kernel_.reset();
  }

  // ---- expectations -----------------------------------------------------------------------

  void AskOid(size_t index) {
    const Expectation& x = s_.expectations[index];
    Unit& u = *units_[x.adapter];
    StepLimit limit(this, "asking an OID");
    auto req = Request(u, false, x.oid, std::vector<uint8_t>(x.length));
    Record r = QueryRecord(u, req, x.oid, x.length);
    r.add("expectation_line", x.line);
    Emit(r);
    answers_[index] = req;
  }

  void Expected(Unit& u, const Expectation& x, bool ok, const std::string& what,
                const std::string& got) {
    Emit(Make("expectation", &u)
             .add("line", x.line)
             .add("expected", what)
             .add("got", got)
             .add("ok", ok));
    if (!ok) {
      Fail(kExitExpectation,
           s_.source + ":" + std::to_string(x.line) + ": expected " + what + ", got " + got,
           "expectation");
    }
  }

  std::vector<Record> RecordsOf(const Unit& u, const std::string& kind) const {
    std::vector<Record> out;
    for (const Record& r : result_.records) {
      if (r.kind != kind) continue;
      if (units_.size() > 1 && r.text("adapter") != u.setting->name) continue;
      out.push_back(r);
    }
    return out;
  }

  void EvaluateExpectations(Unit& u) {
    for (size_t i = 0; i < s_.expectations.size(); ++i) {
      const Expectation& x = s_.expectations[i];
      if (x.adapter != u.index) continue;
      switch (x.kind) {
        case ExpectKind::Media: {
          const char* state = x.connect ? "connect" : "disconnect";
          std::string what = x.count ? x.count->text() + " media " + state + " indication(s)"
                                     : std::string("a media ") + state + " indication";
          if (x.after_ms) what += " at or after " + std::to_string(*x.after_ms) + " ms";
          if (x.by_ms) what += " by " + std::to_string(*x.by_ms) + " ms";
          std::string got = "none";
          int64_t n = 0;
          bool any = false;
          for (const Record& r : RecordsOf(u, "media")) {
            if ((r.text("state") == "connect") != x.connect) continue;
            if (!any) got = "the first at " + std::to_string(r.time_ns / kMs) + " ms";
            any = true;
            if (x.after_ms && r.time_ns < *x.after_ms * kMs) continue;
            if (x.by_ms && r.time_ns > *x.by_ms * kMs) continue;
            if (n++ == 0) got = "one at " + std::to_string(r.time_ns / kMs) + " ms";
          }
          if (x.count) got = std::to_string(n) + (n ? " (" + got + ")" : "");
          bool ok = x.count ? x.count->holds(n) : n > 0;
          Expected(u, x, ok, what, got);
          break;
        }
        case ExpectKind::Frames: {
          auto counts = FateCounts(u, x.direction == Direction::Transmit, x.traffic);
          std::string what, got;
          bool ok = true;
          for (const auto& [fate, bound] : x.fates) {
            int64_t n = counts[fate];
            what += (what.empty() ? "" : ", ") + fate + " " + bound.text();
            got += (got.empty() ? "" : ", ") + fate + " " + std::to_string(n);
            ok = ok && bound.holds(n);
          }
          std::string scope =
              std::string(x.direction == Direction::Transmit ? "sent" : "received") +
              (x.traffic ? std::string(" ") + traffic_kind_name(*x.traffic) : "") + " frames: ";
          Expected(u, x, ok, scope + what, got);
          break;
        }
        case ExpectKind::Oid: {
          std::string what = oid_name(x.oid);
          auto it = answers_.find(i);
          std::string got;
          bool ok = true;
          auto req = it == answers_.end() ? nullptr : it->second;
          if (!req || !req->completed) {
            ok = false;
            got = req ? "no answer" : "the adapter was not running";
          } else {
            got = "status " + status_hex(req->status);
            std::vector<uint8_t> answer = req->data();
            if (x.status) {
              what += " status " + status_hex(*x.status);
              ok = ok && static_cast<uint32_t>(req->status) == *x.status;
            }
            if (x.value) {
              uint64_t v = 0;
              for (size_t k = 0; k < answer.size() && k < 8; ++k)
                v |= static_cast<uint64_t>(answer[k]) << (8 * k);
              what += " value " + x.value->text();
              got += ", value " + std::to_string(v);
              ok = ok && req->status == NDIS_STATUS_SUCCESS &&
                   x.value->holds(static_cast<int64_t>(v));
            }
            if (x.bytes) {
              what += " bytes " + hex_string(*x.bytes);
              got += ", bytes " + hex_string(answer);
              ok = ok && answer == *x.bytes;
            }
          }
          Expected(u, x, ok, what, got);
          break;
        }
        case ExpectKind::Statistic: {
          auto summaries = RecordsOf(u, "summary");
          std::string what = x.name + " " + x.value->text();
          if (summaries.empty()) {
            Expected(u, x, false, what, "no summary (the adapter never ran to a halt)");
            break;
          }
          const Record& last = summaries.back();
          const Field* f = last.find(x.name);
          if (!f || !std::holds_alternative<int64_t>(f->value)) {
            Expected(u, x, false, what, f ? "not answered" : "no such statistic");
            break;
          }
          int64_t v = std::get<int64_t>(f->value);
          Expected(u, x, x.value->holds(v), what, std::to_string(v));
          break;
        }
        case ExpectKind::Initialize: {
          auto inits = RecordsOf(u, "initialize");
          std::string what = std::string("initialize ") +
                             (x.index ? "#" + std::to_string(x.index) + " " : "") +
                             (x.refused ? "refused" : "to succeed");
          bool ok = !inits.empty();
          std::string got;
          for (size_t k = 0; k < inits.size(); ++k) {
            if (x.index && k + 1 != x.index) continue;
            bool refused = inits[k].integer("status") != 0;
            got += (got.empty() ? "" : ", ") + std::string(refused ? "refused " : "success ") +
                   status_hex(static_cast<uint32_t>(inits[k].integer("status")));
            ok = ok && refused == x.refused;
          }
          if (got.empty()) {
            ok = false;
            got = "no such initialize";
          }
          Expected(u, x, ok, what, got);
          break;
        }
        case ExpectKind::Reset: {
          auto resets = RecordsOf(u, "reset");
          std::string what = "reset";
          if (x.index) what += " #" + std::to_string(x.index);
          if (x.status) what += " with status " + status_hex(*x.status);
          if (x.within_ms) what += " finished within " + std::to_string(*x.within_ms) + " ms";
          bool ok = true;
          std::string got;
          size_t seen = 0;
          for (size_t k = 0; k < resets.size(); ++k) {
            if (!resets[k].find("took_us")) continue;
            ++seen;
            if (x.index && seen != x.index) continue;
            int64_t took = resets[k].integer("took_us");
            int64_t st = resets[k].integer("status");
            got += (got.empty() ? "" : ", ") + status_hex(static_cast<uint32_t>(st)) + " in " +
                   std::to_string(took / 1000) + " ms";
            if (x.status) ok = ok && static_cast<uint32_t>(st) == *x.status;
            if (x.within_ms) ok = ok && took <= static_cast<int64_t>(*x.within_ms * 1000);
          }
          if (got.empty()) {
            ok = false;
            got = "no reset";
          }
          Expected(u, x, ok, what, got);
          break;
        }
      }
    }
  }

  const Scenario& s_;
  const SimOptions& o_;
  Progress step_;
  SimResult result_;
  std::unique_ptr<host::Kernel> kernel_;
  std::unique_ptr<host::ndis::Library> ndis_;
  std::vector<std::unique_ptr<Unit>> units_;
  std::unique_ptr<EthernetPcapWriter> wire_;
  std::vector<HostWindow> host_windows_;
  std::map<size_t, std::shared_ptr<host::ndis::Request>> answers_;
  uint64_t step_deadline_ = kNever;
  bool tx_outcomes_add_up_ = true;
  bool echo_possible_ = false;  // a partner echoes, or may be told to
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
  std::string who = r.find("adapter") ? " of " + r.text("adapter") : "";
  out.push_back("Statistics reported by the driver" + who + " (NDIS queries before halt):");
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
  // Where each test frame ended.
  for (const char* dir : {"tx", "rx"}) {
    std::string s;
    for (const Field& f : r.fields) {
      std::string prefix = std::string(dir) + "_fate_";
      if (f.key.rfind(prefix, 0) != 0) continue;
      int64_t n = r.integer(f.key);
      if (n == 0) continue;
      s += (s.empty() ? "" : ", ") + f.key.substr(prefix.size()) + " " + std::to_string(n);
    }
    if (!s.empty())
      out.push_back(std::string("  ") + (dir[0] == 't' ? "out" : "in ") + " frames ended: " + s);
  }
  return out;
}

}  // namespace usbeth::sim
