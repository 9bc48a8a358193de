#include "standins/engine/scenario/scenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace engine_standin {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

Bytes NameBytes(const std::string& name) {
  Bytes bytes = {7, static_cast<uint8_t>(name.size())};
  bytes.insert(bytes.end(), name.begin(), name.end());
  return bytes;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes OnlyMessage(const std::string& line) {
  const Scenario scenario = ParseScenario(line);
  EXPECT_TRUE(scenario.errors.empty()) << scenario.errors.front();
  if (scenario.actions.size() != 1) {
    ADD_FAILURE() << "expected one action from: " << line;
    return Bytes();
  }
  return scenario.actions[0].message;
}

TEST(ScenarioTest, EncodesEachArgumentTypeAsTheUserInterfaceDoes) {
  EXPECT_EQ(OnlyMessage("0 call tonelark/guitar start"), Concat(NameBytes("start"), {0}));
  EXPECT_EQ(OnlyMessage("0 call tonelark/guitar stop none"), Concat(NameBytes("stop"), {0}));
  EXPECT_EQ(OnlyMessage("0 call tonelark/guitar stop null"), Concat(NameBytes("stop"), {0}));
  EXPECT_EQ(OnlyMessage("0 call tonelark/guitar click bool true"), Concat(NameBytes("click"), {1}));
  EXPECT_EQ(OnlyMessage("0 call tonelark/guitar setSpeaker bool false"),
            Concat(NameBytes("setSpeaker"), {2}));
  EXPECT_EQ(OnlyMessage("0 call tonelark/guitar setVolume int -2"),
            Concat(NameBytes("setVolume"), {3, 0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(OnlyMessage("0 call tonelark/guitar setVolume long 1"),
            Concat(NameBytes("setVolume"), {4, 1, 0, 0, 0, 0, 0, 0, 0}));
  // The name takes bytes 0..10 and the tag byte 11: four zero bytes pad the double to 16.
  EXPECT_EQ(OnlyMessage("0 call tonelark/guitar setVolume double 0.5"),
            Concat(NameBytes("setVolume"), {6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0x3F}));
  EXPECT_EQ(
      OnlyMessage("0 call c m string two words"),
      Concat(NameBytes("m"), Concat({7, 9}, Bytes{'t', 'w', 'o', ' ', 'w', 'o', 'r', 'd', 's'})));
  EXPECT_EQ(OnlyMessage(R"(0 call c m string "a\"#\x01")"),
            Concat(NameBytes("m"), {7, 4, 'a', '"', '#', 1}));
}

TEST(ScenarioTest, EncodesMapsWithStringKeysInTheOrderWritten) {
  // The engine's start options as a user interface sends them.
  EXPECT_EQ(
      OnlyMessage("0 call tonelark/guitar start map sharedCapture=bool:true"),
      Concat(NameBytes("start"), Concat({13, 1}, Concat(NameBytes("sharedCapture"), Bytes{1}))));
  EXPECT_EQ(OnlyMessage("0 call c m map"), Concat(NameBytes("m"), {13, 0}));
  // Quoted keys and values keep their blanks; a double is aligned from the message's start.
  Bytes expected = Concat(NameBytes("m"), {13, 4});
  expected = Concat(expected, Concat(NameBytes("a b"), Concat({7, 3}, Bytes{'x', ' ', 'y'})));
  expected = Concat(expected, Concat(NameBytes("n"), {0}));
  expected = Concat(expected, Concat(NameBytes("i"), {3, 7, 0, 0, 0}));
  expected = Concat(expected, NameBytes("d"));
  expected.push_back(6);
  while (expected.size() % 8 != 0) expected.push_back(0);
  expected = Concat(expected, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
  EXPECT_EQ(OnlyMessage(R"(0 call c m map "a b"=string:"x y"  n=null i=int:7 d=double:1)"),
            expected);

  const Scenario bad = ParseScenario(
      "10 call c m map k\n"
      "10 call c m map k=bool:maybe\n"
      "10 call c m map k=bool:true k=bool:false\n"
      "10 call c m map k=string:\"open\n"
      "10 call c m map k=map:x\n"
      "10 call c m map k=list:1\n");
  EXPECT_TRUE(bad.actions.empty());
  ASSERT_EQ(bad.errors.size(), 6u);
  EXPECT_THAT(bad.errors[0], HasSubstr("not <key>=<type>:<value>"));
  EXPECT_THAT(bad.errors[1], HasSubstr("bool value must be true or false"));
  EXPECT_THAT(bad.errors[2], HasSubstr("given twice"));
  EXPECT_THAT(bad.errors[3], HasSubstr("unclosed quote"));
  EXPECT_THAT(bad.errors[4], HasSubstr("map inside a map"));
  EXPECT_THAT(bad.errors[5], HasSubstr("unknown value type 'list'"));
}

TEST(ScenarioTest, ListenCancelRawAndClose) {
  const Scenario scenario = ParseScenario(
      "10 listen tonelark/guitar_pcm\n"
      "20 cancel tonelark/guitar_pcm\n"
      "30 raw tonelark/guitar 07 04 73746f70\n"
      "40 raw tonelark/guitar\n"
      "50 close\n");
  ASSERT_TRUE(scenario.errors.empty());
  ASSERT_EQ(scenario.actions.size(), 5u);
  EXPECT_EQ(scenario.actions[0].kind, ScenarioAction::Kind::kListen);
  EXPECT_EQ(scenario.actions[0].channel, "tonelark/guitar_pcm");
  EXPECT_EQ(scenario.actions[0].message, Concat(NameBytes("listen"), {0}));
  EXPECT_EQ(scenario.actions[1].message, Concat(NameBytes("cancel"), {0}));
  EXPECT_THAT(scenario.actions[2].message, ElementsAre(7, 4, 's', 't', 'o', 'p'));
  EXPECT_TRUE(scenario.actions[3].message.empty());
  EXPECT_EQ(scenario.actions[4].kind, ScenarioAction::Kind::kClose);
  EXPECT_EQ(scenario.actions[4].at_ms, 50);
  EXPECT_EQ(scenario.actions[4].line, 5);
}

TEST(ScenarioTest, OrdersByTimeKeepingFileOrderAndSkipsComments) {
  const Scenario scenario = ParseScenario(
      "# demo\n"
      "\n"
      "500 call g b   # second at 500\n"
      "100 call g a\n"
      "500 call g c\n"
      "   \t\n");
  ASSERT_TRUE(scenario.errors.empty());
  ASSERT_EQ(scenario.actions.size(), 3u);
  EXPECT_EQ(scenario.actions[0].message, Concat(NameBytes("a"), {0}));
  EXPECT_EQ(scenario.actions[1].message, Concat(NameBytes("b"), {0}));
  EXPECT_EQ(scenario.actions[2].message, Concat(NameBytes("c"), {0}));
  EXPECT_EQ(scenario.actions[1].line, 3);
}

TEST(ScenarioTest, ReadsFilesWrittenOnWindows) {
  const Scenario scenario =
      ParseScenario("10 call g m string \"a # b\"\r\n20 raw g 0102\r\n\r\n30 close\r\n");
  ASSERT_TRUE(scenario.errors.empty()) << scenario.errors.front();
  ASSERT_EQ(scenario.actions.size(), 3u);
  EXPECT_EQ(scenario.actions[0].message, Concat(NameBytes("m"), {7, 5, 'a', ' ', '#', ' ', 'b'}));
  EXPECT_THAT(scenario.actions[1].message, ElementsAre(1, 2));
  EXPECT_EQ(scenario.actions[2].kind, ScenarioAction::Kind::kClose);
}

TEST(ScenarioTest, RejectsBadLinesWithTheirNumberAndKeepsTheRest) {
  const Scenario scenario = ParseScenario(
      "-5 close\n"
      "1e3 close\n"
      "10 jump\n"
      "10 listen\n"
      "10 raw c 0g\n"
      "10 raw c 123\n"
      "10 call c m int 2147483648\n"
      "10 call c m bool yes\n"
      "10 call c m double x\n"
      "10 call c m float 1\n"
      "10 call c m none 5\n"
      "10 close now\n"
      "10 call c\n"
      "20 close\n");
  ASSERT_EQ(scenario.actions.size(), 1u);
  EXPECT_EQ(scenario.actions[0].line, 14);
  ASSERT_EQ(scenario.errors.size(), 13u);
  EXPECT_THAT(scenario.errors[0], HasSubstr("line 1: bad time"));
  EXPECT_THAT(scenario.errors[2], HasSubstr("line 3: unknown action 'jump'"));
  EXPECT_THAT(scenario.errors[4], HasSubstr("line 5: not a hex digit"));
  EXPECT_THAT(scenario.errors[5], HasSubstr("odd number of hex digits"));
  EXPECT_THAT(scenario.errors[6], HasSubstr("bad int value"));
  EXPECT_THAT(scenario.errors[9], HasSubstr("unknown value type 'float'"));
}

}  // namespace
}  // namespace engine_standin
