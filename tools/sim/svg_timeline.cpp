#include "svg_timeline.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

#include "board_mapping.h"

namespace usbeth::sim {
namespace {

constexpr double kLeft = 150, kRight = 30, kWidth = 1100, kRowHeight = 26, kRowGap = 8;
constexpr double kChartHeight = 170;

std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '"') {
      out += "&quot;";
    } else {
      out += c;
    }
  }
  return out;
}

std::string num(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

struct Segment {
  uint64_t from, to;
  std::string colour, label;
};

class Canvas {
 public:
  Canvas(uint64_t end_ns) : end_ns_(std::max<uint64_t>(end_ns, 1)) {}
  double X(uint64_t t) const {
    return kLeft + (kWidth - kLeft - kRight) * static_cast<double>(std::min(t, end_ns_)) /
                       static_cast<double>(end_ns_);
  }
  void Rect(double x, double y, double w, double h, const std::string& fill,
            const std::string& extra = "") {
    out_ << "<rect x=\"" << num(x) << "\" y=\"" << num(y) << "\" width=\"" << num(std::max(w, 0.5))
         << "\" height=\"" << num(h) << "\" fill=\"" << fill << "\"" << extra << "/>\n";
  }
  // A thin mark with a tooltip.
  void Mark(double x, double y, double h, const std::string& fill, const std::string& title) {
    out_ << "<rect x=\"" << num(x - 1.5) << "\" y=\"" << num(y) << "\" width=\"3\" height=\""
         << num(h) << "\" fill=\"" << fill << "\"><title>" << escape(title) << "</title></rect>\n";
  }
  void Text(double x, double y, const std::string& s, const std::string& extra = "") {
    out_ << "<text x=\"" << num(x) << "\" y=\"" << num(y) << "\"" << extra << ">" << escape(s)
         << "</text>\n";
  }
  void Line(double x1, double y1, double x2, double y2, const std::string& stroke,
            const std::string& extra = "") {
    out_ << "<line x1=\"" << num(x1) << "\" y1=\"" << num(y1) << "\" x2=\"" << num(x2) << "\" y2=\""
         << num(y2) << "\" stroke=\"" << stroke << "\"" << extra << "/>\n";
  }
  void Row(double y, const std::string& label, const std::vector<Segment>& segments) {
    Text(kLeft - 8, y + kRowHeight * 0.65, label, " text-anchor=\"end\"");
    Rect(kLeft, y, kWidth - kLeft - kRight, kRowHeight, "#f2f2f2");
    for (const Segment& s : segments) {
      double x1 = X(s.from), x2 = X(s.to);
      Rect(x1, y, x2 - x1, kRowHeight, s.colour, " stroke=\"white\" stroke-width=\"0.5\"");
      if (x2 - x1 > 8.0 * s.label.size() && !s.label.empty()) {
        Text((x1 + x2) / 2, y + kRowHeight * 0.65, s.label,
             " text-anchor=\"middle\" fill=\"white\"");
      }
    }
  }
  std::ostringstream& out() { return out_; }
  uint64_t end() const { return end_ns_; }

 private:
  uint64_t end_ns_;
  std::ostringstream out_;
};

// Turns a series of (time, state) changes into segments up to `end`.
template <typename State, typename Paint>
std::vector<Segment> segments_of(const std::vector<std::pair<uint64_t, State>>& changes,
                                 uint64_t end, Paint paint) {
  std::vector<Segment> out;
  for (size_t i = 0; i < changes.size(); ++i) {
    uint64_t to = i + 1 < changes.size() ? changes[i + 1].first : end;
    if (to <= changes[i].first) continue;
    Segment s{changes[i].first, to, "", ""};
    if (paint(changes[i].second, s)) out.push_back(s);
  }
  return out;
}

const char* kPhyColours[] = {"#3b6fb6", "#8e44ad", "#16a085", "#d35400", "#7f8c8d",
                             "#2c3e50", "#c0392b", "#27ae60", "#f39c12", "#34495e"};

}  // namespace

