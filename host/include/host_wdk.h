// Host kernel: everything the driver may include, under the DDK's names.
#pragma once

#include "wdk_nt.h"
#include "wdk_ndis.h"
#include "wdk_usb.h"
