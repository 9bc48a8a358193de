// The shortest monitoring path Core Audio allows in shared mode: each capture packet, channel 0,
// goes straight into the render buffer on every channel, with no ring, no cushion and no rate
// converter. Its round trip, measured beside the engine's on the same devices, tells what the
// engine adds.
//
// One thread: the one that created the object calls everything, after COM is initialised on it.
#ifndef BENCH_PASSTHROUGH_PASSTHROUGH_H_
#define BENCH_PASSTHROUGH_PASSTHROUGH_H_

#include <cstdint>
#include <string>

#include "platform/com_ptr.h"
#include "platform/scoped_handle.h"
#include "platform/win32.h"

namespace passthrough {

// How one channel's sample is stored in a frame.
struct SampleLayout {
  int32_t sample_rate = 0;  // Hz
  int32_t channels = 0;
  int32_t block_align = 0;      // bytes per frame, all channels
  int32_t container_bytes = 0;  // bytes per sample: 2, 3 or 4
  bool is_float = false;        // 32-bit IEEE float, else signed integer, left-justified
};

class Passthrough {
 public:
  Passthrough() = default;
  Passthrough(const Passthrough&) = delete;
  Passthrough& operator=(const Passthrough&) = delete;

  // Opens the active capture endpoint whose friendly name is `capture_name` (UTF-8) and the
  // default render endpoint, both shared and event-driven in their mix formats. False, after a line
  // on standard error, when a call fails or the formats cannot be copied between without a rate
  // converter.
  bool Open(const std::string& capture_name);
  // Starts both streams and copies every captured packet until `seconds` have passed, then stops
  // them. False, after a line on standard error, when a streaming call fails.
  bool Run(double seconds);

  uint64_t frames_copied() const { return frames_copied_; }
  // Captured frames that found the render buffer full.
  uint64_t frames_dropped() const { return frames_dropped_; }
  UINT32 render_buffer_frames() const { return render_.buffer_frames; }
  // The fewest and most frames the render buffer still held when a packet came (its share of the
  // round trip); both 0 before the first packet.
  UINT32 least_queued() const { return least_queued_; }
  UINT32 most_queued() const { return most_queued_; }

 private:
  struct Stream {
    platform::ComPtr<IAudioClient> client;
    platform::ScopedHandle event;
    SampleLayout layout;
    UINT32 buffer_frames = 0;
  };

  bool OpenStream(IMMDevice* device, const char* name, Stream* stream);
  // Moves every packet the capture stream holds into the render buffer.
  bool CopyPackets();
  // Channel 0 of `frames` captured frames to every render channel, as far as the buffer has room.
  bool WritePacket(const BYTE* data, UINT32 frames, bool silent);

  Stream capture_;
  Stream render_;
  platform::ComPtr<IAudioCaptureClient> capture_client_;
  platform::ComPtr<IAudioRenderClient> render_client_;
  uint64_t frames_copied_ = 0;
  uint64_t frames_dropped_ = 0;
  UINT32 least_queued_ = 0;
  UINT32 most_queued_ = 0;
  bool queued_seen_ = false;
};

}  // namespace passthrough

#endif  // BENCH_PASSTHROUGH_PASSTHROUGH_H_
