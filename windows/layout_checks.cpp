// Sizes the device, the bus and NDIS see, checked against the real headers
// of the 32-bit platform. The driver writes these sizes as named constants;
// a header that disagrees must stop the build.
#include "datapath/datapath.h"
#include "miniport/miniport.h"
#include "miniport/tracker.h"
#include "usb/usb_transport.h"
#include "wdk.h"

namespace usbeth {

static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == kMiniportCharacteristicsLength,
              "NDIS 5.0 characteristics are 96 bytes on x86");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == kVendorUrbLength,
              "vendor request URB");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == kFeatureUrbLength,
              "feature request URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == kDescriptorUrbLength,
              "descriptor request URB");
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == kStatusUrbLength,
              "status request URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == kBulkUrbLength, "bulk URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) <= kUrbAreaSize,
              "bulk URB fits a descriptor's URB area");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == kPipeUrbLength, "pipe request URB");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) + 2 * sizeof(USBD_PIPE_INFORMATION) == 76,
              "interface information with three pipes");
static_assert(sizeof(TrackRecord) == kTrackRecordStep, "tracker records are 96 bytes");
static_assert(sizeof(PVOID) == 4, "32-bit build");

}  // namespace usbeth
