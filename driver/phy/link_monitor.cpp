// The link monitor: every 3 seconds a chain of continuation steps reads the
// active PHY's status, indicates connect or disconnect to NDIS, hands over to
// the switching chains when the link came up or stayed down, and re-arms the
// poll. Also the blocking stop sequence that powers the PHYs down.
//
// Lock discipline: none. LinkPollBusy (a plain byte) gives the asynchronous
// register machinery, the continuation slots and the register buffers to one
// owner at a time: the running chain, or one write of the stop sequence.
// LinkPollTimer is armed only with the flag clear, so an expiry never meets a
// chain of its own making.

#include "phy/link_monitor.h"

#include "controller/controller.h"
#include "miniport/miniport.h"
#include "phy/phy.h"
#include "usb/usb_transport.h"

namespace usbeth {

namespace {

constexpr ULONG kStopWaitRounds = 2000;  // 1 ms each
constexpr ULONG kGpioWriteWaitRounds = 1000;

// A start that returned 2 allocated nothing that will complete: no
// continuation comes for it.
bool Started(NTSTATUS status) {
  return status != static_cast<NTSTATUS>(kFailed);
}

// An index of a recorded PHY; kNoPhyIndex (255) is past every table.
bool ValidPhyIndex(const Adapter* adapter, UCHAR index) {
  return index < kMaxPhys && index < adapter->PhyCount;
}

void FillGpioPair(Adapter* adapter, ULONG link_state) {
  adapter->GpioWriteBuffer[0] = 0x06;
  adapter->GpioWriteBuffer[1] = link_state == kLinkDown ? 0x06 : 0x04;
}

// Stop sequence: the flag is held for one request until its completion runs
// ClearLinkPollBusy. A request that could not be started holds nothing.
bool StartStopRequest(Adapter* adapter, NTSTATUS status) {
  if (Started(status)) return true;
  StoreShared(adapter->LinkPollBusy, 0);
  return false;
}

bool StartStopWrite(Adapter* adapter, USHORT count, USHORT first_register, PUCHAR data) {
  StoreShared(adapter->LinkPollBusy, 1);
  adapter->NextStep = ClearLinkPollBusy;
  return StartStopRequest(adapter, WriteRegistersAsync(adapter, count, first_register, data));
}

// Ends the chain whose next operation is not to run or could not start.
bool EndChain(Adapter* adapter) {
  RearmLinkPoll(adapter);
  return false;
}

bool ContinueChain(Adapter* adapter, NTSTATUS status) {
  return Started(status) || EndChain(adapter);
}

// The stop sequence may go on only with nothing in flight. A wait that ran
// out while a write is still in flight leaves it alone.
bool StopPathIdle(Adapter* adapter) {
  return WaitLinkPollIdle(adapter, kStopWaitRounds) == kOk ||
         LoadShared(adapter->LinkPollBusy) == 0;
}

// Starts one write of the stop sequence and waits for its completion to
// clear the flag. False when the wait ran out with the write still in flight.
bool StopWriteAndWait(Adapter* adapter, USHORT count, USHORT first_register, PUCHAR data) {
  StartStopWrite(adapter, count, first_register, data);
  return WaitLinkPollIdle(adapter, kStopWaitRounds) == kOk;
}

// From here on no chain continues and no link-monitor timer is armed again,
// so that halt can free the adapter. A chain parked on StepTimer (cancelled
// by shutdown) will never run again: it keeps LinkPollBusy, with nothing of
// it in flight, and is marked so that a timer expiry already under way when
// the timer was cancelled does not run the rest of it.
// Returns whether such a chain holds the flag.
bool HaltLinkMonitor(Adapter* adapter) {
  ExchangeShared(adapter->LinkMonitorStopping, 1);
  BOOLEAN cancelled = FALSE;
  NdisMCancelTimer(&adapter->LinkPollTimer, &cancelled);
  NdisMCancelTimer(&adapter->StepTimer, &cancelled);
  // A StepTimer expiry already under way takes the same flag: whichever of
  // the two takes it owns the rest of the chain.
  return ExchangeShared(adapter->LinkChainTimerPending, 0) != 0;
}

}  // namespace

// The controller block 0x7C..0x81 that goes with the home PHY's link state.
void FillHomeLinkPattern(Adapter* adapter) {
  UCHAR* pattern = adapter->RegWriteBuffer;
  pattern[0] = adapter->LinkState == kLinkUp ? 0x26 : 0x36;
  pattern[1] = 0x00;
  pattern[2] = 0x26;
  pattern[3] = 0x34;
  pattern[4] = 0x00;
  pattern[5] = 0x06;
}

// The 16-bit pattern goes out as high byte, 0x00, 0x26, low byte.
void FillEthernetLinkPattern(Adapter* adapter) {
  USHORT value;
  if (adapter->LinkState != kLinkUp) {
    value = 0x3620;
  } else if (adapter->LinkSpeed == kSpeed10) {
    value = 0x2630;
  } else {
    value = 0x3430;
  }
  UCHAR* pattern = adapter->RegWriteBuffer;
  pattern[0] = static_cast<UCHAR>(value >> 8);
  pattern[1] = 0x00;
  pattern[2] = 0x26;
  pattern[3] = static_cast<UCHAR>(value & 0xFF);
}

// ---- PHY roles ----------------------------------------------------------------

bool EthernetPhyAddress(const Adapter* adapter, UCHAR* address) {
  if (!ValidPhyIndex(adapter, adapter->EthernetPhyIndex)) return false;
  *address = adapter->PhyAddressTable[adapter->EthernetPhyIndex];
  return true;
}

bool HomePhyAddress(const Adapter* adapter, UCHAR* address) {
  if (!ValidPhyIndex(adapter, adapter->HomePhyIndex)) return false;
  *address = adapter->PhyAddressTable[adapter->HomePhyIndex];
  return true;
}

bool IsEthernetPhyActive(const Adapter* adapter) {
  return ValidPhyIndex(adapter, adapter->EthernetPhyIndex) &&
         adapter->ActivePhyId == adapter->PhyIdTable[adapter->EthernetPhyIndex];
}

bool IsHomePhyActive(const Adapter* adapter) {
  return ValidPhyIndex(adapter, adapter->HomePhyIndex) &&
         adapter->ActivePhyId == adapter->PhyIdTable[adapter->HomePhyIndex];
}

bool LinkMonitorHalted(const Adapter* adapter) {
  return LoadShared(adapter->LinkMonitorStopping) != 0 ||
         LoadShared(adapter->AdapterState) == kStateStopped;
}

// ---- Chain plumbing -------------------------------------------------------------

bool ChainPhyWrite(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value, StepRoutine next) {
  if (LinkMonitorHalted(adapter)) return EndChain(adapter);
  adapter->NextStep = next;
  return ContinueChain(adapter, PhyWriteAsync(adapter, phy_address, reg, value));
}

bool ChainPhyRead(Adapter* adapter, UCHAR phy_address, UCHAR reg, StepRoutine next) {
  if (LinkMonitorHalted(adapter)) return EndChain(adapter);
  return ContinueChain(adapter, PhyReadAsync(adapter, phy_address, reg, next));
}

bool ChainStatusRead(Adapter* adapter, UCHAR phy_address, StepRoutine next) {
  if (LinkMonitorHalted(adapter)) return EndChain(adapter);
  return ContinueChain(adapter, ReadPhyStatusAsync(adapter, phy_address, next));
}

bool ChainRegisterWrite(Adapter* adapter, USHORT count, USHORT first_register, PUCHAR data,
                        StepRoutine next) {
  if (LinkMonitorHalted(adapter)) return EndChain(adapter);
  adapter->NextStep = next;
  return ContinueChain(adapter, WriteRegistersAsync(adapter, count, first_register, data));
}

bool ChainPhyWriteThenDelay(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value,
                            ULONG delay_ms, StepRoutine resume) {
  adapter->StepDelayMs = delay_ms;
  adapter->ResumeStep = resume;
  return ChainPhyWrite(adapter, phy_address, reg, value, ResumeAfterDelay);
}

bool ChainRegisterWriteThenDelay(Adapter* adapter, USHORT count, USHORT first_register, PUCHAR data,
                                 ULONG delay_ms, StepRoutine resume) {
  adapter->StepDelayMs = delay_ms;
  adapter->ResumeStep = resume;
  return ChainRegisterWrite(adapter, count, first_register, data, ResumeAfterDelay);
}

bool ChainDelay(Adapter* adapter, ULONG delay_ms, StepRoutine next) {
  if (LinkMonitorHalted(adapter)) return EndChain(adapter);
  adapter->ResumeStep = next;
  adapter->NextStep = StepDelayElapsed;
  StoreShared(adapter->LinkChainTimerPending, 1);
  StartStepTimer(adapter, delay_ms);
  return true;
}

ULONG StepDelayElapsed(Adapter* adapter) {
  // A chain the stop sequence gave up on: its flag is the stop sequence's now.
  if (ExchangeShared(adapter->LinkChainTimerPending, 0) == 0) return kOk;
  if (LinkMonitorHalted(adapter)) return RearmLinkPoll(adapter);
  return adapter->ResumeStep(adapter);
}

ULONG ResumeAfterDelay(Adapter* adapter) {
  ChainDelay(adapter, adapter->StepDelayMs, adapter->ResumeStep);
  return kOk;
}

// ---- The poll -------------------------------------------------------------------

void NTAPI LinkPollTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                                PVOID SystemSpecific3) {
  Adapter* adapter = static_cast<Adapter*>(FunctionContext);
  EnterTimerRoutine(adapter);
  if (LinkMonitorHalted(adapter)) {
    // Nothing more to watch.
  } else if (LoadShared(adapter->AdapterState) == kStateRunning &&
             LoadShared(adapter->LinkPollBusy) == 0) {
    StartLinkPoll(adapter);
  } else {
    // A reset is restarting the controller, or the machinery is lent out:
    // look again later rather than stop watching the link for the adapter's
    // life.
    StartLinkPollTimer(adapter, kLinkPollIntervalMs);
  }
  LeaveTimerRoutine(adapter);
}

