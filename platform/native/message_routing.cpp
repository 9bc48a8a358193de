// PostMessageW for the host build: each fake window is a queue registered under a handle value.
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "platform/native/host_hooks.h"
#include "platform/win32.h"

namespace platform::native {
namespace {

struct WindowTable {
  std::mutex mutex;
  uintptr_t next_value = 0x10000;  // Handle values are never reused, so stale posts fail.
  std::map<HWND, std::shared_ptr<MessageReceiver>> receivers;
};

WindowTable& Windows() {
  static WindowTable* table = new WindowTable;  // Never destroyed: posts may run during exit.
  return *table;
}

}  // namespace

void MessageReceiver::Push(const PostedMessage& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(message);
  }
  queued_.notify_all();
}

bool MessageReceiver::TryPop(PostedMessage* message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return false;
  *message = queue_.front();
  queue_.pop_front();
  return true;
}

bool MessageReceiver::WaitUntilQueued(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return queued_.wait_until(lock, deadline, [this] { return !queue_.empty(); });
}

HWND RegisterMessageReceiver(std::shared_ptr<MessageReceiver> receiver) {
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.next_value += 0x10;
  HWND hwnd = reinterpret_cast<HWND>(table.next_value);
  table.receivers[hwnd] = std::move(receiver);
  return hwnd;
}

void UnregisterMessageReceiver(HWND hwnd) {
  std::shared_ptr<MessageReceiver> receiver;  // Freed after the unlock.
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.receivers.find(hwnd);
  if (found == table.receivers.end()) return;
  receiver = std::move(found->second);
  table.receivers.erase(found);
}

std::shared_ptr<MessageReceiver> FindMessageReceiver(HWND hwnd) {
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.receivers.find(hwnd);
  return found == table.receivers.end() ? nullptr : found->second;
}

}  // namespace platform::native

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<platform::native::MessageReceiver> receiver =
      platform::native::FindMessageReceiver(hwnd);
  if (!receiver) return FALSE;
  receiver->Push({message, wparam, lparam});
  return TRUE;
}
