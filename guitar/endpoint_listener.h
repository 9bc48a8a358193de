// Endpoint notifications from the audio system, handed over to the audio thread: a device that
// leaves or comes back, one that arrives, a new default endpoint.
//
// Windows calls the IMMNotificationClient methods on a thread of its own, one callback at a time.
// They only copy what happened into a queue of fixed slots and set `event()`: no lock that the
// audio thread holds, no call back into the audio system, no device object released. The audio
// thread takes the notifications when the event wakes it and decides, by the endpoint ids it
// keeps, which concern its own devices.
//
// Threads: Start, Stop, Take, TakeOverflow and the destructor on the audio thread, with COM
// initialised; the IMMNotificationClient methods on the system's notification thread. The queue
// has one producer and one consumer and takes no lock.
#ifndef GUITAR_ENDPOINT_LISTENER_H_
#define GUITAR_ENDPOINT_LISTENER_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/com_ptr.h"
#include "platform/scoped_handle.h"
#include "platform/win32.h"

namespace tonelark {

class EndpointListener final : public IMMNotificationClient {
 public:
  static constexpr size_t kIdLength = 256;  // endpoint ids are about 55 characters
  static constexpr uint32_t kSlots = 64;

  enum class Kind { kStateChanged, kAdded, kRemoved, kDefaultChanged };
  struct Notification {
    Kind kind = Kind::kStateChanged;
    EDataFlow flow = eAll;       // kDefaultChanged
    ERole role = eConsole;       // kDefaultChanged
    DWORD state = 0;             // kStateChanged: the new DEVICE_STATE_*
    bool has_id = false;         // false: no device (a default change to none)
    wchar_t id[kIdLength] = {};  // cut short (and `whole_id` false) when longer
    bool whole_id = true;

    // Whether this names `endpoint`; an id cut short may be any of those sharing its start.
    bool Names(const std::wstring& endpoint) const;
  };

  EndpointListener();
  ~EndpointListener();
  EndpointListener(const EndpointListener&) = delete;
  EndpointListener& operator=(const EndpointListener&) = delete;

  // Registers with `enumerator`, which it keeps until Stop; the caller logs a failure.
  HRESULT Start(IMMDeviceEnumerator* enumerator);
  // Unregisters: no callback runs after it returns. Safe when not started.
  void Stop();
  bool started() const { return static_cast<bool>(enumerator_); }

  // Auto-reset; set after every notification queued.
  HANDLE event() const { return event_.Get(); }
  // The oldest notification not yet taken; false when none is left.
  bool Take(Notification* notification);
  // Whether notifications were lost to a full queue since the last call: the caller must then
  // look at its devices afresh.
  bool TakeOverflow() { return overflow_.exchange(false); }

  // IUnknown: the monitor owns the listener; references only count.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IMMNotificationClient, on the system's notification thread.
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR device_id, DWORD new_state) override;
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR device_id) override;
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR device_id) override;
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR default_device_id) override;
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR device_id,
                                                   const PROPERTYKEY key) override;

 private:
  void Push(const Notification& notification, LPCWSTR device_id);

  platform::ComPtr<IMMDeviceEnumerator> enumerator_;  // while registered
  platform::ScopedHandle event_;
  std::atomic<ULONG> references_{1};
  Notification slots_[kSlots];
  // Counts of slots written (by the notification thread) and read (by the audio thread).
  std::atomic<uint32_t> written_{0};
  std::atomic<uint32_t> read_{0};
  std::atomic<bool> overflow_{false};
};

}  // namespace tonelark

#endif  // GUITAR_ENDPOINT_LISTENER_H_
