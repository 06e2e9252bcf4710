// The services the host exports to a loaded image, by the module and name a
// Windows loader resolves. The NTAPI ones are stdcall and the FASTCALL ones
// fastcall in this build (host/include), so most entries are the host's own
// functions; a few need a shim where the platform's binary interface differs
// from what the host's C++ compiles to.
#include <cstring>

#include "pe/pe_image.h"

namespace host::pe {
namespace {

// The platform returns an 8-byte structure in EDX:EAX; GCC on i386 Linux
// returns LARGE_INTEGER through a hidden pointer. A 64-bit integer travels
// in EDX:EAX in both.
uint64_t NTAPI KeQueryPerformanceCounterShim(PLARGE_INTEGER PerformanceFrequency) {
  return static_cast<uint64_t>(KeQueryPerformanceCounter(PerformanceFrequency).QuadPart);
}

// NdisFreeBuffer is IoFreeMdl in the DDK: the buffers NDIS hands out are
// MDLs, and freeing one is freeing the MDL.
void NTAPI IoFreeMdlShim(PMDL Mdl) {
  NdisFreeBuffer(Mdl);
}

// MmGetSystemAddressForMdl maps an MDL that is not mapped yet. Every MDL the
// host hands out is nonpaged and mapped, so the DDK's macro never gets here;
// if it does, the mapping is the one the MDL already describes.
PVOID NTAPI MmMapLockedPagesShim(PMDL Mdl, KPROCESSOR_MODE AccessMode) {
  return HostNdisBufferSystemAddress(Mdl);
}

void* CDECL_memcpy(void* d, const void* s, size_t n) {
  return std::memcpy(d, s, n);
}
void* CDECL_memset(void* d, int c, size_t n) {
  return std::memset(d, c, n);
}

#define FN(module, name)                          \
  Export {                                        \
    module, #name, reinterpret_cast<void*>(&name) \
  }

}  // namespace

const std::vector<Export>& host_exports() {
  static const std::vector<Export> table = {
      // HAL.dll
      FN("HAL.dll", KeGetCurrentIrql),
      FN("HAL.dll", KfRaiseIrql),
      FN("HAL.dll", KfLowerIrql),
      FN("HAL.dll", KfAcquireSpinLock),
      FN("HAL.dll", KfReleaseSpinLock),
      Export{"HAL.dll", "KeQueryPerformanceCounter",
             reinterpret_cast<void*>(&KeQueryPerformanceCounterShim)},
      // ntoskrnl.exe
      FN("ntoskrnl.exe", DbgPrint),
      FN("ntoskrnl.exe", ExAllocatePoolWithTag),
      FN("ntoskrnl.exe", ExAllocatePool),
      FN("ntoskrnl.exe", ExFreePool),
      FN("ntoskrnl.exe", ExFreePoolWithTag),
      FN("ntoskrnl.exe", ExfInterlockedInsertHeadList),
      FN("ntoskrnl.exe", ExfInterlockedInsertTailList),
      FN("ntoskrnl.exe", ExfInterlockedRemoveHeadList),
      FN("ntoskrnl.exe", IoAllocateIrp),
      FN("ntoskrnl.exe", IoBuildDeviceIoControlRequest),
      FN("ntoskrnl.exe", IoCancelIrp),
      FN("ntoskrnl.exe", IoFreeIrp),
      FN("ntoskrnl.exe", IofCallDriver),
      FN("ntoskrnl.exe", IofCompleteRequest),
      FN("ntoskrnl.exe", KeInitializeEvent),
      FN("ntoskrnl.exe", KeSetEvent),
      FN("ntoskrnl.exe", KeClearEvent),
      FN("ntoskrnl.exe", KeResetEvent),
      FN("ntoskrnl.exe", KeWaitForSingleObject),
      FN("ntoskrnl.exe", KeInitializeSpinLock),
      FN("ntoskrnl.exe", KefAcquireSpinLockAtDpcLevel),
      FN("ntoskrnl.exe", KefReleaseSpinLockFromDpcLevel),
      Export{"ntoskrnl.exe", "IoFreeMdl", reinterpret_cast<void*>(&IoFreeMdlShim)},
      Export{"ntoskrnl.exe", "MmMapLockedPages", reinterpret_cast<void*>(&MmMapLockedPagesShim)},
      Export{"ntoskrnl.exe", "memcpy", reinterpret_cast<void*>(&CDECL_memcpy)},
      Export{"ntoskrnl.exe", "memset", reinterpret_cast<void*>(&CDECL_memset)},
      // NDIS.SYS
      FN("NDIS.SYS", NDIS_BUFFER_TO_SPAN_PAGES),
      FN("NDIS.SYS", NdisAllocateBuffer),
      FN("NDIS.SYS", NdisAllocateBufferPool),
      FN("NDIS.SYS", NdisAllocateMemory),
      FN("NDIS.SYS", NdisAllocateMemoryWithTag),
      FN("NDIS.SYS", NdisAllocatePacket),
      FN("NDIS.SYS", NdisAllocatePacketPool),
      FN("NDIS.SYS", NdisCancelTimer),
      FN("NDIS.SYS", NdisCloseConfiguration),
      FN("NDIS.SYS", NdisFreeBuffer),
      FN("NDIS.SYS", NdisFreeBufferPool),
      FN("NDIS.SYS", NdisFreeMemory),
      FN("NDIS.SYS", NdisFreePacket),
      FN("NDIS.SYS", NdisFreePacketPool),
      FN("NDIS.SYS", NdisInitUnicodeString),
      FN("NDIS.SYS", NdisInitializeWrapper),
      FN("NDIS.SYS", NdisMCancelTimer),
      FN("NDIS.SYS", NdisMDeregisterAdapterShutdownHandler),
      FN("NDIS.SYS", NdisMDeregisterInterrupt),
      FN("NDIS.SYS", NdisMDeregisterIoPortRange),
      FN("NDIS.SYS", NdisMFreeMapRegisters),
      FN("NDIS.SYS", NdisMFreeSharedMemory),
      FN("NDIS.SYS", NdisMGetDeviceProperty),
      FN("NDIS.SYS", NdisMInitializeTimer),
      FN("NDIS.SYS", NdisMRegisterAdapterShutdownHandler),
      FN("NDIS.SYS", NdisMRegisterMiniport),
      FN("NDIS.SYS", NdisMSendResourcesAvailable),
      FN("NDIS.SYS", NdisMSetAttributesEx),
      FN("NDIS.SYS", NdisMSetPeriodicTimer),
      FN("NDIS.SYS", NdisMSetTimer),
      FN("NDIS.SYS", NdisMSleep),
      FN("NDIS.SYS", NdisOpenConfiguration),
      FN("NDIS.SYS", NdisReadConfiguration),
      FN("NDIS.SYS", NdisReadNetworkAddress),
      FN("NDIS.SYS", NdisScheduleWorkItem),
      FN("NDIS.SYS", NdisSetTimer),
      FN("NDIS.SYS", NdisStallExecution),
      FN("NDIS.SYS", NdisTerminateWrapper),
      FN("NDIS.SYS", NdisUnchainBufferAtBack),
      FN("NDIS.SYS", NdisUnchainBufferAtFront),
      // USBD.SYS: plain names and the decorated aliases the platform's USBD
      // also exports for drivers linked with such import libraries.
      FN("USBD.SYS", USBD_ParseConfigurationDescriptorEx),
      FN("USBD.SYS", USBD_CreateConfigurationRequestEx),
      Export{"USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@28",
             reinterpret_cast<void*>(&USBD_ParseConfigurationDescriptorEx)},
      Export{"USBD.SYS", "_USBD_CreateConfigurationRequestEx@8",
             reinterpret_cast<void*>(&USBD_CreateConfigurationRequestEx)},
  };
  return table;
}

}  // namespace host::pe
