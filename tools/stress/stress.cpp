#include "stress.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frame_check.h"
#include "hw/board.h"
#include "miniport/miniport.h"
#include "ndis/ndis.h"
#include "ndis/protocol.h"
#include "sim/kernel.h"
#include "usb/bus_driver.h"

namespace usbeth::stress {
namespace {

using host::Nanoseconds;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kPartnerFlow = 0x80;
constexpr uint32_t kFilterNormal =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;
// Waits of the control thread and of NDIS requests, in virtual time: long
// enough that only a hang runs them out (the watchdog reports those first).
constexpr Nanoseconds kRequestLimit = 600 * host::kSecond;
// Losses stamped up to this long after a disturbance ended still belong to
// it (events already due when the link came back).
constexpr Nanoseconds kSettle = 50 * host::kMillisecond;
// A cable pull or a reset is over once the link has carried traffic without a
// break for this long: one whole link poll period and a negotiation, so that
// the driver's own reaction to the link change (it may renegotiate or restart
// the MAC) belongs to the disturbance that caused it.
constexpr Nanoseconds kLinkSettle = 5 * host::kSecond;

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void SleepMs(unsigned ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- Disturbances ------------------------------------------------------------
// The times when losing frames is legitimate: while the adapter resets, while
// the cable is out (until the link carries traffic again), and while the
// packet filter excludes directed frames.
enum Disturbance : unsigned {
  kBringUp = 1u << 0,
  kReset = 1u << 1,
  kCablePull = 1u << 2,
  kFilterClosed = 1u << 3,
  kAlways = ~0u,
};

class Disturbances {
 public:
  size_t Open(unsigned kind, Nanoseconds begin) {
    std::lock_guard<std::mutex> lock(mutex_);
    windows_.push_back({kind, begin, host::ndis::Protocol::kNever});
    return windows_.size() - 1;
  }
  void Close(size_t id, Nanoseconds end) {
    std::lock_guard<std::mutex> lock(mutex_);
    windows_[id].end = end;
  }
  // How far `t` lies from the nearest disturbance of one of `kinds` (0 inside
  // one), or nothing when there is none; for the report of a frame nothing
  // explains.
  std::optional<Nanoseconds> Distance(unsigned kinds, Nanoseconds t) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<Nanoseconds> nearest;
    for (const Window& w : windows_) {
      if ((w.kind & kinds) == 0) continue;
      Nanoseconds d = 0;
      if (t < w.begin) {
        d = w.begin - t;
      } else if (w.end != host::ndis::Protocol::kNever && t > w.end) {
        d = t - w.end;
      }
      if (!nearest || d < *nearest) nearest = d;
    }
    return nearest;
  }
  // True when a disturbance of one of `kinds` (with its settling time)
  // overlaps the span from `from` to `to`.
  bool Overlaps(unsigned kinds, Nanoseconds from, Nanoseconds to) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Window& w : windows_) {
      if ((w.kind & kinds) == 0) continue;
      if (w.begin <= to && (w.end == host::ndis::Protocol::kNever || w.end + kSettle >= from)) {
        return true;
      }
    }
    return false;
  }
  // True when a disturbance of one of `kinds` covers `t`.
  bool Covers(unsigned kinds, Nanoseconds t, Nanoseconds before = 0) const {
    if (kinds == kAlways) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Window& w : windows_) {
      if ((w.kind & kinds) == 0) continue;
      const Nanoseconds begin = w.begin > before ? w.begin - before : 0;
      if (t >= begin && (w.end == host::ndis::Protocol::kNever || t <= w.end + kSettle)) {
        return true;
      }
    }
    return false;
  }

 private:
  struct Window {
    unsigned kind;
    Nanoseconds begin, end;
  };
  mutable std::mutex mutex_;
  std::vector<Window> windows_;
};

// Where a frame ended inside the adapter, as a loss cause, and the
// disturbances that make it legitimate.
struct FateCause {
  const char* name;
  unsigned allowed;
};

std::optional<FateCause> CauseOf(hw::FrameFate fate) {
  switch (fate) {
    case hw::FrameFate::TxNoLink:
      return FateCause{"transmitted without link", kBringUp | kReset | kCablePull};
    case hw::FrameFate::TxDisabled:
      return FateCause{"transmitter disabled", kReset | kCablePull};
    case hw::FrameFate::RxNoLink:
      return FateCause{"sent by the partner without link", kBringUp | kReset | kCablePull};
    case hw::FrameFate::RxContention:
      return FateCause{"receive contention", 0};
    case hw::FrameFate::RxDisabled:
      return FateCause{"receiver disabled", kBringUp | kReset | kCablePull | kFilterClosed};
    case hw::FrameFate::RxFiltered:
      return FateCause{"refused by the address filter", kFilterClosed};
    case hw::FrameFate::RxTooLong:
      return FateCause{"too long for a receive transfer", 0};
    case hw::FrameFate::RxFifoOverflow:
      return FateCause{"receive FIFO full", kAlways};
    case hw::FrameFate::RxPartnerBusy:
      return FateCause{"offered faster than the partner's wire carries", kAlways};
    case hw::FrameFate::RxFlushed:
      return FateCause{"flushed by a controller reset", kReset};
    case hw::FrameFate::RxStreamDiscarded:
      return FateCause{"discarded by an endpoint reset", kReset};
    case hw::FrameFate::RxReadOut:
      return std::nullopt;
  }
  return std::nullopt;
}

