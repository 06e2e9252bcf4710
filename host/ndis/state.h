// Library-internal records of the host NDIS: the one state object behind the
// Library and the NDIS calls, and the records of adapters, timers, packets,
// buffers, pools, memory and configuration handles.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ndis/ndis.h"
#include "nt/pool.h"
#include "sim/function_ref.h"
#include "sim/host_mutex.h"
#include "sim/pointer_map.h"

namespace host::ndis {

constexpr ULONG kTimerMagic = 0x6D69546E;                                             // "nTim"
inline void* const kBlockSignature = reinterpret_cast<void*>(uintptr_t{0x4E444953});  // "NDIS"

// Pool tags of the library's own objects, as the leak reports show them.
constexpr uint32_t kPacketPoolTag = 0x7070444E;     // "NDpp"
constexpr uint32_t kPacketTag = 0x6B70444E;         // "NDpk"
constexpr uint32_t kBufferPoolTag = 0x7062444E;     // "NDbp"
constexpr uint32_t kBufferTag = 0x6662444E;         // "NDbf"
constexpr uint32_t kDefaultMemoryTag = 0x5349444E;  // "NDIS"

struct TimerRecord {
  PNDIS_MINIPORT_TIMER timer = nullptr;
  ULONG serial = 0;
  PNDIS_TIMER_FUNCTION routine = nullptr;
  PVOID context = nullptr;
  AdapterRecord* adapter = nullptr;
  bool pending = false;
  EventId event = 0;
  uint64_t generation = 0;
  unsigned running = 0;
  UINT period_ms = 0;  // periodic timers
  uint64_t expiries = 0;
};

// Queued: in NDIS's send queue of an adapter, not yet taken by the miniport.
// Sending: given to the miniport's send handler and not yet completed.
enum class PacketUse { Free, Queued, Sending, HeldByProtocol };

struct PacketRecord {
  struct PoolRecord* pool = nullptr;
  size_t block_size = 0;
  PacketUse use = PacketUse::Free;
  AdapterRecord* adapter = nullptr;  // while sending or held
  bool completed_once = false;       // for the double-completion message
  Nanoseconds sent_at = 0;           // when the send handler was given it
};

// A pool keeps the descriptors freed last and hands them out again, as a
// pool's preallocated descriptors are on the platform, rather than taking a
// block from the system pool for every packet or buffer. A freed descriptor
// is filled with the freed pattern and waits behind kSpareAge others before
// it is reused: a write to it in that time is caught at its reuse, and a
// stale pointer to it is no live packet or buffer until then.
struct PoolRecord {
  static constexpr size_t kSpareAge = 16;
  static constexpr size_t kSparesKept = 256;

  PoolRecord() : spares(kSpareAge, kSparesKept) {}
  ~PoolRecord();  // returns the spares to the system pool
  PoolRecord(const PoolRecord&) = delete;
  PoolRecord& operator=(const PoolRecord&) = delete;

  bool is_packet_pool = true;
  UINT capacity = 0;
  UINT protocol_reserved = 0;
  size_t live = 0;
  const void* owner = nullptr;
  size_t descriptor_size = 0;  // a packet pool's packet block
  host::SpareBlocks spares;    // freed descriptors
};

struct BufferRecord {
  PoolRecord* pool = nullptr;  // null: allocated without a pool
  UINT length = 0;             // as allocated
  PVOID address = nullptr;
};

struct MemoryRecord {
  size_t size = 0;
  uint32_t tag = 0;
  const void* owner = nullptr;
  unsigned flags = 0;  // the MemoryFlags of the allocation, which the free must repeat
};

struct ConfigHandle {
  AdapterRecord* adapter = nullptr;
  std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> parameters;
  std::vector<std::unique_ptr<std::vector<WCHAR>>> strings;
  std::vector<uint8_t> address;
};

// Everything NDIS knows about one adapter.
struct AdapterRecord {
  Miniport* miniport = nullptr;
  AdapterSetup setup;
  Miniport::State state = Miniport::State::Created;
  NDIS_STATUS init_status = NDIS_STATUS_FAILURE;
  UINT selected_medium = 0;
  std::vector<NDIS_MEDIUM> medium_array;

  // The block of the current run; blocks of earlier runs stay allocated (and
  // marked halted) so a stale handle is recognised.
  NDIS_MINIPORT_BLOCK* block = nullptr;
  std::vector<std::unique_ptr<NDIS_MINIPORT_BLOCK>> blocks;
  std::set<const NDIS_MINIPORT_BLOCK*> halted_blocks;

  bool attributes_set = false;
  void* context = nullptr;
  ULONG attribute_flags = 0;
  UINT hang_seconds = 0;
  bool hang_check_off = false;  // a test turned NDIS's hang check off
  NDIS_INTERFACE_TYPE interface_type = NdisInterfaceInternal;

  ADAPTER_SHUTDOWN_HANDLER shutdown_handler = nullptr;
  PVOID shutdown_context = nullptr;

  PDEVICE_OBJECT fdo = nullptr;
  // Valid only while the initialize handler runs.
  void* config_context = nullptr;
  bool fail_open_pending = false;
  NDIS_STATUS fail_open_status = NDIS_STATUS_FAILURE;

