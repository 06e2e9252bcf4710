// IRQL rules, spin locks and the interlocked operations.
#include <vector>

#include "test_support.h"

namespace {

using host_test::KernelTest;

class IrqlTest : public KernelTest {};

TEST_F(IrqlTest, RaiseAndLowerReturnToThePreviousLevel) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), DISPATCH_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, RaisingToALowerLevelIsABugCheck) {
  allow_leaks();
  KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_BUG_CHECK(KfRaiseIrql(PASSIVE_LEVEL), "IRQL_NOT_GREATER_OR_EQUAL");
  KfLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlTest, LoweringToAHigherLevelIsABugCheck) {
  allow_leaks();
  EXPECT_BUG_CHECK(KfLowerIrql(DISPATCH_LEVEL), "IRQL_NOT_LESS_OR_EQUAL");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class SpinLockTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    KeInitializeSpinLock(&lock_);
    KeInitializeSpinLock(&other_);
  }
  KSPIN_LOCK lock_;
  KSPIN_LOCK other_;
};

TEST_F(SpinLockTest, AcquireRaisesToDispatchAndReleaseRestores) {
  KIRQL old;
  KeAcquireSpinLock(&lock_, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(host::current_context().held_spin_locks, 1u);
  KeAcquireSpinLockAtDpcLevel(&other_);
  EXPECT_EQ(host::current_context().held_spin_locks, 2u);
  KeReleaseSpinLockFromDpcLevel(&other_);
  KeReleaseSpinLock(&lock_, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(host::current_context().held_spin_locks, 0u);
  EXPECT_EQ(lock_, 0u);
}

TEST_F(SpinLockTest, AcquiringALockHeldBySameContextIsABugCheck) {
  allow_leaks();
  KIRQL old;
  KeAcquireSpinLock(&lock_, &old);
  EXPECT_BUG_CHECK(KefAcquireSpinLockAtDpcLevel(&lock_), "SPINLOCK_ALREADY_OWNED");
  EXPECT_BUG_CHECK(KfAcquireSpinLock(&lock_), "SPINLOCK_ALREADY_OWNED");
}

TEST_F(SpinLockTest, LockHeldElsewhereInDeterministicModeIsADeadlock) {
  allow_leaks();
  lock_ = 0x1234;  // owned by a context that cannot run while we spin
  KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_BUG_CHECK(KefAcquireSpinLockAtDpcLevel(&lock_), "DEADLOCK");
}

TEST_F(SpinLockTest, ReleasingALockNotHeldIsABugCheck) {
  allow_leaks();
  KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_BUG_CHECK(KefReleaseSpinLockFromDpcLevel(&lock_), "SPINLOCK_NOT_OWNED");
  lock_ = 0x1234;
  EXPECT_BUG_CHECK(KfReleaseSpinLock(&lock_, PASSIVE_LEVEL), "SPINLOCK_NOT_OWNED");
}

TEST_F(SpinLockTest, AtDpcLevelCallsBelowDispatchAreABugCheck) {
  allow_leaks();
  EXPECT_BUG_CHECK(KefAcquireSpinLockAtDpcLevel(&lock_), "IRQL_NOT_GREATER_OR_EQUAL");
  EXPECT_EQ(lock_, 0u);
}

TEST_F(SpinLockTest, LoweringBelowDispatchWithALockHeldIsABugCheck) {
  allow_leaks();
  KIRQL outer = KfAcquireSpinLock(&lock_);
  KIRQL inner = KfAcquireSpinLock(&other_);
  EXPECT_EQ(inner, DISPATCH_LEVEL);
  // Released out of order with the outer lock's IRQL: other_ is still held.
  EXPECT_BUG_CHECK(KfReleaseSpinLock(&lock_, outer), "IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(SpinLockTest, InterlockedListsKeepOrderAndIrql) {
  LIST_ENTRY head, a, b, c;
  InitializeListHead(&head);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock_), nullptr);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock_), &a);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c, &lock_), &a);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(host::current_context().held_spin_locks, 0u);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock_), &c);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock_), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock_), &b);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock_), nullptr);
  EXPECT_EQ(lock_, 0u);
}

TEST_F(SpinLockTest, InterlockedListWithItsLockAlreadyHeldIsABugCheck) {
  allow_leaks();
  LIST_ENTRY head, a;
  InitializeListHead(&head);
  KIRQL old = KfAcquireSpinLock(&lock_);
  EXPECT_BUG_CHECK(ExInterlockedInsertTailList(&head, &a, &lock_), "SPINLOCK_ALREADY_OWNED");
  (void)old;
}

TEST_F(SpinLockTest, InterlockedArithmetic) {
  volatile LONG v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedDecrement(&v), 5);
  EXPECT_EQ(InterlockedExchange(&v, 9), 5);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);  // no match: unchanged
  EXPECT_EQ(v, 9);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
  EXPECT_EQ(v, 1);
}

}  // namespace
