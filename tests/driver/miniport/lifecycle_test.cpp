// Registration, configuration, initialization, halt, shutdown and reset, as
// the device and NDIS saw them.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver_rig.h"
#include "ndis/state.h"
#include "nt/debug.h"

namespace usbeth_test {
namespace {

constexpr NDIS_STATUS kMediaConnect = 0x4001000B;

RigOptions NoDriver() {
  RigOptions o;
  o.load_driver = false;
  return o;
}

// The host's record of a miniport timer; null when the driver never
// initialized it.
const host::ndis::TimerRecord* TimerOf(const NDIS_MINIPORT_TIMER& timer) {
  host::ndis::State& s = host::ndis::state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  const auto* record = s.timers.find(const_cast<PNDIS_MINIPORT_TIMER>(&timer));
  return record ? record->get() : nullptr;
}
uint64_t Expiries(const NDIS_MINIPORT_TIMER& timer) {
  const host::ndis::TimerRecord* t = TimerOf(timer);
  return t ? t->expiries : ~uint64_t{0};
}
bool Pending(const NDIS_MINIPORT_TIMER& timer) {
  const host::ndis::TimerRecord* t = TimerOf(timer);
  return t && t->pending;
}

RigOptions KeepAliveBoard() {
  RigOptions o;
  o.board = hw::boards::SingleHome(hw::phyid::kHomeB);
  return o;
}

size_t SetFeatureRequests(DriverRig& rig) {
  size_t n = 0;
  for (const SeenUrb& u : rig.spy->with_function(URB_FUNCTION_SET_FEATURE_TO_DEVICE)) {
    if (u.urb().UrbControlFeatureRequest.FeatureSelector == USB_FEATURE_REMOTE_WAKEUP) ++n;
  }
  return n;
}

// ---- Registration -------------------------------------------------------------

TEST(DriverEntryTest, RegistersEightHandlersAsNdis50) {
  DriverRig rig;
  ASSERT_TRUE(rig.ndis->miniport_registered());
  EXPECT_EQ(rig.ndis->characteristics_length(), 96u);
  const NDIS_MINIPORT_CHARACTERISTICS& c = rig.ndis->characteristics();
  const NDIS30_MINIPORT_CHARACTERISTICS& c30 = c.Ndis40Chars.Ndis30Chars;
  EXPECT_EQ(c30.MajorNdisVersion, 5);
  EXPECT_EQ(c30.MinorNdisVersion, 0);
  EXPECT_NE(c30.HaltHandler, nullptr);
  EXPECT_NE(c30.InitializeHandler, nullptr);
  EXPECT_NE(c30.QueryInformationHandler, nullptr);
  EXPECT_NE(c30.ResetHandler, nullptr);
  EXPECT_NE(c30.SendHandler, nullptr);
  EXPECT_NE(c30.SetInformationHandler, nullptr);
  EXPECT_NE(c.Ndis40Chars.ReturnPacketHandler, nullptr);
  EXPECT_NE(c30.CheckForHangHandler, nullptr);
  EXPECT_EQ(c30.DisableInterruptHandler, nullptr);
  EXPECT_EQ(c30.EnableInterruptHandler, nullptr);
  EXPECT_EQ(c30.HandleInterruptHandler, nullptr);
  EXPECT_EQ(c30.ISRHandler, nullptr);
  EXPECT_EQ(c30.ReconfigureHandler, nullptr);
  EXPECT_EQ(c30.TransferDataHandler, nullptr);
  EXPECT_EQ(c.Ndis40Chars.SendPacketsHandler, nullptr);
  EXPECT_EQ(c.Ndis40Chars.AllocateCompleteHandler, nullptr);
  EXPECT_EQ(c.CoCreateVcHandler, nullptr);
  EXPECT_EQ(c.CoDeleteVcHandler, nullptr);
  EXPECT_EQ(c.CoActivateVcHandler, nullptr);
  EXPECT_EQ(c.CoDeactivateVcHandler, nullptr);
  EXPECT_EQ(c.CoSendPacketsHandler, nullptr);
  EXPECT_EQ(c.CoRequestHandler, nullptr);
}

TEST(DriverEntryTest, FailedRegistrationYieldsUnsuccessfulAndEndsTheWrapper) {
  for (NDIS_STATUS status : {NDIS_STATUS_FAILURE, NDIS_STATUS_RESOURCES, NDIS_STATUS_BAD_VERSION}) {
    DriverRig rig(NoDriver());
    rig.ndis->fail_next_registration(status);
    EXPECT_EQ(rig.ndis->load_driver(DriverEntry), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.ndis->wrapper_initializations(), 1);
    EXPECT_EQ(rig.ndis->wrapper_terminations(), 1);
  }
}

TEST(DriverEntryTest, ReturnPacketChangesNothing) {
  DriverRig rig;
  usbeth::Adapter* a = rig.Start();
  std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(a),
                              reinterpret_cast<uint8_t*>(a) + sizeof(*a));
  usbeth::MiniportReturnPacket(a, nullptr);
  EXPECT_EQ(std::memcmp(before.data(), a, sizeof(*a)), 0);
}

// ---- Configuration -------------------------------------------------------------

class ConfigurationTest : public ::testing::Test {
 protected:
  usbeth::Adapter* Start(host::ndis::AdapterRegistry registry) {
    return rig_.Start(std::move(registry));
  }
  std::vector<uint8_t> StationAddressWritten() {
    std::vector<uint8_t> out;
    for (int r = 0x10; r <= 0x15; ++r) {
      std::vector<uint8_t> v = rig_.board->values_written_to(static_cast<uint8_t>(r));
      out.push_back(v.empty() ? 0xEE : v.back());
    }
    return out;
  }
  DriverRig rig_;
};

TEST_F(ConfigurationTest, NoKeywordsGiveTheDefaults) {
  usbeth::Adapter* a = Start({});
  EXPECT_EQ(a->TxFreeQueue.Count, 20);
  EXPECT_EQ(a->RxDescriptorCount, 20u);
  EXPECT_EQ(a->MediaType, 0u);
  EXPECT_EQ(a->HomeLanMode, 0u);
  EXPECT_EQ(a->AlivePara, 0u);
  EXPECT_EQ(std::memcmp(a->CurrentAddress, a->PermanentAddress, 6), 0);
  EXPECT_EQ(StationAddressWritten(), (std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0x01}));
  EXPECT_TRUE(rig_.board->values_written_to(0x1C).empty());
}

