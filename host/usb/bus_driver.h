// The USB bus driver below the adapter: the device object that function drivers
// send IOCTL_INTERNAL_USB_SUBMIT_URB IRPs to, carrying the URBs to one
// hw::UsbDevice over a modelled bus.
//
// Bus timing. Full speed runs 1 ms frames with room for 19 bulk packets of 64
// bytes per frame; high speed runs 125 us microframes with room for 13 packets
// of 512 bytes. Frames are numbered by their start; the bus works only while
// some request needs it: nothing is scheduled when it is idle.
//   - A transfer is carried out in the (micro)frame in progress and
//     completes at the boundary that ends it. Control and bulk transfers
//     are on the host controller's asynchronous schedule, which it runs
//     whenever the frame has time left rather than at frame boundaries, so
//     a request with nothing still to run ahead of it on its pipe reaches
//     the device at the moment it is submitted. A request submitted at a
//     boundary belongs to the frame that starts there, whether the
//     boundary's own work came before it or not. Interrupt transfers are on
//     the periodic schedule, which runs at the start of each frame: they
//     wait for the next one.
//   - Completion is seen at the boundary. A host controller marks a transfer
//     done when its last packet has moved but tells the system only at the
//     next interrupt threshold (an EHCI controller raises USBINT at the end of
//     the microframe, at the earliest; UHCI and OHCI controllers interrupt at
//     the end of the frame), and its driver completes the request from that
//     interrupt. So a request that ended in a (micro)frame completes at the
//     boundary that ends it, and a request submitted then (from the
//     completion routine, say) is carried out in the (micro)frame that
//     starts there: one request in flight carries at most one request per
//     (micro)frame, and a queue of N carries up to N per (micro)frame. This
//     is CompletionMode::Deferred, the default.
//   - A boundary tick first reports what ended in the frames before it, then
//     starts its frame: the default pipe's requests (descriptor, feature,
//     status, vendor, select configuration, pipe reset) go first, then every
//     pipe with a transfer still to run, interrupt pipes included. Each
//     control transaction (the setup, each data packet of up to endpoint 0's
//     packet size, the status) takes one packet of the frame's budget; a
//     request needing more than the frame has left goes on at the start of
//     the next and completes at the end of the frame that carries its last
//     transaction.
//   - Bulk transfers move packets within what the frame's budget has left,
//     pipes taking turns at frame starts (which pipe goes first follows the
//     frame number); a transfer completes at the end of the frame in which
//     its last packet moved.
//   - A NAKed bulk endpoint is revisited within the (micro)frame. Host
//     controllers walk the asynchronous schedule again and again while the
//     (micro)frame has time left (EHCI reloads its NAK counter at each new
//     pass; UHCI and OHCI loop over their bulk queues within the frame), and
//     after a NAK a high-speed OUT endpoint is probed with PING, which costs
//     no data packet. So the bus takes a NAKed bulk transfer up again at the
//     very time the device says its NAKs end (hw::UsbDevice::naks_until),
//     between boundaries, paying its packets from the budget of the
//     (micro)frame in progress, and the transfers queued behind it can
//     follow in the same (micro)frame; whatever ends there completes at that
//     (micro)frame's end. Each boundary also makes the last visit of the
//     frame that ends there: a NAKed bulk endpoint is polled once more, and a
//     transfer that moves then ended in that frame. A revisit works bulk
//     pipes only, in their turn order, and completes nothing; the default
//     pipe and interrupt pipes are served at frame starts, a NAK putting them
//     off to the next one. An endpoint whose device promises nothing
//     (naks_until() no later than now) is polled again at the next boundary.
//   - An error halts the pipe. A bulk or interrupt transfer that ends in
//     error (a STALL, babble, no answer, a short transfer refused) halts its
//     endpoint's queue, as the controller halts the queue head (and as the
//     platform's USB stack documents: a pipe whose transfer failed processes
//     no further requests until the error is cleared): the transfers queued
//     behind it, and any submitted later, stay pending and
//     do not touch the device until the client resets the pipe
//     (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL or SYNC_RESET_PIPE; a
//     reset is refused while transfers are queued, so they are first ended
//     with ABORT_PIPE, or cancelled). A cancel or an abort does not halt it.
//   - Idle frames cost nothing: when every request that could move has just
//     been NAKed and the device promises the NAKs hold until some time
//     (hw::UsbDevice::naks_until), the frames before it are not worked; a
//     bulk endpoint is revisited at that time, anything else polled at the
//     first boundary at or after it, where polling every frame would first
//     have seen the change. A change made to the device from outside the bus
//     (a partner's frame, a cable, a fault, an endpoint halted) calls the bus
//     back: a NAKed bulk endpoint is revisited at that moment, and the
//     default and interrupt pipes are polled at the next boundary after it.
//     A request submitted, a cancel or an abort is taken up as above.
//     Skipped frames are neither counted in BusStats::ticks nor as NAKs;
//     revisits are counted in BusStats::revisits.
//   - `unthrottled` lifts the packet budget (the live bridge); the boundaries
//     stay. `complete_at_revisit` (the live bridge too) takes away what is
//     left of frame timing: a transfer that a revisit ends completes then,
//     with any ended before it on its pipe, instead of at the boundary.
//
// Completion. Like a real bus driver, the bus pends every accepted request and
// completes it later from a scheduler event at a frame boundary (at
// PASSIVE_LEVEL or DISPATCH_LEVEL, as the seed decides). Tests may choose the
// other paths a function driver must also handle: BusOptions::completion
// BeforeReturn completes a request that nothing is ahead of and that ends the
// moment it is submitted inside the dispatch routine, before returning
// STATUS_PENDING (as when another processor finishes it first), which lets a
// resubmitted transfer run again in the same frame (an interrupt transfer is
// then carried out at once too); Seeded picks one of the two for each request
// by the seed. A request
// refused outright (bad pipe handle, bad parameters, device removed,
// FailImmediately fault) is completed at once and its error status is
// returned. Every pending IRP is cancellable: IoCancelIrp completes it with
// STATUS_CANCELLED and USBD_STATUS_CANCELED, with TransferBufferLength set to
// the bytes moved before the cancel.
//
// URB checks. Hdr.Length must be the x86 size of the function's URB (80, 72,
// 24, and 24 + sum(16 + 20 * pipes) for select configuration), and every
// USBD_INTERFACE_INFORMATION.Length must match its NumberOfPipes. A mismatch
// is a driver bug: by default the bus bug checks (USB_BAD_URB_LENGTH); with
// BadUrbAction::Fail it completes the request with
// USBD_STATUS_INVALID_PARAMETER / STATUS_INVALID_PARAMETER, as the platform's
// bus driver does. A select-configuration request whose interfaces disagree
// with the configuration descriptor is refused with an error either way (the
// descriptor comes from the device, not from the driver).
//
// Short IN transfers. A bulk or interrupt IN transfer ends at a short packet, a
// zero-length packet, or when the buffer is full. Without USBD_SHORT_TRANSFER_OK
// a transfer ended short completes with USBD_STATUS_ERROR_SHORT_TRANSFER
// (STATUS_UNSUCCESSFUL, the bytes received still reported) on a full-speed bus,
// as its host controllers do; a high-speed controller ignores the flag and
// completes it successfully. ShortTransfer::Error / Accept force either rule.
// Control reads may always return less than wLength.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hw/usb_device.h"
#include "sim/host_mutex.h"
#include "sim/kernel.h"
#include "usb/usbmon_capture.h"
#include "wdk_nt.h"
#include "wdk_usb.h"

