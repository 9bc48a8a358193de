// passthrough SECONDS [CAPTURE_NAME]: copies the capture endpoint named CAPTURE_NAME (by default
// the demo's guitar adapter as Wine's PulseAudio driver shows it) to the default render endpoint
// for SECONDS seconds, then prints how many frames it copied and dropped.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/passthrough/passthrough.h"

namespace {

constexpr char kDemoGuitar[] = "Monitor of Rocksmith Guitar Adapter";
constexpr double kMostSeconds = 3600.0;

class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

// The engine's audio thread runs as a "Pro Audio" task; the comparison needs the same scheduling.
class ProAudioTask {
 public:
  ProAudioTask() : task_(AvSetMmThreadCharacteristicsW(L"Pro Audio", &index_)) {}
  ProAudioTask(const ProAudioTask&) = delete;
  ProAudioTask& operator=(const ProAudioTask&) = delete;
  ~ProAudioTask() {
    if (task_ != nullptr) AvRevertMmThreadCharacteristics(task_);
  }

 private:
  DWORD index_ = 0;
  HANDLE task_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: passthrough SECONDS [CAPTURE_NAME]\n");
    return 2;
  }
  char* end = nullptr;
  const double seconds = std::strtod(argv[1], &end);
  if (end == argv[1] || *end != '\0' || !(seconds > 0.0 && seconds <= kMostSeconds)) {
    std::fprintf(stderr, "passthrough: SECONDS must be above 0 and at most %.0f, not \"%s\"\n",
                 kMostSeconds, argv[1]);
    return 2;
  }
  const ComApartment com;
  if (FAILED(com.result())) {
    std::fprintf(stderr, "passthrough: CoInitializeEx failed: 0x%08lx\n",
                 static_cast<unsigned long>(static_cast<DWORD>(com.result())));
    return 1;
  }
  const ProAudioTask task;
  passthrough::Passthrough copier;
  if (!copier.Open(argc == 3 ? argv[2] : kDemoGuitar) || !copier.Run(seconds)) return 1;
  std::printf(
      "passthrough: %llu frames copied, %llu dropped; render buffer %u frames, holding %u to %u "
      "when a packet came\n",
      static_cast<unsigned long long>(copier.frames_copied()),
      static_cast<unsigned long long>(copier.frames_dropped()),
      static_cast<unsigned>(copier.render_buffer_frames()),
      static_cast<unsigned>(copier.least_queued()), static_cast<unsigned>(copier.most_queued()));
  return 0;
}
