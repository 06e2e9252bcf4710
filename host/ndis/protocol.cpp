// The bound protocol: frames out as packets from its own pools, every
// indication in recorded with the virtual time.
#include "ndis/protocol.h"

#include <algorithm>
#include <cstdio>

namespace host::ndis {
namespace {

Nanoseconds now() {
  return Kernel::get().scheduler().now();
}

}  // namespace

Protocol::Protocol(Miniport& adapter) : Protocol(adapter, Options{}) {}

Protocol::Protocol(Miniport& adapter, Options options) : adapter_(adapter), options_(options) {
  OwnerScope scope(this);
  NDIS_STATUS status;
  NdisAllocatePacketPool(&status, &packet_pool_, options_.packet_pool_size, 16);
  if (status != NDIS_STATUS_SUCCESS) {
    bug_check("PROTOCOL_SETUP_FAILED", "the protocol could not allocate its packet pool");
  }
  NdisAllocateBufferPool(&status, &buffer_pool_, options_.buffer_pool_size);
  if (status != NDIS_STATUS_SUCCESS) {
    NdisFreePacketPool(packet_pool_);
    bug_check("PROTOCOL_SETUP_FAILED", "the protocol could not allocate its buffer pool");
  }
  adapter_.bind(this);
}

Protocol::~Protocol() {
  cancel_return_events();
  if (closed_ || !Library::current()) return;
  adapter_.bind(nullptr);
  if (Library::current()->abandoned()) return;
  bool idle;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    idle = in_flight_.empty();
  }
  if (!idle) {
    std::fprintf(stderr, "protocol destroyed with sends in flight; its pools are not freed\n");
    return;
  }
  try {
    close();
  } catch (const BugCheck& e) {
    std::fprintf(stderr, "*** BUG CHECK while the protocol was closed\n%s\n", e.what());
    std::fflush(stderr);
    std::abort();
  }
}

void Protocol::cancel_return_events() {
  std::vector<EventId> events;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    events.swap(return_events_);
  }
  if (Kernel* kernel = Kernel::current()) {
    for (EventId event : events)
      kernel->scheduler().cancel(event);
  }
}

void Protocol::close() {
  if (closed_) return;
  cancel_return_events();
  if (adapter_.state() == Miniport::State::Running) return_kept_packets();
  adapter_.bind(nullptr);
  closed_ = true;
  OwnerScope scope(this);
  NdisFreeBufferPool(buffer_pool_);
  NdisFreePacketPool(packet_pool_);
}

uint64_t Protocol::send(std::vector<uint8_t> frame, const std::vector<size_t>& buffer_sizes,
                        const CallOptions& options, NDIS_STATUS* status_out) {
  PNDIS_PACKET packet = nullptr;
  InFlight entry;
  {
    OwnerScope scope(this);
    NDIS_STATUS status;
    NdisAllocatePacket(&status, &packet, packet_pool_);
    if (status != NDIS_STATUS_SUCCESS) return 0;
    entry.data = std::move(frame);
    size_t used = 0;
    for (size_t size : buffer_sizes)
      used += size;
    if (used > entry.data.size()) {
      bug_check("INVALID_PARAMETER", "Protocol::send: buffer sizes exceed the frame");
    }
    // The sizes given, then one buffer for the rest when there is a rest or
    // nothing was given.
    const bool rest = used < entry.data.size() || buffer_sizes.empty();
    const size_t count = buffer_sizes.size() + (rest ? 1 : 0);
    uint8_t* cursor = entry.data.data();
    for (size_t i = 0; i < count; ++i) {
      const size_t size = i < buffer_sizes.size() ? buffer_sizes[i] : entry.data.size() - used;
      PNDIS_BUFFER buffer;
      NdisAllocateBuffer(&status, &buffer, buffer_pool_, size ? cursor : nullptr,
                         static_cast<UINT>(size));
      if (status != NDIS_STATUS_SUCCESS) {
        release(entry, packet);
        return 0;
      }
      entry.add_buffer(buffer);
      NdisChainBufferAtBack(packet, buffer);
      cursor += size;
    }
  }
  uint64_t frame_number;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    frame_number = entry.frame = next_frame_++;
    // Until the send call returns, this frame has no status yet.
    send_status_[frame_number % kSendStatusesKept] = NDIS_STATUS_FAILURE;
    in_flight_[packet] = std::move(entry);
  }
  NDIS_STATUS status = adapter_.send(packet, options);
  if (status_out) *status_out = status;
  std::lock_guard<host::HostMutex> lock(mutex_);
  send_status_[frame_number % kSendStatusesKept] = status;
  return frame_number;
}

