// The IRP contract between a driver, the I/O manager and the driver below:
// stack locations, completion routines, built IRPs, cancel, and the
// verifier's checks on misuse.
#include <algorithm>
#include <vector>

#include "nt/io.h"
#include "test_support.h"

namespace {

using host::kMillisecond;
using host::RunLevel;
using host_test::KernelTest;

constexpr ULONG kSubmitUrb = 0x220003;

// What the lower driver does with an IRP it receives.
enum class Lower { CompleteInline, Pend, PendCancelable, Forward, LeaveIrqlRaised };

class IrpTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    self_ = this;
    driver_ = host::create_driver_object("lower");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &IrpTest::dispatch;
    lower_ = host::create_device_object(driver_, 1);
    other_ = host::create_device_object(driver_, 1);
  }
  void TearDown() override {
    host::delete_driver_object(driver_);
    KernelTest::TearDown();
    self_ = nullptr;
  }

  static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
    IrpTest& t = *self_;
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    t.seen_.push_back({device, s->MajorFunction, s->Parameters.DeviceIoControl.IoControlCode,
                       s->Parameters.Others.Argument1, irp->CurrentLocation});
    switch (t.mode_) {
      case Lower::CompleteInline:
        irp->IoStatus.Status = t.status_;
        irp->IoStatus.Information = 77;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return t.status_;
      case Lower::PendCancelable:
        IoSetCancelRoutine(irp, &IrpTest::cancel_routine);
        [[fallthrough]];
      case Lower::Pend:
        IoMarkIrpPending(irp);
        t.pending_ = irp;
        return STATUS_PENDING;
      case Lower::Forward:
        return IofCallDriver(t.other_, irp);
      case Lower::LeaveIrqlRaised:
        KfRaiseIrql(DISPATCH_LEVEL);
        return STATUS_PENDING;
    }
    return STATUS_UNSUCCESSFUL;
  }

  static void NTAPI cancel_routine(PDEVICE_OBJECT device, PIRP irp) {
    IrpTest& t = *self_;
    t.cancel_irql_ = KeGetCurrentIrql();
    t.cancel_device_ = device;
    t.pending_ = nullptr;
    if (t.cancel_releases_lock_) IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }

  // The usual completion routine of a driver-allocated IRP: note, free, keep.
  static NTSTATUS NTAPI free_and_keep(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    IrpTest& t = *static_cast<IrpTest*>(context);
    t.completions_.push_back({device, irp->IoStatus.Status, irp->PendingReturned != 0,
                              irp->Cancel != 0, KeGetCurrentIrql()});
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  static NTSTATUS NTAPI note_and_continue(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    IrpTest& t = *static_cast<IrpTest*>(context);
    t.completions_.push_back({device, irp->IoStatus.Status, irp->PendingReturned != 0,
                              irp->Cancel != 0, KeGetCurrentIrql()});
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI free_and_continue(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI keep_lock(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    KefAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  // An IRP as the driver sends a URB asynchronously.
  PIRP async_irp(PIO_COMPLETION_ROUTINE routine, bool success = true, bool error = true,
                 bool cancel = true) {
    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kSubmitUrb;
    next->Parameters.Others.Argument1 = &urb_;
    IoSetCompletionRoutine(irp, routine, this, success, error, cancel);
    return irp;
  }

  struct Seen {
    PDEVICE_OBJECT device;
    UCHAR major;
    ULONG code;
    PVOID argument1;
    CHAR location;
  };
  struct Completion {
    PDEVICE_OBJECT device;
    NTSTATUS status;
    bool pending_returned;
    bool cancel;
    KIRQL irql;
  };

  static IrpTest* self_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT other_ = nullptr;
  Lower mode_ = Lower::CompleteInline;
  NTSTATUS status_ = STATUS_SUCCESS;
  PIRP pending_ = nullptr;
  bool cancel_releases_lock_ = true;
  KIRQL cancel_irql_ = 0xFF;
  PDEVICE_OBJECT cancel_device_ = nullptr;
  int urb_ = 0;
  std::vector<Seen> seen_;
  std::vector<Completion> completions_;
};
IrpTest* IrpTest::self_ = nullptr;

TEST_F(IrpTest, StackLocationsFollowTheHeader) {
  PIRP irp = IoAllocateIrp(3, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), first + 3);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
  EXPECT_EQ(host::counters().irps_live, 1);
  IoFreeIrp(irp);
  EXPECT_EQ(host::counters().irps_live, 0);
  EXPECT_EQ(host::live_irps(), 0u);
}

TEST_F(IrpTest, CallDriverHandsTheNextLocationToTheLowerDriver) {
  PIRP irp = async_irp(&IrpTest::free_and_keep);
  mode_ = Lower::Pend;
  EXPECT_EQ(IofCallDriver(lower_, irp), STATUS_PENDING);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].device, lower_);
  EXPECT_EQ(seen_[0].major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seen_[0].code, kSubmitUrb);
  EXPECT_EQ(seen_[0].argument1, &urb_);
  EXPECT_EQ(seen_[0].location, 1);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, lower_);
  EXPECT_TRUE(host::irp_is_at_lower_driver(irp));
  EXPECT_EQ(host::counters().irps_at_lower_driver, 1);

  pending_->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(pending_, IO_NO_INCREMENT);
  ASSERT_EQ(completions_.size(), 1u);
  EXPECT_EQ(completions_[0].device, nullptr);  // the top location has no device
  EXPECT_TRUE(completions_[0].pending_returned);
  EXPECT_EQ(host::live_irps(), 0u);
  EXPECT_EQ(host::counters().irps_at_lower_driver, 0);
}

