#include "runner/win32_window.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "runner/resource.h"
#include "standins/engine/engine_control.h"
#include "tests/runner/import_patch.h"

namespace tonelark {
namespace {

constexpr wchar_t kClassName[] = L"FLUTTER_RUNNER_WIN32_WINDOW";
constexpr wchar_t kThemeKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr wchar_t kThemeValue[] = L"AppsUseLightTheme";

// Counts the hooks and lets a test make OnCreate fail.
class RecordingWindow : public Win32Window {
 public:
  int creates = 0;
  int teardowns = 0;
  bool create_result = true;

 protected:
  bool OnCreate() override {
    ++creates;
    return create_result;
  }
  void OnTeardown() override { ++teardowns; }
};

bool ClassRegistered() {
  WNDCLASSEXW info{};
  info.cbSize = sizeof(info);
  return GetClassInfoExW(GetModuleHandleW(nullptr), kClassName, &info) != 0;
}

RECT WindowRect(HWND hwnd) {
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  return rect;
}

class Win32WindowTest : public testing::Test {
 protected:
  void SetUp() override { engine_standin::Reset(); }
  void TearDown() override { engine_standin::Reset(); }
};

struct ScalingCase {
  UINT dpi;
  Win32Window::Point origin;
  Win32Window::Size size;
  RECT expected;  // left, top, right, bottom
};

TEST_F(Win32WindowTest, ScalesOriginAndSizeByTheMonitorDpiTruncatingTowardZero) {
  const ScalingCase cases[] = {
      {96, {10, 10}, {400, 300}, {10, 10, 410, 310}},
      {144, {10, 10}, {400, 300}, {15, 15, 615, 465}},
      {120, {10, 10}, {400, 300}, {12, 12, 512, 387}},
      // 1.5 and 416.25 and 499.5: truncated, not rounded.
      {120, {1, 1}, {333, 399}, {1, 1, 417, 499}},
      {144, {1, 3}, {333, 201}, {1, 4, 500, 305}},
  };
  for (const ScalingCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "dpi " << c.dpi << " origin " << c.origin.x << "," << c.origin.y << " size "
                 << c.size.width << "x" << c.size.height);
    engine_standin::SetDpi(c.dpi);
    RecordingWindow window;
    ASSERT_TRUE(window.Create(L"scaled", c.origin, c.size)) << "no window (is there a display?)";
    const RECT rect = WindowRect(window.Handle());
    EXPECT_EQ(rect.left, c.expected.left);
    EXPECT_EQ(rect.top, c.expected.top);
    EXPECT_EQ(rect.right, c.expected.right);
    EXPECT_EQ(rect.bottom, c.expected.bottom);
    EXPECT_FALSE(IsWindowVisible(window.Handle())) << "created visible";
    window.Destroy();
  }
}

TEST_F(Win32WindowTest, ClassLivesWhileAnyWindowObjectLives) {
  ASSERT_FALSE(ClassRegistered()) << "a previous test left the window class registered";
  {
    RecordingWindow first;
    ASSERT_TRUE(first.Create(L"first", {10, 10}, {200, 100}));
    EXPECT_TRUE(ClassRegistered());
    {
      RecordingWindow second;
      ASSERT_TRUE(second.Create(L"second", {20, 20}, {200, 100}));
      WNDCLASSEXW info{};
      info.cbSize = sizeof(info);
      ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), kClassName, &info));
      EXPECT_EQ(info.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
      EXPECT_EQ(info.hIcon, LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP_ICON)));
      EXPECT_NE(info.hIcon, nullptr);
      EXPECT_EQ(info.hbrBackground, nullptr);
    }
    // The first window still needs its class.
    EXPECT_TRUE(ClassRegistered());
    EXPECT_TRUE(IsWindow(first.Handle()));
    // A window object that never made a window does not take the class away either.
    { RecordingWindow idle; }
    EXPECT_TRUE(ClassRegistered());
  }
  EXPECT_FALSE(ClassRegistered());

  // And it comes back for the next window.
  RecordingWindow again;
  ASSERT_TRUE(again.Create(L"again", {10, 10}, {200, 100}));
  EXPECT_TRUE(ClassRegistered());
}

