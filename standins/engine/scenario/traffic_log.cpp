#include "standins/engine/scenario/traffic_log.h"

#include <cstdio>

#include "standins/engine/scenario/wire_value.h"

namespace engine_standin {
namespace {

// Messages and events up to this size carry their hex too; PCM events (512 bytes) do not.
constexpr size_t kHexLimit = 64;

std::string Prefix(double time_ms, const char* direction, const std::string& channel,
                   const char* kind) {
  char time[32];
  std::snprintf(time, sizeof time, "%10.3f", time_ms);
  return std::string(time) + " " + direction + " " + channel + " " + kind + " ";
}

}  // namespace

std::string FormatTrafficLine(double time_ms, TrafficKind kind, const std::string& channel,
                              const uint8_t* data, size_t size) {
  std::string line;
  switch (kind) {
    case TrafficKind::kMessage:
      line = Prefix(time_ms, "ui->app", channel, "message") + DescribeCall(data, size);
      break;
    case TrafficKind::kReply:
      line = Prefix(time_ms, "app->ui", channel, "reply") + DescribeEnvelope(data, size);
      break;
    case TrafficKind::kEvent:
      line = Prefix(time_ms, "app->ui", channel, "event") +
             (size == 0 ? std::string("end of stream") : DescribeEnvelope(data, size));
      break;
  }
  if (kind == TrafficKind::kReply || (size > 0 && size <= kHexLimit)) {
    line += " | hex " + HexBytes(data, size);
  }
  return line;
}

std::string FormatNoteLine(double time_ms, const std::string& note) {
  return Prefix(time_ms, "--", "-", "note") + note;
}

bool TrafficLog::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = OpenFile(path, "wb");
  return file_ != nullptr;
}

void TrafficLog::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  std::fputs(line.c_str(), file_.get());
  std::fputc('\n', file_.get());
  std::fflush(file_.get());
}

}  // namespace engine_standin