TEST_F(IrpTest, InlineCompletionDoesNotReportPending) {
  IofCallDriver(lower_, async_irp(&IrpTest::free_and_keep));
  ASSERT_EQ(completions_.size(), 1u);
  EXPECT_FALSE(completions_[0].pending_returned);
  EXPECT_EQ(completions_[0].status, STATUS_SUCCESS);
}

TEST_F(IrpTest, CompletionRoutineGetsTheDeviceOfItsOwnLocation) {
  PDEVICE_OBJECT upper = host::create_device_object(driver_, 2);
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);  // the caller takes the top location as its own
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = upper;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, &IrpTest::note_and_continue, this, TRUE, TRUE, TRUE);
  mode_ = Lower::Pend;
  IofCallDriver(lower_, irp);
  pending_->IoStatus.Status = STATUS_SUCCESS;
  // The walk continues past our routine to the top: nobody keeps the IRP.
  EXPECT_BUG_CHECK(IofCompleteRequest(pending_, IO_NO_INCREMENT), "IRP_COMPLETED_WITHOUT_OWNER");
  ASSERT_EQ(completions_.size(), 1u);
  EXPECT_EQ(completions_[0].device, upper);
  EXPECT_TRUE(completions_[0].pending_returned);
  allow_leaks();
}

TEST_F(IrpTest, InvokeFlagsSelectTheCompletionsThatRunTheRoutine) {
  struct Case {
    NTSTATUS status;
    bool on_success, on_error, on_cancel;
    bool invoked;
  };
  const Case cases[] = {
      {STATUS_SUCCESS, true, false, false, true},
      {STATUS_SUCCESS, false, true, true, false},
      {STATUS_UNSUCCESSFUL, false, true, false, true},
      {STATUS_UNSUCCESSFUL, true, false, true, false},
      {STATUS_CANCELLED, false, true, false, true},  // an error status like any other
  };
  for (const Case& c : cases) {
    completions_.clear();
    status_ = c.status;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, &IrpTest::free_and_keep, this, c.on_success, c.on_error,
                           c.on_cancel);
    if (c.invoked) {
      IofCallDriver(lower_, irp);
      EXPECT_EQ(completions_.size(), 1u) << std::hex << c.status;
    } else {
      // Without its routine the IRP reaches the top with nobody owning it.
      EXPECT_BUG_CHECK(IofCallDriver(lower_, irp), "IRP_COMPLETED_WITHOUT_OWNER");
      EXPECT_TRUE(completions_.empty()) << std::hex << c.status;
      allow_leaks();
    }
  }
}

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalk) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
  own->Control = 0;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  // A routine that keeps the IRP without freeing it.
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
      nullptr, TRUE, TRUE, TRUE);
  IofCallDriver(lower_, irp);
  EXPECT_TRUE(host::irp_is_live(irp));
  EXPECT_EQ(irp->CurrentLocation, 2);  // stopped at the keeper's location
  IoFreeIrp(irp);
  EXPECT_EQ(host::live_irps(), 0u);
}

