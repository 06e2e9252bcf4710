// The pool: bookkeeping by tag, fault injection, and the verifier's checks.
#include <cstring>

#include "nt/pool.h"
#include "test_support.h"

namespace {

using host::make_tag;
using host_test::KernelTest;

constexpr ULONG kTag = make_tag("Test");

class PoolTest : public KernelTest {};

TEST_F(PoolTest, AllocationsAreCountedByTagUntilFreed) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 28, make_tag("Othr"));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_EQ(host::live_pool_blocks_with_tag(kTag), 1u);
  EXPECT_EQ(host::live_pool_blocks(), 2u);
  EXPECT_EQ(host::counters().pool_bytes_live, 128);
  size_t size = 0;
  uint32_t tag = 0;
  EXPECT_TRUE(host::pool_block_info(a, &size, &tag));
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(tag, kTag);
  ExFreePoolWithTag(a, kTag);
  ExFreePool(b);
  EXPECT_EQ(host::live_pool_blocks(), 0u);
  EXPECT_EQ(host::counters().pool_allocations, 2u);
  EXPECT_EQ(host::counters().pool_frees, 2u);
  EXPECT_EQ(host::counters().pool_bytes_live, 0);
}

TEST_F(PoolTest, FreshMemoryIsNotZeroedAndFreedMemoryIsPoisoned) {
  auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTag));
  EXPECT_EQ(p[0], host::kPoolAllocatedFill);
  EXPECT_EQ(p[31], host::kPoolAllocatedFill);
  std::memset(p, 0, 32);
  ExFreePool(p);
  // The block is held back after the free; a stale reader sees the pattern.
  EXPECT_EQ(p[0], host::kPoolFreedFill);
  EXPECT_EQ(p[31], host::kPoolFreedFill);
}

TEST_F(PoolTest, FailNthAllocation) {
  host::faults().fail_nth(host::FaultSite::PoolAllocation, 2);
  void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(host::faults().calls(host::FaultSite::PoolAllocation), 3u);
  ExFreePool(a);
  ExFreePool(c);
}

TEST_F(PoolTest, FailASpanAndOnlyTheUrbTagsAllocations) {
  const ULONG urb_tag = make_tag("Wdm ");
  host::faults().set_urb_tag(urb_tag);
  host::faults().fail_span(host::FaultSite::UrbAllocation, 2, 2);
  // Other tags are no URB allocations and do not count.
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(other, nullptr);
  void* urbs[4];
  for (void*& u : urbs)
    u = ExAllocatePoolWithTag(NonPagedPool, 8, urb_tag);
  EXPECT_NE(urbs[0], nullptr);
  EXPECT_EQ(urbs[1], nullptr);
  EXPECT_EQ(urbs[2], nullptr);
  EXPECT_NE(urbs[3], nullptr);
  EXPECT_EQ(host::faults().calls(host::FaultSite::UrbAllocation), 4u);
  EXPECT_EQ(host::faults().failures(host::FaultSite::UrbAllocation), 2u);
  EXPECT_EQ(host::faults().failures(host::FaultSite::PoolAllocation), 0u);
  for (void* u : urbs) {
    if (u) ExFreePool(u);
  }
  ExFreePool(other);
}

