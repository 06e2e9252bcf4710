// The NDIS library of the host kernel, seen from above: it loads a miniport
// driver, adds adapters below it and drives them the way NDIS does (initialize,
// send, query and set requests, reset, shutdown, halt), while the NDIS calls
// the driver makes (wdk_ndis.h) are served by the same library underneath.
//
// Everything the driver obtains from NDIS (memory, packets, buffers, pools,
// timers, configuration handles) is tracked and attributed to the adapter whose
// handler or timer routine obtained it (or to the driver, outside those). The
// verifier checks, each a bug check:
//   NDIS_BAD_CHARACTERISTICS      not raised: registration returns the status
//   INDICATION_AFTER_HALT         an indication or completion through a halted adapter
//   INDICATION_AT_WRONG_IRQL      receive indicated below DISPATCH_LEVEL, others above it
//   SEND_COMPLETE_NOT_OWNED       NdisMSendComplete for a packet the miniport does not own
//                                 (never sent, completed twice, or handed back already)
//   PACKET_INDICATED_TWICE        a packet indicated again before it was returned
//   REQUEST_COMPLETE_NOT_PENDING  a query/set/reset completion with nothing pending
//   TIMER_NOT_INITIALIZED         a timer set or cancelled before NdisMInitializeTimer
//   TIMER_REINITIALIZED_WHILE_ARMED
//   TIMER_ARMED_AFTER_HALT        a timer of the adapter armed or running after halt
//   PACKET_POOL_BUSY / BUFFER_POOL_BUSY   a pool freed with descriptors outstanding
//   BAD_PACKET / BAD_BUFFER / BAD_POOL_HANDLE   not a live object of the library
//   LEAKED_NDIS_RESOURCES         memory, packets, buffers or pools left after halt,
//                                 after a failed initialize, or at unload (by tag)
//   CONFIGURATION_NOT_CLOSED, CONFIGURATION_CONTEXT_EXPIRED
//   IRPS_OUTSTANDING_AFTER_HALT, SHUTDOWN_HANDLER_NOT_DEREGISTERED
//   MISSING_ATTRIBUTES            initialize succeeded without NdisMSetAttributesEx
//
// Like NDIS, the library checks a running adapter for a hang every
// CheckForHangTimeInSeconds and resets it when it answers TRUE or holds a
// send or request past the time-out it did not ask to ignore (hang.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel.h"
#include "wdk_ndis.h"
#include "wdk_nt.h"

namespace host::ndis {

using DriverEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);

// Size of the NDIS 5.0 characteristics on 32-bit x86, the length a miniport
// must pass to NdisMRegisterMiniport.
constexpr UINT kNdis50CharacteristicsLengthX86 = 96;

// The registry settings of one adapter: keywords (matched without regard to
// case) with an integer (REG_DWORD) or a string (REG_SZ) value, and the
// optional network address override, kept as the bytes NDIS returns.
class AdapterRegistry {
 public:
  struct Value {
    bool is_string = false;
    uint32_t integer = 0;
    std::string text;
  };

  AdapterRegistry& set_integer(const std::string& keyword, uint32_t value);
  AdapterRegistry& set_string(const std::string& keyword, const std::string& value);
  AdapterRegistry& set_network_address(std::vector<uint8_t> bytes);
  AdapterRegistry& erase(const std::string& keyword);
  AdapterRegistry& clear_network_address();

  const Value* find(const std::string& keyword) const;
  const std::vector<uint8_t>* network_address() const;

 private:
  std::map<std::string, Value> values_;  // keyed by the lower-case keyword
  bool has_address_ = false;
  std::vector<uint8_t> address_;
};

// Per call: the IRQL at which NDIS calls the handler (sends, requests and
// resets may come at DISPATCH_LEVEL on the real platform).
struct CallOptions {
  KIRQL irql = PASSIVE_LEVEL;
};

