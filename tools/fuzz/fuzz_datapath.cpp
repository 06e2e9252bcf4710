// The hostile device while running: after an honest bring-up, the input
// plays the bulk-in pipe (transfers of any length and content, status
// trailers, packet splits with or without the ending zero-length packet,
// stalls), decides how the bus completes bulk URBs (errors, stalls until
// cancelled, late, refused at once), and interleaves sends of any length,
// statistics queries, resets and the passing of time. The driver must never
// indicate more than one maximum-size frame, never indicate more frames than
// transfers ended, never read outside its buffers (ASan), and must halt clean.
//
// Input: seed, flags, then operations of one code byte each with their
// arguments (see RunOperation).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "hw/board.h"
#include "testbed/testbed.h"

namespace usbeth::fuzz {
namespace {

constexpr size_t kMaxFrame = 1514;
constexpr unsigned kMaxOperations = 96;
const NDIS_OID kQueries[] = {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_802_3_RCV_ERROR_ALIGNMENT,
                             OID_GEN_CURRENT_PACKET_FILTER};

struct Run {
  hw::Board& board;
  HostileDevice& device;
  host::Testbed& bed;
  std::deque<host::UrbFault>& bulk_faults;
  size_t max_packet;
  uint64_t transfers_ended = 0;  // transfers the script can have ended, at most
};

// One bulk-in transfer as packets: `chunk` bytes each (the last one short),
// and a zero-length packet when the length is a multiple of the chunk and the
// input asks for it.
void QueueTransfer(Run& run, FuzzInput& in) {
  const size_t length = in.u16() % 1800;
  const uint8_t tag = in.u8();
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; i++)
    bytes[i] = static_cast<uint8_t>(i * 13 + tag);
  const size_t raw = std::min<size_t>(in.u8(), length);
  for (size_t i = 0; i < raw; i++)
    bytes[i] = in.u8();
  // The status trailer: byte 2 from the end of the transfer, then the rest.
  if (length >= 2) bytes[length - 2] = in.u8();
  const uint8_t split = in.u8();
  const size_t chunk = split == 0 ? run.max_packet : 1 + split % run.max_packet;
  for (size_t pos = 0; pos < length; pos += chunk) {
    const size_t n = std::min(chunk, length - pos);
    run.device.in_packets.push_back(
        {hw::Handshake::Ack, std::vector<uint8_t>(bytes.begin() + pos, bytes.begin() + pos + n)});
    run.transfers_ended++;  // every packet may end one (short, or the buffer full)
  }
  if (length == 0 || (length % chunk == 0 && (tag & 1))) {
    run.device.in_packets.push_back({hw::Handshake::Ack, {}});
    run.transfers_ended++;
  }
}

void SendFrame(Run& run, FuzzInput& in) {
  const size_t length = in.u16() % 1600;
  const uint8_t first_buffer = in.u8();
  std::vector<uint8_t> frame(length, 0x3C);
  for (size_t i = 0; i < 6 && i < length; i++)
    frame[i] = 0xFF;
  std::vector<size_t> buffers;
  if (first_buffer != 0 && length != 0) buffers.push_back(first_buffer % length);
  run.bed.protocol().send(frame, buffers);
}

void RunOperation(Run& run, FuzzInput& in) {
  switch (in.u8() % 10) {
    case 0:
    case 1:
    case 2:
      QueueTransfer(run, in);
      break;
    case 3:
      run.bed.scheduler().run_for((1 + in.u8()) * host::kMillisecond);
      break;
    case 4:
      run.device.in_packets.push_back({hw::Handshake::Stall, {}});
      run.transfers_ended++;
      break;
    case 5:
      SendFrame(run, in);
      break;
    case 6:
      run.bulk_faults.push_back(static_cast<host::UrbFault>(in.u8() % 5));
      break;
    case 7:
      run.bed.protocol().query(kQueries[in.u8() % 4], 4);
      break;
    case 8:
      if (in.u8() % 4 == 0) run.bed.protocol().reset();
      break;
    case 9:
      run.bed.protocol().run_until([&] { return run.device.in_packets.empty(); },
                                   50 * host::kMillisecond);
      break;
  }
}

// Whatever it was asked to send, the driver must hand the device only
// well-formed transfers: a length prefix of 1..1514 and the frame behind it.
void CheckTransfersOut(Run& run) {
  const hw::Counters counters = run.board.counters();
  if (counters.tx_bad_length != 0 || counters.tx_short_transfers != 0 ||
      counters.tx_oversize_transfers != 0) {
    Fail("malformed bulk-out transfers: " + std::to_string(counters.tx_bad_length) +
         " bad lengths, " + std::to_string(counters.tx_short_transfers) + " short, " +
         std::to_string(counters.tx_oversize_transfers) + " oversize");
  }
}

void CheckIndications(const Run& run) {
  const auto received = run.bed.protocol().received();
  if (received.size() > run.transfers_ended) {
    Fail(std::to_string(received.size()) + " frames indicated from at most " +
         std::to_string(run.transfers_ended) + " bulk-in transfers");
  }
  for (const auto& frame : received) {
    if (frame.data.size() > kMaxFrame) {
      Fail("indicated a frame of " + std::to_string(frame.data.size()) + " bytes");
    }
  }
}

void RunOne(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t seed = in.u8();
  const uint8_t flags = in.u8();
  hw::BoardConfig config = hw::boards::SingleEthernet();
  config.speed = (flags & 0x01) ? hw::BusSpeed::High : hw::BusSpeed::Full;
  hw::Board board(config, host::kernel_clock());
  HostileDevice device(board);
  device.script_bulk_in = true;

  // Declared before the testbed: the rule is live until the teardown ends.
  std::deque<host::UrbFault> bulk_faults;
  host::faults().set_urb_rule([&bulk_faults](uint16_t function) {
    if (function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || bulk_faults.empty()) {
      return host::UrbFault::None;
    }
    host::UrbFault fault = bulk_faults.front();
    bulk_faults.pop_front();
    return fault;
  });

  host::TestbedOptions options;
  options.kernel.seed = seed;
  options.bus.unthrottled = (flags & 0x02) != 0;
  options.bus.completion =
      (flags & 0x04) ? host::usb::CompletionMode::Deferred : host::usb::CompletionMode::Seeded;
  host::Testbed bed(device, options);
  if (bed.initialize_status() != NDIS_STATUS_SUCCESS) Fail("an honest board did not come up");
  bed.protocol().set_ulong(OID_GEN_CURRENT_PACKET_FILTER, 0x0B);

  Run run{board, device, bed, bulk_faults, config.speed == hw::BusSpeed::High ? 512u : 64u};
  for (unsigned i = 0; i < kMaxOperations && !in.empty(); i++) {
    RunOperation(run, in);
    CheckIndications(run);
    CheckTransfersOut(run);
  }
  bed.scheduler().run_for(20 * host::kMillisecond);
  CheckIndications(run);
  CheckTransfersOut(run);
  if (Verbose()) {
    const auto received = bed.protocol().received();
    std::fprintf(stderr,
                 "%zu frames indicated (last %zu bytes), %zu sends completed, %llu packets"
                 " played, %llu left\n",
                 received.size(), received.empty() ? size_t{0} : received.back().data.size(),
                 bed.protocol().send_completion_count(),
                 static_cast<unsigned long long>(device.in_packets_played),
                 static_cast<unsigned long long>(device.in_packets.size()));
  }
  bed.halt();
}

}  // namespace
}  // namespace usbeth::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  usbeth::fuzz::RunGuarded("fuzz_datapath", [&] { usbeth::fuzz::RunOne(data, size); });
  return 0;
}