// Calls are counted whether or not anything is armed, so a span set after
// many quiet calls still counts from then; the site is quiet again after the
// span and after a rate is taken back, and rules apply only while set.
TEST_F(PoolTest, FaultSitesCountQuietCallsAndDisarmAfterTheSpan) {
  auto allocate = [&] {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    if (p) ExFreePool(p);
    return p != nullptr;
  };
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(allocate());
  EXPECT_EQ(host::faults().calls(host::FaultSite::PoolAllocation), 5u);
  host::faults().fail_span(host::FaultSite::PoolAllocation, 2, 2);
  EXPECT_TRUE(allocate());   // call 6
  EXPECT_FALSE(allocate());  // 7
  EXPECT_FALSE(allocate());  // 8
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(allocate());  // 9..11: the span is over
  EXPECT_EQ(host::faults().calls(host::FaultSite::PoolAllocation), 11u);
  EXPECT_EQ(host::faults().failures(host::FaultSite::PoolAllocation), 2u);
  host::faults().fail_nth(host::FaultSite::PoolAllocation, 1);
  EXPECT_FALSE(allocate());
  EXPECT_TRUE(allocate());
  host::faults().fail_rate(host::FaultSite::PoolAllocation, 1.0);
  EXPECT_FALSE(allocate());
  host::faults().fail_rate(host::FaultSite::PoolAllocation, 0);
  EXPECT_TRUE(allocate());
  EXPECT_EQ(host::faults().failures(host::FaultSite::PoolAllocation), 4u);
  host::faults().set_bulk_rule(
      [](bool in) { return in ? host::UrbFault::Stall : host::UrbFault::None; });
  EXPECT_EQ(host::faults().bulk_fault(true), host::UrbFault::Stall);
  EXPECT_EQ(host::faults().bulk_fault(false), host::UrbFault::None);
  host::faults().set_bulk_rule(nullptr);
  EXPECT_EQ(host::faults().bulk_fault(true), host::UrbFault::None);
  host::faults().set_urb_rule([](uint16_t) { return host::UrbFault::Late; });
  EXPECT_EQ(host::faults().urb_fault(9), host::UrbFault::Late);
  host::faults().reset();
  EXPECT_EQ(host::faults().urb_fault(9), host::UrbFault::None);
  EXPECT_EQ(host::faults().calls(host::FaultSite::PoolAllocation), 0u);
}

TEST_F(PoolTest, FailRateOneFailsEveryAllocation) {
  host::faults().fail_rate(host::FaultSite::PoolAllocation, 1.0);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  void* internal = host::pool_allocate(8, kTag, "internal", false);  // not injected
  EXPECT_NE(internal, nullptr);
  host::pool_free(internal, 8, "internal");
  host::faults().reset();
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
}

TEST_F(PoolTest, DoubleFreeIsABugCheck) {
  allow_leaks();
  void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  ExFreePool(p);
  EXPECT_BUG_CHECK(ExFreePool(p), "POOL_DOUBLE_FREE");
}

// A block freed thousands of frees ago is still known as freed while it is
// held; a pointer inside a live block is not taken for a block of its own.
TEST_F(PoolTest, DoubleFreeIsCaughtBehindManyOtherFrees) {
  allow_leaks();
  void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  char* live = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 256, kTag));
  ExFreePool(p);
  for (int i = 0; i < 4000; ++i)
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 1 + i % 200, kTag));
  EXPECT_BUG_CHECK(ExFreePool(live + 64), "BAD_POOL_CALLER");
  EXPECT_BUG_CHECK(ExFreePool(p), "POOL_DOUBLE_FREE");
}

TEST_F(PoolTest, FreeOfANonPoolAddressIsABugCheck) {
  allow_leaks();
  alignas(16) char stack_buffer[64];
  EXPECT_BUG_CHECK(ExFreePool(stack_buffer + 32), "BAD_POOL_CALLER");
  void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  EXPECT_BUG_CHECK(ExFreePool(static_cast<char*>(p) + 4), "BAD_POOL_CALLER");
}

TEST_F(PoolTest, FreeWithTheWrongTagIsABugCheck) {
  allow_leaks();
  void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  EXPECT_BUG_CHECK(ExFreePoolWithTag(p, make_tag("Else")), "BAD_POOL_CALLER");
}

TEST_F(PoolTest, FreeWithTheWrongSizeIsABugCheck) {
  allow_leaks();
  void* p = host::pool_allocate(40, kTag, "NdisAllocateMemoryWithTag");
  EXPECT_BUG_CHECK(host::pool_free(p, 39, "NdisFreeMemory"), "POOL_WRONG_SIZE");
  host::pool_free(p, 40, "NdisFreeMemory");  // the right size still works
  EXPECT_EQ(host::live_pool_blocks(), 0u);
}

TEST_F(PoolTest, OverrunIsCaughtAtFree) {
  allow_leaks();
  auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
  p[10] = 0;  // one byte past the end
  EXPECT_BUG_CHECK(ExFreePool(p), "POOL_CORRUPTION");
}

TEST_F(PoolTest, OverwrittenHeaderIsCaughtAtFree) {
  allow_leaks();
  auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
  std::memset(p - 32, 0, 4);  // an underrun into the block header
  EXPECT_BUG_CHECK(ExFreePool(p), "POOL_CORRUPTION");
}

