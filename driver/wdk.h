// The one platform include of the driver. On Windows it is the DDK; in the
// host kernel it is the host's DDK-named declarations. Nothing else in driver/
// knows which of the two it is built against.
#pragma once

#if defined(USBETH_HOST_KERNEL)
#include "host_wdk.h"
#else
#ifndef NDIS_MINIPORT_DRIVER
#define NDIS_MINIPORT_DRIVER 1
#endif
#ifndef NDIS50_MINIPORT
#define NDIS50_MINIPORT 1
#endif
extern "C" {
#include <ntddk.h>
#include <ndis.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
#endif
