#include "standins/engine/scenario/scenario_player.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "standins/engine/scenario/output_file.h"

namespace engine_standin {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A fresh output directory per test: gtest's temporary directory with a per-test file prefix.
class ScenarioPlayerTest : public ::testing::Test {
 protected:
  std::string OutDir() const {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir = ::testing::TempDir() + "scenario_" + info->name();
    MakeDirectory(dir);
    return dir;
  }

  static void MakeDirectory(const std::string& dir) {
#ifdef _WIN32
    const std::string command = "mkdir \"" + dir + "\" 2>nul";
#else
    const std::string command = "mkdir -p '" + dir + "'";
#endif
    (void)std::system(command.c_str());
  }

  static std::string Read(const std::string& path) {
    std::string content;
    EXPECT_TRUE(ReadWholeFile(path, &content)) << path;
    return content;
  }

  static uint32_t U32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
    }
    return value;
  }
};

Bytes StartReply(int32_t rate) {
  Bytes bytes = {0, 13, 1, 7, 10};
  const std::string key = "sampleRate";
  bytes.insert(bytes.end(), key.begin(), key.end());
  bytes.push_back(3);
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(rate >> (8 * i)));
  return bytes;
}

// A PCM event: a success envelope holding 256 samples counting up from `first`.
Bytes PcmEvent(int16_t first) {
  Bytes bytes = {0, 8, 254, 0, 2};
  for (int i = 0; i < 256; ++i) {
    const auto sample = static_cast<uint16_t>(first + i);
    bytes.push_back(static_cast<uint8_t>(sample));
    bytes.push_back(static_cast<uint8_t>(sample >> 8));
  }
  return bytes;
}

TEST_F(ScenarioPlayerTest, RunsActionsWhenDueAndInFileOrder) {
  ScenarioPlayer player("");
  player.SetScenario(
      ParseScenario("0 call g first\n"
                    "100 call g second\n"
                    "100 raw g 00\n"
                    "250 close\n"));
  std::vector<int> lines;
  int closes = 0;
  auto deliver = [&](const ScenarioAction& action) { lines.push_back(action.line); };
  auto close = [&] { ++closes; };
  EXPECT_EQ(player.RunDue(0, deliver, close), 100);
  EXPECT_THAT(lines, ElementsAre(1));
  EXPECT_EQ(player.RunDue(99, deliver, close), 1);
  EXPECT_EQ(player.RunDue(180, deliver, close), 70);
  EXPECT_THAT(lines, ElementsAre(1, 2, 3));
  EXPECT_EQ(closes, 0);
  EXPECT_EQ(player.RunDue(400, deliver, close), -1);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(player.Snapshot().actions_done, 4u);
}

