// A picture of a run for a person who would rather look: link state per PHY,
// the active PHY, the media state NDIS was told, throughput each way per
// second, and the scenario's events, over the run's virtual time. Plain SVG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "event_log.h"

namespace usbeth::sim {

struct SvgPhy {
  unsigned address = 0;
  uint32_t id = 0;
};

struct SvgInfo {
  std::string title;
  uint64_t duration_ns = 0;  // right edge; the last record's time when larger
  std::vector<SvgPhy> phys;
};

std::string render_svg(const std::vector<Record>& records, const SvgInfo& info);

}  // namespace usbeth::sim
