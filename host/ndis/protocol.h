// The protocol bound above an adapter: it sends frames as packets from its
// own pools, issues query and set requests, and records every indication the
// miniport makes (received frames, status indications, send completions,
// reset completions) with the virtual time it happened at.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "ndis/ndis.h"
#include "sim/host_mutex.h"
#include "sim/pointer_map.h"

namespace host::ndis {

class Protocol : public Binding {
 public:
  static constexpr Nanoseconds kNever = std::numeric_limits<Nanoseconds>::max();

  struct Options {
    UINT packet_pool_size = 256;
    UINT buffer_pool_size = 1024;
    // Packets indicated with a status other than NDIS_STATUS_RESOURCES are
    // kept and returned `return_delay` later (kNever: only when told, or at
    // halt). When false, such packets are copied and not kept.
    bool keep_received_packets = true;
    Nanoseconds return_delay = 0;
  };

  struct ReceivedFrame {
    std::vector<uint8_t> data;
    Nanoseconds time = 0;
    NDIS_STATUS packet_status = NDIS_STATUS_SUCCESS;
    UINT header_size = 0;
    PNDIS_PACKET packet = nullptr;
    KIRQL irql = 0;
    bool kept = false;
  };
  struct StatusIndication {
    NDIS_STATUS code = 0;
    std::vector<uint8_t> buffer;
    Nanoseconds time = 0;
  };
  struct SendCompletion {
    uint64_t frame = 0;  // as returned by send()
    PNDIS_PACKET packet = nullptr;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    Nanoseconds time = 0;
  };
  struct ResetCompletion {
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    BOOLEAN addressing_reset = FALSE;
    Nanoseconds time = 0;
  };

  // Allocates the protocol's pools and binds to the adapter.
  explicit Protocol(Miniport& adapter);
  Protocol(Miniport& adapter, Options options);
  ~Protocol() override;
  Protocol(const Protocol&) = delete;
  Protocol& operator=(const Protocol&) = delete;

  // Unbinds and frees the pools; every send must have completed (else the
  // pool free bug checks PACKET_POOL_BUSY). The destructor does it when it can.
  void close();

  // Sends `frame` as one packet through the send handler. `buffer_sizes`
  // splits it into buffers of those sizes (a last buffer takes the rest; a
  // size of 0 makes an empty buffer). Returns the frame's number, or 0 when
  // the protocol's own pools were exhausted; the send handler's status goes
  // to *status too when given (a caller on another thread than the one that
  // clears the records cannot count on send_status()).
  uint64_t send(std::vector<uint8_t> frame, const std::vector<size_t>& buffer_sizes = {},
                const CallOptions& options = {}, NDIS_STATUS* status = nullptr);
  // Whether a send now would find a free packet in the protocol's pool.
  bool has_free_packet() const;
  // The send handler's status for that frame (NDIS_STATUS_PENDING when the
  // miniport completes it later); NDIS_STATUS_FAILURE for a frame not sent,
  // still in the send call, sent before the records were last cleared, or
  // older than the last kSendStatusesKept sends.
  NDIS_STATUS send_status(uint64_t frame) const;
  static constexpr uint64_t kSendStatusesKept = 65536;

  // Issue a request and, from PASSIVE_LEVEL, run the scheduler until it
  // completes (at most `limit`).
  std::shared_ptr<Request> query(NDIS_OID oid, ULONG length, const CallOptions& options = {},
                                 Nanoseconds limit = 10 * kSecond);
  std::shared_ptr<Request> set(NDIS_OID oid, const std::vector<uint8_t>& data,
                               const CallOptions& options = {}, Nanoseconds limit = 10 * kSecond);
  // A 32-bit query answered with success and 4 bytes; nullopt otherwise.
  std::optional<uint32_t> query_ulong(NDIS_OID oid);
  std::shared_ptr<Request> set_ulong(NDIS_OID oid, uint32_t value);

  // Resets the adapter and waits (from PASSIVE_LEVEL) for a pended reset.
  NDIS_STATUS reset(const CallOptions& options = CallOptions{DISPATCH_LEVEL},
                    Nanoseconds limit = 10 * kSecond);