TEST_F(PoolTest, AWriteAfterFreeIsCaughtWhenTheBlockLeavesTheQuarantine) {
  allow_leaks();
  auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 24, kTag));
  ExFreePool(p);
  p[5] = 0x42;  // through a stale pointer
  // Frees enough blocks to push it out of the quarantine.
  auto churn = [] {
    for (int i = 0; i < 5000; ++i)
      ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
  };
  EXPECT_BUG_CHECK(churn(), "POOL_CORRUPTION");
  // Blocks left alone after their free leave it quietly.
  churn();
}

TEST_F(PoolTest, PagedPoolAtDispatchIsABugCheck) {
  allow_leaks();
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_BUG_CHECK(ExAllocatePoolWithTag(PagedPool, 8, kTag), "BAD_POOL_CALLER");
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);  // non-paged is fine
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
  KfLowerIrql(old);
}

TEST_F(PoolTest, LeaksAreReportedByTag) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 12, make_tag("Leak"));
  void* b = ExAllocatePoolWithTag(NonPagedPool, 20, make_tag("Leak"));
  try {
    kernel_->check_leaks();
    ADD_FAILURE() << "no leak reported";
  } catch (const host::BugCheck& e) {
    EXPECT_EQ(e.code, "LEAKED_POOL");
    EXPECT_NE(e.message.find("'Leak': 2 block(s), 32 bytes"), std::string::npos) << e.message;
  }
  ExFreePool(a);
  ExFreePool(b);
  EXPECT_NO_THROW(kernel_->check_leaks());
}

class TimerInPoolTest : public KernelTest {
 protected:
  struct FakeTimer {
    bool armed = false;
  };
  struct Holder {
    uint64_t before;
    FakeTimer timer;
  };
  Holder* make_holder() {
    auto* h = static_cast<Holder*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Holder), kTag));
    h->timer.armed = false;
    FakeTimer* t = &h->timer;
    host::register_timer_object(
        t, [t] { return t->armed; }, "LinkPollTimer");
    return h;
  }
};

TEST_F(TimerInPoolTest, FreeingAnArmedTimerIsABugCheck) {
  allow_leaks();
  Holder* h = make_holder();
  h->timer.armed = true;
  try {
    ExFreePool(h);
    ADD_FAILURE() << "no bug check";
  } catch (const host::BugCheck& e) {
    EXPECT_EQ(e.code, "TIMER_IN_FREED_MEMORY");
    EXPECT_NE(e.message.find("LinkPollTimer"), std::string::npos);
  }
}

TEST_F(TimerInPoolTest, FreeingAnIdleTimerForgetsIt) {
  Holder* h = make_holder();
  ExFreePool(h);
  // Same address reused by a new block must not see the old registration.
  Holder* again = static_cast<Holder*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Holder), kTag));
  std::memset(static_cast<void*>(again), 0xFF,
              sizeof(Holder));  // "armed" by garbage, but not registered
  ExFreePool(again);
  EXPECT_EQ(host::live_pool_blocks(), 0u);
}

TEST_F(TimerInPoolTest, UnregisteredTimerIsNotChecked) {
  Holder* h = make_holder();
  h->timer.armed = true;
  host::unregister_timer_object(&h->timer);
  EXPECT_NO_THROW(ExFreePool(h));
}

}  // namespace

namespace {

TEST(KernelTeardownDeathTest, LeakAtTeardownStopsTheProcessNamingTheTag) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        auto k = host::Kernel::create({});
        ExAllocatePoolWithTag(NonPagedPool, 24, host::make_tag("Gone"));
        k.reset();
      },
      "LEAKED_POOL.*tag 'Gone': 1 block\\(s\\), 24 bytes");
}

TEST(KernelTeardownDeathTest, TeardownAfterABugCheckDoesNotAbort) {
  auto k = host::Kernel::create({});
  void* p = ExAllocatePoolWithTag(NonPagedPool, 24, host::make_tag("Gone"));
  ExFreePool(p);
  EXPECT_BUG_CHECK(ExFreePool(p), "POOL_DOUBLE_FREE");
  ExAllocatePoolWithTag(NonPagedPool, 8, host::make_tag("Left"));
  k.reset();  // the leak is reported on stderr, not fatal after a bug check
  EXPECT_EQ(host::Kernel::current(), nullptr);
}

}  // namespace