class BuiltIrpTest : public IrpTest {
 protected:
  PIRP build() {
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    iosb_.Status = 0x1234;
    PIRP irp = IoBuildDeviceIoControlRequest(kSubmitUrb, lower_, nullptr, 0, nullptr, 0, TRUE,
                                             &event_, &iosb_);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb_;
    return irp;
  }
  KEVENT event_;
  IO_STATUS_BLOCK iosb_;
};

TEST_F(BuiltIrpTest, InlineCompletionSignalsAndFrees) {
  status_ = STATUS_DEVICE_DATA_ERROR;
  EXPECT_EQ(IofCallDriver(lower_, build()), STATUS_DEVICE_DATA_ERROR);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seen_[0].code, kSubmitUrb);
  EXPECT_EQ(seen_[0].argument1, &urb_);
  EXPECT_EQ(iosb_.Status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(iosb_.Information, 77u);
  EXPECT_EQ(KeReadStateEvent(&event_), 1);
  EXPECT_EQ(host::live_irps(), 0u);
}

TEST_F(BuiltIrpTest, PendingRequestIsWaitedFor) {
  mode_ = Lower::Pend;
  ASSERT_EQ(IofCallDriver(lower_, build()), STATUS_PENDING);
  scheduler().schedule_after(
      3 * kMillisecond, RunLevel::AnyCompletionLevel,
      [this] {
        pending_->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(pending_, IO_NO_INCREMENT);
      },
      "bus completion");
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10 * 1000 * 10000LL;
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(scheduler().now(), 3 * kMillisecond);
  EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
  EXPECT_EQ(host::live_irps(), 0u);
}