constexpr const char* kDroppedInReset = "read out during a reset, dropped by the driver";

// ---- Counters ------------------------------------------------------------------
struct Counts {
  std::atomic<uint64_t> sends_accepted{0}, sends_completed{0}, pool_exhausted{0};
  std::atomic<uint64_t> partner_sent{0};
  std::atomic<uint64_t> resets_started{0};  // every reset NDIS announced
  std::atomic<uint64_t> resets{0}, cable_pulls{0}, filter_sets{0}, multicast_sets{0}, queries{0};
  std::atomic<uint64_t> media_connect{0}, media_disconnect{0};
  std::atomic<int> media{0};  // 1 connected, 2 disconnected
  std::mutex mutex;
  std::map<NDIS_STATUS, uint64_t> completions_by_status;  // guarded by mutex
  std::vector<std::string> control_errors;                // guarded by mutex
  uint64_t control_error_count = 0;                       // guarded by mutex

  void ControlError(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    ++control_error_count;
    if (control_errors.size() < 20) control_errors.push_back(what);
  }
};

// ---- The protocol above the adapter --------------------------------------------
// Checks each indicated frame as it arrives and keeps nothing; reads each
// completed send's flow and sequence number from its first buffer, so that a
// send completed with a failure status counts as that frame's loss.
class StressProtocol : public host::ndis::Protocol {
 public:
  StressProtocol(host::ndis::Miniport& m, Options o, FlowChecker& to_ndis, FlowChecker& to_wire,
                 Counts& counts, Disturbances& disturbances)
      : Protocol(m, o),
        to_ndis_(to_ndis),
        to_wire_(to_wire),
        counts_(counts),
        disturbances_(disturbances) {}

  bool receive(host::ndis::Miniport&, PNDIS_PACKET, NDIS_STATUS, UINT,
               std::vector<uint8_t> data) override {
    Verdict v = to_ndis_.Arrive(data.data(), data.size());
    if (v == Verdict::Ok && on_arrival) on_arrival(HeaderId(data.data()));
    if (v == Verdict::Foreign) {
      to_ndis_.Error("foreign", "a frame the partner never sent was indicated (" +
                                    std::to_string(data.size()) + " bytes)");
    }
    return false;
  }

  // Told of every intact frame indicated, after it was checked.
  std::function<void(FrameId)> on_arrival;

  void status(host::ndis::Miniport& m, NDIS_STATUS code, const void* b, UINT s) override {
    Protocol::status(m, code, b, s);
    // NDIS says when any reset begins and ends, also one it makes on its own
    // for a hang or a send held too long: frames are lost in it as in one
    // the control thread asks for.
    if (code == NDIS_STATUS_RESET_START) {
      std::lock_guard<std::mutex> lock(reset_mutex_);
      reset_window_ = disturbances_.Open(kReset, host::Kernel::get().scheduler().now());
      ++counts_.resets_started;
    }
    if (code == NDIS_STATUS_RESET_END) {
      std::lock_guard<std::mutex> lock(reset_mutex_);
      if (reset_window_) disturbances_.Close(*reset_window_, host::Kernel::get().scheduler().now());
      reset_window_.reset();
    }
    if (code == NDIS_STATUS_MEDIA_CONNECT) {
      counts_.media = 1;
      ++counts_.media_connect;
    }
    if (code == NDIS_STATUS_MEDIA_DISCONNECT) {
      counts_.media = 2;
      ++counts_.media_disconnect;
    }
  }

  void send_complete(host::ndis::Miniport& m, PNDIS_PACKET packet, NDIS_STATUS status) override {
    std::optional<FrameId> id;
    PNDIS_BUFFER first = nullptr;
    NdisQueryPacket(packet, nullptr, nullptr, &first, nullptr);
    if (first) {
      PVOID va = nullptr;
      UINT length = 0;
      NdisQueryBuffer(first, &va, &length);
      const auto* bytes = static_cast<const uint8_t*>(va);
      if (bytes && length >= kHeaderBytes && bytes[12] == (kEtherType >> 8) &&
          bytes[13] == (kEtherType & 0xFF)) {
        id = FrameId{bytes[16], uint32_t(bytes[18]) | uint32_t(bytes[19]) << 8 |
                                    uint32_t(bytes[20]) << 16 | uint32_t(bytes[21]) << 24};
      }
    }
    Protocol::send_complete(m, packet, status);
    {
      std::lock_guard<std::mutex> lock(counts_.mutex);
      ++counts_.completions_by_status[status];
    }
    if (status != NDIS_STATUS_SUCCESS) {
      const Nanoseconds now = host::Kernel::get().scheduler().now();
      if (id) {
        to_wire_.Lost(*id, "send completed with status " + Hex(status), now);
      } else {
        to_wire_.Error("unknown", "a send completed with status " + Hex(status) +
                                      " carried no stress frame header");
      }
    }
    ++counts_.sends_completed;
  }

 private:
  FlowChecker& to_ndis_;
  FlowChecker& to_wire_;
  Counts& counts_;
  Disturbances& disturbances_;
  std::mutex reset_mutex_;
  std::optional<size_t> reset_window_;  // guarded by reset_mutex_
};

