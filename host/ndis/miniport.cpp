// NDIS driving one adapter: initialize, send, requests, reset, shutdown and
// halt from above; the adapter-setup calls and the indications through the
// miniport block from below; the verifier's checks after halt.
#include <cstring>
#include <sstream>

#include "ndis/state.h"
#include "nt/io.h"
#include "nt/pool.h"

using namespace host;
using namespace host::ndis;

namespace {

constexpr size_t kRequestGuardBytes = 16;
constexpr uint8_t kRequestGuardFill = 0xFD;
constexpr Nanoseconds kHaltWaitLimit = 60 * kSecond;

const char* state_name(Miniport::State state) {
  switch (state) {
    case Miniport::State::Created:
      return "created";
    case Miniport::State::Initializing:
      return "initializing";
    case Miniport::State::Running:
      return "running";
    case Miniport::State::Halting:
      return "halting";
    case Miniport::State::Halted:
      return "halted";
    case Miniport::State::InitializeFailed:
      return "failed to initialize";
  }
  return "?";
}

bool is_stopped(Miniport::State state) {
  return state == Miniport::State::Halted || state == Miniport::State::InitializeFailed;
}

const NDIS_MINIPORT_CHARACTERISTICS& chars() {
  return ndis::state().chars;
}

// The frame in a packet's buffer chain; bug checks for buffers that are not
// live or claim more bytes than they were allocated with.
std::vector<uint8_t> copy_chain(ndis::State& s, PNDIS_PACKET packet, const char* what) {
  std::vector<uint8_t> data;
  size_t guard = s.buffers.size() + 1;
  for (PNDIS_BUFFER b = packet->Private.Head; b; b = b->Next) {
    const BufferRecord* record = s.buffers.find(b);
    if (!record) {
      bug_check("BAD_BUFFER", std::string(what) + ": packet " + hex(uintptr_t(packet)) +
                                  " chains " + hex(uintptr_t(b)) + ", which is not a live buffer");
    }
    if (b->ByteCount > record->length) {
      bug_check("BUFFER_LENGTH_EXCEEDS_ALLOCATION",
                std::string(what) + ": buffer " + hex(uintptr_t(b)) + " claims " +
                    std::to_string(b->ByteCount) + " bytes but was allocated over " +
                    std::to_string(record->length));
    }
    if (--guard == 0) {
      bug_check("BAD_BUFFER", std::string(what) + ": the buffer chain of packet " +
                                  hex(uintptr_t(packet)) + " loops");
    }
    const uint8_t* va = static_cast<const uint8_t*>(b->MappedSystemVa);
    data.insert(data.end(), va, va + b->ByteCount);
  }
  return data;
}

void verify_released(AdapterRecord* adapter, const char* when);
void issue_next_request(AdapterRecord* adapter);
void send_resources_signal(AdapterRecord* adapter, bool retry_here);

// ---- Handlers in the miniport block ------------------------------------------------

VOID NTAPI indicate_receive(NDIS_HANDLE handle, PPNDIS_PACKET packets, UINT count) {
  AdapterRecord* adapter = adapter_from_handle(handle, "NdisMIndicateReceivePacket");
  KIRQL irql = current_context().irql;
  if (irql != DISPATCH_LEVEL) {
    bug_check("INDICATION_AT_WRONG_IRQL", "NdisMIndicateReceivePacket at IRQL " +
                                              std::to_string(irql) + " (must be DISPATCH_LEVEL)");
  }
  ndis::State& s = ndis::state();
  for (UINT i = 0; i < count; ++i) {
    PNDIS_PACKET packet = packets[i];
    std::vector<uint8_t> data;
    Binding* binding;
    NDIS_STATUS packet_status;
    UINT header_size;
    {
      std::lock_guard<host::HostMutex> lock(s.mutex);
      const PacketRecord* record = s.packets.find(packet);
      if (!record) {
        bug_check("BAD_PACKET", "NdisMIndicateReceivePacket of " + hex(uintptr_t(packet)) +
                                    ", which is not a live packet");
      }
      if (record->use == PacketUse::HeldByProtocol) {
        bug_check("PACKET_INDICATED_TWICE",
                  "NdisMIndicateReceivePacket of " + hex(uintptr_t(packet)) +
                      ", which a protocol still holds from an earlier indication");
      }
      if (record->use == PacketUse::Sending || record->use == PacketUse::Queued) {
        bug_check("BAD_PACKET", "NdisMIndicateReceivePacket of " + hex(uintptr_t(packet)) +
                                    ", a packet a protocol sent");
      }
      data = copy_chain(s, packet, "NdisMIndicateReceivePacket");
      packet_status = NDIS_GET_PACKET_STATUS(packet);
      header_size = NDIS_GET_PACKET_HEADER_SIZE(packet);
      binding = adapter->binding;
    }
    bool keep = false;
    if (binding) {
      keep =
          binding->receive(*adapter->miniport, packet, packet_status, header_size, std::move(data));
    }
    if (packet_status == NDIS_STATUS_RESOURCES) continue;  // copied; the miniport's again
    if (keep) {
      if (!chars().Ndis40Chars.ReturnPacketHandler) {
        bug_check("NO_RETURN_PACKET_HANDLER",
                  "a protocol keeps packet " + hex(uintptr_t(packet)) +
                      " but the miniport registered no return-packet handler");
      }
      std::lock_guard<host::HostMutex> lock(s.mutex);
      PacketRecord& record = s.packets[packet];
      record.use = PacketUse::HeldByProtocol;
      record.adapter = adapter;
      adapter->held.insert(packet);
      NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_PENDING);
    } else {
      NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_SUCCESS);
    }
  }
}

