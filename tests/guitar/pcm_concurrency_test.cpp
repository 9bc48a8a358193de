// An audio thread that produces chunks as fast as it can while the user-interface thread drains,
// listens, cancels, starts, stops, attaches and detaches. Every chunk that reaches the user
// interface must arrive whole and in order; only whole runs of old chunks may be missing.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "gtest/gtest.h"
#include "tests/guitar/engine_fixture.h"

namespace tonelark_test {
namespace {

constexpr size_t kChunkSamples = 256;

// Chunk `sequence`: the sequence number in the first two samples, and a pattern derived from it
// in the rest, so a torn or mixed-up chunk shows.
void AppendChunk(uint32_t sequence, std::vector<int16_t>* pending) {
  pending->push_back(static_cast<int16_t>(sequence & 0xFFFF));
  pending->push_back(static_cast<int16_t>(sequence >> 16));
  for (size_t i = 2; i < kChunkSamples; ++i) {
    pending->push_back(static_cast<int16_t>(sequence * 31 + i));
  }
}

// The sequence number of an event, or -1 when the event is not an intact chunk.
int64_t SequenceOf(const Bytes& event) {
  const Bytes header = {0x00, 0x08, 0xFE, 0x00, 0x02};
  if (event.size() != header.size() + 2 * kChunkSamples) return -1;
  if (!std::equal(header.begin(), header.end(), event.begin())) return -1;
  auto sample = [&](size_t i) {
    return static_cast<uint16_t>(event[5 + 2 * i] | (event[6 + 2 * i] << 8));
  };
  const uint32_t sequence = static_cast<uint32_t>(sample(0)) | (sample(1) << 16);
  for (size_t i = 2; i < kChunkSamples; ++i) {
    if (sample(i) != static_cast<uint16_t>(sequence * 31 + i)) return -1;
  }
  return sequence;
}

class PcmConcurrencyTest : public GuitarEngineTest {
 protected:
  PcmConcurrencyTest() {
    engine_standin::SetTrafficObserver([this](const engine_standin::TrafficEvent& event) {
      if (event.direction != engine_standin::Direction::kFromProgram || event.channel != kPcm) {
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      batches_.back().emplace_back(event.data, event.data + event.size);
    });
    // Sequence numbers continue across restarts, so order is checked across them too.
    monitor().audio_thread_body_ =
        ReportingBody(&runs_, true, 48000, false, "Rocksmith", [this](tonelark::Monitor& m) {
          AppendChunk(next_sequence_++, &m.pending_);
          m.ProducePcmChunks();
        });
  }
  ~PcmConcurrencyTest() override { engine_standin::SetTrafficObserver(nullptr); }

  // Runs the message loop briefly; each drain's events form one batch.
  void Pump(DWORD timeout_ms) {
    window_->Pump(
        [this](UINT message, WPARAM, LPARAM) {
          {
            std::lock_guard<std::mutex> lock(mutex_);
            batches_.emplace_back();
          }
          if (GuitarMonitorHandleMessage(message)) ++drains_;
        },
        timeout_ms);
  }

  std::atomic<uint32_t> next_sequence_{0};
  std::mutex mutex_;
  std::vector<std::vector<Bytes>> batches_{1};
  int drains_ = 0;
};

TEST_F(PcmConcurrencyTest, ChunksArriveWholeAndInOrderUnderEveryUserInterfaceAction) {
  bool listening = false;
  auto listen = [&] {
    EXPECT_EQ(Call(kPcm, "listen"), SuccessWithoutValue());
    listening = true;
  };
  auto cancel = [&] {
    EXPECT_EQ(Call(kPcm, "cancel"), listening ? SuccessWithoutValue() : NoActiveStreamError());
    listening = false;
  };

  listen();
  ASSERT_EQ(Call(kCommands, "start"), StartReply(true, "Rocksmith", 48000, false));
  for (int round = 0; round < 60; ++round) {
    Pump(5);
    switch (round % 12) {
      case 2:
        cancel();
        break;
      case 3:
        cancel();  // refused: not listening
        listen();
        break;
      case 5:
        listen();  // replaces the open stream
        break;
      case 6:
        EXPECT_EQ(Call(kCommands, "stop"), SuccessWithoutValue());
        Pump(5);
        EXPECT_EQ(Call(kCommands, "start"), StartReply(true, "Rocksmith", 48000, false));
        break;
      case 8:
        EXPECT_EQ(Call(kCommands, "start"), StartReply(true, "Rocksmith", 48000, false));
        break;
      case 10:
        GuitarMonitorDetach();
        Pump(5);
        GuitarMonitorAttach(window_->hwnd(), messenger_.get());
        listening = false;  // fresh channels: no stream open
        listen();
        EXPECT_EQ(Call(kCommands, "start"), StartReply(true, "Rocksmith", 48000, false));
        break;
      default:
        EXPECT_EQ(Call(kCommands, "setVolume", Wire().Int32(round % 2).bytes()),
                  SuccessWithoutValue());
        break;
    }
  }
  EXPECT_EQ(Call(kCommands, "stop"), SuccessWithoutValue());
  Pump(50);
  EXPECT_TRUE(runs_.Idle());

  std::lock_guard<std::mutex> lock(mutex_);
  int64_t previous = -1;
  size_t delivered = 0;
  for (const std::vector<Bytes>& batch : batches_) {
    EXPECT_LE(batch.size(), tonelark::kMaxPcmChunks);
    for (size_t i = 0; i < batch.size(); ++i) {
      const int64_t sequence = SequenceOf(batch[i]);
      ASSERT_GE(sequence, 0) << "torn chunk";
      ASSERT_GT(sequence, previous) << "reordered or repeated chunk";
      // The queue only ever loses its oldest chunks, so one drain sends an unbroken run.
      if (i > 0) {
        ASSERT_EQ(sequence, previous + 1) << "gap inside one drain";
      }
      previous = sequence;
      ++delivered;
    }
  }
  EXPECT_GT(drains_, 10);
  EXPECT_GT(delivered, 100u);
  std::printf("%zu chunks delivered in %d drains, %u produced\n", delivered, drains_,
              next_sequence_.load());
}

}  // namespace
}  // namespace tonelark_test
