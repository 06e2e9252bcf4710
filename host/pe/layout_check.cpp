// The 32-bit host's declarations of the platform structures that usbeth.sys
// touches directly, checked at compile time against the offsets and sizes the
// Windows build wrote out from the DDK headers (ddk_layout.h). A record the
// host fills only partly (a timer, an event) must fit in the platform's.
#include <stddef.h>

#include "host_wdk.h"

#define USBETH_DDK_FIELD(record, member, offset, size)                       \
  static_assert(__builtin_offsetof(record, member) == (offset),              \
                #record "." #member " is at offset " #offset " in the DDK"); \
  static_assert(sizeof(((record*)0)->member) == (size),                      \
                #record "." #member " is " #size " bytes in the DDK");
#define USBETH_DDK_SIZE(record, size) \
  static_assert(sizeof(record) == (size), #record " is " #size " bytes in the DDK");
#define USBETH_DDK_ROOM(record, size) \
  static_assert(sizeof(record) <= (size), #record " must fit the DDK's " #size " bytes");
#define USBETH_IMAGE_FIELD(record, member, offset, size)

#include "ddk_layout.h"
