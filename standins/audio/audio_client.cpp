#include "standins/audio/audio_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/audio_guids.h"
#include "platform/com_ptr.h"
#include "standins/audio/com_object.h"
#include "standins/audio/sample_format.h"
#include "standins/audio/wav_file.h"

namespace virtual_audio {

namespace {

constexpr HRESULT kPeriodNotEqual = AUDCLNT_ERR(0x13);  // AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL
constexpr HRESULT kEventHandleNotExpected = AUDCLNT_ERR(0x11);
constexpr REFERENCE_TIME kMaxExclusiveDuration = 20000000;  // 2 s, 100 ns units
constexpr uint8_t kUnwrittenByte = 0x55;  // fills render buffers the engine has not written

uint32_t DurationFrames(REFERENCE_TIME duration, uint32_t rate) {
  if (duration <= 0) return 0;
  return static_cast<uint32_t>(std::llround(static_cast<double>(duration) * rate / 1e7));
}

bool Accepts(const DeviceConfig& config, const Format& format) {
  return std::find(config.exclusive_formats.begin(), config.exclusive_formats.end(), format) !=
         config.exclusive_formats.end();
}

// Fills the record's format fields from what the caller passed; true when it reads as a format.
bool RecordFormat(const WAVEFORMATEX* wave, CallRecord* record, Format* parsed) {
  record->has_format = ParseWaveFormat(wave, parsed);
  if (record->has_format) record->format = *parsed;
  if (wave == nullptr) return false;
  record->has_record = true;
  record->format_tag = wave->wFormatTag;
  record->cb_size = wave->cbSize;
  // The extensible tail exists only when cbSize vouches for it.
  if (wave->wFormatTag == WAVE_FORMAT_EXTENSIBLE && wave->cbSize >= 22) {
    const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wave);
    record->valid_bits = extensible->Samples.wValidBitsPerSample;
    record->channel_mask = extensible->dwChannelMask;
  }
  return record->has_format;
}

// Channel 0 of a WAV file in -1..1; empty (and one line on standard error) when unusable.
std::vector<double> LoadWavChannel(const std::string& path) {
  std::vector<double> samples;
  WavData wav;
  if (!ReadWavFile(path, &wav)) return samples;
  const size_t block = wav.format.BlockAlign();
  samples.reserve(wav.frames.size() / block);
  for (size_t offset = 0; offset + block <= wav.frames.size(); offset += block) {
    samples.push_back(DecodeSample(wav.frames.data() + offset, wav.format));
  }
  return samples;
}

class CaptureClient final : public ComObject<IAudioCaptureClient> {
 public:
  CaptureClient(std::shared_ptr<SystemState> state, IAudioClient* client,
                std::shared_ptr<StreamState> stream)
      : ComObject(std::move(state), ObjectKind::kCaptureClient, platform::kIidIAudioCaptureClient),
        stream_(std::move(stream)) {
    client_.Assign(client);
  }

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                      UINT64* device_position, UINT64* qpc_position) override {
    if (data != nullptr) *data = nullptr;
    if (frames != nullptr) *frames = 0;
    if (flags != nullptr) *flags = 0;
    if (device_position != nullptr) *device_position = 0;
    if (qpc_position != nullptr) *qpc_position = 0;
    CallScope call(state(), "IAudioCaptureClient::GetBuffer", stream_->device_id);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (data == nullptr || frames == nullptr || flags == nullptr) return call.Return(E_POINTER);
    if (stream_->capture_held) return call.Return(AUDCLNT_E_OUT_OF_ORDER);
    if (stream_->packets.empty()) return call.Return(AUDCLNT_S_BUFFER_EMPTY);
    CapturePacket& packet = stream_->packets.front();
    *data = packet.data.data();
    *frames = packet.frames;
    *flags = packet.flags;
    if (device_position != nullptr) *device_position = packet.position;
    if (qpc_position != nullptr) {
      *qpc_position = static_cast<UINT64>(call.state().PacketQpc(packet));
    }
    stream_->capture_held = true;
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    CallScope call(state(), "IAudioCaptureClient::ReleaseBuffer", stream_->device_id);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (!stream_->capture_held) return call.Return(AUDCLNT_E_OUT_OF_ORDER);
    // A packet is given back whole or not at all.
    const uint32_t held = stream_->packets.front().frames;
    if (frames != 0 && frames != held) return call.Return(AUDCLNT_E_INVALID_SIZE);
    stream_->capture_held = false;
    if (frames == held) stream_->packets.pop_front();
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    if (frames != nullptr) *frames = 0;
    CallScope call(state(), "IAudioCaptureClient::GetNextPacketSize", stream_->device_id);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (frames == nullptr) return call.Return(E_POINTER);
    if (!stream_->packets.empty()) *frames = stream_->packets.front().frames;
    return call.Return(S_OK);
  }

