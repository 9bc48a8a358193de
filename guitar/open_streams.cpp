#include "guitar/open_streams.h"

#include <cstdio>

#include "guitar/device_selection.h"
#include "guitar/engine_log.h"
#include "platform/audio_guids.h"
#include "platform/com_ptr.h"

namespace tonelark {
namespace {

constexpr DWORD kStereoMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
constexpr DWORD kMonoMask = SPEAKER_FRONT_CENTER;
constexpr int32_t kDefaultRenderRate = 48000;

WAVEFORMATEXTENSIBLE MakeFormat(int32_t rate, WORD channels, WORD container_bits, WORD valid_bits,
                                DWORD channel_mask, const GUID& sub_format) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = channels;
  format.Format.nSamplesPerSec = static_cast<DWORD>(rate);
  format.Format.nBlockAlign = static_cast<WORD>(channels * container_bits / 8);
  format.Format.nAvgBytesPerSec = static_cast<DWORD>(rate) * format.Format.nBlockAlign;
  format.Format.wBitsPerSample = container_bits;
  format.Format.cbSize = 22;
  format.Samples.wValidBitsPerSample = valid_bits;
  format.dwChannelMask = channel_mask;
  format.SubFormat = sub_format;
  return format;
}

// The period floor a raised period sets, in frames of the device's mix rate; 0 when none.
UINT32 FloorFrames(const Monitor& monitor, IMMDevice* device) {
  if (monitor.period_floor_ <= 0) return 0;
  platform::ComPtr<IAudioClient> client;
  WAVEFORMATEX* raw_format = nullptr;
  UINT32 frames = 0;
  if (SUCCEEDED(device->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                                 client.ReleaseAndGetVoidAddress())) &&
      client && SUCCEEDED(client->GetMixFormat(&raw_format)) && raw_format != nullptr) {
    frames = static_cast<UINT32>(
        static_cast<double>(monitor.period_floor_) * raw_format->nSamplesPerSec / 10000000.0 + 0.5);
  }
  CoTaskMemFree(raw_format);
  return frames;
}

}  // namespace

void LogEnginePeriod(const AudioStream& stream) {
  if (stream.engine_period == 0) return;
  char line[80];
  std::snprintf(line, sizeof(line), "Tonelark shared engine period %u frames\n",
                static_cast<unsigned>(stream.engine_period));
  EngineLog::Write(line);
}

std::array<WAVEFORMATEXTENSIBLE, 4> CaptureCandidates() {
  const GUID& pcm = platform::kSubtypePcm;
  return {
      MakeFormat(48000, 1, 16, 16, kMonoMask, pcm), MakeFormat(48000, 2, 16, 16, kStereoMask, pcm),
      MakeFormat(44100, 1, 16, 16, kMonoMask, pcm), MakeFormat(44100, 2, 16, 16, kStereoMask, pcm)};
}

std::array<WAVEFORMATEXTENSIBLE, 4> RenderCandidates(int32_t rate) {
  if (rate <= 0) rate = kDefaultRenderRate;
  const GUID& pcm = platform::kSubtypePcm;
  return {MakeFormat(rate, 2, 16, 16, kStereoMask, pcm),
          MakeFormat(rate, 1, 16, 16, kMonoMask, pcm),
          MakeFormat(rate, 2, 24, 24, kStereoMask, pcm),
          MakeFormat(rate, 2, 32, 32, kStereoMask, platform::kSubtypeIeeeFloat)};
}

bool OpenExclusiveCapture(Monitor& monitor, IMMDevice* device, bool low_latency) {
  for (const WAVEFORMATEXTENSIBLE& candidate : CaptureCandidates()) {
    if (monitor.capture_.TryExclusive(device, candidate, low_latency, monitor.period_floor_)) {
      return true;
    }
  }
  LogFailure("exclusive capture", E_FAIL);
  return false;
}

bool OpenCapture(Monitor& monitor, IMMDevice* device) {
  const StartOptions& options = monitor.start_options_;
  if (!options.shared_capture) return OpenExclusiveCapture(monitor, device, options.low_latency);
  {
    // The fallback below answers a refusal; it is reported only when that fails too.
    QuietFailures quiet;
    if (OpenExclusiveCapture(monitor, device, options.low_latency)) return true;
  }
  if (options.low_latency &&
      monitor.capture_.OpenSharedLowLatency(device, FloorFrames(monitor, device))) {
    return true;
  }
  if (monitor.capture_.OpenShared(device, "shared capture init")) return true;
  LogFailure("exclusive capture", E_FAIL);
  return false;
}