TEST_F(Win32WindowTest, SecondCreateTearsTheFirstWindowDown) {
  RecordingWindow window;
  ASSERT_TRUE(window.Create(L"one", {10, 10}, {200, 100}));
  // Create starts with a teardown, even with no window yet.
  EXPECT_EQ(window.teardowns, 1);
  HWND first = window.Handle();

  ASSERT_TRUE(window.Create(L"two", {10, 10}, {200, 100}));
  EXPECT_FALSE(IsWindow(first));
  EXPECT_NE(window.Handle(), first);
  EXPECT_TRUE(IsWindow(window.Handle()));
  EXPECT_EQ(window.creates, 2);
  // Destroy's own call, then the one from the old window's WM_DESTROY.
  EXPECT_EQ(window.teardowns, 3);

  // A failing OnCreate fails Create but leaves the window to Destroy.
  window.create_result = false;
  EXPECT_FALSE(window.Create(L"three", {10, 10}, {200, 100}));
  HWND third = window.Handle();
  EXPECT_TRUE(IsWindow(third));
  EXPECT_FALSE(IsWindowVisible(third));
  window.Destroy();
  EXPECT_FALSE(IsWindow(third));
  EXPECT_EQ(window.Handle(), nullptr);
}

TEST_F(Win32WindowTest, ClosingTheWindowTearsDownAndQuitsOnlyWhenAsked) {
  for (bool quit : {false, true}) {
    SCOPED_TRACE(quit ? "quit on destroy" : "no quit");
    RecordingWindow window;
    ASSERT_TRUE(window.Create(L"closing", {10, 10}, {200, 100}));
    window.SetQuitOnDestroy(quit);
    const int teardowns_before = window.teardowns;
    HWND hwnd = window.Handle();
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(window.Handle(), nullptr);
    EXPECT_EQ(window.teardowns, teardowns_before + 1);

    MSG message{};
    const bool got_quit = PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
    EXPECT_EQ(got_quit, quit);
    if (got_quit) {
      EXPECT_EQ(message.wParam, 0u);
    }
  }
}

TEST_F(Win32WindowTest, ContentFollowsTheClientAreaAndTakesTheFocus) {
  RecordingWindow window;
  ASSERT_TRUE(window.Create(L"content", {10, 10}, {300, 200}));
  HWND hwnd = window.Handle();

  // Before there is content, these do nothing and answer 0.
  EXPECT_EQ(SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(300, 200)), 0);
  EXPECT_EQ(SendMessageW(hwnd, WM_ACTIVATE, WA_ACTIVE, 0), 0);

  HWND content = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(content, nullptr);
  window.Show();
  window.SetContent(content);
  EXPECT_EQ(GetAncestor(content, GA_PARENT), hwnd);
  RECT client = window.ClientRect();
  RECT child{};
  GetClientRect(content, &child);
  EXPECT_EQ(child.right, client.right - client.left);
  EXPECT_EQ(child.bottom, client.bottom - client.top);
  EXPECT_EQ(GetFocus(), content);

  // A resize re-fits the child through WM_SIZE.
  SetWindowPos(hwnd, nullptr, 0, 0, 420, 330, SWP_NOMOVE | SWP_NOZORDER);
  client = window.ClientRect();
  GetClientRect(content, &child);
  EXPECT_EQ(child.right, client.right - client.left);
  EXPECT_EQ(child.bottom, client.bottom - client.top);

  SetFocus(hwnd);
  EXPECT_EQ(SendMessageW(hwnd, WM_ACTIVATE, WA_ACTIVE, 0), 0);
  EXPECT_EQ(GetFocus(), content);
  window.Destroy();
  EXPECT_FALSE(IsWindow(content)) << "the content child goes with its window";
}

// ---- DPI change ----