VOID NTAPI send_complete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status) {
  AdapterRecord* adapter = adapter_from_handle(handle, "NdisMSendComplete");
  check_irql_at_most(DISPATCH_LEVEL, "NdisMSendComplete");
  ndis::State& s = ndis::state();
  Binding* binding;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    PacketRecord* record = s.packets.find(packet);
    if (!record || record->use != PacketUse::Sending || record->adapter != adapter) {
      std::string why =
          !record ? "is not a live packet"
          : record->use == PacketUse::Queued
              ? "the send handler refused with NDIS_STATUS_RESOURCES (NDIS holds it in its queue)"
          : record->completed_once ? "was already completed (or handed back by the send handler)"
                                   : "was never given to this miniport's send handler";
      bug_check("SEND_COMPLETE_NOT_OWNED",
                "NdisMSendComplete of packet " + hex(uintptr_t(packet)) + ", which " + why);
    }
    if (status == NDIS_STATUS_PENDING) {
      bug_check("INVALID_SEND_STATUS", "NdisMSendComplete with NDIS_STATUS_PENDING");
    }
    record->use = PacketUse::Free;
    record->completed_once = true;
    record->adapter = nullptr;
    adapter->sending.erase(packet);
    binding = adapter->binding;
  }
  if (binding) binding->send_complete(*adapter->miniport, packet, status);
  // A completed send frees resources in the miniport: a send it refused is
  // given to it again (after it returns; this call comes from its own code).
  send_resources_signal(adapter, false);
}

VOID NTAPI indicate_status(NDIS_HANDLE handle, NDIS_STATUS code, PVOID buffer, UINT size) {
  AdapterRecord* adapter = adapter_from_handle(handle, "NdisMIndicateStatus");
  check_irql_at_most(DISPATCH_LEVEL, "NdisMIndicateStatus");
  if (size && !buffer) bug_check("NULL_POINTER", "NdisMIndicateStatus with a size but no buffer");
  Binding* binding;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    binding = adapter->binding;
  }
  if (binding) binding->status(*adapter->miniport, code, buffer, size);
}

VOID NTAPI indicate_status_complete(NDIS_HANDLE handle) {
  AdapterRecord* adapter = adapter_from_handle(handle, "NdisMIndicateStatusComplete");
  check_irql_at_most(DISPATCH_LEVEL, "NdisMIndicateStatusComplete");
  Binding* binding;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    binding = adapter->binding;
  }
  if (binding) binding->status_complete(*adapter->miniport);
}

// ---- NDIS's send queue ------------------------------------------------------------
//
// A send handler that answers NDIS_STATUS_RESOURCES gives the packet back to
// NDIS for the time being. NDIS keeps it at the head of the adapter's send
// queue, queues later sends behind it in the order they came, and gives it
// to the miniport again when the miniport next calls NdisMSendComplete or
// NdisMSendResourcesAvailable (the NDIS 5 reference pages of MiniportSend
// and NdisMSendResourcesAvailable, and "Packet Ownership" in the design
// guide), and when NDIS runs its deferred work for the miniport after one of
// the miniport's timer routines returns. Until then the miniport is given no
// packet at all. The protocol never sees that status: the send pends and
// completes once the miniport has taken the packet.
//
// The documentation states this for serialized miniports; a deserialized
// miniport is to queue sends itself and never hand packets back. A miniport
// that declares itself deserialized and still answers NDIS_STATUS_RESOURCES
// gets the same queueing here, so that it loses nothing it relies on.
//
// Packets still queued when the adapter is reset or halted are completed to
// the protocol without reaching the miniport, with NDIS_STATUS_RESET_IN_PROGRESS
// or NDIS_STATUS_REQUEST_ABORTED, and counted.

NDIS_STATUS call_send_handler(AdapterRecord* a, PNDIS_PACKET packet, KIRQL irql) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  void* context = a->context;
  const auto& v30 = chars().Ndis40Chars.Ndis30Chars;
  if (v30.SendHandler) {
    call_driver(irql, "MiniportSend", a, [&] { status = v30.SendHandler(context, packet, 0); });
    return status;
  }
  PNDIS_PACKET array[1] = {packet};
  NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_PENDING);
  call_driver(irql, "MiniportSendPackets", a,
              [&] { chars().Ndis40Chars.SendPacketsHandler(context, array, 1); });
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return a->sending.count(packet) ? NDIS_GET_PACKET_STATUS(packet) : NDIS_STATUS_PENDING;
}

void complete_to_protocol(AdapterRecord* a, PNDIS_PACKET packet, NDIS_STATUS status) {
  Binding* binding;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    binding = a->binding;
  }
  if (binding) binding->send_complete(*a->miniport, packet, status);
}

enum class Settled { Pending, Refused, Completed };

