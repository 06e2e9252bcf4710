// Miniport timers and configuration reads, through the fake miniport.
#include "fake_miniport.h"

namespace host_ndis_test {
namespace {

using host::kMillisecond;

class TimerTest : public FakeMiniportTest {
 protected:
  void SetUp() override {
    FakeMiniportTest::SetUp();
    start();
  }
  PNDIS_MINIPORT_TIMER timer() { return &fake().timer; }
};

TEST_F(TimerTest, OneShotRunsOnceAtDispatchWithItsContext) {
  NdisMSetTimer(timer(), 50);
  scheduler().run_for(49 * kMillisecond);
  EXPECT_EQ(fake::observed.timer_runs, 0);
  scheduler().run_for(1 * kMillisecond);
  EXPECT_EQ(fake::observed.timer_runs, 1);
  EXPECT_EQ(fake::observed.timer_irql, DISPATCH_LEVEL);
  EXPECT_EQ(fake::observed.timer_context, &fake());
  scheduler().run_for(500 * kMillisecond);
  EXPECT_EQ(fake::observed.timer_runs, 1);
}

TEST_F(TimerTest, SettingAPendingTimerRestartsIt) {
  NdisMSetTimer(timer(), 100);
  scheduler().run_for(80 * kMillisecond);
  NdisSetTimer(reinterpret_cast<PNDIS_TIMER>(timer()), 100);  // the DDK's other spelling
  scheduler().run_for(80 * kMillisecond);
  EXPECT_EQ(fake::observed.timer_runs, 0);
  scheduler().run_for(20 * kMillisecond);
  EXPECT_EQ(fake::observed.timer_runs, 1);
  scheduler().run_for(200 * kMillisecond);
  EXPECT_EQ(fake::observed.timer_runs, 1);
}

TEST_F(TimerTest, CancelReportsWhetherTheTimerWasPending) {
  BOOLEAN cancelled = FALSE;
  NdisMSetTimer(timer(), 10);
  NdisMCancelTimer(timer(), &cancelled);
  EXPECT_TRUE(cancelled);
  scheduler().run_for(50 * kMillisecond);
  EXPECT_EQ(fake::observed.timer_runs, 0);

  NdisMSetTimer(timer(), 10);
  scheduler().run_for(10 * kMillisecond);
  NdisMCancelTimer(timer(), &cancelled);
  EXPECT_FALSE(cancelled);
  EXPECT_EQ(fake::observed.timer_runs, 1);
}

TEST_F(TimerTest, PeriodicTimerRunsUntilCancelled) {
  NdisMSetPeriodicTimer(timer(), 10);
  scheduler().run_for(35 * kMillisecond);
  EXPECT_EQ(fake::observed.timer_runs, 3);
  BOOLEAN cancelled;
  NdisMCancelTimer(timer(), &cancelled);
  scheduler().run_for(100 * kMillisecond);
  EXPECT_EQ(fake::observed.timer_runs, 3);
}

TEST_F(TimerTest, SettingATimerThatWasNeverInitializedBugChecks) {
  NDIS_MINIPORT_TIMER never_initialized = {};
  EXPECT_NDIS_BUG_CHECK(NdisMSetTimer(&never_initialized, 10), "TIMER_NOT_INITIALIZED");
}

// A timer object that carries what an initialized one carries but is not
// one the library initialized at that address, or was overwritten since.
TEST_F(TimerTest, TimersOverwrittenOrCopiedBugCheckAsUninitialized) {
  NDIS_MINIPORT_TIMER copy = *timer();
  EXPECT_NDIS_BUG_CHECK(NdisMSetTimer(&copy, 10), "TIMER_NOT_INITIALIZED");
}

TEST_F(TimerTest, ATimerWhoseSerialWasOverwrittenBugChecks) {
  ++timer()->Timer.HostSerial;
  EXPECT_NDIS_BUG_CHECK(NdisMSetTimer(timer(), 10), "TIMER_NOT_INITIALIZED");
}

TEST_F(TimerTest, ATimerWhoseRecordWasOverwrittenBugChecks) {
  // Pointing at another live timer's record: still not this timer's.
  static NDIS_MINIPORT_TIMER other;
  NdisMInitializeTimer(&other, fake().handle, fake::TimerRoutine, nullptr);
  timer()->Timer.HostRecord = other.Timer.HostRecord;
  EXPECT_NDIS_BUG_CHECK(NdisMCancelTimer(timer(), nullptr), "TIMER_NOT_INITIALIZED");
}

TEST_F(TimerTest, ATimerWhoseMagicWasOverwrittenBugChecks) {
  timer()->Timer.HostMagic = 0;
  EXPECT_NDIS_BUG_CHECK(NdisMSetPeriodicTimer(timer(), 10), "TIMER_NOT_INITIALIZED");
}

TEST_F(TimerTest, InitializingAnArmedTimerAgainBugChecks) {
  NdisMSetTimer(timer(), 10);
  EXPECT_NDIS_BUG_CHECK(NdisMInitializeTimer(timer(), fake().handle, fake::TimerRoutine, nullptr),
                        "TIMER_REINITIALIZED_WHILE_ARMED");
}

TEST_F(TimerTest, FreeingMemoryThatHoldsAnArmedTimerBugChecks) {
  PNDIS_MINIPORT_TIMER held;
  ASSERT_EQ(NdisAllocateMemoryWithTag(reinterpret_cast<PVOID*>(&held), sizeof *held, 1),
            NDIS_STATUS_SUCCESS);
  NdisMInitializeTimer(held, fake().handle, fake::TimerRoutine, nullptr);
  NdisMSetTimer(held, 1000);
  EXPECT_NDIS_BUG_CHECK(NdisFreeMemory(held, sizeof *held, 0), "TIMER_IN_FREED_MEMORY");
}

TEST_F(TimerTest, MemoryOfACancelledTimerMayBeFreed) {
  PNDIS_MINIPORT_TIMER held;
  ASSERT_EQ(NdisAllocateMemoryWithTag(reinterpret_cast<PVOID*>(&held), sizeof *held, 1),
            NDIS_STATUS_SUCCESS);
  NdisMInitializeTimer(held, fake().handle, fake::TimerRoutine, nullptr);
  NdisMSetTimer(held, 1000);
  BOOLEAN cancelled;
  NdisMCancelTimer(held, &cancelled);
  NdisFreeMemory(held, sizeof *held, 0);
  // The freed timer is forgotten: setting it now is a use of freed memory.
  EXPECT_NDIS_BUG_CHECK(NdisMSetTimer(held, 10), "TIMER_NOT_INITIALIZED");
}

TEST_F(TimerTest, SleepBlocksForAtLeastTheTimeAndRunsDueEvents) {
  NdisMSetTimer(timer(), 2);
  host::Nanoseconds before = scheduler().now();
  NdisMSleep(5000);
  EXPECT_GE(scheduler().now() - before, 5000 * host::kMicrosecond);
  EXPECT_EQ(fake::observed.timer_runs, 1);
}

TEST_F(TimerTest, SleepAbovePassiveBugChecks) {
  EXPECT_NDIS_BUG_CHECK(at_dispatch([] { NdisMSleep(10); }), "WAIT_AT_RAISED_IRQL");
}

// ---- Configuration ------------------------------------------------------------

class ConfigurationTest : public FakeMiniportTest {
 protected:
  struct Read {
    NDIS_STATUS status;
    ULONG value;
  };
  // Reads `keyword` as `type` inside the initialize handler.
  Read read(const char* keyword, NDIS_PARAMETER_TYPE type) {
    Read result{NDIS_STATUS_PENDING, 0};
    fake::behaviour.on_initialize = [&](NDIS_HANDLE context) {
      NDIS_STATUS status;
      NDIS_HANDLE config;
      NdisOpenConfiguration(&status, &config, context);
      ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
      fake::Keyword key(keyword);
      PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
      NdisReadConfiguration(&result.status, &parameter, config, &key.string, type);
      if (result.status == NDIS_STATUS_SUCCESS) result.value = parameter->ParameterData.IntegerData;
      NdisCloseConfiguration(config);
    };
    start();
    return result;
  }
};

TEST_F(ConfigurationTest, IntegerValuesReadAsTheyAre) {
  adapter().registry().set_integer("TxPacketDesc", 7);
  Read r = read("txpacketdesc", NdisParameterHexInteger);  // keywords ignore case
  EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r.value, 7u);
}

TEST_F(ConfigurationTest, StringsReadInBase16AsHexIntegers) {
  adapter().registry().set_string("HomeLan", "11");
  Read r = read("HomeLan", NdisParameterHexInteger);
  EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r.value, 17u);
}