std::string render_svg(const std::vector<Record>& records, const SvgInfo& info) {
  uint64_t end = info.duration_ns;
  for (const Record& r : records)
    end = std::max(end, r.time_ns);
  Canvas c(end);

  std::vector<SvgAdapter> adapters = info.adapters;
  const bool several = !adapters.empty();
  if (!several) adapters.push_back({"", info.phys});

  double y = 50;
  for (const SvgAdapter& adapter : adapters) {
    // The records of this adapter.
    auto mine = [&](const Record& r) { return !several || r.text("adapter") == adapter.name; };
    const std::string prefix = several ? adapter.name + ": " : "";
    std::map<unsigned, size_t> colour_of;
    for (size_t i = 0; i < adapter.phys.size(); ++i)
      colour_of[adapter.phys[i].address] = i % 10;

    // One row per PHY: its link as the hardware has it.
    for (const SvgPhy& phy : adapter.phys) {
      struct Link {
        bool up;
        int64_t speed;
        bool full;
      };
      std::vector<std::pair<uint64_t, Link>> changes{{0, {false, 0, false}}};
      for (const Record& r : records) {
        if (r.kind == "phy_link" && mine(r) && r.integer("phy") == phy.address) {
          changes.push_back(
              {r.time_ns, {r.flag("up"), r.integer("speed_mbps"), r.flag("full_duplex")}});
        }
      }
      auto segs = segments_of(changes, c.end(), [](const Link& l, Segment& s) {
        if (!l.up) return false;
        s.colour = "#2e8b57";
        s.label = l.speed == 1 ? "1 Mb/s" : std::to_string(l.speed) + (l.full ? " full" : " half");
        return true;
      });
      char label[64];
      snprintf(label, sizeof label, "PHY %u link (%s)", phy.address, phy_kind(phy.id));
      c.Row(y, prefix + label, segs);
      y += kRowHeight + kRowGap;
    }

    // The PHY the driver has chosen.
    {
      std::vector<std::pair<uint64_t, int64_t>> changes{{0, -1}};
      for (const Record& r : records) {
        if (!mine(r)) continue;
        if (r.kind == "active_phy") changes.push_back({r.time_ns, r.integer("phy")});
        if (r.kind == "halt") changes.push_back({r.time_ns, -1});
      }
      auto segs = segments_of(changes, c.end(), [&](int64_t phy, Segment& s) {
        if (phy < 0) return false;
        s.colour = kPhyColours[colour_of.count(phy) ? colour_of[phy] : 0];
        s.label = "PHY " + std::to_string(phy);
        return true;
      });
      c.Row(y, prefix + "active PHY (driver)", segs);
      y += kRowHeight + kRowGap;
    }

    // Media state as indicated to NDIS.
    {
      std::vector<std::pair<uint64_t, int>> changes{{0, 0}};
      for (const Record& r : records) {
        if (!mine(r)) continue;
        if (r.kind == "media") changes.push_back({r.time_ns, r.text("state") == "connect" ? 1 : 2});
        if (r.kind == "halt") changes.push_back({r.time_ns, 0});
      }
      auto segs = segments_of(changes, c.end(), [](int state, Segment& s) {
        if (state == 0) return false;
        s.colour = state == 1 ? "#2e8b57" : "#c0392b";
        s.label = state == 1 ? "connected" : "disconnected";
        return true;
      });
      c.Row(y, prefix + "media (NDIS)", segs);
      y += kRowHeight + kRowGap;
    }

    // Faults, each a mark: armed (outline), struck (filled), and the
    // device's removal.
    {
      c.Row(y, prefix + "faults", {});
      for (const Record& r : records) {
        if (!mine(r)) continue;
        const std::string& k = r.kind;
        std::string colour;
        if (k == "fault_hit") {
          colour = "#c0392b";
        } else if (k == "device_fault" || k == "host_fault") {
          colour = "#e67e22";
        } else if (k == "host_fault_end") {
          colour = r.integer("failures") ? "#8e44ad" : "#bbbbbb";
        } else if (k == "rx_transfer" || k == "bad_status") {
          colour = "#d35400";
        } else if (k == "device_removed" || k == "device_plugged") {
          colour = "#2c3e50";
        } else if (k == "invariant" || k == "bug_check") {
          colour = "#000000";
        } else {
          continue;
        }
        c.Mark(c.X(r.time_ns), y + 3, kRowHeight - 6, colour, timeline_line(r));
      }
      y += kRowHeight + kRowGap;
    }

    // NDIS requests: sets, queries, resets, shutdowns, initializations.
    {
      c.Row(y, prefix + "NDIS requests", {});
      for (const Record& r : records) {
        if (!mine(r)) continue;
        const std::string& k = r.kind;
        if (k != "filter_set" && k != "multicast_set" && k != "lookahead_set" && k != "query" &&
            k != "set" && k != "reset" && k != "shutdown" && k != "initialize" && k != "halt") {
          continue;
        }
        bool ok = r.text("status", "0x00000000") == "0x00000000" && !r.find("error");
        if (k == "reset" || k == "initialize") ok = r.integer("status") == 0 && !r.find("error");
        std::string colour = ok ? "#3b6fb6" : "#c0392b";
        c.Mark(c.X(r.time_ns), y + 3, kRowHeight - 6, colour, timeline_line(r));
      }
      y += kRowHeight + kRowGap;
    }
    y += several ? 10 : 0;
  }
  y += 14;

  // Throughput per second, each way.
  double chart_top = y;
  std::vector<std::pair<uint64_t, std::pair<double, double>>> per_second;
  double peak = 1;
  for (const Record& r : records) {
    if (r.kind != "second") continue;
    double out = r.integer("tx_bytes") * 8 / 1000.0, in = r.integer("rx_bytes") * 8 / 1000.0;
    per_second.push_back({r.time_ns, {out, in}});
    peak = std::max({peak, out, in});
  }
  double scale = 1;
  while (scale * 10 < peak)
    scale *= 10;
  double top = scale;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (scale * m >= peak) {
      top = scale * m;
      break;
    }
  }
  c.Rect(kLeft, chart_top, kWidth - kLeft - kRight, kChartHeight, "#fafafa", " stroke=\"#ccc\"");
  c.Text(kLeft - 8, chart_top + 12, num(top) + " kb/s", " text-anchor=\"end\" font-size=\"11\"");
  c.Text(kLeft - 8, chart_top + kChartHeight, "0", " text-anchor=\"end\" font-size=\"11\"");
  c.Text(kLeft - 8, chart_top + kChartHeight / 2, "throughput", " text-anchor=\"end\"");
  auto bars = [&](bool out_way, const char* colour, double offset) {
    double width = std::max(1.0, (c.X(1'000'000'000) - c.X(0)) / 2 - 1);
    for (const auto& [t, v] : per_second) {
      double value = out_way ? v.first : v.second;
      if (value <= 0) continue;
      double h = kChartHeight * value / top;
      double x = c.X(t >= 1'000'000'000 ? t - 1'000'000'000 : 0) + offset * width;
      c.Rect(x, chart_top + kChartHeight - h, width, h, colour);
    }
  };
  bars(true, "#3b6fb6", 0);
  bars(false, "#e67e22", 1);
  c.Rect(kLeft + 10, chart_top + 6, 10, 10, "#3b6fb6");
  c.Text(kLeft + 24, chart_top + 15, "out (protocol to wire)", " font-size=\"11\"");
  c.Rect(kLeft + 170, chart_top + 6, 10, 10, "#e67e22");
  c.Text(kLeft + 184, chart_top + 15, "in (wire to protocol)", " font-size=\"11\"");
  y = chart_top + kChartHeight + 20;

  // Time axis and the scenario's events.
  uint64_t step = 1'000'000'000;
  for (uint64_t seconds : {1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800, 3600}) {
    step = seconds * 1'000'000'000;
    if (end / step <= 20) break;
  }
  for (uint64_t t = 0; t <= end; t += step) {
    double x = c.X(t);
    c.Line(x, 44, x, y - 14, "#e0e0e0");
    c.Text(x, y, std::to_string(t / 1'000'000'000) + " s",
           " text-anchor=\"middle\" font-size=\"11\"");
  }
  double mark_top = 40, mark_bottom = chart_top + kChartHeight;
  for (const Record& r : records) {
    static const char* kMarked[] = {"plug",       "unplug",     "abilities",      "traffic",
                                    "bad_status", "reset",      "halt",           "bug_check",
                                    "initialize", "shutdown",   "device_removed", "device_plugged",
                                    "echo",       "filter_set", "multicast_set"};
    if (std::find(std::begin(kMarked), std::end(kMarked), r.kind) == std::end(kMarked)) continue;
    double x = c.X(r.time_ns);
    std::string label = r.kind;
    if (r.find("phy")) label += " " + std::to_string(r.integer("phy"));
    if (r.find("adapter")) label = r.text("adapter") + ": " + label;
    c.Line(x, mark_top, x, mark_bottom, "#555", " stroke-dasharray=\"3,3\"");
    c.Text(x + 3, y + 16, label,
           " font-size=\"10\" transform=\"rotate(30 " + num(x + 3) + " " + num(y + 16) + ")\"");
  }
  double height = y + 70;

  std::ostringstream svg;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(kWidth) << "\" height=\""
      << num(height) << "\" viewBox=\"0 0 " << num(kWidth) << " " << num(height)
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << num(kLeft) << "\" y=\"24\" font-size=\"15\" font-weight=\"bold\">"
      << escape(info.title) << "</text>\n"
      << c.out().str() << "</svg>\n";
  return svg.str();
}

}  // namespace usbeth::sim