struct SetWindowPosCall {
  HWND hwnd;
  HWND insert_after;
  int x, y, width, height;
  UINT flags;
};
std::vector<SetWindowPosCall>* g_set_window_pos_calls = nullptr;

BOOL WINAPI RecordSetWindowPos(HWND hwnd, HWND insert_after, int x, int y, int width, int height,
                               UINT flags) {
  if (g_set_window_pos_calls != nullptr) {
    g_set_window_pos_calls->push_back({hwnd, insert_after, x, y, width, height, flags});
  }
  return TRUE;
}

// The suggested rectangle is taken as it is, without raising or activating the window.
TEST_F(Win32WindowTest, DpiChangeAppliesTheSuggestedRectangleQuietly) {
  RecordingWindow window;
  ASSERT_TRUE(window.Create(L"dpi", {10, 10}, {200, 100}));
  std::vector<SetWindowPosCall> calls;
  g_set_window_pos_calls = &calls;
  {
    runner_test::ScopedImportPatch patch("user32.dll", "SetWindowPos",
                                         reinterpret_cast<void*>(&RecordSetWindowPos));
    ASSERT_TRUE(patch.active()) << "the program does not import SetWindowPos";
    RECT suggested{30, 40, 330, 190};
    EXPECT_EQ(SendMessageW(window.Handle(), WM_DPICHANGED, MAKEWPARAM(144, 144),
                           reinterpret_cast<LPARAM>(&suggested)),
              0);
  }
  g_set_window_pos_calls = nullptr;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].hwnd, window.Handle());
  EXPECT_EQ(calls[0].insert_after, nullptr);
  EXPECT_EQ(calls[0].x, 30);
  EXPECT_EQ(calls[0].y, 40);
  EXPECT_EQ(calls[0].width, 300);
  EXPECT_EQ(calls[0].height, 150);
  EXPECT_EQ(calls[0].flags, static_cast<UINT>(SWP_NOZORDER | SWP_NOACTIVATE));
  window.Destroy();
}

// ---- Theme ----

struct DwmCall {
  HWND hwnd;
  DWORD attribute;
  BOOL value;
  DWORD size;
};
std::vector<DwmCall>* g_dwm_calls = nullptr;

HRESULT WINAPI RecordDwmSetWindowAttribute(HWND hwnd, DWORD attribute, LPCVOID value, DWORD size) {
  if (g_dwm_calls != nullptr) {
    g_dwm_calls->push_back({hwnd, attribute, *static_cast<const BOOL*>(value), size});
  }
  return S_OK;
}

// Sets or removes the theme value for the test and puts the user's own value back afterwards.
class ThemeSetting {
 public:
  ThemeSetting() {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, kThemeKey, kThemeValue, RRF_RT_REG_DWORD, nullptr, &value,
                     &size) == ERROR_SUCCESS) {
      saved_ = value;
    }
  }
  ~ThemeSetting() {
    if (saved_) {
      Set(*saved_);
    } else {
      Remove();
    }
  }
  void Set(DWORD light) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kThemeKey, kThemeValue, REG_DWORD, &light,
                              sizeof(light)),
              ERROR_SUCCESS);
  }
  void Remove() { RegDeleteKeyValueW(HKEY_CURRENT_USER, kThemeKey, kThemeValue); }

 private:
  std::optional<DWORD> saved_;
};