// What the send handler's status means for the packet it was given: the
// miniport keeps it (pending); it is back in NDIS's queue (refused: at the
// head when it came from there, else at the tail); or it goes back to the
// protocol with that status. A refusal blocks the queue unless a signal came
// while the handler ran (`signals_before` is the count at the call).
Settled settle_send(AdapterRecord* a, PNDIS_PACKET packet, NDIS_STATUS status,
                    uint64_t signals_before, bool from_queue) {
  if (status == NDIS_STATUS_PENDING) return Settled::Pending;
  ndis::State& s = ndis::state();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    PacketRecord* record = s.packets.find(packet);
    if (!record || record->use != PacketUse::Sending) {
      bug_check("SEND_COMPLETED_AND_RETURNED",
                "the send handler completed packet " + hex(uintptr_t(packet)) +
                    " with NdisMSendComplete and also returned status " + hex(uint32_t(status)) +
                    ": the protocol would see it completed twice");
    }
    a->sending.erase(packet);
    if (status == NDIS_STATUS_RESOURCES) {
      ++a->sends_refused;
      if (a->state == Miniport::State::Running && !a->reset_pending) {
        record->use = PacketUse::Queued;
        if (from_queue) {
          a->send_queue.push_front(packet);
        } else {
          a->send_queue.push_back(packet);
        }
        if (a->send_signals == signals_before) a->send_blocked = true;
        return Settled::Refused;
      }
      // The queue is being given back (reset or halt): so is this packet.
      status = a->reset_pending ? NDIS_STATUS_RESET_IN_PROGRESS : NDIS_STATUS_REQUEST_ABORTED;
      ++a->sends_aborted;
    }
    record->use = PacketUse::Free;
    record->adapter = nullptr;
    record->completed_once = true;
  }
  complete_to_protocol(a, packet, status);
  return Settled::Completed;
}

// Gives the queued packets to the miniport, oldest first, until the queue
// is empty or the miniport refuses one. Runs at DISPATCH_LEVEL, in one
// context at a time per adapter.
void dispatch_sends(AdapterRecord* a) {
  ndis::State& s = ndis::state();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    if (a->send_dispatching) return;
    a->send_dispatching = true;
  }
  for (;;) {
    PNDIS_PACKET packet;
    uint64_t signals;
    {
      std::lock_guard<host::HostMutex> lock(s.mutex);
      if (a->send_blocked || a->send_queue.empty() || a->state != Miniport::State::Running ||
          a->reset_pending) {
        a->send_dispatching = false;
        return;
      }
      packet = a->send_queue.front();
      a->send_queue.pop_front();
      PacketRecord& record = s.packets[packet];
      record.use = PacketUse::Sending;
      record.completed_once = false;
      a->sending.insert(packet);
      signals = a->send_signals;
    }
    try {
      settle_send(a, packet, call_send_handler(a, packet, DISPATCH_LEVEL), signals, true);
    } catch (...) {
      std::lock_guard<host::HostMutex> lock(s.mutex);
      a->send_dispatching = false;
      throw;
    }
  }
}

bool adapter_alive(const ndis::State& s, const AdapterRecord* a) {
  for (auto& m : s.adapters) {
    if (record_of(*m) == a) return true;
  }
  return false;
}

// The miniport can take sends again. `retry_here`: the caller is NDIS itself
// at DISPATCH_LEVEL with no routine of the miniport running in this context,
// so the queue is given to the miniport at once; otherwise (a call the
// miniport made from its own code) NDIS does it right after, as deferred work.
void send_resources_signal(AdapterRecord* a, bool retry_here) {
  ndis::State& s = ndis::state();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    ++a->send_signals;
    a->send_blocked = false;
    if (a->send_queue.empty() || a->send_dispatching || a->state != Miniport::State::Running ||
        a->reset_pending) {
      return;
    }
    if (!retry_here) {
      if (a->send_retry_event == 0) {
        a->send_retry_event = Kernel::get().scheduler().schedule_after(
            0, RunLevel::Dispatch,
            [a] {
              if (!library_exists()) return;
              {
                std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
                if (!adapter_alive(ndis::state(), a)) return;
                a->send_retry_event = 0;
              }
              dispatch_sends(a);
            },
            "NDIS gives a refused send to the miniport again");
      }
      return;
    }
  }
  dispatch_sends(a);
}

// Completes every packet still in the queue to the protocol with `status`.
void abort_queued_sends(AdapterRecord* a, NDIS_STATUS status) {
  ndis::State& s = ndis::state();
  std::deque<PNDIS_PACKET> queued;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    queued.swap(a->send_queue);
    a->send_blocked = false;
    if (a->send_retry_event) {
      Kernel::get().scheduler().cancel(a->send_retry_event);
      a->send_retry_event = 0;
    }
    for (PNDIS_PACKET packet : queued) {
      PacketRecord& record = s.packets[packet];
      record.use = PacketUse::Free;
      record.adapter = nullptr;
      record.completed_once = true;
      ++a->sends_aborted;
    }
  }
  for (PNDIS_PACKET packet : queued)
    complete_to_protocol(a, packet, status);
}