namespace host::usb {

enum class CompletionMode {
  Deferred,      // pending, completed at the end of the frame it ended in (host controllers)
  BeforeReturn,  // pending, completed inside the dispatch when the bus can finish it at once
  Seeded,        // the seed picks Deferred or BeforeReturn for each IRP (tests)
};

enum class BadUrbAction { BugCheck, Fail };

enum class ShortTransfer { BySpeed, Error, Accept };

struct BusOptions {
  CompletionMode completion = CompletionMode::Deferred;
  bool unthrottled = false;
  bool complete_at_revisit = false;
  BadUrbAction bad_urb = BadUrbAction::BugCheck;
  ShortTransfer short_transfer = ShortTransfer::BySpeed;
  Nanoseconds late_delay = 20 * kMillisecond;  // extra delay of a UrbFault::Late request
  uint8_t device_address = 2;                  // as shown in captures
  uint16_t bus_number = 1;
  CCHAR stack_size = 1;  // the bus device object's StackSize
};

// For tests that exercise both of a function driver's completion paths:
// each request completed at a frame boundary or before the dispatch returns,
// as the seed picks.
inline BusOptions seeded_completion() {
  BusOptions o;
  o.completion = CompletionMode::Seeded;
  return o;
}

// A request as a fault rule sees it, once the bus has accepted it.
struct RequestInfo {
  uint16_t function = 0;  // URB function
  bool bulk = false;      // a bulk or interrupt transfer
  uint8_t endpoint = 0;   // bulk: the endpoint address, direction bit included
  bool in = false;        // data from the device
  hw::SetupPacket setup;  // control requests: the setup packet as sent
  uint32_t length = 0;    // bytes asked for or offered
};

// What becomes of a request a rule picks.
enum class RequestFault {
  None,
  Refuse,  // completed at once with an error, the error returned (device gone)
  Error,   // ends unanswered when carried out: a device-not-responding error
  Stall,   // the device answers with a STALL handshake when it is carried out
  Hang,    // never completes until cancelled or aborted
  AtOnce,  // completed inside the dispatch, before STATUS_PENDING is returned
  Late,    // completes after BusOptions::late_delay more
};

struct BusStats {
  uint64_t urbs = 0;
  uint64_t completed_before_return = 0;  // completed inside the dispatch, STATUS_PENDING returned
  uint64_t completed_later = 0;          // completed from a scheduler event
  uint64_t failed_at_once = 0;           // completed inside the dispatch with the error returned
  uint64_t cancelled = 0;                // IoCancelIrp
  uint64_t aborted = 0;                  // ABORT_PIPE, reconfiguration, removal
  uint64_t ticks = 0;                    // (micro)frame boundaries worked
  uint64_t revisits = 0;                 // NAKed bulk endpoints revisited between boundaries
  uint64_t naks = 0;                     // polls answered NAK (idle frames are not polled)
  uint64_t packets = 0;
};

class BusDriver {
 public:
  BusDriver(hw::UsbDevice& device, const BusOptions& options = {});
  ~BusDriver();
  BusDriver(const BusDriver&) = delete;
  BusDriver& operator=(const BusDriver&) = delete;

