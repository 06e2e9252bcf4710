// The link monitor and the media switching chains built from continuation
// steps on the asynchronous register machinery.
//
// A link chain starts when LinkPollTimer expires and ends in FinishLinkPoll,
// which indicates a pending media change and re-arms the poll. LinkPollBusy
// keeps one chain at a time: it is set by StartLinkPoll and cleared only by
// RearmLinkPoll (or by ClearLinkPollBusy for the stop sequence's own writes).
// While it is set, the continuation slots (NextStep, ResumeStep, StatusStep,
// StatusPhyAddress, StepDelayMs), RegReadBuffer and RegWriteBuffer belong to
// the holder. Each step stores its continuation, then starts exactly one
// asynchronous operation or calls the next step directly. No step waits.
#pragma once

#include "miniport/adapter.h"
#include "phy/phy.h"

namespace usbeth {

constexpr ULONG kLinkPollIntervalMs = 3000;
// Consecutive down polls after which the link monitor tries another PHY.
constexpr UCHAR kLinkDownPollsBeforeSwitch = 3;

// Vendor-specific MII registers written by the chains (the clause-22 ones are
// in phy/phy.h).
constexpr UCHAR kMiiVendor16 = 16;
constexpr UCHAR kMiiVendor23 = 23;
constexpr UCHAR kMiiVendor27 = 27;

// ---- Link monitor -----------------------------------------------------------

// NDIS timer routine of LinkPollTimer; the function context is the Adapter.
void NTAPI LinkPollTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                                PVOID SystemSpecific3);
ULONG StartLinkPoll(Adapter* adapter);
ULONG EvaluateLinkStatus(Adapter* adapter);
ULONG LinkStateChanged(Adapter* adapter);
ULONG FinishLinkPoll(Adapter* adapter);
// Ends the running chain: NextStep back to IdleStep, LinkPollBusy clear, the
// poll armed again unless the adapter is stopping. Also the way out of a chain
// whose next operation cannot be started.
ULONG RearmLinkPoll(Adapter* adapter);
// Connect or disconnect by LinkState; also called by the controller start.
void IndicateMediaStatus(Adapter* adapter);
// Fill RegWriteBuffer with the controller block that goes with the link:
// six bytes for 0x7C..0x81 on the home PHY, four for 0x7C..0x7F on the
// Ethernet PHY 0x00225410.
void FillHomeLinkPattern(Adapter* adapter);
void FillEthernetLinkPattern(Adapter* adapter);
ULONG WriteHomeLinkPattern(Adapter* adapter, StepRoutine next);
ULONG WriteEthernetLinkPattern(Adapter* adapter);
ULONG WriteLinkGpio(Adapter* adapter, ULONG link_state);
ULONG IdleStep(Adapter* adapter);
ULONG ClearLinkPollBusy(Adapter* adapter);
// Returns 1 and leaves the device alone: the multicast hash stays all ones.
ULONG ProgramMulticastList(Adapter* adapter, ULONG count);

// Blocking, PASSIVE_LEVEL only (stop path, after the timers are cancelled).
// 1 when LinkPollBusy was found clear within `rounds` 1 ms sleeps, else 2.
ULONG WaitLinkPollIdle(Adapter* adapter, USHORT rounds);
ULONG WriteLinkGpioWait(Adapter* adapter, ULONG link_state);
// Powers the PHYs down and writes the link-down patterns. From its start no
// link chain goes on and no link-monitor timer is armed again.
void PowerDownPhys(Adapter* adapter);

// ---- Switching chains -------------------------------------------------------

ULONG ResumeAfterDelay(Adapter* adapter);
ULONG SetGpioForHomePhy(Adapter* adapter, StepRoutine next);
ULONG SetGpioForEthernetPhy(Adapter* adapter, ULONG delay_ms, StepRoutine resume);
ULONG IsolateEthernetPhy(Adapter* adapter, StepRoutine next);
ULONG IsolateHomePhy(Adapter* adapter, StepRoutine next);
ULONG RestartHomePhy(Adapter* adapter, ULONG delay_ms, StepRoutine resume);
ULONG ReconfigureAfterLinkUp(Adapter* adapter);
ULONG SwitchAfterLinkLoss(Adapter* adapter);
ULONG ApplyLinkMode(Adapter* adapter);

// ---- Chain plumbing shared by the monitor and the switching chains ----------

// PHY roles. A missing PHY (index 255) has no address and is never active.
bool EthernetPhyAddress(const Adapter* adapter, UCHAR* address);
bool HomePhyAddress(const Adapter* adapter, UCHAR* address);
bool IsEthernetPhyActive(const Adapter* adapter);
bool IsHomePhyActive(const Adapter* adapter);

// True once the stop sequence has begun or the adapter is stopped.
bool LinkMonitorHalted(const Adapter* adapter);

// Each stores `next` (and what the operation needs) in the continuation slots
// and starts the chain's one asynchronous operation. When the adapter is
// stopping, or the operation cannot be started, the chain is ended with
// RearmLinkPoll instead and false is returned.
bool ChainPhyWrite(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value, StepRoutine next);
bool ChainPhyRead(Adapter* adapter, UCHAR phy_address, UCHAR reg, StepRoutine next);
bool ChainStatusRead(Adapter* adapter, UCHAR phy_address, StepRoutine next);
bool ChainRegisterWrite(Adapter* adapter, USHORT count, USHORT first_register, PUCHAR data,
                        StepRoutine next);
// The same, followed by a StepTimer delay of `delay_ms` before `resume` runs.
bool ChainPhyWriteThenDelay(Adapter* adapter, UCHAR phy_address, UCHAR reg, USHORT value,
                            ULONG delay_ms, StepRoutine resume);
bool ChainRegisterWriteThenDelay(Adapter* adapter, USHORT count, USHORT first_register, PUCHAR data,
                                 ULONG delay_ms, StepRoutine resume);
// Arms StepTimer; `next` runs when it expires (unless the adapter is stopping).
bool ChainDelay(Adapter* adapter, ULONG delay_ms, StepRoutine next);
// The step StepTimer runs for a chain: clears LinkChainTimerPending and runs
// ResumeStep, or ends the chain when the adapter is stopping.
ULONG StepDelayElapsed(Adapter* adapter);

}  // namespace usbeth