// Records the end of the current request and starts the next queued one.
void finish_request(AdapterRecord* adapter, const std::shared_ptr<Request>& request,
                    NDIS_STATUS status) {
  const char* what = request->is_set ? "set request" : "query request";
  for (size_t i = 0; i < kRequestGuardBytes; ++i) {
    if (request->buffer[request->length + i] != kRequestGuardFill) {
      bug_check("INFORMATION_BUFFER_OVERRUN",
                std::string("the miniport wrote past the ") + std::to_string(request->length) +
                    "-byte information buffer of a " + what + " for OID " + hex(request->oid));
    }
  }
  if (status == NDIS_STATUS_SUCCESS && request->bytes_done > request->length) {
    bug_check("INFORMATION_BUFFER_OVERRUN",
              std::string("the miniport reports ") + std::to_string(request->bytes_done) +
                  " bytes done for a " + what + " with a buffer of " +
                  std::to_string(request->length) + " (OID " + hex(request->oid) + ")");
  }
  Binding* binding;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    request->status = status;
    request->completed_at = Kernel::get().scheduler().now();
    request->completed.store(true);
    if (adapter->current_request == request) adapter->current_request.reset();
    binding = adapter->binding;
  }
  if (binding) binding->request_complete(*adapter->miniport, *request);
  issue_next_request(adapter);
}

void complete_request(NDIS_HANDLE handle, NDIS_STATUS status, bool is_set, const char* what) {
  AdapterRecord* adapter = adapter_from_handle(handle, what);
  check_irql_at_most(DISPATCH_LEVEL, what);
  std::shared_ptr<Request> request;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    request = adapter->current_request;
    if (!request || request->completed || request->is_set != is_set) {
      bug_check("REQUEST_COMPLETE_NOT_PENDING", std::string(what) + " while no " +
                                                    (is_set ? "set" : "query") +
                                                    " request of the adapter is outstanding");
    }
  }
  if (status == NDIS_STATUS_PENDING) {
    bug_check("INVALID_REQUEST_STATUS", std::string(what) + " with NDIS_STATUS_PENDING");
  }
  finish_request(adapter, request, status);
}

VOID NTAPI query_complete(NDIS_HANDLE handle, NDIS_STATUS status) {
  complete_request(handle, status, false, "NdisMQueryInformationComplete");
}

VOID NTAPI set_complete(NDIS_HANDLE handle, NDIS_STATUS status) {
  complete_request(handle, status, true, "NdisMSetInformationComplete");
}

void issue_request(AdapterRecord* adapter, const std::shared_ptr<Request>& request, KIRQL irql) {
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  void* context = adapter->context;
  PVOID buffer = request->buffer.data();
  if (request->is_set) {
    call_driver(irql, "MiniportSetInformation", adapter, [&] {
      status = chars().Ndis40Chars.Ndis30Chars.SetInformationHandler(
          context, request->oid, buffer, request->length, &request->bytes_done,
          &request->bytes_needed);
    });
  } else {
    call_driver(irql, "MiniportQueryInformation", adapter, [&] {
      status = chars().Ndis40Chars.Ndis30Chars.QueryInformationHandler(
          context, request->oid, buffer, request->length, &request->bytes_done,
          &request->bytes_needed);
    });
  }
  if (status == NDIS_STATUS_PENDING) {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    request->pended = true;
    return;
  }
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    if (request->completed) {
      bug_check("REQUEST_COMPLETED_TWICE",
                std::string("the miniport completed a request for OID ") + hex(request->oid) +
                    " and also returned status " + hex(uint32_t(status)) + " from the handler");
    }
  }
  finish_request(adapter, request, status);
}

void issue_next_request(AdapterRecord* adapter) {
  std::shared_ptr<Request> next;
  KIRQL irql;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    if (adapter->current_request || adapter->reset_pending || adapter->queued_requests.empty()) {
      return;
    }
    next = adapter->queued_requests.front().first;
    irql = adapter->queued_requests.front().second;
    adapter->queued_requests.pop_front();
    adapter->current_request = next;
    adapter->current_request_since = Kernel::get().scheduler().now();
  }
  // A completion may run above the IRQL the request was queued for; NDIS
  // then issues it at the completion's level.
  KIRQL now = current_context().irql;
  issue_request(adapter, next, now > irql ? now : irql);
}

// NDIS tells every bound protocol that a reset begins and that it has ended
// (ProtocolStatus with NDIS_STATUS_RESET_START, then NDIS_STATUS_RESET_END),
// whoever asked for it: a protocol's NdisReset or NDIS's own hang check. The
// protocol that asked then also gets its reset completion.
void indicate_reset(AdapterRecord* adapter, Binding* binding, NDIS_STATUS code) {
  if (!binding) return;
  binding->status(*adapter->miniport, code, nullptr, 0);
  binding->status_complete(*adapter->miniport);
}

VOID NTAPI reset_complete(NDIS_HANDLE handle, NDIS_STATUS status, BOOLEAN addressing_reset) {
  AdapterRecord* adapter = adapter_from_handle(handle, "NdisMResetComplete");
  check_irql_at_most(DISPATCH_LEVEL, "NdisMResetComplete");
  Binding* binding;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    if (!adapter->reset_pending) {
      bug_check("REQUEST_COMPLETE_NOT_PENDING", "NdisMResetComplete while no reset is pending");
    }
    adapter->reset_pending = false;
    binding = adapter->binding;
  }
  indicate_reset(adapter, binding, NDIS_STATUS_RESET_END);
  if (binding) binding->reset_complete(*adapter->miniport, status, addressing_reset);
  issue_next_request(adapter);
}

