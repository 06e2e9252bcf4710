// One adapter under the host kernel for data-path tests: kernel, NDIS with a
// bound protocol, the board and its bus, and the bulk interposer between the
// driver and the bus. The adapter is initialized, its packet filter set and
// its link up when the constructor returns.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bulk_interposer.h"
#include "datapath/datapath.h"
#include "hw/board.h"
#include "miniport/miniport.h"
#include "ndis/ndis.h"
#include "ndis/protocol.h"
#include "sim/kernel.h"
#include "usb/bus_driver.h"

namespace usbeth::test {

struct BenchOptions {
  host::Mode mode = host::Mode::Deterministic;
  uint64_t seed = 1;
  unsigned processors = 2;
  double time_scale = 1.0;  // threaded mode: virtual ns per real ns
  hw::BoardConfig board = hw::boards::SingleEthernet();
  host::usb::CompletionMode completion = host::usb::CompletionMode::Seeded;
  std::map<std::string, uint32_t> registry;
  bool bring_up = true;  // initialize and wait for the link
};

class DatapathBench {
 public:
  explicit DatapathBench(BenchOptions options = {}) : options_(std::move(options)) {
    host::KernelOptions kernel_options;
    kernel_options.mode = options_.mode;
    kernel_options.seed = options_.seed;
    kernel_options.processors = options_.processors;
    kernel_options.time_scale = options_.time_scale;
    kernel_ = host::Kernel::create(kernel_options);
    library_ = std::make_unique<host::ndis::Library>();
    host::Scheduler* scheduler = &kernel_->scheduler();
    board_ = std::make_unique<hw::Board>(options_.board, [scheduler] { return scheduler->now(); });
    host::usb::BusOptions bus_options;
    bus_options.completion = options_.completion;
    bus_ = std::make_unique<host::usb::BusDriver>(*board_, bus_options);
    interposer_ = std::make_unique<BulkInterposer>(bus_->device_object());
    library_->load_driver(&DriverEntry);
    host::ndis::AdapterSetup setup;
    setup.lower_device = interposer_->device();
    for (const auto& [keyword, value] : options_.registry)
      setup.registry.set_integer(keyword, value);
    miniport_ = &library_->add_adapter(std::move(setup));
    protocol_ = std::make_unique<host::ndis::Protocol>(*miniport_);
    if (options_.bring_up) BringUp();
  }

  ~DatapathBench() {
    if (!library_->abandoned()) {
      interposer_->rule = nullptr;
      while (interposer_->complete_held(STATUS_CANCELLED)) {
      }
      if (miniport_->state() == host::ndis::Miniport::State::Running) miniport_->halt();
      protocol_->close();
      library_->unload_driver();
    }
    protocol_.reset();
    library_.reset();
    interposer_.reset();
    bus_.reset();
    board_.reset();
    kernel_.reset();
  }

  // Initializes the adapter, accepts directed and broadcast frames and waits
  // for the link.
  void BringUp() {
    ASSERT_EQ(NDIS_STATUS_SUCCESS, miniport_->initialize());
    adapter_ = static_cast<Adapter*>(miniport_->context());
    protocol_->set_ulong(0x0001010E /* OID_GEN_CURRENT_PACKET_FILTER */, 0x0000000B);
    // Up once the first link poll has indicated a connect: the start of the
    // controller indicates once, the first poll a second time. (Watching the
    // indications rather than the driver's own fields keeps threaded runs
    // from reading what the link chain writes.)
    ASSERT_TRUE(RunUntil(
        [&] {
          auto statuses = protocol_->statuses();
          return board_->phy_state(board_->first_phy_address()).link_up && statuses.size() >= 2 &&
                 statuses.back().code == NDIS_STATUS_MEDIA_CONNECT;
        },
        10 * host::kSecond));
  }

