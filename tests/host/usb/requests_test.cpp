// Control requests, abort, reset, cancel, the ways the bus completes an IRP,
// injected faults and surprise removal.
#include <set>

#include "bus_test_fixture.h"

namespace {

using host::kMillisecond;
using host::Nanoseconds;
using host::UrbFault;
using host::usb::BusOptions;
using host::usb::CompletionMode;
using usb_test::BusTest;
using usb_test::Completion;

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

class ControlRequestTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    start(hw::BusSpeed::Full);
    configure();
    device_->controls.clear();
  }
};

TEST_F(ControlRequestTest, VendorWriteCarriesSetupAndDataAtTheNextFrame) {
  uint8_t data[1] = {0x05};
  URB u;
  usb_test::vendor_urb(&u, false, 0x7F, 1, data, 0x0005);
  Completion c;
  Nanoseconds t0 = scheduler().now();
  EXPECT_EQ(client_->send(&u, &c), STATUS_PENDING);
  EXPECT_FALSE(c.done);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.at, (t0 / kMillisecond + 1) * kMillisecond);
  ASSERT_EQ(device_->controls.size(), 1u);
  const hw::SetupPacket& s = device_->controls[0];
  EXPECT_EQ(s.bmRequestType, 0x40);
  EXPECT_EQ(s.bRequest, 0xF1);
  EXPECT_EQ(s.wValue, 0x0005);
  EXPECT_EQ(s.wIndex, 0x007F);
  EXPECT_EQ(s.wLength, 1);
  EXPECT_EQ(device_->registers[0x7F], 0x05);
}

