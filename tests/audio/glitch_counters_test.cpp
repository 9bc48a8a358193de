// Capture gaps measured from the device position, and the counters' reset.
#include "guitar/glitch_counters.h"

#include "gtest/gtest.h"

namespace tonelark_test {
namespace {

constexpr DWORD kGap = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;

TEST(GlitchCountersTest, AFlaggedPacketCountsTheFramesItsPositionSkipped) {
  tonelark::GlitchCounters counters;
  counters.OnCapturePacket(0, 0, 480);
  counters.OnCapturePacket(0, 480, 480);
  counters.OnCapturePacket(kGap, 960 + 1440, 480);  // three packets lost
  counters.OnCapturePacket(0, 2880, 480);
  // A driver without positions, or one whose position moved back: the flag alone counts.
  counters.OnCapturePacket(kGap, 0, 480);
  tonelark::GlitchCounts counts = counters.Snapshot();
  EXPECT_EQ(counts.capture_discontinuities, 2);
  EXPECT_EQ(counts.capture_samples_lost, 1440);

  // A new stream counts from position 0: what its first packet skipped is lost too.
  counters.RestartCapturePositions();
  counters.OnCapturePacket(kGap, 960, 480);
  counts = counters.Snapshot();
  EXPECT_EQ(counts.capture_discontinuities, 3);
  EXPECT_EQ(counts.capture_samples_lost, 1440 + 960);
  // An unflagged jump is the driver's business, not a gap it reports.
  counters.OnCapturePacket(0, 200000, 480);
  EXPECT_EQ(counters.Snapshot().capture_samples_lost, 1440 + 960);
}

TEST(GlitchCountersTest, ResetStartsEveryCounterAndTheTimelineAfresh) {
  tonelark::GlitchCounters counters;
  counters.OnCapturePacket(0, 0, 480);
  counters.AddRenderUnderrun(100);
  counters.AddRingDropped(7);
  counters.AddPcmChunkDropped();
  counters.AddPcmChunkDropped();
  tonelark::GlitchCounts counts = counters.Snapshot();
  EXPECT_EQ(counts.render_underrun_frames, 100);
  EXPECT_EQ(counts.ring_dropped_samples, 7);
  EXPECT_EQ(counts.pcm_chunks_dropped, 2);
  counters.Reset();
  // Before any stream: no timeline to measure against.
  counters.OnCapturePacket(kGap, 5000, 480);
  counts = counters.Snapshot();
  EXPECT_EQ(counts.capture_discontinuities, 1);
  EXPECT_EQ(counts.capture_samples_lost, 0);
  EXPECT_EQ(counts.render_underrun_frames, 0);
  EXPECT_EQ(counts.ring_dropped_samples, 0);
  EXPECT_EQ(counts.pcm_chunks_dropped, 0);
}

}  // namespace
}  // namespace tonelark_test
