#include "standins/audio/notification_center.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace virtual_audio {

namespace {

// The center whose notification thread this is, and the callback it is in now (null outside a
// callback), for telling misuse inside a callback apart from the same call elsewhere.
thread_local const NotificationCenter* t_center = nullptr;
thread_local const char* t_callback = nullptr;

const char* CallbackName(const EndpointNotification& notification) {
  switch (notification.kind) {
    case EndpointNotification::Kind::kStateChanged:
      return "OnDeviceStateChanged";
    case EndpointNotification::Kind::kAdded:
      return "OnDeviceAdded";
    case EndpointNotification::Kind::kDefaultChanged:
      return "OnDefaultDeviceChanged";
  }
  return "?";
}

void Call(IMMNotificationClient* client, const EndpointNotification& notification) {
  const wchar_t* id = notification.device_id.c_str();
  // What the client answers changes nothing, as on Windows.
  switch (notification.kind) {
    case EndpointNotification::Kind::kStateChanged:
      client->OnDeviceStateChanged(id, notification.state);
      break;
    case EndpointNotification::Kind::kAdded:
      client->OnDeviceAdded(id);
      break;
    case EndpointNotification::Kind::kDefaultChanged:
      client->OnDefaultDeviceChanged(notification.flow, notification.role,
                                     notification.no_device ? nullptr : id);
      break;
  }
}

}  // namespace

NotificationCenter::~NotificationCenter() { Close(); }

HRESULT NotificationCenter::Register(IMMNotificationClient* client) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return S_OK;
  registrations_.push_back({client, next_serial_++});
  if (!thread_.joinable()) {
    // The thread keeps the center alive: the system may be destroyed inside a callback, by a
    // client that releases the last object.
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
  }
  return S_OK;
}

HRESULT NotificationCenter::Unregister(IMMNotificationClient* client) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found =
      std::find_if(registrations_.begin(), registrations_.end(),
                   [&](const Registration& registration) { return registration.client == client; });
  if (found == registrations_.end()) return E_NOTFOUND;
  registrations_.erase(found);
  return S_OK;
}

void NotificationCenter::WaitForClient(IMMNotificationClient* client) {
  if (OnThisThread()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [&] { return current_ != client; });
}

void NotificationCenter::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  registrations_.clear();
  pending_.clear();
  delivered_through_ = last_queued_;
  idle_.notify_all();
}

void NotificationCenter::WaitForCallbacks() {
  if (OnThisThread()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [&] { return current_ == nullptr; });
}

void NotificationCenter::SetAutomatic(bool automatic) {
  std::lock_guard<std::mutex> lock(mutex_);
  automatic_ = automatic;
  wake_.notify_all();
}

void NotificationCenter::Enqueue(const EndpointNotification& notification) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (registrations_.empty() || closed_) return;
  last_queued_ = next_serial_++;
  pending_.push_back({last_queued_, notification});
  if (automatic_) wake_.notify_all();
}

int NotificationCenter::DeliverPending() {
  if (OnThisThread()) return 0;
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t target = last_queued_;
  const int64_t before = callbacks_made_;
  deliver_through_ = std::max(deliver_through_, target);
  wake_.notify_all();
  idle_.wait(lock, [&] { return closed_ || delivered_through_ >= target; });
  return static_cast<int>(callbacks_made_ - before);
}

void NotificationCenter::Close() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    registrations_.clear();
    pending_.clear();
    thread = std::move(thread_);
  }
  wake_.notify_all();
  idle_.notify_all();
  if (!thread.joinable()) return;
  // Closed from inside a callback: the thread ends by itself once the callback returns.
  if (OnThisThread()) {
    thread.detach();
  } else {
    thread.join();
  }
}

void NotificationCenter::NoteCallInCallback(const char* method) {
  if (t_callback == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  misuse_.push_back(std::string(method) + " called inside " + t_callback);
}

void NotificationCenter::LastReferenceReleased(const char* interface_name) {
  if (t_callback == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  misuse_.push_back(std::string("last ") + interface_name + " reference released inside " +
                    t_callback);
}

std::vector<std::string> NotificationCenter::Misuse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return misuse_;
}

bool NotificationCenter::OnThisThread() const { return t_center == this; }

const NotificationCenter::Registration* NotificationCenter::NextRecipient(uint64_t after,
                                                                          uint64_t serial) const {
  for (const Registration& registration : registrations_) {
    if (registration.serial > after && registration.serial < serial) return &registration;
  }
  return nullptr;
}

void NotificationCenter::Run() {
  t_center = this;
  // Windows calls the clients from a thread of the multithreaded apartment.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!closed_) {
    if (pending_.empty() || (!automatic_ && pending_.front().serial > deliver_through_)) {
      wake_.wait(lock);
      continue;
    }
    const Queued next = std::move(pending_.front());
    pending_.pop_front();
    const char* callback = CallbackName(next.notification);
    // Registrations may come and go while a callback runs: each recipient is looked up afresh.
    uint64_t last_recipient = 0;
    while (const Registration* recipient = NextRecipient(last_recipient, next.serial)) {
      IMMNotificationClient* client = recipient->client;
      last_recipient = recipient->serial;
      current_ = client;
      lock.unlock();
      t_callback = callback;
      const auto start = std::chrono::steady_clock::now();
      Call(client, next.notification);
      const auto took = std::chrono::steady_clock::now() - start;
      t_callback = nullptr;
      lock.lock();
      current_ = nullptr;
      ++callbacks_made_;
      const auto took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
      if (took > std::chrono::milliseconds(kSlowCallbackMs)) {
        misuse_.push_back(std::string(callback) + " took " + std::to_string(took_ms) +
                          " ms (limit " + std::to_string(kSlowCallbackMs) + " ms)");
      }
      idle_.notify_all();
    }
    delivered_through_ = std::max(delivered_through_, next.serial);
    idle_.notify_all();
  }
  lock.unlock();
  if (SUCCEEDED(com)) CoUninitialize();
}

}  // namespace virtual_audio
