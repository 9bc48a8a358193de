#include "runner/command_line.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace tonelark {
namespace {

constexpr wchar_t kChildVariable[] = L"TONELARK_RUNNER_TESTS_PRINT_ARGUMENTS";

// In a child started by the tests below, prints each argument as one line of hex bytes ("-" for
// an empty one) and ends the process before any test runs: the command line is a property of
// the process, so the only way to try several is to start several.
const bool kIsChild = [] {
  if (GetEnvironmentVariableW(kChildVariable, nullptr, 0) == 0) {
    return false;
  }
  std::string out;
  for (const std::string& argument : CommandLineArguments()) {
    if (argument.empty()) {
      out += "-";
    }
    for (unsigned char byte : argument) {
      char hex[3];
      std::snprintf(hex, sizeof(hex), "%02x", byte);
      out += hex;
    }
    out += "\n";
  }
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
            nullptr);
  ExitProcess(0);
  return true;
}();

// Runs this test program with `arguments` appended to its quoted path and returns what the
// child printed, one entry per argument.
std::vector<std::string> ArgumentsSeenByChild(const std::wstring& arguments) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command_line = L"\"" + std::wstring(path) + L"\"" + arguments;

  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed";
    return {};
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  SetEnvironmentVariableW(kChildVariable, L"1");
  const BOOL started = CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  SetEnvironmentVariableW(kChildVariable, nullptr);
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    return {};
  }

  std::string output;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    output.append(buffer, got);
  }
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(read_end);

  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(output.substr(start, end - start));
  }
  return lines;
}

TEST(CommandLineArgumentsTest, ArgumentsArriveAsUtf8InOrderWithoutTheProgramName) {
  ASSERT_FALSE(kIsChild);
  EXPECT_EQ(ArgumentsSeenByChild(L" a \"\" \u00e9 \"x y\" \U0001F3B8"),
            (std::vector<std::string>{"61", "-", "c3a9", "782079", "f09f8eb8"}));
  EXPECT_TRUE(ArgumentsSeenByChild(L"").empty());

  // Unpaired surrogates, alone and after other text, keep their places as empty arguments.
  const std::wstring lone_high(1, static_cast<wchar_t>(0xD800));
  const std::wstring trailing_low = L"ab" + std::wstring(1, static_cast<wchar_t>(0xDC00));
  EXPECT_EQ(ArgumentsSeenByChild(L" first " + lone_high + L" " + trailing_low + L" last"),
            (std::vector<std::string>{"6669727374", "-", "-", "6c617374"}));
}

}  // namespace
}  // namespace tonelark