TEST_F(ConfigurationTest, StringsReadInBase10AsIntegers) {
  adapter().registry().set_string("MediaType", "11");
  Read r = read("MediaType", NdisParameterInteger);
  EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r.value, 11u);
}

TEST_F(ConfigurationTest, UnparseableStringsFail) {
  adapter().registry().set_string("MediaType", "A");
  EXPECT_EQ(read("MediaType", NdisParameterInteger).status, NDIS_STATUS_FAILURE);
}

TEST_F(ConfigurationTest, MissingKeywordsFail) {
  EXPECT_EQ(read("AlivePara", NdisParameterHexInteger).status, NDIS_STATUS_FAILURE);
}

TEST_F(ConfigurationTest, NetworkAddressIsReturnedAsStoredWhateverItsLength) {
  adapter().registry().set_network_address({0x02, 0x11, 0x22, 0x33, 0x44});
  std::vector<uint8_t> got;
  NDIS_STATUS status = NDIS_STATUS_PENDING;
  fake::behaviour.on_initialize = [&](NDIS_HANDLE context) {
    NDIS_HANDLE config;
    NdisOpenConfiguration(&status, &config, context);
    PVOID address;
    UINT length;
    NdisReadNetworkAddress(&status, &address, &length, config);
    if (status == NDIS_STATUS_SUCCESS) {
      got.assign(static_cast<uint8_t*>(address), static_cast<uint8_t*>(address) + length);
    }
    NdisCloseConfiguration(config);
  };
  start();
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(got, (std::vector<uint8_t>{0x02, 0x11, 0x22, 0x33, 0x44}));
}

