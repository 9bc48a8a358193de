// Test control of the engine stand-in: lets a test (or the scenario player) act as the user
// interface behind the engine library's C interface, and read what the program did with it.
// Never included by the product.
//
// Threads: every function may be called from any thread; the stand-in's records sit behind one
// internal mutex that is never held while program code (message callbacks, reply callbacks,
// frame callbacks) or an observer runs. Message and frame callbacks run on the thread that calls
// DeliverMessage or DrawFrame (under Windows the view window's frames arrive on the thread that
// created the view). Handles stay valid, also after their engine ended, until Reset.
#ifndef STANDINS_ENGINE_ENGINE_CONTROL_H_
#define STANDINS_ENGINE_ENGINE_CONTROL_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channels/flutter_desktop.h"
#include "platform/win32.h"

namespace engine_standin {

// Deep copy of the record that FlutterDesktopEngineCreate received.
struct EngineProperties {
  std::wstring assets_path;
  std::wstring icu_data_path;
  std::wstring aot_library_path;
  std::string entrypoint;
  bool entrypoint_null = true;
  int32_t entrypoint_argc = 0;
  bool entrypoint_argv_null = true;
  // The argument pointers as passed, in order, and the strings they pointed to.
  std::vector<const char*> entrypoint_argv_pointers;
  std::vector<std::string> entrypoint_arguments;
  std::array<int32_t, 4> engine_options{};
  uint8_t engine_switch = 0;
  // The 72 bytes of the record, padding included.
  std::array<uint8_t, sizeof(FlutterDesktopEngineProperties)> raw{};
};

// Which call ended the engine handle's life.
enum class DestroyedBy {
  kNotDestroyed,
  kEngineDestroy,
  kViewControllerDestroy,
  // FlutterDesktopViewControllerCreate failed; it takes the engine with it.
  kViewControllerCreate,
};

struct ResponseState;

// The program's answer to one message delivered by DeliverMessage.
class Response {
 public:
  explicit Response(std::shared_ptr<ResponseState> state);

  // Whether the message reached a program callback (false: no engine, or no callback on the
  // channel, in which case the engine itself answered empty).
  bool delivered() const;
  // nullopt while unanswered; otherwise the reply bytes (empty for an empty reply).
  std::optional<std::vector<uint8_t>> Get() const;
  // Waits until answered or timeout has passed; then as Get.
  std::optional<std::vector<uint8_t>> Wait(std::chrono::milliseconds timeout) const;
  // True when the answer came with a null data pointer.
  bool answered_with_null() const;

