#include "fake_miniport.h"

#include <new>

namespace fake {

Behaviour behaviour;
Observed observed;

namespace {

constexpr ULONG kAdapterTag = 0x6B414146;  // "FAAk"

NDIS_STATUS NTAPI Initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM media, UINT count,
                             NDIS_HANDLE handle, NDIS_HANDLE configuration) {
  ++observed.initializes;
  UINT index = 0;
  while (index < count && media[index] != NdisMedium802_3)
    ++index;
  if (index == count) return NDIS_STATUS_UNSUPPORTED_MEDIA;
  *selected = index;
  observed.selected = media[index];

  Adapter* a;
  if (NdisAllocateMemoryWithTag(reinterpret_cast<PVOID*>(&a), sizeof(Adapter), kAdapterTag) !=
      NDIS_STATUS_SUCCESS) {
    return NDIS_STATUS_RESOURCES;
  }
  new (a) Adapter();
  a->handle = handle;
  observed.adapter = a;
  if (behaviour.on_initialize) behaviour.on_initialize(configuration);
  if (behaviour.init_result != NDIS_STATUS_SUCCESS) {
    a->~Adapter();
    NdisFreeMemory(a, sizeof(Adapter), 0);
    observed.adapter = nullptr;
    return behaviour.init_result;
  }
  if (!behaviour.skip_attributes) {
    NdisMSetAttributesEx(handle, a, behaviour.hang_seconds, behaviour.attribute_flags,
                         NdisInterfaceInternal);
  }
  NdisAllocateSpinLock(&a->lock);
  NdisMInitializeTimer(&a->timer, handle, TimerRoutine, a);
  NDIS_STATUS status;
  NdisAllocatePacketPool(&status, &a->packet_pool, 4, 0);
  NdisAllocateBufferPool(&status, &a->buffer_pool, 4);
  NdisAllocatePacket(&status, &a->rx_packet, a->packet_pool);
  NdisAllocateBuffer(&status, &a->rx_buffer, a->buffer_pool, a->rx_data, sizeof a->rx_data);
  NDIS_SET_PACKET_HEADER_SIZE(a->rx_packet, 14);
  NdisChainBufferAtFront(a->rx_packet, a->rx_buffer);
  NdisMRegisterAdapterShutdownHandler(handle, a, [](PVOID) { ++observed.shutdowns; });
  return NDIS_STATUS_SUCCESS;
}

VOID NTAPI Halt(NDIS_HANDLE context) {
  ++observed.halts;
  auto* a = static_cast<Adapter*>(context);
  if (!behaviour.leave_timer_armed_at_halt) {
    BOOLEAN cancelled;
    NdisMCancelTimer(&a->timer, &cancelled);
  }
  if (!behaviour.keep_shutdown_handler) NdisMDeregisterAdapterShutdownHandler(a->handle);
  NdisFreeSpinLock(&a->lock);
  NdisFreeBuffer(a->rx_buffer);
  NdisFreePacket(a->rx_packet);
  NdisFreeBufferPool(a->buffer_pool);
  NdisFreePacketPool(a->packet_pool);
  if (!behaviour.leak_memory_at_halt && !behaviour.leave_timer_armed_at_halt) {
    a->~Adapter();
    NdisFreeMemory(a, sizeof(Adapter), 0);
    observed.adapter = nullptr;
  }
}

NDIS_STATUS NTAPI Send(NDIS_HANDLE context, PNDIS_PACKET packet, UINT) {
  auto* a = static_cast<Adapter*>(context);
  observed.send_irql = KeGetCurrentIrql();
  observed.sends.push_back({packet, host::Kernel::get().scheduler().now()});
  if (behaviour.on_send) return behaviour.on_send(a, packet);
  switch (behaviour.send_mode) {
    case SendMode::CompleteInline:
      NdisMSendComplete(a->handle, packet, NDIS_STATUS_SUCCESS);
      return NDIS_STATUS_PENDING;
    case SendMode::Pend:
      a->pending_sends[a->pending_count++ % 8] = packet;
      return NDIS_STATUS_PENDING;
    case SendMode::ReturnStatus:
      return behaviour.send_status;
    case SendMode::CompleteAndReturn:
      NdisMSendComplete(a->handle, packet, NDIS_STATUS_SUCCESS);
      return NDIS_STATUS_SUCCESS;
  }
  return NDIS_STATUS_FAILURE;
}

struct PendingQuery {
  PVOID buffer;
  PULONG written;
} pending_query;

NDIS_STATUS NTAPI Query(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length, PULONG written,
                        PULONG needed) {
  observed.queries.push_back(oid);
  if (oid != OID_GEN_MAXIMUM_FRAME_SIZE) return NDIS_STATUS_INVALID_OID;
  if (length < 4) {
    *needed = 4;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  if (behaviour.pend_queries) {
    pending_query = PendingQuery{buffer, written};
    return NDIS_STATUS_PENDING;
  }
  ULONG value = 1500;
  NdisMoveMemory(buffer, &value, 4);
  *written = 4;
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Set(NDIS_HANDLE, NDIS_OID oid, PVOID, ULONG length, PULONG read, PULONG needed) {
  observed.sets.push_back(oid);
  *read = 0;
  *needed = 0;
  if (oid != OID_GEN_CURRENT_PACKET_FILTER) return NDIS_STATUS_INVALID_OID;
  if (length != 4) {
    *needed = 4;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  *read = 4;
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Reset(PBOOLEAN addressing_reset, NDIS_HANDLE) {
  ++observed.resets;
  observed.reset_irql = KeGetCurrentIrql();
  if (behaviour.on_reset) behaviour.on_reset();
  *addressing_reset = FALSE;
  return behaviour.reset_result;
}

BOOLEAN NTAPI CheckForHang(NDIS_HANDLE) {
  observed.hang_checks.push_back(host::Kernel::get().scheduler().now());
  observed.hang_check_irql = KeGetCurrentIrql();
  return behaviour.check_for_hang ? behaviour.check_for_hang() : FALSE;
}

VOID NTAPI ReturnPacket(NDIS_HANDLE, PNDIS_PACKET packet) {
  observed.returned.push_back(packet);
}

}  // namespace

VOID NTAPI TimerRoutine(PVOID, PVOID context, PVOID, PVOID) {
  ++observed.timer_runs;
  observed.timer_irql = KeGetCurrentIrql();
  observed.timer_context = context;
}

extern "C" NTSTATUS NTAPI FakeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  NDIS_HANDLE wrapper;
  NdisMInitializeWrapper(&wrapper, driver, path, NULL);
  NDIS_MINIPORT_CHARACTERISTICS chars;
  NdisZeroMemory(&chars, sizeof chars);
  chars.Ndis40Chars.Ndis30Chars.MajorNdisVersion = behaviour.major_version;
  chars.Ndis40Chars.Ndis30Chars.MinorNdisVersion = 0;
  chars.Ndis40Chars.Ndis30Chars.InitializeHandler = Initialize;
  chars.Ndis40Chars.Ndis30Chars.HaltHandler = Halt;
  chars.Ndis40Chars.Ndis30Chars.SendHandler = Send;
  chars.Ndis40Chars.Ndis30Chars.QueryInformationHandler = Query;
  chars.Ndis40Chars.Ndis30Chars.SetInformationHandler = Set;
  chars.Ndis40Chars.Ndis30Chars.ResetHandler = Reset;
  chars.Ndis40Chars.ReturnPacketHandler = ReturnPacket;
  chars.Ndis40Chars.Ndis30Chars.CheckForHangHandler = CheckForHang;
  NDIS_STATUS status = NdisMRegisterMiniport(wrapper, &chars, behaviour.chars_length);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisTerminateWrapper(wrapper, NULL);
    return status;
  }
  return STATUS_SUCCESS;
}

// Completes the query the fake pended, with the answer 1500.
void complete_pending_query(NDIS_HANDLE handle) {
  ULONG value = 1500;
  NdisMoveMemory(pending_query.buffer, &value, 4);
  *pending_query.written = 4;
  NdisMQueryInformationComplete(handle, NDIS_STATUS_SUCCESS);
}

Keyword::Keyword(const char* text) {
  for (const char* c = text; *c; ++c)
    storage.push_back(static_cast<WCHAR>(*c));
  storage.push_back(0);
  string.Buffer = storage.data();
  string.Length = static_cast<USHORT>((storage.size() - 1) * sizeof(WCHAR));
  string.MaximumLength = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
}

}  // namespace fake

namespace host_ndis_test {

void NdisTest::SetUp() {
  kernel_ = host::Kernel::create(host::KernelOptions{});
  ndis_ = std::make_unique<host::ndis::Library>();
  fake::behaviour = fake::Behaviour{};
  fake::observed = fake::Observed{};
}

void NdisTest::TearDown() {
  ndis_.reset();
  kernel_.reset();
}

void NdisTest::abandon() {
  abandoned_ = true;
  ndis_->abandon();
  kernel_->set_check_leaks_on_destroy(false);
}

void FakeMiniportTest::SetUp() {
  NdisTest::SetUp();
  device_ = std::make_unique<FakeDevice>();
  ASSERT_EQ(ndis_->load_driver(fake::FakeDriverEntry, "fake"), STATUS_SUCCESS);
  setup_.lower_device = device_->device();
  setup_.name = "fake0";
  adapter_ = &ndis_->add_adapter(setup_);
  protocol_ = std::make_unique<host::ndis::Protocol>(*adapter_, protocol_options_);
}

void FakeMiniportTest::TearDown() {
  if (!abandoned_) {
    if (adapter_->state() == host::ndis::Miniport::State::Running) adapter_->halt();
    protocol_->close();
    ndis_->unload_driver();
  }
  protocol_.reset();
  ndis_.reset();
  device_.reset();
  NdisTest::TearDown();
}

void FakeMiniportTest::start() {
  ASSERT_EQ(adapter_->initialize(), NDIS_STATUS_SUCCESS);
  ASSERT_NE(fake::observed.adapter, nullptr);
}

void FakeMiniportTest::at_dispatch(const std::function<void()>& fn) {
  host::run_at_irql(DISPATCH_LEVEL, "test DPC", fn);
}

}  // namespace host_ndis_test