// The checks after halt or a failed initialize: nothing of the adapter may
// be left behind.
void verify_released(AdapterRecord* adapter, const char* when) {
  ndis::State& s = ndis::state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  const std::string who = "adapter '" + adapter->setup.name + "' after " + when;
  if (adapter->shutdown_handler) {
    bug_check("SHUTDOWN_HANDLER_NOT_DEREGISTERED",
              who + " still has its shutdown handler registered");
  }
  // In address order, so that of several timers the same one is reported.
  const std::vector<PNDIS_MINIPORT_TIMER> timers = s.timers.sorted_keys();
  for (PNDIS_MINIPORT_TIMER address : timers) {
    const TimerRecord* timer = s.timers.find(address)->get();
    if (timer->adapter == adapter && timer_armed_or_running(*timer)) {
      bug_check("TIMER_ARMED_AFTER_HALT", who + ": the timer at " + hex(uintptr_t(address)) +
                                              (timer->pending ? " is still armed" : " is running"));
    }
  }
  for (auto& [item, owner] : s.work_items) {
    if (owner == adapter) {
      bug_check("WORK_ITEM_QUEUED_AFTER_HALT",
                who + ": the work item at " + hex(uintptr_t(item)) + " is still queued");
    }
  }
  for (PNDIS_MINIPORT_TIMER address : timers) {
    if ((*s.timers.find(address))->adapter == adapter) {
      unregister_timer_object(address);
      s.timers.erase(address);
    }
  }
  for (auto& [handle, config] : s.configs) {
    if (config->adapter == adapter) {
      bug_check("CONFIGURATION_NOT_CLOSED", who + ": a configuration handle is still open");
    }
  }
  std::string report = owned_resources_report(s, adapter);
  if (!report.empty()) {
    bug_check("LEAKED_NDIS_RESOURCES", who + " the driver still holds:" + report);
  }
  bool other_adapter_live = false;
  for (auto& other : s.adapters) {
    AdapterRecord* record = record_of(*other);
    if (record != adapter && !is_stopped(record->state) &&
        record->state != Miniport::State::Created) {
      other_adapter_live = true;
    }
  }
  if (!other_adapter_live && live_irps() != 0) {
    bug_check("IRPS_OUTSTANDING_AFTER_HALT", who + ": " + irp_leak_report());
  }
}

}  // namespace

namespace host::ndis {

AdapterRecord* record_of(const Miniport& miniport) {
  return miniport.record_.get();
}

void after_timer_routine(AdapterRecord* adapter) {
  if (adapter) send_resources_signal(adapter, true);
}

void install_block_handlers(NDIS_MINIPORT_BLOCK* block) {
  block->Signature = kBlockSignature;
  block->PacketIndicateHandler = indicate_receive;
  block->SendCompleteHandler = send_complete;
  block->ResetCompleteHandler = reset_complete;
  block->StatusHandler = indicate_status;
  block->StatusCompleteHandler = indicate_status_complete;
  block->QueryCompleteHandler = query_complete;
  block->SetCompleteHandler = set_complete;
}

AdapterRecord* adapter_from_handle(NDIS_HANDLE handle, const char* what, bool allow_halted) {
  auto* block = static_cast<NDIS_MINIPORT_BLOCK*>(handle);
  if (!block || block->Signature != kBlockSignature || !block->HostAdapter) {
    bug_check("BAD_MINIPORT_HANDLE", std::string(what) + " with " + hex(uintptr_t(handle)) +
                                         ", which is not a miniport adapter handle");
  }
  auto* adapter = static_cast<AdapterRecord*>(block->HostAdapter);
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  if (!allow_halted && (block != adapter->block || is_stopped(adapter->state))) {
    bug_check("INDICATION_AFTER_HALT", std::string(what) + " through the handle of adapter '" +
                                           adapter->setup.name + "' after it was " +
                                           (adapter->state == Miniport::State::InitializeFailed
                                                ? "refused by its initialize handler"
                                                : "halted"));
  }
  return adapter;
}

std::vector<uint8_t> Request::data() const {
  size_t n = std::min<size_t>(bytes_done, length);
  return std::vector<uint8_t>(buffer.begin(), buffer.begin() + n);
}

// ---- Miniport -------------------------------------------------------------------

Miniport::Miniport(std::unique_ptr<AdapterRecord> record) : record_(std::move(record)) {}
Miniport::~Miniport() = default;

NDIS_STATUS Miniport::initialize() {
  ndis::State& s = ndis::state();
  AdapterRecord* a = record_.get();
  NDIS_MINIPORT_BLOCK* block;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    if (!s.registered) bug_check("NO_MINIPORT_REGISTERED", "initialize: no miniport registered");
    if (a->state != State::Created && !is_stopped(a->state)) {
      bug_check("ADAPTER_BUSY",
                "initialize of adapter '" + a->setup.name + "', which is " + state_name(a->state));
    }
    a->blocks.push_back(std::make_unique<NDIS_MINIPORT_BLOCK>());
    block = a->blocks.back().get();
    std::memset(block, 0, sizeof(*block));
    install_block_handlers(block);
    block->HostAdapter = a;
    a->block = block;
    a->attributes_set = false;
    a->context = nullptr;
    a->attribute_flags = 0;
    a->medium_array = a->setup.media;
    a->state = State::Initializing;
    s.live_config_contexts.insert(a);
  }
  NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
  UINT selected = ~0u;
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  call_driver(PASSIVE_LEVEL, "MiniportInitialize", a, [&] {
    status = chars().Ndis40Chars.Ndis30Chars.InitializeHandler(
        &open_error, &selected, a->medium_array.empty() ? nullptr : a->medium_array.data(),
        static_cast<UINT>(a->medium_array.size()), block, a);
  });
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    s.live_config_contexts.erase(a);
    a->init_status = status;
    if (status == NDIS_STATUS_SUCCESS) {
      for (auto& [handle, config] : s.configs) {
        if (config->adapter == a) {
          bug_check("CONFIGURATION_NOT_CLOSED",
                    "the initialize handler returned with a configuration handle open");
        }
      }
      if (!a->attributes_set) {
        bug_check("MISSING_ATTRIBUTES",
                  "the initialize handler succeeded without calling NdisMSetAttributesEx");
      }
      if (selected >= a->medium_array.size()) {
        bug_check("BAD_MEDIUM_INDEX", "the initialize handler selected medium index " +
                                          std::to_string(selected) + " of an array of " +
                                          std::to_string(a->medium_array.size()));
      }
      a->selected_medium = selected;
      a->state = State::Running;
      start_hang_check(a);
      return status;
    }
    if (status == NDIS_STATUS_PENDING) {
      bug_check("INITIALIZE_PENDED", "the initialize handler returned NDIS_STATUS_PENDING");
    }
    a->state = State::InitializeFailed;
    a->halted_blocks.insert(block);
  }
  verify_released(a, "a failed initialize");
  return status;
}

