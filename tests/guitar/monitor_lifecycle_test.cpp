// Starting and stopping the audio thread, on a Monitor of the test's own with fake thread bodies.
#include <chrono>
#include <memory>

#include "gtest/gtest.h"
#include "guitar/monitor.h"
#include "platform/test_support.h"
#include "tests/guitar/fake_audio_thread.h"

namespace tonelark_test {
namespace {

using tonelark::Monitor;

class MonitorLifecycleTest : public ::testing::Test {
 protected:
  // Locks are free: nothing left the control lock or the hand-off lock held.
  void ExpectUnlocked() {
    ASSERT_TRUE(monitor_->mutex_.try_lock());
    monitor_->mutex_.unlock();
    ASSERT_TRUE(monitor_->pcm_mutex_.try_lock());
    monitor_->pcm_mutex_.unlock();
  }

  std::unique_ptr<Monitor> monitor_ = std::make_unique<Monitor>();
  FakeRuns runs_;
};

TEST_F(MonitorLifecycleTest, SuccessfulStartKeepsTheThreadUntilStop) {
  monitor_->audio_thread_body_ = ReportingBody(&runs_, true, 48000, true, "Rocksmith Adapter");
  ASSERT_TRUE(monitor_->StartAudio());
  EXPECT_TRUE(monitor_->audio_thread_.joinable());
  EXPECT_EQ(monitor_->sample_rate_, 48000);
  EXPECT_TRUE(monitor_->render_exclusive_);
  EXPECT_EQ(monitor_->device_name_, "Rocksmith Adapter");
  EXPECT_EQ(runs_.finished.load(), 0);

  monitor_->StopAudio();
  EXPECT_FALSE(monitor_->audio_thread_.joinable());
  EXPECT_EQ(runs_.finished.load(), 1);
  ExpectUnlocked();
}

TEST_F(MonitorLifecycleTest, ReportedFailureJoinsTheThread) {
  monitor_->audio_thread_body_ = ReportingBody(&runs_, false, 48000, false, "iRig HD");
  EXPECT_FALSE(monitor_->StartAudio());
  EXPECT_FALSE(monitor_->audio_thread_.joinable());
  EXPECT_TRUE(runs_.Idle());
  EXPECT_EQ(monitor_->sample_rate_, 0);
  EXPECT_FALSE(monitor_->render_exclusive_);
  EXPECT_EQ(monitor_->device_name_, "iRig HD");  // chosen before the failure
  ExpectUnlocked();
}

// The thread says nothing for 3000 ms; once told to stop it claims success. The start has failed
// all the same, and the reply must not carry that late claim.
TEST_F(MonitorLifecycleTest, SilentThreadTimesOutAndLeavesNothingBehind) {
  monitor_->sample_rate_ = 44100;  // from an earlier run
  monitor_->audio_thread_body_ = LateBody(&runs_);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(monitor_->StartAudio());
  const auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_LT(waited, std::chrono::milliseconds(6000));
  EXPECT_FALSE(monitor_->audio_thread_.joinable());
  EXPECT_EQ(runs_.started.load(), 1);
  EXPECT_TRUE(runs_.Idle());
  EXPECT_FALSE(monitor_->started_.load());
  EXPECT_EQ(monitor_->sample_rate_, 0);
  EXPECT_FALSE(monitor_->render_exclusive_);
  ExpectUnlocked();
}

TEST_F(MonitorLifecycleTest, ThreadThatCannotBeCreatedLeavesTheMonitorIdle) {
  platform_test::DebugOutputCapture debug;
  for (auto starter : {ThrowingStarter, EmptyStarter}) {
    monitor_->sample_rate_ = 48000;
    monitor_->render_exclusive_ = true;
    monitor_->audio_thread_body_ = ReportingBody(&runs_, true, 48000, true, "Rocksmith");
    monitor_->thread_starter_ = starter;
    EXPECT_FALSE(monitor_->StartAudio());
    EXPECT_FALSE(monitor_->audio_thread_.joinable());
    EXPECT_EQ(runs_.started.load(), 0);
    EXPECT_EQ(monitor_->sample_rate_, 0);
    EXPECT_FALSE(monitor_->render_exclusive_);
    ExpectUnlocked();
    if (platform_test::DebugOutputCapture::Supported()) {
      EXPECT_EQ(debug.Take(), "Tonelark audio thread start failed 0x80004005\n");
    }
  }
  // Nothing was left half-done: the next start with a working thread succeeds.
  monitor_->thread_starter_ = nullptr;
  EXPECT_TRUE(monitor_->StartAudio());
  monitor_->StopAudio();
  EXPECT_TRUE(runs_.Idle());
}

TEST_F(MonitorLifecycleTest, RestartStopsTheRunningThreadFirst) {
  monitor_->audio_thread_body_ = ReportingBody(&runs_, true, 48000, false, "Rocksmith");
  ASSERT_TRUE(monitor_->StartAudio());
  monitor_->speaker_ = false;
  monitor_->volume_ = 1.5f;
  const std::vector<float> guitar(50, 0.5f);
  monitor_->monitoring_.Configure(48000, 48000, 480, 480);
  monitor_->monitoring_.Write(guitar.data(), 50);
  monitor_->pcm_queue_.assign(3, std::vector<uint8_t>(512));
  monitor_->pcm_posted_ = true;

  // The second run checks that the first has finished before it begins.
  bool overlapped = false;
  FakeRuns second;
  auto report = ReportingBody(&second, true, 44100, true, "Real Tone Cable");
  monitor_->audio_thread_body_ = [&](Monitor& monitor) {
    overlapped = !runs_.Idle();
    report(monitor);
  };
  ASSERT_TRUE(monitor_->StartAudio());
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(runs_.finished.load(), 1);
  EXPECT_TRUE(monitor_->speaker_.load());
  EXPECT_FLOAT_EQ(monitor_->volume_.load(), 1.5f);
  EXPECT_EQ(monitor_->monitoring_.queued(), 0);
  EXPECT_EQ(monitor_->sample_rate_, 44100);
  // The hand-off survives a stop: queued chunks are still drained.
  EXPECT_EQ(monitor_->pcm_queue_.size(), 3u);
  EXPECT_TRUE(monitor_->pcm_posted_);
  monitor_->StopAudio();
  EXPECT_TRUE(second.Idle());
}

// The thread's last act sets the speaker off, as a late "setSpeaker false" would. Only a reset
// made after the join wins over it.
TEST_F(MonitorLifecycleTest, StopSetsTheSpeakerBackOnAfterTheJoin) {
  auto report = ReportingBody(&runs_, true, 48000, true, "Rocksmith");
  monitor_->audio_thread_body_ = [&report](Monitor& monitor) {
    report(monitor);
    monitor.speaker_ = false;
  };
  ASSERT_TRUE(monitor_->StartAudio());
  monitor_->StopAudio();
  EXPECT_TRUE(runs_.Idle());
  EXPECT_TRUE(monitor_->speaker_.load());
}

TEST_F(MonitorLifecycleTest, EachStartForgetsThePreviousDeviceName) {
  monitor_->audio_thread_body_ = ReportingBody(&runs_, true, 48000, true, "Rocksmith Adapter");
  ASSERT_TRUE(monitor_->StartAudio());
  EXPECT_EQ(monitor_->device_name_, "Rocksmith Adapter");
  // A start that finds no device names none.
  monitor_->audio_thread_body_ = [this](Monitor& monitor) {
    ++runs_.started;
    monitor.started_ = false;
    SetEvent(monitor.ready_event_.Get());
    ++runs_.finished;
  };
  EXPECT_FALSE(monitor_->StartAudio());
  EXPECT_EQ(monitor_->device_name_, "");
  EXPECT_TRUE(runs_.Idle());
}

TEST_F(MonitorLifecycleTest, StartOptionsAndFreshCountersReachTheThread) {
  monitor_->glitches_.AddRenderUnderrun(480);  // from an earlier run
  tonelark::StartOptions seen;
  tonelark::GlitchCounts counts_seen;
  auto report = ReportingBody(&runs_, true, 48000, true, "Rocksmith");
  monitor_->audio_thread_body_ = [&](Monitor& monitor) {
    seen = monitor.start_options_;
    counts_seen = monitor.glitches_.Snapshot();
    report(monitor);
  };
  tonelark::StartOptions options;
  options.shared_capture = true;
  ASSERT_TRUE(monitor_->StartAudio(options));
  EXPECT_TRUE(seen.shared_capture);
  EXPECT_FALSE(seen.low_latency);
  EXPECT_EQ(counts_seen.render_underrun_frames, 0);
  monitor_->StopAudio();
}

TEST_F(MonitorLifecycleTest, StopWhileIdleChangesNothing) {
  monitor_->speaker_ = false;
  const std::vector<float> guitar(7, 0.5f);
  monitor_->monitoring_.Configure(48000, 48000, 480, 480);
  monitor_->monitoring_.Write(guitar.data(), 7);
  monitor_->StopAudio();
  monitor_->StopAudio();
  EXPECT_FALSE(monitor_->speaker_.load());
  EXPECT_EQ(monitor_->monitoring_.queued(), 7);
  ExpectUnlocked();
}

TEST_F(MonitorLifecycleTest, DestructionStopsARunningThread) {
  monitor_->audio_thread_body_ = ReportingBody(&runs_, true, 48000, false, "Rocksmith");
  ASSERT_TRUE(monitor_->StartAudio());
  monitor_.reset();
  EXPECT_TRUE(runs_.Idle());
}

}  // namespace
}  // namespace tonelark_test
