#include "guitar/audio_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "guitar/engine_log.h"
#include "platform/audio_guids.h"

namespace tonelark {
namespace {

constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;  // 100 ns units
constexpr REFERENCE_TIME kMinimumDuration = 100000;   // 10 ms floor for exclusive buffers
constexpr REFERENCE_TIME kFallbackPeriod = 100000;    // a shared stream whose period is unknown

thread_local bool quiet_failures = false;

struct CoTaskMemDeleter {
  void operator()(WAVEFORMATEX* format) const { CoTaskMemFree(format); }
};
using MixFormatPtr = std::unique_ptr<WAVEFORMATEX, CoTaskMemDeleter>;

HRESULT ActivateClient(IMMDevice* device, platform::ComPtr<IAudioClient>* client) {
  return device->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                          client->ReleaseAndGetVoidAddress());
}

HRESULT InitializeExclusive(IAudioClient* client, const WAVEFORMATEXTENSIBLE& format,
                            REFERENCE_TIME duration) {
  return client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                            duration, duration, &format.Format, nullptr);
}

// The duration a device asks for after refusing an unaligned one: its aligned buffer length.
REFERENCE_TIME AlignedDuration(UINT32 frames, DWORD sample_rate) {
  if (sample_rate == 0) return 0;
  return static_cast<REFERENCE_TIME>(static_cast<double>(frames) * kUnitsPerSecond / sample_rate +
                                     0.5);
}

UINT32 PeriodFrames(REFERENCE_TIME period, int32_t sample_rate) {
  return static_cast<UINT32>(static_cast<double>(period) * sample_rate / kUnitsPerSecond + 0.5);
}

StreamInfo InfoFromFormat(const WAVEFORMATEX& format, bool exclusive) {
  StreamInfo info;
  info.sample_rate = static_cast<int32_t>(format.nSamplesPerSec);
  info.channels = format.nChannels;
  info.block_align = format.nBlockAlign;
  info.is_float = IsFloatFormat(format);
  info.exclusive = exclusive;
  return info;
}

}  // namespace

bool IsFloatFormat(const WAVEFORMATEX& format) {
  if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
  if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || format.cbSize < 22) return false;
  // cbSize vouches for the extensible tail; copy the sub-format out rather than reinterpret the
  // record, which may be a plain WAVEFORMATEX-sized allocation in the caller's eyes.
  GUID sub_format;
  std::memcpy(&sub_format,
              reinterpret_cast<const BYTE*>(&format) + offsetof(WAVEFORMATEXTENSIBLE, SubFormat),
              sizeof(sub_format));
  return IsEqualGUID(sub_format, platform::kSubtypeIeeeFloat);
}

ExclusiveDurations ExclusiveDurationsFor(REFERENCE_TIME default_period,
                                         REFERENCE_TIME minimum_period, bool low_latency,
                                         REFERENCE_TIME preferred) {
  ExclusiveDurations durations;
  const auto add = [&durations](REFERENCE_TIME value) {
    durations.values[durations.count++] = value;
  };
  if (low_latency) {
    if (preferred > 0) add(preferred > minimum_period ? preferred : minimum_period);
    if (minimum_period > 0) add(minimum_period);
  }
  const REFERENCE_TIME d1 = minimum_period > kMinimumDuration ? minimum_period : kMinimumDuration;
  add(d1);
  add(default_period > 0 ? default_period : d1);
  add(minimum_period > 0 ? minimum_period : d1);
  return durations;
}

QuietFailures::QuietFailures() : was_quiet_(quiet_failures) { quiet_failures = true; }

QuietFailures::~QuietFailures() { quiet_failures = was_quiet_; }

void LogFailure(const char* step, HRESULT code) {
  if (quiet_failures) return;
  char line[160];
  std::snprintf(line, sizeof(line), "Tonelark %s failed 0x%08lx\n", step,
                static_cast<unsigned long>(static_cast<uint32_t>(code)));
  EngineLog::Write(line);
}

void AudioStream::Close() {
  engine_period = 0;
  clock.Reset();
  clock_frequency = 0;
  next_frame = 0;
  fed = false;
  heard_clock.Reset();
  client.Reset();
  event.Reset();
  started = false;
}

bool AudioStream::Attach(platform::ComPtr<IAudioClient> new_client, const StreamInfo& new_info) {
  platform::ScopedHandle new_event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!new_event) return false;
  if (FAILED(new_client->SetEventHandle(new_event.Get()))) return false;
  UINT32 frames = 0;
  new_client->GetBufferSize(&frames);
  // A client without a buffer is useless, and keeping it would hold the device in exclusive mode
  // so that the next duration could never open: let it go here.
  if (frames == 0) return false;
  client = std::move(new_client);
  event = std::move(new_event);
  info = new_info;
  buffer_frames = frames;
  period_frames = frames;
  if (!info.exclusive) {
    REFERENCE_TIME default_period = 0;
    REFERENCE_TIME minimum_period = 0;
    if (FAILED(client->GetDevicePeriod(&default_period, &minimum_period)) || default_period <= 0) {
      default_period = kFallbackPeriod;
    }
    period_frames = std::min(PeriodFrames(default_period, info.sample_rate), frames);
  }
  started = false;
  return true;
}

bool AudioStream::OpenExclusive(IMMDevice* device, const WAVEFORMATEXTENSIBLE& format,
                                REFERENCE_TIME duration) {
  platform::ComPtr<IAudioClient> new_client;
  if (FAILED(ActivateClient(device, &new_client))) return false;
  HRESULT hr = InitializeExclusive(new_client.Get(), format, duration);
  if (hr == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
    UINT32 frames = 0;
    if (FAILED(new_client->GetBufferSize(&frames))) frames = 0;
    new_client.Reset();
    if (FAILED(ActivateClient(device, &new_client))) return false;
    const REFERENCE_TIME aligned = AlignedDuration(frames, format.Format.nSamplesPerSec);
    hr = InitializeExclusive(new_client.Get(), format, aligned);
  }
  if (FAILED(hr)) return false;
  return Attach(std::move(new_client), InfoFromFormat(format.Format, true));
}

