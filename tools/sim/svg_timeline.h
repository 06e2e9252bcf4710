// A picture of a run for a person who would rather look: link state per PHY,
// the active PHY, the media state NDIS was told, throughput each way per
// second, faults and requests as marks on rows of their own, and the
// scenario's events, over the run's virtual time. Plain SVG.
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

struct SvgAdapter {
  std::string name;  // as records carry it in "adapter" (several adapters)
  std::vector<SvgPhy> phys;
};

struct SvgInfo {
  std::string title;
  uint64_t duration_ns = 0;  // right edge; the last record's time when larger
  std::vector<SvgPhy> phys;  // one adapter, records without an "adapter" field
  // Several adapters: rows for each, records told apart by their "adapter".
  std::vector<SvgAdapter> adapters;
};

std::string render_svg(const std::vector<Record>& records, const SvgInfo& info);

}  // namespace usbeth::sim
