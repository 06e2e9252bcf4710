// NDIS requests: one adapter comes up honestly and serves input after input.
// Each input issues queries and sets, with object identifiers the driver
// knows or any other, information buffers of any length (none included) and
// any content, at PASSIVE_LEVEL or DISPATCH_LEVEL as NDIS may call, between
// sends and the passing of time.
//
// Checked for every request: it completes (at once or later); a query never
// reports more bytes written than its buffer holds, nor a set more read; a
// length refused comes with what is needed (a query's shortfall). The host's guard
// bytes catch a write past the buffer. Checked after every input, with the
// packet filter and the multicast list set back: the station address is
// still a unicast one, the link is still reported, and a frame sent still
// reaches the wire intact.
//
// Reception plays no part: the bulk-in read hangs at the bus, so that time
// costs only what the requests and sends do.
//
// Input: operations of one code byte each with their arguments (see
// RunOperation).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hw/board.h"
#include "miniport/adapter.h"
#include "testbed/testbed.h"

namespace usbeth::fuzz {
namespace {

using host::usb::RequestFault;

constexpr uint64_t kRebuildEvery = 4096;
constexpr unsigned kMaxOperations = 32;
constexpr uint32_t kFilter = 0x0B;  // directed, multicast, broadcast

const NDIS_OID kKnownOids[] = {OID_802_3_CURRENT_ADDRESS,
                               OID_802_3_MAXIMUM_LIST_SIZE,
                               OID_802_3_MULTICAST_LIST,
                               OID_802_3_PERMANENT_ADDRESS,
                               OID_802_3_RCV_ERROR_ALIGNMENT,
                               OID_802_3_RCV_OVERRUN,
                               OID_802_3_XMIT_DEFERRED,
                               OID_802_3_XMIT_MAX_COLLISIONS,
                               OID_802_3_XMIT_MORE_COLLISIONS,
                               OID_802_3_XMIT_ONE_COLLISION,
                               OID_802_3_XMIT_UNDERRUN,
                               OID_GEN_CURRENT_LOOKAHEAD,
                               OID_GEN_CURRENT_PACKET_FILTER,
                               OID_GEN_DRIVER_VERSION,
                               OID_GEN_HARDWARE_STATUS,
                               OID_GEN_LINK_SPEED,
                               OID_GEN_MAC_OPTIONS,
                               OID_GEN_MAXIMUM_FRAME_SIZE,
                               OID_GEN_MAXIMUM_LOOKAHEAD,
                               OID_GEN_MAXIMUM_SEND_PACKETS,
                               OID_GEN_MAXIMUM_TOTAL_SIZE,
                               OID_GEN_MEDIA_CONNECT_STATUS,
                               OID_GEN_MEDIA_IN_USE,
                               OID_GEN_MEDIA_SUPPORTED,
                               OID_GEN_PROTOCOL_OPTIONS,
                               OID_GEN_RCV_CRC_ERROR,
                               OID_GEN_RCV_ERROR,
                               OID_GEN_RCV_NO_BUFFER,
                               OID_GEN_RCV_OK,
                               OID_GEN_RECEIVE_BLOCK_SIZE,
                               OID_GEN_RECEIVE_BUFFER_SPACE,
                               OID_GEN_SUPPORTED_GUIDS,
                               OID_GEN_SUPPORTED_LIST,
                               OID_GEN_TRANSMIT_BLOCK_SIZE,
                               OID_GEN_TRANSMIT_BUFFER_SPACE,
                               OID_GEN_VENDOR_DESCRIPTION,
                               OID_GEN_VENDOR_DRIVER_VERSION,
                               OID_GEN_VENDOR_ID,
                               OID_GEN_XMIT_ERROR,
                               OID_GEN_XMIT_OK,
                               OID_PNP_ADD_WAKE_UP_PATTERN,
                               OID_PNP_CAPABILITIES,
                               OID_PNP_ENABLE_WAKE_UP,
                               OID_PNP_QUERY_POWER,
                               OID_PNP_REMOVE_WAKE_UP_PATTERN,
                               OID_PNP_SET_POWER,
                               OID_TCP_TASK_IPSEC_ADD_SA,
                               OID_TCP_TASK_IPSEC_DELETE_SA,
                               OID_TCP_TASK_OFFLOAD};
constexpr size_t kKnownOidCount = sizeof kKnownOids / sizeof kKnownOids[0];

class RequestsMachine {
 public:
  RequestsMachine(unsigned variant, uint64_t /*build*/)
      : config_(MachineBoard()), board_(config_, host::kernel_clock()) {
    board_.set_wire_tap([this](const hw::WireFrame& frame) {
      if (frame.direction == hw::WireDirection::ToPartner) wire_out_.push_back(frame.bytes);
    });
    host::TestbedOptions options;
    options.kernel.seed = 1 + variant;
    options.initialize = false;
    bed_ = std::make_unique<host::Testbed>(board_, options);
    // The read hangs until halt aborts it: no (micro)frame is polled for it.
    bed_->bus().set_request_rule([](const host::usb::RequestInfo& info) {
      return info.bulk && info.in ? RequestFault::Hang : RequestFault::None;
    });
    if (bed_->adapter().initialize() != NDIS_STATUS_SUCCESS)
      Fail("an honest board did not come up");
    Restore();
    CheckStationAddress(bed_->protocol());
    if (!Connected()) bed_->scheduler().run_for(3100 * host::kMillisecond);
    if (!Connected() || !ProbeOut()) Fail("no link or no traffic on a fresh adapter");
  }