TEST_F(ConfigurationTest, OpenCanBeMadeToFail) {
  adapter().fail_next_open_configuration(NDIS_STATUS_RESOURCES);
  NDIS_STATUS status = NDIS_STATUS_PENDING;
  fake::behaviour.on_initialize = [&](NDIS_HANDLE context) {
    NDIS_HANDLE config;
    NdisOpenConfiguration(&status, &config, context);
  };
  start();
  EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
}

TEST_F(ConfigurationTest, ParameterMemoryIsReclaimedAtClose) {
  adapter().registry().set_integer("RxPacketDesc", 3);
  PNDIS_CONFIGURATION_PARAMETER kept = nullptr;
  fake::behaviour.on_initialize = [&](NDIS_HANDLE context) {
    NDIS_STATUS status;
    NDIS_HANDLE config;
    NdisOpenConfiguration(&status, &config, context);
    fake::Keyword key("RxPacketDesc");
    NdisReadConfiguration(&status, &kept, config, &key.string, NdisParameterHexInteger);
    EXPECT_EQ(kept->ParameterData.IntegerData, 3u);
    NdisCloseConfiguration(config);
  };
  start();
  EXPECT_EQ(ndis_->live_memory_blocks(), 1u);  // the fake's adapter only
}

TEST_F(ConfigurationTest, ConfigurationLeftOpenBugChecks) {
  fake::behaviour.on_initialize = [&](NDIS_HANDLE context) {
    NDIS_STATUS status;
    NDIS_HANDLE config;
    NdisOpenConfiguration(&status, &config, context);
  };
  EXPECT_NDIS_BUG_CHECK(adapter().initialize(), "CONFIGURATION_NOT_CLOSED");
}

TEST_F(ConfigurationTest, OpeningOutsideInitializeBugChecks) {
  NDIS_HANDLE saved = nullptr;
  fake::behaviour.on_initialize = [&](NDIS_HANDLE context) { saved = context; };
  start();
  NDIS_STATUS status;
  NDIS_HANDLE config;
  EXPECT_NDIS_BUG_CHECK(NdisOpenConfiguration(&status, &config, saved),
                        "CONFIGURATION_CONTEXT_EXPIRED");
}

}  // namespace
}  // namespace host_ndis_test
