// MII management access through the controller's command block at registers
// 0x25..0x28, synchronously (bring-up and controller start) and as steps of
// the asynchronous chains (link monitor).
#include "controller/controller.h"
#include "phy/link_monitor.h"
#include "phy/phy.h"
#include "usb/usb_transport.h"

namespace usbeth {

namespace {

constexpr USHORT kMiiBlockLength = 4;

void FillCommandBlock(Adapter* adapter, UCHAR phy_address, UCHAR command, USHORT value) {
  adapter->RegWriteBuffer[0] = phy_address;
  adapter->RegWriteBuffer[1] = static_cast<UCHAR>(value & 0xFF);
  adapter->RegWriteBuffer[2] = static_cast<UCHAR>(value >> 8);
  adapter->RegWriteBuffer[3] = command;
}

}  // namespace

// The done bit is tested on the read-back made right after the command, then
// on at most kMiiDoneRetries further read-backs, each followed by a 100 us
// sleep. A controller whose done bit never shows costs about a millisecond
// and the write returns all the same. A read-back whose request failed holds
// stale bytes and never counts as done; one request that failed for want of
// an IRP or was refused once is no reason to give up, but once the device has
// stopped answering altogether polling ends at once.
void PhyWrite(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value) {
  FillCommandBlock(adapter, phy_address, static_cast<UCHAR>(reg | kMiiWriteCommand), value);
  WriteRegisters(adapter, kMiiBlockLength, kRegMiiAddress);
  for (ULONG attempt = 0; attempt <= kMiiDoneRetries; ++attempt) {
    if (DeviceStoppedAnswering(adapter)) return;
    ULONG read = ReadRegisters(adapter, 2, kRegMiiControl);
    SleepMicroseconds(kMiiPollDelayUs);
    if (read == kOk && (adapter->RegReadBuffer[0] & kMiiDone) != 0) return;
  }
}

// As PhyWrite, reading back the whole block (0x25..0x28) so that the data of
// the read-back that shows the done bit is the value stored. When none shows
// it, the data of the last read-back that arrived is stored; when none
// arrived at all, 0xFFFF, the value of an MII bus nobody answers on.
void PhyRead(Adapter* adapter, UCHAR phy_address, UCHAR reg, PUSHORT value) {
  FillCommandBlock(adapter, phy_address, static_cast<UCHAR>(reg | kMiiReadCommand), 0);
  WriteRegisters(adapter, kMiiBlockLength, kRegMiiAddress);
  USHORT result = kMiiNoAnswer;
  for (ULONG attempt = 0; attempt <= kMiiDoneRetries; ++attempt) {
    if (DeviceStoppedAnswering(adapter)) break;
    ULONG read = ReadRegisters(adapter, kMiiBlockLength, kRegMiiAddress);
    SleepMicroseconds(kMiiPollDelayUs);
    if (read != kOk) continue;
    result = static_cast<USHORT>((adapter->RegReadBuffer[2] << 8) | adapter->RegReadBuffer[1]);
    if ((adapter->RegReadBuffer[3] & kMiiDone) != 0) break;
  }
  *value = result;
}

// A read command for the register numbered like the address, never collected:
// what matters is that register 0x25 now holds the address.
void SelectPhyAddress(Adapter* adapter, UCHAR phy_address) {
  FillCommandBlock(adapter, phy_address,
                   static_cast<UCHAR>(kMiiReadCommand | (phy_address & kMiiRegisterMask)), 0);
  WriteRegisters(adapter, kMiiBlockLength, kRegMiiAddress);
}

NTSTATUS PhyWriteAsync(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value) {
  FillCommandBlock(adapter, phy_address, static_cast<UCHAR>(reg | kMiiWriteCommand), value);
  return WriteRegistersAsync(adapter, kMiiBlockLength, kRegMiiAddress, adapter->RegWriteBuffer);
}

NTSTATUS PhyReadCommandAsync(Adapter* adapter, UCHAR phy_address, UCHAR reg) {
  FillCommandBlock(adapter, phy_address, static_cast<UCHAR>(reg | kMiiReadCommand), 0);
  return WriteRegistersAsync(adapter, kMiiBlockLength, kRegMiiAddress, adapter->RegWriteBuffer);
}

NTSTATUS PhyReadAsync(Adapter* adapter, UCHAR phy_address, UCHAR reg, StepRoutine next) {
  adapter->ResumeStep = next;
  adapter->NextStep = PhyReadDataStep;
  return PhyReadCommandAsync(adapter, phy_address, reg);
}

// The command write has completed: collect the data registers, then resume.
// These steps run inside a link-monitor chain; a request that cannot be
// started ends the chain so that polling goes on.
ULONG PhyReadDataStep(Adapter* adapter) {
  adapter->NextStep = adapter->ResumeStep;
  if (ReadRegistersAsync(adapter, 2, kRegMiiData) == static_cast<NTSTATUS>(kFailed)) {
    return RearmLinkPoll(adapter);
  }
  return kOk;
}

NTSTATUS ReadPhyStatusAsync(Adapter* adapter, UCHAR phy_address, StepRoutine next) {
  adapter->StatusPhyAddress = phy_address;
  adapter->StatusStep = next;
  return PhyReadAsync(adapter, phy_address, kMiiStatus, PhyStatusCheckStep);
}

// A status read of an MII address nobody answers on reads all ones; it is
// handed on as zero so that no bit of it, link least of all, is believed.
static void ForgetUnansweredStatus(Adapter* adapter) {
  if (adapter->RegReadBuffer[0] == 0xFF && adapter->RegReadBuffer[1] == 0xFF) {
    adapter->RegReadBuffer[0] = 0;
    adapter->RegReadBuffer[1] = 0;
  }
}

static ULONG PhyStatusSecondReadStep(Adapter* adapter) {
  ForgetUnansweredStatus(adapter);
  return adapter->StatusStep(adapter);
}

// The link bit latches low until read: when the first read shows it clear,
// the second read gives the current state.
ULONG PhyStatusCheckStep(Adapter* adapter) {
  ForgetUnansweredStatus(adapter);
  if ((adapter->RegReadBuffer[0] & kStatusLink) != 0) return adapter->StatusStep(adapter);
  if (PhyReadAsync(adapter, adapter->StatusPhyAddress, kMiiStatus, PhyStatusSecondReadStep) ==
      static_cast<NTSTATUS>(kFailed)) {
    return RearmLinkPoll(adapter);
  }
  return kOk;
}

}  // namespace usbeth
