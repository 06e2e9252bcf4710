// The offsets and sizes of every platform structure field that usbeth.sys may
// touch directly, written out from the DDK headers the image is built against.
// The 32-bit host build checks its own declarations against this table, so an
// offset is stated once, by the headers, and never copied by hand.
//
// Compiled to assembly only (never linked): each entry becomes one line
// "#@layout KIND RECORD MEMBER OFFSET SIZE" that layout_table.cmake turns into
// a header of USBETH_DDK_FIELD / USBETH_DDK_SIZE / USBETH_IMAGE_FIELD lines.
#include "miniport/adapter.h"
#include "wdk.h"

#define USBETH_DDK_FIELD(record, member)                                 \
  __asm__ volatile("#@layout field " #record " " #member                 \
                   " %c0 %c1" ::"i"(__builtin_offsetof(record, member)), \
                   "i"(sizeof(((record*)0)->member)))
#define USBETH_DDK_SIZE(record) \
  __asm__ volatile("#@layout size " #record " - 0 %c0" ::"i"(sizeof(record)))
// A record the host allocates or fills only partly: the host's must fit in it.
#define USBETH_DDK_ROOM(record) \
  __asm__ volatile("#@layout room " #record " - 0 %c0" ::"i"(sizeof(record)))
// Fields of the driver's own records that the test bed and the simulator
// read from outside.
#define USBETH_IMAGE_FIELD(record, member)                               \
  __asm__ volatile("#@layout image " #record " " #member                 \
                   " %c0 %c1" ::"i"(__builtin_offsetof(record, member)), \
                   "i"(sizeof(((record*)0)->member)))

extern "C" void usbeth_layout_table() {
  // Scalars and small records.
  USBETH_DDK_SIZE(LARGE_INTEGER);
  USBETH_DDK_FIELD(LARGE_INTEGER, u.LowPart);
  USBETH_DDK_FIELD(LARGE_INTEGER, u.HighPart);
  USBETH_DDK_FIELD(LARGE_INTEGER, QuadPart);
  USBETH_DDK_SIZE(WCHAR);
  USBETH_DDK_SIZE(LIST_ENTRY);
  USBETH_DDK_FIELD(UNICODE_STRING, Length);
  USBETH_DDK_FIELD(UNICODE_STRING, MaximumLength);
  USBETH_DDK_FIELD(UNICODE_STRING, Buffer);
  USBETH_DDK_FIELD(IO_STATUS_BLOCK, Status);
  USBETH_DDK_FIELD(IO_STATUS_BLOCK, Information);
  USBETH_DDK_ROOM(KEVENT);
  USBETH_DDK_ROOM(KSPIN_LOCK);
  USBETH_DDK_FIELD(NDIS_SPIN_LOCK, SpinLock);
  USBETH_DDK_FIELD(NDIS_SPIN_LOCK, OldIrql);

  // Memory descriptor lists (NDIS buffers): the DDK's buffer macros read them.
  USBETH_DDK_FIELD(MDL, Next);
  USBETH_DDK_FIELD(MDL, Size);
  USBETH_DDK_FIELD(MDL, MdlFlags);
  USBETH_DDK_FIELD(MDL, MappedSystemVa);
  USBETH_DDK_FIELD(MDL, StartVa);
  USBETH_DDK_FIELD(MDL, ByteCount);
  USBETH_DDK_FIELD(MDL, ByteOffset);

  // Packets: the private area and the out-of-band block the macros reach.
  USBETH_DDK_FIELD(NDIS_PACKET, Private.PhysicalCount);
  USBETH_DDK_FIELD(NDIS_PACKET, Private.TotalLength);
  USBETH_DDK_FIELD(NDIS_PACKET, Private.Head);
  USBETH_DDK_FIELD(NDIS_PACKET, Private.Tail);
  USBETH_DDK_FIELD(NDIS_PACKET, Private.Pool);
  USBETH_DDK_FIELD(NDIS_PACKET, Private.Count);
  USBETH_DDK_FIELD(NDIS_PACKET, Private.Flags);
  USBETH_DDK_FIELD(NDIS_PACKET, Private.ValidCounts);
  USBETH_DDK_FIELD(NDIS_PACKET, Private.NdisPacketFlags);
  USBETH_DDK_FIELD(NDIS_PACKET, Private.NdisPacketOobOffset);
  USBETH_DDK_FIELD(NDIS_PACKET, MiniportReserved);
  USBETH_DDK_FIELD(NDIS_PACKET, MiniportReservedEx);
  USBETH_DDK_FIELD(NDIS_PACKET, ProtocolReserved);
  USBETH_DDK_FIELD(NDIS_PACKET_OOB_DATA, TimeToSend);
  USBETH_DDK_FIELD(NDIS_PACKET_OOB_DATA, TimeReceived);
  USBETH_DDK_FIELD(NDIS_PACKET_OOB_DATA, HeaderSize);
  USBETH_DDK_FIELD(NDIS_PACKET_OOB_DATA, SizeMediaSpecificInfo);
  USBETH_DDK_FIELD(NDIS_PACKET_OOB_DATA, MediaSpecificInformation);
  USBETH_DDK_FIELD(NDIS_PACKET_OOB_DATA, Status);

  // The miniport block: the indication and completion macros call through it.
  USBETH_DDK_FIELD(NDIS_MINIPORT_BLOCK, PacketIndicateHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_BLOCK, SendCompleteHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_BLOCK, ResetCompleteHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_BLOCK, StatusHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_BLOCK, StatusCompleteHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_BLOCK, QueryCompleteHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_BLOCK, SetCompleteHandler);

  // The characteristics the image registers.
  USBETH_DDK_SIZE(NDIS_MINIPORT_CHARACTERISTICS);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.MajorNdisVersion);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.MinorNdisVersion);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.CheckForHangHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.HaltHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.InitializeHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.QueryInformationHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.ResetHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.SendHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.SetInformationHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.Ndis30Chars.TransferDataHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.ReturnPacketHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.SendPacketsHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, Ndis40Chars.AllocateCompleteHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, CoCreateVcHandler);
  USBETH_DDK_FIELD(NDIS_MINIPORT_CHARACTERISTICS, CoRequestHandler);

  // Configuration parameters, timers and work items the image embeds.
  USBETH_DDK_FIELD(NDIS_CONFIGURATION_PARAMETER, ParameterType);
  USBETH_DDK_FIELD(NDIS_CONFIGURATION_PARAMETER, ParameterData.IntegerData);
  USBETH_DDK_FIELD(NDIS_CONFIGURATION_PARAMETER, ParameterData.StringData);
  USBETH_DDK_ROOM(NDIS_MINIPORT_TIMER);
  USBETH_DDK_FIELD(NDIS_WORK_ITEM, Context);
  USBETH_DDK_FIELD(NDIS_WORK_ITEM, Routine);
  USBETH_DDK_ROOM(NDIS_WORK_ITEM);

  // IRPs and their stack locations.
  USBETH_DDK_FIELD(IRP, MdlAddress);
  USBETH_DDK_FIELD(IRP, Flags);
  USBETH_DDK_FIELD(IRP, IoStatus);
  USBETH_DDK_FIELD(IRP, IoStatus.Status);
  USBETH_DDK_FIELD(IRP, IoStatus.Information);
  USBETH_DDK_FIELD(IRP, StackCount);
  USBETH_DDK_FIELD(IRP, CurrentLocation);
  USBETH_DDK_FIELD(IRP, PendingReturned);
  USBETH_DDK_FIELD(IRP, Cancel);
  USBETH_DDK_FIELD(IRP, CancelIrql);
  USBETH_DDK_FIELD(IRP, CancelRoutine);
  USBETH_DDK_FIELD(IRP, UserIosb);
  USBETH_DDK_FIELD(IRP, UserEvent);
  USBETH_DDK_FIELD(IRP, UserBuffer);
  USBETH_DDK_FIELD(IRP, Tail.Overlay.DriverContext);
  USBETH_DDK_FIELD(IRP, Tail.Overlay.ListEntry);
  USBETH_DDK_FIELD(IRP, Tail.Overlay.CurrentStackLocation);
  USBETH_DDK_SIZE(IO_STACK_LOCATION);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, MajorFunction);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, MinorFunction);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, Flags);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, Control);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument1);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument2);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, DeviceObject);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, FileObject);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, CompletionRoutine);
  USBETH_DDK_FIELD(IO_STACK_LOCATION, Context);
  USBETH_DDK_FIELD(DEVICE_OBJECT, StackSize);
  USBETH_DDK_FIELD(DEVICE_OBJECT, DeviceExtension);

  // URBs: every request the driver builds and the answers it reads.
  USBETH_DDK_FIELD(URB, UrbHeader.Length);
  USBETH_DDK_FIELD(URB, UrbHeader.Function);
  USBETH_DDK_FIELD(URB, UrbHeader.Status);
  USBETH_DDK_FIELD(URB, UrbHeader.UsbdDeviceHandle);
  USBETH_DDK_FIELD(URB, UrbHeader.UsbdFlags);
  USBETH_DDK_FIELD(URB, UrbSelectConfiguration);
  USBETH_DDK_FIELD(URB, UrbSelectConfiguration.ConfigurationDescriptor);
  USBETH_DDK_FIELD(URB, UrbSelectConfiguration.ConfigurationHandle);
  USBETH_DDK_FIELD(URB, UrbSelectConfiguration.Interface);
  USBETH_DDK_FIELD(URB, UrbPipeRequest);
  USBETH_DDK_FIELD(URB, UrbPipeRequest.PipeHandle);
  USBETH_DDK_FIELD(URB, UrbBulkOrInterruptTransfer);
  USBETH_DDK_FIELD(URB, UrbBulkOrInterruptTransfer.PipeHandle);
  USBETH_DDK_FIELD(URB, UrbBulkOrInterruptTransfer.TransferFlags);
  USBETH_DDK_FIELD(URB, UrbBulkOrInterruptTransfer.TransferBufferLength);
  USBETH_DDK_FIELD(URB, UrbBulkOrInterruptTransfer.TransferBuffer);
  USBETH_DDK_FIELD(URB, UrbBulkOrInterruptTransfer.TransferBufferMDL);
  USBETH_DDK_FIELD(URB, UrbBulkOrInterruptTransfer.UrbLink);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest.TransferFlags);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest.TransferBufferLength);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest.TransferBuffer);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest.TransferBufferMDL);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest.UrbLink);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest.RequestTypeReservedBits);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest.Request);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest.Value);
  USBETH_DDK_FIELD(URB, UrbControlVendorClassRequest.Index);
  USBETH_DDK_FIELD(URB, UrbControlDescriptorRequest);
  USBETH_DDK_FIELD(URB, UrbControlDescriptorRequest.TransferBufferLength);
  USBETH_DDK_FIELD(URB, UrbControlDescriptorRequest.TransferBuffer);
  USBETH_DDK_FIELD(URB, UrbControlDescriptorRequest.TransferBufferMDL);
  USBETH_DDK_FIELD(URB, UrbControlDescriptorRequest.UrbLink);
  USBETH_DDK_FIELD(URB, UrbControlDescriptorRequest.Index);
  USBETH_DDK_FIELD(URB, UrbControlDescriptorRequest.DescriptorType);
  USBETH_DDK_FIELD(URB, UrbControlDescriptorRequest.LanguageId);
  USBETH_DDK_FIELD(URB, UrbControlGetStatusRequest);
  USBETH_DDK_FIELD(URB, UrbControlGetStatusRequest.TransferBufferLength);
  USBETH_DDK_FIELD(URB, UrbControlGetStatusRequest.TransferBuffer);
  USBETH_DDK_FIELD(URB, UrbControlGetStatusRequest.TransferBufferMDL);
  USBETH_DDK_FIELD(URB, UrbControlGetStatusRequest.UrbLink);
  USBETH_DDK_FIELD(URB, UrbControlGetStatusRequest.Index);
  USBETH_DDK_FIELD(URB, UrbControlFeatureRequest);
  USBETH_DDK_FIELD(URB, UrbControlFeatureRequest.UrbLink);
  USBETH_DDK_FIELD(URB, UrbControlFeatureRequest.FeatureSelector);
  USBETH_DDK_FIELD(URB, UrbControlFeatureRequest.Index);
  USBETH_DDK_FIELD(USBD_INTERFACE_INFORMATION, Length);
  USBETH_DDK_FIELD(USBD_INTERFACE_INFORMATION, InterfaceNumber);
  USBETH_DDK_FIELD(USBD_INTERFACE_INFORMATION, AlternateSetting);
  USBETH_DDK_FIELD(USBD_INTERFACE_INFORMATION, Class);
  USBETH_DDK_FIELD(USBD_INTERFACE_INFORMATION, InterfaceHandle);
  USBETH_DDK_FIELD(USBD_INTERFACE_INFORMATION, NumberOfPipes);
  USBETH_DDK_FIELD(USBD_INTERFACE_INFORMATION, Pipes);
  USBETH_DDK_SIZE(USBD_PIPE_INFORMATION);
  USBETH_DDK_FIELD(USBD_PIPE_INFORMATION, MaximumPacketSize);
  USBETH_DDK_FIELD(USBD_PIPE_INFORMATION, EndpointAddress);
  USBETH_DDK_FIELD(USBD_PIPE_INFORMATION, Interval);
  USBETH_DDK_FIELD(USBD_PIPE_INFORMATION, PipeType);
  USBETH_DDK_FIELD(USBD_PIPE_INFORMATION, PipeHandle);
  USBETH_DDK_FIELD(USBD_PIPE_INFORMATION, MaximumTransferSize);
  USBETH_DDK_FIELD(USBD_PIPE_INFORMATION, PipeFlags);
  USBETH_DDK_FIELD(USBD_INTERFACE_LIST_ENTRY, InterfaceDescriptor);
  USBETH_DDK_FIELD(USBD_INTERFACE_LIST_ENTRY, Interface);

  // The adapter record, as compiled into the image.
  USBETH_IMAGE_FIELD(usbeth::Adapter, LinkState);
  USBETH_IMAGE_FIELD(usbeth::Adapter, AdapterState);
  USBETH_IMAGE_FIELD(usbeth::Adapter, TxIrpsOutstanding);
  USBETH_IMAGE_FIELD(usbeth::Adapter, KeepAliveTimerStarted);
  USBETH_IMAGE_FIELD(usbeth::Adapter, ActivePhyAddress);
  USBETH_IMAGE_FIELD(usbeth::Adapter, ActivePhyId);
}
