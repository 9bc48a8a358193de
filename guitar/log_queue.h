// The lines bound for the log file, from any thread to the log's writer thread.
//
// A fixed ring of kCapacity slots of kLineBytes, part of the process image, so that a push never
// allocates, locks, waits or touches a file: the audio thread pushes. A push that finds every slot
// taken drops its line and counts it; the next line pushed carries that count, and the writer
// puts "Tonelark log lost <n> lines" before it.
//
// Threads: Push from any number of threads at once; Pop, TakeLost and popped() from one consumer
// at a time (the log's writer); SetAttached from the log's owner. Each slot's `state` hands it
// between them: 2 * lap while it is free for that lap's push, 2 * lap + 1 while it holds that
// lap's line, where lap = position / kCapacity.
#ifndef GUITAR_LOG_QUEUE_H_
#define GUITAR_LOG_QUEUE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tonelark {

class LogQueue {
 public:
  static constexpr size_t kCapacity = 256;
  static constexpr size_t kLineBytes = 240;  // of text; longer lines are cut

  struct Line {
    uint64_t time = 0;         // when pushed: 100 ns since 1601 (FILETIME), UTC
    uint32_t lost_before = 0;  // lines dropped by a full queue since the line before this one
    uint32_t length = 0;       // bytes of `text`
    char text[kLineBytes] = {};
  };

  // The queue EngineLog::Write fills.
  static LogQueue& Process();

  constexpr LogQueue() = default;
  LogQueue(const LogQueue&) = delete;
  LogQueue& operator=(const LogQueue&) = delete;

  // Queues `text` (up to its NUL, without its line end, control characters as spaces) with the
  // time now. Does nothing while no consumer is attached; false when the line was dropped.
  bool Push(const char* text);
  // The oldest line into `*line`; false when none is ready.
  bool Pop(Line* line);
  // Lines dropped since the last line pushed, for the consumer's last word.
  uint32_t TakeLost() { return lost_.exchange(0); }
  // Positions pushed so far (claimed, perhaps not yet filled) and popped so far.
  uint64_t pushed() const { return tail_.load(std::memory_order_acquire); }
  uint64_t popped() const { return popped_.load(std::memory_order_acquire); }
  void SetAttached(bool attached) { attached_.store(attached, std::memory_order_release); }

 private:
  struct Slot {
    std::atomic<uint64_t> state{0};
    Line line;
  };

  Slot slots_[kCapacity];
  std::atomic<uint64_t> tail_{0};
  std::atomic<uint64_t> popped_{0};
  std::atomic<uint32_t> lost_{0};
  std::atomic<bool> attached_{false};
};

}  // namespace tonelark

#endif  // GUITAR_LOG_QUEUE_H_