TEST_F(ConfigurationTest, ReceiveDescriptorsAreRaisedToThreeAndTransmitDescriptorsToTwo) {
  host::ndis::AdapterRegistry reg;
  reg.set_integer("RxPacketDesc", 2).set_integer("TxPacketDesc", 1);
  usbeth::Adapter* a = Start(reg);
  EXPECT_EQ(a->RxDescriptorCount, 3u);
  EXPECT_EQ(a->TxDescriptorCount, 2u);
  EXPECT_EQ(a->TxFreeQueue.Count, 2);
}

TEST(ConfigurationCountTest, OneReceiveDescriptorIsRaisedToThreeAndAllAreBuilt) {
  DriverRig rig;
  host::ndis::AdapterRegistry reg;
  reg.set_integer("RxPacketDesc", 1);
  usbeth::Adapter* a = rig.Start(reg);
  EXPECT_EQ(a->RxDescriptorCount, 3u);
  // Three descriptors, one of them with its read outstanding.
  EXPECT_EQ(a->RxFreeQueue.Count + 1, 3);
}

TEST_F(ConfigurationTest, StringValuesAreHexadecimal) {
  host::ndis::AdapterRegistry reg;
  reg.set_string("TxPacketDesc", "A").set_string("HomeLan", "11").set_string("MediaType", "4");
  usbeth::Adapter* a = Start(reg);
  EXPECT_EQ(a->TxFreeQueue.Count, 10);
  EXPECT_EQ(a->HomeLanMode, 17u);
  EXPECT_EQ(a->MediaType, 4u);
  // Forced 100 Mb/s full duplex on the PHY: no auto-negotiation.
  uint16_t control = rig_.board->peek_phy(rig_.board->first_phy_address(), 0);
  EXPECT_EQ(control & 0x3100, 0x2100);
  EXPECT_EQ(control & 0x1000, 0);
}

