// The scenario the stand-in plays as the user interface: one action per line,
//
//   <ms> listen <channel>
//   <ms> cancel <channel>
//   <ms> call <channel> <method> [<type> <value>]   type: none|null|bool|int|long|double|string|map
//   <ms> raw <channel> <hex bytes...>
//   <ms> close
//
// with times in milliseconds after the first frame, `#` starting a comment, and blank lines
// ignored. A string value is the rest of the line, or a double-quoted text with the escapes
// \" \\ \n \t \xHH. A map value is a list of blank-separated <key>=<type>:<value> entries (string
// keys, scalar values). Hex bytes may be separated by blanks or written together.
#ifndef STANDINS_ENGINE_SCENARIO_SCENARIO_H_
#define STANDINS_ENGINE_SCENARIO_SCENARIO_H_

#include <cstdint>
#include <string>
#include <vector>

namespace engine_standin {

struct ScenarioAction {
  enum class Kind { kListen, kCancel, kCall, kRaw, kClose };

  Kind kind = Kind::kClose;
  int64_t at_ms = 0;  // milliseconds after the first frame
  int line = 0;       // 1-based line in the scenario file
  std::string channel;
  std::vector<uint8_t> message;  // the bytes delivered on `channel` (not used by kClose)
};

struct Scenario {
  std::vector<ScenarioAction> actions;  // ordered by time; equal times keep the file order
  // One text per rejected line, "line <n>: <why>"; those lines are skipped.
  std::vector<std::string> errors;
};

Scenario ParseScenario(const std::string& text);

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_SCENARIO_SCENARIO_H_
