// The log file a player sends: rollover at 1 MiB with one old file and no line lost, each run
// appended after its run line, a full queue's count in place of its lines, and a folder that
// cannot be had.
#include "guitar/engine_log.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
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
    std::ifstream in(folder_ / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    static const std::regex kLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*)\r)");
    std::vector<std::string> lines;
    std::smatch match;
    for (std::string line; std::getline(text, line);) {
      EXPECT_TRUE(std::regex_match(line, match, kLine)) << name << ": " << line;
      lines.push_back(match.size() > 1 ? match[1].str() : line);
    }
    return lines;
  }

  fs::path folder_;
  std::unique_ptr<LogQueue> queue_ = std::make_unique<LogQueue>();
};

std::string Numbered(int n) {
  char line[40];
  std::snprintf(line, sizeof(line), "Tonelark line %08d ", n);
  return line;
}

TEST_F(EngineLogTest, RollsOverAtOneMebibyteKeepingOneOldFileAndEveryQueuedLine) {
  const std::string padding(200, '.');
  int lines_written = 0;
  {
    EngineLog log(folder_.wstring(), "9.8.7", *queue_);
    // 2.5 MiB with the times and line ends, a queue's worth at a time.
    for (int64_t bytes = 0; bytes < 5 * LogFile::kRollBytes / 2; log.Flush()) {
      for (size_t i = 0; i < LogQueue::kCapacity; ++i, ++lines_written) {
        const std::string line = Numbered(lines_written) + padding;
        bytes += static_cast<int64_t>(24 + line.size() + 2);
        ASSERT_TRUE(queue_->Push((line + "\n").c_str()));
      }
    }
  }
  {
    EngineLog again(folder_.wstring(), "9.8.7", *queue_);
    queue_->Push("Tonelark again\n");
  }
  int files = 0;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    ++files;
    EXPECT_LE(entry.file_size(), static_cast<uintmax_t>(LogFile::kRollBytes)) << entry.path();
  }
  EXPECT_EQ(files, 2);
  EXPECT_GT(fs::file_size(folder_ / "tonelark.1.log"), LogFile::kRollBytes - 300u);
  std::vector<std::string> lines = Lines("tonelark.1.log");
  const std::vector<std::string> current = Lines("tonelark.log");
  lines.insert(lines.end(), current.begin(), current.end());
  ASSERT_GT(lines.size(), 2u);
  EXPECT_EQ(lines.end()[-2], "---- Tonelark 9.8.7 started ----");
  EXPECT_EQ(lines.back(), "Tonelark again");
  // From the oldest line kept to the last, none is missing.
  const int first = lines_written - static_cast<int>(lines.size() - 2);
  for (size_t i = 0; i + 2 < lines.size(); ++i) {
    ASSERT_EQ(lines[i], Numbered(first + static_cast<int>(i)) + padding) << "line " << i;
  }
}

TEST_F(EngineLogTest, FullQueueWritesHowManyLinesItLost) {
  queue_->SetAttached(true);
  int queued = 0;
  for (size_t i = 0; i < LogQueue::kCapacity + 7; ++i) {
    queued += queue_->Push(("Tonelark queued " + std::to_string(i) + "\n").c_str()) ? 1 : 0;
  }
  EXPECT_EQ(queued, static_cast<int>(LogQueue::kCapacity));
  {
    EngineLog log(folder_.wstring(), "1.0.0", *queue_);
    log.Flush();
    queue_->Push("Tonelark after the loss\n");
  }
  const std::vector<std::string> lines = Lines("tonelark.log");
  ASSERT_EQ(lines.size(), LogQueue::kCapacity + 3);
  EXPECT_EQ(lines[0], "---- Tonelark 1.0.0 started ----");
  EXPECT_EQ(lines[LogQueue::kCapacity], "Tonelark queued 255");
  EXPECT_EQ(lines[LogQueue::kCapacity + 1], "Tonelark log lost 7 lines");
  EXPECT_EQ(lines[LogQueue::kCapacity + 2], "Tonelark after the loss");
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
