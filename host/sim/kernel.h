// Host kernel core: the scheduler with its clock, the execution contexts that
// carry an IRQL, the verifier's bug check, fault injection and counters.
// Everything in host/nt, host/ndis and host/usb is built on this interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "sim/function_ref.h"

namespace host {

using Nanoseconds = uint64_t;
constexpr Nanoseconds kMicrosecond = 1000;
constexpr Nanoseconds kMillisecond = 1000 * kMicrosecond;
constexpr Nanoseconds kSecond = 1000 * kMillisecond;

// ---- Bug checks -----------------------------------------------------------
// A verifier failure. In tests the kernel throws this (so a test that commits
// a fault on purpose can catch it); otherwise it prints and aborts.
struct BugCheck : std::exception {
  std::string code;     // short identifier, e.g. "SPINLOCK_ALREADY_OWNED"
  std::string message;  // what happened, with addresses/tags
  BugCheck(std::string c, std::string m) : code(std::move(c)), message(std::move(m)) {}
  const char* what() const noexcept override { return message.c_str(); }
};
[[noreturn]] void bug_check(const std::string& code, const std::string& message);
// When true (the default in tests), bug_check throws BugCheck; otherwise it
// prints the message and aborts the process.
void set_bug_check_throws(bool throws);

// ---- Scheduler ------------------------------------------------------------
enum class Mode { Deterministic, Threaded };

using EventId = uint64_t;
using TimerId = uint64_t;  // 0: none

// IRQL an event's routine runs at. Completion events may run at either level;
// in deterministic mode the seed decides when AnyCompletionLevel is given.
enum class RunLevel { Passive, Dispatch, AnyCompletionLevel };

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  virtual Mode mode() const = 0;
  virtual Nanoseconds now() const = 0;

  // Queue fn to run at absolute time `when` (no earlier than now) at the given
  // level, on some processor. `what` names the event for traces and bug check
  // messages; it must outlive the event (a string literal).
  virtual EventId schedule_at(Nanoseconds when, RunLevel level, std::function<void()> fn,
                              const char* what) = 0;
  EventId schedule_after(Nanoseconds delay, RunLevel level, std::function<void()> fn,
                         const char* what) {
    return schedule_at(now() + delay, level, std::move(fn), what);
  }
  // True when the event was still queued and is now removed.
  virtual bool cancel(EventId id) = 0;

  // A reusable event for a routine that runs again and again at times set one
  // at a time (a bus's (micro)frame boundaries): the routine is stored once,
  // and arming it queues nothing but a small entry (no allocation once the
  // queue has grown). Arming an armed timer moves it; same-time order is drawn
  // from the seed at each arming, as for other events. A routine may re-arm
  // its own timer but must not destroy it; destroying disarms.
  virtual TimerId create_timer(RunLevel level, std::function<void()> fn, const char* what) = 0;
  virtual void arm_timer(TimerId timer, Nanoseconds when) = 0;
  virtual bool disarm_timer(TimerId timer) = 0;  // true when it was armed
  virtual void destroy_timer(TimerId timer) = 0;

  // Blocking at PASSIVE_LEVEL: run due events (advancing virtual time, or
  // sleeping in threaded mode) until ready() returns true or `deadline` passes.
  // Returns ready()'s last value. The caller's IRQL must be PASSIVE_LEVEL.
  virtual bool block_until(const std::function<bool()>& ready, Nanoseconds deadline) = 0;

  // Drivers for tests and tools (deterministic mode; threaded mode sleeps).
  virtual void run_for(Nanoseconds duration) = 0;
  // Runs events until none is queued or `limit` of virtual time has passed;
  // true when the queue emptied.
  virtual bool run_until_idle(Nanoseconds limit) = 0;
  virtual size_t pending_events() const = 0;
  // Events (timer expiries included) run so far: the scheduler's steps.
  virtual uint64_t events_run() const = 0;

  // Wakes threads blocked in block_until so they re-test their condition
  // (events, IRP completions and KeSetEvent call it).
  virtual void notify() = 0;

  // The seed's generator for every free choice (same-time order, completion
  // IRQL, inline or deferred completion). Deterministic mode only uses this.
  virtual uint64_t random(uint64_t bound) = 0;  // uniform in [0, bound)
  virtual uint64_t seed() const = 0;
};

struct KernelOptions {
  Mode mode = Mode::Deterministic;
  uint64_t seed = 1;
  unsigned processors = 2;  // threaded mode: worker threads running events
  double time_scale = 1.0;  // threaded mode: virtual ns per real ns
  bool bug_check_throws = true;
};

// The one host kernel instance of the process. Tests create it per test (the
// destructor reports leaks by tag through the verifier).
class Kernel {
 public:
  static Kernel& get();      // bug check when none exists
  static Kernel* current();  // null when none exists
  static std::unique_ptr<Kernel> create(const KernelOptions& options);
  virtual ~Kernel() = default;