TEST_F(BuiltIrpTest, DriverWithoutHandlerRejectsTheRequest) {
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = nullptr;
  PDRIVER_OBJECT plain = host::create_driver_object("plain");
  PDEVICE_OBJECT device = host::create_device_object(plain, 1);
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(kSubmitUrb, device, nullptr, 0, nullptr, 0, TRUE,
                                           &event_, &iosb_);
  EXPECT_EQ(IofCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(iosb_.Status, STATUS_INVALID_DEVICE_REQUEST);
  host::delete_driver_object(plain);
}

TEST_F(IrpTest, CancelCallsTheCancelRoutineUnderTheCancelLock) {
  mode_ = Lower::PendCancelable;
  PIRP irp = async_irp(&IrpTest::free_and_keep, false, false, true);
  IofCallDriver(lower_, irp);
  ASSERT_EQ(pending_, irp);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(cancel_irql_, DISPATCH_LEVEL);
  EXPECT_EQ(cancel_device_, lower_);
  ASSERT_EQ(completions_.size(), 1u);  // invoked on cancel only
  EXPECT_TRUE(completions_[0].cancel);
  EXPECT_EQ(completions_[0].status, STATUS_CANCELLED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(host::live_irps(), 0u);
}

TEST_F(IrpTest, CancelWithoutARoutineOnlyMarksTheIrp) {
  mode_ = Lower::Pend;
  PIRP irp = async_irp(&IrpTest::free_and_keep);
  IofCallDriver(lower_, irp);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  ASSERT_EQ(completions_.size(), 1u);
  EXPECT_TRUE(completions_[0].cancel);
}

// ---- The verifier's IRP checks ----------------------------------------------

class IrpVerifierTest : public IrpTest {
 protected:
  void SetUp() override {
    IrpTest::SetUp();
    allow_leaks();
  }
};

TEST_F(IrpVerifierTest, CompletingTwiceIsABugCheck) {
  mode_ = Lower::Pend;
  IofCallDriver(lower_, async_irp(&IrpTest::free_and_keep));
  PIRP irp = pending_;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_BUG_CHECK(IofCompleteRequest(irp, IO_NO_INCREMENT), "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(IrpVerifierTest, CompletingTwiceAKeptIrpIsABugCheck) {
  mode_ = Lower::Pend;
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
      nullptr, TRUE, TRUE, TRUE);
  IofCallDriver(lower_, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_BUG_CHECK(IofCompleteRequest(irp, IO_NO_INCREMENT), "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(IrpVerifierTest, CompletingWithPendingStatusIsABugCheck) {
  mode_ = Lower::Pend;
  IofCallDriver(lower_, async_irp(&IrpTest::free_and_keep));
  pending_->IoStatus.Status = STATUS_PENDING;
  EXPECT_BUG_CHECK(IofCompleteRequest(pending_, IO_NO_INCREMENT), "IRP_COMPLETED_PENDING");
}

TEST_F(IrpVerifierTest, FreeingTwiceIsABugCheck) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoFreeIrp(irp);
  EXPECT_BUG_CHECK(IoFreeIrp(irp), "IRP_DOUBLE_FREE");
}

// The second free is recognised behind thousands of other IRPs freed since,
// with the IRPs still live (and new ones at reused addresses) untouched.
TEST_F(IrpVerifierTest, FreeingTwiceIsCaughtBehindManyOtherFrees) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  PIRP kept = IoAllocateIrp(2, FALSE);
  IoFreeIrp(irp);
  for (int i = 0; i < 3000; ++i)
    IoFreeIrp(IoAllocateIrp(1, FALSE));
  PIRP again = IoAllocateIrp(1, FALSE);
  IoFreeIrp(again);
  IoFreeIrp(kept);
  EXPECT_BUG_CHECK(IoFreeIrp(irp), "IRP_DOUBLE_FREE");
}

TEST_F(IrpVerifierTest, FreeingWhileTheLowerDriverHoldsItIsABugCheck) {
  mode_ = Lower::Pend;
  PIRP irp = async_irp(&IrpTest::free_and_keep);
  IofCallDriver(lower_, irp);
  EXPECT_BUG_CHECK(IoFreeIrp(irp), "IRP_FREED_AT_LOWER_DRIVER");
}

TEST_F(IrpVerifierTest, PassingDownTwiceIsABugCheck) {
  mode_ = Lower::Pend;
  PIRP irp = async_irp(&IrpTest::free_and_keep);
  IofCallDriver(lower_, irp);
  EXPECT_BUG_CHECK(IofCallDriver(lower_, irp), "IRP_PASSED_DOWN_TWICE");
}

TEST_F(IrpVerifierTest, FreeingInARoutineThatLetsCompletionContinueIsABugCheck) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, &IrpTest::free_and_continue, nullptr, TRUE, TRUE, TRUE);
  EXPECT_BUG_CHECK(IofCallDriver(lower_, irp), "IRP_FREED_WHILE_OWNED");
}

TEST_F(IrpVerifierTest, RunningOutOfStackLocationsIsABugCheck) {
  mode_ = Lower::Forward;  // lower_ passes it on to other_, but the IRP has one location
  EXPECT_BUG_CHECK(IofCallDriver(lower_, async_irp(&IrpTest::free_and_keep)),
                   "NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(IrpVerifierTest, DispatchReturningAtRaisedIrqlIsABugCheck) {
  mode_ = Lower::LeaveIrqlRaised;
  EXPECT_BUG_CHECK(IofCallDriver(lower_, async_irp(&IrpTest::free_and_keep)), "IRQL_MISMATCH");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrpVerifierTest, CompletionRoutineReturningWithALockHeldIsABugCheck) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, &IrpTest::keep_lock, &lock, TRUE, TRUE, TRUE);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_BUG_CHECK(IofCallDriver(lower_, irp), "SPINLOCK_HELD_ON_RETURN");
  (void)old;
}