ULONG StartLinkPoll(Adapter* adapter) {
  StoreShared(adapter->LinkPollBusy, 1);
  return ChainStatusRead(adapter, adapter->ActivePhyAddress, EvaluateLinkStatus) ? kOk : kFailed;
}

// A link that is up although its speed and duplex were never resolved: media
// setup found no link on either PHY at start (auto-negotiation outlasts the
// bring-up), so nothing chose the PHY, read the partner's abilities or
// isolated the other PHY. The link coming up is handled as a change so that
// the reconfiguration does all three.
static bool LinkUpWithoutMode(const Adapter* adapter) {
  return adapter->LinkState == kLinkUp && adapter->LinkSpeed == 0 && adapter->PhyCount != 0;
}

ULONG EvaluateLinkStatus(Adapter* adapter) {
  if (adapter->RegReadBuffer[0] & kStatusLink) {
    StoreShared(adapter->LinkState, kLinkUp);
    adapter->LinkDownCount = 0;
  } else {
    StoreShared(adapter->LinkState, kLinkDown);
    // A home PHY without an Ethernet PHY to move to is never switched away.
    bool nowhere_to_go = IsHomePhyActive(adapter) &&
                         (adapter->PhyCount == 1 ||
                          (adapter->PhyCount == 2 && adapter->EthernetPhyIndex == kNoPhyIndex));
    if (nowhere_to_go) {
      adapter->LinkDownCount = 0;
    } else {
      adapter->LinkDownCount++;
    }
    if (adapter->LinkDownCount >= kLinkDownPollsBeforeSwitch) {
      adapter->LinkDownCount = 0;
      return SwitchAfterLinkLoss(adapter);
    }
  }
  if (adapter->HandledLinkState == adapter->LinkState && !LinkUpWithoutMode(adapter)) {
    return FinishLinkPoll(adapter);
  }
  return LinkStateChanged(adapter);
}