void Miniport::halt() {
  ndis::State& s = ndis::state();
  AdapterRecord* a = record_.get();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    if (a->state != State::Running) {
      bug_check("ADAPTER_NOT_RUNNING",
                "halt of adapter '" + a->setup.name + "', which is " + state_name(a->state));
    }
  }
  // No hang check, nor the reset one may start, overlaps the halt.
  stop_hang_check(a);
  // NDIS halts only once the protocols are gone: every send and request has
  // completed and every kept packet is back.
  Scheduler& scheduler = Kernel::get().scheduler();
  auto quiet = [&] {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    return a->sending.empty() && !a->current_request && a->queued_requests.empty() &&
           !a->reset_pending;
  };
  if (!quiet() && !scheduler.block_until(quiet, scheduler.now() + kHaltWaitLimit)) {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    bug_check("HALT_WAITING_FOR_COMPLETIONS",
              "adapter '" + a->setup.name + "' never completed " +
                  std::to_string(a->sending.size()) + " send(s), " +
                  std::to_string((a->current_request ? 1 : 0) + a->queued_requests.size()) +
                  " request(s)" + (a->reset_pending ? " and a reset" : ""));
  }
  Binding* binding;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    binding = a->binding;
  }
  if (binding) binding->return_kept_packets(*this);
  std::vector<PNDIS_PACKET> held;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    // In address order, as the returns reach the miniport.
    held = a->held.sorted_keys();
  }
  for (PNDIS_PACKET packet : held)
    return_packet(packet);
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    a->state = State::Halting;
  }
  abort_queued_sends(a, NDIS_STATUS_REQUEST_ABORTED);
  void* context = a->context;
  call_driver(PASSIVE_LEVEL, "MiniportHalt", a,
              [&] { chars().Ndis40Chars.Ndis30Chars.HaltHandler(context); });
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    a->state = State::Halted;
    a->halted_blocks.insert(a->block);
  }
  verify_released(a, "halt");
}

bool Miniport::shutdown() {
  AdapterRecord* a = record_.get();
  ADAPTER_SHUTDOWN_HANDLER handler;
  PVOID context;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    handler = a->shutdown_handler;
    context = a->shutdown_context;
  }
  if (!handler) return false;
  call_driver(PASSIVE_LEVEL, "the adapter shutdown handler", a, [&] { handler(context); });
  return true;
}