// ---- The run -----------------------------------------------------------------
class Stress {
 public:
  explicit Stress(const StressOptions& o)
      : o_(o),
        to_wire_("to the wire", 0, o.senders),
        to_ndis_("to NDIS", kPartnerFlow, 1),
        start_(Clock::now()) {}

  int Run();

 private:
  Nanoseconds Now() { return host::Kernel::get().scheduler().now(); }
  uint64_t Arrived() { return to_wire_.arrived() + to_ndis_.arrived(); }
  void Progress() { ++progress_; }

  bool BringUp();
  void Sender(uint8_t flow);
  void Partner();
  void Control();
  void ControlReset(std::mt19937_64& rng);
  void ControlCablePull(std::mt19937_64& rng);
  void ControlFilter(std::mt19937_64& rng);
  void ControlMulticast(std::mt19937_64& rng);
  void ControlQuery(std::mt19937_64& rng);
  bool SetFilter(uint32_t filter);
  // Waits until the PHY carries traffic (and has for `stable` of virtual
  // time without a break); false when the run is being torn down.
  bool WaitForLink(Nanoseconds stable = 0);
  void Watchdog();
  void PrintProgress(bool final);
  void Drain();
  int Report();
  void OnFate(const hw::FrameFateRecord& r);
  std::optional<std::string> Explain(FrameId id);

  StressOptions o_;
  FlowChecker to_wire_;
  FlowChecker to_ndis_;
  Disturbances disturbances_;
  Counts counts_;
  Clock::time_point start_;
  Clock::time_point traffic_start_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> watchdog_stop_{false};
  std::atomic<uint64_t> progress_{0};
  std::atomic<bool> traffic_{false};
  std::atomic<const char*> phase_{"bring-up"};

  std::unique_ptr<host::Kernel> kernel_;
  std::unique_ptr<host::ndis::Library> ndis_;
  std::unique_ptr<hw::Board> board_;
  std::unique_ptr<host::usb::BusDriver> bus_;
  host::ndis::Miniport* miniport_ = nullptr;
  std::unique_ptr<StressProtocol> protocol_;
  uint8_t phy_ = 0;
  Mac station_{};
  Mac partner_{};
  size_t fifo_capacity_ = 0;
  uint32_t max_list_ = 0;

  // When each partner frame was read out on the bulk-in pipe, and when it
  // was indicated (0: not yet).
  std::mutex readout_mutex_;
  std::vector<Nanoseconds> readout_;
  std::vector<Nanoseconds> indicated_;
  uint64_t hang_resets_ = 0;  // read before halt
  uint64_t last_progress_arrived_ = 0;
  Clock::time_point last_progress_time_;
};

void Stress::OnFate(const hw::FrameFateRecord& r) {
  const bool to_partner = r.fate == hw::FrameFate::TxNoLink || r.fate == hw::FrameFate::TxDisabled;
  if (r.fate == hw::FrameFate::RxReadOut) {
    std::optional<FrameId> id = DecodeFrame(r.bytes.data(), r.bytes.size());
    if (id && id->flow == kPartnerFlow) {
      std::lock_guard<std::mutex> lock(readout_mutex_);
      if (id->seq >= readout_.size()) {
        readout_.resize(std::max<size_t>(id->seq + 1, 2 * readout_.size()), 0);
      }
      readout_[id->seq] = r.time_ns;
    }
    if (id && id->flow == kPartnerFlow && o_.hold_reads != 0 && id->seq % o_.hold_reads == 0) {
      SleepMs(50);
    }
    return;
  }
  std::optional<FateCause> cause = CauseOf(r.fate);
  if (!cause) return;
  (to_partner ? to_wire_ : to_ndis_).Lost(r.bytes.data(), r.bytes.size(), cause->name, r.time_ns);
}

std::optional<std::string> Stress::Explain(FrameId id) {
  if (id.flow != kPartnerFlow) return std::nullopt;
  Nanoseconds t = 0;
  {
    std::lock_guard<std::mutex> lock(readout_mutex_);
    if (id.seq < readout_.size()) t = readout_[id.seq];
  }
  // A read that completes while the reset has the adapter in its restart
  // state gives its frame up. Its completion comes after the frame was read
  // out, by as long as the processor carrying it is held up, but before any
  // later frame is indicated, since frames are indicated in the order they
  // were read: a reset anywhere in between explains the loss.
  if (t != 0) {
    Nanoseconds next = Now();
    {
      std::lock_guard<std::mutex> lock(readout_mutex_);
      for (size_t s = id.seq + 1; s < indicated_.size(); ++s) {
        if (indicated_[s] != 0) {
          next = indicated_[s];
          break;
        }
      }
    }
    const Nanoseconds slack = 20 * host::kMillisecond;
    if (disturbances_.Overlaps(kReset, t > slack ? t - slack : 0, next)) return kDroppedInReset;
  }
  // Nothing explains it: say where it was last seen, for the diagnosis.
  if (t == 0) {
    std::fprintf(stderr, "usbeth-stress: partner frame %u was never read out on the bulk-in pipe\n",
                 static_cast<unsigned>(id.seq));
  } else {
    auto away = [&](unsigned kind) {
      const std::optional<Nanoseconds> d = disturbances_.Distance(kind, t);
      return d ? std::to_string(*d / 1000) + " us" : std::string("none");
    };
    std::fprintf(stderr,
                 "usbeth-stress: partner frame %u was read out at %.6f s; the nearest reset is %s "
                 "away, cable pull %s, closed filter %s\n",
                 static_cast<unsigned>(id.seq), t / 1e9, away(kReset).c_str(),
                 away(kCablePull).c_str(), away(kFilterClosed).c_str());
  }
  return std::nullopt;
}