ULONG LinkStateChanged(Adapter* adapter) {
  adapter->HandledLinkState = adapter->LinkState;
  adapter->LinkChangePending = 1;
  if (adapter->LinkState != kLinkUp) return FinishLinkPoll(adapter);
  // The PHY whose link came up is the one in use from now on; when start-up
  // chose none, later controller restarts must still set its media up.
  if (adapter->PhySelection == 0 && adapter->PhyCount != 0) adapter->PhySelection = 2;
  return ReconfigureAfterLinkUp(adapter);
}

ULONG FinishLinkPoll(Adapter* adapter) {
  if (adapter->LinkChangePending == 0 || LinkMonitorHalted(adapter)) {
    return RearmLinkPoll(adapter);
  }
  IndicateMediaStatus(adapter);
  switch (adapter->ActivePhyId) {
    case kPhyHomeA:
      return WriteHomeLinkPattern(adapter, RearmLinkPoll);
    case kPhyEthernet4:
      // Its completion runs FinishLinkPoll again, which then re-arms.
      return WriteEthernetLinkPattern(adapter);
    case kPhyHomeB:
      return WriteLinkGpio(adapter, adapter->LinkState);
    default:
      return RearmLinkPoll(adapter);
  }
}

ULONG RearmLinkPoll(Adapter* adapter) {
  adapter->NextStep = IdleStep;
  StoreShared(adapter->LinkChainTimerPending, 0);
  StoreShared(adapter->LinkPollBusy, 0);
  if (!LinkMonitorHalted(adapter)) StartLinkPollTimer(adapter, kLinkPollIntervalMs);
  return kOk;
}

void IndicateMediaStatus(Adapter* adapter) {
  NDIS_STATUS status;
  if (adapter->LinkState == kLinkUp) {
    status = NDIS_STATUS_MEDIA_CONNECT;
  } else if (adapter->LinkState == kLinkDown) {
    status = NDIS_STATUS_MEDIA_DISCONNECT;
  } else {
    return;
  }
  NdisMIndicateStatus(adapter->MiniportAdapterHandle, status, NULL, 0);
  NdisMIndicateStatusComplete(adapter->MiniportAdapterHandle);
  adapter->LinkChangePending = 0;
}

