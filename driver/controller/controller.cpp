// Controller start and stop steps: reset, enable, the speed and duplex bits of
// receive control 1, and the power-up writes that bring the PHYs out of reset.
#include "controller/controller.h"

#include "phy/phy.h"
#include "usb/usb_transport.h"

namespace usbeth {

namespace {

constexpr ULONG kControllerSettleUs = 1000;
constexpr ULONG kPhyResetAssertUs = 5000;
constexpr ULONG kPhyResetReleaseUs = 10000;

// GPIO pair 0x7E..0x7F at power-up: hold the PHYs' reset line, then release it.
constexpr UCHAR kGpioPhyResetHeld[2] = {0x24, 0x06};
constexpr UCHAR kGpioPhyResetReleased[2] = {0x26, 0x04};
constexpr UCHAR kPowerUpPair[2] = {0x02, 0x00};

void WritePair(Adapter* adapter, USHORT first_register, const UCHAR (&bytes)[2]) {
  adapter->RegWriteBuffer[0] = bytes[0];
  adapter->RegWriteBuffer[1] = bytes[1];
  WriteRegisters(adapter, 2, first_register);
}

}  // namespace

void ResetController(Adapter* adapter) {
  // Receiver and MAC off (registers 0x00, 0x01), then the MAC reset bit with
  // register 0x02 cleared. The shadows keep their values for EnableController.
  adapter->RegWriteBuffer[0] = 0x00;
  adapter->RegWriteBuffer[1] = 0x00;
  WriteRegisters(adapter, 2, kRegRxControl0);
  SleepMicroseconds(kControllerSettleUs);

  adapter->RegWriteBuffer[0] = kRxControl1Reset;
  adapter->RegWriteBuffer[1] = 0x00;
  WriteRegisters(adapter, 2, kRegRxControl1);
  SleepMicroseconds(kControllerSettleUs);
}

void EnableController(Adapter* adapter) {
  // Enabling drops the all-multicast bit and the filter bits of register 0x02;
  // the next packet-filter set puts them back.
  adapter->RxControl0 = kRxControl0Enable;
  adapter->RegWriteBuffer[0] = kRxControl0Enable;
  adapter->RegWriteBuffer[1] = adapter->RxControl1;
  adapter->RegWriteBuffer[2] = 0x00;
  WriteRegisters(adapter, 3, kRegRxControl0);
  SleepMicroseconds(kControllerSettleUs);
}

void ComputeMediaBits(Adapter* adapter) {
  adapter->RxControl1 = 0;
  // The 1 Mb/s home-network PHY of this kind runs the MAC at its default mode.
  if (adapter->ActivePhyId == kPhyHomeA) return;
  if (adapter->LinkSpeed == kSpeed100) adapter->RxControl1 = kRxControl1Speed100;
  if (adapter->LinkDuplex == kDuplexFull) adapter->RxControl1 |= kRxControl1FullDuplex;
}

ULONG PowerUpPhys(Adapter* adapter) {
  WritePair(adapter, kRegGpioPair, kGpioPhyResetHeld);
  SleepMicroseconds(kPhyResetAssertUs);
  WritePair(adapter, kRegGpioPair, kGpioPhyResetReleased);
  SleepMicroseconds(kPhyResetReleaseUs);
  adapter->LinkDownCount = 0;
  WritePair(adapter, kRegPowerUpPair, kPowerUpPair);

  if (ScanPhys(adapter) == kOk) {
    ULONG result = SelectPhy(adapter);
    SelectPhyAddress(adapter, adapter->ActivePhyAddress);
    return result;
  }

  // No PHY answered: carry on as if the first Ethernet kind sat at address 0.
  // PhySelection stays 0, so media setup leaves the (absent) PHY alone.
  adapter->ActivePhyAddress = 0;
  adapter->HomePhyMode = kNoPhy;
  adapter->ActivePhyId = kPhyEthernet1;
  SelectPhyAddress(adapter, 0);
  return kOk;
}

}  // namespace usbeth