bool Stress::SetFilter(uint32_t filter) {
  auto r = protocol_->set(
      OID_GEN_CURRENT_PACKET_FILTER,
      {uint8_t(filter), uint8_t(filter >> 8), uint8_t(filter >> 16), uint8_t(filter >> 24)},
      host::ndis::CallOptions{PASSIVE_LEVEL}, kRequestLimit);
  ++counts_.filter_sets;
  if (!r->completed || r->status != NDIS_STATUS_SUCCESS) {
    counts_.ControlError("packet filter " + Hex(filter) + " set: " +
                         (r->completed ? "status " + Hex(r->status) : "never completed"));
    return false;
  }
  return true;
}

bool Stress::WaitForLink(Nanoseconds stable) {
  Nanoseconds since = Now();
  for (;;) {
    if (watchdog_stop_) return false;
    if (!board_->phy_state(phy_).carries_traffic) {
      since = Now();
    } else if (Now() - since >= stable) {
      return true;
    }
    SleepMs(1);
  }
}

bool Stress::BringUp() {
  if (ndis_->load_driver(DriverEntry) != STATUS_SUCCESS) {
    std::fprintf(stderr, "usbeth-stress: DriverEntry failed\n");
    return false;
  }
  host::ndis::AdapterSetup setup;
  setup.lower_device = bus_->device_object();
  setup.name = "usbeth0";
  miniport_ = &ndis_->add_adapter(std::move(setup));
  host::ndis::Protocol::Options po;
  po.keep_received_packets = false;
  po.packet_pool_size = 64 * std::max(1u, o_.senders);
  po.buffer_pool_size = 4 * po.packet_pool_size;
  protocol_ =
      std::make_unique<StressProtocol>(*miniport_, po, to_ndis_, to_wire_, counts_, disturbances_);
  protocol_->on_arrival = [this](FrameId id) {
    if (id.flow != kPartnerFlow) return;
    std::lock_guard<std::mutex> lock(readout_mutex_);
    if (id.seq >= indicated_.size()) {
      indicated_.resize(std::max<size_t>(id.seq + 1, 2 * indicated_.size()), 0);
    }
    indicated_[id.seq] = Now();
  };
  const size_t bring_up = disturbances_.Open(kBringUp, 0);
  NDIS_STATUS status = miniport_->initialize();
  if (status != NDIS_STATUS_SUCCESS) {
    std::fprintf(stderr, "usbeth-stress: initialize failed with status %s\n", Hex(status).c_str());
    return false;
  }
  auto address = protocol_->query(OID_802_3_CURRENT_ADDRESS, 6, {}, kRequestLimit);
  if (!address->completed || address->status != NDIS_STATUS_SUCCESS || address->bytes_done != 6) {
    std::fprintf(stderr, "usbeth-stress: the station address query failed\n");
    return false;
  }
  std::vector<uint8_t> a = address->data();
  std::copy_n(a.begin(), 6, station_.begin());
  max_list_ = protocol_->query_ulong(OID_802_3_MAXIMUM_LIST_SIZE).value_or(0);
  if (!SetFilter(kFilterNormal)) return false;
  if (!protocol_->run_until([&] { return counts_.media.load() == 1; }, kRequestLimit) ||
      !WaitForLink()) {
    std::fprintf(stderr, "usbeth-stress: the link did not come up\n");
    return false;
  }
  disturbances_.Close(bring_up, Now());
  return true;
}

