// The user interface's side of the channel wire format, written independently of the program's
// codec so that the stand-in checks the program's bytes instead of agreeing with them by
// construction. The reader is tolerant: it never writes to standard error, never throws, bounds
// every announced size by the bytes that are really there and limits nesting, so a traffic log
// can describe any message, however broken.
#ifndef STANDINS_ENGINE_SCENARIO_WIRE_VALUE_H_
#define STANDINS_ENGINE_SCENARIO_WIRE_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace engine_standin {

// One decoded value. Scalars use the field of their kind; typed lists keep their raw
// little-endian element bytes in `text` and the element count in `count`.
struct WireValue {
  enum class Kind {
    kNull,
    kBool,
    kInt32,
    kInt64,
    kDouble,
    kString,
    kBytes,
    kInt32List,
    kInt64List,
    kDoubleList,
    kList,
    kMap,
    kFloatList,
  };

  Kind kind = Kind::kNull;
  bool boolean = false;
  int64_t integer = 0;  // kInt32 and kInt64
  double real = 0.0;    // kDouble
  std::string text;     // kString (UTF-8 bytes), kBytes and the typed lists (raw bytes)
  size_t count = 0;     // elements of kBytes and the typed lists
  // kList: the elements; kMap: key, value, key, value, ... in wire order.
  std::vector<WireValue> items;

  // The entry of a map whose key is the string `key`, or null when absent or not a map.
  const WireValue* Find(const std::string& key) const;
  // Element i of a typed numeric list as a double (0 outside the list).
  double NumberAt(size_t i) const;
};

// Reads tagged values from one message; alignment counts from the message's first byte.
class WireReader {
 public:
  WireReader(const uint8_t* data, size_t size);

  // Reads one tagged value. False when the message ended early, held an unknown tag or nested
  // too deeply; `value` then holds what could be read and the reader stays failed.
  bool ReadValue(WireValue* value);
  // Takes one untagged byte (an envelope's marker).
  bool SkipByte(uint8_t* byte);
  bool AtEnd() const { return pos_ >= size_; }
  bool failed() const { return failed_; }
  size_t position() const { return pos_; }

 private:
  bool ReadValueAt(WireValue* value, int depth);
  bool TakeByte(uint8_t* byte);
  bool TakeBytes(size_t n, std::string* out);
  bool TakeLength(size_t* length);
  bool Align(size_t alignment);
  bool Fail();

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;  // bytes from the start of the message
  bool failed_ = false;
};

// A decoded method call: its name and its single argument (null when the message had none).
struct WireCall {
  bool valid = false;  // the first value was a string
  std::string method;
  WireValue arguments;
  bool complete = true;  // false when the message was cut short or held an unknown tag
};
WireCall DecodeWireCall(const uint8_t* data, size_t size);

// A decoded reply or event envelope.
struct WireEnvelope {
  enum class Kind { kEmpty, kSuccess, kError, kUnknown };
  Kind kind = Kind::kEmpty;
  uint8_t first_byte = 0;
  WireValue result;                  // kSuccess
  WireValue code, message, details;  // kError
  bool complete = true;
};
WireEnvelope DecodeWireEnvelope(const uint8_t* data, size_t size);

// Human-readable forms used in the traffic log and on the view.
std::string DescribeValue(const WireValue& value);
// "setVolume(0.5)", or "not a method call: ..." for bytes that are none.
std::string DescribeCall(const uint8_t* data, size_t size);
// "success null", "error \"code\" \"message\" null", "empty (not implemented)", ...
std::string DescribeEnvelope(const uint8_t* data, size_t size);
// Space-separated lower-case hex bytes.
std::string HexBytes(const uint8_t* data, size_t size);

// Encodes the method call a user interface sends: the name, then one argument value already
// encoded as a tagged value by the Append* helpers below (an empty argument stands for null).
class WireCallEncoder {
 public:
  explicit WireCallEncoder(const std::string& method);

  void AppendNull();
  void AppendBool(bool value);
  void AppendInt32(int32_t value);
  void AppendInt64(int64_t value);
  void AppendDouble(double value);
  void AppendString(const std::string& value);
  // The tag and size of a map; the caller then appends `entries` keys and values, alternately.
  void AppendMapHeader(size_t entries);

  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void PutLength(size_t n);
  void PutLittleEndian(uint64_t value, int byte_count);

  std::vector<uint8_t> bytes_;
};

}  // namespace engine_standin

#endif  // STANDINS_ENGINE_SCENARIO_WIRE_VALUE_H_
