// Register access and URB submission, as the device and the bus see them.

#include <gtest/gtest.h>

#include <memory>

#include "driver_rig.h"
#include "nt/debug.h"
#include "usb/usb_transport.h"

namespace usbeth_test {
namespace {

constexpr uint32_t kWdmTag = 0x206D6457;  // "Wdm "

int g_steps = 0;
ULONG CountStep(usbeth::Adapter*) {
  ++g_steps;
  return usbeth::kOk;
}

// The transport on its own: an Adapter that knows only its lower device,
// talking to a configured board through the spy and the bus.
class TransportTest : public ::testing::Test {
 protected:
  TransportTest() : rig_(Options()), adapter_(new usbeth::Adapter()) {
    adapter_->LowerDevice = rig_.spy->device();
    adapter_->IrpStackSize = static_cast<UCHAR>(rig_.spy->device()->StackSize + 1);
    KeInitializeSpinLock(&adapter_->AsyncIrpLock);
    adapter_->NextStep = CountStep;
    g_steps = 0;
  }
  ~TransportTest() override { host::faults().reset(); }
  static RigOptions Options() {
    RigOptions o;
    o.load_driver = false;
    return o;
  }
  // Every request of one URB function gets the fault.
  static void FaultVendorRequests(host::UrbFault fault) {
    host::faults().set_urb_rule([fault](uint16_t function) {
      return function == URB_FUNCTION_VENDOR_DEVICE ? fault : host::UrbFault::None;
    });
  }
  hw::ControlRecord LastControl() { return rig_.board->control_log().back(); }
  void ExpectNothingLive() {
    EXPECT_EQ(host::live_pool_blocks_with_tag(kWdmTag), 0u);
    EXPECT_EQ(host::counters().irps_live, 0);
    EXPECT_EQ(rig_.bus->pending_irps(), 0u);
  }

  DriverRig rig_;
  std::unique_ptr<usbeth::Adapter> adapter_;
};

TEST_F(TransportTest, OneByteWriteCarriesTheValueInWValue) {
  adapter_->RegWriteBuffer[0] = 0x05;
  EXPECT_EQ(usbeth::WriteRegisters(adapter_.get(), 1, 0x7F), usbeth::kOk);
  hw::ControlRecord c = LastControl();
  EXPECT_EQ(c.setup.bmRequestType, 0x40);
  EXPECT_EQ(c.setup.bRequest, 0xF1);
  EXPECT_EQ(c.setup.wValue, 0x0005);
  EXPECT_EQ(c.setup.wIndex, 0x007F);
  EXPECT_EQ(c.setup.wLength, 1);
  EXPECT_EQ(rig_.board->values_written_to(0x7F), std::vector<uint8_t>{0x05});
  const SeenUrb& u = rig_.spy->urbs.back();
  EXPECT_EQ(u.length, 80);
  EXPECT_EQ(u.urb().UrbControlVendorClassRequest.TransferFlags, 0u);
  EXPECT_EQ(u.data, std::vector<uint8_t>{0x05});
}

TEST_F(TransportTest, MultiByteAndAsynchronousWritesSendValueZero) {
  adapter_->RegWriteBuffer[0] = 0x12;
  adapter_->RegWriteBuffer[1] = 0x34;
  EXPECT_EQ(usbeth::WriteRegisters(adapter_.get(), 2, 0x1C), usbeth::kOk);
  EXPECT_EQ(LastControl().setup.wValue, 0);
  EXPECT_EQ(rig_.board->peek_registers(0x1C, 2), (std::vector<uint8_t>{0x12, 0x34}));

  UCHAR data[1] = {0x05};
  usbeth::WriteRegistersAsync(adapter_.get(), 1, 0x7F, data);
  rig_.scheduler().run_until_idle(host::kSecond);
  hw::ControlRecord c = LastControl();
  EXPECT_EQ(c.setup.wValue, 0);
  EXPECT_EQ(c.setup.wIndex, 0x7F);
  EXPECT_EQ(rig_.board->values_written_to(0x7F), std::vector<uint8_t>{0x05});
  EXPECT_EQ(g_steps, 1);
  EXPECT_EQ(adapter_->AsyncWriteUrb, nullptr);
  ExpectNothingLive();
}

TEST_F(TransportTest, ReadOfSixRegistersFillsTheReadBuffer) {
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kOk);
  std::vector<uint8_t> got(adapter_->RegReadBuffer, adapter_->RegReadBuffer + 6);
  EXPECT_EQ(got, rig_.board->peek_registers(0x10, 6));
  EXPECT_EQ(got, (std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0x01}));
  hw::ControlRecord c = LastControl();
  EXPECT_EQ(c.setup.bmRequestType, 0xC0);
  EXPECT_EQ(c.setup.bRequest, 0xF0);
  EXPECT_EQ(c.setup.wValue, 0);
  EXPECT_EQ(c.setup.wIndex, 0x10);
  EXPECT_EQ(c.setup.wLength, 6);
  EXPECT_EQ(rig_.spy->urbs.back().urb().UrbControlVendorClassRequest.TransferFlags,
            static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
}

TEST_F(TransportTest, RequestsTheBusOrTheDeviceRefusesAreNotDone) {
  URB urb{};
  urb.UrbHeader.Length = 80;
  urb.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
  // Refused by the bus driver at once.
  FaultVendorRequests(host::UrbFault::FailImmediately);
  EXPECT_EQ(usbeth::SubmitUrbSync(adapter_.get(), &urb), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 1, 0x00), usbeth::kFailed);
  // Pended, then completed with an error.
  FaultVendorRequests(host::UrbFault::CompleteWithError);
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kFailed);
  EXPECT_EQ(usbeth::WriteRegisters(adapter_.get(), 1, 0x7F), usbeth::kFailed);
  host::faults().reset();
  // Stalled by the device itself: the buffer holds no answer.
  rig_.board->set_vendor_stall_rule([](const hw::SetupPacket&) { return true; });
  std::memset(adapter_->RegReadBuffer, 0xA5, sizeof adapter_->RegReadBuffer);
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kFailed);
  EXPECT_EQ(rig_.board->control_log().back().handshake, hw::Handshake::Stall);
  EXPECT_EQ(usbeth::WriteRegisters(adapter_.get(), 1, 0x7F), usbeth::kFailed);
  EXPECT_TRUE(rig_.board->values_written_to(0x7F).empty());
  rig_.board->set_vendor_stall_rule(nullptr);
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kOk);
  ExpectNothingLive();
}