void Stress::Sender(uint8_t flow) {
  std::mt19937_64 rng(o_.seed * 1000003 + flow);
  uint32_t seq = 0;
  while (!stop_) {
    const unsigned pick = rng() % 100;
    size_t length = pick < 50   ? 60 + rng() % 69
                    : pick < 80 ? 129 + rng() % 472
                                : 601 + rng() % (kMaxFrame - 600);
    Bytes frame = MakeFrame(partner_, station_, flow, seq, length);
    // One buffer, or the frame split after its header into two or three.
    std::vector<size_t> sizes;
    if (rng() % 2) {
      sizes.push_back(kHeaderBytes + rng() % (length - kHeaderBytes));
      if (rng() % 2) sizes.push_back(rng() % (length - sizes[0] + 1));
    }
    const KIRQL irql = rng() % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    to_wire_.Sent(flow, seq);
    // Every packet of the protocol in use: wait for completions, with the
    // same frame (its number is already taken).
    uint64_t number;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    while ((number = protocol_->send(frame, sizes, host::ndis::CallOptions{irql}, &status)) == 0) {
      ++counts_.pool_exhausted;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ++counts_.sends_accepted;
    ++seq;
    // A send failed at once (NDIS fails sends while the adapter resets):
    // give the adapter a moment rather than fail a stream of them. (The
    // records, send statuses among them, are cleared by another thread.)
    if (status != NDIS_STATUS_PENDING && status != NDIS_STATUS_SUCCESS) SleepMs(1);
  }
}

void Stress::Partner() {
  std::mt19937_64 rng(o_.seed * 7919 + kPartnerFlow);
  uint32_t seq = 0;
  while (!stop_) {
    const unsigned pick = rng() % 100;
    size_t length = pick < 50   ? 60 + rng() % 69
                    : pick < 80 ? 129 + rng() % 472
                                : 601 + rng() % (kMaxFrame - 600);
    // The partner keeps to what the receive FIFO holds (a full FIFO still
    // happens, and is counted, when the reading side stalls).
    const size_t need = length + 8;
    int waits = 0;
    while (!stop_ && board_->rx_fifo_bytes() + need > fifo_capacity_ && waits++ < 200) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (stop_) break;
    // Without link the partner's frames are lost; it keeps sending, slowly.
    if (!board_->phy_state(phy_).carries_traffic) SleepMs(2);
    to_ndis_.Sent(kPartnerFlow, seq);
    board_->send_from_partner(phy_, MakeFrame(station_, partner_, kPartnerFlow, seq, length));
    ++counts_.partner_sent;
    ++seq;
  }
}

void Stress::ControlReset(std::mt19937_64&) {
  const size_t w = disturbances_.Open(kReset, Now());
  const Nanoseconds began = Now();
  const Clock::time_point began_real = Clock::now();
  NDIS_STATUS status = protocol_->reset(host::ndis::CallOptions{DISPATCH_LEVEL}, kRequestLimit);
  ++counts_.resets;
  if (status != NDIS_STATUS_SUCCESS) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "reset: status %s after %.3f s (%.3f s of real time), begun at %.6f s; "
                  "NDIS %s it pending",
                  Hex(status).c_str(), (Now() - began) / 1e9, Seconds(Clock::now() - began_real),
                  began / 1e9, miniport_->reset_pending() ? "still has" : "no longer has");
    counts_.ControlError(text);
  }
  WaitForLink(kLinkSettle);
  disturbances_.Close(w, Now());
}

void Stress::ControlCablePull(std::mt19937_64& rng) {
  const size_t w = disturbances_.Open(kCablePull, Now());
  board_->plug(phy_, false);
  SleepMs(5 + rng() % 150);
  board_->plug(phy_, true);
  ++counts_.cable_pulls;
  WaitForLink(kLinkSettle);
  disturbances_.Close(w, Now());
}

void Stress::ControlFilter(std::mt19937_64& rng) {
  static constexpr uint32_t kWithDirected[] = {
      kFilterNormal,
      NDIS_PACKET_TYPE_DIRECTED,
      NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST,
      NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_ALL_MULTICAST,
      NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_PROMISCUOUS,
      kFilterNormal | NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS,
  };
  static constexpr uint32_t kWithoutDirected[] = {
      0,
      NDIS_PACKET_TYPE_BROADCAST,
      NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST,
  };
  if (rng() % 8) {
    SetFilter(kWithDirected[rng() % std::size(kWithDirected)]);
    return;
  }
  // A while without directed frames: the partner's frames are refused.
  const size_t w = disturbances_.Open(kFilterClosed, Now());
  SetFilter(kWithoutDirected[rng() % std::size(kWithoutDirected)]);
  SleepMs(2 + rng() % 30);
  SetFilter(kFilterNormal);
  disturbances_.Close(w, Now());
}

void Stress::ControlMulticast(std::mt19937_64& rng) {
  // Up to the size the driver declares; now and then far more than any
  // list holds, which must be refused whole.
  const bool too_many = rng() % 10 == 0;
  const size_t count = too_many ? 4 * max_list_ + 200 : rng() % (max_list_ + 1);
  std::vector<uint8_t> list;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t address[6] = {0x01,           0x00,          0x5E, uint8_t(rng() & 0x7F),
                                uint8_t(rng()), uint8_t(rng())};
    list.insert(list.end(), address, address + 6);
  }
  auto r = protocol_->set(OID_802_3_MULTICAST_LIST, list, host::ndis::CallOptions{PASSIVE_LEVEL},
                          kRequestLimit);
  ++counts_.multicast_sets;
  const NDIS_STATUS expected = too_many ? NDIS_STATUS_MULTICAST_FULL : NDIS_STATUS_SUCCESS;
  if (!r->completed || r->status != expected) {
    counts_.ControlError("multicast list of " + std::to_string(count) + " set: " +
                         (r->completed ? "status " + Hex(r->status) : "never completed"));
  }
}

void Stress::ControlQuery(std::mt19937_64& rng) {
  static constexpr NDIS_OID kOids[] = {
      OID_GEN_XMIT_OK,
      OID_GEN_RCV_OK,
      OID_GEN_XMIT_ERROR,
      OID_GEN_RCV_ERROR,
      OID_GEN_RCV_NO_BUFFER,
      OID_GEN_RCV_CRC_ERROR,
      OID_GEN_LINK_SPEED,
      OID_GEN_MEDIA_CONNECT_STATUS,
      OID_GEN_CURRENT_PACKET_FILTER,
      OID_GEN_MAXIMUM_FRAME_SIZE,
      OID_GEN_HARDWARE_STATUS,
      OID_GEN_SUPPORTED_LIST,
      OID_GEN_VENDOR_DESCRIPTION,
      OID_802_3_CURRENT_ADDRESS,
      OID_802_3_PERMANENT_ADDRESS,
      OID_802_3_MAXIMUM_LIST_SIZE,
  };
  const NDIS_OID oid = kOids[rng() % std::size(kOids)];
  const KIRQL irql = rng() % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL;
  auto r = protocol_->query(oid, 512, host::ndis::CallOptions{irql}, kRequestLimit);
  ++counts_.queries;
  if (!r->completed || r->status != NDIS_STATUS_SUCCESS) {
    counts_.ControlError("query " + Hex(oid) + ": " +
                         (r->completed ? "status " + Hex(r->status) : "never completed"));
    return;
  }
  if (oid == OID_802_3_CURRENT_ADDRESS) {
    std::vector<uint8_t> a = r->data();
    if (a.size() != 6 || !std::equal(a.begin(), a.end(), station_.begin())) {
      counts_.ControlError("the station address changed under traffic");
    }
  }
}

