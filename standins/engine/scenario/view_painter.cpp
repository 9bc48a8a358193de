#include "standins/engine/scenario/view_painter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace engine_standin {
namespace {

const COLORREF kBackground = RGB(24, 28, 36);
const COLORREF kPanel = RGB(12, 15, 20);
const COLORREF kGrid = RGB(58, 64, 78);
const COLORREF kText = RGB(226, 230, 238);
const COLORREF kDim = RGB(150, 158, 172);
const COLORREF kAccent = RGB(120, 200, 255);
const COLORREF kWave = RGB(110, 224, 140);

// Owns one GDI object (font, pen, brush, bitmap).
class GdiObject {
 public:
  explicit GdiObject(HGDIOBJ object) : object_(object) {}
  ~GdiObject() {
    if (object_ != nullptr) DeleteObject(object_);
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  HGDIOBJ get() const { return object_; }

 private:
  HGDIOBJ object_;
};

// Selects an object into a DC for one scope and puts the previous one back.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~Selection() {
    if (previous_ != nullptr && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
  }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// A memory DC compatible with the window's, deleted with the scope.
class MemoryDc {
 public:
  explicit MemoryDc(HDC dc) : dc_(CreateCompatibleDC(dc)) {}
  ~MemoryDc() {
    if (dc_ != nullptr) DeleteDC(dc_);
  }
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring(text.begin(), text.end());
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

HFONT MakeFont(int height, int weight, bool fixed) {
  return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                     fixed ? (FIXED_PITCH | FF_MODERN) : (VARIABLE_PITCH | FF_SWISS),
                     fixed ? L"Courier New" : L"Tahoma");
}

void FillColor(HDC dc, const RECT& rect, COLORREF color) {
  GdiObject brush(CreateSolidBrush(color));
  FillRect(dc, &rect, static_cast<HBRUSH>(brush.get()));
}

void Text(HDC dc, const std::string& text, RECT rect, COLORREF color) {
  SetTextColor(dc, color);
  std::wstring wide = Wide(text);
  DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &rect,
            DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
}

std::string StatusLine(const ScenarioPlayer::ViewSnapshot& snapshot) {
  char text[256];
  char level[32];
  if (std::isfinite(snapshot.pcm_rms_dbfs)) {
    std::snprintf(level, sizeof level, "%.1f dBFS", snapshot.pcm_rms_dbfs);
  } else {
    std::snprintf(level, sizeof level, "silence");
  }
  std::snprintf(text, sizeof text,
                "scenario %zu/%zu actions   PCM %llu events   %.1f events/s   %u Hz   level %s",
                snapshot.actions_done, snapshot.actions_total,
                static_cast<unsigned long long>(snapshot.pcm_events), snapshot.pcm_rate,
                static_cast<unsigned>(snapshot.sample_rate), level);
  return text;
}

// A quiet guitar would draw a flat line: magnify by a power of two, at most 32 times, so that
// the peak fills most of the box.
int WaveformGain(const std::vector<int16_t>& samples) {
  int peak = 0;
  for (int16_t sample : samples) peak = std::max(peak, std::abs(static_cast<int>(sample)));
  int gain = 1;
  while (gain < 32 && peak * gain * 2 <= 32767 * 9 / 10) gain *= 2;
  return gain;
}

void PaintWaveform(HDC dc, const RECT& box, const std::vector<int16_t>& samples, int gain) {
  FillColor(dc, box, kPanel);
  const int width = box.right - box.left;
  const int height = box.bottom - box.top;
  if (width < 4 || height < 4) return;
  const int middle = box.top + height / 2;
  const double half = (height - 4) / 2.0;
  {
    GdiObject grid(CreatePen(PS_SOLID, 1, kGrid));
    Selection pen(dc, grid.get());
    for (int quarter = 1; quarter < 4; ++quarter) {
      const int y = box.top + height * quarter / 4;
      MoveToEx(dc, box.left, y, nullptr);
      LineTo(dc, box.right, y);
    }
  }
  if (samples.empty()) return;
  GdiObject wave(CreatePen(PS_SOLID, std::max(1, height / 200), kWave));
  Selection pen(dc, wave.get());
  const size_t count = samples.size();
  auto y_of = [&](int value) {
    const double scaled = std::max(-32768.0, std::min(32767.0, static_cast<double>(value) * gain));
    return middle - static_cast<int>(std::lround(scaled * half / 32768.0));
  };
  if (count >= static_cast<size_t>(width)) {
    // Several samples per column: draw each column's extent, joined to the next.
    std::vector<POINT> points;
    points.reserve(static_cast<size_t>(width) * 2);
    for (int x = 0; x < width; ++x) {
      const size_t begin = count * static_cast<size_t>(x) / static_cast<size_t>(width);
      const size_t end = std::max(begin + 1, count * static_cast<size_t>(x + 1) / width);
      int low = 32767;
      int high = -32768;
      for (size_t i = begin; i < end && i < count; ++i) {
        low = std::min<int>(low, samples[i]);
        high = std::max<int>(high, samples[i]);
      }
      points.push_back({box.left + x, y_of(x % 2 == 0 ? low : high)});
      points.push_back({box.left + x, y_of(x % 2 == 0 ? high : low)});
    }
    Polyline(dc, points.data(), static_cast<int>(points.size()));
  } else {
    std::vector<POINT> points;
    for (size_t i = 0; i < count; ++i) {
      const size_t last = count > 1 ? count - 1 : 1;
      const int x = box.left + static_cast<int>(i * static_cast<size_t>(width - 1) / last);
      points.push_back({x, y_of(samples[i])});
    }
    Polyline(dc, points.data(), static_cast<int>(points.size()));
  }
}

void PaintContent(HDC dc, const RECT& client, const ScenarioPlayer::ViewSnapshot& snapshot) {
  FillColor(dc, client, kBackground);
  SetBkMode(dc, TRANSPARENT);
  const int height = client.bottom - client.top;
  const int margin = std::max(8, height / 48);
  const int title_size = std::max(16, height / 26);
  const int body_size = std::max(12, height / 46);
  GdiObject title_font(MakeFont(title_size, FW_BOLD, false));
  GdiObject label_font(MakeFont(body_size, FW_BOLD, false));
  GdiObject body_font(MakeFont(body_size, FW_NORMAL, true));

  int y = client.top + margin;
  const int left = client.left + margin;
  const int right = client.right - margin;
  {
    Selection font(dc, title_font.get());
    Text(dc, "Tonelark  \xE2\x80\x94  engine stand-in playing the user interface",
         {left, y, right, y + title_size * 2}, kText);
  }
  y += title_size + title_size / 2;
  {
    Selection font(dc, body_font.get());
    Text(dc, StatusLine(snapshot), {left, y, right, y + body_size * 2}, kAccent);
  }
  y += body_size * 2;

  const int gain = WaveformGain(snapshot.waveform);
  // The waveform takes the lower part; the replies fill what is left above it.
  const int wave_height = std::max(40, height * 36 / 100);
  const int wave_top = client.bottom - margin - wave_height;
  {
    Selection font(dc, label_font.get());
    Text(dc, "Latest replies", {left, y, right, y + body_size * 2}, kDim);
  }
  y += body_size + body_size / 2;
  {
    Selection font(dc, body_font.get());
    const int line_height = body_size + body_size / 4;
    const int room = std::max(0, (wave_top - body_size * 2 - y) / line_height);
    const size_t shown = std::min(snapshot.replies.size(), static_cast<size_t>(room));
    const size_t first = snapshot.replies.size() - shown;
    if (snapshot.replies.empty()) {
      Text(dc, "(no replies yet)", {left, y, right, y + line_height}, kDim);
    }
    for (size_t i = first; i < snapshot.replies.size(); ++i) {
      Text(dc, snapshot.replies[i], {left, y, right, y + line_height},
           i + 1 == snapshot.replies.size() ? kText : kDim);
      y += line_height;
    }
  }
  {
    Selection font(dc, label_font.get());
    char label[128];
    const double span_ms =
        snapshot.sample_rate > 0 ? snapshot.waveform.size() * 1000.0 / snapshot.sample_rate : 0.0;
    std::snprintf(label, sizeof label, "PCM waveform (latest %zu samples, %.0f ms, shown x%d)",
                  snapshot.waveform.size(), span_ms, gain);
    Text(dc, label, {left, wave_top - body_size - body_size / 2, right, wave_top}, kDim);
  }
  PaintWaveform(dc, {left, wave_top, right, client.bottom - margin}, snapshot.waveform, gain);
}

}  // namespace

void PaintScenarioView(HDC dc, const RECT& client, const ScenarioPlayer::ViewSnapshot& snapshot) {
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  if (width <= 0 || height <= 0) return;
  MemoryDc memory(dc);
  GdiObject bitmap(CreateCompatibleBitmap(dc, width, height));
  if (memory.get() == nullptr || bitmap.get() == nullptr) {
    PaintContent(dc, client, snapshot);
    return;
  }
  {
    Selection selected(memory.get(), bitmap.get());
    const RECT local{0, 0, width, height};
    PaintContent(memory.get(), local, snapshot);
    BitBlt(dc, client.left, client.top, width, height, memory.get(), 0, 0, SRCCOPY);
  }
}

}  // namespace engine_standin
