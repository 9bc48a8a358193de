// What the host build's Win32 replacements expose to the test helpers in platform/test_support/:
// live-object counts for leak audits, readers of the debugger output, an observer of file calls,
// and the message queues that stand in for windows. Host build only; the product never includes
// this header.
#ifndef PLATFORM_NATIVE_HOST_HOOKS_H_
#define PLATFORM_NATIVE_HOST_HOOKS_H_

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/win32.h"

namespace platform::native {

// Objects alive now. Any thread may ask.
int LiveEventCount();
int LiveCoTaskMemCount();
int LiveMmTaskCount();

// From Open to Close, `reader` (any unique key) collects every OutputDebugStringA text, from any
// thread. Take returns what arrived since Open or the previous Take.
void OpenDebugOutputReader(const void* reader);
std::string TakeDebugOutput(const void* reader);
void CloseDebugOutputReader(const void* reader);

// Called at the start of every call that reaches the file system (creating a folder, opening,
// writing, sizing, moving or closing a file), on the calling thread; nullptr stops the calls.
void SetFileCallObserver(void (*observer)());

struct PostedMessage {
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
};

// The queue behind one fake window. Any thread pushes (PostMessageW); the window's owner pops.
// All fields are guarded by mutex_.
class MessageReceiver {
 public:
  using Clock = std::chrono::steady_clock;

  void Push(const PostedMessage& message);
  bool TryPop(PostedMessage* message);
  // Blocks until a message is queued (true) or `deadline` passes (false).
  bool WaitUntilQueued(Clock::time_point deadline);

 private:
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<PostedMessage> queue_;
};

// Gives `receiver` a window handle never used before; PostMessageW to it pushes there until
// Unregister. Thread-safe.
HWND RegisterMessageReceiver(std::shared_ptr<MessageReceiver> receiver);
void UnregisterMessageReceiver(HWND hwnd);
std::shared_ptr<MessageReceiver> FindMessageReceiver(HWND hwnd);

}  // namespace platform::native

#endif  // PLATFORM_NATIVE_HOST_HOOKS_H_