TEST_F(ScenarioPlayerTest, BadScenarioLinesAreReportedOnStandardError) {
  ScenarioPlayer player("");
  ::testing::internal::CaptureStderr();
  player.SetScenario(ParseScenario("5 fly g\n10 close\n"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "engine stand-in: scenario line 1: unknown action 'fly'\n");
  StandinReport report;
  player.FillReport(&report);
  EXPECT_EQ(report.Get("scenario_actions"), "1");
  EXPECT_EQ(report.Get("scenario_errors"), "1");
}

TEST_F(ScenarioPlayerTest, PcmGoesToAWavFileAtTheRateTheStartReplyReported) {
  const std::string dir = OutDir();
  {
    ScenarioPlayer player(dir);
    const Bytes reply = StartReply(44100);
    player.OnReply(12.5, "tonelark/guitar", reply.data(), reply.size());
    for (int i = 0; i < 3; ++i) {
      const Bytes event = PcmEvent(static_cast<int16_t>(-300 + 256 * i));
      player.OnEvent(100.0 + 10.0 * i, kPcmChannel, event.data(), event.size());
    }
    player.OnEvent(200.0, kPcmChannel, nullptr, 0);  // end of stream: no PCM
    const Bytes on_other_channel = PcmEvent(0);
    player.OnEvent(210.0, "other", on_other_channel.data(), on_other_channel.size());

    StandinReport report;
    player.FillReport(&report);
    EXPECT_EQ(report.Get("replies"), "1");
    EXPECT_EQ(report.Get("pcm_events"), "3");
    EXPECT_EQ(report.Get("pcm_event_bytes"), "512");
    EXPECT_EQ(report.Get("pcm_sample_rate"), "44100");
    EXPECT_EQ(report.Get("pcm_sample_rate_assumed"), "0");
    EXPECT_EQ(report.Get("pcm_events_per_second"), "100.00");  // 2 intervals in 20 ms
    EXPECT_EQ(report.Get("other_events"), "2");

    const ScenarioPlayer::ViewSnapshot snapshot = player.Snapshot();
    ASSERT_EQ(snapshot.waveform.size(), 768u);
    EXPECT_EQ(snapshot.waveform.front(), -300);
    EXPECT_EQ(snapshot.waveform.back(), -300 + 767);
    EXPECT_EQ(snapshot.sample_rate, 44100u);
  }
  const std::string wav = Read(JoinPath(dir, "pcm.wav"));
  ASSERT_EQ(wav.size(), 44u + 768u * 2u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(U32(wav, 4), 36u + 1536u);
  EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(U32(wav, 24), 44100u);
  EXPECT_EQ(U32(wav, 40), 1536u);
  // Sample 0 is -300 (0xFED4), sample 767 is 467 (0x01D3), little-endian.
  EXPECT_EQ(static_cast<uint8_t>(wav[44]), 0xD4);
  EXPECT_EQ(static_cast<uint8_t>(wav[45]), 0xFE);
  EXPECT_EQ(static_cast<uint8_t>(wav[44 + 767 * 2]), 0xD3);
  EXPECT_EQ(static_cast<uint8_t>(wav[45 + 767 * 2]), 0x01);
}

TEST_F(ScenarioPlayerTest, PcmBeforeAnyStartReplyAssumes48000) {
  const std::string dir = OutDir();
  ScenarioPlayer player(dir);
  const Bytes event = PcmEvent(0);
  player.OnEvent(0.0, kPcmChannel, event.data(), event.size());
  StandinReport report;
  player.FillReport(&report);
  EXPECT_EQ(report.Get("pcm_sample_rate"), "48000");
  EXPECT_EQ(report.Get("pcm_sample_rate_assumed"), "1");
  const std::string wav = Read(JoinPath(dir, "pcm.wav"));
  ASSERT_GE(wav.size(), 44u);
  EXPECT_EQ(U32(wav, 24), 48000u);
}

TEST_F(ScenarioPlayerTest, TrafficLogHasOneLinePerMessageBothWays) {
  const std::string dir = OutDir();
  {
    ScenarioPlayer player(dir);
    const Bytes listen = {7, 6, 'l', 'i', 's', 't', 'e', 'n', 0};
    player.OnMessage(-1.5, kPcmChannel, listen.data(), listen.size());
    const Bytes success = {0, 0};
    player.OnReply(2.25, kPcmChannel, success.data(), success.size());
    player.OnReply(3.0, "tonelark/guitar", nullptr, 0);
    const Bytes event = PcmEvent(0);
    player.OnEvent(4.0, kPcmChannel, event.data(), event.size());
    player.Note(5.0, "first frame");
    ScenarioAction action;
    action.channel = "tonelark/guitar";
    action.message = {7, 4, 's', 't', 'o', 'p', 0};
    player.RecordAnswer(6.0, action, Bytes{0, 0});
    EXPECT_THAT(player.Snapshot().replies.back(),
                HasSubstr("tonelark/guitar  stop(null)  ->  success null"));
  }
  const std::string log = Read(JoinPath(dir, "traffic.log"));
  EXPECT_EQ(log,
            "    -1.500 ui->app tonelark/guitar_pcm message listen(null)"
            " | hex 07 06 6c 69 73 74 65 6e 00\n"
            "     2.250 app->ui tonelark/guitar_pcm reply success null | hex 00 00\n"
            "     3.000 app->ui tonelark/guitar reply empty (not implemented) | hex \n"
            "     4.000 app->ui tonelark/guitar_pcm event success bytes[512]\n"
            "     5.000 -- - note first frame\n");
}

}  // namespace
}  // namespace engine_standin
