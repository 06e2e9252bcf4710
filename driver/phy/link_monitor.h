// The link monitor and the media switching chains built from continuation
// steps on the asynchronous register machinery.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

void NTAPI LinkPollTimerExpired(PVOID SystemSpecific1, PVOID FunctionContext,
                                PVOID SystemSpecific2, PVOID SystemSpecific3);
ULONG StartLinkPoll(Adapter* adapter);
ULONG EvaluateLinkStatus(Adapter* adapter);
ULONG LinkStateChanged(Adapter* adapter);
ULONG FinishLinkPoll(Adapter* adapter);
ULONG RearmLinkPoll(Adapter* adapter);
void IndicateMediaStatus(Adapter* adapter);
ULONG WriteHomeLinkPattern(Adapter* adapter, StepRoutine next);
ULONG WriteEthernetLinkPattern(Adapter* adapter);
ULONG WriteLinkGpio(Adapter* adapter, ULONG link_state);
ULONG WaitLinkPollIdle(Adapter* adapter, USHORT rounds);
ULONG WriteLinkGpioWait(Adapter* adapter, ULONG link_state);
void PowerDownPhys(Adapter* adapter);
ULONG IdleStep(Adapter* adapter);
ULONG ClearLinkPollBusy(Adapter* adapter);
ULONG ProgramMulticastList(Adapter* adapter, ULONG count);

// Switching chains
ULONG ResumeAfterDelay(Adapter* adapter);
ULONG SetGpioForHomePhy(Adapter* adapter, StepRoutine next);
ULONG SetGpioForEthernetPhy(Adapter* adapter, ULONG delay_ms, StepRoutine resume);
ULONG IsolateEthernetPhy(Adapter* adapter, StepRoutine next);
ULONG IsolateHomePhy(Adapter* adapter, StepRoutine next);
ULONG RestartHomePhy(Adapter* adapter, ULONG delay_ms, StepRoutine resume);
ULONG ReconfigureAfterLinkUp(Adapter* adapter);
ULONG SwitchAfterLinkLoss(Adapter* adapter);
ULONG ApplyLinkMode(Adapter* adapter);

}  // namespace usbeth
