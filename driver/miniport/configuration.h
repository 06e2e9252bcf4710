// Registry settings of an adapter, read once at start.
#pragma once

#include "miniport/adapter.h"

namespace usbeth {

ULONG ReadConfiguration(Adapter* adapter);

}  // namespace usbeth
