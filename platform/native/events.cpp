// Kernel events and the waits on them.
//
// One process-wide lock guards the state of every event, which makes wait-any and wait-all
// atomic across the handles without lock ordering. A waiter sleeps on its own condition variable
// and enlists it on each event it waits for, so SetEvent wakes only the threads that care.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "platform/native/host_hooks.h"
#include "platform/native/native_files.h"
#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Waiter {
  std::condition_variable wake;
};

struct Event {
  bool manual_reset = false;
  bool signalled = false;
  bool closed = false;
  // Waits in progress on this event; a closed event lives on until the last one returns.
  int waits = 0;
  std::vector<Waiter*> waiters;
};

struct EventTable {
  std::mutex mutex;
  std::unordered_set<const void*> live;
};

EventTable& Table() {
  static EventTable* table = new EventTable;  // Never destroyed: waits may run during exit.
  return *table;
}

// Caller holds the table lock.
Event* Lookup(HANDLE handle) {
  EventTable& table = Table();
  if (handle == nullptr || table.live.count(handle) == 0) return nullptr;
  return static_cast<Event*>(handle);
}

// Caller holds the table lock. Returns the index of the first signalled event, or -1.
int FirstSignalled(Event* const* events, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    if (events[i]->signalled) return static_cast<int>(i);
  }
  return -1;
}

bool AllSignalled(Event* const* events, DWORD count) {
  return std::all_of(events, events + count, [](const Event* e) { return e->signalled; });
}

void Consume(Event* event) {
  if (!event->manual_reset) event->signalled = false;
}

}  // namespace

namespace platform::native {

int LiveEventCount() {
  EventTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<int>(table.live.size());
}

}  // namespace platform::native

HANDLE CreateEventW(void* /*security_attributes*/, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name) {
  // Named events are shared between processes on Windows; nothing here needs them.
  if (name != nullptr) return nullptr;
  auto* event = new Event;
  event->manual_reset = manual_reset != FALSE;
  event->signalled = initial_state != FALSE;
  event->waiters.reserve(4);  // So that waiting does not allocate on the audio thread.
  EventTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.live.insert(event);
  return event;
}

BOOL SetEvent(HANDLE handle) {
  std::lock_guard<std::mutex> lock(Table().mutex);
  Event* event = Lookup(handle);
  if (event == nullptr) return FALSE;
  event->signalled = true;
  for (Waiter* waiter : event->waiters) waiter->wake.notify_one();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  std::lock_guard<std::mutex> lock(Table().mutex);
  Event* event = Lookup(handle);
  if (event == nullptr) return FALSE;
  event->signalled = false;
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  EventTable& table = Table();
  std::unique_lock<std::mutex> lock(table.mutex);
  Event* event = Lookup(handle);
  if (event == nullptr) {
    lock.unlock();
    return platform::native::CloseFileHandle(handle);
  }
  table.live.erase(handle);
  event->closed = true;
  if (event->waits == 0) delete event;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) return WAIT_FAILED;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  EventTable& table = Table();
  std::unique_lock<std::mutex> lock(table.mutex);

  Event* events[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < count; ++i) {
    events[i] = Lookup(handles[i]);
    if (events[i] == nullptr) return WAIT_FAILED;
    // Windows refuses a handle listed twice in a wait for all.
    if (wait_all && std::find(events, events + i, events[i]) != events + i) return WAIT_FAILED;
  }

  auto ready = [&]() -> DWORD {
    if (wait_all) {
      if (!AllSignalled(events, count)) return WAIT_TIMEOUT;
      std::for_each(events, events + count, Consume);
      return WAIT_OBJECT_0;
    }
    const int index = FirstSignalled(events, count);
    if (index < 0) return WAIT_TIMEOUT;
    Consume(events[index]);
    return WAIT_OBJECT_0 + static_cast<DWORD>(index);
  };

  DWORD result = ready();
  if (result != WAIT_TIMEOUT || milliseconds == 0) return result;

  Waiter waiter;
  for (DWORD i = 0; i < count; ++i) {
    events[i]->waiters.push_back(&waiter);
    ++events[i]->waits;
  }
  for (;;) {
    result = ready();
    if (result != WAIT_TIMEOUT) break;
    if (milliseconds == INFINITE) {
      waiter.wake.wait(lock);
    } else if (waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
      result = ready();
      break;
    }
  }
  for (DWORD i = 0; i < count; ++i) {
    Event* event = events[i];
    auto& list = event->waiters;
    auto found = std::find(list.begin(), list.end(), &waiter);
    if (found != list.end()) list.erase(found);
    // A handle listed twice is counted twice, so only its last entry can free it.
    if (--event->waits == 0 && event->closed) delete event;
  }
  return result;
}