void Stress::Control() {
  std::mt19937_64 rng(o_.seed * 104729 + 0xC0);
  while (!stop_) {
    SleepMs(10 + rng() % 150);
    if (stop_) break;
    const unsigned pick = rng() % 100;
    if (pick < 12) {
      ControlReset(rng);
    } else if (pick < 24) {
      ControlCablePull(rng);
    } else if (pick < 44) {
      ControlFilter(rng);
    } else if (pick < 64) {
      ControlMulticast(rng);
    } else {
      ControlQuery(rng);
    }
    Progress();
  }
}

void Stress::Watchdog() {
  // While traffic runs, each direction that has a sender must see frames
  // arrive; in the other phases any step forward counts.
  uint64_t seen[3] = {};
  Clock::time_point last_change[3];
  for (auto& t : last_change)
    t = Clock::now();
  const char* stalled = nullptr;
  while (!watchdog_stop_) {
    SleepMs(100);
    const bool traffic = traffic_.load();
    const uint64_t now[3] = {to_wire_.arrived(), to_ndis_.arrived(),
                             Arrived() + counts_.sends_completed + progress_};
    const char* names[3] = {"frames to the wire", "frames to NDIS", "the run"};
    for (int i = 0; i < 3; ++i) {
      if (now[i] != seen[i] || (i < 2 && !traffic)) {
        seen[i] = now[i];
        last_change[i] = Clock::now();
      }
    }
    stalled = nullptr;
    const bool watch[3] = {traffic && o_.senders > 0, traffic && o_.partner, !traffic};
    for (int i = 0; i < 3; ++i) {
      if (watch[i] && Seconds(Clock::now() - last_change[i]) >= o_.watchdog_seconds) {
        stalled = names[i];
      }
    }
    if (!stalled) continue;
    hw::Counters c = board_->counters();
    std::fprintf(
        stderr,
        "usbeth-stress: FAILED: no progress of %s for %u s of real time (phase: %s, "
        "seed %llu)\n"
        "  frames to the wire %llu of %llu sent, to NDIS %llu of %llu sent\n"
        "  sends accepted %llu, completed %llu; NDIS queue %zu, at the miniport %zu\n"
        "  board: on the wire %llu, from the partner %llu, receive FIFO %zu frames, "
        "overflows %llu; link %s\n",
        stalled, o_.watchdog_seconds, phase_.load(), static_cast<unsigned long long>(o_.seed),
        static_cast<unsigned long long>(to_wire_.arrived()),
        static_cast<unsigned long long>(to_wire_.sent()),
        static_cast<unsigned long long>(to_ndis_.arrived()),
        static_cast<unsigned long long>(to_ndis_.sent()),
        static_cast<unsigned long long>(counts_.sends_accepted.load()),
        static_cast<unsigned long long>(counts_.sends_completed.load()),
        miniport_ ? miniport_->sends_queued() : 0, miniport_ ? miniport_->sends_outstanding() : 0,
        static_cast<unsigned long long>(c.wire_tx_frames),
        static_cast<unsigned long long>(c.wire_rx_frames), board_->rx_fifo_frames(),
        static_cast<unsigned long long>(c.rx_fifo_overflows),
        board_->phy_state(phy_).carries_traffic ? "carries traffic" : "down");
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(3);
  }
}

void Stress::PrintProgress(bool final) {
  const auto now = Clock::now();
  const double elapsed = Seconds(now - traffic_start_);
  const uint64_t arrived = Arrived();
  const double interval = Seconds(now - last_progress_time_);
  const double rate = final ? (elapsed > 0 ? arrived / elapsed : 0)
                            : (interval > 0 ? (arrived - last_progress_arrived_) / interval : 0);
  last_progress_arrived_ = arrived;
  last_progress_time_ = now;
  std::printf(
      "[%7.1f s] to wire %9llu  to NDIS %9llu  %8.0f frames/s  resets %llu  pulls %llu  "
      "filters %llu  multicast %llu  queries %llu  errors %llu\n",
      elapsed, static_cast<unsigned long long>(to_wire_.arrived()),
      static_cast<unsigned long long>(to_ndis_.arrived()), rate,
      static_cast<unsigned long long>(counts_.resets.load()),
      static_cast<unsigned long long>(counts_.cable_pulls.load()),
      static_cast<unsigned long long>(counts_.filter_sets.load()),
      static_cast<unsigned long long>(counts_.multicast_sets.load()),
      static_cast<unsigned long long>(counts_.queries.load()),
      static_cast<unsigned long long>(to_wire_.errors() + to_ndis_.errors()));
  std::fflush(stdout);
}