TEST_F(ControlRequestTest, VendorReadFillsTheBufferAndReportsTheLength) {
  for (int i = 0; i < 6; ++i)
    device_->registers[0x10 + i] = static_cast<uint8_t>(0xA0 + i);
  uint8_t buf[8] = {};
  URB u;
  usb_test::vendor_urb(&u, true, 0x10, 6, buf);
  Completion c;
  client_->send(&u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(device_->controls[0].bmRequestType, 0xC0);
  EXPECT_EQ(device_->controls[0].bRequest, 0xF0);
  EXPECT_EQ(u.UrbControlVendorClassRequest.TransferBufferLength, 6u);
  EXPECT_EQ(buf[0], 0xA0);
  EXPECT_EQ(buf[5], 0xA5);
  EXPECT_EQ(buf[6], 0);
}

TEST_F(ControlRequestTest, ShortControlReadReportsWhatArrived) {
  device_->short_read = 2;
  uint8_t buf[6] = {};
  URB u;
  usb_test::vendor_urb(&u, true, 0x10, 6, buf);
  Completion c;
  client_->send(&u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(u.UrbControlVendorClassRequest.TransferBufferLength, 2u);
}

TEST_F(ControlRequestTest, FeatureAndStatusRequestsReachTheDevice) {
  URB f;
  std::memset(&f, 0, sizeof f);
  UsbBuildFeatureRequest(&f, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                         nullptr);
  Completion cf;
  client_->send(&f, &cf);
  URB s;
  std::memset(&s, 0, sizeof s);
  uint8_t status[2] = {0xFF, 0xFF};
  UsbBuildGetStatusRequest(&s, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, status, nullptr, nullptr);
  Completion cs;
  client_->send(&s, &cs);
  URB w;
  std::memset(&w, 0, sizeof w);
  UsbBuildFeatureRequest(&w, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0,
                         nullptr);
  Completion cw;
  client_->send(&w, &cw);
  ASSERT_TRUE(wait(cw));
  ASSERT_TRUE(cf.done && cs.done);
  ASSERT_EQ(device_->controls.size(), 3u);
  EXPECT_EQ(device_->controls[0].bmRequestType, 0x00);
  EXPECT_EQ(device_->controls[0].bRequest, USB_REQUEST_CLEAR_FEATURE);
  EXPECT_EQ(device_->controls[0].wValue, USB_FEATURE_REMOTE_WAKEUP);
  EXPECT_EQ(device_->controls[1].bmRequestType, 0x80);
  EXPECT_EQ(device_->controls[1].bRequest, USB_REQUEST_GET_STATUS);
  EXPECT_EQ(device_->controls[1].wLength, 2);
  EXPECT_EQ(status[0], 0x02);
  EXPECT_EQ(device_->controls[2].bRequest, USB_REQUEST_SET_FEATURE);
  // One after the other on the default pipe, in submission order.
  EXPECT_LE(cf.at, cs.at);
  EXPECT_LE(cs.at, cw.at);
}

TEST_F(ControlRequestTest, StalledRequestFails) {
  device_->stall_control = true;
  uint8_t buf[1];
  URB u;
  usb_test::vendor_urb(&u, true, 0x00, 1, buf);
  Completion c;
  client_->send(&u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(c.usbd, USBD_STATUS_STALL_PID);
}

TEST_F(ControlRequestTest, NakedRequestIsRetriedNextFrame) {
  device_->control_naks = 2;
  uint8_t buf[1];
  URB u;
  usb_test::vendor_urb(&u, true, 0x00, 1, buf);
  Completion c;
  Nanoseconds t0 = scheduler().now();
  client_->send(&u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.at, (t0 / kMillisecond + 3) * kMillisecond);
}

TEST_F(ControlRequestTest, VendorUrbWithTheBulkLengthIsABugCheck) {
  uint8_t buf[1];
  URB u;
  usb_test::vendor_urb(&u, true, 0x00, 1, buf);
  u.UrbHeader.Length = 72;
  Completion c;
  EXPECT_BUG_CHECK(client_->send(&u, &c), "USB_BAD_URB_LENGTH");
  allow_leaks();
}

TEST_F(ControlRequestTest, UnknownFunctionFailsAtOnce) {
  URB u;
  std::memset(&u, 0, sizeof u);
  u.UrbHeader.Length = 80;
  u.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  Completion c;
  EXPECT_EQ(client_->send(&u, &c), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(c.during_call);
  EXPECT_EQ(c.usbd, USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST_F(ControlRequestTest, CountsUrbsByFunction) {
  uint64_t before = host::counters().urbs_by_function[URB_FUNCTION_VENDOR_DEVICE];
  uint8_t buf[1];
  URB u;
  usb_test::vendor_urb(&u, true, 0x00, 1, buf);
  Completion c;
  client_->send(&u, &c);
  ASSERT_TRUE(wait(c));
  client_->send(&u, &c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(host::counters().urbs_by_function[URB_FUNCTION_VENDOR_DEVICE], before + 2);
  EXPECT_EQ(host::counters().irps_at_lower_driver, 0);
}

// ---- Abort, reset, cancel -------------------------------------------------------------

class PipeControlTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    start(hw::BusSpeed::Full);
    configure();
  }
  NTSTATUS pipe_request(uint16_t function, size_t pipe, Completion* c, URB* u) {
    usb_test::pipe_urb(u, function, pipes_.at(pipe).PipeHandle);
    return client_->send(u, c);
  }
};

TEST_F(PipeControlTest, AbortCompletesPendingTransfersBeforeItself) {
  std::vector<uint8_t> a(1536), b(1536);
  URB ua, ub, abort;
  Completion ca, cb, cabort;
  bulk(0, a.data(), 1536, kIn, &ua, &ca);
  bulk(0, b.data(), 1536, kIn, &ub, &cb);
  scheduler().run_for(5 * kMillisecond);
  EXPECT_FALSE(ca.done || cb.done);
  EXPECT_EQ(bus_->pending_irps(), 2u);
  EXPECT_EQ(pipe_request(URB_FUNCTION_ABORT_PIPE, 0, &cabort, &abort), STATUS_PENDING);
  ASSERT_TRUE(wait(cabort));
  EXPECT_TRUE(ca.done && cb.done);
  EXPECT_EQ(ca.status, STATUS_CANCELLED);
  EXPECT_EQ(ca.usbd, USBD_STATUS_CANCELED);
  EXPECT_EQ(cb.status, STATUS_CANCELLED);
  EXPECT_EQ(cabort.status, STATUS_SUCCESS);
  EXPECT_EQ(bus_->pending_irps(), 0u);
  EXPECT_EQ(host::counters().irps_at_lower_driver, 0);
}

TEST_F(PipeControlTest, AbortLeavesOtherPipesAlone) {
  std::vector<uint8_t> a(1536);
  URB ua, abort;
  Completion ca, cabort;
  bulk(0, a.data(), 1536, kIn, &ua, &ca);
  pipe_request(URB_FUNCTION_ABORT_PIPE, 1, &cabort, &abort);
  ASSERT_TRUE(wait(cabort));
  EXPECT_FALSE(ca.done);
  pipe_request(URB_FUNCTION_ABORT_PIPE, 0, &cabort, &abort);
  ASSERT_TRUE(wait(cabort));
  EXPECT_TRUE(ca.done);
}

TEST_F(PipeControlTest, ResetAfterAbortResetsTheEndpoint) {
  std::vector<uint8_t> a(1536);
  URB ua, req;
  Completion ca, c;
  bulk(0, a.data(), 1536, kIn, &ua, &ca);
  // Reset with a transfer still queued is refused.
  EXPECT_EQ(pipe_request(URB_FUNCTION_RESET_PIPE, 0, &c, &req), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(c.usbd, USBD_STATUS_ERROR_BUSY);
  pipe_request(URB_FUNCTION_ABORT_PIPE, 0, &c, &req);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(pipe_request(URB_FUNCTION_RESET_PIPE, 0, &c, &req), STATUS_PENDING);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(device_->resets, (std::vector<uint8_t>{0x81}));
}

TEST_F(PipeControlTest, PipeRequestWithX64LengthIsABugCheck) {
  URB u;
  Completion c;
  usb_test::pipe_urb(&u, URB_FUNCTION_ABORT_PIPE, pipes_[0].PipeHandle);
  u.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);  // 40 here, 24 on x86
  EXPECT_BUG_CHECK(client_->send(&u, &c), "USB_BAD_URB_LENGTH");
  allow_leaks();
}

TEST_F(PipeControlTest, CancelCompletesAPendingReadWithCancelled) {
  std::vector<uint8_t> a(1536);
  URB ua;
  Completion ca;
  bulk(0, a.data(), 1536, kIn, &ua, &ca);
  scheduler().run_for(3 * kMillisecond);
  ASSERT_FALSE(ca.done);
  EXPECT_TRUE(IoCancelIrp(ca.irp));
  EXPECT_TRUE(ca.done);
  EXPECT_EQ(ca.status, STATUS_CANCELLED);
  EXPECT_EQ(ca.usbd, USBD_STATUS_CANCELED);
  EXPECT_EQ(ua.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(bus_->pending_irps(), 0u);
  int polls = device_->in_polls;
  scheduler().run_for(5 * kMillisecond);
  EXPECT_EQ(device_->in_polls, polls);  // no polling once nothing is pending
}

TEST_F(PipeControlTest, CancelOfOneReadLetsTheNextOneRun) {
  std::vector<uint8_t> a(1536), b(1536);
  URB ua, ub;
  Completion ca, cb;
  bulk(0, a.data(), 1536, kIn, &ua, &ca);
  bulk(0, b.data(), 1536, kIn, &ub, &cb);
  IoCancelIrp(ca.irp);
  device_->queue_in(std::vector<uint8_t>(10, 7), 64);
  ASSERT_TRUE(wait(cb));
  EXPECT_EQ(cb.status, STATUS_SUCCESS);
  EXPECT_EQ(ub.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
}

// ---- Completion modes -------------------------------------------------------------------

class CompletionModeTest : public BusTest {
 protected:
  Completion vendor_read(CompletionMode mode) {
    BusOptions o;
    o.completion = mode;
    start(hw::BusSpeed::Full, o);
    buf_[0] = 0;
    device_->registers[3] = 0x42;
    usb_test::vendor_urb(&u_, true, 3, 1, buf_);
    Completion c;
    EXPECT_EQ(client_->send(&u_, &c), STATUS_PENDING);
    return c;
  }
  URB u_;
  uint8_t buf_[1];
};

TEST_F(CompletionModeTest, DeferredCompletesFromASchedulerEventAfterTheCall) {
  Completion c = vendor_read(CompletionMode::Deferred);
  EXPECT_FALSE(c.done);
  ASSERT_TRUE(wait(c));
  EXPECT_FALSE(c.during_call);
  EXPECT_TRUE(c.pending_returned);
  EXPECT_LE(c.irql, DISPATCH_LEVEL);
  EXPECT_EQ(buf_[0], 0x42);
}

TEST_F(CompletionModeTest, BeforeReturnCompletesInsideTheCallYetReturnsPending) {
  Completion c = vendor_read(CompletionMode::BeforeReturn);
  EXPECT_TRUE(c.done);
  EXPECT_TRUE(c.during_call);
  EXPECT_TRUE(c.pending_returned);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(buf_[0], 0x42);
}

TEST_F(CompletionModeTest, SeedChoosesBothWaysAndReplays) {
  // Completion IRQLs and inline/deferred choices vary with the seed and are
  // the same for the same seed.
  std::set<bool> seen;
  std::set<KIRQL> irqls;
  std::vector<bool> first_run;
  for (int round = 0; round < 2; ++round) {
    for (uint64_t seed = 1; seed <= 16; ++seed) {
      bus_.reset();
      device_.reset();
      kernel_.reset();
      host::KernelOptions ko;
      ko.seed = seed;
      kernel_ = host::Kernel::create(ko);
      Completion c = vendor_read(CompletionMode::Seeded);
      ASSERT_TRUE(wait(c));
      seen.insert(c.during_call);
      if (!c.during_call) irqls.insert(c.irql);
      if (round == 0) {
        first_run.push_back(c.during_call);
      } else {
        EXPECT_EQ(first_run[seed - 1], c.during_call) << "seed " << seed;
      }
    }
  }
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(irqls.size(), 2u);  // PASSIVE_LEVEL and DISPATCH_LEVEL both occur
}

// ---- Faults and removal -------------------------------------------------------------------

class FaultTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    start(hw::BusSpeed::Full);
    configure();
  }
  void TearDown() override {
    host::faults().reset();
    BusTest::TearDown();
  }
  void fault_vendor(UrbFault f) {
    host::faults().set_urb_rule(
        [f](uint16_t fn) { return fn == URB_FUNCTION_VENDOR_DEVICE ? f : UrbFault::None; });
  }
  NTSTATUS vendor(Completion* c) {
    usb_test::vendor_urb(&u_, true, 0, 1, buf_);
    return client_->send(&u_, c);
  }
  URB u_;
  uint8_t buf_[1];
};

TEST_F(FaultTest, FailImmediatelyReturnsTheError) {
  fault_vendor(UrbFault::FailImmediately);
  Completion c;
  EXPECT_EQ(vendor(&c), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(c.during_call);
  EXPECT_FALSE(c.pending_returned);
  EXPECT_TRUE(device_->controls.size() == 2u);  // only the configuration's requests
}

TEST_F(FaultTest, CompleteWithErrorPendsThenFails) {
  fault_vendor(UrbFault::CompleteWithError);
  Completion c;
  EXPECT_EQ(vendor(&c), STATUS_PENDING);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(c.usbd, USBD_STATUS_DEV_NOT_RESPONDING);
}

TEST_F(FaultTest, StallNeverCompletesUntilCancelled) {
  fault_vendor(UrbFault::Stall);
  Completion c;
  EXPECT_EQ(vendor(&c), STATUS_PENDING);
  scheduler().run_for(10 * host::kSecond);
  EXPECT_FALSE(c.done);
  // Later control requests wait behind it on the default pipe.
  host::faults().reset();
  URB u2;
  uint8_t b2[1];
  usb_test::vendor_urb(&u2, true, 0, 1, b2);
  Completion c2;
  client_->send(&u2, &c2);
  scheduler().run_for(10 * kMillisecond);
  EXPECT_FALSE(c2.done);
  IoCancelIrp(c.irp);
  EXPECT_EQ(c.status, STATUS_CANCELLED);
  ASSERT_TRUE(wait(c2));
  EXPECT_EQ(c2.status, STATUS_SUCCESS);
}

TEST_F(FaultTest, LateCompletesAfterTheExtraDelay) {
  fault_vendor(UrbFault::Late);
  Completion c;
  Nanoseconds t0 = scheduler().now();
  vendor(&c);
  ASSERT_TRUE(wait(c));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_GE(c.at - t0, bus_->options().late_delay);
  EXPECT_LE(c.at - t0, bus_->options().late_delay + kMillisecond);
}

TEST_F(FaultTest, RequestRuleSeesTheSetupAndPicksTheFault) {
  std::vector<host::usb::RequestInfo> seen;
  bus_->set_request_rule([&](const host::usb::RequestInfo& r) {
    seen.push_back(r);
    return seen.size() == 1 ? host::usb::RequestFault::Stall : host::usb::RequestFault::AtOnce;
  });
  Completion stalled, at_once;
  EXPECT_EQ(vendor(&stalled), STATUS_PENDING);
  ASSERT_TRUE(wait(stalled));
  EXPECT_EQ(stalled.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stalled.usbd, USBD_STATUS_STALL_PID);
  EXPECT_EQ(vendor(&at_once), STATUS_PENDING);
  EXPECT_TRUE(at_once.during_call);
  EXPECT_EQ(at_once.status, STATUS_SUCCESS);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[0].bulk);
  EXPECT_TRUE(seen[0].in);
  EXPECT_EQ(seen[0].setup.bmRequestType & 0x60, 0x40);  // vendor
  EXPECT_EQ(seen[0].function, URB_FUNCTION_VENDOR_DEVICE);
  bus_->set_request_rule(nullptr);
}

TEST_F(FaultTest, RequestRuleHangsABulkTransferUntilCancelled) {
  bus_->set_request_rule([](const host::usb::RequestInfo& r) {
    return r.bulk && (r.endpoint & 0x80) ? host::usb::RequestFault::Hang
                                         : host::usb::RequestFault::None;
  });
  std::vector<uint8_t> a(1536);
  URB ua;
  Completion ca;
  bulk(0, a.data(), 1536, kIn, &ua, &ca);
  scheduler().run_for(100 * kMillisecond);
  EXPECT_FALSE(ca.done);
  IoCancelIrp(ca.irp);
  EXPECT_TRUE(ca.done);
  EXPECT_EQ(ca.status, STATUS_CANCELLED);
  bus_->set_request_rule(nullptr);
}

TEST_F(FaultTest, NthSubmissionFailureFailsAtOnce) {
  host::faults().fail_nth(host::FaultSite::UrbSubmission, 2);
  Completion a, b;
  EXPECT_EQ(vendor(&a), STATUS_PENDING);
  ASSERT_TRUE(wait(a));
  EXPECT_EQ(vendor(&b), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(FaultTest, SurpriseRemovalFailsPendingAndNewRequests) {
  std::vector<uint8_t> a(1536);
  URB ua;
  Completion ca;
  bulk(0, a.data(), 1536, kIn, &ua, &ca);
  bus_->set_surprise_removed(true);
  scheduler().run_for(kMillisecond);
  EXPECT_TRUE(ca.done);
  EXPECT_EQ(ca.status, STATUS_DEVICE_NOT_CONNECTED);
  Completion c;
  EXPECT_EQ(vendor(&c), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(c.usbd, USBD_STATUS_DEVICE_GONE);
  bus_->set_surprise_removed(false);
  Completion d;
  EXPECT_EQ(vendor(&d), STATUS_PENDING);
  ASSERT_TRUE(wait(d));
  EXPECT_EQ(d.status, STATUS_SUCCESS);
}

}  // namespace
