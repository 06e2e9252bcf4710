// The host kernel instance, bug checks, execution contexts, fault injection
// and counters.
#include "sim/kernel.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "nt/io.h"
#include "nt/pool.h"
#include "sim/scheduler.h"
#include "wdk_nt.h"

namespace host {
namespace {

std::atomic<bool> g_bug_check_throws{true};
std::atomic<bool> g_bug_check_raised{false};
std::mutex g_faults_mutex;

class KernelImpl;
std::atomic<KernelImpl*> g_kernel{nullptr};

class KernelImpl final : public Kernel {
 public:
  explicit KernelImpl(const KernelOptions& options) : options_(options) {
    if (options.mode == Mode::Threaded) {
      scheduler_ = make_threaded_scheduler(options.seed, options.processors, options.time_scale);
    } else {
      scheduler_ = make_deterministic_scheduler(options.seed);
    }
  }

  ~KernelImpl() override {
    // Workers stop first: nothing may run while the pool is torn down.
    scheduler_.reset();
    if (check_on_destroy_) {
      std::string report = leak_report();
      if (!report.empty()) {
        if (g_bug_check_raised.load()) {
          std::fprintf(stderr, "host kernel: leaks after an earlier bug check (ignored):\n%s\n",
                       report.c_str());
        } else {
          // A destructor cannot throw: a leak at teardown stops the process.
          std::fprintf(stderr, "*** BUG CHECK at kernel teardown\n%s\n", report.c_str());
          std::fflush(stderr);
          std::abort();
        }
      }
    }
    irp_reset();
    pool_reset();
    g_kernel.store(nullptr);
  }

  Scheduler& scheduler() override { return *scheduler_; }
  const KernelOptions& options() const override { return options_; }

  void check_leaks() override {
    std::string irps = irp_leak_report();
    if (!irps.empty()) bug_check("LEAKED_IRP", irps);
    std::string pool = pool_leak_report(make_tag("Irp "));
    if (!pool.empty()) bug_check("LEAKED_POOL", pool);
  }

  void set_check_leaks_on_destroy(bool on) override { check_on_destroy_ = on; }

 private:
  std::string leak_report() {
    std::string report;
    std::string irps = irp_leak_report();
    if (!irps.empty()) report += "LEAKED_IRP: " + irps;
    std::string pool = pool_leak_report(make_tag("Irp "));
    if (!pool.empty()) report += (report.empty() ? "" : "\n") + ("LEAKED_POOL: " + pool);
    return report;
  }

