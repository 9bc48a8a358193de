// Endpoint notifications of the virtual endpoints, delivered the way Windows delivers them: the
// registered IMMNotificationClient pointers (no reference taken, as on Windows), the changes not
// yet delivered, the notification thread that calls the clients one callback at a time in the
// order of the changes, and the record of callbacks that misuse the audio system.
//
// Threads: Enqueue, Register, Unregister, Clear and SetAutomatic are called with the system
// mutex held; the system mutex is always taken before mutex_, never after. The notification
// thread takes only mutex_ and calls the clients with no lock held, so that a callback may call
// back into the system (GetDevice) as Windows allows. DeliverPending, WaitForClient,
// WaitForCallbacks and Close are called with no lock held and wait for the notification thread,
// except on that thread itself, where they do not wait. NoteCallInCallback and
// LastReferenceReleased come from any thread with or without the system mutex. Every field below
// mutex_ is guarded by it.
#ifndef STANDINS_AUDIO_NOTIFICATION_CENTER_H_
#define STANDINS_AUDIO_NOTIFICATION_CENTER_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace virtual_audio {

struct EndpointNotification {
  enum class Kind { kStateChanged, kAdded, kDefaultChanged };
  Kind kind = Kind::kStateChanged;
  std::wstring device_id;
  bool no_device = false;  // kDefaultChanged: no device of the flow is left (a null id)
  DWORD state = 0;         // kStateChanged: DEVICE_STATE_*
  EDataFlow flow = eRender;
  ERole role = eConsole;
};

class NotificationCenter : public std::enable_shared_from_this<NotificationCenter> {
 public:
  // A callback that runs longer than this holds up every other client of the audio system. Under
  // the sanitizers every call runs several times slower, and with tests side by side a busy
  // machine may take the processor away from a callback for a few milliseconds more.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  static constexpr int kSlowCallbackMs = 15;
#else
  static constexpr int kSlowCallbackMs = 5;
#endif

  NotificationCenter() = default;
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The client gets every change from now on until it is unregistered. S_OK; after Close the
  // registration is accepted but nothing is ever delivered.
  HRESULT Register(IMMNotificationClient* client);
  // S_OK, or E_NOTFOUND for a client that is not registered. No callback to the client starts
  // afterwards; one already under way may still run (see WaitForClient).
  HRESULT Unregister(IMMNotificationClient* client);
  // Returns once no callback to `client` is under way.
  void WaitForClient(IMMNotificationClient* client);
  // Drops every registration and every change not yet delivered.
  void Clear();
  // Returns once no callback is under way.
  void WaitForCallbacks();
  // Automatic: the thread delivers each change as soon as it is queued (the real-time clock).
  // Otherwise changes wait for DeliverPending (the manual clock).
  void SetAutomatic(bool automatic);
  // Queues a change for the clients registered now; dropped when there are none.
  void Enqueue(const EndpointNotification& notification);
  // Delivers every change queued so far on the notification thread and returns once their
  // callbacks have returned, with the number of callbacks made meanwhile.
  int DeliverPending();
  // Drops everything and stops the thread; nothing is delivered afterwards.
  void Close();

  // Record a misuse when the calling thread is inside a callback of any notification thread.
  void NoteCallInCallback(const char* method);
  void LastReferenceReleased(const char* interface_name);

  std::vector<std::string> Misuse() const;

 private:
  struct Registration {
    IMMNotificationClient* client;
    uint64_t serial;  // changes from this serial on are delivered to it
  };
  struct Queued {
    uint64_t serial;
    EndpointNotification notification;
  };

  void Run();
  bool OnThisThread() const;
  // The next registration after serial `after` that gets the change of serial `serial`.
  const Registration* NextRecipient(uint64_t after, uint64_t serial) const;

  mutable std::mutex mutex_;
  std::condition_variable wake_;  // the thread: a change, a delivery request or the end
  std::condition_variable idle_;  // the waiters: a callback returned or a change was delivered
  std::vector<Registration> registrations_;  // in order of registration
  std::deque<Queued> pending_;
  uint64_t next_serial_ = 1;        // shared by changes and registrations
  uint64_t last_queued_ = 0;        // serial of the newest change queued
  uint64_t delivered_through_ = 0;  // every change up to this serial has been delivered
  uint64_t deliver_through_ = 0;    // not automatic: the thread may deliver up to this serial
  bool automatic_ = true;
  bool closed_ = false;
  IMMNotificationClient* current_ = nullptr;  // the client in a callback now
  int64_t callbacks_made_ = 0;
  std::vector<std::string> misuse_;
  std::thread thread_;
};

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_NOTIFICATION_CENTER_H_