  // The device object to send URBs to (the function driver's lower device).
  PDEVICE_OBJECT device_object() const { return device_object_; }
  const BusOptions& options() const { return options_; }

  hw::BusSpeed speed() const { return speed_; }
  Nanoseconds frame_period() const { return period_; }
  unsigned packets_per_frame() const { return packets_per_frame_; }

  // Surprise removal: while set, every new URB fails at once with
  // STATUS_DEVICE_NOT_CONNECTED; setting it completes everything pending with
  // that status.
  void set_surprise_removed(bool removed);
  bool surprise_removed() const;

  // usbmon capture of every URB that reaches the bus, to a pcap file.
  bool start_capture(const std::string& path, std::string* error = nullptr);
  void stop_capture();

  // Called for every request the bus accepts (and no host::faults() URB rule
  // has already picked); may call into the device. Empty: no faults.
  void set_request_rule(std::function<RequestFault(const RequestInfo&)> rule);

  size_t pending_irps() const;
  BusStats stats() const;

  struct Transfer;
  // A pipe's transfers in submission order. Only a few are queued at once,
  // and the queue is walked at every (micro)frame: a vector walks cheaper
  // than a deque, and taking one from the front moves a few pointers.
  using TransferQueue = std::vector<std::unique_ptr<Transfer>>;
  struct Pipe;

 private:
  static NTSTATUS NTAPI dispatch_internal_control(PDEVICE_OBJECT device, PIRP irp);
  static void NTAPI cancel_routine(PDEVICE_OBJECT device, PIRP irp);
  using TransferList = std::vector<std::unique_ptr<Transfer>>;

  NTSTATUS submit_urb(PIRP irp, PURB urb);
  NTSTATUS fail_at_once(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status);
  NTSTATUS bad_urb(PIRP irp, PURB urb, const std::string& what);
  NTSTATUS accept(std::unique_ptr<Transfer> t, UrbFault fault);
  NTSTATUS abort_pipe(PIRP irp, PURB urb);
  NTSTATUS prepare_select_configuration(PIRP irp, PURB urb, Transfer& t);

