// IRPs and the I/O manager's part of their life: allocation with the stack
// locations behind the header, passing down, completion with the completion
// routines, cancel, and free. The verifier tracks every IRP's state.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>

#include "nt/io.h"
#include "nt/locks.h"
#include "nt/pool.h"
#include "sim/host_mutex.h"
#include "sim/kernel.h"
#include "sim/pointer_map.h"
#include "sim/ring.h"

namespace host {
namespace {

constexpr uint32_t kIrpTag = make_tag("Irp ");
constexpr ULONG kIrpMagic = 0x50524921;  // "!IRP"
constexpr SHORT kIoTypeIrp = 6;
constexpr size_t kFreedIrpsRemembered = 8192;
// Freed IRPs are kept for reuse, as the platform's IRP lookaside lists keep
// them; one is handed out again once kIrpSpareAge others were freed after it
// (see pool_park for what is checked meanwhile).
constexpr size_t kIrpSpareAge = 16;
constexpr size_t kIrpSparesKept = 64;

struct IrpState {
  bool built = false;             // IoBuildDeviceIoControlRequest: the I/O manager owns it
  bool at_lower = false;          // passed down and not yet completed
  bool completing = false;        // IofCompleteRequest is walking the stack
  bool may_complete = false;      // a completion routine stopped the walk; may resume
  bool in_routine = false;        // a completion routine is running
  bool freed_in_routine = false;  // IoFreeIrp called by that routine
  uint64_t serial = 0;
};

struct IrpRegistry {
  host::HostMutex mutex;
  PointerMap<PIRP, IrpState> live;
  // The IRPs freed last, oldest first: looked through only when a call names
  // an IRP that is not live, to say whether it was one.
  Ring<PIRP> freed_order{kFreedIrpsRemembered + 1};
  uint64_t serial = 0;
  SpareBlocks spares{kIrpSpareAge, kIrpSparesKept};  // freed IRPs kept for reuse
};

IrpRegistry& registry() {
  static IrpRegistry* r = new IrpRegistry;
  return *r;
}

KSPIN_LOCK g_cancel_lock = 0;

std::string hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

// Runs fn on the IRP's state under the registry lock; bug checks when the IRP
// is not live (a freed one is named as such with `freed_code`).
template <typename Fn>
auto with_state(PIRP irp, const char* what, const char* freed_code, Fn fn) {
  IrpRegistry& r = registry();
  std::lock_guard<host::HostMutex> lock(r.mutex);
  IrpState* state = r.live.find(irp);
  if (state == nullptr) {
    if (irp && r.freed_order.contains(irp)) {
      bug_check(freed_code, std::string(what) + " on IRP " + hex(irp) + ", which was freed");
    }
    bug_check("BAD_IRP", std::string(what) + " on " + hex(irp) + ", which is not an IRP");
  }
  return fn(*state);
}

PIRP allocate_irp(CCHAR stack_size, const char* site) {
  if (stack_size < 1) bug_check("BAD_IRP", std::string(site) + " with no stack location");
  if (faults().should_fail(FaultSite::IrpAllocation)) return nullptr;
  size_t size = sizeof(IRP) + size_t(stack_size) * sizeof(IO_STACK_LOCATION);
  PIRP irp;
  {
    IrpRegistry& r = registry();
    std::lock_guard<host::HostMutex> lock(r.mutex);
    irp = static_cast<PIRP>(r.spares.take(size, site));
  }
  if (!irp) irp = static_cast<PIRP>(pool_allocate(size, kIrpTag, site, false));
  if (!irp) return nullptr;
  std::memset(irp, 0, size);
  irp->Type = kIoTypeIrp;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + stack_size;
  irp->HostMagic = kIrpMagic;
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->HostLink);
  IrpRegistry& r = registry();
  std::lock_guard<host::HostMutex> lock(r.mutex);
  IrpState state;
  state.serial = ++r.serial;
  r.live[irp] = state;
  ++counters().irps_allocated;
  ++counters().irps_live;
  return irp;
}

// Forgets the IRP and keeps its memory for reuse.
void release_irp(PIRP irp) {
  IrpRegistry& r = registry();
  irp->HostMagic = 0;
  SpareBlocks::Block evicted;
  {
    std::lock_guard<host::HostMutex> lock(r.mutex);
    r.live.erase(irp);
    r.freed_order.push_back(irp);
    if (r.freed_order.size() > kFreedIrpsRemembered) r.freed_order.pop_front();
    --counters().irps_live;
    evicted = r.spares.keep(irp, irp->Size, kIrpTag, "IoFreeIrp");
  }
  if (evicted.ptr) pool_free(evicted.ptr, evicted.size, "IoFreeIrp", kIrpTag);
}

void zero_stack_location(PIO_STACK_LOCATION s) {
  s->MinorFunction = 0;
  s->Flags = 0;
  s->Control = 0;
  s->Parameters.Others.Argument1 = nullptr;
  s->Parameters.Others.Argument2 = nullptr;
  s->Parameters.Others.Argument3 = nullptr;
  s->Parameters.Others.Argument4 = nullptr;
  s->FileObject = nullptr;
}

bool should_invoke(PIRP irp, const IO_STACK_LOCATION* s) {
  NTSTATUS status = irp->IoStatus.Status;
  if (NT_SUCCESS(status) && (s->Control & SL_INVOKE_ON_SUCCESS)) return true;
  if (!NT_SUCCESS(status) && (s->Control & SL_INVOKE_ON_ERROR)) return true;
  if (irp->Cancel && status == STATUS_CANCELLED && (s->Control & SL_INVOKE_ON_CANCEL)) return true;
  return false;
}

// The I/O manager's end of a built IRP: status block, event, free.
void finish_built_irp(PIRP irp) {
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  release_irp(irp);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI invalid_device_request(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

bool irp_is_live(PIRP irp) {
  IrpRegistry& r = registry();
  std::lock_guard<host::HostMutex> lock(r.mutex);
  return r.live.count(irp) != 0;
}

bool irp_is_at_lower_driver(PIRP irp) {
  IrpRegistry& r = registry();
  std::lock_guard<host::HostMutex> lock(r.mutex);
  const IrpState* state = r.live.find(irp);
  return state != nullptr && state->at_lower;
}

size_t live_irps() {
  IrpRegistry& r = registry();
  std::lock_guard<host::HostMutex> lock(r.mutex);
  return r.live.size();
}

std::string irp_leak_report() {
  IrpRegistry& r = registry();
  std::lock_guard<host::HostMutex> lock(r.mutex);
  if (r.live.empty()) return "";
  std::ostringstream out;
  out << r.live.size() << " IRP(s) still allocated:";
  size_t shown = 0;
  r.live.for_each([&](PIRP irp, const IrpState& state) {
    if (++shown > 20) {
      if (shown == 21) out << "\n  ...";
      return;
    }
    out << "\n  IRP " << irp << (state.built ? " (built)" : "")
        << (state.at_lower ? " held by a lower driver" : "");
  });
  return out.str();
}

void irp_reset() {
  IrpRegistry& r = registry();
  std::lock_guard<host::HostMutex> lock(r.mutex);
  r.live.clear();
  r.freed_order.clear();
  r.spares.clear();  // the pool's reset returns their memory
  g_cancel_lock = 0;
}

PDRIVER_OBJECT create_driver_object(const char* name) {
  auto* driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  for (auto& fn : driver->MajorFunction)
    fn = invalid_device_request;
  (void)name;
  return driver;
}

void delete_driver_object(PDRIVER_OBJECT driver) {
  if (!driver) return;
  while (driver->DeviceObject)
    delete_device_object(driver->DeviceObject);
  std::free(driver);
}

PDEVICE_OBJECT create_device_object(PDRIVER_OBJECT driver, CCHAR stack_size,
                                    size_t extension_size) {
  auto* device =
      static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT) + extension_size));
  device->Type = 3;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extension_size);
  device->DriverObject = driver;
  device->StackSize = stack_size;
  device->DeviceExtension = extension_size ? device + 1 : nullptr;
  if (driver) {
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
  }
  return device;
}

