#include "guitar/log_queue.h"

#include "platform/win32.h"

namespace tonelark {
namespace {

// Constant-initialised: there from the first instruction, never destroyed before a late line.
LogQueue process_queue;

}  // namespace

LogQueue& LogQueue::Process() { return process_queue; }

bool LogQueue::Push(const char* text) {
  if (text == nullptr || !attached_.load(std::memory_order_acquire)) return false;
  uint64_t position = tail_.load(std::memory_order_relaxed);
  Slot* slot = nullptr;
  for (;;) {
    slot = &slots_[position % kCapacity];
    const uint64_t free_state = position / kCapacity * 2;
    const uint64_t state = slot->state.load(std::memory_order_acquire);
    if (state == free_state) {
      // On failure `position` becomes the tail another producer left.
      if (tail_.compare_exchange_weak(position, position + 1, std::memory_order_acq_rel)) break;
    } else if (state < free_state) {
      // The consumer has not taken the last lap's line from this slot: every slot is taken.
      lost_.fetch_add(1, std::memory_order_relaxed);
      return false;
    } else {
      position = tail_.load(std::memory_order_relaxed);
    }
  }
  Line& line = slot->line;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  line.time = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  line.lost_before = lost_.exchange(0, std::memory_order_relaxed);
  size_t length = 0;
  for (; text[length] != '\0' && length < kLineBytes; ++length) {
    const unsigned char c = static_cast<unsigned char>(text[length]);
    line.text[length] = c < 0x20 || c == 0x7F ? ' ' : text[length];
  }
  while (length > 0 && line.text[length - 1] == ' ') --length;
  line.length = static_cast<uint32_t>(length);
  slot->state.store(position / kCapacity * 2 + 1, std::memory_order_release);
  return true;
}

bool LogQueue::Pop(Line* line) {
  const uint64_t position = popped_.load(std::memory_order_relaxed);
  Slot& slot = slots_[position % kCapacity];
  const uint64_t lap = position / kCapacity;
  if (slot.state.load(std::memory_order_acquire) != lap * 2 + 1) return false;
  *line = slot.line;
  slot.state.store(lap * 2 + 2, std::memory_order_release);
  popped_.store(position + 1, std::memory_order_release);
  return true;
}

}  // namespace tonelark