 private:
  std::shared_ptr<ResponseState> state_;
};

// One message the program sent to the user interface.
struct SentMessage {
  uint64_t id = 0;  // for AnswerSentMessage
  std::string channel;
  std::vector<uint8_t> bytes;
  bool data_null = false;    // the data pointer was null
  bool wants_reply = false;  // sent with FlutterDesktopMessengerSendWithReply
};

// One FlutterDesktopMessengerSetCallback call.
struct SetCallbackCall {
  std::string channel;
  FlutterDesktopMessageCallback callback = nullptr;
  void* user_data = nullptr;
};

// ---- Engines ----
// The newest engine that is still running, or null.
FlutterDesktopEngineRef CurrentEngine();
// The newest engine created since Reset, running or not, or null.
FlutterDesktopEngineRef LastEngine();
// Null engine: LastEngine().
FlutterDesktopMessengerRef MessengerOf(FlutterDesktopEngineRef engine = nullptr);
EngineProperties PropertiesOf(FlutterDesktopEngineRef engine = nullptr);
DestroyedBy DestroyedByOf(FlutterDesktopEngineRef engine = nullptr);
// Index in CallLog() of the call that destroyed the handle; -1 when not destroyed.
int64_t DestroyedAtOf(FlutterDesktopEngineRef engine = nullptr);
bool IsRunning(FlutterDesktopEngineRef engine = nullptr);
// The engine shuts down by itself: its messenger becomes unavailable, callbacks are dropped and
// replies awaited from the user interface are answered empty. The handle stays to be destroyed.
void EndEngine(FlutterDesktopEngineRef engine = nullptr);
// Plugin names asked for with FlutterDesktopEngineGetPluginRegistrar, in order.
std::vector<std::string> RegistrarRequests(FlutterDesktopEngineRef engine = nullptr);
// The plugin name a registrar was given out for; empty for null.
std::string RegistrarPluginName(FlutterDesktopPluginRegistrarRef registrar);
// Draws a frame: runs the pending next-frame callback, if any. True when one ran.
bool DrawFrame(FlutterDesktopEngineRef engine = nullptr);

// ---- Messages (the user interface's side) ----
// Delivers bytes on channel to the engine's registered callback and returns its answer, which
// is there at once when the program answered during the call.
Response DeliverMessage(FlutterDesktopEngineRef engine, const std::string& channel,
                        const uint8_t* data, size_t size);
Response DeliverMessage(const std::string& channel, const std::vector<uint8_t>& bytes);
// Messages the program sent, in order.
std::vector<SentMessage> SentMessages(FlutterDesktopEngineRef engine = nullptr);
// Answers a message sent with a reply; false when there is no such unanswered message.
bool AnswerSentMessage(uint64_t id, const std::vector<uint8_t>& reply);
// Current registration of channel: callback and user data (null when none).
SetCallbackCall RegistrationOf(const std::string& channel,
                               FlutterDesktopEngineRef engine = nullptr);
std::vector<SetCallbackCall> SetCallbackCalls(FlutterDesktopEngineRef engine = nullptr);
int MessengerRefCount(FlutterDesktopMessengerRef messenger);

// ---- Behaviour ----
void SetEngineCreationFails(bool fails);
void SetViewControllerCreationFails(bool fails);
// 0 returns to the default: TONELARK_STANDIN_DPI when set to a number, else 96.
void SetDpi(UINT dpi);
// FlutterDesktopViewControllerHandleTopLevelWindowProc claims message with result.
void ClaimWindowMessage(UINT message, LRESULT result);
// Keeps the call log and the sent messages (on by default); benchmarks turn it off.
void SetRecording(bool recording);
// Keeps the messages the program sends without awaiting a reply (on by default, while recording).
// A user interface that follows them through the traffic observer turns it off, so that a long
// stream of events does not pile up in the process; the call log is kept either way.
void SetKeepSentMessages(bool keep);

// ---- Counters and logs since Reset ----
int RedrawCount();
int FontReloadCount();
int ResyncCount();
int TopLevelWindowProcCount();
// Uses of ended engines, released messengers or answered response handles (each also reported
// with a line "engine stand-in: ..." on standard error).
int MisuseCount();
// Names of the C functions called, in order.
std::vector<std::string> CallLog();

// ---- Observers (for the scenario player) ----
// Called after a view controller is created, on the creating thread. view is the view's window
// under Windows and an opaque non-null value elsewhere.
using ViewControllerCreatedObserver =
    std::function<void(FlutterDesktopEngineRef engine, HWND view)>;
void SetViewControllerCreatedObserver(ViewControllerCreatedObserver observer);

// Called around each run of a next-frame callback: with after false just before the program's
// callback runs, with after true once it has returned. On the thread that draws the frame.
using FrameObserver = std::function<void(FlutterDesktopEngineRef engine, bool after)>;
void SetFrameObserver(FrameObserver observer);

enum class Direction {
  kToProgram,       // a message delivered to the program
  kResponse,        // the program's answer to such a message
  kFromProgram,     // a message the program sent
  kReplyToProgram,  // the user interface's answer to a message sent with a reply
};

// data and size are valid during the observer call only.
struct TrafficEvent {
  Direction direction;
  std::string channel;
  const uint8_t* data;
  size_t size;
};
// Called for every message both ways, on the thread where it happens (a response may come from
// any thread).
using TrafficObserver = std::function<void(const TrafficEvent& event)>;
void SetTrafficObserver(TrafficObserver observer);

#ifdef _WIN32
// Paints the view window's client area after the stand-in's own background.
using ViewPainter = std::function<void(HWND view, HDC dc, const RECT& client)>;
void SetViewPainter(ViewPainter painter);
#endif

// Destroys every engine, view controller and view, forgets every record and restores the
// defaults. Program objects that still hold handles must be gone first.
void Reset();

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_ENGINE_CONTROL_H_