 private:
  bool Gone(CallScope& call) const {
    return call.state().Invalidated(stream_->device_id, stream_->incarnation);
  }

  platform::ComPtr<IAudioClient> client_;
  const std::shared_ptr<StreamState> stream_;  // fields guarded by the system mutex
};

class RenderClient final : public ComObject<IAudioRenderClient> {
 public:
  RenderClient(std::shared_ptr<SystemState> state, IAudioClient* client,
               std::shared_ptr<StreamState> stream)
      : ComObject(std::move(state), ObjectKind::kRenderClient, platform::kIidIAudioRenderClient),
        stream_(std::move(stream)) {
    client_.Assign(client);
  }

  HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) override {
    if (data != nullptr) *data = nullptr;
    CallScope call(state(), "IAudioRenderClient::GetBuffer", stream_->device_id);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (data == nullptr) return call.Return(E_POINTER);
    StreamState& stream = *stream_;
    if (stream.render_held) return call.Return(AUDCLNT_E_OUT_OF_ORDER);
    if (frames > stream.internal_frames - stream.padding) {
      return call.Return(AUDCLNT_E_BUFFER_TOO_LARGE);
    }
    // An event-driven exclusive stream moves whole buffers only.
    const bool event_driven = (stream.stream_flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
    if (stream.exclusive && event_driven && frames != 0 && frames != stream.internal_frames) {
      return call.Return(AUDCLNT_E_BUFFER_SIZE_ERROR);
    }
    if (frames == 0) return call.Return(S_OK);
    const size_t bytes = static_cast<size_t>(frames) * stream.format.BlockAlign();
    std::memset(stream.render_buffer.data(), kUnwrittenByte, bytes);
    *data = stream.render_buffer.data();
    stream.render_held = true;
    stream.render_requested = frames;
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) override {
    CallScope call(state(), "IAudioRenderClient::ReleaseBuffer", stream_->device_id);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    StreamState& stream = *stream_;
    if (!stream.render_held) {
      return call.Return(frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER);
    }
    if (frames > stream.render_requested) return call.Return(AUDCLNT_E_INVALID_SIZE);
    stream.render_held = false;
    call.state().RecordRender(stream, stream.render_buffer.data(), frames, flags);
    stream.padding += frames;
    return call.Return(S_OK);
  }

 private:
  bool Gone(CallScope& call) const {
    return call.state().Invalidated(stream_->device_id, stream_->incarnation);
  }

  platform::ComPtr<IAudioClient> client_;
  const std::shared_ptr<StreamState> stream_;  // fields guarded by the system mutex
};

// Shared streams count their position in bytes and exclusive ones in frames, as many drivers
// do, so a caller that skips GetFrequency is caught.
class AudioClock final : public ComObject<IAudioClock> {
 public:
  AudioClock(std::shared_ptr<SystemState> state, IAudioClient* client,
             std::shared_ptr<StreamState> stream)
      : ComObject(std::move(state), ObjectKind::kAudioClock, platform::kIidIAudioClock),
        stream_(std::move(stream)) {
    client_.Assign(client);
  }