bool OpenRender(Monitor& monitor, IMMDevice* device) {
  const AudioStream& capture = monitor.capture_;
  REFERENCE_TIME capture_period = 0;
  if (capture.info.sample_rate > 0) {
    capture_period = static_cast<REFERENCE_TIME>(
        static_cast<double>(capture.period_frames) * 10000000.0 / capture.info.sample_rate + 0.5);
  }
  const StartOptions& options = monitor.start_options_;
  // Exclusive mode first, unless other programs must stay audible.
  if (!options.share_speakers) {
    for (const WAVEFORMATEXTENSIBLE& candidate : RenderCandidates(capture.info.sample_rate)) {
      if (monitor.render_.TryExclusive(device, candidate, options.low_latency, capture_period)) {
        return true;
      }
    }
  }
  if (options.low_latency &&
      monitor.render_.OpenSharedLowLatency(device, FloorFrames(monitor, device))) {
    return true;
  }
  return monitor.render_.OpenShared(device);
}

bool OpenRenderService(Monitor& monitor) {
  AudioStream& render = monitor.render_;
  monitor.render_client_.Reset();
  if (FAILED(render.client->GetService(platform::kIidIAudioRenderClient,
                                       monitor.render_client_.ReleaseAndGetVoidAddress())) ||
      !monitor.render_client_) {
    return false;
  }
  // Without a clock the delay is estimated from the periods instead of measured.
  render.clock.Reset();
  render.clock_frequency = 0;
  render.next_frame = 0;
  render.fed = false;
  render.heard_clock.Reset();
  if (FAILED(render.client->GetService(platform::kIidIAudioClock,
                                       render.clock.ReleaseAndGetVoidAddress())) ||
      !render.clock || FAILED(render.clock->GetFrequency(&render.clock_frequency)) ||
      render.clock_frequency == 0) {
    render.clock.Reset();
  }
  return true;
}

bool OpenStreams(Monitor& monitor, std::string* name) {
  platform::ComPtr<IMMDeviceEnumerator> enumerator = monitor.enumerator_;
  if (!enumerator) {
    const HRESULT hr =
        CoCreateInstance(platform::kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                         platform::kIidIMMDeviceEnumerator, enumerator.ReleaseAndGetVoidAddress());
    if (FAILED(hr)) {
      LogFailure("enumerator", hr);
      return false;
    }
    if (!enumerator) return false;
  }
  InputDevice input = FindInputDevice(enumerator.Get());
  if (!input.device) return false;
  *(name != nullptr ? name : &monitor.device_name_) = input.name;
  monitor.capture_id_ = EndpointId(input.device.Get());
  monitor.capture_name_ = input.name;
  if (!OpenCapture(monitor, input.device.Get())) return false;
  platform::ComPtr<IMMDevice> output =
      FindOutputDevice(enumerator.Get(), input.is_irig, &monitor.render_follows_default_);
  if (!output) return false;
  monitor.render_id_ = EndpointId(output.Get());
  monitor.render_name_ = DisplayName(output.Get());
  if (!OpenRender(monitor, output.Get())) return false;

  monitor.capture_client_.Reset();
  if (FAILED(monitor.capture_.client->GetService(
          platform::kIidIAudioCaptureClient, monitor.capture_client_.ReleaseAndGetVoidAddress())) ||
      !monitor.capture_client_) {
    return false;
  }
  if (!OpenRenderService(monitor)) return false;

  char line[180];
  std::snprintf(line, sizeof(line), "Tonelark %s %d Hz capture, render %s %d Hz\n",
                monitor.capture_.info.exclusive ? "exclusive" : "shared",
                static_cast<int>(monitor.capture_.info.sample_rate),
                monitor.render_.info.exclusive ? "exclusive" : "shared",
                static_cast<int>(monitor.render_.info.sample_rate));
  EngineLog::Write(line);
  LogEnginePeriod(monitor.capture_);
  LogEnginePeriod(monitor.render_);
  return true;
}

}  // namespace tonelark
