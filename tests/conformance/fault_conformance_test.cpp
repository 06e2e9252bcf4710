// Initialization with the k-th allocation failing, for every k that a clean
// initialization reaches at each allocation site, and a device that stops
// answering during initialization, during traffic and during halt.
#include <gtest/gtest.h>

#include <string>

#include "conformance_bed.h"

namespace conformance {
namespace {

const char* SiteName(host::FaultSite site) {
  switch (site) {
    case host::FaultSite::PoolAllocation:
      return "pool";
    case host::FaultSite::IrpAllocation:
      return "IRP";
    case host::FaultSite::PacketAllocation:
      return "packet";
    case host::FaultSite::BufferAllocation:
      return "buffer";
    default:
      return "?";
  }
}

BedOptions NotInitialized() {
  BedOptions o;
  o.initialize = false;
  o.bring_up = false;
  return o;
}

// Calls a clean initialization makes at the site.
uint64_t CallsOfACleanInitialization(host::FaultSite site) {
  Bed bed(NotInitialized());
  host::faults().reset();
  EXPECT_EQ(bed.miniport().initialize(), NDIS_STATUS_SUCCESS);
  const uint64_t calls = host::faults().calls(site);
  host::faults().reset();
  return calls;
}

class AllocationFaultTest : public ::testing::TestWithParam<host::FaultSite> {
 protected:
  void TearDown() override { host::faults().reset(); }
};

TEST_P(AllocationFaultTest, EveryFailurePointEndsCleanOrInAWorkingAdapter) {
  const host::FaultSite site = GetParam();
  const uint64_t total = CallsOfACleanInitialization(site);
  ASSERT_GT(total, 0u) << SiteName(site);
  size_t refused = 0, survived = 0, deaf = 0;
  for (uint64_t k = 1; k <= total; ++k) {
    SCOPED_TRACE(::testing::Message() << SiteName(site) << " allocation " << k << " of " << total);
    Bed bed(NotInitialized());
    host::faults().reset();
    host::faults().fail_nth(site, k);
    const NDIS_STATUS status = bed.miniport().initialize();
    const bool fired = host::faults().calls(site) >= k;
    host::faults().reset();
    EXPECT_TRUE(fired) << "initialization took another path before the failure point";
    if (status != NDIS_STATUS_SUCCESS) {
      ++refused;
      // The record itself failing reports the allocation's status; every
      // later failure reports a shortage of resources.
      if (site == host::FaultSite::PoolAllocation && k == 1) {
        EXPECT_EQ(status, NDIS_STATUS_FAILURE);
      } else {
        EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
      }
      bed.ExpectNothingLeft("after the failed initialization");
    } else {
      // An allocation whose failure initialization rides out: the adapter
      // must work, or, when the failure left the PHYs unable to link (the
      // register write that releases them from reset was never sent), say
      // so: no connect, the link reported down. Either way it halts clean.
      ++survived;
      if (bed.BringUp()) {
        const uint64_t wire = bed.board().counters().wire_tx_frames;
        EXPECT_EQ(bed.Send({bed.ToPartner(100, 1)}), 1u);
        EXPECT_TRUE(bed.WaitForWire(wire, 1));
        EXPECT_TRUE(bed.PartnerSend({bed.ToStation(100, 2)}));
      } else {
        ++deaf;
        for (const auto& status : bed.protocol().statuses()) {
          EXPECT_NE(status.code, NDIS_STATUS_MEDIA_CONNECT)
              << "a connect was indicated at " << status.time << " ns";
        }
        EXPECT_EQ(bed.LinkState(), usbeth::kLinkDown);
        bool any_phy_links = false;
        for (const auto& phy : bed.board().config().phys) {
          any_phy_links |= bed.board().phy_state(phy.mii_address).link_up;
        }
        EXPECT_FALSE(any_phy_links) << "the adapter says the link is down while a PHY has one";
      }
      bed.testbed().halt();
      bed.ExpectNothingLeft("after halt");
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
  RecordProperty(std::string(SiteName(site)) + "_failure_points", static_cast<int>(total));
  RecordProperty(std::string(SiteName(site)) + "_refused", static_cast<int>(refused));
  std::printf("%s: %llu failure points, %zu refused, %zu survived (%zu reporting no link)\n",
              SiteName(site), static_cast<unsigned long long>(total), refused, survived, deaf);
}

INSTANTIATE_TEST_SUITE_P(
    Sites, AllocationFaultTest,
    ::testing::Values(host::FaultSite::PoolAllocation, host::FaultSite::IrpAllocation,
                      host::FaultSite::PacketAllocation, host::FaultSite::BufferAllocation),
    [](const ::testing::TestParamInfo<host::FaultSite>& info) {
      return std::string(SiteName(info.param)) == "IRP"
                 ? std::string("Irp")
                 : std::string(1, char(std::toupper(SiteName(info.param)[0]))) +
                       std::string(SiteName(info.param) + 1);
    });

// ---- A device that stops answering -------------------------------------------

// From the n-th request on, nothing the device must answer ever completes;
// only aborting a pipe, which the host controller does alone, still works.
void SilenceDeviceFrom(uint64_t n) {
  auto seen = std::make_shared<uint64_t>(0);
  host::faults().set_urb_rule([seen, n](uint16_t function) {
    if (function == URB_FUNCTION_ABORT_PIPE) return host::UrbFault::None;
    return ++*seen >= n ? host::UrbFault::Stall : host::UrbFault::None;
  });
}

class SilentDeviceTest : public ::testing::Test {
 protected:
  void TearDown() override { host::faults().reset(); }
};

TEST_F(SilentDeviceTest, InitializationFailsCleanlyAfterItsBoundedWaits) {
  Bed bed(NotInitialized());
  SilenceDeviceFrom(1);
  const host::Nanoseconds start = bed.now();
  EXPECT_EQ(bed.miniport().initialize(), NDIS_STATUS_RESOURCES);
  const host::Nanoseconds took = bed.now() - start;
  host::faults().reset();
  // The first request waited out its 10-second limit; no more than that.
  EXPECT_GE(took, 10 * host::kSecond);
  EXPECT_LT(took, 30 * host::kSecond);
  bed.ExpectNothingLeft("after the failed initialization");
}

TEST_F(SilentDeviceTest, SilenceAtAnyPointOfInitializationEndsCleanly) {
  // Count the requests of a clean initialization, then silence the device
  // from points spread over it.
  uint64_t requests = 0;
  {
    Bed bed(NotInitialized());
    host::faults().set_urb_rule([&requests](uint16_t) {
      ++requests;
      return host::UrbFault::None;
    });
    ASSERT_EQ(bed.miniport().initialize(), NDIS_STATUS_SUCCESS);
    host::faults().reset();
  }
  ASSERT_GT(requests, 10u);
  size_t points = 0;
  for (uint64_t n = 2; n <= requests; n += requests / 12 + 1) {
    SCOPED_TRACE(::testing::Message() << "silent from request " << n << " of " << requests);
    ++points;
    Bed bed(NotInitialized());
    SilenceDeviceFrom(n);
    const host::Nanoseconds start = bed.now();
    const NDIS_STATUS status = bed.miniport().initialize();
    EXPECT_TRUE(status == NDIS_STATUS_SUCCESS || status == NDIS_STATUS_RESOURCES)
        << std::hex << status;
    // Bounded: every wait on the device has its limit.
    EXPECT_LT(bed.now() - start, 4 * 3600 * host::kSecond);
    if (status == NDIS_STATUS_SUCCESS) {
      const host::Nanoseconds halt_start = bed.now();
      bed.testbed().halt();
      EXPECT_LT(bed.now() - halt_start, 600 * host::kSecond);
    }
    host::faults().reset();
    bed.ExpectNothingLeft("after initialization against a silent device");
  }
  RecordProperty("silent_points", static_cast<int>(points));
}

TEST_F(SilentDeviceTest, SilenceDuringTrafficThenHaltReturnsAndLeaksNothing) {
  Bed bed;
  std::vector<Bytes> frames;
  for (uint32_t i = 0; i < 10; ++i)
    frames.push_back(bed.ToPartner(100 + 100 * i, i));
  ASSERT_EQ(bed.Send(frames), frames.size());
  for (uint32_t i = 0; i < 4; ++i)
    bed.board().send_from_partner(bed.phy(), bed.ToStation(300, i));
  bed.RunFor(1500 * host::kMicrosecond);
  SilenceDeviceFrom(1);
  // Sends go on while the device says nothing; the driver takes what it has
  // descriptors for and completes all it took, and refuses the rest, which
  // NDIS keeps in its queue: the protocol sees every send pend.
  for (uint32_t i = 0; i < 60; ++i) {
    uint64_t id = bed.protocol().send(bed.ToPartner(200, 100 + i), {},
                                      host::ndis::CallOptions{DISPATCH_LEVEL});
    EXPECT_EQ(bed.protocol().send_status(id), NDIS_STATUS_PENDING);
    bed.RunFor(5 * host::kMillisecond);
  }
  EXPECT_GT(bed.miniport().sends_refused(), 0u);
  bed.RunFor(8 * host::kSecond);  // link polls against the silent device
  const size_t queued = bed.miniport().sends_queued();
  EXPECT_GT(queued, 0u);
  EXPECT_EQ(bed.protocol().sends_in_flight(), queued);
  for (const auto& c : bed.protocol().send_completions())
    EXPECT_EQ(c.status, NDIS_STATUS_SUCCESS);
  const host::Nanoseconds start = bed.now();
  bed.testbed().halt();
  EXPECT_LT(bed.now() - start, 600 * host::kSecond);
  // The halt gives the queued sends back to the protocol.
  EXPECT_EQ(bed.miniport().sends_aborted(), queued);
  EXPECT_EQ(bed.protocol().sends_in_flight(), 0u);
  host::faults().reset();
  bed.ExpectNothingLeft("after halt of a silent device");
}

TEST_F(SilentDeviceTest, SilenceDuringHaltStillReturnsAndLeaksNothing) {
  Bed bed;
  bed.protocol().send(bed.ToPartner(900, 1), {}, host::ndis::CallOptions{DISPATCH_LEVEL});
  SilenceDeviceFrom(1);
  const host::Nanoseconds start = bed.now();
  bed.testbed().halt();
  EXPECT_LT(bed.now() - start, 600 * host::kSecond);
  host::faults().reset();
  bed.ExpectNothingLeft("after halt of a silent device");
}

}  // namespace
}  // namespace conformance
