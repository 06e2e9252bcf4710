#include <gtest/gtest.h>

#include "scenario.h"

namespace usbeth::sim {
namespace {

// Parses text and returns the error message, or "" when it parsed.
std::string ErrorOf(const std::string& text) {
  try {
    parse_scenario(text, "bad.toml");
  } catch (const ScenarioError& e) {
    return e.what();
  }
  return "";
}

constexpr char kOnePhy[] = "[[board.phy]]\naddress = 1\nid = 0x00406210\n";

TEST(ScenarioFile, DefaultScenarioDescribesTheTourBetweenPhys) {
  Scenario s = parse_scenario(default_scenario_text(), "default");
  ASSERT_EQ(s.adapter().phys.size(), 3u);
  EXPECT_EQ(s.adapter().phys[0].id, 0x00406210u);
  EXPECT_EQ(s.adapter().phys[1].id, 0x00006B90u);
  EXPECT_TRUE(s.adapter().phys[1].partner.home_network);
  std::vector<Action> actions;
  for (const Event& e : s.events)
    actions.push_back(e.action);
  EXPECT_NE(std::find(actions.begin(), actions.end(), Action::Unplug), actions.end());
  EXPECT_NE(std::find(actions.begin(), actions.end(), Action::Plug), actions.end());
  EXPECT_NE(std::find(actions.begin(), actions.end(), Action::Reset), actions.end());
  EXPECT_EQ(actions.back(), Action::Halt);
  EXPECT_TRUE(std::is_sorted(s.events.begin(), s.events.end(),
                             [](const Event& a, const Event& b) { return a.at_ms < b.at_ms; }));
}

TEST(ScenarioFile, ReadsRegistryBoardAndEvents) {
  Scenario s = parse_scenario(std::string(kOnePhy) +
                                  "[registry]\nMediaType = 4\nNetworkAddress = "
                                  "\"02:11:22:33:44:55\"\n"
                                  "[[event]]\nat_ms = 300\naction = \"unplug\"\nphy = 1\n"
                                  "[[event]]\nat_ms = 100\naction = \"traffic\"\n"
                                  "direction = \"rx\"\nframe_size = 60\n",
                              "ok.toml");
  const RegistrySetting& reg = s.adapter().registry;
  ASSERT_NE(reg.find("MediaType"), nullptr);
  EXPECT_EQ(reg.find("MediaType")->integer, 4u);
  EXPECT_EQ(reg.find("TxPacketDesc"), nullptr);
  ASSERT_TRUE(reg.network_address.has_value());
  EXPECT_EQ((*reg.network_address)[5], 0x55);
  ASSERT_EQ(s.events.size(), 2u);
  EXPECT_EQ(s.events[0].action, Action::Traffic);  // sorted by time
  EXPECT_EQ(s.events[0].direction, Direction::Receive);
  EXPECT_EQ(s.events[1].phy, 1u);
}

TEST(ScenarioFile, EachBadFileGivesOneLocatedError) {
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"[simulation]\nspeed = 3\n", "bad.toml:2: unknown key 'speed'"},
      {"[simulation]\nduration_ms = \"long\"\n", "bad.toml:2: 'duration_ms' must be an integer"},
      {std::string(kOnePhy) + "[[event]]\nat_ms = -1\naction = \"reset\"\n",
       "bad.toml:5: 'at_ms' must not be negative"},
      {"[[board.phy]]\naddress = 32\nid = 0x00406210\n",
       "bad.toml:2: 'address' must be at most 31"},
      {"[[board.phy]]\naddress = 1\nid = 0x01234560\n",
       "bad.toml:3: unknown PHY identifier 0x01234560"},
      {"[registry]\nMediaType = true\n", "bad.toml:2: 'MediaType' must be an integer"},
      {"[[event]]\nat_ms = 1\naction = \"explode\"\n", "unknown action 'explode'"},
      {"[[event]]\nat_ms = 1\naction = \"unplug\"\nphy = 4\n", "no PHY at MII address 4"},
      {"[simulation\n", "bad.toml:1:"},
      {"[registry]\nNetworkAddress = \"02:0g\"\n",
       "bad.toml:2: 'NetworkAddress' must be hex bytes"},
  };
  for (const Case& c : cases) {
    std::string error = ErrorOf(c.text);
    EXPECT_NE(error.find(c.expected), std::string::npos) << "input:\n"
                                                         << c.text << "\nerror: " << error;
  }
}

TEST(ScenarioFile, UnrecognisedPhyNeedsToBeAskedFor) {
  Scenario s = parse_scenario("[[board.phy]]\naddress = 2\nid = 0x01234560\nunrecognised = true\n",
                              "ok.toml");
  EXPECT_EQ(s.adapter().phys[0].id, 0x01234560u);
  EXPECT_FALSE(ErrorOf("[[board.phy]]\naddress = 1\nid = 0x00406210\n"
                       "[[board.phy]]\naddress = 1\nid = 0x00006B90\n")
                   .empty());
}

TEST(ScenarioFile, EventAfterTheEndIsRefused) {
  EXPECT_NE(ErrorOf("[simulation]\nduration_ms = 100\n[[event]]\nat_ms = 200\naction = \"halt\"\n")
                .find("after the end"),
            std::string::npos);
}

}  // namespace
}  // namespace usbeth::sim
