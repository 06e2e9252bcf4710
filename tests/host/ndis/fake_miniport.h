// A small miniport written against wdk_ndis.h, with a test-only handler
// table, whose behaviour each test chooses; and the fixture that loads it
// under a fresh kernel and NDIS library with a protocol bound.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "ndis/ndis.h"
#include "ndis/protocol.h"
#include "nt/io.h"
#include "sim/kernel.h"

namespace fake {

enum class SendMode {
  CompleteInline,     // NdisMSendComplete(SUCCESS) inside the handler, return PENDING
  Pend,               // keep the packet, return PENDING; the test completes it
  ReturnStatus,       // return send_status without completing
  CompleteAndReturn,  // complete inside the handler and return SUCCESS (a driver bug)
};

struct Adapter {
  NDIS_HANDLE handle = nullptr;
  NDIS_MINIPORT_TIMER timer;
  NDIS_SPIN_LOCK lock;
  NDIS_HANDLE packet_pool = nullptr;
  NDIS_HANDLE buffer_pool = nullptr;
  PNDIS_PACKET rx_packet = nullptr;
  PNDIS_BUFFER rx_buffer = nullptr;
  UCHAR rx_data[1514];
  // Plain storage: abandoned tests drop the adapter's memory unconstructed.
  PNDIS_PACKET pending_sends[8];
  int pending_count = 0;
};

// What the fake does; reset by the fixture for every test.
struct Behaviour {
  SendMode send_mode = SendMode::CompleteInline;
  NDIS_STATUS send_status = NDIS_STATUS_SUCCESS;
  bool pend_queries = false;
  bool leak_memory_at_halt = false;
  bool leave_timer_armed_at_halt = false;
  bool keep_shutdown_handler = false;
  bool skip_attributes = false;
  NDIS_STATUS init_result = NDIS_STATUS_SUCCESS;
  UINT chars_length = 96;
  UCHAR major_version = 5;
  // Runs inside the initialize handler, with the wrapper configuration context.
  std::function<void(NDIS_HANDLE)> on_initialize;
  // Given to NdisMSetAttributesEx.
  UINT hang_seconds = 0;
  ULONG attribute_flags = NDIS_ATTRIBUTE_DESERIALIZE;
  // The check-for-hang handler's answer (FALSE when unset).
  std::function<BOOLEAN()> check_for_hang;
  // Runs inside the reset handler, which then returns reset_result.
  std::function<void()> on_reset;
  NDIS_STATUS reset_result = NDIS_STATUS_SUCCESS;
  // When set, answers every send in place of send_mode.
  std::function<NDIS_STATUS(Adapter*, PNDIS_PACKET)> on_send;
};

struct Observed {
  Adapter* adapter = nullptr;
  int initializes = 0;
  int halts = 0;
  int shutdowns = 0;
  int resets = 0;
  KIRQL reset_irql = 0xFF;
  std::vector<host::Nanoseconds> hang_checks;  // virtual times of the calls
  KIRQL hang_check_irql = 0xFF;
  int timer_runs = 0;
  KIRQL timer_irql = 0xFF;
  PVOID timer_context = nullptr;
  KIRQL send_irql = 0xFF;
  struct Send {
    PNDIS_PACKET packet;
    uint64_t time;
  };
  std::vector<Send> sends;  // every call of the send handler, in order
  std::vector<PNDIS_PACKET> returned;
  std::vector<NDIS_OID> queries;
  std::vector<NDIS_OID> sets;
  NDIS_MEDIUM selected = NdisMediumMax;
};

extern Behaviour behaviour;
extern Observed observed;

extern "C" NTSTATUS NTAPI FakeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);
VOID NTAPI TimerRoutine(PVOID, PVOID context, PVOID, PVOID);
// Completes the query the fake pended (Behaviour::pend_queries) with 1500.
void complete_pending_query(NDIS_HANDLE handle);

// A NDIS_STRING over a keyword, kept alive with its storage.
struct Keyword {
  explicit Keyword(const char* text);
  std::vector<WCHAR> storage;
  NDIS_STRING string;
};

}  // namespace fake

namespace host_ndis_test {

class FakeDevice {
 public:
  FakeDevice() {
    driver_ = host::create_driver_object("fakebus");
    device_ = host::create_device_object(driver_, 2);
  }
  ~FakeDevice() {
    host::delete_device_object(device_);
    host::delete_driver_object(driver_);
  }
  PDEVICE_OBJECT device() { return device_; }

 private:
  PDRIVER_OBJECT driver_;
  PDEVICE_OBJECT device_;
};

// Kernel and NDIS library, nothing loaded.
class NdisTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // After a bug check provoked on purpose: no checks at teardown.
  void abandon();

  host::Scheduler& scheduler() { return kernel_->scheduler(); }

  std::unique_ptr<host::Kernel> kernel_;
  std::unique_ptr<host::ndis::Library> ndis_;
  bool abandoned_ = false;
};

// The fake driver loaded, one adapter added (not yet initialized), a
// protocol bound.
class FakeMiniportTest : public NdisTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Initializes the adapter and expects success.
  void start();
  host::ndis::Miniport& adapter() { return *adapter_; }
  host::ndis::Protocol& protocol() { return *protocol_; }
  fake::Adapter& fake() { return *fake::observed.adapter; }
  // Runs fn at DISPATCH_LEVEL, as a DPC of the miniport would.
  void at_dispatch(const std::function<void()>& fn);

  host::ndis::AdapterSetup setup_;
  std::unique_ptr<FakeDevice> device_;
  host::ndis::Miniport* adapter_ = nullptr;
  std::unique_ptr<host::ndis::Protocol> protocol_;
  host::ndis::Protocol::Options protocol_options_;
};

}  // namespace host_ndis_test

#define EXPECT_NDIS_BUG_CHECK(statement, expected_code)                          \
  do {                                                                           \
    try {                                                                        \
      statement;                                                                 \
      ADD_FAILURE() << "expected bug check " << (expected_code) << ", got none"; \
    } catch (const host::BugCheck& bug_check_) {                                 \
      EXPECT_EQ(bug_check_.code, (expected_code)) << bug_check_.message;         \
    }                                                                            \
    abandon();                                                                   \
  } while (0)
