#include "bench/passthrough/passthrough.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/audio_guids.h"

namespace passthrough {
namespace {

bool Fail(const char* step, HRESULT hr) {
  std::fprintf(stderr, "passthrough: %s failed: 0x%08lx\n", step,
               static_cast<unsigned long>(static_cast<DWORD>(hr)));
  return false;
}

HRESULT LastError() { return HRESULT_FROM_WIN32(GetLastError()); }

struct CoTaskMemDeleter {
  void operator()(void* memory) const { CoTaskMemFree(memory); }
};
using MixFormat = std::unique_ptr<WAVEFORMATEX, CoTaskMemDeleter>;

class PropVariantHolder {
 public:
  PropVariantHolder() { PropVariantInit(&value_); }
  PropVariantHolder(const PropVariantHolder&) = delete;
  PropVariantHolder& operator=(const PropVariantHolder&) = delete;
  ~PropVariantHolder() { PropVariantClear(&value_); }
  PROPVARIANT* get() { return &value_; }

 private:
  PROPVARIANT value_;
};

std::string FriendlyName(IMMDevice* device) {
  platform::ComPtr<IPropertyStore> store;
  PropVariantHolder name;
  if (FAILED(device->OpenPropertyStore(STGM_READ, store.ReleaseAndGetAddressOf())) || !store ||
      FAILED(store->GetValue(platform::kPkeyDeviceFriendlyName, name.get())) ||
      name.get()->vt != VT_LPWSTR || name.get()->pwszVal == nullptr) {
    return std::string();
  }
  const wchar_t* wide = name.get()->pwszVal;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], bytes, nullptr, nullptr);
  text.resize(static_cast<size_t>(bytes - 1));
  return text;
}

platform::ComPtr<IMMDevice> FindCapture(IMMDeviceEnumerator* enumerator, const std::string& name) {
  platform::ComPtr<IMMDeviceCollection> collection;
  const HRESULT hr = enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE,
                                                    collection.ReleaseAndGetAddressOf());
  UINT count = 0;
  if (FAILED(hr) || !collection || FAILED(collection->GetCount(&count))) {
    Fail("capture endpoint enumeration", FAILED(hr) ? hr : E_FAIL);
    return platform::ComPtr<IMMDevice>();
  }
  for (UINT index = 0; index < count; ++index) {
    platform::ComPtr<IMMDevice> endpoint;
    if (SUCCEEDED(collection->Item(index, endpoint.ReleaseAndGetAddressOf())) && endpoint &&
        FriendlyName(endpoint.Get()) == name) {
      return endpoint;
    }
  }
  std::fprintf(stderr, "passthrough: no active capture endpoint named \"%s\"\n", name.c_str());
  return platform::ComPtr<IMMDevice>();
}

bool LayoutOf(const WAVEFORMATEX& format, SampleLayout* layout) {
  bool is_float = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
  bool is_pcm = format.wFormatTag == WAVE_FORMAT_PCM;
  if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= 22) {
    // cbSize vouches for the extensible tail, which a WAVEFORMATEX pointer does not show.
    GUID sub_format;
    std::memcpy(&sub_format,
                reinterpret_cast<const BYTE*>(&format) + offsetof(WAVEFORMATEXTENSIBLE, SubFormat),
                sizeof(sub_format));
    is_float = IsEqualGUID(sub_format, platform::kSubtypeIeeeFloat) != 0;
    is_pcm = IsEqualGUID(sub_format, platform::kSubtypePcm) != 0;
  }
  const int32_t container_bytes = format.wBitsPerSample / 8;
  const bool supported =
      is_float ? container_bytes == 4 : is_pcm && container_bytes >= 2 && container_bytes <= 4;
  if (!supported || format.nChannels == 0 ||
      format.nBlockAlign < format.nChannels * container_bytes) {
    return false;
  }
  layout->sample_rate = static_cast<int32_t>(format.nSamplesPerSec);
  layout->channels = format.nChannels;
  layout->block_align = format.nBlockAlign;
  layout->container_bytes = container_bytes;
  layout->is_float = is_float;
  return true;
}