  KernelOptions options_;
  std::unique_ptr<Scheduler> scheduler_;
  bool check_on_destroy_ = true;
};

Counters g_counters;
FaultInjector g_faults;

}  // namespace

// ---- Bug checks -------------------------------------------------------------

void bug_check(const std::string& code, const std::string& message) {
  note_bug_check_raised();
  if (g_bug_check_throws.load()) throw BugCheck(code, code + ": " + message);
  std::fprintf(stderr, "*** BUG CHECK %s\n%s\n", code.c_str(), message.c_str());
  std::fflush(stderr);
  std::abort();
}

void set_bug_check_throws(bool throws) {
  g_bug_check_throws.store(throws);
}

void note_bug_check_raised() {
  g_bug_check_raised.store(true);
}

// ---- Kernel -------------------------------------------------------------------

Kernel& Kernel::get() {
  Kernel* k = current();
  if (!k) bug_check("NO_KERNEL", "the host kernel is used before Kernel::create");
  return *k;
}

Kernel* Kernel::current() {
  return g_kernel.load();
}

std::unique_ptr<Kernel> Kernel::create(const KernelOptions& options) {
  if (g_kernel.load()) {
    bug_check("KERNEL_ALREADY_EXISTS", "only one host kernel may exist at a time");
  }
  set_bug_check_throws(options.bug_check_throws);
  g_bug_check_raised.store(false);
  // A previous kernel may have stopped in the middle of a routine (a bug
  // check thrown at DISPATCH_LEVEL): the creating thread starts clean.
  current_context() = Context{};
  counters() = Counters{};
  faults().reset();
  auto kernel = std::make_unique<KernelImpl>(options);
  g_kernel.store(kernel.get());
  return kernel;
}

// ---- Contexts -------------------------------------------------------------------

Context& current_context() {
  thread_local Context context;
  return context;
}

void run_at_irql(uint8_t irql, const char* what, FunctionRef<void()> fn) {
  Context& c = current_context();
  const char* name = what ? what : "routine";
  if (irql < c.irql) {
    bug_check("IRQL_NOT_GREATER_OR_EQUAL",
              std::string(name) + " asked to run at IRQL " + std::to_string(irql) + " from IRQL " +
                  std::to_string(c.irql) + " (a routine never runs below its caller)");
  }
  struct Restore {
    Context& c;
    Context saved;
    ~Restore() {
      c.irql = saved.irql;
      c.held_spin_locks = saved.held_spin_locks;
      c.interrupts_disabled = saved.interrupts_disabled;
    }
  } restore{c, c};
  c.irql = irql;
  fn();
  if (c.irql != irql) {
    bug_check("IRQL_MISMATCH", std::string(name) + " returned at IRQL " + std::to_string(c.irql) +
                                   ", entered at IRQL " + std::to_string(irql));
  }
  if (c.held_spin_locks != restore.saved.held_spin_locks) {
    bug_check("SPINLOCK_HELD_ON_RETURN",
              std::string(name) + " returned holding " +
                  std::to_string(c.held_spin_locks - restore.saved.held_spin_locks) +
                  " spin lock(s)");
  }
  if (c.interrupts_disabled != restore.saved.interrupts_disabled) {
    bug_check("INTERRUPTS_LEFT_DISABLED", std::string(name) + " returned with interrupts off");
  }
}

void check_may_block(const char* what) {
  const Context& c = current_context();
  if (c.irql > PASSIVE_LEVEL) {
    bug_check("WAIT_AT_RAISED_IRQL", std::string(what) + " at IRQL " + std::to_string(c.irql) +
                                         " (must be PASSIVE_LEVEL)");
  }
  if (c.interrupts_disabled) {
    bug_check("WAIT_AT_RAISED_IRQL", std::string(what) + " with processor interrupts disabled");
  }
  if (c.held_spin_locks) {
    bug_check("WAIT_AT_RAISED_IRQL", std::string(what) + " while holding a spin lock");
  }
}

void run_event_routine(RunLevel level, uint8_t irql, const char* what, FunctionRef<void()> fn) {
  (void)level;
  run_at_irql(irql, what, fn);
}

// ---- Fault injection ------------------------------------------------------------

void FaultInjector::fail_nth(FaultSite site, uint64_t n) {
  fail_span(site, n, 1);
}

void FaultInjector::fail_span(FaultSite site, uint64_t n, uint64_t count) {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  SiteState& s = sites_[static_cast<int>(site)];
  s.fail_at = n == 0 || count == 0 ? 0 : s.calls + n;
  s.fail_end = s.fail_at == 0 ? 0 : s.fail_at + count;
  s.armed = s.fail_at != 0 || s.rate > 0;
}

void FaultInjector::set_urb_tag(uint32_t tag) {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  urb_tag_ = tag;
}

uint32_t FaultInjector::urb_tag() const {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  return urb_tag_;
}

uint64_t FaultInjector::failures(FaultSite site) const {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  return sites_[static_cast<int>(site)].failures;
}

void FaultInjector::fail_rate(FaultSite site, double probability) {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  SiteState& s = sites_[static_cast<int>(site)];
  s.rate = probability;
  s.armed = s.fail_at != 0 || s.rate > 0;
}

void FaultInjector::set_urb_rule(std::function<UrbFault(uint16_t)> rule) {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  urb_rule_ = std::move(rule);
  has_urb_rule_ = static_cast<bool>(urb_rule_);
}

bool FaultInjector::should_fail(FaultSite site) {
  double rate;
  {
    SiteState& s = sites_[static_cast<int>(site)];
    if (!s.armed.load(std::memory_order_acquire)) {
      s.calls.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    const uint64_t call = ++s.calls;
    if (s.fail_at != 0 && call >= s.fail_at && call < s.fail_end) {
      if (call + 1 == s.fail_end) {
        s.fail_at = s.fail_end = 0;
        s.armed = s.rate > 0;
      }
      ++s.failures;
      return true;
    }
    rate = s.rate;
  }
  if (rate <= 0) return false;
  bool fail = rate >= 1;
  if (!fail) {
    Kernel* k = Kernel::current();
    if (!k) return false;
    constexpr uint64_t kScale = 1000000;
    fail = k->scheduler().random(kScale) < static_cast<uint64_t>(rate * kScale);
  }
  if (fail) {
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    ++sites_[static_cast<int>(site)].failures;
  }
  return fail;
}

UrbFault FaultInjector::urb_fault(uint16_t urb_function) {
  if (!has_urb_rule_.load(std::memory_order_acquire)) return UrbFault::None;
  std::function<UrbFault(uint16_t)> rule;
  {
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    rule = urb_rule_;
  }
  return rule ? rule(urb_function) : UrbFault::None;
}

void FaultInjector::set_bulk_rule(std::function<UrbFault(bool)> rule) {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  bulk_rule_ = std::move(rule);
  has_bulk_rule_ = static_cast<bool>(bulk_rule_);
}

UrbFault FaultInjector::bulk_fault(bool direction_in) {
  if (!has_bulk_rule_.load(std::memory_order_acquire)) return UrbFault::None;
  std::function<UrbFault(bool)> rule;
  {
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    rule = bulk_rule_;
  }
  return rule ? rule(direction_in) : UrbFault::None;
}

uint64_t FaultInjector::calls(FaultSite site) const {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  return sites_[static_cast<int>(site)].calls;
}

void FaultInjector::reset() {
  std::lock_guard<std::mutex> lock(g_faults_mutex);
  for (auto& s : sites_) {
    s.calls = 0;
    s.armed = false;
    s.fail_at = s.fail_end = 0;
    s.rate = 0;
    s.failures = 0;
  }
  urb_rule_ = nullptr;
  bulk_rule_ = nullptr;
  has_urb_rule_ = has_bulk_rule_ = false;
  urb_tag_ = 0;
}

FaultInjector& faults() {
  return g_faults;
}

// ---- Counters ---------------------------------------------------------------------

Counters& counters() {
  return g_counters;
}

std::string tag_string(uint32_t tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char ch = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s += (ch >= 0x20 && ch < 0x7F) ? ch : '.';
  }
  return s;
}

}  // namespace host