bool AudioStream::TryExclusive(IMMDevice* device, const WAVEFORMATEXTENSIBLE& format,
                               bool low_latency, REFERENCE_TIME preferred) {
  Close();
  platform::ComPtr<IAudioClient> probe;
  if (FAILED(ActivateClient(device, &probe))) return false;
  if (probe->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &format.Format, nullptr) != S_OK) {
    return false;
  }
  REFERENCE_TIME default_period = 0;
  REFERENCE_TIME minimum_period = 0;
  probe->GetDevicePeriod(&default_period, &minimum_period);
  const ExclusiveDurations durations =
      ExclusiveDurationsFor(default_period, minimum_period, low_latency, preferred);
  for (int i = 0; i < durations.count; ++i) {
    if (OpenExclusive(device, format, durations.values[i])) return true;
  }
  return false;
}

bool AudioStream::OpenShared(IMMDevice* device, const char* step) {
  Close();
  platform::ComPtr<IAudioClient> new_client;
  if (FAILED(ActivateClient(device, &new_client))) return false;
  WAVEFORMATEX* raw_format = nullptr;
  const HRESULT mix_result = new_client->GetMixFormat(&raw_format);
  MixFormatPtr mix_format(raw_format);
  if (FAILED(mix_result) || !mix_format) return false;
  const HRESULT hr = new_client->Initialize(
      AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0, mix_format.get(), nullptr);
  if (FAILED(hr)) {
    LogFailure(step, hr);
    return false;
  }
  if (!Attach(std::move(new_client), InfoFromFormat(*mix_format, false))) return false;
  // While another stream holds the engine at a smaller period, this one runs at it too.
  platform::ComPtr<IAudioClient3> client3;
  UINT32 current = 0;
  WAVEFORMATEX* raw_current = nullptr;
  if (SUCCEEDED(client->QueryInterface(platform::kIidIAudioClient3,
                                       client3.ReleaseAndGetVoidAddress())) &&
      client3 && SUCCEEDED(client3->GetCurrentSharedModeEnginePeriod(&raw_current, &current))) {
    if (current > 0) period_frames = std::min(current, buffer_frames);
  }
  CoTaskMemFree(raw_current);
  return true;
}

bool AudioStream::OpenSharedLowLatency(IMMDevice* device, UINT32 floor_frames) {
  Close();
  platform::ComPtr<IAudioClient3> new_client;
  if (FAILED(device->Activate(platform::kIidIAudioClient3, CLSCTX_ALL, nullptr,
                              new_client.ReleaseAndGetVoidAddress())) ||
      !new_client) {
    return false;
  }
  WAVEFORMATEX* raw_format = nullptr;
  const HRESULT mix_result = new_client->GetMixFormat(&raw_format);
  MixFormatPtr mix_format(raw_format);
  if (FAILED(mix_result) || !mix_format) return false;
  UINT32 default_period = 0, fundamental = 0, minimum = 0, maximum = 0;
  if (FAILED(new_client->GetSharedModeEnginePeriod(mix_format.get(), &default_period, &fundamental,
                                                   &minimum, &maximum)) ||
      minimum == 0 || fundamental == 0) {
    return false;
  }
  UINT32 period = minimum;
  if (floor_frames > period) {
    period = (floor_frames + fundamental - 1) / fundamental * fundamental;
    if (maximum > 0 && period > maximum) period = maximum;
  }
  HRESULT hr = new_client->InitializeSharedAudioStream(AUDCLNT_STREAMFLAGS_EVENTCALLBACK, period,
                                                       mix_format.get(), nullptr);
  if (hr == AUDCLNT_E_ENGINE_PERIODICITY_LOCKED) {
    // Another program holds the engine at its period: take that one, on a fresh client.
    WAVEFORMATEX* raw_current = nullptr;
    UINT32 current = 0;
    const HRESULT asked = new_client->GetCurrentSharedModeEnginePeriod(&raw_current, &current);
    CoTaskMemFree(raw_current);
    if (FAILED(asked) || current == 0) return false;
    if (FAILED(device->Activate(platform::kIidIAudioClient3, CLSCTX_ALL, nullptr,
                                new_client.ReleaseAndGetVoidAddress())) ||
        !new_client) {
      return false;
    }
    period = current;
    hr = new_client->InitializeSharedAudioStream(AUDCLNT_STREAMFLAGS_EVENTCALLBACK, period,
                                                 mix_format.get(), nullptr);
  }
  if (FAILED(hr)) return false;
  platform::ComPtr<IAudioClient> plain;
  plain.Assign(new_client.Get());
  if (!Attach(std::move(plain), InfoFromFormat(*mix_format, false))) return false;
  period_frames = std::min(period, buffer_frames);
  engine_period = period;
  return true;
}

SampleLayout LayoutOf(const StreamInfo& info) {
  if (info.channels <= 0) return SampleLayout::kNone;
  const int32_t bytes = info.block_align / info.channels;
  if (info.is_float && bytes == 4) return SampleLayout::kFloat32;
  switch (bytes) {
    case 2:
      return SampleLayout::kInt16;
    case 3:
      return SampleLayout::kInt24;
    case 4:
      return SampleLayout::kInt32;
    default:
      return SampleLayout::kNone;
  }
}

}  // namespace tonelark
