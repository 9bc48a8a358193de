// The engine driven the way the user interface drives it: bytes in on the two channels through
// the engine stand-in, replies and events out, the PCM-ready message through a real message loop.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "guitar/audio_loop.h"
#include "tests/guitar/engine_fixture.h"

namespace tonelark_test {
namespace {

enum class Shape { kNull, kTrue, kFalse, kInt32, kInt64, kDouble, kString, kList, kMap };

struct Argument {
  Shape shape;
  Bytes bytes;  // the encoded value, as it follows the method name
};

// One argument of every shape. A double's alignment depends on where it starts, so each is
// encoded behind the method name it goes with.
std::vector<Argument> EveryShape(const std::string& method) {
  const size_t offset = Wire().String(method).bytes().size();
  Wire double_value;
  for (size_t i = 0; i < offset; ++i) double_value.Byte(0);
  double_value.Double(0.5);
  const Bytes aligned(double_value.bytes().begin() + offset, double_value.bytes().end());
  return {
      {Shape::kNull, Wire().Null().bytes()},
      {Shape::kTrue, Wire().Bool(true).bytes()},
      {Shape::kFalse, Wire().Bool(false).bytes()},
      {Shape::kInt32, Wire().Int32(2).bytes()},
      {Shape::kInt64, Wire().Int64(0).bytes()},
      {Shape::kDouble, aligned},
      {Shape::kString, Wire().String("true").bytes()},
      {Shape::kList, Wire().List(1).Bool(true).bytes()},
      {Shape::kMap, Wire().Map(1).String("value").Int32(1).bytes()},
  };
}

// Starting from values that every command moves away from, each shape has exactly its effect
// and the plain success reply.
TEST_F(GuitarEngineTest, SettingCommandsReadEveryArgumentShape) {
  for (const Argument& argument : EveryShape("setSpeaker")) {
    SCOPED_TRACE(static_cast<int>(argument.shape));
    monitor().speaker_ = argument.shape != Shape::kTrue;
    EXPECT_EQ(Call(kCommands, "setSpeaker", argument.bytes), SuccessWithoutValue());
    EXPECT_EQ(monitor().speaker_.load(), argument.shape == Shape::kTrue);
  }
  for (const Argument& argument : EveryShape("click")) {
    SCOPED_TRACE(static_cast<int>(argument.shape));
    monitor().click_request_ = 0;
    EXPECT_EQ(Call(kCommands, "click", argument.bytes), SuccessWithoutValue());
    EXPECT_EQ(monitor().click_request_.load(), argument.shape == Shape::kTrue ? 2 : 1);
  }
}

TEST_F(GuitarEngineTest, VolumeTable) {
  struct Row {
    Bytes argument;
    float gain;
  };
  auto volume = [](double value) {
    Bytes bytes = Wire().String("setVolume").Double(value).bytes();
    return Bytes(bytes.begin() + Wire().String("setVolume").bytes().size(), bytes.end());
  };
  const Row rows[] = {
      {volume(0.5), 2.0f},
      {Wire().Int32(2).bytes(), 4.0f},
      {volume(-1.5), 0.0f},
      {Wire().Null().bytes(), 4.0f},
      {Wire().String("0.5").bytes(), 4.0f},
      {Wire().Int32(0).bytes(), 0.0f},
      {Wire().Int32(-3).bytes(), 0.0f},
      {Wire().Int64(0).bytes(), 4.0f},  // only int32 and double are volumes
      {Wire().Bool(false).bytes(), 4.0f},
      {Wire().List(1).Int32(0).bytes(), 4.0f},
      {Wire().Map(1).String("volume").Int32(0).bytes(), 4.0f},
      {volume(0.125), 0.5f},
      {volume(1.0), 4.0f},
      {volume(1e300), 4.0f},
      {volume(-std::numeric_limits<double>::infinity()), 0.0f},
      {volume(std::numeric_limits<double>::quiet_NaN()), 4.0f},
  };
  for (const Row& row : rows) {
    monitor().volume_ = -1.0f;
    EXPECT_EQ(Call(kCommands, "setVolume", row.argument), SuccessWithoutValue());
    EXPECT_FLOAT_EQ(monitor().volume_.load(), row.gain);
  }
}

TEST_F(GuitarEngineTest, StartAndStopReplies) {
  for (const Argument& argument : EveryShape("start")) {
    EXPECT_EQ(Call(kCommands, "start", argument.bytes),
              StartReply(true, "Rocksmith USB Guitar Adapter", 48000, true));
  }
  EXPECT_EQ(runs_.started.load(), 9);
  EXPECT_EQ(runs_.finished.load(), 8);  // each start restarted the running thread

  for (const Argument& argument : EveryShape("stop")) {
    EXPECT_EQ(Call(kCommands, "stop", argument.bytes), SuccessWithoutValue());
    EXPECT_TRUE(runs_.Idle());
  }

  monitor().audio_thread_body_ = ReportingBody(&runs_, false, 44100, true, "Real Tone Cable");
  EXPECT_EQ(Call(kCommands, "start"), StartReply(false, "Real Tone Cable", 0, false));
  monitor().audio_thread_body_ = ReportingBody(&runs_, false, 0, false, "");
  EXPECT_EQ(Call(kCommands, "start"), StartReply(false, "", 0, false));
  EXPECT_TRUE(runs_.Idle());
}

TEST_F(GuitarEngineTest, StartWithoutAnyAudioDeviceFailsCleanly) {
  monitor().audio_thread_body_ = tonelark::AudioLoop;
  EXPECT_EQ(Call(kCommands, "start"), StartReply(false, "", 0, false));
  EXPECT_FALSE(monitor().audio_thread_.joinable());
  EXPECT_EQ(Call(kCommands, "stop"), SuccessWithoutValue());
}

TEST_F(GuitarEngineTest, UnknownNamesAreNotImplemented) {
  for (const char* name : {"Start", "STOP", "start ", " stop", "setspeaker", "setVolume\t",
                           "click!", "", "listen", "cancel", "setVolumes"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Call(kCommands, name, Wire().Bool(true).bytes()), Bytes());
  }
  EXPECT_EQ(runs_.started.load(), 0);
  EXPECT_TRUE(monitor().speaker_.load());
  EXPECT_FLOAT_EQ(monitor().volume_.load(), 4.0f);
  EXPECT_EQ(monitor().click_request_.load(), 0);
}

TEST_F(GuitarEngineTest, FortyChunksBetweenDrainsSendTheNewest32InOrder) {
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  ProduceChunks(0, 40);
  EXPECT_EQ(PumpPcmReady(1), 1);  // one message however many chunks
  const std::vector<Bytes> events = TakePcmEvents();
  ASSERT_EQ(events.size(), 32u);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(events[i], PcmEvent(ChunkBytes(8 + i))) << i;

  ProduceChunks(40, 1);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_EQ(TakePcmEvents(), std::vector<Bytes>{PcmEvent(ChunkBytes(40))});
}

TEST_F(GuitarEngineTest, ChunkSizeAndSampleBytes) {
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  tonelark::Monitor& m = monitor();
  // 300 samples at 44100 Hz: one chunk of 256 leaves, 44 wait for the next packet.
  m.capture_.info.sample_rate = 44100;
  m.pending_.assign(300, 0);
  m.pending_[0] = 32767;
  m.pending_[1] = -32767;
  m.pending_[2] = -32768;
  m.pending_[255] = 1;
  m.pending_[256] = 77;
  m.ProducePcmChunks();
  ASSERT_EQ(m.pending_.size(), 44u);
  EXPECT_EQ(m.pending_[0], 77);
  ASSERT_EQ(PumpPcmReady(1), 1);
  std::vector<Bytes> events = TakePcmEvents();
  ASSERT_EQ(events.size(), 1u);
  Bytes chunk(512, 0);
  chunk[0] = 0xFF, chunk[1] = 0x7F, chunk[2] = 0x01, chunk[3] = 0x80, chunk[5] = 0x80;
  chunk[510] = 0x01;
  EXPECT_EQ(events[0], PcmEvent(chunk));

  // Above 51200 Hz a chunk holds rate / 200 samples.
  m.pending_.assign(480, -2);
  m.capture_.info.sample_rate = 96000;
  m.ProducePcmChunks();
  ASSERT_EQ(PumpPcmReady(1), 1);
  events = TakePcmEvents();
  ASSERT_EQ(events.size(), 1u);
  Bytes wide;
  for (int i = 0; i < 480; ++i) wide.insert(wide.end(), {0xFE, 0xFF});
  EXPECT_EQ(events[0], PcmEvent(wide));
  EXPECT_TRUE(m.pending_.empty());
}

TEST_F(GuitarEngineTest, DrainWithNobodyListeningEmptiesTheQueueAndRearms) {
  ProduceChunks(0, 3);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_TRUE(TakePcmEvents().empty());
  {
    std::lock_guard<std::mutex> lock(monitor().pcm_mutex_);
    EXPECT_TRUE(monitor().pcm_queue_.empty());
    EXPECT_FALSE(monitor().pcm_posted_);
  }
  // The next chunk posts a new message.
  ProduceChunks(3, 1);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_TRUE(TakePcmEvents().empty());

  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  ProduceChunks(4, 1);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_EQ(TakePcmEvents(), std::vector<Bytes>{PcmEvent(ChunkBytes(4))});
}

TEST_F(GuitarEngineTest, ListenCancelCycle) {
  EXPECT_EQ(Call(kPcm, "cancel"), NoActiveStreamError());
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  // A second listen replaces the sink: each chunk still goes out once.
  EXPECT_EQ(Call(kPcm, "listen", Wire().String("again").bytes()), SuccessWithoutValue());
  ProduceChunks(0, 2);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_EQ(TakePcmEvents(),
            (std::vector<Bytes>{PcmEvent(ChunkBytes(0)), PcmEvent(ChunkBytes(1))}));

  EXPECT_EQ(Call(kPcm, "cancel"), SuccessWithoutValue());
  ProduceChunks(2, 1);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_TRUE(TakePcmEvents().empty());
  EXPECT_EQ(Call(kPcm, "cancel"), NoActiveStreamError());
  EXPECT_EQ(Call(kPcm, "Listen"), Bytes());

  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  ProduceChunks(3, 1);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_EQ(TakePcmEvents(), std::vector<Bytes>{PcmEvent(ChunkBytes(3))});
}

TEST_F(GuitarEngineTest, HookConsumesOnlyThePcmReadyMessage) {
  ProduceChunks(0, 2);
  for (UINT message : {0x0000u, 0x0010u, 0x001Du, 0x7FFFu, 0x8000u, 0x8006u, 0x8008u, 0x18007u}) {
    EXPECT_FALSE(GuitarMonitorHandleMessage(message)) << message;
  }
  {
    std::lock_guard<std::mutex> lock(monitor().pcm_mutex_);
    EXPECT_EQ(monitor().pcm_queue_.size(), 2u);
    EXPECT_TRUE(monitor().pcm_posted_);
  }
  EXPECT_EQ(tonelark::kPcmReadyMessage, 0x8007u);
  EXPECT_TRUE(GuitarMonitorHandleMessage(0x8007));
  EXPECT_TRUE(GuitarMonitorHandleMessage(0x8007));  // also with nothing queued
  EXPECT_EQ(PumpPcmReady(1), 1);                    // the posted message itself
  EXPECT_TRUE(TakePcmEvents().empty());
}

TEST_F(GuitarEngineTest, DetachThenAttachGivesWorkingChannelsAgain) {
  ASSERT_EQ(Call(kCommands, "start"),
            StartReply(true, "Rocksmith USB Guitar Adapter", 48000, true));
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());