  Pipe* find_pipe_locked(USBD_PIPE_HANDLE handle);
  bool choose_before_return();
  // Moves the transfers ended by a reconfiguration in a (micro)frame before
  // `before_frame` to `out`.
  void drain_orphans_locked(TransferList& out, uint64_t before_frame);
  // The index of the first transfer in `queue` that has not ended.
  static size_t first_to_run(const TransferQueue& queue);
  // Carry out, within `budget`, the default pipe's requests and a pipe's
  // transfers from the first still to run, until one cannot go on; a
  // transfer of the pipe that ends, ends in (micro)frame `frame`.
  void work_control_locked(unsigned& budget, Nanoseconds t_now);
  void work_pipe_locked(Pipe& p, unsigned& budget, Nanoseconds t_now, uint64_t frame);
  bool run_control_locked(Transfer& t);
  // Carries a control request out (once) and pays its transactions from the
  // frame's budget; true when the last of them is paid and it can complete.
  bool carry_control_locked(Transfer& t, unsigned& budget);
  bool run_bulk_locked(Transfer& t, unsigned& budget);
  // Packets still free in (micro)frame number `frame` (counted from its
  // start), shared by requests carried out at submission, at its start, at
  // revisits within it and at its last visit.
  unsigned& frame_budget_locked(uint64_t frame);
  void apply_configuration_locked(Transfer& t);
  void finish_locked(Transfer& t, USBD_STATUS usbd, NTSTATUS status);
  void take_for_completion_locked(TransferQueue& queue, size_t index, TransferList& out);
  void cancel_all_locked(TransferQueue& queue, USBD_STATUS usbd, NTSTATUS status,
                         TransferList& out);
  // A boundary tick, or a revisit of NAKed bulk endpoints between boundaries.
  void on_tick(bool boundary);
  void schedule_tick_locked();
  // Arms the tick at `at` unless it is armed no later already.
  void request_tick(Nanoseconds at);
  // Arms the revisit at `at` (not a boundary) unless it is armed no later.
  void request_revisit(Nanoseconds at);
  // Creates the timers on the current kernel's scheduler; under tick_mutex_.
  bool timers_locked();
  // The device changed under the bus: poll again at the next boundary.
  void on_device_change();
  void note_nak_locked(Transfer& t);
  void complete(TransferList& list);
  void complete_later(TransferList list);
  void complete_one(Transfer& t);
  void capture_submission(Transfer& t);
  void capture_completion(const Transfer& t);
  void cancel(PIRP irp);
  Nanoseconds now() const;

  hw::UsbDevice& device_;
  BusOptions options_;
  hw::BusSpeed speed_;
  Nanoseconds period_;
  unsigned packets_per_frame_;
  PDRIVER_OBJECT driver_object_ = nullptr;
  PDEVICE_OBJECT device_object_ = nullptr;

  mutable host::HostMutex mutex_;  // everything below; never held while completing an IRP
  bool removed_ = false;
  TransferQueue control_queue_;
  std::vector<std::unique_ptr<Pipe>> pipes_;  // of the selected configuration
  uintptr_t configuration_handle_ = 0;
  uintptr_t next_handle_ = 0x5B000010;
  TransferQueue cancelling_;  // cancel routine on its way
  // Incremented whenever the device may have changed: an answer other than
  // NAK to the bus, or a change from outside. A NAK taken at the current
  // generation still holds.
  std::atomic<uint64_t> device_generation_{0};
  // A bulk endpoint NAKed at the device's current generation waits: a change
  // from outside brings a revisit at once.
  std::atomic<bool> bulk_waiting_{false};
  uint8_t ep0_max_packet_ = 64;  // from the device descriptor, once read
  uint64_t budget_frame_[2] = {UINT64_MAX, UINT64_MAX};
  unsigned budget_left_[2] = {0, 0};
  BusStats stats_;
  std::vector<std::pair<const void*, size_t>> noted_descriptors_;
  TransferList orphans_;  // ended by a reconfiguration inside a control request
  std::function<RequestFault(const RequestInfo&)> request_rule_;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);  // events of a gone bus do nothing

  // The tick: a reusable scheduler timer, armed at most once at a time. Its
  // own lock is taken last, under mutex_ or alone (device change hooks come
  // from other threads and other buses' ticks, and must not wait for mutex_).
  host::HostMutex tick_mutex_;
  Scheduler* tick_scheduler_ = nullptr;
  TimerId tick_timer_ = 0;
  bool tick_armed_ = false;
  Nanoseconds tick_time_ = 0;
  TimerId revisit_timer_ = 0;
  bool revisit_armed_ = false;
  Nanoseconds revisit_time_ = 0;

  host::HostMutex capture_mutex_;
  std::unique_ptr<UsbmonCapture> capture_;
  uint64_t capture_ids_ = 0;
};

}  // namespace host::usb
