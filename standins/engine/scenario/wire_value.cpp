#include "standins/engine/scenario/wire_value.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace engine_standin {
namespace {

// Deeper nesting than any real message: a hostile message cannot exhaust the stack.
constexpr int kMaxDepth = 64;
// Elements shown of a long list in a description.
constexpr size_t kShownElements = 8;

size_t ElementSize(WireValue::Kind kind) {
  switch (kind) {
    case WireValue::Kind::kBytes:
      return 1;
    case WireValue::Kind::kInt32List:
    case WireValue::Kind::kFloatList:
      return 4;
    case WireValue::Kind::kInt64List:
    case WireValue::Kind::kDoubleList:
      return 8;
    default:
      return 0;
  }
}

uint64_t LittleEndian(const std::string& bytes, size_t offset, size_t n) {
  uint64_t value = 0;
  for (size_t i = 0; i < n && offset + i < bytes.size(); ++i) {
    value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
  }
  return value;
}

double DoubleFromBits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

float FloatFromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string FormatDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[40];
  // Whole digits that %g would put into an exponent when the precision is shorter (10 as
  // "1e+01"); up to 16 of them read better written out.
  const double magnitude = std::fabs(value);
  int whole_digits = 0;
  if (magnitude < 1e16) {
    for (double power = 1.0; magnitude >= power; power *= 10.0) ++whole_digits;
  }
  // The shortest form that reads back as the same double.
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
    if (std::strtod(buffer, nullptr) == value) {
      if (precision < whole_digits) {
        std::snprintf(buffer, sizeof buffer, "%.*g", whole_digits, value);
      }
      break;
    }
  }
  std::string text = buffer;
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

// The text with quotes, backslashes and control characters escaped, so that it stays on one line.
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Quote(const std::string& text) { return "\"" + Escape(text) + "\""; }

std::string DescribeTypedList(const WireValue& value, const char* name) {
  std::string out = std::string(name) + "[" + std::to_string(value.count) + "]";
  if (value.count == 0) return out;
  const bool bytes = value.kind == WireValue::Kind::kBytes;
  // Byte lists are mostly PCM: show their content only when short.
  if (bytes && value.count > 16) return out;
  out += "{";
  const size_t shown = bytes ? value.count : std::min(value.count, kShownElements);
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out += bytes ? " " : ", ";
    if (bytes) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x", static_cast<uint8_t>(value.text[i]));
      out += hex;
    } else if (value.kind == WireValue::Kind::kInt32List ||
               value.kind == WireValue::Kind::kInt64List) {
      out += std::to_string(static_cast<int64_t>(value.NumberAt(i)));
    } else {
      out += FormatDouble(value.NumberAt(i));
    }
  }
  if (shown < value.count) out += ", ...";
  return out + "}";
}

}  // namespace

const WireValue* WireValue::Find(const std::string& key) const {
  if (kind != Kind::kMap) return nullptr;
  for (size_t i = 0; i + 1 < items.size(); i += 2) {
    if (items[i].kind == Kind::kString && items[i].text == key) return &items[i + 1];
  }
  return nullptr;
}

double WireValue::NumberAt(size_t i) const {
  const size_t size = ElementSize(kind);
  if (size == 0 || i >= count) return 0.0;
  const uint64_t bits = LittleEndian(text, i * size, size);
  switch (kind) {
    case Kind::kBytes:
      return static_cast<double>(bits);
    case Kind::kInt32List:
      return static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(bits)));
    case Kind::kInt64List:
      return static_cast<double>(static_cast<int64_t>(bits));
    case Kind::kFloatList:
      return FloatFromBits(static_cast<uint32_t>(bits));
    default:
      return DoubleFromBits(bits);
  }
}

WireReader::WireReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

bool WireReader::ReadValue(WireValue* value) {
  *value = WireValue();
  if (failed_) return false;
  return ReadValueAt(value, 0);
}

bool WireReader::Fail() {
  failed_ = true;
  return false;
}

bool WireReader::SkipByte(uint8_t* byte) { return TakeByte(byte); }

bool WireReader::TakeByte(uint8_t* byte) {
  if (pos_ >= size_) return Fail();
  *byte = data_[pos_++];
  return true;
}

bool WireReader::TakeBytes(size_t n, std::string* out) {
  if (n > size_ - pos_) return Fail();
  out->assign(reinterpret_cast<const char*>(data_ + pos_), n);
  pos_ += n;
  return true;
}

