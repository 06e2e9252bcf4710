// NDIS's hang check of a running adapter, as the NDIS 5 documentation of
// NdisMSetAttributesEx and MiniportCheckForHang describes it:
// - every CheckForHangTimeInSeconds (two seconds when the miniport gave 0),
//   at DISPATCH_LEVEL, NDIS calls the miniport's check-for-hang handler when
//   it registered one, and calls its reset handler when the answer is TRUE;
// - whatever the answer, NDIS also resets an adapter that holds a send or a
//   request handed to it for longer than its time-out interval, twice the
//   check period, unless the miniport set NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT
//   (sends) or NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT (requests);
// - no check is made while a reset is in progress.
// Halt stops the check and waits for one in progress, so no check-for-hang
// call or hang reset overlaps the halt handler.
#include "ndis/state.h"

namespace host::ndis {

namespace {

constexpr UINT kDefaultHangSeconds = 2;

Nanoseconds hang_period(const AdapterRecord* a) {
  const UINT seconds = a->hang_seconds == 0 ? kDefaultHangSeconds : a->hang_seconds;
  return Nanoseconds(seconds) * kSecond;
}

void hang_tick(AdapterRecord* a, uint64_t generation);

// With the state mutex held (as every function here that takes none).
void queue_tick(AdapterRecord* a) {
  const uint64_t generation = a->hang_generation;
  a->hang_event = Kernel::get().scheduler().schedule_after(
      hang_period(a), RunLevel::Dispatch, [a, generation] { hang_tick(a, generation); },
      "NDIS hang check");
}

// With the state mutex held: a send or a request held past the time-out
// interval that the miniport did not ask NDIS to ignore.
bool timed_out(const State& s, const AdapterRecord* a, Nanoseconds now) {
  const Nanoseconds limit = 2 * hang_period(a);
  if (!(a->attribute_flags & NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT) && a->current_request &&
      now - a->current_request_since >= limit) {
    return true;
  }
  if (!(a->attribute_flags & NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT)) {
    bool late = false;
    a->sending.for_each([&](PNDIS_PACKET packet) {
      const PacketRecord* record = s.packets.find(packet);
      if (record && now - record->sent_at >= limit) late = true;
    });
    if (late) return true;
  }
  return false;
}

// One check: the handler at DISPATCH_LEVEL, and the reset when it answers
// TRUE or a send or request timed out. With the state mutex held on entry
// (released here); `hang_calls_running` already counts this call.
bool check_once(State& s, AdapterRecord* a, std::unique_lock<host::HostMutex>& lock) {
  W_CHECK_FOR_HANG_HANDLER handler = s.chars.Ndis40Chars.Ndis30Chars.CheckForHangHandler;
  void* context = a->context;
  lock.unlock();
  struct Done {
    State& s;
    AdapterRecord* a;
    ~Done() {
      {
        std::lock_guard<host::HostMutex> lock(s.mutex);
        --a->hang_calls_running;
      }
      Kernel::get().scheduler().notify();
    }
  } done{s, a};

  BOOLEAN hung = FALSE;
  if (handler) {
    call_driver(DISPATCH_LEVEL, "MiniportCheckForHang", a, [&] { hung = handler(context); });
  }
  {
    std::lock_guard<host::HostMutex> relock(s.mutex);
    ++a->hang_checks;
    if (!hung && !timed_out(s, a, Kernel::get().scheduler().now())) return false;
    ++a->hang_resets;
  }
  a->miniport->reset(CallOptions{DISPATCH_LEVEL});
  return true;
}

void hang_tick(AdapterRecord* a, uint64_t generation) {
  if (!library_exists()) return;
  State& s = state();
  std::unique_lock<host::HostMutex> lock(s.mutex);
  if (a->hang_generation != generation || a->state != Miniport::State::Running) return;
  queue_tick(a);
  if (a->reset_pending || a->hang_check_off) return;
  ++a->hang_calls_running;
  check_once(s, a, lock);
}

}  // namespace

void start_hang_check(AdapterRecord* a) {
  ++a->hang_generation;
  queue_tick(a);
}

bool check_for_hang_now(AdapterRecord* a) {
  State& s = state();
  std::unique_lock<host::HostMutex> lock(s.mutex);
  if (a->state != Miniport::State::Running || a->reset_pending) return false;
  ++a->hang_calls_running;
  return check_once(s, a, lock);
}

void stop_hang_check(AdapterRecord* a) {
  State& s = state();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    ++a->hang_generation;
    if (a->hang_event) Kernel::get().scheduler().cancel(a->hang_event);
    a->hang_event = 0;
  }
  Scheduler& scheduler = Kernel::get().scheduler();
  auto idle = [&] {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    return a->hang_calls_running == 0;
  };
  if (!idle()) scheduler.block_until(idle, scheduler.now() + 60 * kSecond);
}

}  // namespace host::ndis
