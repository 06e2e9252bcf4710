#include "bridge.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "event_log.h"
#include "hw/board.h"
#include "miniport/miniport.h"
#include "ndis/ndis.h"
#include "ndis/protocol.h"
#include "sim/kernel.h"
#include "tap.h"
#include "testbed/driver.h"
#include "usb/bus_driver.h"

namespace usbeth::sim {
namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) {
  g_stop = true;
}

constexpr uint8_t kPhy = 1;
constexpr size_t kMaxFrame = 1514;
constexpr size_t kMinFrame = 60;      // without the frame check sequence
constexpr size_t kPartnerQueue = 64;  // frames the far end holds for its wire
constexpr unsigned kSendBatch = 64;   // frames sent before the wire's TAP is written

struct Count {
  std::atomic<uint64_t> frames{0}, bytes{0}, refused{0};
  void add(size_t n) {
    frames++;
    bytes += n;
  }
};

// The protocol above the live adapter: what the driver indicates goes to the
// NDIS-side TAP.
class BridgeProtocol : public host::ndis::Protocol {
 public:
  // With a writer, frames go to the TAP through it (and are counted there).
  BridgeProtocol(host::ndis::Miniport& m, Options o, Tap& tap, TapWriter* writer, Count& count)
      : Protocol(m, o), tap_(tap), writer_(writer), count_(count) {}
  std::atomic<int> media{0};  // 1 connected, 2 disconnected

  bool receive(host::ndis::Miniport&, PNDIS_PACKET, NDIS_STATUS, UINT,
               std::vector<uint8_t> data) override {
    if (writer_) {
      writer_->add(data);
    } else if (tap_.write(data)) {
      count_.add(data.size());
    } else {
      count_.refused++;
    }
    return false;
  }
  void status(host::ndis::Miniport& m, NDIS_STATUS code, const void* b, UINT s) override {
    Protocol::status(m, code, b, s);
    if (code == NDIS_STATUS_MEDIA_CONNECT) media = 1;
    if (code == NDIS_STATUS_MEDIA_DISCONNECT) media = 2;
  }
  void send_complete(host::ndis::Miniport& m, PNDIS_PACKET p, NDIS_STATUS status) override {
    Protocol::send_complete(m, p, status);
    if (status == NDIS_STATUS_SUCCESS) {
      sends_succeeded++;
    } else if (status == NDIS_STATUS_RESOURCES) {
      sends_resources++;
    } else if (status == NDIS_STATUS_REQUEST_ABORTED) {
      sends_aborted++;
    } else {
      sends_failed++;
    }
  }
  // What became of the sends: completed with success, with another status,
  // or given back unsent (still queued in NDIS at halt).
  std::atomic<uint64_t> sends_succeeded{0}, sends_failed{0}, sends_aborted{0}, sends_resources{0};

 private:
  Tap& tap_;
  TapWriter* writer_;
  Count& count_;
};

// Frames the board puts on the wire while the NDIS-side thread is inside the
// driver: with an unthrottled bus the bulk-out transfer runs in that thread,
// under the bus driver's lock, and a TAP write runs the receiving host's
// network stack. They wait here, in reused buffers, and go to the TAP once
// the send has returned, so that the bus's lock is not held for that long.
struct WireOutbox {
  bool deferring = false;
  std::vector<std::vector<uint8_t>> frames;
  size_t used = 0;

  void add(const std::vector<uint8_t>& bytes) {
    if (used == frames.size()) frames.emplace_back();
    frames[used++].assign(bytes.begin(), bytes.end());
  }
};
thread_local WireOutbox t_outbox;

void write_to_wire(Tap& tap, const std::vector<uint8_t>& bytes, Count& count) {
  if (tap.write(bytes)) {
    count.add(bytes.size());
  } else {
    count.refused++;
  }
}

void flush_outbox(Tap& tap, Count& count) {
  if (t_outbox.used == 0) return;
  const Tap::Written w = tap.write_frames(t_outbox.frames, t_outbox.used);
  count.frames += w.frames;
  count.bytes += w.bytes;
  count.refused += w.refused;
  t_outbox.used = 0;
}

void install_signals() {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
}

bool time_up(std::chrono::steady_clock::time_point start, unsigned seconds) {
  return seconds && std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds);
}