// A lower device that completes every request at once with the IRP status
// and URB status given, reporting `answered` bytes of data.
class AnsweringDevice {
 public:
  AnsweringDevice() {
    std::memset(&driver_, 0, sizeof(driver_));
    std::memset(&device_, 0, sizeof(device_));
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &AnsweringDevice::Dispatch;
    device_.DriverObject = &driver_;
    device_.DeviceExtension = this;
    device_.StackSize = 1;
  }
  PDEVICE_OBJECT device() { return &device_; }
  NTSTATUS irp_status = STATUS_SUCCESS;
  USBD_STATUS urb_status = USBD_STATUS_SUCCESS;
  ULONG answered = 0;

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<AnsweringDevice*>(device->DeviceExtension);
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = self->urb_status;
    auto& r = urb->UrbControlVendorClassRequest;
    if (self->answered < r.TransferBufferLength) r.TransferBufferLength = self->answered;
    irp->IoStatus.Status = self->irp_status;
    irp->IoStatus.Information = 0;
    const NTSTATUS status = self->irp_status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  DRIVER_OBJECT driver_;
  DEVICE_OBJECT device_;
};

TEST_F(TransportTest, ReadIsDoneOnlyWithBothStatusesGoodAndEveryByteThere) {
  AnsweringDevice lower;
  adapter_->LowerDevice = lower.device();
  adapter_->IrpStackSize = 2;
  lower.answered = 6;
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kOk);
  // The IRP succeeded, the request did not.
  lower.urb_status = USBD_STATUS_STALL_PID;
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kFailed);
  lower.urb_status = USBD_STATUS_SUCCESS;
  // A short answer.
  lower.answered = 5;
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kFailed);
  // The IRP failed.
  lower.answered = 6;
  lower.irp_status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kFailed);
  EXPECT_EQ(host::counters().irps_live, 0);
}