bool WireReader::TakeLength(size_t* length) {
  uint8_t first;
  if (!TakeByte(&first)) return false;
  if (first < 254) {
    *length = first;
    return true;
  }
  std::string wide;
  if (!TakeBytes(first == 254 ? 2 : 4, &wide)) return false;
  *length = static_cast<size_t>(LittleEndian(wide, 0, wide.size()));
  return true;
}

bool WireReader::Align(size_t alignment) {
  const size_t rest = pos_ % alignment;
  if (rest == 0) return true;
  const size_t skip = alignment - rest;
  if (skip > size_ - pos_) return Fail();
  pos_ += skip;
  return true;
}

bool WireReader::ReadValueAt(WireValue* value, int depth) {
  if (depth > kMaxDepth) return Fail();
  uint8_t tag;
  if (!TakeByte(&tag)) return false;
  using Kind = WireValue::Kind;
  std::string raw;
  switch (tag) {
    case 0:
      value->kind = Kind::kNull;
      return true;
    case 1:
    case 2:
      value->kind = Kind::kBool;
      value->boolean = tag == 1;
      return true;
    case 3:
      value->kind = Kind::kInt32;
      if (!TakeBytes(4, &raw)) return false;
      value->integer = static_cast<int32_t>(static_cast<uint32_t>(LittleEndian(raw, 0, 4)));
      return true;
    case 4:
      value->kind = Kind::kInt64;
      if (!TakeBytes(8, &raw)) return false;
      value->integer = static_cast<int64_t>(LittleEndian(raw, 0, 8));
      return true;
    case 6:
      value->kind = Kind::kDouble;
      if (!Align(8) || !TakeBytes(8, &raw)) return false;
      value->real = DoubleFromBits(LittleEndian(raw, 0, 8));
      return true;
    case 5:
    case 7: {
      value->kind = Kind::kString;
      size_t length;
      return TakeLength(&length) && TakeBytes(length, &value->text);
    }
    case 8:
    case 9:
    case 10:
    case 11:
    case 14: {
      value->kind = tag == 8    ? Kind::kBytes
                    : tag == 9  ? Kind::kInt32List
                    : tag == 10 ? Kind::kInt64List
                    : tag == 11 ? Kind::kDoubleList
                                : Kind::kFloatList;
      const size_t element = ElementSize(value->kind);
      size_t count;
      if (!TakeLength(&count)) return false;
      if (element > 1 && !Align(element)) return false;
      if (count > (size_ - pos_) / element) return Fail();
      value->count = count;
      return TakeBytes(count * element, &value->text);
    }
    case 12:
    case 13: {
      value->kind = tag == 12 ? Kind::kList : Kind::kMap;
      size_t count;
      if (!TakeLength(&count)) return false;
      const size_t per_entry = tag == 12 ? 1 : 2;
      // Every value takes at least its tag byte: a larger count cannot be real.
      if (count > (size_ - pos_) / per_entry) return Fail();
      for (size_t i = 0; i < count * per_entry; ++i) {
        value->items.emplace_back();
        if (!ReadValueAt(&value->items.back(), depth + 1)) return false;
      }
      value->count = count;
      return true;
    }
    default:
      return Fail();
  }
}

WireCall DecodeWireCall(const uint8_t* data, size_t size) {
  WireCall call;
  WireReader reader(data, size);
  WireValue name;
  if (!reader.ReadValue(&name) || name.kind != WireValue::Kind::kString) {
    call.complete = !reader.failed();
    return call;
  }
  call.valid = true;
  call.method = name.text;
  call.complete = reader.ReadValue(&call.arguments);
  return call;
}

WireEnvelope DecodeWireEnvelope(const uint8_t* data, size_t size) {
  WireEnvelope envelope;
  if (data == nullptr || size == 0) return envelope;
  envelope.first_byte = data[0];
  WireReader body(data, size);
  uint8_t marker;
  body.SkipByte(&marker);
  if (marker == 0) {
    envelope.kind = WireEnvelope::Kind::kSuccess;
    envelope.complete = body.ReadValue(&envelope.result);
  } else if (marker == 1) {
    envelope.kind = WireEnvelope::Kind::kError;
    envelope.complete = body.ReadValue(&envelope.code) && body.ReadValue(&envelope.message) &&
                        body.ReadValue(&envelope.details);
  } else {
    envelope.kind = WireEnvelope::Kind::kUnknown;
  }
  return envelope;
}

