// The driver a simulated machine runs: the one linked into the program or,
// in the 32-bit build, the loaded usbeth.sys image; and the fields of the
// driver's adapter record that tests and tools read, at the offsets the
// running driver's compiler gave them.
#pragma once

#include <cstdint>
#include <string>

#include "ndis/ndis.h"

namespace host {

// True in a build that can load usbeth.sys (the 32-bit host build).
bool driver_images_supported();

// Loads the image at path and makes it the driver of every machine this
// process builds from now on. Returns "" when it loaded, else one line that
// says why it cannot run: the loader's message, or that this build cannot
// load images.
std::string use_driver_image(const std::string& path);

// The driver's entry point: the image chosen with use_driver_image, else the
// one named by USBETH_IMAGE (32-bit build), else the linked driver's.
ndis::DriverEntryRoutine driver_entry();
bool runs_driver_image();

// One line on the running image: its file, where it was mapped and how often
// it disabled and enabled interrupts so far; "" when the linked driver runs.
std::string driver_image_summary();

// A field of the driver's adapter record (LinkState, AdapterState,
// TxIrpsOutstanding, KeepAliveTimerStarted, ActivePhyAddress, ActivePhyId)
// in the adapter context the driver gave NDIS, read where the running driver
// keeps it. An unknown name aborts the process.
uint32_t read_adapter_field(const void* adapter_context, const char* name);

}  // namespace host