TEST_F(TransportTest, AfterOneTimeoutTheRestOfTheSequenceDoesNotWait) {
  FaultVendorRequests(host::UrbFault::Stall);
  host::clear_debug_output();
  const host::Nanoseconds start = rig_.now();
  URB urb{};
  urb.UrbControlVendorClassRequest.Hdr.Length = 80;
  urb.UrbControlVendorClassRequest.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  urb.UrbControlVendorClassRequest.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  urb.UrbControlVendorClassRequest.TransferBuffer = adapter_->RegReadBuffer;
  urb.UrbControlVendorClassRequest.TransferBufferLength = 1;
  urb.UrbControlVendorClassRequest.Request = 0xF0;
  EXPECT_EQ(usbeth::SubmitUrbSync(adapter_.get(), &urb), STATUS_IO_TIMEOUT);
  const host::Nanoseconds waited = rig_.now() - start;
  EXPECT_GE(waited, 10 * host::kSecond);
  EXPECT_LT(waited, 11 * host::kSecond);
  // The cancelled IRP has completed into this frame before the return.
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  ExpectNothingLive();
  ASSERT_EQ(host::debug_output().size(), 1u);
  EXPECT_NE(host::debug_output()[0].find("did not answer"), std::string::npos);

  // The rest of the sequence fails at once and never reaches the bus.
  const size_t sent = rig_.spy->urbs.size();
  const host::Nanoseconds after = rig_.now();
  EXPECT_EQ(usbeth::WriteRegisters(adapter_.get(), 1, 0x7F), usbeth::kFailed);
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kFailed);
  EXPECT_EQ(rig_.now(), after);
  EXPECT_EQ(rig_.spy->urbs.size(), sent);
  EXPECT_EQ(rig_.bus->stats().cancelled, 1u);
  EXPECT_EQ(host::debug_output().size(), 1u);
  // A pipe abort, which the host controller carries out alone, still goes
  // down (this one names no pipe and is refused by the bus).
  URB abort{};
  abort.UrbPipeRequest.Hdr.Length = 24;
  abort.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  EXPECT_NE(usbeth::SubmitUrbSync(adapter_.get(), &abort), STATUS_IO_TIMEOUT);
  ASSERT_EQ(rig_.spy->urbs.size(), sent + 1);
  EXPECT_EQ(rig_.spy->urbs.back().function, URB_FUNCTION_ABORT_PIPE);

  // A new sequence gives the device its full time again.
  usbeth::BeginDeviceSequence(adapter_.get());
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kFailed);
  EXPECT_GE(rig_.now() - after, 10 * host::kSecond);
  EXPECT_EQ(rig_.bus->stats().cancelled, 2u);
  host::faults().reset();
  usbeth::BeginDeviceSequence(adapter_.get());
  EXPECT_EQ(usbeth::ReadRegisters(adapter_.get(), 6, 0x10), usbeth::kOk);
  ExpectNothingLive();
}

TEST_F(TransportTest, AsynchronousReadThatFailsRunsTheNextStepAndFreesOnce) {
  FaultVendorRequests(host::UrbFault::CompleteWithError);
  usbeth::ReadRegistersAsync(adapter_.get(), 1, 0x28);
  rig_.scheduler().run_until_idle(host::kSecond);
  EXPECT_EQ(g_steps, 1);
  EXPECT_EQ(adapter_->AsyncReadUrb, nullptr);
  EXPECT_EQ(adapter_->AsyncRequestsOutstanding, 0);
  ExpectNothingLive();
}

TEST_F(TransportTest, AsynchronousRequestWithoutIrpLeavesNoUrbBehind) {
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 1);
  EXPECT_EQ(usbeth::ReadRegistersAsync(adapter_.get(), 1, 0x28), 2);
  EXPECT_EQ(adapter_->AsyncReadUrb, nullptr);
  host::faults().fail_nth(host::FaultSite::IrpAllocation, 1);
  UCHAR data[1] = {1};
  EXPECT_EQ(usbeth::WriteRegistersAsync(adapter_.get(), 1, 0x7F, data), 2);
  EXPECT_EQ(adapter_->AsyncWriteUrb, nullptr);
  rig_.scheduler().run_until_idle(host::kSecond);
  EXPECT_EQ(g_steps, 0);
  EXPECT_TRUE(rig_.spy->urbs.empty());
  ExpectNothingLive();
}

TEST_F(TransportTest, AsynchronousRequestWithoutUrbSendsNothing) {
  host::faults().fail_nth(host::FaultSite::PoolAllocation, 1);
  EXPECT_EQ(usbeth::ReadRegistersAsync(adapter_.get(), 1, 0x28), 2);
  rig_.scheduler().run_until_idle(host::kSecond);
  EXPECT_EQ(g_steps, 0);
  EXPECT_TRUE(rig_.spy->urbs.empty());
  ExpectNothingLive();
}

TEST_F(TransportTest, CancellingAStalledAsynchronousRequestEndsItOnce) {
  FaultVendorRequests(host::UrbFault::Stall);
  usbeth::ReadRegistersAsync(adapter_.get(), 1, 0x28);
  rig_.RunFor(2 * host::kSecond);
  EXPECT_EQ(g_steps, 0);
  EXPECT_EQ(adapter_->AsyncRequestsOutstanding, 1);
  usbeth::CancelAsyncRegisterRequests(adapter_.get());
  rig_.scheduler().run_until_idle(host::kSecond);
  EXPECT_EQ(g_steps, 1);
  EXPECT_EQ(adapter_->AsyncRequestsOutstanding, 0);
  // Nothing left to cancel: a second call is harmless.
  usbeth::CancelAsyncRegisterRequests(adapter_.get());
  ExpectNothingLive();
}

}  // namespace
}  // namespace usbeth_test