  HRESULT STDMETHODCALLTYPE GetFrequency(UINT64* frequency) override {
    if (frequency != nullptr) *frequency = 0;
    CallScope call(state(), "IAudioClock::GetFrequency", stream_->device_id);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (frequency == nullptr) return call.Return(E_POINTER);
    *frequency = static_cast<UINT64>(stream_->format.rate) * UnitsPerFrame();
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetPosition(UINT64* position, UINT64* qpc_position) override {
    if (position != nullptr) *position = 0;
    if (qpc_position != nullptr) *qpc_position = 0;
    CallScope call(state(), "IAudioClock::GetPosition", stream_->device_id);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (position == nullptr) return call.Return(E_POINTER);
    SystemState& system = call.state();
    *position = system.DevicePosition(*stream_) * UnitsPerFrame();
    if (qpc_position != nullptr) {
      *qpc_position = static_cast<UINT64>(system.ReadingQpc(*stream_));
    }
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetCharacteristics(DWORD* characteristics) override {
    if (characteristics != nullptr) *characteristics = 0;
    CallScope call(state(), "IAudioClock::GetCharacteristics", stream_->device_id);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (characteristics == nullptr) return call.Return(E_POINTER);
    return call.Return(S_OK);
  }

 private:
  uint64_t UnitsPerFrame() const { return stream_->exclusive ? 1 : stream_->format.BlockAlign(); }
  bool Gone(CallScope& call) const {
    return call.state().Invalidated(stream_->device_id, stream_->incarnation);
  }

  platform::ComPtr<IAudioClient> client_;
  const std::shared_ptr<StreamState> stream_;  // fields guarded by the system mutex
};

class AudioClient final : public ComObject<IAudioClient3> {
 public:
  AudioClient(std::shared_ptr<SystemState> state, std::wstring device, uint64_t incarnation)
      : ComObject(std::move(state), ObjectKind::kAudioClient, platform::kIidIAudioClient),
        device_(std::move(device)),
        incarnation_(incarnation) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object != nullptr &&
        (riid == platform::kIidIAudioClient2 || riid == platform::kIidIAudioClient3)) {
      bool answers = false;
      {
        std::lock_guard<std::mutex> lock(state().mutex());
        const DeviceRecord* device = state().FindDevice(device_);
        answers = device != nullptr && AudioClientAnswers(device->config, riid);
      }
      *object = answers ? static_cast<IAudioClient3*>(this) : nullptr;
      if (!answers) return E_NOINTERFACE;
      AddRef();
      return S_OK;
    }
    return ComObject::QueryInterface(riid, object);
  }