// ---- PHY-kind controller writes ---------------------------------------------------

ULONG WriteHomeLinkPattern(Adapter* adapter, StepRoutine next) {
  FillHomeLinkPattern(adapter);
  return ChainRegisterWrite(adapter, 6, kRegPhyKindBlock, adapter->RegWriteBuffer, next) ? kOk
                                                                                         : kFailed;
}

ULONG WriteEthernetLinkPattern(Adapter* adapter) {
  FillEthernetLinkPattern(adapter);
  return ChainRegisterWrite(adapter, 4, kRegPhyKindBlock, adapter->RegWriteBuffer, FinishLinkPoll)
             ? kOk
             : kFailed;
}

ULONG WriteLinkGpio(Adapter* adapter, ULONG link_state) {
  FillGpioPair(adapter, link_state);
  ChainRegisterWrite(adapter, 2, kRegGpioPair, adapter->GpioWriteBuffer, RearmLinkPoll);
  return kOk;
}

ULONG IdleStep(Adapter* adapter) {
  return kOk;
}

ULONG ClearLinkPollBusy(Adapter* adapter) {
  StoreShared(adapter->LinkPollBusy, 0);
  return kOk;
}

ULONG ProgramMulticastList(Adapter* adapter, ULONG count) {
  return kOk;
}

// ---- Blocking stop path -------------------------------------------------------------

ULONG WaitLinkPollIdle(Adapter* adapter, USHORT rounds) {
  USHORT done = 0;
  while (done < rounds && LoadShared(adapter->LinkPollBusy)) {
    SleepMicroseconds(1000);
    done++;
  }
  return done == rounds ? kFailed : kOk;
}

ULONG WriteLinkGpioWait(Adapter* adapter, ULONG link_state) {
  if (WaitLinkPollIdle(adapter, kStopWaitRounds) != kOk) return kFailed;
  FillGpioPair(adapter, link_state);
  if (!StartStopWrite(adapter, 2, kRegGpioPair, adapter->GpioWriteBuffer)) return kFailed;
  // A write still in flight keeps the flag until its completion clears it,
  // so nobody starts another request over it.
  return WaitLinkPollIdle(adapter, kGpioWriteWaitRounds);
}

// The first two writes wait up to 2 seconds for the flag to be clear and are
// skipped when it is not; the link-pattern writes after them do not wait for
// it when it is held only by a chain parked on the cancelled StepTimer, which
// has nothing in flight. Every write then waits for its own completion; one
// that outlasts that wait is still in flight, and no further write starts
// over it.
void PowerDownPhys(Adapter* adapter) {
  const bool parked = HaltLinkMonitor(adapter);

  bool in_flight = false;
  UCHAR home_address = 0;
  if (adapter->EthernetPhyIndex != kNoPhyIndex &&
      WaitLinkPollIdle(adapter, kStopWaitRounds) == kOk) {
    adapter->GpioWriteBuffer[0] = 0x30;
    adapter->GpioWriteBuffer[1] = 0x00;
    in_flight = !StopWriteAndWait(adapter, 2, kRegGpioPair, adapter->GpioWriteBuffer);
  }
  if (HomePhyAddress(adapter, &home_address) && WaitLinkPollIdle(adapter, kStopWaitRounds) == kOk) {
    StoreShared(adapter->LinkPollBusy, 1);
    adapter->NextStep = ClearLinkPollBusy;
    StartStopRequest(adapter,
                     PhyWriteAsync(adapter, home_address, kMiiControl, kControlPowerDownIsolate));
    if (adapter->ActivePhyId == kPhyHomeB) WriteLinkGpioWait(adapter, kLinkDown);
    in_flight = WaitLinkPollIdle(adapter, kStopWaitRounds) != kOk;
  }
  const bool held_by_parked_chain = parked && !in_flight;
  if (adapter->ActivePhyId != kPhyEthernet4 && adapter->ActivePhyId != kPhyHomeA) return;
  if (LoadShared(adapter->LinkPollBusy) && !held_by_parked_chain && !StopPathIdle(adapter)) return;
  if (adapter->ActivePhyId == kPhyEthernet4) {
    StoreShared(adapter->LinkState, kLinkDown);
    FillEthernetLinkPattern(adapter);
    StopWriteAndWait(adapter, 4, kRegPhyKindBlock, adapter->RegWriteBuffer);
  }
  if (adapter->ActivePhyId == kPhyHomeA) {
    StoreShared(adapter->LinkState, kLinkDown);
    FillHomeLinkPattern(adapter);
    StopWriteAndWait(adapter, 6, kRegPhyKindBlock, adapter->RegWriteBuffer);
  }
}

}  // namespace usbeth