void delete_device_object(PDEVICE_OBJECT device) {
  if (!device) return;
  if (PDRIVER_OBJECT driver = device->DriverObject) {
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
      if (*link == device) {
        *link = device->NextDevice;
        break;
      }
    }
  }
  std::free(device);
}

}  // namespace host

using host::bug_check;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", "IoAllocateIrp above DISPATCH_LEVEL");
  }
  return host::allocate_irp(StackSize, "IoAllocateIrp");
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
  }
  if (!DeviceObject) bug_check("BAD_IRP", "IoBuildDeviceIoControlRequest without a device");
  PIRP irp = host::allocate_irp(DeviceObject->StackSize, "IoBuildDeviceIoControlRequest");
  if (!irp) return nullptr;
  {
    host::IrpRegistry& r = host::registry();
    std::lock_guard<host::HostMutex> lock(r.mutex);
    r.live[irp].built = true;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  // The buffers are passed as given (the internal controls use neither method).
  next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  irp->UserBuffer = OutputBuffer;
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  return irp;
}

void NTAPI IoFreeIrp(PIRP Irp) {
  bool defer = host::with_state(Irp, "IoFreeIrp", "IRP_DOUBLE_FREE", [&](host::IrpState& s) {
    if (s.at_lower) {
      bug_check("IRP_FREED_AT_LOWER_DRIVER",
                "IoFreeIrp of IRP " + host::hex(Irp) + " while a lower driver holds it");
    }
    if (s.freed_in_routine) {
      bug_check("IRP_DOUBLE_FREE", "IoFreeIrp twice on IRP " + host::hex(Irp));
    }
    if (s.in_routine) {
      // Released once the routine returns STATUS_MORE_PROCESSING_REQUIRED.
      s.freed_in_routine = true;
      return true;
    }
    return false;
  });
  if (!defer) host::release_irp(Irp);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", "IofCallDriver above DISPATCH_LEVEL");
  }
  if (!DeviceObject || !DeviceObject->DriverObject) {
    bug_check("INVALID_DRIVER_OBJECT", "IofCallDriver to a device without a driver");
  }
  host::with_state(Irp, "IofCallDriver", "IRP_DOUBLE_FREE", [&](host::IrpState& s) {
    if (s.freed_in_routine) {
      bug_check("IRP_DOUBLE_FREE", "IofCallDriver of IRP " + host::hex(Irp) + " after IoFreeIrp");
    }
    if (s.at_lower) {
      // A lower driver may forward the IRP further down; sending it again to
      // a device that already holds it is passing it down twice.
      for (CHAR loc = Irp->CurrentLocation; loc <= Irp->StackCount; ++loc) {
        PIO_STACK_LOCATION held = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + (loc - 1);
        if (held->DeviceObject == DeviceObject) {
          bug_check("IRP_PASSED_DOWN_TWICE", "IRP " + host::hex(Irp) + " passed to device " +
                                                 host::hex(DeviceObject) +
                                                 ", which already holds it");
        }
      }
    }
    if (Irp->CurrentLocation <= 1) {
      bug_check("NO_MORE_IRP_STACK_LOCATIONS",
                "IofCallDriver of IRP " + host::hex(Irp) + " with no stack location left");
    }
    if (!s.at_lower) ++host::counters().irps_at_lower_driver;
    s.at_lower = true;
    s.may_complete = false;
    s.completing = false;  // a completion routine may send the IRP on a new trip
    return 0;
  });
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION || !dispatch) {
    bug_check("INVALID_DRIVER_OBJECT",
              "no dispatch routine for major function " + std::to_string(stack->MajorFunction));
  }
  NTSTATUS status = STATUS_SUCCESS;
  host::run_at_irql(KeGetCurrentIrql(), "dispatch routine",
                    [&] { status = dispatch(DeviceObject, Irp); });
  return status;
}