NDIS_STATUS Miniport::send(PNDIS_PACKET packet, const CallOptions& options) {
  ndis::State& s = ndis::state();
  AdapterRecord* a = record_.get();
  NDIS_STATUS refused = NDIS_STATUS_SUCCESS;
  bool queued = false;
  uint64_t signals = 0;
  Binding* binding;
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    PacketRecord* record = s.packets.find(packet);
    if (!record || record->use != PacketUse::Free) {
      bug_check("PACKET_IN_USE", "send of " + hex(uintptr_t(packet)) +
                                     ", which is not a free live packet of the protocol");
    }
    binding = a->binding;
    if (a->state != State::Running) {
      refused = NDIS_STATUS_ADAPTER_NOT_READY;
    } else if (a->reset_pending) {
      refused = NDIS_STATUS_RESET_IN_PROGRESS;
    } else if (!a->send_queue.empty() || a->send_blocked || a->send_dispatching) {
      // Behind the sends NDIS already holds, in order.
      record->use = PacketUse::Queued;
      record->adapter = a;
      record->completed_once = false;
      a->send_queue.push_back(packet);
      queued = true;
    } else {
      record->use = PacketUse::Sending;
      record->adapter = a;
      record->completed_once = false;
      record->sent_at = Kernel::get().scheduler().now();
      a->sending.insert(packet);
      signals = a->send_signals;
    }
  }
  if (refused != NDIS_STATUS_SUCCESS) {
    if (binding) binding->send_complete(*this, packet, refused);
    return refused;
  }
  if (queued) {
    dispatch_sends(a);  // returns at once while the queue is blocked or being given
    return NDIS_STATUS_PENDING;
  }
  NDIS_STATUS status = call_send_handler(a, packet, options.irql);
  if (settle_send(a, packet, status, signals, false) == Settled::Refused) {
    dispatch_sends(a);  // at once only when a signal came while the handler ran
    return NDIS_STATUS_PENDING;
  }
  return status;
}

namespace {

std::shared_ptr<Request> make_request(bool is_set, NDIS_OID oid, ULONG length) {
  auto request = std::make_shared<Request>();
  request->is_set = is_set;
  request->oid = oid;
  request->length = length;
  request->buffer.assign(length + kRequestGuardBytes, kRequestGuardFill);
  return request;
}

}  // namespace

static void submit_request(AdapterRecord* a, const std::shared_ptr<Request>& request, KIRQL irql) {
  bool issue_now = false;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    if (a->state != Miniport::State::Running) {
      request->status = NDIS_STATUS_ADAPTER_NOT_READY;
      request->completed_at = Kernel::get().scheduler().now();
      request->completed.store(true);
      return;
    }
    if (a->current_request || a->reset_pending) {
      a->queued_requests.emplace_back(request, irql);
    } else {
      a->current_request = request;
      a->current_request_since = Kernel::get().scheduler().now();
      issue_now = true;
    }
  }
  if (issue_now) issue_request(a, request, irql);
}

std::shared_ptr<Request> Miniport::query(NDIS_OID oid, ULONG length, const CallOptions& options) {
  auto request = make_request(false, oid, length);
  // What the caller's buffer held before: not zero.
  std::memset(request->buffer.data(), 0xCC, length);
  submit_request(record_.get(), request, options.irql);
  return request;
}

std::shared_ptr<Request> Miniport::set(NDIS_OID oid, const std::vector<uint8_t>& data,
                                       const CallOptions& options) {
  auto request = make_request(true, oid, static_cast<ULONG>(data.size()));
  std::copy(data.begin(), data.end(), request->buffer.begin());
  submit_request(record_.get(), request, options.irql);
  return request;
}

NDIS_STATUS Miniport::reset(const CallOptions& options) {
  AdapterRecord* a = record_.get();
  Binding* start_binding;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    if (a->state != State::Running) return NDIS_STATUS_ADAPTER_NOT_READY;
    if (a->reset_pending) return NDIS_STATUS_RESET_IN_PROGRESS;
    a->reset_pending = true;
    start_binding = a->binding;
  }
  indicate_reset(a, start_binding, NDIS_STATUS_RESET_START);
  // Sends NDIS still holds go back to the protocol before the reset.
  abort_queued_sends(a, NDIS_STATUS_RESET_IN_PROGRESS);
  BOOLEAN addressing_reset = FALSE;
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  void* context = a->context;
  call_driver(options.irql, "MiniportReset", a, [&] {
    status = chars().Ndis40Chars.Ndis30Chars.ResetHandler(&addressing_reset, context);
  });
  if (status == NDIS_STATUS_PENDING) return status;
  Binding* binding;
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    if (!a->reset_pending) {
      bug_check("RESET_COMPLETED_TWICE",
                "the reset handler called NdisMResetComplete and also returned status " +
                    hex(uint32_t(status)));
    }
    a->reset_pending = false;
    binding = a->binding;
  }
  indicate_reset(a, binding, NDIS_STATUS_RESET_END);
  if (binding) binding->reset_complete(*this, status, addressing_reset);
  issue_next_request(a);
  return status;
}

bool Miniport::reset_pending() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->reset_pending;
}

void Miniport::return_packet(PNDIS_PACKET packet) {
  AdapterRecord* a = record_.get();
  {
    std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
    PacketRecord* record = ndis::state().packets.find(packet);
    if (!record || record->use != PacketUse::HeldByProtocol || record->adapter != a) {
      bug_check("PACKET_NOT_HELD", "return of packet " + hex(uintptr_t(packet)) +
                                       ", which no protocol holds from this adapter");
    }
    record->use = PacketUse::Free;
    record->adapter = nullptr;
    a->held.erase(packet);
  }
  void* context = a->context;
  call_driver(DISPATCH_LEVEL, "MiniportReturnPacket", a,
              [&] { chars().Ndis40Chars.ReturnPacketHandler(context, packet); });
}

void Miniport::bind(Binding* binding) {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  record_->binding = binding;
}