float ReadSample(const BYTE* sample, const SampleLayout& layout) {
  if (layout.is_float) {
    float value;
    std::memcpy(&value, sample, sizeof(value));
    return value;
  }
  // Little-endian, shifted to the top of 32 bits: one scale serves every container size.
  uint32_t bits = 0;
  for (int32_t i = 0; i < layout.container_bytes; ++i) {
    bits |= static_cast<uint32_t>(sample[i]) << (8 * (4 - layout.container_bytes + i));
  }
  return static_cast<float>(static_cast<int32_t>(bits) / 2147483648.0);
}

void WriteSample(float value, const SampleLayout& layout, BYTE* sample) {
  if (layout.is_float) {
    std::memcpy(sample, &value, sizeof(value));
    return;
  }
  const double clamped =
      std::min(std::max(static_cast<double>(value), -1.0), 2147483647.0 / 2147483648.0);
  const uint32_t bits = static_cast<uint32_t>(static_cast<int32_t>(clamped * 2147483648.0));
  for (int32_t i = 0; i < layout.container_bytes; ++i) {
    sample[i] = static_cast<BYTE>(bits >> (8 * (4 - layout.container_bytes + i)));
  }
}

}  // namespace

bool Passthrough::Open(const std::string& capture_name) {
  platform::ComPtr<IMMDeviceEnumerator> enumerator;
  HRESULT hr =
      CoCreateInstance(platform::kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                       platform::kIidIMMDeviceEnumerator, enumerator.ReleaseAndGetVoidAddress());
  if (FAILED(hr) || !enumerator) return Fail("device enumerator", FAILED(hr) ? hr : E_POINTER);
  const platform::ComPtr<IMMDevice> input = FindCapture(enumerator.Get(), capture_name);
  if (!input) return false;
  platform::ComPtr<IMMDevice> output;
  hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, output.ReleaseAndGetAddressOf());
  if (FAILED(hr) || !output) return Fail("default render endpoint", FAILED(hr) ? hr : E_POINTER);

  if (!OpenStream(input.Get(), "capture", &capture_) ||
      !OpenStream(output.Get(), "render", &render_)) {
    return false;
  }
  if (capture_.layout.sample_rate != render_.layout.sample_rate) {
    std::fprintf(stderr, "passthrough: capture at %d Hz, render at %d Hz: no converter here\n",
                 static_cast<int>(capture_.layout.sample_rate),
                 static_cast<int>(render_.layout.sample_rate));
    return false;
  }
  hr = capture_.client->GetService(platform::kIidIAudioCaptureClient,
                                   capture_client_.ReleaseAndGetVoidAddress());
  if (FAILED(hr) || !capture_client_) return Fail("capture service", FAILED(hr) ? hr : E_POINTER);
  hr = render_.client->GetService(platform::kIidIAudioRenderClient,
                                  render_client_.ReleaseAndGetVoidAddress());
  if (FAILED(hr) || !render_client_) return Fail("render service", FAILED(hr) ? hr : E_POINTER);
  return true;
}

bool Passthrough::OpenStream(IMMDevice* device, const char* name, Stream* stream) {
  char step[64];
  std::snprintf(step, sizeof(step), "%s activation", name);
  HRESULT hr = device->Activate(platform::kIidIAudioClient, CLSCTX_ALL, nullptr,
                                stream->client.ReleaseAndGetVoidAddress());
  if (FAILED(hr) || !stream->client) return Fail(step, FAILED(hr) ? hr : E_POINTER);
  WAVEFORMATEX* raw_format = nullptr;
  hr = stream->client->GetMixFormat(&raw_format);
  const MixFormat format(raw_format);
  std::snprintf(step, sizeof(step), "%s mix format", name);
  if (FAILED(hr) || !format) return Fail(step, FAILED(hr) ? hr : E_POINTER);
  if (!LayoutOf(*format, &stream->layout)) {
    std::fprintf(stderr, "passthrough: %s mix format (tag 0x%04x, %u bits) is not supported\n",
                 name, static_cast<unsigned>(format->wFormatTag),
                 static_cast<unsigned>(format->wBitsPerSample));
    return false;
  }
  hr = stream->client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0,
                                  format.get(), nullptr);
  std::snprintf(step, sizeof(step), "%s Initialize", name);
  if (FAILED(hr)) return Fail(step, hr);
  stream->event.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!stream->event) return Fail("CreateEvent", LastError());
  hr = stream->client->SetEventHandle(stream->event.Get());
  std::snprintf(step, sizeof(step), "%s SetEventHandle", name);
  if (FAILED(hr)) return Fail(step, hr);
  hr = stream->client->GetBufferSize(&stream->buffer_frames);
  std::snprintf(step, sizeof(step), "%s GetBufferSize", name);
  if (FAILED(hr)) return Fail(step, hr);
  return true;
}

