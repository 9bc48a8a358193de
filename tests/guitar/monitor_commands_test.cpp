// Commands whose call carries no arguments at all, which the wire cannot express: the handler is
// called directly with the record the method channel would build.
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "guitar/monitor.h"
#include "tests/guitar/fake_audio_thread.h"

namespace tonelark_test {
namespace {

using flutter::EncodableValue;

// Records how the handler answered.
class RecordingResult : public flutter::MethodResult<EncodableValue> {
 public:
  explicit RecordingResult(std::vector<std::string>* answers) : answers_(answers) {}
  void Success(const EncodableValue* result) override {
    answers_->push_back(result == nullptr ? "success" : "success with value");
  }
  void Error(const std::string& code, const std::string&, const EncodableValue*) override {
    answers_->push_back("error " + code);
  }
  void NotImplemented() override { answers_->push_back("not implemented"); }

 private:
  std::vector<std::string>* answers_;
};

class MonitorCommandsTest : public ::testing::Test {
 protected:
  std::vector<std::string> Run(const std::string& method) {
    std::vector<std::string> answers;
    monitor_->HandleMethodCall(flutter::MethodCall<EncodableValue>(method, nullptr),
                               std::make_unique<RecordingResult>(&answers));
    return answers;
  }

  std::unique_ptr<tonelark::Monitor> monitor_ = std::make_unique<tonelark::Monitor>();
  FakeRuns runs_;
};

TEST_F(MonitorCommandsTest, CommandsWithoutArguments) {
  const std::vector<std::string> success = {"success"};
  monitor_->volume_ = 0.0f;
  EXPECT_EQ(Run("setVolume"), success);
  EXPECT_FLOAT_EQ(monitor_->volume_.load(), 4.0f);
  EXPECT_EQ(Run("setSpeaker"), success);
  EXPECT_FALSE(monitor_->speaker_.load());
  EXPECT_EQ(Run("click"), success);
  EXPECT_EQ(monitor_->click_request_.load(), 1);
  EXPECT_EQ(Run("stop"), success);

  monitor_->audio_thread_body_ = ReportingBody(&runs_, true, 44100, false, "Rocksmith");
  EXPECT_EQ(Run("start"), std::vector<std::string>{"success with value"});
  EXPECT_TRUE(monitor_->audio_thread_.joinable());
  EXPECT_EQ(Run("stop"), success);
  EXPECT_TRUE(runs_.Idle());

  EXPECT_EQ(Run("starts"), std::vector<std::string>{"not implemented"});
}

}  // namespace
}  // namespace tonelark_test