std::string DescribeValue(const WireValue& value) {
  using Kind = WireValue::Kind;
  switch (value.kind) {
    case Kind::kNull:
      return "null";
    case Kind::kBool:
      return value.boolean ? "true" : "false";
    case Kind::kInt32:
      return std::to_string(value.integer);
    case Kind::kInt64:
      return std::to_string(value.integer) + "L";
    case Kind::kDouble:
      return FormatDouble(value.real);
    case Kind::kString:
      return Quote(value.text);
    case Kind::kBytes:
      return DescribeTypedList(value, "bytes");
    case Kind::kInt32List:
      return DescribeTypedList(value, "int32");
    case Kind::kInt64List:
      return DescribeTypedList(value, "int64");
    case Kind::kDoubleList:
      return DescribeTypedList(value, "double");
    case Kind::kFloatList:
      return DescribeTypedList(value, "float");
    case Kind::kList: {
      std::string out = "[";
      for (size_t i = 0; i < value.items.size(); ++i) {
        if (i > 0) out += ", ";
        out += DescribeValue(value.items[i]);
      }
      return out + "]";
    }
    case Kind::kMap: {
      std::string out = "{";
      for (size_t i = 0; i < value.items.size(); i += 2) {
        if (i > 0) out += ", ";
        out += DescribeValue(value.items[i]);
        out += ": ";
        out += i + 1 < value.items.size() ? DescribeValue(value.items[i + 1]) : "?";
      }
      return out + "}";
    }
  }
  return "?";
}

std::string DescribeCall(const uint8_t* data, size_t size) {
  const WireCall call = DecodeWireCall(data, size);
  if (!call.valid) {
    if (size == 0) return "not a method call: empty message";
    return call.complete ? "not a method call: first value is not a string"
                         : "not a method call: unreadable bytes";
  }
  std::string out = Escape(call.method) + "(" + DescribeValue(call.arguments) + ")";
  if (!call.complete) out += " <truncated>";
  return out;
}

std::string DescribeEnvelope(const uint8_t* data, size_t size) {
  const WireEnvelope envelope = DecodeWireEnvelope(data, size);
  std::string out;
  switch (envelope.kind) {
    case WireEnvelope::Kind::kEmpty:
      return "empty (not implemented)";
    case WireEnvelope::Kind::kSuccess:
      out = "success " + DescribeValue(envelope.result);
      break;
    case WireEnvelope::Kind::kError:
      out = "error " + DescribeValue(envelope.code) + " " + DescribeValue(envelope.message) + " " +
            DescribeValue(envelope.details);
      break;
    case WireEnvelope::Kind::kUnknown: {
      char text[48];
      std::snprintf(text, sizeof text, "unknown envelope 0x%02x", envelope.first_byte);
      return text;
    }
  }
  if (!envelope.complete) out += " <truncated>";
  return out;
}

std::string HexBytes(const uint8_t* data, size_t size) {
  std::string out;
  out.reserve(size * 3);
  char hex[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", data[i]);
    out += hex;
  }
  return out;
}

WireCallEncoder::WireCallEncoder(const std::string& method) { AppendString(method); }

void WireCallEncoder::AppendNull() { bytes_.push_back(0); }

void WireCallEncoder::AppendBool(bool value) { bytes_.push_back(value ? 1 : 2); }

void WireCallEncoder::AppendInt32(int32_t value) {
  bytes_.push_back(3);
  PutLittleEndian(static_cast<uint32_t>(value), 4);
}

void WireCallEncoder::AppendInt64(int64_t value) {
  bytes_.push_back(4);
  PutLittleEndian(static_cast<uint64_t>(value), 8);
}

void WireCallEncoder::AppendDouble(double value) {
  bytes_.push_back(6);
  while (bytes_.size() % 8 != 0) bytes_.push_back(0);
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutLittleEndian(bits, 8);
}

void WireCallEncoder::AppendString(const std::string& value) {
  bytes_.push_back(7);
  PutLength(value.size());
  bytes_.insert(bytes_.end(), value.begin(), value.end());
}

void WireCallEncoder::AppendMapHeader(size_t entries) {
  bytes_.push_back(13);
  PutLength(entries);
}

void WireCallEncoder::PutLength(size_t n) {
  if (n < 254) {
    bytes_.push_back(static_cast<uint8_t>(n));
  } else if (n <= 0xFFFF) {
    bytes_.push_back(254);
    PutLittleEndian(n, 2);
  } else {
    bytes_.push_back(255);
    PutLittleEndian(n, 4);
  }
}

void WireCallEncoder::PutLittleEndian(uint64_t value, int byte_count) {
  for (int i = 0; i < byte_count; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace engine_standin
