// The log file a player sends: rollover at 1 MiB with one old file and no queued line lost, each
// run appended after its run line, a full queue's count in place of its lines, a folder that
// cannot be had.
#include "guitar/engine_log.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/test_support.h"

namespace tonelark_test {
namespace {

namespace fs = std::filesystem;
using tonelark::EngineLog;
using tonelark::LogFile;
using tonelark::LogQueue;

class EngineLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              (std::string("tonelark-log-") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  // The file's lines, each checked for its time and stripped of it.
  std::vector<std::string> Lines(const char* name) {
    static const std::regex kLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*)\r)");
    std::ifstream in(folder_ / name, std::ios::binary);
    std::vector<std::string> lines;
    std::smatch match;
    for (std::string line; std::getline(in, line);) {
      lines.push_back(std::regex_match(line, match, kLine) ? match[1].str() : "no time: " + line);
    }
    return lines;
  }

  fs::path folder_;
  std::unique_ptr<LogQueue> queue_ = std::make_unique<LogQueue>();
};

TEST_F(EngineLogTest, RollsOverAtOneMebibyteAndNextRunAppendsWithItsLostLinesCounted) {
  const std::string padding(200, '.');
  const auto numbered = [&](size_t n) { return "Tonelark line " + std::to_string(n) + padding; };
  size_t lines_written = 0;
  {
    EngineLog log(folder_.wstring(), "9.8.7", *queue_);
    // 2.5 MiB with the times and line ends, a queue's worth at a time.
    for (int64_t bytes = 0; bytes < 5 * LogFile::kRollBytes / 2; log.Flush()) {
      for (size_t i = 0; i < LogQueue::kCapacity; ++i, ++lines_written) {
        const std::string line = numbered(lines_written);
        bytes += static_cast<int64_t>(24 + line.size() + 2);
        ASSERT_TRUE(queue_->Push((line + "\n").c_str()));
      }
    }
  }
  // The next run's lines wait for its log, seven more than the queue holds.
  queue_->SetAttached(true);
  for (size_t i = 0; i < LogQueue::kCapacity + 7; ++i) {
    EXPECT_EQ(queue_->Push(("Tonelark queued " + std::to_string(i) + "\n").c_str()),
              i < LogQueue::kCapacity);
  }
  {
    EngineLog again(folder_.wstring(), "9.8.7", *queue_);
    again.Flush();
    queue_->Push("Tonelark after the loss\n");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);
  EXPECT_LE(fs::file_size(folder_ / "tonelark.log"), LogFile::kRollBytes);
  EXPECT_LE(fs::file_size(folder_ / "tonelark.1.log"), LogFile::kRollBytes);
  EXPECT_GT(fs::file_size(folder_ / "tonelark.1.log"), LogFile::kRollBytes - 300u);
  std::vector<std::string> lines = Lines("tonelark.1.log");
  for (const std::string& line : Lines("tonelark.log")) lines.push_back(line);
  const size_t second_run = lines.size() - LogQueue::kCapacity - 3;
  ASSERT_LT(second_run, lines.size());
  EXPECT_EQ(lines[second_run], "---- Tonelark 9.8.7 started ----");
  EXPECT_EQ(lines[second_run + LogQueue::kCapacity], "Tonelark queued 255");
  EXPECT_EQ(lines[second_run + LogQueue::kCapacity + 1], "Tonelark log lost 7 lines");
  EXPECT_EQ(lines.back(), "Tonelark after the loss");
  // From the oldest line kept to the last of the first run, none is missing.
  for (size_t i = 0; i < second_run; ++i) {
    ASSERT_EQ(lines[i], numbered(lines_written - second_run + i)) << "line " << i;
  }
}

TEST_F(EngineLogTest, FolderThatCannotBeMadeLeavesOneDebuggerLine) {
  if (!platform_test::DebugOutputCapture::Supported()) GTEST_SKIP();
  std::ofstream(folder_) << "a file where the folder's parent should be";
  platform_test::DebugOutputCapture debug;
  {
    EngineLog log((folder_ / "logs").wstring(), "1.0.0");
    EngineLog::Write("Tonelark device back\n");
  }
  const std::string text = debug.Take();
  EXPECT_EQ(text.rfind("Tonelark log unavailable: cannot create ", 0), 0u) << text;
  EXPECT_EQ(text.substr(text.find('\n') + 1), "Tonelark device back\n");
}

}  // namespace
}  // namespace tonelark_test
