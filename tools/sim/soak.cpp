#include "soak.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "simulation.h"

namespace usbeth::sim {
namespace {

constexpr uint64_t kHourMs = 3'600'000;

class Generator {
 public:
  Generator(const SoakOptions& o, uint64_t episode)
      : o_(o), rng_(o.seed * 0x9E3779B97F4A7C15ull + episode * 0xBF58476D1CE4E5B9ull + 1) {}

  Scenario Make(uint64_t episode) {
    Scenario s;
    if (o_.base) {
      s.adapters = o_.base->adapters;
      s.bus = o_.base->bus;
    } else {
      AdapterSetting a;
      PhySetting eth;
      eth.address = 1;
      eth.id = 0x00406210;
      PhySetting home;
      home.address = 3;
      home.id = 0x00006B90;
      home.partner.home_network = true;
      a.phys = {eth, home};
      s.adapters.push_back(a);
    }
    s.name = "soak seed " + std::to_string(o_.seed) + " episode " + std::to_string(episode);
    s.seed = rng_() >> 1;  // a TOML integer holds 63 bits
    s.duration_ms = o_.episode_ms;
    state_.assign(s.adapters.size(), {});
    for (size_t i = 0; i < s.adapters.size(); ++i) {
      for (const PhySetting& p : s.adapters[i].phys)
        state_[i].plugged[p.address] = p.partner.plugged;
    }
    uint64_t t = 4000;
    const uint64_t last = s.duration_ms > 15000 ? s.duration_ms - 15000 : 0;
    while (t < last) {
      size_t a = Pick(s.adapters.size());
      One(s, a, t, last);
      t += 1000 + static_cast<uint64_t>(std::exponential_distribution<double>(1.0 / 20000)(rng_));
    }
    std::stable_sort(s.events.begin(), s.events.end(),
                     [](const Event& x, const Event& y) { return x.at_ms < y.at_ms; });
    return s;
  }

 private:
  struct AdapterState {
    bool running = true;
    bool removed = false;
    std::map<unsigned, bool> plugged;
  };

