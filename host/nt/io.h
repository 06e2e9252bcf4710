// Host-internal I/O manager helpers: driver and device objects for drivers
// that live in the host (the USB bus driver), and the IRP verifier's report.
//
// Bug check codes raised by the IRP calls:
//   MULTIPLE_IRP_COMPLETE_REQUESTS  an IRP completed twice
//   IRP_DOUBLE_FREE                 IoFreeIrp twice (or of a freed IRP)
//   BAD_IRP                         an address that is not a live IRP
//   IRP_FREED_AT_LOWER_DRIVER       IoFreeIrp while a lower driver holds it
//   IRP_FREED_WHILE_OWNED           freed by a completion routine that then let
//                                   completion continue (no MORE_PROCESSING_REQUIRED)
//   IRP_PASSED_DOWN_TWICE           IofCallDriver again while a lower driver holds it
//   NO_MORE_IRP_STACK_LOCATIONS     IofCallDriver with no stack location left
//   IRP_COMPLETED_WITHOUT_OWNER     a driver-allocated IRP completed to the top
//                                   with no routine keeping it
//   IRP_COMPLETED_PENDING           IofCompleteRequest with STATUS_PENDING
//   INVALID_DRIVER_OBJECT           IofCallDriver to a device without a dispatch routine
//   CANCEL_SPIN_LOCK_NOT_RELEASED   a cancel routine returned holding the cancel lock
//   LEAKED_IRP                      (check_leaks) IRPs still alive
#pragma once

#include <string>

#include "wdk_nt.h"

namespace host {

// A driver object whose MajorFunction entries all complete the IRP with
// STATUS_INVALID_DEVICE_REQUEST until the caller sets them.
PDRIVER_OBJECT create_driver_object(const char* name);
void delete_driver_object(PDRIVER_OBJECT driver);

// A device object of `driver` with `stack_size` stack locations (what an IRP
// sent to it needs) and a zeroed extension of `extension_size` bytes.
PDEVICE_OBJECT create_device_object(PDRIVER_OBJECT driver, CCHAR stack_size,
                                    size_t extension_size = 0);
void delete_device_object(PDEVICE_OBJECT device);

// True when the IRP is allocated and not freed.
bool irp_is_live(PIRP irp);
// True while a lower driver holds the IRP (passed down, not yet completed).
bool irp_is_at_lower_driver(PIRP irp);
size_t live_irps();

// Leak report of live IRPs; empty when none.
std::string irp_leak_report();
// Forgets every IRP (kernel teardown; the memory goes with the pool).
void irp_reset();

}  // namespace host
