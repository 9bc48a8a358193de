// The configuration text of the virtual endpoints (format in README.md).
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "standins/audio/virtual_audio.h"

namespace virtual_audio {

namespace {

constexpr double kMaxClockPpm = 1000.0;

// Decodes UTF-8 into the platform's wide strings (UTF-16 on Windows, UTF-32 elsewhere);
// malformed bytes become U+FFFD.
std::wstring Utf8ToWide(const std::string& text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80           ? 0
                : (lead >> 5) == 0x6  ? 1
                : (lead >> 4) == 0xE  ? 2
                : (lead >> 3) == 0x1E ? 3
                                      : -1;
    uint32_t code = extra == 0   ? lead
                    : extra == 1 ? lead & 0x1Fu
                    : extra == 2 ? lead & 0x0Fu
                                 : lead & 0x07u;
    bool ok = extra >= 0;
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + k >= text.size()) {
        ok = false;
        break;
      }
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) ok = false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (!ok || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    i += extra + 1;
    if (sizeof(wchar_t) == 2 && code > 0xFFFF) {
      code -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(code));
    }
  }
  return out;
}

bool ParseUnsigned(const std::string& word, uint32_t* out) {
  if (word.empty() || word[0] == '-') return false;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(word.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool ParseSigned(const std::string& word, long long* out) {
  if (word.empty()) return false;
  char* end = nullptr;
  *out = std::strtoll(word.c_str(), &end, 0);
  return *end == '\0';
}

bool ParseDouble(const std::string& word, double* out) {
  if (word.empty()) return false;
  char* end = nullptr;
  *out = std::strtod(word.c_str(), &end);
  return *end == '\0';
}

// "format|mix <rate> <channels> [<bits> [valid <bits>] [float|int]]"
bool ParseFormat(const std::vector<std::string>& words, Format* out, bool float_default) {
  if (words.size() < 3) return false;
  Format format;
  uint32_t rate, channels, bits = float_default ? 32 : 16;
  if (!ParseUnsigned(words[1], &rate) || !ParseUnsigned(words[2], &channels)) return false;
  if (channels == 0 || channels > 32) return false;
  bool is_float = float_default;
  uint32_t valid = 0;
  size_t i = 3;
  if (i < words.size() && ParseUnsigned(words[i], &bits)) {
    ++i;
    if (float_default) is_float = false;
  }
  for (; i < words.size(); ++i) {
    if (words[i] == "float") {
      is_float = true;
    } else if (words[i] == "int") {
      is_float = false;
    } else if (words[i] == "valid" && i + 1 < words.size() && ParseUnsigned(words[i + 1], &valid)) {
      ++i;
    } else {
      return false;
    }
  }
  if (bits > 32 || valid > bits) return false;
  format.rate = rate;
  format.channels = static_cast<uint16_t>(channels);
  format.container_bits = static_cast<uint16_t>(bits);
  format.valid_bits = static_cast<uint16_t>(valid == 0 ? bits : valid);
  format.is_float = is_float;
  *out = format;
  return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  std::string word;
  while (stream >> word) words.push_back(word);
  return words;
}

// Everything after the keyword and the blanks that follow it.
std::string RestOfLine(const std::string& line, const std::string& keyword) {
  size_t start = line.find(keyword) + keyword.size();
  while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
  return line.substr(start);
}

bool ParseText(const std::string& line, const std::vector<std::string>& words,
               const std::string& keyword, DeviceText* out) {
  if (words[0] == keyword) {
    *out = DeviceText::String(Utf8ToWide(RestOfLine(line, keyword)));
  } else if (words[0] == keyword + "-missing" && words.size() == 1) {
    *out = DeviceText::Missing();
  } else if (words[0] == keyword + "-not-string" && words.size() == 1) {
    *out = DeviceText::NotString();
  } else {
    return false;
  }
  return true;
}

bool ParseSource(const std::string& line, const std::vector<std::string>& words,
                 CaptureSource* source) {
  if (words.size() < 2) return false;
  const std::string& kind = words[1];
  if (kind == "silence" && words.size() == 2) {
    source->kind = CaptureSource::Kind::kSilence;
    return true;
  }
  if (kind == "wav" && words.size() >= 3) {
    source->kind = CaptureSource::Kind::kWav;
    source->wav_path = RestOfLine(RestOfLine(line, "source"), "wav");
    return true;
  }
  if (kind == "sine" || kind == "silent-flagged") {
    source->kind =
        kind == "sine" ? CaptureSource::Kind::kSine : CaptureSource::Kind::kSilentFlagged;
    if (words.size() == 2 && kind == "silent-flagged") return true;
    return words.size() == 4 && ParseDouble(words[2], &source->frequency_hz) &&
           ParseDouble(words[3], &source->amplitude);
  }
  if (kind == "impulse" && words.size() == 4) {
    source->kind = CaptureSource::Kind::kImpulse;
    return ParseUnsigned(words[2], &source->period_frames) && source->period_frames > 0 &&
           ParseDouble(words[3], &source->amplitude);
  }
  return false;
}

}  // namespace

bool VirtualAudio::ParseConfig(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  bool all_good = true;
  bool in_device = false;
  bool is_default = false;
  DeviceConfig device;
  const auto finish_device = [&] {
    if (!in_device) return;
    AddDevice(device);
    if (is_default) SetDefaultDevice(device.flow, device.id);
    in_device = false;
  };
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string& key = words[0];
    bool ok = true;
    uint32_t value = 0;
    if (key == "device" && words.size() >= 2) {
      finish_device();
      device = DeviceConfig{};
      device.id = Utf8ToWide(RestOfLine(line, "device"));
      in_device = true;
      is_default = false;
    } else if (key == "clock" && words.size() == 2 &&
               (words[1] == "realtime" || words[1] == "manual")) {
      SetClockMode(words[1] == "manual" ? ClockMode::kManual : ClockMode::kRealTime);
    } else if (key == "call-log" && words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
      SetCallLog(words[1] == "on");
    } else if (key == "fail" && words.size() >= 3) {
      uint32_t code = 0;
      FailWhen when;
      ok = ParseUnsigned(words[2], &code);
      for (size_t i = 3; ok && i < words.size(); i += 2) {
        uint32_t nth = 0;
        if (i + 1 >= words.size()) {
          ok = false;
        } else if (words[i] == "device") {
          when.device = Utf8ToWide(words[i + 1]);
        } else if (words[i] == "nth" && ParseUnsigned(words[i + 1], &nth)) {
          when.nth = static_cast<int>(nth);
        } else {
          ok = false;
        }
      }
      if (ok) FailCall(words[1], static_cast<HRESULT>(code), when);
    } else if (!in_device) {
      ok = false;
    } else if (key == "flow" && words.size() == 2 &&
               (words[1] == "capture" || words[1] == "render")) {
      device.flow = words[1] == "capture" ? eCapture : eRender;
    } else if (key == "active" && words.size() == 2 && (words[1] == "yes" || words[1] == "no")) {
      device.active = words[1] == "yes";
    } else if (key.compare(0, 4, "name") == 0) {
      ok = ParseText(line, words, "name", &device.friendly_name);
    } else if (key.compare(0, 11, "description") == 0) {
      ok = ParseText(line, words, "description", &device.description);
    } else if (key == "format") {
      Format format;
      ok = ParseFormat(words, &format, false);
      if (ok) device.exclusive_formats.push_back(format);
    } else if (key == "mix") {
      ok = ParseFormat(words, &device.mix_format, true);
    } else if (key == "period" && words.size() == 3) {
      long long default_period = 0, minimum_period = 0;
      ok = ParseSigned(words[1], &default_period) && ParseSigned(words[2], &minimum_period);
      device.default_period = default_period;
      device.minimum_period = minimum_period;
    } else if (key == "shared-buffer" && words.size() == 2 && ParseUnsigned(words[1], &value)) {
      device.shared_buffer_frames = value;
    } else if (key == "alignment" && words.size() == 2 && ParseUnsigned(words[1], &value)) {
      device.buffer_alignment_frames = value;
    } else if (key == "zero-buffer" && words.size() == 1) {
      device.zero_buffer = true;
    } else if (key == "held-exclusive" && words.size() == 1) {
      device.held_exclusively = true;
    } else if (key == "exclusive-not-allowed" && words.size() == 1) {
      device.exclusive_not_allowed = true;
    } else if (key == "clock-ppm" && words.size() == 2) {
      double ppm = 0.0;
      ok = ParseDouble(words[1], &ppm) && std::fabs(ppm) <= kMaxClockPpm;
      if (ok) device.clock_ppm = ppm;
    } else if (key == "record" && words.size() == 2 && words[1] == "off") {
      device.no_recording = true;
    } else if (key == "record" && words.size() == 3 && words[1] == "limit" &&
               ParseUnsigned(words[2], &value)) {
      device.no_recording = false;
      device.record_frames_limit = value;
    } else if (key == "remove" && words.size() == 3 && words[1] == "after-periods" &&
               ParseUnsigned(words[2], &value)) {
      device.removal.after_periods = value;
    } else if (key == "remove" && words.size() == 3 && words[1] == "at-ms" &&
               ParseUnsigned(words[2], &value)) {
      device.removal.at_ms = value;
    } else if (key == "return" && words.size() == 3 && words[1] == "after-ms" &&
               ParseUnsigned(words[2], &value)) {
      device.removal.return_after_ms = value;
    } else if (key == "engine-periods" && words.size() == 4) {
      uint32_t fundamental = 0, minimum = 0, maximum = 0;
      ok = ParseUnsigned(words[1], &fundamental) && fundamental > 0 &&
           ParseUnsigned(words[2], &minimum) && ParseUnsigned(words[3], &maximum);
      if (ok) {
        device.engine_fundamental_frames = fundamental;
        device.engine_minimum_frames = minimum;
        device.engine_maximum_frames = maximum;
      }
    } else if (key == "engine-period-held" && words.size() == 2 &&
               ParseUnsigned(words[1], &value)) {
      device.engine_period_held_frames = value;
    } else if (key == "audio-client3" && words.size() == 2 &&
               (words[1] == "yes" || words[1] == "missing" || words[1] == "not-implemented")) {
      device.audio_client3 = words[1] == "yes"       ? AudioClient3Support::kImplemented
                             : words[1] == "missing" ? AudioClient3Support::kMissing
                                                     : AudioClient3Support::kNotImplemented;
    } else if (key == "late-wakes" && words.size() == 4 && words[2] == "seed") {
      long long max_late = 0, seed = 0;
      ok = ParseSigned(words[1], &max_late) && max_late >= 0 && ParseSigned(words[3], &seed);
      if (ok) {
        device.late_wakes.max_late = max_late;
        device.late_wakes.seed = static_cast<uint64_t>(seed);
      }
    } else if (key == "late-wake" && words.size() == 3) {
      long long period = 0, late = 0;
      ok =
          ParseSigned(words[1], &period) && period > 0 && ParseSigned(words[2], &late) && late >= 0;
      if (ok) {
        device.late_wakes.scripted.push_back(
            {static_cast<uint64_t>(period), static_cast<REFERENCE_TIME>(late)});
      }
    } else if (key == "time-jitter" && words.size() == 4 && words[2] == "seed") {
      long long max = 0, seed = 0;
      ok = ParseSigned(words[1], &max) && max >= 0 && ParseSigned(words[3], &seed);
      if (ok) device.time_jitter = {max, static_cast<uint64_t>(seed)};
    } else if (key == "position" && words.size() == 2 &&
               (words[1] == "smooth" || words[1] == "stepped")) {
      device.position_movement =
          words[1] == "stepped" ? PositionMovement::kStepped : PositionMovement::kSmooth;
    } else if (key == "position" && words.size() == 2 && words[1] == "late-start") {
      device.position_late_start = true;
    } else if (key == "initialize-delay" && words.size() == 2 && ParseUnsigned(words[1], &value)) {
      device.initialize_delay_ms = value;
    } else if (key == "source") {
      ok = ParseSource(line, words, &device.source);
    } else if (key == "other-channels" && words.size() == 2) {
      ok = ParseDouble(words[1], &device.source.other_channels);
    } else if (key == "output" && words.size() >= 2) {
      device.output_wav_path = RestOfLine(line, "output");
    } else if (key == "arrive" && words.size() == 3 && words[1] == "at-ms" &&
               ParseUnsigned(words[2], &value)) {
      device.arrive_at_ms = value;
    } else if (key == "default" && words.size() == 1) {
      is_default = true;
    } else if (key == "default" && words.size() == 3 && words[1] == "at-ms" &&
               ParseUnsigned(words[2], &value)) {
      device.default_at_ms = value;
    } else {
      ok = false;
    }
    if (!ok) {
      std::cerr << "virtual_audio: configuration line " << number << " not understood: " << line
                << std::endl;
      all_good = false;
    }
  }
  finish_device();
  return all_good;
}

}  // namespace virtual_audio
