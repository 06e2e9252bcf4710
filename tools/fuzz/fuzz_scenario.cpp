// The scenario file parser: any text given to usbeth-sim as a scenario. It
// must either be refused with a ScenarioError that names the problem, or
// parse; nothing else may escape it, and ASan and UBSan watch it read. A
// scenario that parses must also survive the trip the soak makes with it:
// written back as a file, it parses again, and writing that gives the same
// file (the same runs).
//
// Input: the scenario text itself.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "fuzz_support.h"
#include "scenario.h"

namespace usbeth::fuzz {
namespace {

void RunOne(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::Scenario scenario;
  try {
    scenario = sim::parse_scenario(text, "input.toml");
  } catch (const sim::ScenarioError& e) {
    if (Verbose()) std::fprintf(stderr, "refused: %s\n", e.what());
    if (std::string(e.what()).empty()) Fail("a scenario was refused without a message");
    return;
  } catch (const std::exception& e) {
    Fail(std::string("the parser let an exception other than ScenarioError escape: ") + e.what());
  }
  const std::string written = sim::write_scenario(scenario);
  std::string again;
  try {
    again = sim::write_scenario(sim::parse_scenario(written, "written.toml"));
  } catch (const std::exception& e) {
    Fail(std::string("a scenario written back does not parse: ") + e.what() + "\n" + written);
  }
  if (again != written) {
    Fail("a scenario written back parses to another scenario:\n" + written + "\n---\n" + again);
  }
  if (Verbose()) {
    std::fprintf(stderr, "parsed: %zu adapters, %zu events\n", scenario.adapters.size(),
                 scenario.events.size());
  }
}

}  // namespace
}  // namespace usbeth::fuzz

USBETH_FUZZ_TARGET("fuzz_scenario", usbeth::fuzz::RunOne)
