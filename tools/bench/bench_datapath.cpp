// Per-frame cost of the data path under the deterministic host kernel with an
// unthrottled bus, at several frame sizes:
//   send:    MiniportSend through the bulk-out completion (the send handler,
//            the copy into the descriptor, the bus carrying the transfer to
//            the board, BulkOutComplete returning the descriptor);
//   receive: a frame from the link partner through the bulk-in completion to
//            the NDIS indication (the board framing it, the bus completing
//            the read, BulkInComplete, the indication timer, the protocol's
//            copy).
// Wall time covers the whole machine (host kernel, bus, board, driver). The
// driver's own share is measured in instructions with callgrind; see
// tools/bench/driver_instructions.sh.
//
// --frames=N runs every benchmark for exactly N frames (for callgrind, whose
// per-frame figure is the difference of two such runs).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hw/board.h"
#include "miniport/adapter.h"
#include "testbed/testbed.h"

namespace {

constexpr size_t kRecordsKept = 1024;  // protocol records cleared this often
const int kFrameSizes[] = {60, 128, 512, 1024, 1514};

// One adapter up, with its link, over an unthrottled bus.
class Machine {
 public:
  Machine() : board_(Config(), host::kernel_clock()) {
    host::TestbedOptions options;
    options.kernel.seed = 1;
    options.bus.unthrottled = true;
    options.bus.completion = host::usb::CompletionMode::Deferred;
    bed_ = std::make_unique<host::Testbed>(board_, options);
    if (bed_->initialize_status() != NDIS_STATUS_SUCCESS) Die("the adapter did not come up");
    bed_->protocol().set_ulong(OID_GEN_CURRENT_PACKET_FILTER, 0x0B);
    adapter_ = static_cast<usbeth::Adapter*>(bed_->adapter_context());
    const bool up = bed_->protocol().run_until(
        [&] {
          return adapter_->LinkState == usbeth::kLinkUp &&
                 adapter_->HandledLinkState == usbeth::kLinkUp;
        },
        10 * host::kSecond);
    if (!up) Die("no link");
  }
  ~Machine() { bed_->halt(); }

  // A frame to the partner, or from it to our station address.
  std::vector<uint8_t> Frame(size_t length, bool to_partner) const {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; i++)
      frame[i] = static_cast<uint8_t>(i * 7);
    const hw::MacAddress partner = board_.config().phys[0].partner.mac;
    for (int i = 0; i < 6; i++) {
      frame[i] = to_partner ? partner[i] : adapter_->CurrentAddress[i];
      frame[6 + i] = to_partner ? adapter_->CurrentAddress[i] : partner[i];
    }
    frame[12] = 0x08;
    frame[13] = 0x00;
    return frame;
  }

  // One frame sent and its bulk-out transfer completed.
  void SendOne(const std::vector<uint8_t>& frame) {
    host::ndis::Protocol& protocol = bed_->protocol();
    const ULONG before = adapter_->Statistics.TxGoodFrames;
    if (protocol.send(frame) == 0) Die("the protocol's pools ran out");
    if (!protocol.run_until([&] { return adapter_->Statistics.TxGoodFrames != before; },
                            host::kSecond)) {
      Die("a send did not complete");
    }
    if (protocol.send_completion_count() >= kRecordsKept) protocol.clear_records();
  }

  // One frame from the partner indicated.
  void ReceiveOne(const std::vector<uint8_t>& frame) {
    host::ndis::Protocol& protocol = bed_->protocol();
    const size_t before = protocol.received_count();
    board_.send_from_partner(mii_address(), frame);
    if (!protocol.run_until([&] { return protocol.received_count() != before; }, host::kSecond)) {
      Die("a frame was not indicated");
    }
    if (protocol.received_count() >= kRecordsKept) protocol.clear_records();
  }

  uint64_t virtual_ns() { return bed_->scheduler().now(); }

 private:
  static hw::BoardConfig Config() { return hw::boards::SingleEthernet(); }
  uint8_t mii_address() const { return board_.config().phys[0].mii_address; }
  [[noreturn]] static void Die(const char* what) {
    std::fprintf(stderr, "bench_datapath: %s\n", what);
    std::exit(1);
  }

  hw::Board board_;
  std::unique_ptr<host::Testbed> bed_;
  usbeth::Adapter* adapter_ = nullptr;
};

void Send(benchmark::State& state) {
  Machine machine;
  const auto frame = machine.Frame(static_cast<size_t>(state.range(0)), true);
  const uint64_t start = machine.virtual_ns();
  for (auto _ : state)
    machine.SendOne(frame);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["virtual_us/frame"] = benchmark::Counter(
      static_cast<double>(machine.virtual_ns() - start) / 1000.0 / state.iterations());
}

void Receive(benchmark::State& state) {
  Machine machine;
  const auto frame = machine.Frame(static_cast<size_t>(state.range(0)), false);
  const uint64_t start = machine.virtual_ns();
  for (auto _ : state)
    machine.ReceiveOne(frame);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["virtual_us/frame"] = benchmark::Counter(
      static_cast<double>(machine.virtual_ns() - start) / 1000.0 / state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  // Our own flag first; the rest goes to the benchmark library.
  long frames = 0;
  std::vector<char*> args;
  for (int i = 0; i < argc; i++) {
    if (std::strncmp(argv[i], "--frames=", 9) == 0) {
      frames = std::strtol(argv[i] + 9, nullptr, 10);
    } else {
      args.push_back(argv[i]);
    }
  }
  for (const char* name : {"send", "receive"}) {
    for (int size : kFrameSizes) {
      auto* b = benchmark::RegisterBenchmark(name, std::strcmp(name, "send") == 0 ? Send : Receive);
      b->Arg(size)->Unit(benchmark::kNanosecond);
      if (frames > 0) b->Iterations(frames);
    }
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
