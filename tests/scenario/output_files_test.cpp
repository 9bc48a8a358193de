#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "standins/engine/scenario/output_file.h"
#include "standins/engine/scenario/pcm_wav_writer.h"
#include "standins/engine/scenario/standin_report.h"

namespace engine_standin {
namespace {

std::string TempPath(const std::string& name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + info->name() + "_" + name;
}

std::string Read(const std::string& path) {
  std::string content;
  EXPECT_TRUE(ReadWholeFile(path, &content)) << path;
  return content;
}

TEST(PcmWavWriterTest, SamplesSplitAcrossEventsStayWhole) {
  const std::string path = TempPath("split.wav");
  PcmWavWriter writer;
  ASSERT_TRUE(writer.Open(path, 44100));
  const std::vector<uint8_t> first = {0x01, 0x02, 0x03};  // one sample and a half
  const std::vector<uint8_t> second = {0x04, 0x05, 0x06, 0x07};
  writer.Append(first.data(), first.size());
  EXPECT_EQ(writer.samples(), 1u);
  writer.Append(second.data(), second.size());
  EXPECT_EQ(writer.samples(), 3u);
  writer.Append(nullptr, 0);
  const std::string wav = Read(path);  // readable while the writer is still open
  ASSERT_EQ(wav.size(), 44u + 6u);
  EXPECT_EQ(wav.substr(44), std::string("\x01\x02\x03\x04\x05\x06", 6));
  EXPECT_EQ(static_cast<uint8_t>(wav[40]), 6);  // data size
  EXPECT_EQ(static_cast<uint8_t>(wav[4]), 36 + 6);
  writer.Close();
  EXPECT_FALSE(writer.is_open());
  EXPECT_EQ(Read(path).size(), 50u);
}

TEST(PcmWavWriterTest, AnUnwritableFolderIsReportedNotFatal) {
  PcmWavWriter writer;
  EXPECT_FALSE(writer.Open(TempPath("no-such-folder") + "/x/pcm.wav", 48000));
  const uint8_t bytes[2] = {1, 2};
  writer.Append(bytes, 2);
  EXPECT_EQ(writer.samples(), 0u);
}

TEST(StandinReportTest, KeysKeepTheirFirstPlaceAndStayOnOneLine) {
  StandinReport report;
  report.Set("b", 1);
  report.Set("a", "x\ny");
  report.Set("b", 2);
  EXPECT_EQ(report.Text(), "b=2\na=x y\n");
  EXPECT_EQ(report.Get("missing"), "");
  const std::string path = TempPath("report.txt");
  ASSERT_TRUE(report.Write(path));
  report.Set("c", "3");
  ASSERT_TRUE(report.Write(path));  // rewritten, not appended
  EXPECT_EQ(Read(path), "b=2\na=x y\nc=3\n");
}

TEST(OutputFileTest, JoinPathFollowsTheFolderStyle) {
  EXPECT_EQ(JoinPath("Z:\\tmp\\out", "report.txt"), "Z:\\tmp\\out\\report.txt");
  EXPECT_EQ(JoinPath("Z:", "report.txt"), "Z:\\report.txt");
  EXPECT_EQ(JoinPath("/tmp/out/", "report.txt"), "/tmp/out/report.txt");
  EXPECT_EQ(JoinPath("out", "report.txt"), "out/report.txt");
  EXPECT_EQ(JoinPath("", "report.txt"), "report.txt");
  EXPECT_EQ(Utf8FromWide(L"a\u00e9\u20ac"), "a\xC3\xA9\xE2\x82\xAC");
}

}  // namespace
}  // namespace engine_standin