  virtual Scheduler& scheduler() = 0;
  virtual const KernelOptions& options() const = 0;

  // Leak check: bug check (LEAKED_POOL / LEAKED_IRP / ...) naming what is
  // still alive by tag. The destructor runs it unless disabled or a bug check
  // was already raised under this kernel; as a destructor cannot throw, a
  // leak found there prints the report and aborts the process.
  virtual void check_leaks() = 0;
  virtual void set_check_leaks_on_destroy(bool on) = 0;
};

// ---- Execution context (per thread / per simulated processor) ------------
struct Context {
  uint8_t irql = 0;
  int interrupts_disabled = 0;
  unsigned held_spin_locks = 0;
  int processor = 0;
};
Context& current_context();

// Runs fn at `irql` in the current context and checks on return that the
// IRQL is back and no spin lock acquired inside is still held (the verifier's
// check for handlers, DPCs and completion routines). A routine never runs
// below its caller: an `irql` lower than the current one is a bug check
// (IRQL_NOT_GREATER_OR_EQUAL), so callers that pick a completion level at
// random use max(choice, KeGetCurrentIrql()).
void run_at_irql(uint8_t irql, const char* what, FunctionRef<void()> fn);

// ---- Fault injection --------------------------------------------------------
enum class FaultSite {
  PoolAllocation,    // ExAllocatePoolWithTag, NdisAllocateMemoryWithTag
  IrpAllocation,     // IoAllocateIrp, IoBuildDeviceIoControlRequest
  PacketAllocation,  // NdisAllocatePacket, NdisAllocatePacketPool
  BufferAllocation,  // NdisAllocateBuffer, NdisAllocateBufferPool
  UrbSubmission,     // the bus driver's handling of a URB
  UrbAllocation,     // pool allocations carrying the tag set with set_urb_tag
};
constexpr int kFaultSites = 6;

enum class UrbFault {
  None,
  FailImmediately,  // completed at once with an error (device removed)
  CompleteWithError,
  Stall,  // never completes until cancelled
  Late,   // completes after an extra delay
};

class FaultInjector {
 public:
  // Fail the nth (1-based, counted from now) call at a site; 0 clears.
  void fail_nth(FaultSite site, uint64_t n);
  // Fail `count` calls in a row at a site, the first `n` (1-based) calls
  // from now; 0 clears.
  void fail_span(FaultSite site, uint64_t n, uint64_t count);
  // Fail every call at a site with the given probability (0..1), by seed.
  void fail_rate(FaultSite site, double probability);
  // The pool tag the driver's URBs are allocated with: such allocations are
  // also UrbAllocation calls (0: none is).
  void set_urb_tag(uint32_t tag);
  uint32_t urb_tag() const;
  // Calls that failed at a site, by injection.
  uint64_t failures(FaultSite site) const;
  // Hook for URB faults: given the URB function code, returns the fault.
  void set_urb_rule(std::function<UrbFault(uint16_t urb_function)> rule);
  // Hook for bulk transfers by direction (true: IN), asked when the URB rule
  // gave none.
  void set_bulk_rule(std::function<UrbFault(bool direction_in)> rule);
  UrbFault bulk_fault(bool direction_in);
  // Called by the implementation: true when this call must fail.
  bool should_fail(FaultSite site);
  UrbFault urb_fault(uint16_t urb_function);
  uint64_t calls(FaultSite site) const;
  void reset();

 private:
  // A site with nothing armed only counts its calls, without the lock: the
  // allocations and requests of every frame pass here.
  struct SiteState {
    std::atomic<uint64_t> calls{0};
    std::atomic<bool> armed{false};  // a span to fail or a rate is set
    uint64_t fail_at = 0;            // first call of the span to fail
    uint64_t fail_end = 0;           // the call after the span
    double rate = 0;
    uint64_t failures = 0;
  };
  SiteState sites_[kFaultSites];
  uint32_t urb_tag_ = 0;
  std::function<UrbFault(uint16_t)> urb_rule_;
  std::function<UrbFault(bool)> bulk_rule_;
  std::atomic<bool> has_urb_rule_{false}, has_bulk_rule_{false};
};
FaultInjector& faults();

// ---- Counters ---------------------------------------------------------------
struct Counters {
  uint64_t pool_allocations = 0;
  uint64_t pool_frees = 0;
  int64_t pool_bytes_live = 0;
  uint64_t irps_allocated = 0;
  int64_t irps_live = 0;
  int64_t irps_at_lower_driver = 0;
  uint64_t urbs_by_function[64] = {};
  uint64_t bytes_out_per_pipe[4] = {};
  uint64_t bytes_in_per_pipe[4] = {};
};
Counters& counters();

// Live pool allocations per tag (four characters), for tests and leak reports.
std::string tag_string(uint32_t tag);
size_t live_pool_blocks_with_tag(uint32_t tag);
size_t live_pool_blocks();

}  // namespace host
