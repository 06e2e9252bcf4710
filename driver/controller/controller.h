// Controller register operations: reset, enable, packet filter, speed and
// duplex bits, EEPROM and PHY power-up.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

void ResetController(Adapter* adapter);
void EnableController(Adapter* adapter);
ULONG ApplyPacketFilter(Adapter* adapter, UCHAR filter_mode);
void ComputeMediaBits(Adapter* adapter);
USHORT ReadEepromWord(Adapter* adapter, UCHAR word_index);
ULONG ReadPermanentAddress(Adapter* adapter);
ULONG PowerUpPhys(Adapter* adapter);

}  // namespace usbeth