  ~AudioClient() override {
    if (!stream_) return;
    std::lock_guard<std::mutex> lock(state().mutex());
    state().RemoveStream(stream_.get());
    if (stream_->flow == eRender) state().SaveRecording(device_);
  }

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE share_mode, DWORD stream_flags,
                                       REFERENCE_TIME duration, REFERENCE_TIME periodicity,
                                       const WAVEFORMATEX* format,
                                       LPCGUID /*audio_session_guid*/) override {
    TakeOpenTime();
    CallScope call(state(), "IAudioClient::Initialize", device_);
    CallRecord& record = call.record();
    record.share_mode = share_mode;
    record.stream_flags = stream_flags;
    record.duration = duration;
    record.periodicity = periodicity;
    Format parsed;
    RecordFormat(format, &record, &parsed);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    return call.Return(InitializeLocked(call.state(), share_mode, stream_flags, duration,
                                        periodicity, format, parsed));
  }

  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    if (frames != nullptr) *frames = 0;
    CallScope call(state(), "IAudioClient::GetBufferSize", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (frames == nullptr) return call.Return(E_POINTER);
    if (!stream_) {
      // After a refused unaligned size the client still tells the aligned one.
      if (aligned_frames_ == 0) return call.Return(AUDCLNT_E_NOT_INITIALIZED);
      *frames = aligned_frames_;
      return call.Return(S_OK);
    }
    *frames = stream_->buffer_frames;
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override {
    if (latency != nullptr) *latency = 0;
    CallScope call(state(), "IAudioClient::GetStreamLatency", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (latency == nullptr) return call.Return(E_POINTER);
    if (!stream_) return call.Return(AUDCLNT_E_NOT_INITIALIZED);
    *latency = stream_->period;
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
    if (frames != nullptr) *frames = 0;
    CallScope call(state(), "IAudioClient::GetCurrentPadding", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (frames == nullptr) return call.Return(E_POINTER);
    if (!stream_) return call.Return(AUDCLNT_E_NOT_INITIALIZED);
    if (stream_->flow == eRender) {
      *frames = stream_->padding;
    } else {
      uint32_t queued = 0;
      for (const CapturePacket& packet : stream_->packets) queued += packet.frames;
      *frames = queued;
    }
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE share_mode,
                                              const WAVEFORMATEX* format,
                                              WAVEFORMATEX** closest_match) override {
    if (closest_match != nullptr) *closest_match = nullptr;
    CallScope call(state(), "IAudioClient::IsFormatSupported", device_);
    CallRecord& record = call.record();
    record.share_mode = share_mode;
    Format parsed;
    const bool readable = RecordFormat(format, &record, &parsed);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (format == nullptr) return call.Return(E_POINTER);
    const DeviceRecord* device = call.state().FindDevice(device_);
    if (device == nullptr || !device->config.active) {
      return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    }
    const DeviceConfig& config = device->config;
    const bool consistent = readable && IsConsistentWaveFormat(format);
    if (share_mode == AUDCLNT_SHAREMODE_EXCLUSIVE) {
      if (config.exclusive_not_allowed) return call.Return(AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED);
      if (config.held_exclusively || call.state().LiveStreams(device_, true) > 0) {
        return call.Return(AUDCLNT_E_DEVICE_IN_USE);
      }
      if (!consistent || !Accepts(config, parsed)) {
        return call.Return(AUDCLNT_E_UNSUPPORTED_FORMAT);
      }
      return call.Return(S_OK);
    }
    if (share_mode != AUDCLNT_SHAREMODE_SHARED) return call.Return(E_INVALIDARG);
    if (!consistent) return call.Return(AUDCLNT_E_UNSUPPORTED_FORMAT);
    if (parsed == config.mix_format) return call.Return(S_OK);
    if (closest_match == nullptr) return call.Return(AUDCLNT_E_UNSUPPORTED_FORMAT);
    *closest_match = NewMixFormat(config);
    return call.Return(*closest_match == nullptr ? E_OUTOFMEMORY : S_FALSE);
  }

  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
    if (format != nullptr) *format = nullptr;
    CallScope call(state(), "IAudioClient::GetMixFormat", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (format == nullptr) return call.Return(E_POINTER);
    const DeviceRecord* device = call.state().FindDevice(device_);
    if (device == nullptr || !device->config.active) {
      return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    }
    *format = NewMixFormat(device->config);
    return call.Return(*format == nullptr ? E_OUTOFMEMORY : S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* default_period,
                                            REFERENCE_TIME* minimum_period) override {
    if (default_period != nullptr) *default_period = 0;
    if (minimum_period != nullptr) *minimum_period = 0;
    CallScope call(state(), "IAudioClient::GetDevicePeriod", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (default_period == nullptr && minimum_period == nullptr) return call.Return(E_POINTER);
    const DeviceRecord* device = call.state().FindDevice(device_);
    if (device == nullptr) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (default_period != nullptr) *default_period = device->config.default_period;
    if (minimum_period != nullptr) *minimum_period = device->config.minimum_period;
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE Start() override {
    CallScope call(state(), "IAudioClient::Start", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (!stream_) return call.Return(AUDCLNT_E_NOT_INITIALIZED);
    if (stream_->started) return call.Return(AUDCLNT_E_NOT_STOPPED);
    if ((stream_->stream_flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0 &&
        stream_->event == nullptr) {
      return call.Return(AUDCLNT_E_EVENTHANDLE_NOT_SET);
    }
    call.state().StartStream(stream_.get());
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE Stop() override {
    CallScope call(state(), "IAudioClient::Stop", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (!stream_) return call.Return(AUDCLNT_E_NOT_INITIALIZED);
    if (!stream_->started) return call.Return(S_FALSE);
    call.state().StopStream(stream_.get());
    if (stream_->flow == eRender) call.state().SaveRecording(device_);
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    CallScope call(state(), "IAudioClient::Reset", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (!stream_) return call.Return(AUDCLNT_E_NOT_INITIALIZED);
    if (stream_->started) return call.Return(AUDCLNT_E_NOT_STOPPED);
    if (stream_->capture_held || stream_->render_held) {
      return call.Return(AUDCLNT_E_BUFFER_OPERATION_PENDING);
    }
    stream_->packets.clear();
    stream_->padding = 0;
    stream_->device_frames = 0;
    stream_->playing_frames = 0;
    stream_->uncounted_frames = 0;
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
    CallScope call(state(), "IAudioClient::SetEventHandle", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (!stream_) return call.Return(AUDCLNT_E_NOT_INITIALIZED);
    if ((stream_->stream_flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) == 0) {
      return call.Return(kEventHandleNotExpected);
    }
    if (event == nullptr) return call.Return(E_INVALIDARG);
    stream_->event = event;
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
    if (service != nullptr) *service = nullptr;
    CallScope call(state(), "IAudioClient::GetService", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (service == nullptr) return call.Return(E_POINTER);
    if (!stream_) return call.Return(AUDCLNT_E_NOT_INITIALIZED);
    if (riid == platform::kIidIAudioCaptureClient && stream_->flow == eCapture) {
      *service =
          static_cast<IAudioCaptureClient*>(new CaptureClient(shared_state(), this, stream_));
      return call.Return(S_OK);
    }
    if (riid == platform::kIidIAudioRenderClient && stream_->flow == eRender) {
      *service = static_cast<IAudioRenderClient*>(new RenderClient(shared_state(), this, stream_));
      return call.Return(S_OK);
    }
    if (riid == platform::kIidIAudioClock) {
      *service = static_cast<IAudioClock*>(new AudioClock(shared_state(), this, stream_));
      return call.Return(S_OK);
    }
    return call.Return(E_NOINTERFACE);
  }

  // ---- IAudioClient2 ----

  HRESULT STDMETHODCALLTYPE IsOffloadCapable(AUDIO_STREAM_CATEGORY, BOOL* capable) override {
    if (capable != nullptr) *capable = FALSE;
    CallScope call(state(), "IAudioClient2::IsOffloadCapable", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (capable == nullptr) return call.Return(E_POINTER);
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE SetClientProperties(const AudioClientProperties* properties) override {
    CallScope call(state(), "IAudioClient2::SetClientProperties", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (properties == nullptr) return call.Return(E_POINTER);
    if (properties->cbSize != sizeof(AudioClientProperties)) return call.Return(E_INVALIDARG);
    if (stream_) return call.Return(AUDCLNT_E_ALREADY_INITIALIZED);
    if (properties->bIsOffload) return call.Return(AUDCLNT_E_ENDPOINT_OFFLOAD_NOT_CAPABLE);
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetBufferSizeLimits(const WAVEFORMATEX* format, BOOL,
                                                REFERENCE_TIME* min_duration,
                                                REFERENCE_TIME* max_duration) override {
    if (min_duration != nullptr) *min_duration = 0;
    if (max_duration != nullptr) *max_duration = 0;
    CallScope call(state(), "IAudioClient2::GetBufferSizeLimits", device_);
    Format parsed;
    const bool readable = RecordFormat(format, &call.record(), &parsed);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (format == nullptr || min_duration == nullptr || max_duration == nullptr) {
      return call.Return(E_POINTER);
    }
    const DeviceRecord* device = call.state().FindDevice(device_);
    if (device == nullptr) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    const DeviceConfig& config = device->config;
    if (!readable || !IsConsistentWaveFormat(format) ||
        (parsed != config.mix_format && !Accepts(config, parsed))) {
      return call.Return(AUDCLNT_E_UNSUPPORTED_FORMAT);
    }
    *min_duration = config.minimum_period;
    *max_duration = kMaxExclusiveDuration;
    return call.Return(S_OK);
  }

  // ---- IAudioClient3 ----

  HRESULT STDMETHODCALLTYPE GetSharedModeEnginePeriod(const WAVEFORMATEX* format,
                                                      UINT32* default_frames,
                                                      UINT32* fundamental_frames,
                                                      UINT32* min_frames,
                                                      UINT32* max_frames) override {
    for (UINT32* out : {default_frames, fundamental_frames, min_frames, max_frames}) {
      if (out != nullptr) *out = 0;
    }
    CallScope call(state(), "IAudioClient3::GetSharedModeEnginePeriod", device_);
    Format parsed;
    const bool readable = RecordFormat(format, &call.record(), &parsed);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    const DeviceRecord* device = call.state().FindDevice(device_);
    if (device == nullptr) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (NotImplemented(*device)) return call.Return(E_NOTIMPL);
    if (format == nullptr || default_frames == nullptr || fundamental_frames == nullptr ||
        min_frames == nullptr || max_frames == nullptr) {
      return call.Return(E_POINTER);
    }
    if (!readable || !IsConsistentWaveFormat(format) || parsed != device->config.mix_format) {
      return call.Return(AUDCLNT_E_UNSUPPORTED_FORMAT);
    }
    const EngineLimits limits = Limits(device->config);
    *default_frames = limits.default_frames;
    *fundamental_frames = limits.fundamental;
    *min_frames = limits.minimum;
    *max_frames = limits.maximum;
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE GetCurrentSharedModeEnginePeriod(WAVEFORMATEX** format,
                                                             UINT32* period_frames) override {
    if (format != nullptr) *format = nullptr;
    if (period_frames != nullptr) *period_frames = 0;
    CallScope call(state(), "IAudioClient3::GetCurrentSharedModeEnginePeriod", device_);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    const DeviceRecord* device = call.state().FindDevice(device_);
    if (device == nullptr) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    if (NotImplemented(*device)) return call.Return(E_NOTIMPL);
    if (format == nullptr || period_frames == nullptr) return call.Return(E_POINTER);
    *format = NewMixFormat(device->config);
    if (*format == nullptr) return call.Return(E_OUTOFMEMORY);
    *period_frames = call.state().EnginePeriod(*device);
    return call.Return(S_OK);
  }

  HRESULT STDMETHODCALLTYPE InitializeSharedAudioStream(DWORD stream_flags, UINT32 period_frames,
                                                        const WAVEFORMATEX* format,
                                                        LPCGUID /*audio_session_guid*/) override {
    TakeOpenTime();
    CallScope call(state(), "IAudioClient3::InitializeSharedAudioStream", device_);
    CallRecord& record = call.record();
    record.share_mode = AUDCLNT_SHAREMODE_SHARED;
    record.stream_flags = stream_flags;
    record.period_frames = period_frames;
    Format parsed;
    RecordFormat(format, &record, &parsed);
    HRESULT hr;
    if (call.Injected(&hr)) return call.Return(hr);
    if (Gone(call)) return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    SystemState& system = call.state();
    DeviceRecord* device = system.FindDevice(device_);
    if (device == nullptr || !device->config.active) {
      return call.Return(AUDCLNT_E_DEVICE_INVALIDATED);
    }
    if (NotImplemented(*device)) return call.Return(E_NOTIMPL);
    if (stream_ || aligned_frames_ != 0) return call.Return(AUDCLNT_E_ALREADY_INITIALIZED);
    if (format == nullptr) return call.Return(E_POINTER);
    // Real machines refuse the conversion flag here, though plain Initialize takes it.
    if ((stream_flags & AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM) != 0) {
      return call.Return(AUDCLNT_E_INVALID_STREAM_FLAG);
    }
    const DeviceConfig& config = device->config;
    if (config.held_exclusively || system.LiveStreams(device_, true) > 0) {
      return call.Return(AUDCLNT_E_DEVICE_IN_USE);
    }
    if (!IsUsableFormat(parsed) || !IsConsistentWaveFormat(format) || parsed != config.mix_format) {
      return call.Return(AUDCLNT_E_UNSUPPORTED_FORMAT);
    }
    const EngineLimits limits = Limits(config);
    if (period_frames < limits.minimum || period_frames > limits.maximum ||
        period_frames % limits.fundamental != 0) {
      return call.Return(E_INVALIDARG);
    }
    const uint32_t current = system.EnginePeriod(*device);
    if (period_frames != current && current != limits.default_frames) {
      return call.Return(AUDCLNT_E_ENGINE_PERIODICITY_LOCKED);
    }
    const HRESULT made =
        InitializeLocked(system, AUDCLNT_SHAREMODE_SHARED, stream_flags, 0, 0, format, parsed);
    if (FAILED(made)) return call.Return(made);
    if (period_frames != limits.default_frames) {
      stream_->engine_period_hold = period_frames;
      system.ApplyEnginePeriod(device_);
    }
    // The engine double-buffers a small period: the buffer is two periods.
    stream_->internal_frames = 2 * stream_->period_frames;
    stream_->buffer_frames = config.zero_buffer ? 0 : stream_->internal_frames;
    if (config.flow == eRender) {
      stream_->render_buffer.resize(static_cast<size_t>(stream_->internal_frames) *
                                    parsed.BlockAlign());
    }
    return call.Return(S_OK);
  }

 private:
  struct EngineLimits {
    uint32_t default_frames, fundamental, minimum, maximum;
  };

  static EngineLimits Limits(const DeviceConfig& config) {
    EngineLimits limits;
    limits.default_frames = SystemState::DefaultEnginePeriod(config);
    limits.fundamental = std::max<uint32_t>(1, config.engine_fundamental_frames);
    limits.minimum = std::min(config.engine_minimum_frames, limits.default_frames);
    limits.maximum = config.engine_maximum_frames != 0
                         ? std::max(config.engine_maximum_frames, limits.default_frames)
                         : limits.default_frames;
    return limits;
  }

  // Before the call takes the system lock, so the clock plays on while a real-time caller waits.
  void TakeOpenTime() {
    const auto until = std::chrono::steady_clock::now() + state().TakeOpenTime(device_);
    while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
  }

  static bool NotImplemented(const DeviceRecord& device) {
    return device.config.audio_client3 == AudioClient3Support::kNotImplemented;
  }

  static WAVEFORMATEX* NewMixFormat(const DeviceConfig& config) {
    auto* mix = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (mix != nullptr) *mix = MakeWaveFormat(config.mix_format);
    return mix == nullptr ? nullptr : &mix->Format;
  }

  HRESULT InitializeLocked(SystemState& state, AUDCLNT_SHAREMODE share_mode, DWORD stream_flags,
                           REFERENCE_TIME duration, REFERENCE_TIME periodicity,
                           const WAVEFORMATEX* format, const Format& parsed) {
    // A client that was refused an unaligned size must be replaced, as on Windows.
    if (stream_ || aligned_frames_ != 0) return AUDCLNT_E_ALREADY_INITIALIZED;
    if (format == nullptr) return E_POINTER;
    DeviceRecord* device = state.FindDevice(device_);
    if (device == nullptr || !device->config.active) return AUDCLNT_E_DEVICE_INVALIDATED;
    const DeviceConfig& config = device->config;
    // A record that disagrees with itself is no format at all, whatever the share mode.
    const bool consistent = IsUsableFormat(parsed) && IsConsistentWaveFormat(format);
    auto stream = std::make_shared<StreamState>();
    stream->device_id = device_;
    stream->flow = config.flow;
    stream->format = parsed;
    stream->stream_flags = stream_flags;
    stream->incarnation = incarnation_;
    stream->clock_ppm = config.clock_ppm;
    stream->late_start = config.flow == eRender && config.position_late_start;
    const bool event_driven = (stream_flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
    uint32_t frames = 0;
    if (share_mode == AUDCLNT_SHAREMODE_EXCLUSIVE) {
      if (config.exclusive_not_allowed) return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
      if (config.held_exclusively || state.LiveStreams(device_, false) > 0) {
        return AUDCLNT_E_DEVICE_IN_USE;
      }
      if (!consistent || !Accepts(config, parsed)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
      if (event_driven && periodicity != duration) return kPeriodNotEqual;
      const REFERENCE_TIME period = duration == 0 ? config.default_period : duration;
      if (period <= 0 || (config.minimum_period > 0 && period < config.minimum_period)) {
        return AUDCLNT_E_INVALID_DEVICE_PERIOD;
      }
      if (period > kMaxExclusiveDuration) return AUDCLNT_E_BUFFER_SIZE_ERROR;
      frames = DurationFrames(period, parsed.rate);
      if (frames == 0) return AUDCLNT_E_BUFFER_SIZE_ERROR;
      const uint32_t alignment = config.buffer_alignment_frames;
      if (alignment != 0 && frames % alignment != 0) {
        aligned_frames_ = (frames / alignment + 1) * alignment;
        return AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED;
      }
      stream->exclusive = true;
      stream->period = period;
      stream->period_frames = frames;
      // The hardware signals every `frames` frames of its own clock; the duration asked for is
      // only rounded to them.
      stream->period_length = static_cast<double>(frames) * 1e7 / parsed.rate;
    } else if (share_mode == AUDCLNT_SHAREMODE_SHARED) {
      if (config.held_exclusively || state.LiveStreams(device_, true) > 0) {
        return AUDCLNT_E_DEVICE_IN_USE;
      }
      if (!consistent || parsed != config.mix_format) return AUDCLNT_E_UNSUPPORTED_FORMAT;
      state.SetStreamPeriod(*stream, state.EnginePeriod(*device));
      frames = std::max(config.shared_buffer_frames, DurationFrames(duration, parsed.rate));
      frames = std::max(frames, stream->period_frames);
    } else {
      return E_INVALIDARG;
    }
    stream->stepped_position =
        !stream->exclusive && config.position_movement == PositionMovement::kStepped;
    stream->internal_frames = frames;
    stream->buffer_frames = config.zero_buffer ? 0 : frames;
    if (config.flow == eRender) {
      stream->render_buffer.resize(static_cast<size_t>(frames) * parsed.BlockAlign());
    } else {
      stream->source = config.source;
      if (stream->source.kind == CaptureSource::Kind::kWav) {
        stream->wav_samples = LoadWavChannel(stream->source.wav_path);
      }
    }
    stream_ = stream;
    state.AddStream(stream);
    if (config.flow == eRender) state.BeginRecording(*stream);
    return S_OK;
  }

  bool Gone(CallScope& call) const { return call.state().Invalidated(device_, incarnation_); }

  const std::wstring device_;
  const uint64_t incarnation_;           // of the device at activation
  std::shared_ptr<StreamState> stream_;  // set once by Initialize; fields guarded by the mutex
  uint32_t aligned_frames_ = 0;          // set by a refused unaligned Initialize
};

}  // namespace

bool AudioClientAnswers(const DeviceConfig& config, REFIID iid) {
  if (iid == platform::kIidIAudioClient) return true;
  return (iid == platform::kIidIAudioClient2 || iid == platform::kIidIAudioClient3) &&
         config.audio_client3 != AudioClient3Support::kMissing;
}

IAudioClient* NewAudioClient(std::shared_ptr<SystemState> state, const std::wstring& device_id,
                             uint64_t incarnation) {
  return new AudioClient(std::move(state), device_id, incarnation);
}

}  // namespace virtual_audio