NDIS_STATUS Protocol::send_status(uint64_t frame) const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  // Frame numbers start at 1: one not yet given, sent before the records were
  // last cleared, or too old for the ring has no status to report.
  if (frame < first_status_kept_ || frame >= next_frame_ ||
      next_frame_ - frame > kSendStatusesKept) {
    return NDIS_STATUS_FAILURE;
  }
  return send_status_[frame % kSendStatusesKept];
}

void Protocol::release(InFlight& entry, PNDIS_PACKET packet) {
  OwnerScope scope(this);
  for (size_t i = 0; i < entry.buffer_count; ++i)
    NdisFreeBuffer(entry.buffer(i));
  entry.buffer_count = 0;
  entry.more_buffers.clear();
  NdisFreePacket(packet);
}

void Protocol::send_complete(Miniport&, PNDIS_PACKET packet, NDIS_STATUS status) {
  InFlight entry;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    InFlight* found = in_flight_.find(packet);
    if (!found) {
      bug_check("SEND_COMPLETE_NOT_OWNED",
                "a send completion reached the protocol for a packet it did not send");
    }
    entry = std::move(*found);
    in_flight_.erase(packet);
    send_completions_.push_back(SendCompletion{entry.frame, packet, status, now()});
  }
  release(entry, packet);
}

bool Protocol::receive(Miniport&, PNDIS_PACKET packet, NDIS_STATUS packet_status, UINT header_size,
                       std::vector<uint8_t> data) {
  bool keep = options_.keep_received_packets && packet_status != NDIS_STATUS_RESOURCES;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    ReceivedFrame frame;
    frame.data = std::move(data);
    frame.time = now();
    frame.packet_status = packet_status;
    frame.header_size = header_size;
    frame.packet = packet;
    frame.irql = current_context().irql;
    frame.kept = keep;
    received_.push_back(std::move(frame));
    if (keep) kept_.push_back(packet);
  }
  if (keep && options_.return_delay != kNever) {
    EventId event = Kernel::get().scheduler().schedule_after(
        options_.return_delay, RunLevel::Dispatch, [this, packet] { return_one(packet); },
        "protocol returns a received packet");
    std::lock_guard<host::HostMutex> lock(mutex_);
    return_events_.push_back(event);
  }
  return keep;
}

void Protocol::return_one(PNDIS_PACKET packet) {
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    auto it = std::find(kept_.begin(), kept_.end(), packet);
    if (it == kept_.end()) return;  // returned already (at halt or on request)
    kept_.erase(it);
  }
  adapter_.return_packet(packet);
}

void Protocol::return_kept_packets() {
  std::vector<PNDIS_PACKET> kept;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    kept.swap(kept_);
  }
  for (PNDIS_PACKET packet : kept)
    adapter_.return_packet(packet);
}

void Protocol::return_kept_packets(Miniport&) {
  return_kept_packets();
}

void Protocol::status(Miniport&, NDIS_STATUS code, const void* buffer, UINT size) {
  std::lock_guard<host::HostMutex> lock(mutex_);
  StatusIndication s;
  s.code = code;
  if (size) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    s.buffer.assign(bytes, bytes + size);
  }
  s.time = now();
  statuses_.push_back(std::move(s));
}

void Protocol::status_complete(Miniport&) {
  std::lock_guard<host::HostMutex> lock(mutex_);
  status_completes_.push_back(now());
}

