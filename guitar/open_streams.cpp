#include "guitar/open_streams.h"

#include <cstdio>

#include "guitar/device_selection.h"
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

}  // namespace

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

bool OpenExclusiveCapture(Monitor& monitor, IMMDevice* device) {
  for (const WAVEFORMATEXTENSIBLE& candidate : CaptureCandidates()) {
    if (monitor.capture_.TryExclusive(device, candidate)) return true;
  }
  LogFailure("exclusive capture", E_FAIL);
  return false;
}

bool OpenRender(Monitor& monitor, IMMDevice* device) {
  for (const WAVEFORMATEXTENSIBLE& candidate :
       RenderCandidates(monitor.capture_.info.sample_rate)) {
    if (monitor.render_.TryExclusive(device, candidate)) return true;
  }
  return monitor.render_.OpenShared(device);
}

bool OpenStreams(Monitor& monitor) {
  platform::ComPtr<IMMDeviceEnumerator> enumerator;
  const HRESULT hr =
      CoCreateInstance(platform::kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                       platform::kIidIMMDeviceEnumerator, enumerator.ReleaseAndGetVoidAddress());
  if (FAILED(hr)) {
    LogFailure("enumerator", hr);
    return false;
  }
  if (!enumerator) return false;
  InputDevice input = FindInputDevice(enumerator.Get());
  if (!input.device) return false;
  monitor.device_name_ = input.name;
  if (!OpenExclusiveCapture(monitor, input.device.Get())) return false;
  platform::ComPtr<IMMDevice> output = FindOutputDevice(enumerator.Get(), input.is_irig);
  if (!output) return false;
  if (!OpenRender(monitor, output.Get())) return false;

  monitor.capture_client_.Reset();
  if (FAILED(monitor.capture_.client->GetService(
          platform::kIidIAudioCaptureClient, monitor.capture_client_.ReleaseAndGetVoidAddress())) ||
      !monitor.capture_client_) {
    return false;
  }
  monitor.render_client_.Reset();
  if (FAILED(monitor.render_.client->GetService(
          platform::kIidIAudioRenderClient, monitor.render_client_.ReleaseAndGetVoidAddress())) ||
      !monitor.render_client_) {
    return false;
  }

  char line[180];
  std::snprintf(line, sizeof(line), "Tonelark exclusive %d Hz capture, render %s %d Hz\n",
                static_cast<int>(monitor.capture_.info.sample_rate),
                monitor.render_.info.exclusive ? "exclusive" : "shared",
                static_cast<int>(monitor.render_.info.sample_rate));
  OutputDebugStringA(line);
  return true;
}

}  // namespace tonelark