  GuitarMonitorDetach();
  EXPECT_TRUE(runs_.Idle());
  EXPECT_FALSE(Handled(kCommands));
  EXPECT_FALSE(Handled(kPcm));
  EXPECT_EQ(engine_standin::RegistrationOf(kCommands, engine_).callback, nullptr);
  EXPECT_EQ(engine_standin::RegistrationOf(kPcm, engine_).callback, nullptr);
  EXPECT_EQ(monitor().hwnd_.load(), nullptr);
  EXPECT_EQ(monitor().sink_, nullptr);
  // Nothing is posted while detached.
  ProduceChunks(0, 1);
  EXPECT_EQ(PumpPcmReady(0), 0);
  GuitarMonitorDetach();

  GuitarMonitorAttach(window_->hwnd(), messenger_.get());
  EXPECT_TRUE(Handled(kCommands));
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  EXPECT_EQ(Call(kCommands, "setVolume", Wire().Int32(0).bytes()), SuccessWithoutValue());
  EXPECT_FLOAT_EQ(monitor().volume_.load(), 0.0f);
  ProduceChunks(1, 1);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_EQ(TakePcmEvents(), std::vector<Bytes>{PcmEvent(ChunkBytes(1))});
}

TEST_F(GuitarEngineTest, DetachWithoutAttachChangesNothing) {
  GuitarMonitorDetach();
  monitor().speaker_ = false;
  monitor().volume_ = 1.0f;
  GuitarMonitorDetach();
  GuitarMonitorDetach();
  EXPECT_FALSE(monitor().speaker_.load());
  EXPECT_FLOAT_EQ(monitor().volume_.load(), 1.0f);
  EXPECT_EQ(monitor().method_channel_, nullptr);
  EXPECT_EQ(monitor().event_channel_, nullptr);
}

// The PCM-ready message dies with its window. After the next Attach the stream must flow again;
// chunks queued for the old window are dropped, not sent late.
TEST_F(GuitarEngineTest, MessageLostWithItsWindowDoesNotSilenceTheNextAttach) {
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  ProduceChunks(0, 2);
  window_.reset();
  GuitarMonitorDetach();

  window_ = std::make_unique<platform_test::TestWindow>();
  GuitarMonitorAttach(window_->hwnd(), messenger_.get());
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  ProduceChunks(2, 1);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_EQ(TakePcmEvents(), std::vector<Bytes>{PcmEvent(ChunkBytes(2))});
}

// A post that fails leaves no message outstanding, so the next chunk posts again.
TEST_F(GuitarEngineTest, FailedPostIsRetriedWithTheNextChunk) {
  EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
  HWND gone;
  {
    platform_test::TestWindow closed;
    gone = closed.hwnd();
  }
  monitor().hwnd_ = gone;
  ProduceChunks(0, 1);
  monitor().hwnd_ = window_->hwnd();
  ProduceChunks(1, 1);
  EXPECT_EQ(PumpPcmReady(1), 1);
  EXPECT_EQ(TakePcmEvents(),
            (std::vector<Bytes>{PcmEvent(ChunkBytes(0)), PcmEvent(ChunkBytes(1))}));
}

}  // namespace
}  // namespace tonelark_test