  ~RequestsMachine() {
    bed_->bus().set_request_rule(nullptr);
    board_.set_wire_tap(nullptr);
    bed_.reset();
  }

  bool Run(FuzzInput& in) {
    bed_->protocol().clear_records();
    board_.clear_logs();
    wire_out_.clear();
    for (unsigned i = 0; i < kMaxOperations && !in.empty(); i++)
      RunOperation(in);
    Restore();
    CheckStationAddress(bed_->protocol());
    if (!Connected()) Fail("the link is no longer reported after requests alone");
    if (!ProbeOut()) Fail("a frame sent after the requests did not reach the wire");
    if (Verbose()) std::fprintf(stderr, "%u requests\n", requests_);
    return true;
  }

 private:
  static hw::BoardConfig MachineBoard() {
    hw::BoardConfig config = hw::boards::SingleEthernet();
    config.timing.autoneg_ns = 10 * hw::kMillisecond;
    return config;
  }

  NDIS_OID PickOid(FuzzInput& in) {
    const uint8_t choice = in.u8();
    if (choice < 0xF0) return kKnownOids[choice % kKnownOidCount];
    if (choice < 0xF8) return kKnownOids[choice % kKnownOidCount] ^ (1u << (in.u8() % 32));
    return in.u32();
  }

  ULONG PickLength(FuzzInput& in) {
    const uint8_t choice = in.u8();
    if (choice < 0xC0) return choice % 16;
    if (choice < 0xF0) return 16 + choice % 64;
    return in.u16() % 4096;
  }

  host::ndis::CallOptions PickIrql(FuzzInput& in) {
    return host::ndis::CallOptions{(in.u8() & 1) ? KIRQL{DISPATCH_LEVEL} : KIRQL{PASSIVE_LEVEL}};
  }

  void RunOperation(FuzzInput& in) {
    switch (in.u8() % 8) {
      case 0:
      case 1:
      case 2: {
        const NDIS_OID oid = PickOid(in);
        const ULONG length = PickLength(in);
        CheckRequest(bed_->protocol().query(oid, length, PickIrql(in)), "query");
        break;
      }
      case 3:
      case 4:
      case 5: {
        const NDIS_OID oid = PickOid(in);
        const ULONG length = PickLength(in);
        std::vector<uint8_t> data(length);
        // The first bytes from the input, the rest a pattern.
        const size_t given = std::min<size_t>(in.u8(), length);
        for (size_t i = 0; i < length; i++)
          data[i] = i < given ? in.u8() : static_cast<uint8_t>(i * 29 + oid);
        CheckRequest(bed_->protocol().set(oid, data, PickIrql(in)), "set");
        break;
      }
      case 6: {
        std::vector<uint8_t> frame(14 + in.u8() % 200, 0x5A);
        std::fill(frame.begin(), frame.begin() + 6, 0xFF);
        bed_->protocol().send(frame, {}, PickIrql(in));
        break;
      }
      case 7:
        bed_->scheduler().run_for((1 + in.u8() % 16) * host::kMillisecond);
        break;
    }
  }

  void CheckRequest(const std::shared_ptr<host::ndis::Request>& request, const char* kind) {
    requests_++;
    char what[96];
    std::snprintf(what, sizeof what, "%s of OID 0x%08X with %u bytes", kind,
                  static_cast<unsigned>(request->oid), static_cast<unsigned>(request->length));
    if (!request->completed.load()) Fail(std::string(what) + " never completed");
    if (request->bytes_done > request->length) {
      Fail(std::string(what) + " reported " + std::to_string(request->bytes_done) + " bytes done");
    }
    // A query's shortfall, or the length a set wants: never nothing.
    if ((request->status == NDIS_STATUS_INVALID_LENGTH ||
         request->status == NDIS_STATUS_BUFFER_TOO_SHORT) &&
        request->bytes_needed == 0) {
      Fail(std::string(what) + " was refused for its length without saying what it needs");
    }
  }

  // What the input may have changed that a protocol would set back.
  void Restore() {
    CheckRequest(bed_->protocol().set_ulong(OID_GEN_CURRENT_PACKET_FILTER, kFilter), "set");
    CheckRequest(bed_->protocol().set(OID_802_3_MULTICAST_LIST, {}), "set");
  }

  bool Connected() {
    const auto status = bed_->protocol().query_ulong(OID_GEN_MEDIA_CONNECT_STATUS);
    return status && *status == NdisMediaStateConnected;
  }

  bool ProbeOut() {
    probe_serial_++;
    std::vector<uint8_t> frame(60, 0);
    std::fill(frame.begin(), frame.begin() + 6, 0xFF);
    frame[6] = 0x02;
    frame[12] = 0x88;
    frame[13] = 0xB5;
    for (size_t i = 14; i < frame.size(); i++)
      frame[i] = static_cast<uint8_t>(probe_serial_ * 3 + i);
    bed_->protocol().send(frame);
    return bed_->protocol().run_until(
        [&] { return std::find(wire_out_.begin(), wire_out_.end(), frame) != wire_out_.end(); },
        50 * host::kMillisecond);
  }

  hw::BoardConfig config_;
  hw::Board board_;
  std::unique_ptr<host::Testbed> bed_;
  std::vector<std::vector<uint8_t>> wire_out_;
  uint64_t probe_serial_ = 0;
  unsigned requests_ = 0;
};

}  // namespace
}  // namespace usbeth::fuzz

USBETH_FUZZ_KEPT_MACHINE_TARGET("fuzz_requests", usbeth::fuzz::RequestsMachine, 2,
                                usbeth::fuzz::kRebuildEvery)
