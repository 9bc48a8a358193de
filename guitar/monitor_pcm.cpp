// The PCM hand-off: the audio thread cuts chunks and queues them under `pcm_mutex_`; the
// user-interface thread drains the queue when the posted message arrives and sends each chunk as
// one event.
#include <algorithm>
#include <utility>
#include <vector>

#include "guitar/monitor.h"

namespace tonelark {

namespace {

constexpr size_t kMinChunkSamples = 256;
// Chunks last at least 1/200 s whatever the capture rate.
constexpr int32_t kChunksPerSecond = 200;

}  // namespace

size_t PcmChunkSamples(int32_t sample_rate) {
  const int32_t per_chunk = sample_rate / kChunksPerSecond;
  return std::max(kMinChunkSamples, per_chunk > 0 ? static_cast<size_t>(per_chunk) : 0);
}

void Monitor::ProducePcmChunks() {
  const size_t n = PcmChunkSamples(capture_.info.sample_rate);
  size_t taken = 0;
  while (pending_.size() - taken >= n) {
    std::vector<uint8_t> chunk(2 * n);
    for (size_t i = 0; i < n; ++i) {
      const uint16_t bits = static_cast<uint16_t>(pending_[taken + i]);
      chunk[2 * i] = static_cast<uint8_t>(bits & 0xFF);
      chunk[2 * i + 1] = static_cast<uint8_t>(bits >> 8);
    }
    taken += n;

    bool post = false;
    {
      std::lock_guard<std::mutex> lock(pcm_mutex_);
      if (pcm_queue_.size() >= kMaxPcmChunks) {
        pcm_queue_.erase(pcm_queue_.begin());
        glitches_.AddPcmChunkDropped();
      }
      pcm_queue_.push_back(std::move(chunk));
      if (!pcm_posted_) {
        pcm_posted_ = true;
        post = true;
      }
    }
    if (!post) continue;
    const HWND hwnd = hwnd_.load();
    if (hwnd == nullptr) continue;  // stays posted: nobody could drain before an Attach
    if (!PostMessageW(hwnd, kPcmReadyMessage, 0, 0)) {
      // No message is outstanding, so the next chunk must try again; otherwise one failed post
      // (a full or vanished message queue) would silence the stream for good.
      std::lock_guard<std::mutex> lock(pcm_mutex_);
      pcm_posted_ = false;
    }
  }
  if (taken > 0) pending_.erase(pending_.begin(), pending_.begin() + taken);
}

void Monitor::DrainPcm() {
  std::vector<std::vector<uint8_t>> chunks;
  // Swapping hands the producer this reserved vector, so it never grows the queue under the lock.
  chunks.reserve(kMaxPcmChunks);
  {
    std::lock_guard<std::mutex> lock(pcm_mutex_);
    chunks.swap(pcm_queue_);
    pcm_posted_ = false;
  }
  for (std::vector<uint8_t>& chunk : chunks) {
    // Re-read each time: the sink could be cancelled while an event is sent.
    if (!sink_) break;
    const Value event(std::move(chunk));
    sink_->Success(&event);
  }
}

std::unique_ptr<flutter::StreamHandlerError<Monitor::Value>> Monitor::OnListen(
    const Value* /*arguments*/, std::unique_ptr<flutter::EventSink<Value>>&& events) {
  sink_ = std::move(events);
  return nullptr;
}

std::unique_ptr<flutter::StreamHandlerError<Monitor::Value>> Monitor::OnCancel(
    const Value* /*arguments*/) {
  sink_.reset();
  return nullptr;
}

}  // namespace tonelark