// One query or set request as NDIS issued it. The information buffer lives
// here until the request completes (it may pend).
struct Request {
  bool is_set = false;
  NDIS_OID oid = 0;
  std::vector<uint8_t> buffer;  // InformationBufferLength bytes (+ guard, not visible)
  ULONG length = 0;
  ULONG bytes_done = 0;  // BytesWritten or BytesRead
  ULONG bytes_needed = 0;
  NDIS_STATUS status = NDIS_STATUS_PENDING;
  bool pended = false;  // the handler returned NDIS_STATUS_PENDING
  Nanoseconds completed_at = 0;
  // Set last, once status and the byte counts are final.
  std::atomic<bool> completed{false};
  // The answer: the first bytes_done bytes of the buffer (queries).
  std::vector<uint8_t> data() const;
};

class Miniport;

// What sits above an adapter: the bound protocol. Called by the library in
// the context of the miniport's indication or completion.
class Binding {
 public:
  virtual ~Binding() = default;
  // A received packet; `data` is the frame copied out of the buffer chain.
  // Return true to keep the packet (only possible when its status is not
  // NDIS_STATUS_RESOURCES); it is given back later with Miniport::return_packet.
  virtual bool receive(Miniport& adapter, PNDIS_PACKET packet, NDIS_STATUS packet_status,
                       UINT header_size, std::vector<uint8_t> data) = 0;
  virtual void status(Miniport& adapter, NDIS_STATUS code, const void* buffer, UINT size) = 0;
  virtual void status_complete(Miniport& adapter) = 0;
  virtual void send_complete(Miniport& adapter, PNDIS_PACKET packet, NDIS_STATUS status) = 0;
  virtual void request_complete(Miniport& adapter, const Request& request) {}
  virtual void reset_complete(Miniport& adapter, NDIS_STATUS status, BOOLEAN addressing_reset) {}
  // Before a halt: give back (Miniport::return_packet) every packet kept.
  virtual void return_kept_packets(Miniport& adapter) {}
};

struct AdapterSetup {
  PDEVICE_OBJECT lower_device = nullptr;  // the bus driver's device object below the adapter
  AdapterRegistry registry;
  std::vector<NDIS_MEDIUM> media{NdisMedium802_3};
  std::string name = "adapter";
};

struct AdapterRecord;  // library-internal
class Miniport;
AdapterRecord* record_of(const Miniport& miniport);

// One adapter of the loaded miniport, as NDIS drives it.
class Miniport {
 public:
  enum class State { Created, Initializing, Running, Halting, Halted, InitializeFailed };

  ~Miniport();
  Miniport(const Miniport&) = delete;
  Miniport& operator=(const Miniport&) = delete;

  // Calls the initialize handler at PASSIVE_LEVEL (again after a halt: same
  // device, same registry). Returns its status.
  NDIS_STATUS initialize();
  // Calls the halt handler at PASSIVE_LEVEL after outstanding sends, requests
  // and held packets are back, then runs the verifier's after-halt checks.
  void halt();
  // Calls the registered shutdown handler at PASSIVE_LEVEL; false when none.
  bool shutdown();

  // One packet through the send handler. The handler's status is returned; a
  // status other than NDIS_STATUS_PENDING hands the packet back to the binding
  // with that status. NDIS_STATUS_RESOURCES is the exception: NDIS keeps the
  // packet in its send queue for the adapter (later sends queue behind it),
  // gives it to the miniport again once the miniport signals that it can take
  // sends, and returns NDIS_STATUS_PENDING; the protocol never sees that status.
  NDIS_STATUS send(PNDIS_PACKET packet, const CallOptions& options = {});

  // Issues (or queues behind the outstanding one) a query or a set request.
  std::shared_ptr<Request> query(NDIS_OID oid, ULONG length, const CallOptions& options = {});
  std::shared_ptr<Request> set(NDIS_OID oid, const std::vector<uint8_t>& data,
                               const CallOptions& options = {});

  // Calls the reset handler (at DISPATCH_LEVEL unless told otherwise, as NDIS
  // does). Returns the handler's status; a pended reset completes through
  // NdisMResetComplete.
  NDIS_STATUS reset(const CallOptions& options = CallOptions{DISPATCH_LEVEL});
  bool reset_pending() const;

  // Gives a packet the binding kept back to the miniport (ReturnPacketHandler
  // at DISPATCH_LEVEL).
  void return_packet(PNDIS_PACKET packet);

  void bind(Binding* binding);