// After traffic has stopped: every send back from the miniport, the wire
// and the receive FIFO quiet, every frame in flight arrived or lost.
void Stress::Drain() {
  phase_ = "drain";
  protocol_->run_until(
      [&] { return protocol_->sends_in_flight() == 0 && miniport_->sends_queued() == 0; },
      kRequestLimit);
  uint64_t last = 0;
  auto stable_since = Clock::now();
  while (Seconds(Clock::now() - stable_since) < 0.5) {
    SleepMs(20);
    const uint64_t now =
        Arrived() + to_wire_.Losses().size() + to_ndis_.Losses().size() + board_->rx_fifo_frames();
    if (now != last || board_->rx_fifo_frames() != 0) {
      last = now;
      stable_since = Clock::now();
      Progress();
    }
  }
}

int Stress::Report() {
  const double elapsed = Seconds(Clock::now() - traffic_start_);
  // Every loss must fall where losing frames is legitimate.
  std::map<std::string, unsigned> allowed;
  for (hw::FrameFate f :
       {hw::FrameFate::TxNoLink, hw::FrameFate::TxDisabled, hw::FrameFate::RxNoLink,
        hw::FrameFate::RxContention, hw::FrameFate::RxDisabled, hw::FrameFate::RxFiltered,
        hw::FrameFate::RxTooLong, hw::FrameFate::RxFifoOverflow, hw::FrameFate::RxFlushed,
        hw::FrameFate::RxStreamDiscarded}) {
    allowed[CauseOf(f)->name] = CauseOf(f)->allowed;
  }
  for (FlowChecker* checker : {&to_wire_, &to_ndis_}) {
    for (const auto& [id, loss] : checker->Losses()) {
      auto it = allowed.find(loss.cause);
      // A send the miniport failed is legitimate while it resets or has no link.
      const unsigned kinds = it != allowed.end() ? it->second : kBringUp | kReset | kCablePull;
      if (!disturbances_.Covers(kinds, loss.time)) {
        char text[160];
        std::snprintf(text, sizeof text, "flow %u frame %u: %s at %.6f s, outside any disturbance",
                      unsigned(id.flow), static_cast<unsigned>(id.seq), loss.cause.c_str(),
                      loss.time / 1e9);
        checker->Error("lost without cause (" + loss.cause + ")", text);
      }
    }
  }
  to_wire_.Account();
  to_ndis_.Account([&](FrameId id) { return Explain(id); });

  uint64_t control_errors;
  std::vector<std::string> control_details;
  std::map<NDIS_STATUS, uint64_t> by_status;
  {
    std::lock_guard<std::mutex> lock(counts_.mutex);
    control_errors = counts_.control_error_count;
    control_details = counts_.control_errors;
    by_status = counts_.completions_by_status;
  }
  uint64_t other_errors = 0;
  if (counts_.sends_completed != counts_.sends_accepted) {
    ++other_errors;
    std::printf("CHECK FAILED: %llu sends accepted, %llu completed\n",
                static_cast<unsigned long long>(counts_.sends_accepted.load()),
                static_cast<unsigned long long>(counts_.sends_completed.load()));
  }

  const uint64_t total = Arrived();
  std::printf("\nusbeth-stress: seed %llu, %u processors, %u senders, time scale %.1f\n",
              static_cast<unsigned long long>(o_.seed), o_.cpus, o_.senders, o_.time_scale);
  std::printf("  %llu frames arrived in %.1f s of real time: %.0f frames/s\n",
              static_cast<unsigned long long>(total), elapsed, elapsed > 0 ? total / elapsed : 0);
  std::printf(
      "  control: %llu resets, %llu cable pulls, %llu filter sets, %llu multicast sets, "
      "%llu queries; media connect %llu, disconnect %llu\n",
      static_cast<unsigned long long>(counts_.resets.load()),
      static_cast<unsigned long long>(counts_.cable_pulls.load()),
      static_cast<unsigned long long>(counts_.filter_sets.load()),
      static_cast<unsigned long long>(counts_.multicast_sets.load()),
      static_cast<unsigned long long>(counts_.queries.load()),
      static_cast<unsigned long long>(counts_.media_connect.load()),
      static_cast<unsigned long long>(counts_.media_disconnect.load()));
  std::printf("  NDIS announced %llu resets, %llu of its own for a hang\n",
              static_cast<unsigned long long>(counts_.resets_started.load()),
              static_cast<unsigned long long>(hang_resets_));
  std::printf("  sends: %llu accepted, %llu completed (",
              static_cast<unsigned long long>(counts_.sends_accepted.load()),
              static_cast<unsigned long long>(counts_.sends_completed.load()));
  bool first = true;
  for (const auto& [status, n] : by_status) {
    std::printf("%s%llu with %s", first ? "" : ", ", static_cast<unsigned long long>(n),
                status == NDIS_STATUS_SUCCESS ? "success" : Hex(status).c_str());
    first = false;
  }
  std::printf("), protocol pool exhausted %llu times\n",
              static_cast<unsigned long long>(counts_.pool_exhausted.load()));
  uint64_t errors = other_errors + control_errors;
  for (FlowChecker* checker : {&to_wire_, &to_ndis_}) {
    const bool wire = checker == &to_wire_;
    std::printf("  %s: %llu sent, %llu arrived\n", wire ? "senders -> wire" : "partner -> NDIS",
                static_cast<unsigned long long>(checker->sent()),
                static_cast<unsigned long long>(checker->arrived()));
    for (const auto& [cause, n] : checker->losses_by_cause())
      std::printf("    lost: %-48s %llu\n", cause.c_str(), static_cast<unsigned long long>(n));
    for (const auto& [kind, n] : checker->errors_by_kind())
      std::printf("    ERROR: %-47s %llu\n", kind.c_str(), static_cast<unsigned long long>(n));
    for (const std::string& d : checker->error_details())
      std::printf("      %s\n", d.c_str());
    errors += checker->errors();
  }
  if (control_errors) {
    std::printf("  control errors: %llu\n", static_cast<unsigned long long>(control_errors));
    for (const std::string& d : control_details)
      std::printf("    %s\n", d.c_str());
  }
  if (errors) {
    std::printf("usbeth-stress: FAILED with %llu errors (seed %llu)\n",
                static_cast<unsigned long long>(errors), static_cast<unsigned long long>(o_.seed));
    return 1;
  }
  std::printf("usbeth-stress: every frame intact, in order, once; every loss accounted for\n");
  return 0;
}