TEST_F(IrpVerifierTest, CancelRoutineKeepingTheCancelLockIsABugCheck) {
  mode_ = Lower::PendCancelable;
  cancel_releases_lock_ = false;
  PIRP irp = async_irp(&IrpTest::free_and_keep);
  IofCallDriver(lower_, irp);
  EXPECT_BUG_CHECK(IoCancelIrp(irp), "CANCEL_SPIN_LOCK_NOT_RELEASED");
}

TEST_F(IrpVerifierTest, UsingSomethingThatIsNotAnIrpIsABugCheck) {
  IRP fake{};
  EXPECT_BUG_CHECK(IofCompleteRequest(&fake, IO_NO_INCREMENT), "BAD_IRP");
  EXPECT_BUG_CHECK(IoFreeIrp(&fake), "BAD_IRP");
}

TEST_F(IrpVerifierTest, LiveIrpsAreLeaks) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_BUG_CHECK(kernel_->check_leaks(), "LEAKED_IRP");
  IoFreeIrp(irp);
  EXPECT_NO_THROW(kernel_->check_leaks());
}

// A freed IRP is handed out again once sixteen others were freed after it:
// clean, as a new one, and only for a request of its own size.
TEST_F(IrpTest, AFreedIrpIsReusedCleanForItsOwnSize) {
  PIRP first = IoAllocateIrp(2, FALSE);
  first->Flags = 0x55;
  first->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IoGetNextIrpStackLocation(first)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoFreeIrp(first);
  std::vector<PIRP> seen;
  for (int i = 0; i < 16; ++i) {
    PIRP other = IoAllocateIrp(2, FALSE);
    seen.push_back(other);
    IoFreeIrp(other);
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), first), 0);
  // Another size does not take it.
  PIRP bigger = IoAllocateIrp(4, FALSE);
  EXPECT_NE(bigger, first);
  PIRP again = IoAllocateIrp(2, FALSE);
  ASSERT_EQ(again, first);
  EXPECT_EQ(again->Flags, 0u);
  EXPECT_EQ(again->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(again->StackCount, 2);
  EXPECT_EQ(again->CurrentLocation, 3);
  EXPECT_EQ(IoGetNextIrpStackLocation(again)->MajorFunction, 0);
  EXPECT_EQ(host::live_irps(), 2u);
  EXPECT_EQ(host::live_pool_blocks(), 2u);
  IoFreeIrp(again);
  IoFreeIrp(bigger);
  EXPECT_EQ(host::live_irps(), 0u);
  EXPECT_EQ(host::live_pool_blocks(), 0u);
  EXPECT_NO_THROW(kernel_->check_leaks());
}

TEST_F(IrpVerifierTest, WritingAFreedIrpIsCaughtWhenItIsReused) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoFreeIrp(irp);
  irp->UserBuffer = irp;  // after the free
  for (int i = 0; i < 16; ++i)
    IoFreeIrp(IoAllocateIrp(1, FALSE));
  EXPECT_BUG_CHECK(IoAllocateIrp(1, FALSE), "POOL_CORRUPTION");
}

TEST_F(IrpVerifierTest, FreeingAFreedIrpAsPoolMemoryIsABugCheck) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoFreeIrp(irp);
  EXPECT_BUG_CHECK(ExFreePool(irp), "POOL_DOUBLE_FREE");
}

TEST_F(IrpTest, AllocationFaultsAreInjected) {
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 1);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 1);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(kSubmitUrb, lower_, nullptr, 0, nullptr, 0, TRUE, &event,
                                          &iosb),
            nullptr);
  EXPECT_EQ(host::live_irps(), 0u);
  EXPECT_EQ(host::live_pool_blocks(), 0u);
}

}  // namespace