TEST_F(ConfigurationTest, SixByteNetworkAddressReplacesTheEepromAddress) {
  host::ndis::AdapterRegistry reg;
  reg.set_network_address({0x02, 0x11, 0x22, 0x33, 0x44, 0x55});
  usbeth::Adapter* a = Start(reg);
  EXPECT_EQ(StationAddressWritten(), (std::vector<uint8_t>{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_EQ(a->PermanentAddress[5], 0x01);
}

TEST(ConfigurationLengthTest, NetworkAddressOfOtherLengthsIsIgnored) {
  for (size_t length : {5u, 12u}) {
    SCOPED_TRACE(length);
    DriverRig rig;
    host::ndis::AdapterRegistry reg;
    reg.set_network_address(std::vector<uint8_t>(length, 0x42));
    usbeth::Adapter* a = rig.Start(reg);
    EXPECT_EQ(std::memcmp(a->CurrentAddress, a->PermanentAddress, 6), 0);
    EXPECT_EQ(rig.board->values_written_to(0x15).back(), 0x01);
  }
}

TEST(ConfigurationAddressTest, NetworkAddressThatCannotNameAStationIsNotUsed) {
  const std::vector<std::vector<uint8_t>> bad = {{0, 0, 0, 0, 0, 0},
                                                 {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                                 {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}};
  for (const auto& address : bad) {
    SCOPED_TRACE(::testing::Message() << std::hex << int(address[0]));
    host::clear_debug_output();
    DriverRig rig;
    host::ndis::AdapterRegistry reg;
    reg.set_network_address(address);
    usbeth::Adapter* a = rig.Start(reg);
    ASSERT_EQ(rig.miniport->initialize_status(), NDIS_STATUS_SUCCESS);
    // The adapter keeps its EEPROM address, 02:00:00:00:00:01.
    EXPECT_EQ(std::vector<uint8_t>(a->CurrentAddress, a->CurrentAddress + 6),
              (std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0x01}));
    EXPECT_EQ(rig.board->peek_registers(0x10, 6), (std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0x01}));
    bool said = false;
    for (const std::string& line : host::debug_output())
      said |= line.find("NetworkAddress") != std::string::npos;
    EXPECT_TRUE(said);
  }
}

TEST(ConfigurationAddressTest, NetworkAddressStillWinsOverAMadeUpAddress) {
  hw::BoardConfig board = hw::boards::SingleEthernet();
  board.eeprom = hw::EepromWithAddress({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  RigOptions o;
  o.board = board;
  DriverRig rig(o);
  host::ndis::AdapterRegistry reg;
  reg.set_network_address({0x02, 0x11, 0x22, 0x33, 0x44, 0x55});
  usbeth::Adapter* a = rig.Start(reg);
  ASSERT_EQ(rig.miniport->initialize_status(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.board->peek_registers(0x10, 6),
            (std::vector<uint8_t>{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
  // The permanent address is the made-up one, unicast and local.
  EXPECT_EQ(a->PermanentAddress[0] & 0x03, 0x02);
}

// ---- Initialization ------------------------------------------------------------

TEST(InitializeTest, SelectsThe8023MediumWhereverItIs) {
  DriverRig rig;
  rig.AddAdapter({}, {NdisMedium802_5, NdisMediumFddi, NdisMedium802_3});
  EXPECT_EQ(rig.miniport->initialize(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.miniport->selected_medium_index(), 2u);
}

TEST(InitializeTest, WithoutThe8023MediumNothingIsAllocated) {
  for (auto media : {std::vector<NDIS_MEDIUM>{NdisMedium802_5}, std::vector<NDIS_MEDIUM>{}}) {
    DriverRig rig;
    rig.AddAdapter({}, media);
    EXPECT_EQ(rig.miniport->initialize(), NDIS_STATUS_UNSUPPORTED_MEDIA);
    EXPECT_TRUE(rig.spy->urbs.empty());
    EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
  }
}

TEST(InitializeTest, RunningAdapterStateAndTimers) {
  DriverRig rig;
  usbeth::Adapter* a = rig.Start();
  EXPECT_EQ(a->AdapterState, usbeth::kStateRunning);
  EXPECT_EQ(a->LinkState, usbeth::kLinkDown);
  EXPECT_EQ(a->HandledLinkState, usbeth::kLinkUp);
  EXPECT_EQ(a->LinkChangePending, 1);
  EXPECT_EQ(rig.miniport->attribute_flags(), 0x33u);
  EXPECT_EQ(rig.miniport->check_for_hang_seconds(), 4u);
  EXPECT_TRUE(rig.miniport->shutdown_handler_registered());
  EXPECT_EQ(a->KeepAliveTimerStarted, a->KeepAliveEnabled);
  // One read outstanding on the bulk-in pipe.
  size_t reads = 0;
  for (const SeenUrb& u : rig.spy->with_function(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
    if (u.urb().UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ++reads;
  }
  EXPECT_EQ(reads, 1u);
  // The first poll, 3 s on, indicates the link it finds.
  rig.RunFor(5 * host::kSecond);
  ASSERT_FALSE(rig.recorder.statuses.empty());
  EXPECT_EQ(rig.recorder.statuses.back(), kMediaConnect);
}

// The last steps of initialization arm the link poll at 3000 ms and, for a
// PHY that needs keep-alive frames, the keep-alive timer at 1000 ms; nothing
// blocks after them, so both count from initialization's return.
TEST(InitializeTest, TimersArmedAsInitializationEnds) {
  for (bool keep_alive : {false, true}) {
    SCOPED_TRACE(keep_alive);
    DriverRig rig(keep_alive ? KeepAliveBoard() : RigOptions{});
    usbeth::Adapter* a = rig.Start();
    ASSERT_EQ(a->KeepAliveEnabled, keep_alive ? 1 : 0);
    EXPECT_TRUE(Pending(a->LinkPollTimer));
    if (keep_alive) {
      EXPECT_TRUE(Pending(a->KeepAliveTimer));
    } else {
      EXPECT_EQ(TimerOf(a->KeepAliveTimer), nullptr);  // never initialized
    }
    rig.RunFor(999 * host::kMillisecond);
    if (keep_alive) {
      EXPECT_EQ(Expiries(a->KeepAliveTimer), 0u);
    }
    rig.RunFor(host::kMillisecond);
    if (keep_alive) {
      EXPECT_EQ(Expiries(a->KeepAliveTimer), 1u);
    }
    rig.RunFor(1999 * host::kMillisecond);
    EXPECT_EQ(Expiries(a->LinkPollTimer), 0u);
    rig.RunFor(host::kMillisecond);
    EXPECT_EQ(Expiries(a->LinkPollTimer), 1u);
  }
}

TEST(InitializeTest, AliveParameterWrites) {
  struct Case {
    uint32_t value;
    std::vector<uint8_t> reg1c;
  };
  for (const Case& c :
       {Case{3, {0x90}}, Case{7, {0x81}}, Case{1, {0x81}}, Case{4, {0x9F}}, Case{0, {}}}) {
    SCOPED_TRACE(c.value);
    DriverRig rig;
    host::ndis::AdapterRegistry reg;
    reg.set_integer("AlivePara", c.value);
    rig.Start(reg);
    EXPECT_EQ(rig.board->values_written_to(0x1C), c.reg1c);
    EXPECT_EQ(rig.board->values_written_to(0x1D), std::vector<uint8_t>(c.reg1c.size(), 0x00));
  }
}

// Which vendor request of a bring-up writes `count` bytes from register
// `first` (0-based among the vendor requests); -1 when none does.
int VendorWriteIndex(const DriverRig& rig, USHORT first, ULONG count) {
  std::vector<SeenUrb> vendor = rig.spy->with_function(URB_FUNCTION_VENDOR_DEVICE);
  for (size_t i = 0; i < vendor.size(); ++i) {
    const auto& r = vendor[i].urb().UrbControlVendorClassRequest;
    if (!(r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) && r.Index == first &&
        r.TransferBufferLength == count) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// A write of the station address (registers 0x10..0x15) or of the multicast
// hash (0x08..0x0F) that the device never answers fails when its wait runs
// out; initialization ends with NDIS_STATUS_RESOURCES, and nothing of the
// adapter is left.
TEST(InitializeTest, FailedStationAddressOrHashWriteReleasesEverything) {
  int address_write, hash_write;
  {
    DriverRig rig;
    rig.Start();
    address_write = VendorWriteIndex(rig, 0x10, 6);
    hash_write = VendorWriteIndex(rig, 0x08, 8);
  }
  ASSERT_GE(address_write, 0);
  ASSERT_GT(hash_write, address_write);
  for (int failing : {address_write, hash_write}) {
    SCOPED_TRACE(failing);
    DriverRig rig;
    rig.AddAdapter();
    int vendor = -1;
    host::faults().set_urb_rule([&vendor, failing](uint16_t f) {
      return f == URB_FUNCTION_VENDOR_DEVICE && ++vendor == failing ? host::UrbFault::Stall
                                                                    : host::UrbFault::None;
    });
    EXPECT_EQ(rig.miniport->initialize(), NDIS_STATUS_RESOURCES);
    host::faults().reset();
    // Bring-up stopped at the refused write.
    EXPECT_EQ(static_cast<int>(rig.spy->with_function(URB_FUNCTION_VENDOR_DEVICE).size()),
              failing + 1);
    EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
    EXPECT_EQ(rig.ndis->live_pools(), 0u);
    EXPECT_EQ(host::live_pool_blocks(), 0u);
    EXPECT_EQ(host::counters().irps_live, 0);
    EXPECT_EQ(rig.ndis->armed_timers(), 0u);
    EXPECT_FALSE(rig.miniport->shutdown_handler_registered());
  }
}

TEST(InitializeTest, FailedStepsReleaseEverything) {
  // The n-th vendor request refused by the device ends bring-up when it is
  // the node-address read (1st) or write or the hash write; the open of the
  // configuration can fail too.
  {
    DriverRig rig;
    rig.AddAdapter();
    rig.miniport->fail_next_open_configuration(NDIS_STATUS_FAILURE);
    EXPECT_EQ(rig.miniport->initialize(), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
    EXPECT_FALSE(rig.miniport->shutdown_handler_registered());
    EXPECT_EQ(rig.ndis->armed_timers(), 0u);
  }
  {
    DriverRig rig;
    rig.AddAdapter();
    int vendor = 0;
    host::faults().set_urb_rule([&vendor](uint16_t f) {
      return f == URB_FUNCTION_VENDOR_DEVICE && ++vendor == 1 ? host::UrbFault::Stall
                                                              : host::UrbFault::None;
    });
    EXPECT_EQ(rig.miniport->initialize(), NDIS_STATUS_RESOURCES);
    host::faults().reset();
    EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
    EXPECT_EQ(host::live_pool_blocks(), 0u);
  }
  // Every one of the first allocations (the Adapter, the tracker's first
  // block, ...), then every third.
  for (int n = 1; n <= 40; n += n < 8 ? 1 : 3) {
    SCOPED_TRACE(n);
    DriverRig rig;
    rig.AddAdapter();
    host::faults().fail_nth(host::FaultSite::PoolAllocation, static_cast<uint64_t>(n));
    NDIS_STATUS status = rig.miniport->initialize();
    host::faults().reset();
    if (status != NDIS_STATUS_SUCCESS) {
      EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
      EXPECT_EQ(host::counters().irps_live, 0);
    }
  }
}

// ---- Halt, shutdown, reset -------------------------------------------------------

TEST(HaltTest, HaltStopsTheDeviceAndReleasesEverything) {
  DriverRig rig;
  usbeth::Adapter* a = rig.Start();
  rig.RunFor(4 * host::kSecond);
  const host::Nanoseconds start = rig.now();
  rig.miniport->halt();
  EXPECT_GE(rig.now() - start, host::kSecond);
  EXPECT_EQ(SetFeatureRequests(rig), 1u);
  EXPECT_TRUE(rig.board->remote_wakeup_enabled());
  EXPECT_FALSE(rig.miniport->shutdown_handler_registered());
  EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
  EXPECT_EQ(rig.ndis->armed_timers(), 0u);
  EXPECT_EQ(host::counters().irps_live, 0);
  (void)a;
}

// Shutdown cancels the receive-indication, step and link-poll timers, and the
// keep-alive timer only when initialization started it: the driver never
// touches a timer it did not initialize (the host bug-checks that).
TEST(HaltTest, ShutdownCancelsThreeTimersOrFourWithKeepAlives) {
  for (bool keep_alive : {false, true}) {
    SCOPED_TRACE(keep_alive);
    DriverRig rig(keep_alive ? KeepAliveBoard() : RigOptions{});
    usbeth::Adapter* a = rig.Start();
    host::run_at_irql(DISPATCH_LEVEL, "test", [&] {
      NdisMSetTimer(&a->RxIndicateTimer, 60000);
      NdisMSetTimer(&a->StepTimer, 60000);
    });
    ASSERT_TRUE(Pending(a->RxIndicateTimer) && Pending(a->StepTimer) && Pending(a->LinkPollTimer));
    ASSERT_EQ(Pending(a->KeepAliveTimer), keep_alive);
    ASSERT_TRUE(rig.miniport->shutdown());
    EXPECT_FALSE(Pending(a->RxIndicateTimer));
    EXPECT_FALSE(Pending(a->StepTimer));
    EXPECT_FALSE(Pending(a->LinkPollTimer));
    if (keep_alive) {
      EXPECT_FALSE(Pending(a->KeepAliveTimer));
    } else {
      EXPECT_EQ(TimerOf(a->KeepAliveTimer), nullptr);
    }
    EXPECT_EQ(rig.ndis->armed_timers(), 0u);
  }
}

TEST(HaltTest, HaltAfterShutdownDoesNotStopTwice) {
  DriverRig rig;
  rig.Start();
  ASSERT_TRUE(rig.miniport->shutdown());
  EXPECT_EQ(SetFeatureRequests(rig), 1u);
  const size_t aborts = rig.spy->with_function(URB_FUNCTION_ABORT_PIPE).size();
  const host::Nanoseconds start = rig.now();
  rig.miniport->halt();
  EXPECT_LT(rig.now() - start, 100 * host::kMillisecond);
  EXPECT_EQ(SetFeatureRequests(rig), 1u);
  EXPECT_EQ(rig.spy->with_function(URB_FUNCTION_ABORT_PIPE).size(), aborts);
  EXPECT_FALSE(rig.miniport->shutdown_handler_registered());
  EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
}

TEST(HaltTest, HaltWithARegisterRequestTheDeviceNeverAnswers) {
  DriverRig rig;
  rig.Start();
  // From now on every vendor request stalls: the next link poll's chain hangs.
  host::faults().set_urb_rule([](uint16_t f) {
    return f == URB_FUNCTION_VENDOR_DEVICE ? host::UrbFault::Stall : host::UrbFault::None;
  });
  rig.RunFor(4 * host::kSecond);
  rig.miniport->halt();
  host::faults().reset();
  EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
  EXPECT_EQ(rig.ndis->armed_timers(), 0u);
  EXPECT_EQ(host::counters().irps_live, 0);
  EXPECT_EQ(rig.bus->pending_irps(), 0u);
}

TEST(ResetTest, ResetAtDispatchLevelCompletesLaterWithEverythingRunning) {
  DriverRig rig;
  usbeth::Adapter* a = rig.Start();
  rig.RunFor(4 * host::kSecond);
  a->Statistics.RxGoodFrames = 7;
  a->Statistics.TxGoodFrames = 9;
  const size_t resets_before = rig.board->values_written_to(0x01).size();

  EXPECT_EQ(rig.miniport->reset(), NDIS_STATUS_PENDING);
  rig.scheduler().run_until_idle(10 * host::kSecond);
  rig.RunFor(100 * host::kMillisecond);
  ASSERT_EQ(rig.recorder.reset_completions.size(), 1u);
  EXPECT_EQ(rig.recorder.reset_completions[0], NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.recorder.reset_addressing, FALSE);
  EXPECT_FALSE(rig.miniport->reset_pending());
  EXPECT_EQ(a->AdapterState, usbeth::kStateRunning);
  EXPECT_EQ(a->Statistics.RxGoodFrames, 0u);
  EXPECT_EQ(a->Statistics.TxGoodFrames, 0u);
  EXPECT_GT(rig.board->values_written_to(0x01).size(), resets_before);

  // Reception still works once the link is back: a frame from the partner to
  // the station address reaches NDIS.
  rig.RunFor(3 * host::kSecond);
  std::vector<uint8_t> frame(60, 0);
  std::memcpy(frame.data(), "\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02\x08\x00", 14);
  const size_t frames = rig.recorder.frames.size();
  rig.board->send_from_partner(rig.board->first_phy_address(), frame);
  rig.RunFor(50 * host::kMillisecond);
  EXPECT_EQ(rig.recorder.frames.size(), frames + 1);
  // And the link poll is armed again: the link monitor keeps reading the PHY.
  const size_t reads = rig.board->register_reads().size();
  rig.RunFor(4 * host::kSecond);
  EXPECT_GT(rig.board->register_reads().size(), reads);
}

TEST(ResetTest, ResetAtPassiveLevelCompletesAtOnce) {
  DriverRig rig;
  usbeth::Adapter* a = rig.Start();
  EXPECT_EQ(rig.miniport->reset(host::ndis::CallOptions{PASSIVE_LEVEL}), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(a->AdapterState, usbeth::kStateRunning);
  EXPECT_FALSE(rig.miniport->reset_pending());
  // No second read was started: exactly one is outstanding.
  size_t reads = 0;
  for (const SeenUrb& u : rig.spy->with_function(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
    if (u.urb().UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ++reads;
  }
  EXPECT_EQ(reads, 1u);
}

TEST(ResetTest, ResetWaitsForARunningLinkChain) {
  DriverRig rig;
  usbeth::Adapter* a = rig.Start();
  // Run to just after the first poll started its chain.
  rig.RunFor(3000 * host::kMillisecond + 500 * host::kMicrosecond);
  const bool chain_running = a->LinkPollBusy != 0;
  EXPECT_EQ(rig.miniport->reset(host::ndis::CallOptions{PASSIVE_LEVEL}), NDIS_STATUS_SUCCESS);
  if (chain_running) {
    EXPECT_EQ(a->LinkPollBusy, 0);
  }
  EXPECT_EQ(a->AdapterState, usbeth::kStateRunning);
  rig.miniport->halt();
  EXPECT_EQ(rig.ndis->live_memory_blocks(), 0u);
}

}  // namespace
}  // namespace usbeth_test
