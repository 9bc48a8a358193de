// traffic.log: one line per message between the user interface and the program,
//
//   <ms> <direction> <channel> <kind> <decoded content>[ | hex <bytes>]
//
// <ms> counts from the first frame (negative before it, three decimals); <direction> is
// "ui->app" or "app->ui" ("--" with channel "-" for notes); <kind> is "message" (a message the
// user interface delivered), "reply" (the program's answer to one), "event" (a message the
// program sent) or "note". Replies always carry their hex; messages and events when short.
//
// Threads: any thread; each line is written whole under the log's own lock and flushed.
#ifndef STANDINS_ENGINE_SCENARIO_TRAFFIC_LOG_H_
#define STANDINS_ENGINE_SCENARIO_TRAFFIC_LOG_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "standins/engine/scenario/output_file.h"

namespace engine_standin {

enum class TrafficKind { kMessage, kReply, kEvent };

// The log line without its end of line.
std::string FormatTrafficLine(double time_ms, TrafficKind kind, const std::string& channel,
                              const uint8_t* data, size_t size);
std::string FormatNoteLine(double time_ms, const std::string& note);

class TrafficLog {
 public:
  // False when the file cannot be created; the log then stays silent.
  bool Open(const std::string& path);
  void Write(const std::string& line);

 private:
  std::mutex mutex_;
  FilePtr file_;  // under mutex_
};

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_SCENARIO_TRAFFIC_LOG_H_