  State state() const;
  const std::string& name() const;
  NDIS_STATUS initialize_status() const;
  UINT selected_medium_index() const;
  NDIS_HANDLE handle() const;  // the miniport adapter handle of the current run
  void* context() const;       // the miniport adapter context given to NdisMSetAttributesEx
  ULONG attribute_flags() const;
  UINT check_for_hang_seconds() const;
  // Check-for-hang calls NDIS made, and the resets it made for a hang or a
  // time-out, over the adapter's life.
  uint64_t hang_checks() const;
  uint64_t hang_resets() const;
  // Tests: false stops NDIS from checking this adapter for a hang (no
  // check-for-hang calls, no resets for a hang or a time-out); true again
  // resumes the checks.
  void set_hang_check(bool on);
  // Makes the check NDIS makes every CheckForHangTimeInSeconds now, as if the
  // period had just run out (the periodic one goes on as before): from
  // PASSIVE_LEVEL, the handler at DISPATCH_LEVEL, and a reset when it answers
  // TRUE or a send or request has timed out. For harnesses that skip the idle
  // wait. True when it started a reset; false without a call while the
  // adapter is not running or a reset is pending.
  bool check_for_hang();
  NDIS_INTERFACE_TYPE interface_type() const;
  bool shutdown_handler_registered() const;
  PDEVICE_OBJECT functional_device() const;
  PDEVICE_OBJECT lower_device() const;
  AdapterRegistry& registry();
  size_t sends_outstanding() const;  // given to the miniport, not yet completed
  size_t sends_queued() const;       // in NDIS's send queue, not yet taken by the miniport
  uint64_t sends_refused() const;    // NDIS_STATUS_RESOURCES answers of the send handler
  uint64_t sends_aborted() const;    // completed from the queue at a reset or a halt
  size_t packets_held() const;
  // Makes the next NdisOpenConfiguration of this adapter fail with `status`.
  void fail_next_open_configuration(NDIS_STATUS status);

 private:
  friend class Library;
  friend AdapterRecord* record_of(const Miniport& miniport);
  explicit Miniport(std::unique_ptr<AdapterRecord> record);
  std::unique_ptr<AdapterRecord> record_;
};

// NDIS itself: one per host kernel, created after the kernel and destroyed
// before it.
class Library {
 public:
  Library();
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  static Library& get();      // bug check NO_NDIS when none exists
  static Library* current();  // null when none exists

  // Creates the driver object and calls DriverEntry at PASSIVE_LEVEL.
  NTSTATUS load_driver(DriverEntryRoutine entry, const std::string& name = "usbeth");
  // Halts every running adapter, then checks that nothing of the driver is
  // left (memory, packets, buffers, pools by tag) and removes the driver object.
  void unload_driver();
  bool driver_loaded() const;
  bool miniport_registered() const;
  PDRIVER_OBJECT driver_object() const;
  // The copy of the characteristics kept at registration.
  const NDIS_MINIPORT_CHARACTERISTICS& characteristics() const;
  UINT characteristics_length() const;
  int wrapper_initializations() const;
  int wrapper_terminations() const;

  // Makes the next NdisMRegisterMiniport fail with `status`.
  void fail_next_registration(NDIS_STATUS status);

  Miniport& add_adapter(AdapterSetup setup);
  std::vector<Miniport*> adapters();

  // Live objects of the library, for tests and reports.
  size_t live_packets() const;
  size_t live_buffers() const;
  size_t live_pools() const;
  size_t live_memory_blocks() const;
  size_t armed_timers() const;
  std::string resource_report() const;

  // After a test provoked a bug check on purpose: skip every further check
  // and driver call at teardown (the state is not trustworthy any more).
  void abandon();
  bool abandoned() const;

 private:
  friend class Miniport;
};

// Runs fn with `owner` as the party that NDIS objects obtained inside are
// attributed to (an adapter's handler, a protocol). Nests.
class OwnerScope {
 public:
  explicit OwnerScope(const void* owner);
  ~OwnerScope();
  OwnerScope(const OwnerScope&) = delete;
  OwnerScope& operator=(const OwnerScope&) = delete;

 private:
  const void* saved_;
};

}  // namespace host::ndis
