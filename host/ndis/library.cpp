// The library object, driver loading and miniport registration, ownership of
// NDIS objects and the reports of what is still held.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "ndis/state.h"
#include "nt/io.h"
#include "nt/pool.h"

namespace host::ndis {
namespace {

std::atomic<State*> g_state{nullptr};
std::atomic<Library*> g_library{nullptr};
thread_local const void* g_owner = nullptr;
// The wrapper handle: NDIS hands out the address of its record; one driver
// is loaded at a time, so one token serves.
int g_wrapper_token;

std::vector<WCHAR> wide(const std::string& text) {
  std::vector<WCHAR> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

}  // namespace

State& state() {
  State* s = g_state.load();
  if (!s) bug_check("NO_NDIS", "an NDIS call was made while no host NDIS library exists");
  return *s;
}

bool library_exists() {
  return g_state.load() != nullptr;
}

const void* current_owner() {
  return g_owner;
}

OwnerScope::OwnerScope(const void* owner) : saved_(g_owner) {
  g_owner = owner;
}
OwnerScope::~OwnerScope() {
  g_owner = saved_;
}

std::string hex(uintptr_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

std::string tag_text(uint32_t tag) {
  return "'" + tag_string(tag) + "'";
}

void note_bug_check() {
  if (State* s = g_state.load()) {
    std::lock_guard<host::HostMutex> lock(s->mutex);
    s->bug_check_seen = true;
  }
}

void call_driver(uint8_t irql, const char* what, const void* owner, FunctionRef<void()> fn) {
  OwnerScope scope(owner);
  try {
    run_at_irql(irql, what, fn);
  } catch (const BugCheck&) {
    note_bug_check();
    throw;
  }
}

void check_irql_at_most(KIRQL max, const char* what) {
  KIRQL irql = current_context().irql;
  if (irql > max) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", std::string(what) + " called at IRQL " +
                                            std::to_string(irql) + " (at most " +
                                            std::to_string(max) + " allowed)");
  }
}

bool timer_armed_or_running(const TimerRecord& t) {
  return t.pending || t.running > 0;
}

std::string owned_resources_report(const State& s, const void* owner) {
  std::map<std::string, std::pair<size_t, size_t>> lines;  // kind -> (count, bytes)
  for (auto& [address, m] : s.memory) {
    if (m.owner != owner) continue;
    auto& line = lines["memory tag " + tag_text(m.tag)];
    ++line.first;
    line.second += m.size;
  }
  for (auto& [handle, pool] : s.pools) {
    if (pool->owner != owner) continue;
    auto& line = lines[pool->is_packet_pool ? "packet pool" : "buffer pool"];
    ++line.first;
  }
  s.packets.for_each([&](PNDIS_PACKET, const PacketRecord& record) {
    if (record.pool->owner == owner) ++lines["packet"].first;
  });
  s.buffers.for_each([&](PNDIS_BUFFER, const BufferRecord& record) {
    const void* buffer_owner = record.pool ? record.pool->owner : nullptr;
    if (buffer_owner == owner) ++lines["buffer"].first;
  });
  if (lines.empty()) return "";
  std::ostringstream out;
  for (auto& [kind, line] : lines) {
    out << "\n  " << line.first << " " << kind;
    if (line.second) out << " (" << line.second << " bytes)";
  }
  return out.str();
}

// ---- Library ------------------------------------------------------------------

Library::Library() {
  Kernel::get();
  if (g_library.load()) bug_check("NDIS_ALREADY_EXISTS", "only one host NDIS library at a time");
  g_state.store(new State);
  g_library.store(this);
}

Library::~Library() {
  State* s = g_state.load();
  bool skip_checks;
  {
    std::lock_guard<host::HostMutex> lock(s->mutex);
    skip_checks = s->abandoned || s->bug_check_seen;
  }
  if (!skip_checks && s->driver) {
    try {
      unload_driver();
    } catch (const BugCheck& e) {
      std::fprintf(stderr, "*** BUG CHECK while the NDIS library was torn down\n%s\n", e.what());
      std::fflush(stderr);
      std::abort();
    }
  }
  if (skip_checks) {
    if (Kernel* k = Kernel::current()) k->set_check_leaks_on_destroy(false);
  }
  // Nothing of the library may run once it is gone: drop queued timer
  // expiries and the pool's view of the timers. In address order: the
  // scheduler reuses the slots of cancelled events in the order they were
  // freed, so the ids of the events queued after this depend on it.
  const std::vector<PNDIS_MINIPORT_TIMER> timers = s->timers.sorted_keys();
  if (Kernel* k = Kernel::current()) {
    for (PNDIS_MINIPORT_TIMER address : timers) {
      const TimerRecord& timer = **s->timers.find(address);
      if (timer.pending) k->scheduler().cancel(timer.event);
    }
  }
  for (PNDIS_MINIPORT_TIMER address : timers)
    unregister_timer_object(address);
  for (auto& adapter : s->adapters) {
    if (adapter->record_->fdo) delete_device_object(adapter->record_->fdo);
  }
  if (s->driver) delete_driver_object(s->driver);
  g_library.store(nullptr);
  g_state.store(nullptr);
  delete s;
}

Library& Library::get() {
  Library* library = current();
  if (!library) bug_check("NO_NDIS", "the host NDIS library is used before it exists");
  return *library;
}

Library* Library::current() {
  return g_library.load();
}

NTSTATUS Library::load_driver(DriverEntryRoutine entry, const std::string& name) {
  State& s = state();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    if (s.driver) bug_check("DRIVER_ALREADY_LOADED", "load_driver: a driver is already loaded");
    s.driver = create_driver_object(name.c_str());
    s.registry_path = wide("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name);
    s.registry_path_string.Length = static_cast<USHORT>((s.registry_path.size() - 1) * 2);
    s.registry_path_string.MaximumLength = static_cast<USHORT>(s.registry_path.size() * 2);
    s.registry_path_string.Buffer = s.registry_path.data();
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  call_driver(PASSIVE_LEVEL, "DriverEntry", nullptr,
              [&] { status = entry(s.driver, &s.registry_path_string); });
  return status;
}

void Library::unload_driver() {
  State& s = state();
  for (Miniport* adapter : adapters()) {
    if (adapter->state() == Miniport::State::Running) adapter->halt();
  }
  std::lock_guard<host::HostMutex> lock(s.mutex);
  if (!s.driver) return;
  std::string report = owned_resources_report(s, nullptr);
  for (auto& adapter : s.adapters)
    report += owned_resources_report(s, adapter->record_.get());
  if (!report.empty()) {
    bug_check("LEAKED_NDIS_RESOURCES", "the driver is unloaded still holding:" + report);
  }
  for (auto& adapter : s.adapters) {
    if (adapter->record_->fdo) {
      delete_device_object(adapter->record_->fdo);
      adapter->record_->fdo = nullptr;
    }
  }
  s.adapters.clear();
  delete_driver_object(s.driver);
  s.driver = nullptr;
  s.registered = false;
  s.wrapper_live = false;
}

bool Library::driver_loaded() const {
  std::lock_guard<host::HostMutex> lock(state().mutex);
  return state().driver != nullptr;
}

bool Library::miniport_registered() const {
  std::lock_guard<host::HostMutex> lock(state().mutex);
  return state().registered;
}

PDRIVER_OBJECT Library::driver_object() const {
  return state().driver;
}

const NDIS_MINIPORT_CHARACTERISTICS& Library::characteristics() const {
  return state().chars;
}

UINT Library::characteristics_length() const {
  return state().chars_length;
}

int Library::wrapper_initializations() const {
  return state().wrapper_inits;
}
int Library::wrapper_terminations() const {
  return state().wrapper_terms;
}

void Library::fail_next_registration(NDIS_STATUS status) {
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  s.fail_registration = true;
  s.fail_registration_status = status;
}

Miniport& Library::add_adapter(AdapterSetup setup) {
  State& s = state();
  auto record = std::make_unique<AdapterRecord>();
  record->setup = std::move(setup);
  std::lock_guard<host::HostMutex> lock(s.mutex);
  if (!s.registered) {
    bug_check("NO_MINIPORT_REGISTERED", "add_adapter: no miniport driver is registered");
  }
  if (!record->setup.lower_device) {
    bug_check("NO_LOWER_DEVICE", "add_adapter: the adapter has no device below it");
  }
  record->fdo = create_device_object(s.driver, record->setup.lower_device->StackSize + 1);
  AdapterRecord* raw = record.get();
  s.adapters.emplace_back(new Miniport(std::move(record)));
  raw->miniport = s.adapters.back().get();
  return *s.adapters.back();
}

std::vector<Miniport*> Library::adapters() {
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  std::vector<Miniport*> out;
  for (auto& adapter : s.adapters)
    out.push_back(adapter.get());
  return out;
}

size_t Library::live_packets() const {
  std::lock_guard<host::HostMutex> lock(state().mutex);
  return state().packets.size();
}
size_t Library::live_buffers() const {
  std::lock_guard<host::HostMutex> lock(state().mutex);
  return state().buffers.size();
}
size_t Library::live_pools() const {
  std::lock_guard<host::HostMutex> lock(state().mutex);
  return state().pools.size();
}
size_t Library::live_memory_blocks() const {
  std::lock_guard<host::HostMutex> lock(state().mutex);
  return state().memory.size();
}
size_t Library::armed_timers() const {
  std::lock_guard<host::HostMutex> lock(state().mutex);
  size_t n = 0;
  state().timers.for_each([&](PNDIS_MINIPORT_TIMER, const std::unique_ptr<TimerRecord>& timer) {
    n += timer_armed_or_running(*timer) ? 1 : 0;
  });
  return n;
}

std::string Library::resource_report() const {
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  std::string report = owned_resources_report(s, nullptr);
  for (auto& adapter : s.adapters)
    report += owned_resources_report(s, adapter->record_.get());
  return report;
}

void Library::abandon() {
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  s.abandoned = true;
}

bool Library::abandoned() const {
  std::lock_guard<host::HostMutex> lock(state().mutex);
  return state().abandoned || state().bug_check_seen;
}

}  // namespace host::ndis

// ---- Registration calls ------------------------------------------------------------

using namespace host;
using namespace host::ndis;

extern "C" VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                            PVOID SystemSpecific2, PVOID SystemSpecific3) {
  check_irql_at_most(PASSIVE_LEVEL, "NdisInitializeWrapper");
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  if (!s.driver || SystemSpecific1 != s.driver) {
    bug_check("BAD_DRIVER_OBJECT",
              "NdisInitializeWrapper was not given the driver object passed to DriverEntry");
  }
  if (SystemSpecific2 != &s.registry_path_string) {
    bug_check("BAD_REGISTRY_PATH",
              "NdisInitializeWrapper was not given the registry path passed to DriverEntry");
  }
  ++s.wrapper_inits;
  s.wrapper_live = true;
  *NdisWrapperHandle = &g_wrapper_token;
}

