#include "standins/engine/scenario/scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "standins/engine/scenario/wire_value.h"

namespace engine_standin {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits off the next blank-separated token of `rest`, leaving the remainder in `rest`.
std::string NextToken(std::string* rest) {
  size_t begin = 0;
  while (begin < rest->size() && IsBlank((*rest)[begin])) ++begin;
  size_t end = begin;
  while (end < rest->size() && !IsBlank((*rest)[end])) ++end;
  std::string token = rest->substr(begin, end - begin);
  *rest = rest->substr(end);
  return token;
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseInteger(const std::string& text, int64_t min, int64_t max, int64_t* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseDouble(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return *end == '\0';
}

// A quoted string with C-like escapes, or the text as it stands.
bool ParseString(const std::string& text, std::string* value) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
    *value = text;
    return true;
  }
  value->clear();
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\') {
      *value += c;
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const char e = text[++i];
    if (e == 'n') {
      *value += '\n';
    } else if (e == 't') {
      *value += '\t';
    } else if (e == '"' || e == '\\') {
      *value += e;
    } else if (e == 'x' && i + 3 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      *value += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes, std::string* why) {
  int high = -1;
  for (char c : text) {
    if (IsBlank(c)) {
      if (high >= 0) {
        *why = "odd number of hex digits in a byte";
        return false;
      }
      continue;
    }
    const int digit = HexDigit(c);
    if (digit < 0) {
      *why = std::string("not a hex digit: '") + c + "'";
      return false;
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes->push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0) {
    *why = "odd number of hex digits";
    return false;
  }
  return true;
}

// Appends one value of a scalar type (none, null, bool, int, long, double, string).
bool AppendScalar(const std::string& type, const std::string& value, WireCallEncoder* encoder,
                  std::string* why) {
  if (type == "none" || type == "null") {
    if (!value.empty()) {
      *why = "no value expected after '" + type + "'";
      return false;
    }
    encoder->AppendNull();
  } else if (type == "bool") {
    if (value != "true" && value != "false") {
      *why = "bool value must be true or false: '" + value + "'";
      return false;
    }
    encoder->AppendBool(value == "true");
  } else if (type == "int" || type == "long") {
    int64_t number;
    const bool is_int = type == "int";
    if (!ParseInteger(
            value,
            is_int ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int64_t>::min(),
            is_int ? std::numeric_limits<int32_t>::max() : std::numeric_limits<int64_t>::max(),
            &number)) {
      *why = "bad " + type + " value: '" + value + "'";
      return false;
    }
    if (is_int) {
      encoder->AppendInt32(static_cast<int32_t>(number));
    } else {
      encoder->AppendInt64(number);
    }
  } else if (type == "double") {
    double number;
    if (!ParseDouble(value, &number)) {
      *why = "bad double value: '" + value + "'";
      return false;
    }
    encoder->AppendDouble(number);
  } else if (type == "string") {
    std::string text;
    if (!ParseString(value, &text)) {
      *why = "bad string escape in: " + value;
      return false;
    }
    encoder->AppendString(text);
  } else {
    *why = "unknown value type '" + type + "'";
    return false;
  }
  return true;
}

// The end of the double-quoted text that starts at `begin`, just past the closing quote, or npos
// when it is not closed. A backslash keeps the character after it inside the quotes.
size_t QuotedEnd(const std::string& text, size_t begin) {
  for (size_t i = begin + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return std::string::npos;
}

// Splits map entries at the blanks outside double quotes.
bool SplitEntries(const std::string& text, std::vector<std::string>* entries, std::string* why) {
  std::string current;
  for (size_t i = 0; i < text.size();) {
    if (IsBlank(text[i])) {
      if (!current.empty()) entries->push_back(current);
      current.clear();
      ++i;
    } else if (text[i] == '"') {
      const size_t end = QuotedEnd(text, i);
      if (end == std::string::npos) {
        *why = "unclosed quote in map: " + text.substr(i);
        return false;
      }
      current += text.substr(i, end - i);
      i = end;
    } else {
      current += text[i++];
    }
  }
  if (!current.empty()) entries->push_back(current);
  return true;
}

// Appends "<key>=<type>:<value> ..." as a map with string keys, in the order written.
bool AppendMap(const std::string& text, WireCallEncoder* encoder, std::string* why) {
  std::vector<std::string> entries;
  if (!SplitEntries(text, &entries, why)) return false;
  encoder->AppendMapHeader(entries.size());
  std::vector<std::string> keys;
  for (const std::string& entry : entries) {
    size_t equals = entry.find('=');
    if (!entry.empty() && entry.front() == '"') {
      const size_t end = QuotedEnd(entry, 0);
      equals = end < entry.size() && entry[end] == '=' ? end : std::string::npos;
    }
    if (equals == std::string::npos || equals == 0) {
      *why = "map entry is not <key>=<type>:<value>: '" + entry + "'";
      return false;
    }
    std::string key;
    if (!ParseString(entry.substr(0, equals), &key)) {
      *why = "bad string escape in map key: " + entry.substr(0, equals);
      return false;
    }
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
      *why = "map key '" + key + "' given twice";
      return false;
    }
    keys.push_back(key);
    const std::string typed = entry.substr(equals + 1);
    const size_t colon = typed.find(':');
    const std::string type = typed.substr(0, colon);
    const std::string value = colon == std::string::npos ? "" : typed.substr(colon + 1);
    if (type == "map") {
      *why = "a map inside a map is not supported: '" + entry + "'";
      return false;
    }
    encoder->AppendString(key);
    if (!AppendScalar(type, value, encoder, why)) return false;
  }
  return true;
}

// Encodes "<method> [<type> <value>]" as a method call.
bool ParseCall(std::string rest, std::vector<uint8_t>* message, std::string* why) {
  const std::string method = NextToken(&rest);
  if (method.empty()) {
    *why = "call without a method name";
    return false;
  }
  const std::string type = NextToken(&rest);
  const std::string value = Trim(rest);
  WireCallEncoder encoder(method);
  if (type.empty()) {
    if (!value.empty()) {
      *why = "no value expected after '" + method + "'";
      return false;
    }
    encoder.AppendNull();
  } else if (type == "map") {
    if (!AppendMap(value, &encoder, why)) return false;
  } else if (!AppendScalar(type, value, &encoder, why)) {
    return false;
  }
  *message = encoder.bytes();
  return true;
}

bool ParseLine(const std::string& line, ScenarioAction* action, std::string* why) {
  std::string rest = line;
  const std::string time = NextToken(&rest);
  int64_t at_ms;
  if (!ParseInteger(time, 0, std::numeric_limits<int32_t>::max(), &at_ms) ||
      time.find_first_not_of("0123456789") != std::string::npos) {
    *why = "bad time '" + time + "'";
    return false;
  }
  action->at_ms = at_ms;
  const std::string verb = NextToken(&rest);
  if (verb == "close") {
    action->kind = ScenarioAction::Kind::kClose;
    if (!Trim(rest).empty()) {
      *why = "close takes no arguments";
      return false;
    }
    return true;
  }
  if (verb != "listen" && verb != "cancel" && verb != "call" && verb != "raw") {
    *why = "unknown action '" + verb + "'";
    return false;
  }
  action->channel = NextToken(&rest);
  if (action->channel.empty()) {
    *why = verb + " without a channel";
    return false;
  }
  if (verb == "listen" || verb == "cancel") {
    action->kind = verb == "listen" ? ScenarioAction::Kind::kListen : ScenarioAction::Kind::kCancel;
    if (!Trim(rest).empty()) {
      *why = verb + " takes only a channel";
      return false;
    }
    WireCallEncoder encoder(verb);
    encoder.AppendNull();
    action->message = encoder.bytes();
    return true;
  }
  if (verb == "raw") {
    action->kind = ScenarioAction::Kind::kRaw;
    return ParseHex(rest, &action->message, why);
  }
  action->kind = ScenarioAction::Kind::kCall;
  return ParseCall(rest, &action->message, why);
}

// Drops a comment: a '#' at the start of the line or after a blank (a '#' inside a string value
// that is not preceded by a blank stays).
std::string WithoutComment(const std::string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || IsBlank(line[i - 1]))) {
      // Inside quotes the '#' belongs to the string.
      const size_t quotes = static_cast<size_t>(std::count(line.begin(), line.begin() + i, '"'));
      if (quotes % 2 == 0) return line.substr(0, i);
    }
  }
  return line;
}

}  // namespace

Scenario ParseScenario(const std::string& text) {
  Scenario scenario;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const std::string content = Trim(WithoutComment(line));
    if (content.empty()) continue;
    ScenarioAction action;
    action.line = number;
    std::string why;
    if (ParseLine(content, &action, &why)) {
      scenario.actions.push_back(std::move(action));
    } else {
      scenario.errors.push_back("line " + std::to_string(number) + ": " + why);
    }
  }
  std::stable_sort(
      scenario.actions.begin(), scenario.actions.end(),
      [](const ScenarioAction& a, const ScenarioAction& b) { return a.at_ms < b.at_ms; });
  return scenario;
}

}  // namespace engine_standin
