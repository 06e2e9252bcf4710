// A device that goes silent, lies in its descriptors, refuses its vendor
// requests, holds a bad station address or sends bulk-in transfers that are
// not frames, each run with several seeds: the driver stays bounded, trusts
// nothing it reads, and leaves nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "conformance_bed.h"
#include "nt/debug.h"

namespace conformance {
namespace {

BedOptions Seeded(uint64_t seed, bool initialize = true) {
  BedOptions o;
  o.seed = seed;
  o.initialize = initialize;
  o.bring_up = initialize;
  return o;
}

bool DebugOutputHas(const std::string& text) {
  for (const std::string& line : host::debug_output()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// From now on nothing the device must answer ever completes; aborting a pipe,
// which the host controller does alone, still works. With `control_only`
// the bulk pipes go on working.
void SilenceDevice(bool control_only = false) {
  host::faults().set_urb_rule([control_only](uint16_t function) {
    if (function == URB_FUNCTION_ABORT_PIPE) return host::UrbFault::None;
    if (control_only && function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      return host::UrbFault::None;
    }
    return host::UrbFault::Stall;
  });
}

class HostileDeviceTest : public ::testing::TestWithParam<uint64_t> {
 protected:
  void SetUp() override { host::clear_debug_output(); }
  void TearDown() override { host::faults().reset(); }
};

// ---- A device that stopped answering -----------------------------------------

TEST_P(HostileDeviceTest, SilentDeviceResetAndHaltEachEndWellWithinAMinute) {
  Bed bed(Seeded(GetParam()));
  SilenceDevice();

  const host::Nanoseconds reset_start = bed.now();
  EXPECT_EQ(bed.protocol().reset(host::ndis::CallOptions{PASSIVE_LEVEL}), NDIS_STATUS_SUCCESS);
  const host::Nanoseconds reset_took = bed.now() - reset_start;
  // One request waits out its 10 s; the rest of the restart does not wait.
  EXPECT_GE(reset_took, 10 * host::kSecond);
  EXPECT_LT(reset_took, 30 * host::kSecond);
  EXPECT_TRUE(DebugOutputHas("did not answer"));

  host::clear_debug_output();
  const host::Nanoseconds halt_start = bed.now();
  bed.testbed().halt();
  const host::Nanoseconds halt_took = bed.now() - halt_start;
  EXPECT_LT(halt_took, 30 * host::kSecond);
  EXPECT_TRUE(DebugOutputHas("did not answer"));
  std::printf("seed %llu: silent-device reset %.3f s, halt %.3f s (virtual)\n",
              static_cast<unsigned long long>(GetParam()), reset_took / 1e9, halt_took / 1e9);
  RecordProperty("reset_ms", static_cast<int>(reset_took / host::kMillisecond));
  RecordProperty("halt_ms", static_cast<int>(halt_took / host::kMillisecond));
  host::faults().reset();
  bed.ExpectNothingLeft("after halt of a silent device");
}

TEST_P(HostileDeviceTest, HaltAskedForDuringASilentResetWaitsWellWithinAMinute) {
  Bed bed(Seeded(GetParam()));
  SilenceDevice();
  const host::Nanoseconds start = bed.now();
  // At DISPATCH_LEVEL the restart runs from a work item; halt waits for it.
  const NDIS_STATUS status = bed.miniport().reset();
  EXPECT_TRUE(status == NDIS_STATUS_PENDING || status == NDIS_STATUS_SUCCESS) << std::hex << status;
  bed.RunFor(host::kSecond);
  bed.testbed().halt();
  const host::Nanoseconds took = bed.now() - start;
  EXPECT_LT(took, 60 * host::kSecond);
  std::printf("seed %llu: silent-device reset at DISPATCH_LEVEL, then halt: %.3f s (virtual)\n",
              static_cast<unsigned long long>(GetParam()), took / 1e9);
  host::faults().reset();
  bed.ExpectNothingLeft("after halt during a silent reset");
}

TEST_P(HostileDeviceTest, DeviceThatAnswersAgainIsWaitedForAtTheNextReset) {
  Bed bed(Seeded(GetParam()));
  SilenceDevice(/*control_only=*/true);
  EXPECT_EQ(bed.protocol().reset(host::ndis::CallOptions{PASSIVE_LEVEL}), NDIS_STATUS_SUCCESS);
  host::faults().reset();
  // The next sequence trusts the device again: the restart reaches it whole
  // and the adapter works.
  const size_t from = bed.protocol().statuses().size();
  EXPECT_EQ(bed.protocol().reset(host::ndis::CallOptions{PASSIVE_LEVEL}), NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(bed.SetFilter(kFilterDirected | kFilterBroadcast));
  ASSERT_TRUE(bed.WaitForConnect(from));
  const uint64_t wire = bed.board().counters().wire_tx_frames;
  EXPECT_EQ(bed.Send({bed.ToPartner(200, 1)}), 1u);
  EXPECT_TRUE(bed.WaitForWire(wire, 1));
  EXPECT_TRUE(bed.PartnerSend({bed.ToStation(200, 2)}));
  bed.testbed().halt();
  bed.ExpectNothingLeft("after halt");
}

// ---- Endpoints and descriptors ------------------------------------------------

TEST_P(HostileDeviceTest, EndpointsPointingTheWrongWayOrWithoutPacketsAreRefused) {
  const hw::EndpointConfig in{0x81, hw::EndpointKind::Bulk, 0, 0};
  const hw::EndpointConfig out{0x02, hw::EndpointKind::Bulk, 0, 0};
  const hw::EndpointConfig irq{0x83, hw::EndpointKind::Interrupt, 0, 1};
  struct Case {
    const char* what;
    std::vector<hw::EndpointConfig> endpoints;
    int zero_max_packet;
  };
  const std::vector<Case> cases = {
      {"swapped bulk endpoints", {out, in, irq}, -1},
      {"bulk in without its IN bit", {{0x01, hw::EndpointKind::Bulk, 0, 0}, out, irq}, -1},
      {"bulk out with the IN bit", {in, {0x82, hw::EndpointKind::Bulk, 0, 0}, irq}, -1},
      {"bulk in of packet size 0", {in, out, irq}, 0},
      {"bulk out of packet size 0", {in, out, irq}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BedOptions o = Seeded(GetParam(), false);
    o.board.descriptors.endpoints = c.endpoints;
    o.board.descriptors.zero_max_packet_endpoint = c.zero_max_packet;
    Bed bed(o);
    EXPECT_EQ(bed.miniport().initialize(), NDIS_STATUS_RESOURCES);
    bed.ExpectNothingLeft("after the refused device");
  }
}

TEST_P(HostileDeviceTest, ConfigurationWithEndpointsPastByte255Works) {
  BedOptions o = Seeded(GetParam());
  o.board.descriptors.pad_bytes = 300;
  o.board.descriptors.pad_before_endpoints = true;
  Bed bed(o);
  ASSERT_EQ(bed.testbed().initialize_status(), NDIS_STATUS_SUCCESS);
  const uint64_t wire = bed.board().counters().wire_tx_frames;
  EXPECT_EQ(bed.Send({bed.ToPartner(300, 1), bed.ToPartner(64, 2)}), 2u);
  EXPECT_TRUE(bed.WaitForWire(wire, 2));
  EXPECT_TRUE(bed.PartnerSend({bed.ToStation(300, 3)}));
  bed.testbed().halt();
  bed.ExpectNothingLeft("after halt");
}

// ---- A controller that does not answer -------------------------------------

TEST_P(HostileDeviceTest, ControllerRefusingItsRequestsFailsInitializationWithNothingLeft) {
  {
    SCOPED_TRACE("the device stalls every vendor request");
    Bed bed(Seeded(GetParam(), false));
    bed.board().set_vendor_stall_rule([](const hw::SetupPacket&) { return true; });
    EXPECT_EQ(bed.miniport().initialize(), NDIS_STATUS_RESOURCES);
    bed.ExpectNothingLeft("after the failed initialization");
  }
  {
    SCOPED_TRACE("the device stalls the EEPROM registers");
    Bed bed(Seeded(GetParam(), false));
    bed.board().set_vendor_stall_rule(
        [](const hw::SetupPacket& s) { return s.wIndex >= 0x20 && s.wIndex <= 0x23; });
    EXPECT_EQ(bed.miniport().initialize(), NDIS_STATUS_RESOURCES);
    bed.ExpectNothingLeft("after the failed initialization");
  }
  {
    SCOPED_TRACE("the bus fails every vendor request");
    Bed bed(Seeded(GetParam(), false));
    host::faults().set_urb_rule([](uint16_t function) {
      return function == URB_FUNCTION_VENDOR_DEVICE ? host::UrbFault::CompleteWithError
                                                    : host::UrbFault::None;
    });
    EXPECT_EQ(bed.miniport().initialize(), NDIS_STATUS_RESOURCES);
    host::faults().reset();
    bed.ExpectNothingLeft("after the failed initialization");
  }
}

// ---- The station address ------------------------------------------------------

TEST_P(HostileDeviceTest, EepromAddressThatCannotNameAStationIsReplacedAndTheAdapterWorks) {
  for (const hw::MacAddress& mac :
       {hw::MacAddress{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, hw::MacAddress{0, 0, 0, 0, 0, 0},
        hw::MacAddress{0x01, 0x00, 0x5E, 0x01, 0x02, 0x03}}) {
    SCOPED_TRACE(::testing::Message() << std::hex << int(mac[0]));
    host::clear_debug_output();
    BedOptions o = Seeded(GetParam());
    o.board.eeprom = hw::EepromWithAddress(mac);
    Bed bed(o);
    ASSERT_EQ(bed.testbed().initialize_status(), NDIS_STATUS_SUCCESS);
    const hw::MacAddress station = bed.station();
    EXPECT_NE(station, mac);
    EXPECT_EQ(station[0] & 0x03, 0x02) << "unicast, locally administered";
    EXPECT_TRUE(DebugOutputHas("no usable station address"));
    auto current = bed.protocol().query(OID_802_3_CURRENT_ADDRESS, 6);
    ASSERT_EQ(current->status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(current->buffer.begin(), current->buffer.begin() + 6),
              Bytes(station.begin(), station.end()));
    // Frames for the new address arrive; the station's own frames carry it.
    EXPECT_TRUE(bed.PartnerSend({bed.ToStation(100, 1)}));
    const uint64_t wire = bed.board().counters().wire_tx_frames;
    EXPECT_EQ(bed.Send({bed.ToPartner(100, 2)}), 1u);
    ASSERT_TRUE(bed.WaitForWire(wire, 1));
    bed.testbed().halt();
    bed.ExpectNothingLeft("after halt");
  }
}

TEST_P(HostileDeviceTest, NetworkAddressThatCannotNameAStationIsNotUsed) {
  host::clear_debug_output();
  BedOptions o = Seeded(GetParam());
  o.registry.set_network_address({0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB});
  Bed bed(o);
  ASSERT_EQ(bed.testbed().initialize_status(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bed.station(), (hw::MacAddress{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_TRUE(DebugOutputHas("NetworkAddress"));
  EXPECT_TRUE(bed.PartnerSend({bed.ToStation(100, 1)}));
  bed.testbed().halt();
  bed.ExpectNothingLeft("after halt");
}

// ---- Receive transfers that are not frames -------------------------------------

TEST_P(HostileDeviceTest, OnlyWholeFramesAreIndicatedAndTheRestCountAsReceiveErrors) {
  Bed bed(Seeded(GetParam()));
  // The device's framing: frame, 4 CRC bytes, trailer (length of frame and
  // CRC, 12 bits, low first; status; 0).
  auto framed = [](const Bytes& frame, int length_error) {
    Bytes t = frame;
    t.insert(t.end(), {0xC1, 0xC2, 0xC3, 0xC4});
    const uint16_t length = static_cast<uint16_t>(frame.size() + 4 + length_error);
    t.insert(t.end(), {uint8_t(length), uint8_t(length >> 8), 0x00, 0x00});
    return t;
  };
  const Bytes good1 = bed.ToStation(100, 1), good2 = bed.ToStation(200, 2);
  Bytes two = framed(good1, 0);
  const Bytes second = framed(good2, 0);
  two.insert(two.end(), second.begin(), second.end());
  Bytes glued(40, 0x99);
  glued.insert(glued.end(), second.begin(), second.end());
  const std::vector<Bytes> lies = {
      {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // an empty frame
      framed(Bytes(9, 0x42), 0),                         // shorter than a header
      framed(Bytes(13, 0x42), 0),
      framed(good1, -1),  // trailer off by one
      framed(good1, 7),
      two,    // two frames in one transfer
      glued,  // a babbled remainder in front of a frame
      {0x00, 0x00, 0x00},
  };
  const uint32_t errors_before = bed.protocol().query_ulong(OID_GEN_RCV_ERROR).value_or(~0u);
  const uint32_t ok_before = bed.protocol().query_ulong(OID_GEN_RCV_OK).value_or(~0u);
  const size_t received_before = bed.protocol().received_count();
  // Lies and whole frames interleaved: each whole frame is indicated as sent.
  std::vector<Bytes> expected;
  for (size_t i = 0; i < lies.size(); ++i) {
    bed.board().inject_bulk_in_transfer(lies[i]);
    const Bytes good = bed.ToStation(60 + 50 * i, 10 + static_cast<uint32_t>(i));
    bed.board().inject_bulk_in_transfer(framed(good, 0));
    expected.push_back(good);
  }
  ASSERT_TRUE(bed.RunUntil(
      [&] { return bed.protocol().received_count() >= received_before + expected.size(); },
      2 * host::kSecond));
  bed.RunFor(50 * host::kMillisecond);
  auto got = bed.protocol().received();
  ASSERT_EQ(got.size(), received_before + expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(got[received_before + i].data, expected[i]) << i;
  EXPECT_EQ(bed.protocol().query_ulong(OID_GEN_RCV_ERROR).value_or(0), errors_before + lies.size());
  EXPECT_EQ(bed.protocol().query_ulong(OID_GEN_RCV_OK).value_or(0), ok_before + expected.size());
  // Reading goes on with frames from the wire.
  EXPECT_TRUE(bed.PartnerSend({bed.ToStation(500, 99)}));
  bed.testbed().halt();
  bed.ExpectNothingLeft("after halt");
}

// ---- Transmit descriptors -------------------------------------------------------

TEST_P(HostileDeviceTest, FewerThanTwoTransmitDescriptorsStillSendEveryFrame) {
  for (uint32_t configured : {0u, 1u}) {
    SCOPED_TRACE(::testing::Message() << "TxPacketDesc " << configured);
    BedOptions o = Seeded(GetParam());
    o.registry.set_integer("TxPacketDesc", configured);
    Bed bed(o);
    ASSERT_EQ(bed.testbed().initialize_status(), NDIS_STATUS_SUCCESS);
    // 62 and 126 bytes fill whole 64-byte packets with the 2-byte prefix and
    // need a zero-length transfer after them.
    std::vector<Bytes> frames = {bed.ToPartner(62, 1), bed.ToPartner(100, 2), bed.ToPartner(126, 3),
                                 bed.ToPartner(62, 4)};
    const uint64_t wire = bed.board().counters().wire_tx_frames;
    EXPECT_EQ(bed.Send(frames, DISPATCH_LEVEL, 1), frames.size());
    ASSERT_TRUE(bed.WaitForWire(wire, frames.size()));
    auto sent = bed.board().frames_sent_to_partner();
    std::vector<Bytes> tail;
    for (size_t i = sent.size() - frames.size(); i < sent.size(); ++i)
      tail.push_back(sent[i].bytes);
    EXPECT_EQ(tail, frames);
    bed.testbed().halt();
    bed.ExpectNothingLeft("after halt");
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, HostileDeviceTest, ::testing::Values(1, 2, 3, 4));

}  // namespace
}  // namespace conformance
