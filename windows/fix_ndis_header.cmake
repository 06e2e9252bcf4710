# Writes a corrected copy of the mingw-w64 ndis.h into OUT_DIR.
# The shipped header redeclares the request-type enum that ntddndis.h already
# declares, and one prototype lacks a comma; both stop any compile.
file(READ "${DDK_DIR}/ndis.h" text)
string(REPLACE "NdisMWanIndicateReceiveComplete(\n\tIN NDIS_HANDLE  MiniportAdapterHandle\n"
               "NdisMWanIndicateReceiveComplete(\n\tIN NDIS_HANDLE  MiniportAdapterHandle,\n" text "${text}")
string(FIND "${text}" "MiniportAdapterHandle,\n\tIN NDIS_HANDLE  NdisLinkContext);" comma_fixed)
if(comma_fixed EQUAL -1)
  message(FATAL_ERROR "ndis.h: NdisMWanIndicateReceiveComplete prototype not found as expected")
endif()
string(REGEX REPLACE "/\\* Request types used by NdisRequest \\*/\ntypedef enum _NDIS_REQUEST_TYPE {[^}]*} NDIS_REQUEST_TYPE, \\*PNDIS_REQUEST_TYPE;"
       "/* request-type enum comes from ntddndis.h */" text "${text}")
string(FIND "${text}" "typedef enum _NDIS_REQUEST_TYPE" dup)
if(NOT dup EQUAL -1)
  message(FATAL_ERROR "ndis.h: duplicate NDIS_REQUEST_TYPE not removed")
endif()
# ntddndis.h already defines the protocol-id limits; avoid the redefinition.
string(REGEX REPLACE "\n#define[ \t]+NDIS_PROTOCOL_ID_MAX[^\n]*\n#define[ \t]+NDIS_PROTOCOL_ID_MASK[^\n]*\n"
       "\n/* protocol-id limits come from ntddndis.h */\n" text "${text}")
file(WRITE "${OUT_DIR}/ndis.h" "${text}")