  // Runs the scheduler (from PASSIVE_LEVEL) until `condition` holds or
  // `limit` of time has passed; returns the condition's last value.
  bool run_until(const std::function<bool()>& condition, Nanoseconds limit);

  // Gives back every kept packet now.
  void return_kept_packets();

  // The records, copied.
  std::vector<ReceivedFrame> received() const;
  std::vector<StatusIndication> statuses() const;
  // How many status indications came, and the last one, without copying
  // them all (for callers that poll).
  size_t status_count() const;
  std::optional<StatusIndication> last_status() const;
  std::vector<Nanoseconds> status_completes() const;
  std::vector<SendCompletion> send_completions() const;
  std::vector<ResetCompletion> resets() const;
  size_t received_count() const;
  size_t send_completion_count() const;
  size_t sends_in_flight() const;
  size_t kept_packets() const;
  void clear_records();

  Miniport& adapter() { return adapter_; }

  // Binding
  bool receive(Miniport& adapter, PNDIS_PACKET packet, NDIS_STATUS packet_status, UINT header_size,
               std::vector<uint8_t> data) override;
  void status(Miniport& adapter, NDIS_STATUS code, const void* buffer, UINT size) override;
  void status_complete(Miniport& adapter) override;
  void send_complete(Miniport& adapter, PNDIS_PACKET packet, NDIS_STATUS status) override;
  void reset_complete(Miniport& adapter, NDIS_STATUS status, BOOLEAN addressing_reset) override;
  void return_kept_packets(Miniport& adapter) override;

 private:
  struct InFlight {
    uint64_t frame = 0;
    // The frame; its buffers map these bytes, which a move of the vector
    // leaves in place.
    std::vector<uint8_t> data;
    // The buffers allocated for it, in chain order: the first few inline, as
    // nearly every send has one or two and this is kept for every send.
    static constexpr size_t kInlineBuffers = 4;
    PNDIS_BUFFER inline_buffers[kInlineBuffers] = {};
    std::vector<PNDIS_BUFFER> more_buffers;
    size_t buffer_count = 0;

    void add_buffer(PNDIS_BUFFER buffer) {
      if (buffer_count < kInlineBuffers) {
        inline_buffers[buffer_count] = buffer;
      } else {
        more_buffers.push_back(buffer);
      }
      ++buffer_count;
    }
    PNDIS_BUFFER buffer(size_t i) const {
      return i < kInlineBuffers ? inline_buffers[i] : more_buffers[i - kInlineBuffers];
    }
  };

  void release(InFlight& entry, PNDIS_PACKET packet);
  void return_one(PNDIS_PACKET packet);
  void cancel_return_events();

  Miniport& adapter_;
  Options options_;
  NDIS_HANDLE packet_pool_ = nullptr;
  NDIS_HANDLE buffer_pool_ = nullptr;
  bool closed_ = false;

  mutable host::HostMutex mutex_;
  uint64_t next_frame_ = 1;
  host::PointerMap<PNDIS_PACKET, InFlight> in_flight_;
  // What the adapter's send call returned for each of the last
  // kSendStatusesKept sends, by frame number modulo their count: a ring, so
  // a protocol that sends for hours keeps a fixed amount.
  std::vector<NDIS_STATUS> send_status_ = std::vector<NDIS_STATUS>(kSendStatusesKept);
  uint64_t first_status_kept_ = 1;  // the first frame whose status is still known
  std::vector<PNDIS_PACKET> kept_;
  std::vector<EventId> return_events_;
  std::vector<ReceivedFrame> received_;
  std::vector<StatusIndication> statuses_;
  std::vector<Nanoseconds> status_completes_;
  std::vector<SendCompletion> send_completions_;
  std::vector<ResetCompletion> resets_;
  // Every reset completion, and the last one's status, kept apart from the
  // records clear_records() drops, so a reset waited for while another
  // thread clears them is still seen to end.
  uint64_t resets_completed_ = 0;
  NDIS_STATUS last_reset_status_ = NDIS_STATUS_SUCCESS;
};

}  // namespace host::ndis
