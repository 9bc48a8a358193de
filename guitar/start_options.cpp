#include "guitar/start_options.h"

#include <variant>

namespace tonelark {
namespace {

bool BoolEntry(const flutter::ValueMap& map, const char* key) {
  const auto entry = map.find(flutter::EncodableValue(key));
  if (entry == map.end()) return false;
  const bool* value = std::get_if<bool>(&entry->second);
  return value != nullptr && *value;
}

}  // namespace

StartOptions StartOptions::FromArgument(const flutter::EncodableValue* argument) {
  StartOptions options;
  if (argument == nullptr) return options;
  const flutter::ValueMap* map = std::get_if<flutter::ValueMap>(argument);
  if (map == nullptr) return options;
  options.low_latency = BoolEntry(*map, "lowLatency");
  options.shared_capture = BoolEntry(*map, "sharedCapture");
  options.share_speakers = BoolEntry(*map, "shareSpeakers");
  return options;
}

}  // namespace tonelark