extern "C" NDIS_STATUS NTAPI NdisMRegisterMiniport(
    NDIS_HANDLE NdisWrapperHandle, PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
    UINT CharacteristicsLength) {
  check_irql_at_most(PASSIVE_LEVEL, "NdisMRegisterMiniport");
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  if (NdisWrapperHandle != &g_wrapper_token || !s.wrapper_live) {
    bug_check("BAD_WRAPPER_HANDLE",
              "NdisMRegisterMiniport with a handle that is not a live "
              "wrapper handle of NdisInitializeWrapper");
  }
  if (s.fail_registration) {
    s.fail_registration = false;
    return s.fail_registration_status;
  }
  if (s.registered) return NDIS_STATUS_BAD_CHARACTERISTICS;
  const NDIS30_MINIPORT_CHARACTERISTICS& v30 = MiniportCharacteristics->Ndis40Chars.Ndis30Chars;
  if (v30.MajorNdisVersion != 5 || v30.MinorNdisVersion != 0) return NDIS_STATUS_BAD_VERSION;
  if (CharacteristicsLength != kNdis50CharacteristicsLengthX86) {
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  if (!v30.InitializeHandler || !v30.HaltHandler || !v30.QueryInformationHandler ||
      !v30.SetInformationHandler || !v30.ResetHandler ||
      (!v30.SendHandler && !MiniportCharacteristics->Ndis40Chars.SendPacketsHandler)) {
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  s.chars = *MiniportCharacteristics;
  s.chars_length = CharacteristicsLength;
  s.registered = true;
  return NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific) {
  check_irql_at_most(PASSIVE_LEVEL, "NdisTerminateWrapper");
  State& s = state();
  std::lock_guard<host::HostMutex> lock(s.mutex);
  if (NdisWrapperHandle != &g_wrapper_token || !s.wrapper_live) {
    bug_check("BAD_WRAPPER_HANDLE", "NdisTerminateWrapper of a handle that is not live");
  }
  ++s.wrapper_terms;
  s.wrapper_live = false;
  s.registered = false;
}
