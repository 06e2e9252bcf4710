// The live bridge: one adapter in the host kernel's threaded mode, real time,
// with the NDIS side of the driver (frames the bound protocol sends and
// receives) on one Linux TAP interface and the far end of its wire (the link
// partner) on another, so that real programs exchange frames through the
// driver's send and receive paths. `direct` forwards TAP to TAP without the
// driver, as the yardstick. The wire runs at the link's rate both ways (the
// board paces what the driver sends and what the far end sends), unless
// lifted.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace usbeth::sim {

struct BridgeOptions {
  std::string tap_ndis;
  std::string tap_wire;
  std::string bus = "unthrottled";  // full, high or unthrottled
  bool wire_limit = true;           // frames take their time on the wire, both ways
  bool direct = false;
  // The TAPs take TCP bursts of up to 64 KiB and packets with checksums left
  // to them (cut up and filled in by the bridge, which joins segments again
  // on the way out): the driver still sees frames of one MTU. Not for
  // `direct`, which forwards frame by frame.
  bool offloads = true;
  unsigned seconds = 0;  // 0: until SIGINT or SIGTERM
  bool verbose = false;
  uint64_t seed = 1;
  // Registry settings of the adapter, keyword and value as the INF writes
  // them (hexadecimal strings), e.g. TxQueueDepth and RxQueueDepth.
  std::vector<std::pair<std::string, std::string>> registry;
};

// Runs until told to stop; returns the process exit code.
int run_bridge(const BridgeOptions& options);

}  // namespace usbeth::sim