int Stress::Run() {
  host::KernelOptions k;
  k.mode = host::Mode::Threaded;
  k.seed = o_.seed;
  k.processors = o_.cpus;
  k.time_scale = o_.time_scale;
  k.bug_check_throws = false;  // a verifier failure stops the run loudly
  kernel_ = host::Kernel::create(k);
  ndis_ = std::make_unique<host::ndis::Library>();
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.name = "stress";
  config.rx_fifo_bytes = 16384;
  fifo_capacity_ = config.rx_fifo_bytes;
  std::copy(config.phys.at(0).partner.mac.begin(), config.phys.at(0).partner.mac.end(),
            partner_.begin());
  board_ = std::make_unique<hw::Board>(config, [] {
    host::Kernel* kernel = host::Kernel::current();
    return kernel ? kernel->scheduler().now() : Nanoseconds{0};
  });
  phy_ = board_->first_phy_address();
  // Both completion paths, by the seed: completions inside the dispatch race
  // the driver's own threads differently.
  bus_ = std::make_unique<host::usb::BusDriver>(*board_, host::usb::seeded_completion());
  board_->set_wire_tap([this](const hw::WireFrame& f) {
    if (f.direction != hw::WireDirection::ToPartner) return;
    if (to_wire_.Arrive(f.bytes.data(), f.bytes.size(), f.time_ns) == Verdict::Foreign) {
      to_wire_.Error("foreign", "a frame no sender sent reached the wire (" +
                                    std::to_string(f.bytes.size()) + " bytes)");
    }
  });
  board_->set_fate_tap([this](const hw::FrameFateRecord& r) { OnFate(r); });

  std::thread watchdog([this] { Watchdog(); });
  if (!BringUp()) {
    watchdog_stop_ = true;
    watchdog.join();
    std::fflush(stdout);
    std::_Exit(1);  // the adapter is in no state to be torn down cleanly
  }

  phase_ = "traffic";
  traffic_ = true;
  traffic_start_ = last_progress_time_ = Clock::now();
  std::vector<std::thread> threads;
  for (unsigned s = 0; s < o_.senders; ++s)
    threads.emplace_back([this, s] { Sender(static_cast<uint8_t>(s)); });
  if (o_.partner) threads.emplace_back([this] { Partner(); });
  if (o_.control) threads.emplace_back([this] { Control(); });

  auto last_print = Clock::now();
  auto last_clear = Clock::now();
  while (true) {
    SleepMs(50);
    const auto now = Clock::now();
    if (o_.frames && Arrived() >= o_.frames) break;
    if (o_.seconds && Seconds(now - traffic_start_) >= o_.seconds) break;
    // The protocol's and the board's records are not needed: the checkers
    // saw every frame as it went by.
    if (Seconds(now - last_clear) >= 0.25) {
      protocol_->clear_records();
      board_->clear_logs();
      last_clear = now;
    }
    if (o_.progress_seconds > 0 && Seconds(now - last_print) >= o_.progress_seconds) {
      PrintProgress(false);
      last_print = now;
    }
  }
  phase_ = "stopping the threads";
  traffic_ = false;
  stop_ = true;
  for (auto& t : threads)
    t.join();
  Progress();
  Drain();
  PrintProgress(true);

  // Halt as NDIS would at unload; the verifier checks for leaks.
  phase_ = "halt";
  hang_resets_ = miniport_->hang_resets();
  miniport_->halt();
  Progress();
  protocol_->close();
  ndis_->unload_driver();
  phase_ = "teardown";
  board_->set_wire_tap(nullptr);
  board_->set_fate_tap(nullptr);
  watchdog_stop_ = true;
  watchdog.join();
  protocol_.reset();
  ndis_.reset();
  bus_.reset();
  const int status = Report();
  board_.reset();
  kernel_.reset();
  return status;
}

}  // namespace

int RunStress(const StressOptions& options) {
  Stress stress(options);
  return stress.Run();
}

}  // namespace usbeth::stress
