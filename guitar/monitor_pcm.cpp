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

void Monitor::PreparePcmPool(size_t samples) {
  const size_t bytes = 2 * samples;
  pcm_chunk_bytes_.store(bytes);
  std::lock_guard<std::mutex> lock(pcm_mutex_);
  // Every chunk not drained is here now: a start-up holds the user-interface thread in
  // StartAudio, and a re-open keeps the chunk size. So the producer never meets a short chunk.
  for (std::vector<uint8_t>& chunk : pcm_pool_) chunk.reserve(bytes);
  for (std::vector<uint8_t>& chunk : pcm_queue_) chunk.reserve(bytes);
  while (pcm_chunks_made_ < kPcmPoolChunks) {
    pcm_pool_.emplace_back();
    pcm_pool_.back().reserve(bytes);
    ++pcm_chunks_made_;
  }
}

std::vector<uint8_t> Monitor::TakePcmChunk() {
  std::vector<uint8_t> chunk;
  {
    std::lock_guard<std::mutex> lock(pcm_mutex_);
    if (!pcm_pool_.empty()) {
      chunk = std::move(pcm_pool_.back());
      pcm_pool_.pop_back();
      return chunk;
    }
    ++pcm_chunks_made_;
  }
  // The pool holds a full queue's worth, a drain's worth and one more, so it runs dry only for a
  // producer whose pool was never prepared; audio is not dropped for it.
  return chunk;
}

void Monitor::ProducePcmChunks() {
  const size_t n =
      PcmChunkSamples(pcm_sample_rate_ > 0 ? pcm_sample_rate_ : capture_.info.sample_rate);
  size_t taken = 0;
  while (pending_.size() - taken >= n) {
    std::vector<uint8_t> chunk = TakePcmChunk();
    // Within the capacity PreparePcmPool gave it, so nothing is allocated here.
    chunk.resize(2 * n);
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
        pcm_pool_.push_back(std::move(pcm_queue_.front()));
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
  for (const std::vector<uint8_t>& chunk : chunks) {
    // Re-read each time: the sink could be cancelled while an event is sent.
    if (!sink_) break;
    const Value event(chunk);
    sink_->Success(&event);
  }
  // Back to the producer, made ready for the chunk size of the streams now running.
  const size_t bytes = pcm_chunk_bytes_.load();
  for (std::vector<uint8_t>& chunk : chunks) chunk.reserve(bytes);
  std::lock_guard<std::mutex> lock(pcm_mutex_);
  for (std::vector<uint8_t>& chunk : chunks) pcm_pool_.push_back(std::move(chunk));
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
