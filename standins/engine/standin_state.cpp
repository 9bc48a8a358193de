#include "standins/engine/standin_state.h"

#include <iostream>
#include <utility>

namespace engine_standin {

const char* CallName(Call call) {
  switch (call) {
    case Call::kEngineCreate:
      return "FlutterDesktopEngineCreate";
    case Call::kEngineGetMessenger:
      return "FlutterDesktopEngineGetMessenger";
    case Call::kEngineDestroy:
      return "FlutterDesktopEngineDestroy";
    case Call::kEngineGetPluginRegistrar:
      return "FlutterDesktopEngineGetPluginRegistrar";
    case Call::kEngineReloadSystemFonts:
      return "FlutterDesktopEngineReloadSystemFonts";
    case Call::kEngineSetNextFrameCallback:
      return "FlutterDesktopEngineSetNextFrameCallback";
    case Call::kViewControllerCreate:
      return "FlutterDesktopViewControllerCreate";
    case Call::kViewControllerGetView:
      return "FlutterDesktopViewControllerGetView";
    case Call::kViewControllerDestroy:
      return "FlutterDesktopViewControllerDestroy";
    case Call::kViewControllerForceRedraw:
      return "FlutterDesktopViewControllerForceRedraw";
    case Call::kViewControllerHandleTopLevelWindowProc:
      return "FlutterDesktopViewControllerHandleTopLevelWindowProc";
    case Call::kViewGetHWND:
      return "FlutterDesktopViewGetHWND";
    case Call::kGetDpiForMonitor:
      return "FlutterDesktopGetDpiForMonitor";
    case Call::kResyncOutputStreams:
      return "FlutterDesktopResyncOutputStreams";
    case Call::kMessengerSend:
      return "FlutterDesktopMessengerSend";
    case Call::kMessengerSendWithReply:
      return "FlutterDesktopMessengerSendWithReply";
    case Call::kMessengerSetCallback:
      return "FlutterDesktopMessengerSetCallback";
    case Call::kMessengerSendResponse:
      return "FlutterDesktopMessengerSendResponse";
    case Call::kMessengerAddRef:
      return "FlutterDesktopMessengerAddRef";
    case Call::kMessengerRelease:
      return "FlutterDesktopMessengerRelease";
    case Call::kMessengerLock:
      return "FlutterDesktopMessengerLock";
    case Call::kMessengerUnlock:
      return "FlutterDesktopMessengerUnlock";
    case Call::kMessengerIsAvailable:
      return "FlutterDesktopMessengerIsAvailable";
  }
  return "?";
}

State& State::Get() {
  // Never destroyed: program objects and the DLL's own teardown may still call in at exit.
  static State* state = new State();
  return *state;
}

std::shared_ptr<ResponseState> State::NewResponseLocked(const std::string& channel) {
  constexpr size_t kSpareResponses = 8;
  for (const std::shared_ptr<ResponseState>& spare : spare_responses) {
    // Only this list holds it: no Response and no open message can see it change.
    if (spare.use_count() == 1) {
      spare->id = 0;
      spare->channel = channel;
      spare->delivered = false;
      spare->answered = false;
      spare->data_null = false;
      spare->bytes.clear();
      return spare;
    }
  }
  auto fresh = std::make_shared<ResponseState>();
  fresh->channel = channel;
  if (spare_responses.size() < kSpareResponses) {
    spare_responses.push_back(fresh);
  }
  return fresh;
}

int64_t State::LogLocked(Call call) {
  if (!recording.load(std::memory_order_relaxed)) {
    return -1;
  }
  call_log.push_back(call);
  return call_count++;
}

void State::Log(Call call) {
  if (!recording.load(std::memory_order_relaxed)) {
    return;
  }
  std::lock_guard<std::mutex> guard(mutex);
  LogLocked(call);
}

void State::ReportMisuse(const std::string& what) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    ++misuses;
  }
  std::cerr << "engine stand-in: " << what << std::endl;
}

void State::Notify(const std::shared_ptr<const TrafficObserver>& observer, Direction direction,
                   const std::string& channel, const uint8_t* data, size_t size) {
  if (observer && *observer) {
    (*observer)(TrafficEvent{direction, channel, data, size});
  }
}

void State::EndEngine(FlutterDesktopEngine* engine) {
  FlutterDesktopMessenger* messenger = nullptr;
  std::map<uint64_t, AwaitedReply> awaited;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (!engine->running) {
      return;
    }
    messenger = engine->messenger;
  }
  {
    // Waits for a reply that is between its availability test and its response.
    std::lock_guard<std::mutex> messenger_guard(messenger->lock);
    messenger->available = false;
    std::lock_guard<std::mutex> guard(mutex);
    engine->running = false;
    messenger->callbacks.clear();
    engine->frame_callback = nullptr;
    engine->frame_user_data = nullptr;
    awaited.swap(engine->awaited_replies);
  }
  // The program's reply functions own heap state that only their call frees.
  for (const auto& entry : awaited) {
    entry.second.reply(nullptr, 0, entry.second.user_data);
  }
  messenger->ref_count.fetch_sub(1);
}

bool State::FireNextFrame(FlutterDesktopEngine* engine) {
  FlutterDesktopOnNextFrameCallback callback = nullptr;
  void* user_data = nullptr;
  std::shared_ptr<const FrameObserver> observer;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (!engine->running || engine->frame_callback == nullptr) {
      return false;
    }
    callback = engine->frame_callback;
    user_data = engine->frame_user_data;
    engine->frame_callback = nullptr;
    engine->frame_user_data = nullptr;
    observer = frame_observer;
  }
  if (observer && *observer) {
    (*observer)(engine, false);
  }
  callback(user_data);
  if (observer && *observer) {
    (*observer)(engine, true);
  }
  return true;
}

}  // namespace engine_standin