void Protocol::reset_complete(Miniport&, NDIS_STATUS status, BOOLEAN addressing_reset) {
  std::lock_guard<host::HostMutex> lock(mutex_);
  resets_.push_back(ResetCompletion{status, addressing_reset, now()});
  ++resets_completed_;
  last_reset_status_ = status;
}

std::shared_ptr<Request> Protocol::query(NDIS_OID oid, ULONG length, const CallOptions& options,
                                         Nanoseconds limit) {
  std::shared_ptr<Request> request = adapter_.query(oid, length, options);
  if (!request->completed.load()) run_until([&] { return request->completed.load(); }, limit);
  return request;
}

std::shared_ptr<Request> Protocol::set(NDIS_OID oid, const std::vector<uint8_t>& data,
                                       const CallOptions& options, Nanoseconds limit) {
  std::shared_ptr<Request> request = adapter_.set(oid, data, options);
  if (!request->completed.load()) run_until([&] { return request->completed.load(); }, limit);
  return request;
}

std::optional<uint32_t> Protocol::query_ulong(NDIS_OID oid) {
  std::shared_ptr<Request> request = query(oid, 4);
  if (!request->completed.load() || request->status != NDIS_STATUS_SUCCESS ||
      request->bytes_done != 4) {
    return std::nullopt;
  }
  const std::vector<uint8_t> bytes = request->data();
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

std::shared_ptr<Request> Protocol::set_ulong(NDIS_OID oid, uint32_t value) {
  return set(oid,
             {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
}

NDIS_STATUS Protocol::reset(const CallOptions& options, Nanoseconds limit) {
  uint64_t before;
  {
    std::lock_guard<host::HostMutex> lock(mutex_);
    before = resets_completed_;
  }
  NDIS_STATUS status = adapter_.reset(options);
  if (status != NDIS_STATUS_PENDING) return status;
  auto done = [&] {
    std::lock_guard<host::HostMutex> lock(mutex_);
    return resets_completed_ > before;
  };
  if (!run_until(done, limit)) return NDIS_STATUS_PENDING;
  std::lock_guard<host::HostMutex> lock(mutex_);
  return last_reset_status_;
}

bool Protocol::run_until(const std::function<bool()>& condition, Nanoseconds limit) {
  Scheduler& scheduler = Kernel::get().scheduler();
  if (condition()) return true;
  return scheduler.block_until(condition, scheduler.now() + limit);
}

std::vector<Protocol::ReceivedFrame> Protocol::received() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return received_;
}
std::vector<Protocol::StatusIndication> Protocol::statuses() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return statuses_;
}
size_t Protocol::status_count() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return statuses_.size();
}
std::optional<Protocol::StatusIndication> Protocol::last_status() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  if (statuses_.empty()) return std::nullopt;
  return statuses_.back();
}
std::vector<Nanoseconds> Protocol::status_completes() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return status_completes_;
}
std::vector<Protocol::SendCompletion> Protocol::send_completions() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return send_completions_;
}
std::vector<Protocol::ResetCompletion> Protocol::resets() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return resets_;
}
size_t Protocol::received_count() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return received_.size();
}
size_t Protocol::send_completion_count() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return send_completions_.size();
}
bool Protocol::has_free_packet() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return in_flight_.size() < options_.packet_pool_size;
}
size_t Protocol::sends_in_flight() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return in_flight_.size();
}
size_t Protocol::kept_packets() const {
  std::lock_guard<host::HostMutex> lock(mutex_);
  return kept_.size();
}
void Protocol::clear_records() {
  std::lock_guard<host::HostMutex> lock(mutex_);
  received_.clear();
  statuses_.clear();
  status_completes_.clear();
  send_completions_.clear();
  resets_.clear();
  // The statuses are kept in a ring of fixed size; those of the sends made
  // so far are forgotten with the other records.
  first_status_kept_ = next_frame_;
}

}  // namespace host::ndis