void print_counts(const char* what, const Count& c) {
  std::printf("  %-34s %10llu frames %14llu bytes %8llu refused\n", what,
              static_cast<unsigned long long>(c.frames.load()),
              static_cast<unsigned long long>(c.bytes.load()),
              static_cast<unsigned long long>(c.refused.load()));
}

int run_direct(Tap& ndis_side, Tap& wire_side, const BridgeOptions& o) {
  Count a_to_b, b_to_a;
  auto forward = [](Tap& from, Tap& to, Count& count) {
    std::vector<uint8_t> frame;
    while (!g_stop) {
      if (!from.read(frame, 100)) continue;
      if (to.write(frame)) {
        count.add(frame.size());
      } else {
        count.refused++;
      }
    }
  };
  std::printf("bridge: forwarding %s <-> %s directly (no driver)\n", ndis_side.name().c_str(),
              wire_side.name().c_str());
  std::fflush(stdout);
  auto start = std::chrono::steady_clock::now();
  std::thread t1(forward, std::ref(ndis_side), std::ref(wire_side), std::ref(a_to_b));
  std::thread t2(forward, std::ref(wire_side), std::ref(ndis_side), std::ref(b_to_a));
  while (!g_stop && !time_up(start, o.seconds)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  g_stop = true;
  t1.join();
  t2.join();
  std::printf("bridge stopped\n");
  print_counts((ndis_side.name() + " -> " + wire_side.name()).c_str(), a_to_b);
  print_counts((wire_side.name() + " -> " + ndis_side.name()).c_str(), b_to_a);
  return 0;
}

int run_driver(Tap& ndis_side, Tap& wire_side, const BridgeOptions& o) {
  host::KernelOptions k;
  k.mode = host::Mode::Threaded;
  k.seed = o.seed;
  k.processors = 2;
  k.bug_check_throws = false;  // a verifier failure stops the bridge loudly
  auto kernel = host::Kernel::create(k);
  auto ndis = std::make_unique<host::ndis::Library>();
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.name = "bridge";
  config.speed = o.bus == "full" ? hw::BusSpeed::Full : hw::BusSpeed::High;
  config.rx_fifo_bytes = 32768;
  config.wire_at_link_rate = o.wire_limit;
  config.keep_wire_log = false;  // the wire tap sees every frame
  auto board =
      std::make_unique<hw::Board>(config, [] { return host::Kernel::get().scheduler().now(); });
  host::usb::BusOptions bus_options;
  bus_options.unthrottled = o.bus == "unthrottled";
  // A bus without limits has no frame timing either: a request is carried
  // out as soon as it is submitted, or as soon as its endpoint is ready (a
  // read waiting for a frame from the far end), and completed then, rather
  // than at the next (micro)frame boundary, so the bus never paces the
  // traffic.
  if (bus_options.unthrottled) {
    bus_options.completion = host::usb::CompletionMode::BeforeReturn;
    bus_options.complete_at_revisit = true;
  }
  auto bus = std::make_unique<host::usb::BusDriver>(*board, bus_options);

  Count ndis_to_wire, wire_to_ndis, wire_out;
  board->set_wire_tap([&](const hw::WireFrame& f) {
    if (f.direction != hw::WireDirection::ToPartner) return;
    if (t_outbox.deferring) {
      t_outbox.add(f.bytes);
    } else {
      write_to_wire(wire_side, f.bytes, wire_out);
    }
  });

  if (ndis->load_driver(host::driver_entry()) != STATUS_SUCCESS) {
    std::fprintf(stderr, "bridge: DriverEntry failed\n");
    return 1;
  }
  host::ndis::AdapterSetup setup;
  setup.lower_device = bus->device_object();
  setup.name = "usbeth0";
  for (const auto& [keyword, value] : o.registry)
    setup.registry.set_string(keyword, value);
  host::ndis::Miniport& miniport = ndis->add_adapter(std::move(setup));
  host::ndis::Protocol::Options po;
  po.keep_received_packets = false;
  po.packet_pool_size = 512;
  // Segments indicated one at a time leave for the NDIS side's TAP in bursts
  // it can join.
  std::unique_ptr<TapWriter> to_ndis;
  if (o.offloads) to_ndis = std::make_unique<TapWriter>(ndis_side);
  auto indicated = [&] {
    if (!to_ndis) return wire_to_ndis.bytes.load();
    return static_cast<uint64_t>(to_ndis->written().bytes);
  };
  auto protocol =
      std::make_unique<BridgeProtocol>(miniport, po, ndis_side, to_ndis.get(), wire_to_ndis);
  NDIS_STATUS status = miniport.initialize();
  if (status != NDIS_STATUS_SUCCESS) {
    std::fprintf(stderr, "bridge: miniport initialize failed: 0x%08X\n", status);
    return 1;
  }
  std::array<uint8_t, 6> station{};
  auto addr = protocol->query(OID_802_3_CURRENT_ADDRESS, 6);
  std::copy_n(addr->buffer.begin(), 6, station.begin());
  std::string error;
  if (!ndis_side.set_mac(station, &error)) {
    std::fprintf(stderr, "bridge: %s\n", error.c_str());
    return 1;
  }
  protocol->set_ulong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED |
                                                         NDIS_PACKET_TYPE_MULTICAST |
                                                         NDIS_PACKET_TYPE_BROADCAST);
  protocol->run_until([&] { return protocol->media.load() == 1; }, 15 * host::kSecond);
  auto speed = protocol->query_ulong(OID_GEN_LINK_SPEED);
  std::printf(
      "bridge: %s (station %s) <-> driver <-> %s bus <-> wire%s <-> %s; media %s, %u Mb/s\n",
      ndis_side.name().c_str(), format_mac(station.data()).c_str(), o.bus.c_str(),
      o.wire_limit ? "" : " (no rate limit)", wire_side.name().c_str(),
      protocol->media.load() == 1 ? "connected" : "not connected", speed ? *speed / 10000 : 0);
  std::fflush(stdout);

  std::thread from_ndis([&] {
    std::vector<uint8_t> frame;
    t_outbox.deferring = true;
    unsigned batch = 0;
    while (!g_stop) {
      // Frames that are there already are sent before what the wire gave
      // back goes out, so that a burst leaves for the wire's TAP together.
      if (!ndis_side.read(frame, batch ? 0 : 100)) {
        flush_outbox(wire_side, wire_out);
        batch = 0;
        continue;
      }
      if (++batch == kSendBatch) {
        flush_outbox(wire_side, wire_out);
        batch = 0;
      }
      if (frame.size() < 14 || frame.size() > kMaxFrame) {
        ndis_to_wire.refused++;
        continue;
      }
      // A send the driver cannot take yet waits in NDIS's queue; while every
      // packet of the protocol is in use, the frame waits here for one (and
      // the TAP's own queue fills behind it), as a stack's send queue would.
      uint64_t n = 0;
      const size_t size = frame.size();
      NDIS_STATUS st = NDIS_STATUS_FAILURE;
      while (!g_stop &&
             (n = protocol->send(frame, {}, host::ndis::CallOptions{DISPATCH_LEVEL}, &st)) == 0) {
        flush_outbox(wire_side, wire_out);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      if (n == 0) break;
      if (st != NDIS_STATUS_SUCCESS && st != NDIS_STATUS_PENDING) {
        ndis_to_wire.refused++;
      } else {
        ndis_to_wire.add(size);
      }
    }
    flush_outbox(wire_side, wire_out);
  });
  std::thread from_wire([&] {
    std::vector<uint8_t> frame;
    while (!g_stop) {
      if (!wire_side.read(frame, 100)) continue;
      if (frame.size() < 14 || frame.size() > kMaxFrame) continue;
      // The far end's MAC pads short frames to the Ethernet minimum, as any
      // real one does; the TAP hands them over unpadded.
      if (frame.size() < kMinFrame) frame.resize(kMinFrame, 0);
      // The far end's transmit queue: frames wait for the wire there, and
      // behind it in the TAP's queue, rather than piling up without end.
      while (!g_stop && board->partner_frames_waiting(kPhy) >= kPartnerQueue) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
      // Without the wire's pace nothing would keep the far end from filling
      // the receive FIFO faster than the bus empties it: it waits for room
      // there instead (as a PAUSE frame would hold it), so that no frame is
      // lost for want of room.
      while (!o.wire_limit && !g_stop &&
             board->rx_fifo_bytes() + frame.size() + 8 > config.rx_fifo_bytes) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
      board->send_from_partner(kPhy, frame, 0);
    }
  });

  auto start = std::chrono::steady_clock::now();
  uint64_t last_out = 0, last_in = 0;
  while (!g_stop && !time_up(start, o.seconds)) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    protocol->clear_records();
    board->clear_logs();
    if (o.verbose) {
      uint64_t out = ndis_to_wire.bytes, in = indicated();
      std::printf("  out %8.2f Mb/s  in %8.2f Mb/s  media %s\n", (out - last_out) * 8 / 1e6,
                  (in - last_in) * 8 / 1e6, protocol->media.load() == 1 ? "connected" : "down");
      std::fflush(stdout);
      last_out = out;
      last_in = in;
    }
  }
  g_stop = true;
  from_ndis.join();
  from_wire.join();

  // Halt as NDIS would at unload; the verifier checks for leaks.
  protocol->run_until([&] { return protocol->sends_in_flight() == 0; }, 5 * host::kSecond);
  const uint64_t no_buffer = protocol->query_ulong(OID_GEN_RCV_NO_BUFFER).value_or(0);
  miniport.halt();
  protocol->close();
  ndis->unload_driver();
  if (to_ndis) {
    to_ndis->stop();  // what still waits goes out first
    const Tap::Written w = to_ndis->written();
    wire_to_ndis.frames = w.frames;
    wire_to_ndis.bytes = w.bytes;
    wire_to_ndis.refused = w.refused;
  }
  board->set_wire_tap(nullptr);
  hw::Counters c = board->counters();
  std::printf("bridge stopped; adapter halted, nothing leaked\n");
  print_counts("protocol sends (NDIS side -> driver)", ndis_to_wire);
  std::printf(
      "  %-34s %10llu success %10llu NDIS_STATUS_RESOURCES %6llu other status %6llu unsent at "
      "halt\n",
      "  of which completed", static_cast<unsigned long long>(protocol->sends_succeeded),
      static_cast<unsigned long long>(protocol->sends_resources),
      static_cast<unsigned long long>(protocol->sends_failed),
      static_cast<unsigned long long>(protocol->sends_aborted));
  print_counts("put on the wire (-> far end)", wire_out);
  print_counts("indicated (driver -> NDIS side)", wire_to_ndis);
  std::printf("  board: %llu frames from the far end, %llu lost in a full receive FIFO\n",
              static_cast<unsigned long long>(c.wire_rx_frames),
              static_cast<unsigned long long>(c.rx_fifo_overflows));
  // Every frame lost for want of room on the way through the adapter, one
  // figure (the TAPs' own refusals, an interface down for one, apart).
  const uint64_t for_resources =
      protocol->sends_resources + no_buffer + c.rx_fifo_overflows + c.rx_partner_dropped;
  std::printf(
      "  dropped for resources: %llu (sends completed with NDIS_STATUS_RESOURCES %llu, "
      "receives without a buffer %llu, receive FIFO overflows %llu, dropped by the far end "
      "%llu); refused by a TAP or unsendable: %llu\n",
      static_cast<unsigned long long>(for_resources),
      static_cast<unsigned long long>(protocol->sends_resources.load()),
      static_cast<unsigned long long>(no_buffer),
      static_cast<unsigned long long>(c.rx_fifo_overflows),
      static_cast<unsigned long long>(c.rx_partner_dropped),
      static_cast<unsigned long long>(ndis_to_wire.refused + wire_to_ndis.refused +
                                      wire_out.refused + ndis_side.unusable() +
                                      wire_side.unusable()));
  protocol.reset();
  ndis.reset();
  bus.reset();
  board.reset();
  kernel.reset();
  return 0;
}

}  // namespace

int run_bridge(const BridgeOptions& o) {
  std::string error;
  const bool offloads = o.offloads && !o.direct;
  auto ndis_side = Tap::open(o.tap_ndis, &error, offloads);
  if (!ndis_side) {
    std::fprintf(stderr, "bridge: %s\n", error.c_str());
    return 1;
  }
  auto wire_side = Tap::open(o.tap_wire, &error, offloads);
  if (!wire_side) {
    std::fprintf(stderr, "bridge: %s\n", error.c_str());
    return 1;
  }
  install_signals();
  g_stop = false;
  return o.direct ? run_direct(*ndis_side, *wire_side, o) : run_driver(*ndis_side, *wire_side, o);
}

}  // namespace usbeth::sim