void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", "IofCompleteRequest above DISPATCH_LEVEL");
  }
  bool built = host::with_state(
      Irp, "IofCompleteRequest", "MULTIPLE_IRP_COMPLETE_REQUESTS", [&](host::IrpState& s) {
        if (s.completing || (!s.at_lower && !s.may_complete)) {
          bug_check("MULTIPLE_IRP_COMPLETE_REQUESTS",
                    "IRP " + host::hex(Irp) + " completed again (or never passed down)");
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
          bug_check("IRP_COMPLETED_PENDING",
                    "IRP " + host::hex(Irp) + " completed with STATUS_PENDING");
        }
        if (s.at_lower) --host::counters().irps_at_lower_driver;
        s.at_lower = false;
        s.may_complete = false;
        s.completing = true;
        return s.built;
      });

  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (s->Control & SL_PENDING_RETURNED) != 0;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    bool top = Irp->CurrentLocation > Irp->StackCount;
    PDEVICE_OBJECT upper = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    if (s->CompletionRoutine && host::should_invoke(Irp, s)) {
      PIO_COMPLETION_ROUTINE routine = s->CompletionRoutine;
      PVOID context = s->Context;
      host::zero_stack_location(s);
      host::with_state(Irp, "IofCompleteRequest", "MULTIPLE_IRP_COMPLETE_REQUESTS",
                       [](host::IrpState& st) { return st.in_routine = true; });
      NTSTATUS result = STATUS_SUCCESS;
      host::run_at_irql(KeGetCurrentIrql(), "completion routine",
                        [&] { result = routine(upper, Irp, context); });
      bool freed = false, resent = false;
      {
        host::IrpRegistry& r = host::registry();
        std::lock_guard<host::HostMutex> lock(r.mutex);
        host::IrpState* found = r.live.find(Irp);
        if (found == nullptr) {
          // Freed by a trip that the routine started and that completed inline.
          if (result != STATUS_MORE_PROCESSING_REQUIRED) {
            bug_check("IRP_FREED_WHILE_OWNED",
                      "IRP " + host::hex(Irp) + " freed while its completion was running");
          }
          return;
        }
        host::IrpState& st = *found;
        st.in_routine = false;
        freed = st.freed_in_routine;
        resent = st.at_lower;
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
          st.completing = false;
          // Completing it again resumes the walk: only meaningful while a
          // location is left above, or for the I/O manager's own IRPs.
          st.may_complete = !resent && !freed && (!top || st.built);
        }
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The routine's driver owns the IRP now; the I/O manager never touches it again.
        if (freed) host::release_irp(Irp);
        return;
      }
      if (freed || resent) {
        bug_check("IRP_FREED_WHILE_OWNED",
                  "a completion routine " + std::string(freed ? "freed" : "passed down") + " IRP " +
                      host::hex(Irp) + " but returned without STATUS_MORE_PROCESSING_REQUIRED");
      }
    } else {
      if (Irp->PendingReturned && !top) IoMarkIrpPending(Irp);
      host::zero_stack_location(s);
    }
  }
  if (built) {
    host::finish_built_irp(Irp);
    return;
  }
  bug_check("IRP_COMPLETED_WITHOUT_OWNER",
            "IRP " + host::hex(Irp) +
                " from IoAllocateIrp completed to the top without a completion routine keeping it");
}

void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = KfAcquireSpinLock(&host::g_cancel_lock);
}

void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  KfReleaseSpinLock(&host::g_cancel_lock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    bug_check("IRQL_NOT_LESS_OR_EQUAL", "IoCancelIrp above DISPATCH_LEVEL");
  }
  host::with_state(Irp, "IoCancelIrp", "IRP_DOUBLE_FREE", [](host::IrpState&) { return 0; });
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  host::Context& c = host::current_context();
  unsigned held_before = c.held_spin_locks - 1;  // the cancel lock is released by the routine
  routine(device, Irp);
  if (host::lock_word_held_by_current(&host::g_cancel_lock)) {
    bug_check("CANCEL_SPIN_LOCK_NOT_RELEASED", "the cancel routine of IRP " + host::hex(Irp) +
                                                   " returned holding the cancel spin lock");
  }
  if (c.irql != irql || c.held_spin_locks != held_before) {
    bug_check("IRQL_MISMATCH", "the cancel routine of IRP " + host::hex(Irp) +
                                   " returned at IRQL " + std::to_string(c.irql) + " holding " +
                                   std::to_string(c.held_spin_locks) + " lock(s)");
  }
  return TRUE;
}

}  // extern "C"

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_ACQ_REL);
}
