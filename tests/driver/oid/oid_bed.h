// An initialized adapter on a board, with the bound protocol that issues the
// requests. Requests go through the protocol (as NDIS hands them down); a few
// checks call the handler directly to see which of the byte counts it writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "hw/board.h"
#include "miniport/adapter.h"
#include "testbed/testbed.h"

namespace usbeth_test {

using Bytes = std::vector<uint8_t>;

// What the protocol's buffer holds before the handler writes into it.
constexpr uint8_t kUntouched = 0xCC;
// A value no handler writes, for the byte-count outputs of direct calls.
constexpr ULONG kSentinel = 0xDEADBEEF;

struct OidBedOptions {
  hw::BoardConfig board = hw::boards::SingleEthernet();
  host::ndis::AdapterRegistry registry;
};

class OidBed {
 public:
  explicit OidBed(OidBedOptions options = {})
      : board_(options.board, host::kernel_clock()), bed_(board_, Options(options)) {
    EXPECT_EQ(bed_.initialize_status(), NDIS_STATUS_SUCCESS);
    statuses_at_start_ = bed_.protocol().statuses().size();
  }

  host::Testbed& bed() { return bed_; }
  hw::Board& board() { return board_; }
  host::ndis::Protocol& protocol() { return bed_.protocol(); }
  usbeth::Adapter* adapter() { return static_cast<usbeth::Adapter*>(bed_.adapter_context()); }
  void RunFor(host::Nanoseconds d) { bed_.scheduler().run_for(d); }

  std::shared_ptr<host::ndis::Request> Query(NDIS_OID oid, ULONG length,
                                             KIRQL irql = PASSIVE_LEVEL) {
    auto r = protocol().query(oid, length, host::ndis::CallOptions{irql});
    EXPECT_TRUE(r->completed) << std::hex << oid;
    EXPECT_FALSE(r->pended) << std::hex << oid;
    return r;
  }
  std::shared_ptr<host::ndis::Request> Set(NDIS_OID oid, const Bytes& data,
                                           KIRQL irql = PASSIVE_LEVEL) {
    auto r = protocol().set(oid, data, host::ndis::CallOptions{irql});
    EXPECT_TRUE(r->completed) << std::hex << oid;
    EXPECT_FALSE(r->pended) << std::hex << oid;
    return r;
  }
  uint32_t QueryUlong(NDIS_OID oid) {
    auto r = Query(oid, 4);
    EXPECT_EQ(r->status, NDIS_STATUS_SUCCESS) << std::hex << oid;
    EXPECT_EQ(r->bytes_done, 4u) << std::hex << oid;
    return Ulong(r->buffer);
  }

  // The handler called directly at DISPATCH_LEVEL with sentinel byte counts.
  struct Direct {
    NDIS_STATUS status;
    ULONG done;
    ULONG needed;
    Bytes buffer;
  };
  Direct CallDirect(bool set, NDIS_OID oid, Bytes buffer) {
    Direct d{NDIS_STATUS_FAILURE, kSentinel, kSentinel, std::move(buffer)};
    const auto& chars = bed_.ndis().characteristics().Ndis40Chars.Ndis30Chars;
    void* context = bed_.adapter_context();
    host::run_at_irql(DISPATCH_LEVEL, "request", [&] {
      PVOID data = d.buffer.empty() ? nullptr : d.buffer.data();
      ULONG length = static_cast<ULONG>(d.buffer.size());
      d.status =
          set ? chars.SetInformationHandler(context, oid, data, length, &d.done, &d.needed)
              : chars.QueryInformationHandler(context, oid, data, length, &d.done, &d.needed);
    });
    return d;
  }

  static uint32_t Ulong(const Bytes& b, size_t at = 0) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
  }
  static Bytes UlongBytes(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  }
  // True when buffer[from, to) still holds what the caller put there.
  static bool Untouched(const host::ndis::Request& r, size_t from) {
    for (size_t i = from; i < r.length; ++i) {
      if (r.buffer[i] != kUntouched) return false;
    }
    return true;
  }

  // Runs until a link poll has indicated the link as up (the start of the
  // controller inside initialization indicates too; that one does not count).
  bool WaitForConnect(host::Nanoseconds limit = 10 * host::kSecond) {
    return protocol().run_until(
        [&] {
          auto s = protocol().statuses();
          return s.size() > statuses_at_start_ && s.back().code == NDIS_STATUS_MEDIA_CONNECT;
        },
        limit);
  }

 private:
  static host::TestbedOptions Options(const OidBedOptions& o) {
    host::TestbedOptions t;
    t.registry = o.registry;
    return t;
  }

  hw::Board board_;
  host::Testbed bed_;
  size_t statuses_at_start_ = 0;
};

}  // namespace usbeth_test