  bool RunUntil(const std::function<bool()>& condition, host::Nanoseconds limit) {
    return protocol_->run_until(condition, limit);
  }
  void RunFor(host::Nanoseconds duration) {
    RunUntil([] { return false; }, duration);
  }
  // Runs until NDIS holds no refused send, every bulk-out transfer has ended
  // and every descriptor is back.
  bool RunUntilTxIdle(host::Nanoseconds limit = 2 * host::kSecond) {
    return RunUntil([&] { return miniport_->sends_queued() == 0 && TxIdle(); }, limit);
  }
  // Reads the counts under the locks that guard them, as the driver does, so
  // that threaded runs look at them safely.
  bool TxIdle() {
    KIRQL irql;
    KeAcquireSpinLock(&adapter_->TxSubmitLock, &irql);
    const bool none_outstanding = adapter_->TxIrpsOutstanding == 0;
    KeReleaseSpinLock(&adapter_->TxSubmitLock, irql);
    NdisAcquireSpinLock(&adapter_->TxLock);
    const bool all_free =
        static_cast<ULONG>(adapter_->TxFreeQueue.Count) == adapter_->TxDescriptorCount;
    NdisReleaseSpinLock(&adapter_->TxLock);
    return none_outstanding && all_free;
  }

  // A frame from our station address to the partner, `length` bytes, with a
  // recognisable pattern seeded by `tag`.
  std::vector<uint8_t> FrameToPartner(size_t length, uint8_t tag = 0) const {
    return Frame(partner_mac(), station_mac(), length, tag);
  }
  std::vector<uint8_t> FrameFromPartner(size_t length, uint8_t tag = 0) const {
    return Frame(station_mac(), partner_mac(), length, tag);
  }
  static std::vector<uint8_t> Frame(const hw::MacAddress& dst, const hw::MacAddress& src,
                                    size_t length, uint8_t tag) {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; i++)
      frame[i] = static_cast<uint8_t>(i * 7 + tag);
    for (size_t i = 0; i < 6 && i < length; i++)
      frame[i] = dst[i];
    for (size_t i = 0; i < 6 && 6 + i < length; i++)
      frame[6 + i] = src[i];
    if (length >= 14) {
      frame[12] = 0x08;
      frame[13] = 0x00;
    }
    return frame;
  }

  hw::MacAddress station_mac() const {
    hw::MacAddress mac{};
    for (int i = 0; i < 6; i++)
      mac[i] = adapter_->CurrentAddress[i];
    return mac;
  }
  hw::MacAddress partner_mac() const { return options_.board.phys.at(0).partner.mac; }

  // Bulk-out transfers of data (not keep-alive) as the driver handed them down.
  std::vector<BulkTransfer> DataBulkOut() {
    std::vector<BulkTransfer> out;
    for (auto& t : interposer_->bulk_out())
      out.push_back(t);
    return out;
  }

  // Runs fn at DISPATCH_LEVEL, as a timer routine or a completion would.
  static void AtDispatch(const std::function<void()>& fn) {
    host::run_at_irql(DISPATCH_LEVEL, "test at dispatch", fn);
  }

  host::Kernel& kernel() { return *kernel_; }
  hw::Board& board() { return *board_; }
  host::usb::BusDriver& bus() { return *bus_; }
  BulkInterposer& interposer() { return *interposer_; }
  host::ndis::Library& library() { return *library_; }
  host::ndis::Miniport& miniport() { return *miniport_; }
  host::ndis::Protocol& protocol() { return *protocol_; }
  Adapter* adapter() { return adapter_; }

 private:
  BenchOptions options_;
  std::unique_ptr<host::Kernel> kernel_;
  std::unique_ptr<host::ndis::Library> library_;
  std::unique_ptr<hw::Board> board_;
  std::unique_ptr<host::usb::BusDriver> bus_;
  std::unique_ptr<BulkInterposer> interposer_;
  host::ndis::Miniport* miniport_ = nullptr;
  std::unique_ptr<host::ndis::Protocol> protocol_;
  Adapter* adapter_ = nullptr;
};

}  // namespace usbeth::test