  Binding* binding = nullptr;

  // Flat sets: a packet goes in and out of `sending` at every send, and of
  // `held` at every kept receive.
  host::PointerSet<PNDIS_PACKET> sending;
  host::PointerSet<PNDIS_PACKET> held;

  // NDIS's send queue for the adapter: packets the protocol sent that the
  // miniport has not taken, oldest first. `send_blocked`: the miniport
  // refused the head with NDIS_STATUS_RESOURCES and has given no signal since
  // (a send completion, NdisMSendResourcesAvailable, the return of one of its
  // timer routines). `send_signals` counts those signals, so that one given
  // while the refusing call ran is not lost. One context at a time gives the
  // queue to the miniport (`send_dispatching`).
  std::deque<PNDIS_PACKET> send_queue;
  bool send_blocked = false;
  bool send_dispatching = false;
  uint64_t send_signals = 0;
  EventId send_retry_event = 0;  // the deferred retry, while one is scheduled
  uint64_t sends_refused = 0;    // NDIS_STATUS_RESOURCES answers of the send handler
  uint64_t sends_aborted = 0;    // completed from the queue at a reset or a halt

  std::shared_ptr<Request> current_request;
  KIRQL current_request_irql = PASSIVE_LEVEL;
  std::deque<std::pair<std::shared_ptr<Request>, KIRQL>> queued_requests;
  Nanoseconds current_request_since = 0;  // when current_request was handed down
  bool reset_pending = false;

  // The periodic hang check (hang.cpp).
  uint64_t hang_generation = 0;  // bumped to retire the queued check
  EventId hang_event = 0;
  unsigned hang_calls_running = 0;
  uint64_t hang_checks = 0;  // check-for-hang calls made
  uint64_t hang_resets = 0;  // resets NDIS made because the adapter hung or timed out
};

// The one state object; every member is guarded by `mutex`, which is never
// held while the driver's code runs.
struct State {
  mutable host::HostMutex mutex;
  bool abandoned = false;
  bool bug_check_seen = false;

  PDRIVER_OBJECT driver = nullptr;
  std::vector<WCHAR> registry_path;
  UNICODE_STRING registry_path_string{};
  bool wrapper_live = false;
  int wrapper_inits = 0;
  int wrapper_terms = 0;
  bool registered = false;
  NDIS_MINIPORT_CHARACTERISTICS chars{};
  UINT chars_length = 0;
  bool fail_registration = false;
  NDIS_STATUS fail_registration_status = NDIS_STATUS_FAILURE;

  std::vector<std::unique_ptr<Miniport>> adapters;

  // By timer object; the records themselves stay put while the table moves.
  host::PointerMap<PNDIS_MINIPORT_TIMER, std::unique_ptr<TimerRecord>> timers;
  ULONG timer_serial = 0;
  // Flat maps, as packets and buffers come and go with every frame; a
  // reference into one is good only until the next insertion or erasure.
  host::PointerMap<PNDIS_PACKET, PacketRecord> packets;
  host::PointerMap<PNDIS_BUFFER, BufferRecord> buffers;
  std::unordered_map<void*, std::unique_ptr<PoolRecord>> pools;  // by handle
  std::unordered_map<void*, MemoryRecord> memory;
  std::unordered_map<void*, std::unique_ptr<ConfigHandle>> configs;
  std::unordered_set<void*> live_config_contexts;
  std::unordered_map<PNDIS_WORK_ITEM, const void*> work_items;  // queued, with their owner
};

// The state of the current Library; bug check NO_NDIS when none exists.
State& state();
bool library_exists();

// The party that objects obtained now are attributed to.
const void* current_owner();

// The adapter behind a miniport handle; bug checks for a handle that is not
// a block of this library and, unless `allow_halted`, for a halted adapter.
AdapterRecord* adapter_from_handle(NDIS_HANDLE handle, const char* what, bool allow_halted = false);

// Runs a routine of the driver; notes a bug check that passes through so the
// teardown can skip its checks.
void call_driver(uint8_t irql, const char* what, const void* owner, FunctionRef<void()> fn);
void note_bug_check();

void check_irql_at_most(KIRQL max, const char* what);
std::string hex(uintptr_t value);
std::string tag_text(uint32_t tag);

// Report of the objects held by `owner` (by kind and tag); empty when none.
std::string owned_resources_report(const State& s, const void* owner);
bool timer_armed_or_running(const TimerRecord& t);

// The handlers NDIS puts into every miniport block.
void install_block_handlers(NDIS_MINIPORT_BLOCK* block);

// The periodic hang check of a running adapter: started, with the state
// mutex held, once initialize succeeded; stopped without it before halt,
// waiting for a check in progress.
void start_hang_check(AdapterRecord* adapter);
void stop_hang_check(AdapterRecord* adapter);
// One check made now, outside the period (Miniport::check_for_hang).
bool check_for_hang_now(AdapterRecord* adapter);

// NDIS's deferred work for an adapter once one of its timer routines has
// returned: a send refused for want of resources is given to the miniport
// again. Called at DISPATCH_LEVEL by the timer code.
void after_timer_routine(AdapterRecord* adapter);

}  // namespace host::ndis
