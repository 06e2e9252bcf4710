// NDIS driving a miniport: registration, initialize, sends, requests,
// indications, halt, and the verifier's checks on each.
#include <cstring>
#include <sstream>

#include "fake_miniport.h"

namespace host_ndis_test {
namespace {

using host::kMillisecond;
using host::ndis::Miniport;

// ---- Registration ------------------------------------------------------------

class RegistrationTest : public NdisTest {
 protected:
  void TearDown() override {
    if (!abandoned_ && ndis_->driver_loaded()) ndis_->unload_driver();
    NdisTest::TearDown();
  }
};

TEST_F(RegistrationTest, DriverEntryRegistersTheNdis50Table) {
  ASSERT_EQ(ndis_->load_driver(fake::FakeDriverEntry), STATUS_SUCCESS);
  EXPECT_TRUE(ndis_->miniport_registered());
  EXPECT_EQ(ndis_->characteristics_length(), 96u);
  const auto& chars = ndis_->characteristics();
  EXPECT_EQ(chars.Ndis40Chars.Ndis30Chars.MajorNdisVersion, 5);
  EXPECT_NE(chars.Ndis40Chars.Ndis30Chars.SendHandler, nullptr);
  EXPECT_NE(chars.Ndis40Chars.ReturnPacketHandler, nullptr);
  EXPECT_EQ(chars.CoCreateVcHandler, nullptr);
  EXPECT_EQ(ndis_->wrapper_initializations(), 1);
  EXPECT_EQ(ndis_->wrapper_terminations(), 0);
}

TEST_F(RegistrationTest, TheLengthMustBeThatOfTheX86Table) {
  fake::behaviour.chars_length = 88;
  EXPECT_EQ(ndis_->load_driver(fake::FakeDriverEntry), NDIS_STATUS_BAD_CHARACTERISTICS);
  EXPECT_FALSE(ndis_->miniport_registered());
  EXPECT_EQ(ndis_->wrapper_terminations(), 1);
}

TEST_F(RegistrationTest, OnlyVersion5IsAccepted) {
  fake::behaviour.major_version = 4;
  EXPECT_EQ(ndis_->load_driver(fake::FakeDriverEntry), NDIS_STATUS_BAD_VERSION);
}

TEST_F(RegistrationTest, RegistrationCanBeMadeToFail) {
  ndis_->fail_next_registration(NDIS_STATUS_RESOURCES);
  EXPECT_EQ(ndis_->load_driver(fake::FakeDriverEntry), NDIS_STATUS_RESOURCES);
  EXPECT_FALSE(ndis_->miniport_registered());
}

// ---- Initialize and halt --------------------------------------------------------

using LifecycleTest = FakeMiniportTest;

TEST_F(LifecycleTest, InitializeSelectsTheMediumAndRecordsTheAttributes) {
  auto& other = ndis_->add_adapter([&] {
    host::ndis::AdapterSetup s = setup_;
    s.media = {NdisMedium802_5, NdisMediumFddi, NdisMedium802_3};
    s.name = "fake1";
    return s;
  }());
  ASSERT_EQ(other.initialize(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(other.selected_medium_index(), 2u);
  EXPECT_EQ(other.attribute_flags(), ULONG(NDIS_ATTRIBUTE_DESERIALIZE));
  EXPECT_EQ(other.context(), fake::observed.adapter);
  EXPECT_TRUE(other.shutdown_handler_registered());
  other.halt();
  EXPECT_EQ(other.state(), Miniport::State::Halted);
  EXPECT_FALSE(other.shutdown_handler_registered());
}

TEST_F(LifecycleTest, DevicePropertiesDescribeTheStackAboveTheBus) {
  PDEVICE_OBJECT pdo = nullptr, fdo = nullptr, next = nullptr;
  fake::behaviour.on_initialize = [&](NDIS_HANDLE) {
    NdisMGetDeviceProperty(fake::observed.adapter->handle, &pdo, &fdo, &next, NULL, NULL);
  };
  start();
  EXPECT_EQ(pdo, device_->device());
  EXPECT_EQ(next, device_->device());
  EXPECT_EQ(fdo, adapter().functional_device());
  EXPECT_EQ(fdo->StackSize, device_->device()->StackSize + 1);
}

TEST_F(LifecycleTest, HaltThenInitializeAgainOnTheSameDevice) {
  start();
  NDIS_HANDLE first = adapter().handle();
  adapter().halt();
  start();
  EXPECT_NE(adapter().handle(), first);
  EXPECT_EQ(fake::observed.initializes, 2);
  EXPECT_EQ(fake::observed.halts, 1);
  // The old handle is dead.
  EXPECT_NDIS_BUG_CHECK(NdisMIndicateStatus(first, NDIS_STATUS_MEDIA_CONNECT, NULL, 0),
                        "INDICATION_AFTER_HALT");
}

TEST_F(LifecycleTest, ShutdownCallsTheRegisteredHandler) {
  start();
  EXPECT_TRUE(adapter().shutdown());
  EXPECT_EQ(fake::observed.shutdowns, 1);
}

TEST_F(LifecycleTest, FailedInitializeMustLeaveNothingBehind) {
  fake::behaviour.init_result = NDIS_STATUS_RESOURCES;
  EXPECT_EQ(adapter().initialize(), NDIS_STATUS_RESOURCES);
  EXPECT_EQ(adapter().state(), Miniport::State::InitializeFailed);
  EXPECT_EQ(ndis_->live_memory_blocks(), 0u);
}

TEST_F(LifecycleTest, InitializeWithoutAttributesBugChecks) {
  fake::behaviour.skip_attributes = true;
  EXPECT_NDIS_BUG_CHECK(adapter().initialize(), "MISSING_ATTRIBUTES");
}

TEST_F(LifecycleTest, MemoryLeftAfterHaltBugChecksByTag) {
  start();
  fake::behaviour.leak_memory_at_halt = true;
  try {
    adapter().halt();
    ADD_FAILURE() << "expected LEAKED_NDIS_RESOURCES";
  } catch (const host::BugCheck& e) {
    EXPECT_EQ(e.code, "LEAKED_NDIS_RESOURCES");
    EXPECT_NE(e.message.find("'FAAk'"), std::string::npos) << e.message;
  }
  abandon();
}

TEST_F(LifecycleTest, TimerArmedAfterHaltBugChecks) {
  start();
  NdisMSetTimer(&fake().timer, 1000);
  fake::behaviour.leave_timer_armed_at_halt = true;
  EXPECT_NDIS_BUG_CHECK(adapter().halt(), "TIMER_ARMED_AFTER_HALT");
}

TEST_F(LifecycleTest, OfSeveralTimersArmedAtHaltTheLowestAddressIsReported) {
  start();
  // Initialized and armed in the reverse of their address order, so neither
  // the order of initialization nor chance gives the expected one.
  static NDIS_MINIPORT_TIMER timers[3];
  for (int i = 2; i >= 1; --i) {
    NdisMInitializeTimer(&timers[i], fake().handle, fake::TimerRoutine, nullptr);
    NdisMSetTimer(&timers[i], 1000);
  }
  try {
    adapter().halt();
    ADD_FAILURE() << "expected bug check TIMER_ARMED_AFTER_HALT, got none";
  } catch (const host::BugCheck& e) {
    EXPECT_EQ(e.code, "TIMER_ARMED_AFTER_HALT");
    std::ostringstream address;
    address << std::hex << uintptr_t(&timers[1]);
    EXPECT_NE(e.message.find(address.str()), std::string::npos) << e.message;
  }
  abandon();
}

TEST_F(LifecycleTest, ShutdownHandlerLeftRegisteredBugChecks) {
  start();
  fake::behaviour.keep_shutdown_handler = true;
  EXPECT_NDIS_BUG_CHECK(adapter().halt(), "SHUTDOWN_HANDLER_NOT_DEREGISTERED");
}

TEST_F(LifecycleTest, IndicationsAfterHaltBugCheck) {
  start();
  NDIS_HANDLE handle = adapter().handle();
  adapter().halt();
  EXPECT_NDIS_BUG_CHECK(at_dispatch([&] { NdisMIndicateStatusComplete(handle); }),
                        "INDICATION_AFTER_HALT");
}

// ---- Sends -------------------------------------------------------------------

class SendTest : public FakeMiniportTest {
 protected:
  void SetUp() override {
    FakeMiniportTest::SetUp();
    start();
  }
  std::vector<uint8_t> frame(size_t n) {
    std::vector<uint8_t> f(n);
    for (size_t i = 0; i < n; ++i)
      f[i] = static_cast<uint8_t>(i);
    return f;
  }
};

TEST_F(SendTest, CompletionInsideTheHandlerReachesTheProtocol) {
  uint64_t id = protocol().send(frame(60), {14, 10});
  EXPECT_EQ(protocol().send_status(id), NDIS_STATUS_PENDING);
  auto done = protocol().send_completions();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].frame, id);
  EXPECT_EQ(done[0].status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(protocol().sends_in_flight(), 0u);
}

TEST_F(SendTest, SendsMayComeAtDispatchLevel) {
  protocol().send(frame(60), {}, host::ndis::CallOptions{DISPATCH_LEVEL});
  EXPECT_EQ(fake::observed.send_irql, DISPATCH_LEVEL);
}

TEST_F(SendTest, AStatusOtherThanPendingHandsThePacketBack) {
  fake::behaviour.send_mode = fake::SendMode::ReturnStatus;
  fake::behaviour.send_status = NDIS_STATUS_FAILURE;
  uint64_t id = protocol().send(frame(60));
  EXPECT_EQ(protocol().send_status(id), NDIS_STATUS_FAILURE);
  auto done = protocol().send_completions();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].frame, id);
  EXPECT_EQ(done[0].status, NDIS_STATUS_FAILURE);
}

// The protocol keeps the send call's status for a fixed number of recent
// sends, not for every send it ever made.
TEST_F(SendTest, OnlyTheRecentSendsKeepTheirStatus) {
  using host::ndis::Protocol;
  const uint64_t first = protocol().send(frame(60));
  fake::behaviour.send_mode = fake::SendMode::ReturnStatus;
  fake::behaviour.send_status = NDIS_STATUS_FAILURE;
  const uint64_t failed = protocol().send(frame(60));
  fake::behaviour.send_mode = fake::SendMode::CompleteInline;
  uint64_t last = failed;
  for (uint64_t i = 0; i + 1 < Protocol::kSendStatusesKept; ++i)
    last = protocol().send(frame(60));
  ASSERT_EQ(last, first + Protocol::kSendStatusesKept);
  EXPECT_EQ(protocol().send_status(first), NDIS_STATUS_FAILURE);   // forgotten
  EXPECT_EQ(protocol().send_status(failed), NDIS_STATUS_FAILURE);  // as returned
  EXPECT_EQ(protocol().send_status(failed + 1), NDIS_STATUS_PENDING);
  EXPECT_EQ(protocol().send_status(last), NDIS_STATUS_PENDING);
  EXPECT_EQ(protocol().send_status(last + 1), NDIS_STATUS_FAILURE);  // not sent yet
  EXPECT_EQ(protocol().send_status(0), NDIS_STATUS_FAILURE);
}

TEST_F(SendTest, ClearingTheRecordsDropsTheSendStatusesToo) {
  // A protocol that sends for hours and clears its records to stay bounded
  // must not keep one status per send.
  uint64_t first = protocol().send(frame(60));
  EXPECT_EQ(protocol().send_status(first), NDIS_STATUS_PENDING);
  protocol().clear_records();
  EXPECT_EQ(protocol().send_status(first), NDIS_STATUS_FAILURE);
  // The status is also handed back by the send itself, whatever happens to
  // the records meanwhile.
  fake::behaviour.send_mode = fake::SendMode::ReturnStatus;
  fake::behaviour.send_status = NDIS_STATUS_FAILURE;
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  uint64_t second = protocol().send(frame(60), {}, {}, &status);
  EXPECT_NE(0u, second);
  EXPECT_EQ(NDIS_STATUS_FAILURE, status);
}

// ---- NDIS's send queue: a send refused for want of resources ---------------------

enum class Signal { ResourcesAvailable, SendComplete, TimerRoutineReturns };

class SendQueueTest : public SendTest, public ::testing::WithParamInterface<Signal> {
 protected:
  // The fake refuses while `refusing`, pends while `pending`, else completes
  // inside the handler.
  void SetUp() override {
    SendTest::SetUp();
    fake::behaviour.on_send = [this](fake::Adapter* a, PNDIS_PACKET packet) -> NDIS_STATUS {
      if (refusing) return NDIS_STATUS_RESOURCES;
      if (pending) {
        a->pending_sends[a->pending_count++ % 8] = packet;
        return NDIS_STATUS_PENDING;
      }
      NdisMSendComplete(a->handle, packet, NDIS_STATUS_SUCCESS);
      return NDIS_STATUS_PENDING;
    };
  }
  std::vector<uint64_t> completed_frames() {
    std::vector<uint64_t> frames;
    for (auto& c : protocol().send_completions())
      frames.push_back(c.frame);
    return frames;
  }
  std::vector<PNDIS_PACKET> packets_given() {
    std::vector<PNDIS_PACKET> packets;
    for (auto& s : fake::observed.sends)
      packets.push_back(s.packet);
    return packets;
  }
  bool refusing = false;
  bool pending = false;
};

TEST_P(SendQueueTest, ARefusedSendWaitsForTheMiniportsSignalAndTheQueueKeepsItsOrder) {
  pending = true;
  uint64_t first_id = protocol().send(frame(60));  // kept: its completion is one signal
  PNDIS_PACKET first = fake().pending_sends[0];
  pending = false;
  refusing = true;
  uint64_t refused = protocol().send(frame(61));
  uint64_t behind1 = protocol().send(frame(62));
  uint64_t behind2 = protocol().send(frame(63));
  // The protocol sees the sends pend, never the refusal.
  EXPECT_EQ(protocol().send_status(refused), NDIS_STATUS_PENDING);
  EXPECT_EQ(protocol().send_status(behind1), NDIS_STATUS_PENDING);
  EXPECT_EQ(protocol().send_status(behind2), NDIS_STATUS_PENDING);
  EXPECT_EQ(protocol().send_completion_count(), 0u);
  EXPECT_EQ(adapter().sends_queued(), 3u);
  EXPECT_EQ(adapter().sends_refused(), 1u);
  // Nothing reaches the miniport until it signals, however long that takes.
  scheduler().run_for(200 * kMillisecond);
  ASSERT_EQ(fake::observed.sends.size(), 2u);
  const PNDIS_PACKET refused_packet = fake::observed.sends[1].packet;
  refusing = false;
  const uint64_t signal_at = scheduler().now() + 10 * kMillisecond;
  NDIS_HANDLE handle = fake().handle;
  switch (GetParam()) {
    case Signal::ResourcesAvailable:
      scheduler().schedule_after(
          10 * kMillisecond, host::RunLevel::Dispatch,
          [handle] { NdisMSendResourcesAvailable(handle); }, "resources available");
      break;
    case Signal::SendComplete:
      scheduler().schedule_after(
          10 * kMillisecond, host::RunLevel::Dispatch,
          [handle, first] { NdisMSendComplete(handle, first, NDIS_STATUS_SUCCESS); },
          "send completion");
      break;
    case Signal::TimerRoutineReturns:
      at_dispatch([&] { NdisMSetTimer(&fake().timer, 10); });
      break;
  }
  scheduler().run_for(20 * kMillisecond);
  ASSERT_EQ(fake::observed.sends.size(), 5u);
  EXPECT_EQ(fake::observed.sends[2].packet, refused_packet);  // the same packet again
  for (size_t i = 2; i < 5; ++i)
    EXPECT_EQ(fake::observed.sends[i].time, signal_at) << "send " << i;
  std::vector<uint64_t> expected{refused, behind1, behind2};
  if (GetParam() == Signal::SendComplete) expected.insert(expected.begin(), first_id);
  EXPECT_EQ(completed_frames(), expected);
  for (auto& c : protocol().send_completions())
    EXPECT_EQ(c.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter().sends_queued(), 0u);
  if (GetParam() != Signal::SendComplete) {
    at_dispatch([&] { NdisMSendComplete(handle, first, NDIS_STATUS_SUCCESS); });
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, SendQueueTest,
                         ::testing::Values(Signal::ResourcesAvailable, Signal::SendComplete,
                                           Signal::TimerRoutineReturns));

TEST_F(SendQueueTest, ARefusalAgainBlocksTheQueueAgain) {
  refusing = true;
  protocol().send(frame(60));
  protocol().send(frame(61));
  at_dispatch([&] { NdisMSendResourcesAvailable(fake().handle); });
  scheduler().run_for(kMillisecond);
  // Given again, refused again: the packet behind it stays with NDIS.
  ASSERT_EQ(fake::observed.sends.size(), 2u);
  EXPECT_EQ(fake::observed.sends[0].packet, fake::observed.sends[1].packet);
  EXPECT_EQ(adapter().sends_queued(), 2u);
  EXPECT_EQ(adapter().sends_refused(), 2u);
  refusing = false;
  at_dispatch([&] { NdisMSendResourcesAvailable(fake().handle); });
  scheduler().run_for(kMillisecond);
  EXPECT_EQ(fake::observed.sends.size(), 4u);
  EXPECT_EQ(protocol().send_completion_count(), 2u);
}

TEST_F(SendQueueTest, HaltCompletesTheQueuedSendsAsAbortedAndCountsThem) {
  refusing = true;
  uint64_t a = protocol().send(frame(60));
  uint64_t b = protocol().send(frame(61));
  uint64_t c = protocol().send(frame(62));
  adapter().halt();
  EXPECT_EQ(fake::observed.sends.size(), 1u);  // only the first ever reached the miniport
  EXPECT_EQ(completed_frames(), (std::vector<uint64_t>{a, b, c}));
  for (auto& done : protocol().send_completions())
    EXPECT_EQ(done.status, NDIS_STATUS_REQUEST_ABORTED);
  EXPECT_EQ(adapter().sends_aborted(), 3u);
  EXPECT_EQ(adapter().sends_queued(), 0u);
  EXPECT_EQ(protocol().sends_in_flight(), 0u);
}

TEST_F(SendQueueTest, AResetGivesTheQueuedSendsBackToTheProtocol) {
  refusing = true;
  protocol().send(frame(60));
  protocol().send(frame(61));
  EXPECT_EQ(protocol().reset(), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(protocol().send_completion_count(), 2u);
  for (auto& done : protocol().send_completions())
    EXPECT_EQ(done.status, NDIS_STATUS_RESET_IN_PROGRESS);
  EXPECT_EQ(adapter().sends_aborted(), 2u);
  // The queue starts afresh after the reset.
  refusing = false;
  protocol().send(frame(62));
  EXPECT_EQ(protocol().send_completion_count(), 3u);
  EXPECT_EQ(protocol().send_completions()[2].status, NDIS_STATUS_SUCCESS);
}

TEST_F(SendQueueTest, CompletingARefusedPacketBugChecks) {
  refusing = true;
  protocol().send(frame(60));
  PNDIS_PACKET refused = fake::observed.sends[0].packet;
  EXPECT_NDIS_BUG_CHECK(
      at_dispatch([&] { NdisMSendComplete(fake().handle, refused, NDIS_STATUS_SUCCESS); }),
      "SEND_COMPLETE_NOT_OWNED");
}

TEST_F(SendTest, PendedSendsCompleteLaterAndHaltWaitsForThem) {
  fake::behaviour.send_mode = fake::SendMode::Pend;
  protocol().send(frame(60));
  EXPECT_EQ(adapter().sends_outstanding(), 1u);
  PNDIS_PACKET packet = fake().pending_sends[0];
  NDIS_HANDLE handle = fake().handle;
  scheduler().schedule_after(
      5 * kMillisecond, host::RunLevel::Dispatch,
      [=] { NdisMSendComplete(handle, packet, NDIS_STATUS_SUCCESS); }, "late send completion");
  adapter().halt();
  ASSERT_EQ(protocol().send_completion_count(), 1u);
  EXPECT_EQ(protocol().send_completions()[0].time, 5 * kMillisecond);
}

TEST_F(SendTest, CompletingTwiceBugChecks) {
  fake::behaviour.send_mode = fake::SendMode::Pend;
  protocol().send(frame(60));
  PNDIS_PACKET packet = fake().pending_sends[0];
  at_dispatch([&] { NdisMSendComplete(fake().handle, packet, NDIS_STATUS_SUCCESS); });
  EXPECT_NDIS_BUG_CHECK(
      at_dispatch([&] { NdisMSendComplete(fake().handle, packet, NDIS_STATUS_SUCCESS); }),
      "SEND_COMPLETE_NOT_OWNED");
}

TEST_F(SendTest, CompletingAndReturningAStatusBugChecks) {
  fake::behaviour.send_mode = fake::SendMode::CompleteAndReturn;
  EXPECT_NDIS_BUG_CHECK(protocol().send(frame(60)), "SEND_COMPLETED_AND_RETURNED");
}

// The library's books of a packet the miniport holds: it may be neither
// freed nor sent again until it completes.
TEST_F(SendTest, FreeingAPacketTheMiniportHoldsBugChecks) {
  fake::behaviour.send_mode = fake::SendMode::Pend;
  protocol().send(frame(60));
  EXPECT_NDIS_BUG_CHECK(NdisFreePacket(fake().pending_sends[0]), "PACKET_FREED_WHILE_IN_USE");
}

TEST_F(SendTest, SendingAPacketTheMiniportHoldsAgainBugChecks) {
  fake::behaviour.send_mode = fake::SendMode::Pend;
  protocol().send(frame(60));
  EXPECT_NDIS_BUG_CHECK(adapter().send(fake().pending_sends[0], {}), "PACKET_IN_USE");
}

TEST_F(SendTest, ManySendsInFlightKeepTheirOwnFramesAndComplete) {
  // Several sends outstanding at once, split over buffers (one empty) and
  // completed out of order: each packet maps its own frame and every
  // completion finds its packet and gives back its buffers.
  fake::behaviour.send_mode = fake::SendMode::Pend;
  const size_t buffers_before = ndis_->live_buffers();
  constexpr size_t kSends = 8;  // what the fake keeps
  for (size_t i = 0; i < kSends; ++i) {
    std::vector<uint8_t> f = frame(60 + i);
    f[0] = static_cast<uint8_t>(0xA0 + i);
    protocol().send(std::move(f), {14, 6, 0});
  }
  ASSERT_EQ(fake().pending_count, static_cast<int>(kSends));
  EXPECT_EQ(adapter().sends_outstanding(), kSends);
  for (size_t i = 0; i < kSends; ++i) {
    PNDIS_PACKET p = fake().pending_sends[i];
    UINT length = 0;
    NdisQueryPacket(p, nullptr, nullptr, nullptr, &length);
    EXPECT_EQ(length, 60 + i);
    PNDIS_BUFFER first;
    NdisQueryPacket(p, nullptr, nullptr, &first, nullptr);
    PVOID va;
    UINT first_length;
    NdisQueryBuffer(first, &va, &first_length);
    EXPECT_EQ(first_length, 14u);
    EXPECT_EQ(static_cast<uint8_t*>(va)[0], 0xA0 + i);
  }
  for (size_t i : {3, 0, 7, 1, 6, 2, 5, 4}) {
    at_dispatch(
        [&] { NdisMSendComplete(fake().handle, fake().pending_sends[i], NDIS_STATUS_SUCCESS); });
  }
  EXPECT_EQ(protocol().send_completion_count(), kSends);
  EXPECT_EQ(adapter().sends_outstanding(), 0u);
  EXPECT_EQ(protocol().sends_in_flight(), 0u);
  EXPECT_EQ(ndis_->live_buffers(), buffers_before);
}

TEST_F(SendTest, CompletingAPacketNeverSentBugChecks) {
  EXPECT_NDIS_BUG_CHECK(
      at_dispatch([&] { NdisMSendComplete(fake().handle, fake().rx_packet, NDIS_STATUS_SUCCESS); }),
      "SEND_COMPLETE_NOT_OWNED");
}

// ---- Requests ------------------------------------------------------------------

using RequestTest = SendTest;

TEST_F(RequestTest, QueriesAnswerWithTheirBytes) {
  EXPECT_EQ(protocol().query_ulong(OID_GEN_MAXIMUM_FRAME_SIZE), 1500u);
  auto short_buffer = protocol().query(OID_GEN_MAXIMUM_FRAME_SIZE, 2);
  EXPECT_EQ(short_buffer->status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(short_buffer->bytes_needed, 4u);
  auto set = protocol().set_ulong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED);
  EXPECT_EQ(set->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(set->bytes_done, 4u);
}

TEST_F(RequestTest, PendedQueriesCompleteThroughTheMiniportAndQueueTheNext) {
  fake::behaviour.pend_queries = true;
  auto first = adapter().query(OID_GEN_MAXIMUM_FRAME_SIZE, 4);
  auto second = adapter().query(OID_GEN_MAXIMUM_FRAME_SIZE, 4);
  EXPECT_TRUE(first->pended);
  EXPECT_FALSE(first->completed);
  EXPECT_EQ(fake::observed.queries.size(), 1u);  // one request at a time
  at_dispatch([&] { fake::complete_pending_query(fake().handle); });
  EXPECT_TRUE(first->completed);
  EXPECT_EQ(first->status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(first->data(), (std::vector<uint8_t>{0xDC, 0x05, 0, 0}));
  EXPECT_EQ(fake::observed.queries.size(), 2u);
  at_dispatch([&] { fake::complete_pending_query(fake().handle); });
  EXPECT_TRUE(second->completed);
}

TEST_F(RequestTest, CompletionWithoutAPendingRequestBugChecks) {
  EXPECT_NDIS_BUG_CHECK(
      at_dispatch([&] { NdisMSetInformationComplete(fake().handle, NDIS_STATUS_SUCCESS); }),
      "REQUEST_COMPLETE_NOT_PENDING");
}

TEST_F(RequestTest, ResetRunsAtDispatchByDefault) {
  EXPECT_EQ(protocol().reset(), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(fake::observed.resets, 1);
  ASSERT_EQ(protocol().resets().size(), 1u);
  EXPECT_FALSE(protocol().resets()[0].addressing_reset);
}

// A pended reset completed later is returned by the protocol's reset call,
// with its status, even when the protocol's records are cleared meanwhile
// (the stress clears them from another thread while a reset waits).
TEST_F(RequestTest, APendedResetEndsWithItsStatusThoughTheRecordsWereCleared) {
  EXPECT_EQ(protocol().reset(), NDIS_STATUS_SUCCESS);
  fake::behaviour.reset_result = NDIS_STATUS_PENDING;
  fake::behaviour.on_reset = [&] {
    host::Kernel::get().scheduler().schedule_at(
        host::Kernel::get().scheduler().now() + host::kMillisecond, host::RunLevel::Dispatch,
        [&] {
          protocol().clear_records();
          NdisMResetComplete(fake().handle, NDIS_STATUS_HARD_ERRORS, FALSE);
        },
        "reset complete");
  };
  EXPECT_EQ(protocol().reset(host::ndis::CallOptions{DISPATCH_LEVEL}, host::kSecond),
            NDIS_STATUS_HARD_ERRORS);
  EXPECT_FALSE(adapter().reset_pending());
}

// ---- Indications -------------------------------------------------------------------

class ReceiveTest : public FakeMiniportTest {
 protected:
  void SetUp() override {
    FakeMiniportTest::SetUp();
    start();
  }
  // The fake's receive packet holding `n` bytes of a pattern, with `status`.
  void indicate(size_t n, NDIS_STATUS status) {
    fake::Adapter& a = fake();
    for (size_t i = 0; i < n; ++i)
      a.rx_data[i] = static_cast<UCHAR>(0x40 + i);
    NdisAdjustBufferLength(a.rx_buffer, static_cast<UINT>(n));
    a.rx_packet->Private.ValidCounts = FALSE;
    NDIS_SET_PACKET_STATUS(a.rx_packet, status);
    at_dispatch([&] { NdisMIndicateReceivePacket(a.handle, &a.rx_packet, 1); });
  }
};

TEST_F(ReceiveTest, ResourcesPacketsAreCopiedDuringTheCallAndNeverKept) {
  indicate(60, NDIS_STATUS_RESOURCES);
  // The miniport may reuse the buffer at once; the protocol's copy stays.
  std::memset(fake().rx_data, 0, 60);
  auto frames = protocol().received();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].data.size(), 60u);
  EXPECT_EQ(frames[0].data[0], 0x40);
  EXPECT_EQ(frames[0].data[59], 0x40 + 59);
  EXPECT_EQ(frames[0].packet_status, NDIS_STATUS_RESOURCES);
  EXPECT_EQ(frames[0].header_size, 14u);
  EXPECT_EQ(frames[0].irql, DISPATCH_LEVEL);
  EXPECT_FALSE(frames[0].kept);
  EXPECT_EQ(NDIS_GET_PACKET_STATUS(fake().rx_packet), NDIS_STATUS_RESOURCES);
  scheduler().run_for(10 * kMillisecond);
  EXPECT_TRUE(fake::observed.returned.empty());
  indicate(61, NDIS_STATUS_RESOURCES);  // not held, so it may be indicated again
  EXPECT_EQ(protocol().received_count(), 2u);
}

TEST_F(ReceiveTest, KeptPacketsComeBackThroughTheReturnHandler) {
  indicate(64, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(NDIS_GET_PACKET_STATUS(fake().rx_packet), NDIS_STATUS_PENDING);
  EXPECT_EQ(adapter().packets_held(), 1u);
  EXPECT_TRUE(fake::observed.returned.empty());
  scheduler().run_until_idle(100 * kMillisecond);
  ASSERT_EQ(fake::observed.returned.size(), 1u);
  EXPECT_EQ(fake::observed.returned[0], fake().rx_packet);
  EXPECT_EQ(adapter().packets_held(), 0u);
}

TEST_F(ReceiveTest, IndicatingAKeptPacketAgainBugChecks) {
  indicate(64, NDIS_STATUS_SUCCESS);
  EXPECT_NDIS_BUG_CHECK(indicate(64, NDIS_STATUS_SUCCESS), "PACKET_INDICATED_TWICE");
}

TEST_F(ReceiveTest, FreeingAPacketAProtocolHoldsBugChecks) {
  indicate(64, NDIS_STATUS_SUCCESS);
  EXPECT_NDIS_BUG_CHECK(NdisFreePacket(fake().rx_packet), "PACKET_FREED_WHILE_IN_USE");
}

TEST_F(ReceiveTest, ReturningAPacketNoProtocolHoldsBugChecks) {
  indicate(64, NDIS_STATUS_SUCCESS);
  scheduler().run_until_idle(100 * kMillisecond);
  ASSERT_EQ(fake::observed.returned.size(), 1u);
  // Returned once already.
  EXPECT_NDIS_BUG_CHECK(adapter().return_packet(fake().rx_packet), "PACKET_NOT_HELD");
}

TEST_F(ReceiveTest, IndicatingBelowDispatchBugChecks) {
  fake::Adapter& a = fake();
  NDIS_SET_PACKET_STATUS(a.rx_packet, NDIS_STATUS_RESOURCES);
  EXPECT_NDIS_BUG_CHECK(NdisMIndicateReceivePacket(a.handle, &a.rx_packet, 1),
                        "INDICATION_AT_WRONG_IRQL");
}

TEST_F(ReceiveTest, ABufferLongerThanItsMemoryBugChecks) {
  NdisAdjustBufferLength(fake().rx_buffer, 2000);
  fake::Adapter& a = fake();
  NDIS_SET_PACKET_STATUS(a.rx_packet, NDIS_STATUS_RESOURCES);
  EXPECT_NDIS_BUG_CHECK(at_dispatch([&] { NdisMIndicateReceivePacket(a.handle, &a.rx_packet, 1); }),
                        "BUFFER_LENGTH_EXCEEDS_ALLOCATION");
}

TEST_F(ReceiveTest, StatusIndicationsAreRecordedWithTheirTime) {
  scheduler().run_for(7 * kMillisecond);
  UCHAR detail[2] = {1, 2};
  at_dispatch([&] {
    NdisMIndicateStatus(fake().handle, NDIS_STATUS_MEDIA_CONNECT, detail, 2);
    NdisMIndicateStatusComplete(fake().handle);
  });
  auto statuses = protocol().statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].code, NDIS_STATUS_MEDIA_CONNECT);
  EXPECT_EQ(statuses[0].buffer, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(statuses[0].time, 7 * kMillisecond);
  EXPECT_EQ(protocol().status_completes().size(), 1u);
}

}  // namespace
}  // namespace host_ndis_test