Miniport::State Miniport::state() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->state;
}
const std::string& Miniport::name() const {
  return record_->setup.name;
}
NDIS_STATUS Miniport::initialize_status() const {
  return record_->init_status;
}
UINT Miniport::selected_medium_index() const {
  return record_->selected_medium;
}
NDIS_HANDLE Miniport::handle() const {
  return record_->block;
}
void* Miniport::context() const {
  return record_->context;
}
ULONG Miniport::attribute_flags() const {
  return record_->attribute_flags;
}
UINT Miniport::check_for_hang_seconds() const {
  return record_->hang_seconds;
}
uint64_t Miniport::hang_checks() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->hang_checks;
}
void Miniport::set_hang_check(bool on) {
  std::lock_guard<host::HostMutex> lock(host::ndis::state().mutex);
  record_->hang_check_off = !on;
}

uint64_t Miniport::hang_resets() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->hang_resets;
}
bool Miniport::check_for_hang() {
  return check_for_hang_now(record_.get());
}
NDIS_INTERFACE_TYPE Miniport::interface_type() const {
  return record_->interface_type;
}
bool Miniport::shutdown_handler_registered() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->shutdown_handler != nullptr;
}
PDEVICE_OBJECT Miniport::functional_device() const {
  return record_->fdo;
}
PDEVICE_OBJECT Miniport::lower_device() const {
  return record_->setup.lower_device;
}
AdapterRegistry& Miniport::registry() {
  return record_->setup.registry;
}
size_t Miniport::sends_outstanding() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->sending.size();
}
size_t Miniport::sends_queued() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->send_queue.size();
}
uint64_t Miniport::sends_refused() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->sends_refused;
}
uint64_t Miniport::sends_aborted() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->sends_aborted;
}
size_t Miniport::packets_held() const {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  return record_->held.size();
}
void Miniport::fail_next_open_configuration(NDIS_STATUS status) {
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  record_->fail_open_pending = true;
  record_->fail_open_status = status;
}

}  // namespace host::ndis

// ---- Adapter setup calls ---------------------------------------------------------

extern "C" VOID NTAPI NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                           NDIS_HANDLE MiniportAdapterContext,
                                           UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                           NDIS_INTERFACE_TYPE AdapterType) {
  AdapterRecord* a = adapter_from_handle(MiniportAdapterHandle, "NdisMSetAttributesEx");
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  if (a->state != Miniport::State::Initializing) {
    bug_check("ATTRIBUTES_OUTSIDE_INITIALIZE",
              "NdisMSetAttributesEx outside the initialize handler");
  }
  a->attributes_set = true;
  a->context = MiniportAdapterContext;
  a->hang_seconds = CheckForHangTimeInSeconds;
  a->attribute_flags = AttributeFlags;
  a->interface_type = AdapterType;
}

extern "C" VOID NTAPI NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle,
                                             PDEVICE_OBJECT* PhysicalDeviceObject,
                                             PDEVICE_OBJECT* FunctionalDeviceObject,
                                             PDEVICE_OBJECT* NextDeviceObject,
                                             PCM_RESOURCE_LIST* AllocatedResources,
                                             PCM_RESOURCE_LIST* AllocatedResourcesTranslated) {
  AdapterRecord* a = adapter_from_handle(MiniportAdapterHandle, "NdisMGetDeviceProperty");
  // The adapter's device stack: NDIS's functional device object attached on
  // top of the bus driver's physical device object, nothing in between.
  if (PhysicalDeviceObject) *PhysicalDeviceObject = a->setup.lower_device;
  if (FunctionalDeviceObject) *FunctionalDeviceObject = a->fdo;
  if (NextDeviceObject) *NextDeviceObject = a->setup.lower_device;
  if (AllocatedResources) *AllocatedResources = nullptr;
  if (AllocatedResourcesTranslated) *AllocatedResourcesTranslated = nullptr;
}

extern "C" VOID NTAPI NdisMRegisterAdapterShutdownHandler(
    NDIS_HANDLE MiniportHandle, PVOID ShutdownContext, ADAPTER_SHUTDOWN_HANDLER ShutdownHandler) {
  check_irql_at_most(PASSIVE_LEVEL, "NdisMRegisterAdapterShutdownHandler");
  AdapterRecord* a = adapter_from_handle(MiniportHandle, "NdisMRegisterAdapterShutdownHandler");
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  if (a->shutdown_handler) {
    bug_check("SHUTDOWN_HANDLER_ALREADY_REGISTERED",
              "NdisMRegisterAdapterShutdownHandler while a handler is registered");
  }
  a->shutdown_handler = ShutdownHandler;
  a->shutdown_context = ShutdownContext;
}

extern "C" VOID NTAPI NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle) {
  check_irql_at_most(PASSIVE_LEVEL, "NdisMDeregisterAdapterShutdownHandler");
  AdapterRecord* a = adapter_from_handle(MiniportHandle, "NdisMDeregisterAdapterShutdownHandler");
  std::lock_guard<host::HostMutex> lock(ndis::state().mutex);
  a->shutdown_handler = nullptr;
  a->shutdown_context = nullptr;
}

extern "C" VOID NTAPI NdisMSendResourcesAvailable(NDIS_HANDLE MiniportAdapterHandle) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisMSendResourcesAvailable");
  AdapterRecord* a = adapter_from_handle(MiniportAdapterHandle, "NdisMSendResourcesAvailable");
  send_resources_signal(a, false);
}