bool Passthrough::Run(double seconds) {
  // The render stream first, so that the first packet finds it running.
  HRESULT hr = render_.client->Start();
  if (FAILED(hr)) return Fail("render Start", hr);
  hr = capture_.client->Start();
  if (FAILED(hr)) {
    Fail("capture Start", hr);
    const HRESULT stopped = render_.client->Stop();
    if (FAILED(stopped)) Fail("render Stop", stopped);
    return false;
  }
  const HANDLE events[] = {capture_.event.Get(), render_.event.Get()};
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000.0);
  bool ok = true;
  while (ok && GetTickCount64() < end) {
    // A render wake finds nothing to top up (there is no cushion) but looks for a packet anyway.
    if (WaitForMultipleObjects(2, events, FALSE, 200) == WAIT_FAILED) {
      ok = Fail("WaitForMultipleObjects", LastError());
    } else {
      ok = CopyPackets();
    }
  }
  hr = capture_.client->Stop();
  if (FAILED(hr)) ok = Fail("capture Stop", hr);
  hr = render_.client->Stop();
  if (FAILED(hr)) ok = Fail("render Stop", hr);
  return ok;
}

bool Passthrough::CopyPackets() {
  for (;;) {
    UINT32 packet = 0;
    HRESULT hr = capture_client_->GetNextPacketSize(&packet);
    if (FAILED(hr)) return Fail("GetNextPacketSize", hr);
    if (packet == 0) return true;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    hr = capture_client_->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(hr)) return Fail("capture GetBuffer", hr);
    if (hr == AUDCLNT_S_BUFFER_EMPTY) return true;
    const bool written = WritePacket(data, frames, (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0);
    hr = capture_client_->ReleaseBuffer(frames);
    if (FAILED(hr)) return Fail("capture ReleaseBuffer", hr);
    if (!written) return false;
  }
}

bool Passthrough::WritePacket(const BYTE* data, UINT32 frames, bool silent) {
  UINT32 padding = 0;
  HRESULT hr = render_.client->GetCurrentPadding(&padding);
  if (FAILED(hr)) return Fail("GetCurrentPadding", hr);
  least_queued_ = queued_seen_ ? std::min(least_queued_, padding) : padding;
  most_queued_ = std::max(most_queued_, padding);
  queued_seen_ = true;
  const UINT32 room = render_.buffer_frames - std::min(padding, render_.buffer_frames);
  const UINT32 count = std::min(frames, room);
  frames_dropped_ += frames - count;
  if (count == 0) return true;
  BYTE* out = nullptr;
  hr = render_client_->GetBuffer(count, &out);
  if (FAILED(hr)) return Fail("render GetBuffer", hr);
  if (!silent) {
    const SampleLayout& in_layout = capture_.layout;
    const SampleLayout& out_layout = render_.layout;
    for (UINT32 frame = 0; frame < count; ++frame) {
      const float value = ReadSample(data + frame * in_layout.block_align, in_layout);
      BYTE* target = out + frame * out_layout.block_align;
      for (int32_t channel = 0; channel < out_layout.channels; ++channel) {
        WriteSample(value, out_layout, target + channel * out_layout.container_bytes);
      }
    }
  }
  hr = render_client_->ReleaseBuffer(count, silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0);
  if (FAILED(hr)) return Fail("render ReleaseBuffer", hr);
  frames_copied_ += count;
  return true;
}

}  // namespace passthrough
