// Work items: the routine runs once at PASSIVE_LEVEL from the scheduler. An
// item may be queued again only after its routine has started, and its memory
// may not be freed while it is queued.
#include "ndis/state.h"
#include "nt/pool.h"

using namespace host;
using namespace host::ndis;

extern "C" NDIS_STATUS NTAPI NdisScheduleWorkItem(PNDIS_WORK_ITEM WorkItem) {
  check_irql_at_most(DISPATCH_LEVEL, "NdisScheduleWorkItem");
  if (!WorkItem || !WorkItem->Routine) {
    bug_check("NULL_POINTER", "NdisScheduleWorkItem without an item or a routine");
  }
  State& s = state();
  const void* owner = current_owner();
  {
    std::lock_guard<host::HostMutex> lock(s.mutex);
    if (!s.work_items.emplace(WorkItem, owner).second) {
      bug_check("WORK_ITEM_ALREADY_QUEUED",
                "NdisScheduleWorkItem of " + hex(uintptr_t(WorkItem)) + ", which is still queued");
    }
  }
  register_timer_object(
      WorkItem,
      [WorkItem] {
        if (!library_exists()) return false;
        std::lock_guard<host::HostMutex> lock(state().mutex);
        return state().work_items.count(WorkItem) != 0;
      },
      "a queued NDIS work item");
  NDIS_PROC routine = WorkItem->Routine;
  PVOID context = WorkItem->Context;
  Kernel::get().scheduler().schedule_after(
      0, RunLevel::Passive,
      [WorkItem, routine, context, owner] {
        if (!library_exists()) return;
        {
          std::lock_guard<host::HostMutex> lock(state().mutex);
          if (!state().work_items.erase(WorkItem)) return;
        }
        unregister_timer_object(WorkItem);
        call_driver(PASSIVE_LEVEL, "NDIS work item", owner, [&] { routine(WorkItem, context); });
      },
      "NDIS work item");
  return NDIS_STATUS_SUCCESS;
}

namespace {

[[noreturn]] void never_obtained(const char* what) {
  bug_check("RESOURCE_NOT_OBTAINED",
            std::string(what) + " of a resource NDIS never gave this driver");
}

}  // namespace

extern "C" VOID NTAPI NdisMFreeSharedMemory(NDIS_HANDLE, ULONG, BOOLEAN, PVOID,
                                            NDIS_PHYSICAL_ADDRESS) {
  never_obtained("NdisMFreeSharedMemory");
}

extern "C" VOID NTAPI NdisMDeregisterIoPortRange(NDIS_HANDLE, UINT, UINT, PVOID) {
  never_obtained("NdisMDeregisterIoPortRange");
}

extern "C" VOID NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT) {
  never_obtained("NdisMDeregisterInterrupt");
}

extern "C" VOID NTAPI NdisMFreeMapRegisters(NDIS_HANDLE) {
  never_obtained("NdisMFreeMapRegisters");
}