  size_t Pick(size_t n) { return static_cast<size_t>(rng_() % n); }
  uint64_t Between(uint64_t lo, uint64_t hi) { return lo + rng_() % (hi - lo + 1); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

  Event At(uint64_t t, size_t adapter, Action a) {
    Event e;
    e.at_ms = t;
    e.adapter = adapter;
    e.action = a;
    return e;
  }

  void One(Scenario& s, size_t a, uint64_t t, uint64_t last) {
    AdapterState& st = state_[a];
    const AdapterSetting& ad = s.adapters[a];
    struct Choice {
      int weight;
      int kind;
    };
    std::vector<Choice> choices = {{30, 0}, {10, 1}, {3, 2}, {5, 3},  {6, 4},  {5, 5}, {1, 6},
                                   {5, 7},  {1, 8},  {2, 9}, {1, 10}, {3, 11}, {1, 12}};
    if (o_.faults >= 1) choices.insert(choices.end(), {{6, 13}, {3, 14}});
    if (o_.faults >= 2) choices.push_back({4, 15});
    if (o_.faults >= 3) choices.push_back({1, 16});
    int total = 0;
    for (const Choice& c : choices)
      total += c.weight;
    int r = static_cast<int>(rng_() % static_cast<uint64_t>(total));
    int kind = 0;
    for (const Choice& c : choices) {
      if (r < c.weight) {
        kind = c.kind;
        break;
      }
      r -= c.weight;
    }
    if (!st.running && kind != 16) {
      // Bring it back first.
      s.events.push_back(At(t, a, Action::Initialize));
      st.running = true;
      return;
    }
    switch (kind) {
      case 0: {  // traffic
        Event e = At(t, a, Action::Traffic);
        int d = static_cast<int>(Pick(3));
        e.direction = d == 0 ? Direction::Transmit : d == 1 ? Direction::Receive : Direction::Both;
        static const TrafficKind kKinds[] = {TrafficKind::Directed,     TrafficKind::Directed,
                                             TrafficKind::Directed,     TrafficKind::Broadcast,
                                             TrafficKind::Multicast,    TrafficKind::Unlisted,
                                             TrafficKind::OtherStation, TrafficKind::Mix};
        e.traffic = kKinds[Pick(std::size(kKinds))];
        int sz = static_cast<int>(Pick(3));
        if (sz == 0) {
          e.sizes.list = {static_cast<unsigned>(Between(14, 1514))};
        } else if (sz == 1) {
          e.sizes.list = {60, static_cast<unsigned>(Between(61, 1514)), 1514};
        } else {
          unsigned lo = static_cast<unsigned>(Between(14, 1500));
          e.sizes.range = true;
          e.sizes.list = {lo, static_cast<unsigned>(Between(lo, 1514))};
        }
        e.rate_pps = static_cast<unsigned>(Between(10, 300));
        e.duration_ms = Between(500, 20000);
        s.events.push_back(e);
        break;
      }
      case 1: {  // cable out and back
        const PhySetting& p = ad.phys[Pick(ad.phys.size())];
        Event out = At(t, a, Action::Unplug);
        out.phy = p.address;
        Event in = At(std::min(last, t + Between(200, 30000)), a, Action::Plug);
        in.phy = p.address;
        s.events.push_back(out);
        s.events.push_back(in);
        break;
      }
      case 2: {  // the partner changes
        const PhySetting& p = ad.phys[Pick(ad.phys.size())];
        Event e = At(t, a, Action::Abilities);
        e.phy = p.address;
        e.abilities_given = true;
        uint64_t bits = rng_();
        e.abilities.ability_10_half = bits & 1;
        e.abilities.ability_10_full = bits & 2;
        e.abilities.ability_100_half = bits & 4;
        e.abilities.ability_100_full = bits & 8;
        bool any = bits & 15;
        e.abilities.autoneg = !any || Chance(0.7);
        if (p.id == 0x00006B90 || p.id == 0x20005C20) {
          e.home_network = Chance(0.7);
          e.abilities.home_network = *e.home_network;
        }
        s.events.push_back(e);
        break;
      }
      case 3:
        s.events.push_back(At(t, a, Action::Reset));
        break;
      case 4: {  // packet filter
        Event e = At(t, a, Action::SetFilter);
        static const uint32_t kValid[] = {0x01, 0x02, 0x04, 0x08, 0x20};
        for (uint32_t bit : kValid) {
          if (Chance(bit == 0x20 ? 0.1 : 0.6)) e.filter |= bit;
        }
        if (Chance(0.08)) e.filter |= 0x0010;
        if (Chance(0.05)) e.buffer_length = static_cast<uint32_t>(Between(0, 8));
        s.events.push_back(e);
        break;
      }
      case 5: {  // multicast list
        Event e = At(t, a, Action::SetMulticast);
        unsigned n = static_cast<unsigned>(Between(0, 40));
        for (unsigned i = 0; i < n; ++i) {
          uint8_t g[6] = {0x01,
                          0x00,
                          0x5E,
                          0x00,
                          static_cast<uint8_t>(Pick(2)),
                          static_cast<uint8_t>(1 + Pick(60))};
          e.data.insert(e.data.end(), g, g + 6);
        }
        if (Chance(0.08)) e.buffer_length = static_cast<uint32_t>(e.data.size() + Between(1, 5));
        s.events.push_back(e);
        break;
      }
      case 6: {
        Event e = At(t, a, Action::SetLookahead);
        e.value = static_cast<uint32_t>(Between(0, 2000));
        s.events.push_back(e);
        break;
      }
      case 7: {  // a query
        static const uint32_t kOids[] = {0x00010101, 0x00010102, 0x00010107, 0x0001010D, 0x0001010E,
                                         0x00010114, 0x00010115, 0x00020101, 0x00020102, 0x00020104,
                                         0x0002020D, 0x01010101, 0x01010102, 0x01010103, 0x01010104,
                                         0xFD010100, 0xFD010101, 0x12345678};
        Event e = At(t, a, Action::Query);
        e.oid = kOids[Pick(std::size(kOids))];
        e.buffer_length = static_cast<uint32_t>(Chance(0.2) ? Between(0, 8) : 256);
        s.events.push_back(e);
        break;
      }
      case 8: {  // a power-management set
        static const uint32_t kOids[] = {0xFD010101, 0xFD010103, 0xFD010104, 0xFD010106,
                                         0x00010112};
        Event e = At(t, a, Action::Set);
        e.oid = kOids[Pick(std::size(kOids))];
        e.data = std::vector<uint8_t>(Between(0, 8), 0);
        s.events.push_back(e);
        break;
      }
      case 9:  // halt, then initialize again
        s.events.push_back(At(t, a, Action::Halt));
        s.events.push_back(At(std::min(last, t + Between(500, 10000)), a, Action::Initialize));
        break;
      case 10:  // system shutdown, then NDIS halts and starts it again
        s.events.push_back(At(t, a, Action::Shutdown));
        s.events.push_back(At(std::min(last, t + 2000), a, Action::Halt));
        s.events.push_back(At(std::min(last, t + 4000), a, Action::Initialize));
        break;
      case 11: {
        Event e = At(t, a, Action::BadStatus);
        e.count = static_cast<unsigned>(Between(1, 10));
        s.events.push_back(e);
        break;
      }
      case 12: {
        const PhySetting& p = ad.phys[Pick(ad.phys.size())];
        Event e = At(t, a, Action::Echo);
        e.phy = p.address;
        e.on = Chance(0.5);
        s.events.push_back(e);
        break;
      }
      case 13: {  // a device fault
        Event e = At(t, a, Action::DeviceFault);
        static const RequestKind kKinds[] = {RequestKind::VendorRead, RequestKind::VendorWrite,
                                             RequestKind::Control,    RequestKind::BulkIn,
                                             RequestKind::BulkOut,    RequestKind::Any};
        e.request = kKinds[Pick(std::size(kKinds))];
        std::vector<DeviceFaultKind> faults = {DeviceFaultKind::Stall, DeviceFaultKind::Fail,
                                               DeviceFaultKind::Late, DeviceFaultKind::AtOnce};
        if (o_.faults >= 3) faults.push_back(DeviceFaultKind::Hang);
        e.fault = faults[Pick(faults.size())];
        if ((e.request == RequestKind::BulkIn || e.request == RequestKind::BulkOut) &&
            Chance(0.2)) {
          e.stall_endpoint = true;
          e.fault = DeviceFaultKind::Stall;
        }
        e.timing.nth = Between(1, 50);
        e.timing.count = Between(1, 3);
        s.events.push_back(e);
        break;
      }
      case 14: {  // receive transfers that lie
        Event e = At(t, a, Action::RxTransfer);
        e.length = static_cast<unsigned>(Chance(0.5) ? Between(0, 20) : Between(0, 1536));
        e.status = static_cast<uint8_t>(Chance(0.5) ? 0 : Pick(256));
        if (Chance(0.3)) e.trailer_length = static_cast<unsigned>(Pick(0x1000));
        e.count = static_cast<unsigned>(Between(1, 3));
        s.events.push_back(e);
        break;
      }
      case 15: {  // allocation failures
        Event e = At(t, a, Action::HostFault);
        static const AllocKind kKinds[] = {AllocKind::Pool, AllocKind::Irp, AllocKind::Urb,
                                           AllocKind::Packet, AllocKind::Buffer};
        e.alloc = kKinds[Pick(std::size(kKinds))];
        if (Chance(0.5)) {
          e.timing.nth = Between(1, 200);
          e.timing.count = Between(1, 3);
        } else {
          e.timing.probability = static_cast<double>(Between(1, 50)) / 1000;
          e.timing.window_ms = Between(100, 3000);
        }
        s.events.push_back(e);
        break;
      }
      case 16: {  // the device pulled out, NDIS halts it; back in and started
        if (!st.running) {
          s.events.push_back(At(t, a, Action::Initialize));
          st.running = true;
          break;
        }
        uint64_t end = std::min(last, t + 6000);
        s.events.push_back(At(t, a, Action::DeviceRemoved));
        s.events.push_back(At(std::min(end, t + 1000), a, Action::Halt));
        s.events.push_back(At(std::min(end, t + 3000), a, Action::DevicePlugged));
        s.events.push_back(At(end, a, Action::Initialize));
        break;
      }
      default:
        break;
    }
  }

  const SoakOptions& o_;
  std::mt19937_64 rng_;
  std::vector<AdapterState> state_;
};

SimOptions Quiet() {
  SimOptions o;
  o.check_continuously = true;
  o.initialize_may_fail = true;
  o.stuck_after_seconds = 300;
  return o;
}

bool Fails(const Scenario& s, const std::string& kind) {
  SimOptions o = Quiet();
  o.stop_at_kind = kind;
  SimResult r = run_simulation(s, o);
  return std::any_of(r.kinds.begin(), r.kinds.end(),
                     [&](const SimResult::Kind& k) { return k.kind == kind; });
}

// The events up to the failure, then as few of them as still fail the same
// way (dropping runs of events, halving their length as it goes).
Scenario Shrink(const SoakOptions& o, Scenario s, const SimResult::Kind& failed,
                std::string* note) {
  uint64_t fail_ms = failed.at_ns / 1'000'000;
  unsigned runs = 0;
  // Most failures follow from the events just before them: first the last
  // half minute of events alone, moved to the start, then longer stretches,
  // and last every event up to the failure.
  bool found = false;
  for (uint64_t window : {uint64_t{30'000}, uint64_t{180'000}, uint64_t{900'000}, fail_ms + 1}) {
    uint64_t from = fail_ms > window ? fail_ms - window : 0;
    Scenario cut = s;
    cut.events.clear();
    for (const Event& e : s.events) {
      if (e.at_ms >= from && e.at_ms <= fail_ms) cut.events.push_back(e);
    }
    uint64_t shift = from > 5000 ? from - 5000 : 0;
    for (Event& e : cut.events)
      e.at_ms -= shift;
    cut.duration_ms = std::min(s.duration_ms, fail_ms - shift + 15000);
    ++runs;
    if (Fails(cut, failed.kind)) {
      s = cut;
      found = true;
      break;
    }
    if (window > fail_ms) break;
  }
  if (!found) {
    *note = "the events up to the failure alone do not show it; the whole episode kept";
    return s;
  }
  size_t chunk = std::max<size_t>(1, s.events.size() / 2);
  while (runs < o.shrink_runs) {
    bool removed_any = false;
    for (size_t start = 0; start < s.events.size() && runs < o.shrink_runs;) {
      Scenario trial = s;
      size_t end = std::min(trial.events.size(), start + chunk);
      trial.events.erase(trial.events.begin() + static_cast<long>(start),
                         trial.events.begin() + static_cast<long>(end));
      ++runs;
      if (Fails(trial, failed.kind)) {
        s = trial;
        removed_any = true;
      } else {
        start += chunk;
      }
    }
    if (chunk == 1 && !removed_any) break;
    chunk = std::max<size_t>(1, chunk / 2);
  }
  // Then the quiet stretches between events made short.
  if (!s.events.empty() && runs < o.shrink_runs + 2) {
    Scenario trial = s;
    uint64_t shift = 0, last = 0, previous = 0;
    for (Event& e : trial.events) {
      uint64_t gap = e.at_ms - previous;
      previous = e.at_ms;
      uint64_t keep = std::min<uint64_t>(gap, previous == gap ? 5000 : 15000);
      shift += gap - keep;
      e.at_ms -= shift;
      last = e.at_ms;
    }
    trial.duration_ms = std::max(last + 20000, s.duration_ms > shift ? s.duration_ms - shift : 0);
    ++runs;
    if (shift > 0 && Fails(trial, failed.kind)) s = trial;
  }
  *note =
      std::to_string(s.events.size()) + " events left after " + std::to_string(runs) + " reruns";
  return s;
}

}  // namespace

Scenario soak_episode(const SoakOptions& options, uint64_t episode) {
  return Generator(options, episode).Make(episode);
}

SoakReport run_soak(const SoakOptions& o) {
  SoakReport report;
  auto print = [&](const std::string& line) {
    if (o.print) o.print(line);
  };
  // A failure found after hours of running must have somewhere to go: the
  // folder is made, or the soak refuses to start.
  std::error_code ec;
  std::filesystem::create_directories(o.out_dir, ec);
  if (ec || !std::filesystem::is_directory(o.out_dir, ec)) {
    report.error = "soak: " + o.out_dir + " cannot be made a folder" +
                   (ec ? ": " + ec.message() : std::string());
    return report;
  }
  auto started = std::chrono::steady_clock::now();
  const uint64_t total_ms = static_cast<uint64_t>(o.hours * kHourMs);
  uint64_t done_ms = 0;
  std::set<std::string> seen;  // kinds of failure written out
  for (uint64_t episode = 0; done_ms < total_ms; ++episode) {
    SoakOptions eo = o;
    eo.episode_ms = std::min(o.episode_ms, total_ms - done_ms);
    if (eo.episode_ms < 20000) eo.episode_ms = 20000;
    Scenario s = soak_episode(eo, episode);
    SimResult r = run_simulation(s, Quiet());
    ++report.episodes;
    report.events += s.events.size();
    report.faults += r.faults_injected;
    report.frames += r.frames_checked;
    done_ms += s.duration_ms;
    report.simulated_hours = done_ms / static_cast<double>(kHourMs);
    for (const SimResult::Kind& k : r.kinds) {
      ++report.failures;
      print("soak: episode " + std::to_string(episode) + " at " +
            std::to_string(k.at_ns / 1'000'000'000) + " s: " + k.failure);
      if (!seen.insert(k.kind).second) continue;  // written out already
      std::string note;
      Scenario small = Shrink(o, s, k, &note);
      small.name = "soak failure: " + k.kind + " (seed " + std::to_string(o.seed) + ", episode " +
                   std::to_string(episode) + ")";
      std::filesystem::path file =
          std::filesystem::path(o.out_dir) / ("soak-seed" + std::to_string(o.seed) + "-failure" +
                                              std::to_string(seen.size()) + ".toml");
      std::ofstream out(file);
      out << "# Written by usbeth-sim soak: " << k.failure << "\n# " << note << "\n"
          << write_scenario(small);
      out.close();
      if (!out) {
        print("soak: cannot write " + file.string() + "; the failure: " + k.failure);
        continue;
      }
      report.failure_files.push_back(file.string());
      print("soak: wrote " + file.string() + " (" + note + ")");
    }
    double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char line[300];
    snprintf(line, sizeof line,
             "soak: %.1f/%.1f h simulated, %.0fx real time, %llu events, %llu faults, %llu "
             "frames, %llu failures",
             report.simulated_hours, o.hours, real > 0 ? done_ms / 1000.0 / real : 0.0,
             static_cast<unsigned long long>(report.events),
             static_cast<unsigned long long>(report.faults),
             static_cast<unsigned long long>(report.frames),
             static_cast<unsigned long long>(report.failures));
    print(line);
  }
  report.real_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return report;
}

}  // namespace usbeth::sim
