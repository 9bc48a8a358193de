#include "standins/engine/scenario/standin_report.h"

#include <cstdio>

#include "standins/engine/scenario/output_file.h"

namespace engine_standin {

void StandinReport::Set(const std::string& key, const std::string& value) {
  std::string clean = value;
  for (char& c : clean) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = clean;
      return;
    }
  }
  entries_.emplace_back(key, clean);
}

void StandinReport::Set(const std::string& key, long long value) {
  Set(key, std::to_string(value));
}

std::string StandinReport::Get(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : entries_) {
    if (entry.first == key) return entry.second;
  }
  return std::string();
}

std::string StandinReport::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const auto& entry : entries_) text += entry.first + "=" + entry.second + "\n";
  return text;
}

bool StandinReport::Write(const std::string& path) const {
  const std::string text = Text();
  FilePtr file = OpenFile(path, "wb");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  return std::fflush(file.get()) == 0 && written;
}

}  // namespace engine_standin