TEST_F(Win32WindowTest, TitleBarFollowsTheAppThemeSetting) {
  std::vector<DwmCall> calls;
  g_dwm_calls = &calls;
  runner_test::ScopedImportPatch patch("dwmapi.dll", "DwmSetWindowAttribute",
                                       reinterpret_cast<void*>(&RecordDwmSetWindowAttribute));
  ASSERT_TRUE(patch.active()) << "the program does not import DwmSetWindowAttribute";
  ThemeSetting theme;

  // Dark apps: the dark title bar goes on at creation.
  theme.Set(0);
  RecordingWindow window;
  ASSERT_TRUE(window.Create(L"theme", {10, 10}, {200, 100}));
  HWND hwnd = window.Handle();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].hwnd, hwnd);
  EXPECT_EQ(calls[0].attribute, 20u);  // DWMWA_USE_IMMERSIVE_DARK_MODE
  EXPECT_EQ(calls[0].value, TRUE);
  EXPECT_EQ(calls[0].size, sizeof(BOOL));

  // Switched to light: applied again when the colourisation changes.
  theme.Set(1);
  EXPECT_EQ(SendMessageW(hwnd, WM_DWMCOLORIZATIONCOLORCHANGED, 0, 0), 0);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].value, FALSE);

  // No setting, or one of the wrong type: the frame is left alone.
  theme.Remove();
  SendMessageW(hwnd, WM_DWMCOLORIZATIONCOLORCHANGED, 0, 0);
  const wchar_t text[] = L"0";
  RegSetKeyValueW(HKEY_CURRENT_USER, kThemeKey, kThemeValue, REG_SZ, text, sizeof(text));
  SendMessageW(hwnd, WM_DWMCOLORIZATIONCOLORCHANGED, 0, 0);
  EXPECT_EQ(calls.size(), 2u);

  window.Destroy();
  g_dwm_calls = nullptr;
}

// ---- Resources ----

#pragma pack(push, 2)
struct IconGroupHeader {
  WORD reserved;
  WORD type;
  WORD count;
};
struct IconGroupEntry {
  BYTE width;
  BYTE height;
  BYTE colours;
  BYTE reserved;
  WORD planes;
  WORD bit_count;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

std::string ResourceText(LPCWSTR name, LPCWSTR type) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC resource = FindResourceW(module, name, type);
  if (resource == nullptr) {
    return std::string();
  }
  const char* data = static_cast<const char*>(LockResource(LoadResource(module, resource)));
  return std::string(data, SizeofResource(module, resource));
}

TEST(RunnerResourcesTest, IconGroupHoldsTheTenImages) {
  const std::string group = ResourceText(MAKEINTRESOURCEW(IDI_APP_ICON), RT_GROUP_ICON);
  ASSERT_GE(group.size(), sizeof(IconGroupHeader)) << "no icon group 101";
  IconGroupHeader header;
  memcpy(&header, group.data(), sizeof(header));
  EXPECT_EQ(header.type, 1);
  ASSERT_EQ(header.count, 10);
  ASSERT_EQ(group.size(), sizeof(IconGroupHeader) + 10 * sizeof(IconGroupEntry));

  std::vector<std::pair<int, int>> images;  // (side in pixels, bits per pixel)
  for (int i = 0; i < header.count; ++i) {
    IconGroupEntry entry;
    memcpy(&entry, group.data() + sizeof(header) + i * sizeof(entry), sizeof(entry));
    images.emplace_back(entry.width == 0 ? 256 : entry.width, entry.bit_count);
    EXPECT_EQ(entry.width, entry.height);
    EXPECT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(entry.id), RT_ICON), nullptr);
  }
  const std::vector<std::pair<int, int>> expected = {{256, 32}, {48, 4}, {48, 8},  {48, 32},
                                                     {32, 4},   {32, 8}, {32, 32}, {16, 4},
                                                     {16, 8},   {16, 32}};
  EXPECT_EQ(images, expected);

  // Windows picks the image for each size it draws.
  HICON small = static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON, 16, 16, 0));
  EXPECT_NE(small, nullptr);
  if (small != nullptr) {
    DestroyIcon(small);
  }
}

TEST(RunnerResourcesTest, ManifestAsksForPerMonitorDpiAndNoElevation) {
  // The toolchain's default manifest must not have replaced ours.
  const std::string manifest = ResourceText(MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_FALSE(manifest.empty()) << "no manifest resource 1";
  EXPECT_NE(manifest.find(">PerMonitorV2<"), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);

  const std::string version = ResourceText(MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  EXPECT_FALSE(version.empty()) << "no version record";
}

}  // namespace
}  // namespace tonelark
