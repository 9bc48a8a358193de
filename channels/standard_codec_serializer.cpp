#include "channels/standard_codec_serializer.h"

#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

// Numbers go on the wire in host order through one block copy each; the hosts are little-endian.
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The standard codec copies numbers as little-endian blocks"
#endif
#endif

namespace flutter {
namespace {

enum Tag : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,  // read only: arrives as its decimal string
  kFloat64 = 6,
  kString = 7,
  kUInt8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

constexpr size_t kMaxWireLength = 0xFFFFFFFFu;

// Lists and maps being read on this thread around the current value.
thread_local int nesting_depth = 0;

class NestingScope {
 public:
  NestingScope() { ++nesting_depth; }
  ~NestingScope() { --nesting_depth; }
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;
};

void ReportInvalidRead() {
  std::cerr << "Invalid read in StandardCodecByteStreamReader" << std::endl;
}

template <typename T>
void WriteRaw(T value, ByteStreamWriter* stream) {
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  stream->PutBytes(bytes, sizeof(T));
}

template <typename T>
T ReadRaw(ByteStreamReader* stream) {
  uint8_t bytes[sizeof(T)] = {};
  stream->TakeBytes(bytes, sizeof(T));
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

// Element count of the strings, lists and maps whose size goes on the wire; 0 for the rest.
size_t WireCount(const EncodableValue& value) {
  switch (value.type()) {
    case ValueType::kNull:
    case ValueType::kBool:
    case ValueType::kInt32:
    case ValueType::kInt64:
    case ValueType::kDouble:
    case ValueType::kCustom:
    case ValueType::kCount:
      return 0;
    case ValueType::kString:
      return std::get<std::string>(value).size();
    case ValueType::kByteList:
      return std::get<std::vector<uint8_t>>(value).size();
    case ValueType::kInt32List:
      return std::get<std::vector<int32_t>>(value).size();
    case ValueType::kInt64List:
      return std::get<std::vector<int64_t>>(value).size();
    case ValueType::kDoubleList:
      return std::get<std::vector<double>>(value).size();
    case ValueType::kList:
      return std::get<ValueList>(value).size();
    case ValueType::kMap:
      return std::get<ValueMap>(value).size();
    case ValueType::kFloatList:
      return std::get<std::vector<float>>(value).size();
  }
  return 0;
}

constexpr size_t kMaxLengthField = 5;

// Writes the size field into field and answers its length in bytes.
size_t EncodeLength(size_t length, uint8_t* field) {
  if (length < 254) {
    field[0] = static_cast<uint8_t>(length);
    return 1;
  }
  if (length <= 0xFFFF) {
    const uint16_t value = static_cast<uint16_t>(length);
    field[0] = 254;
    std::memcpy(field + 1, &value, sizeof(value));
    return 1 + sizeof(value);
  }
  const uint32_t value = static_cast<uint32_t>(length);
  field[0] = 255;
  std::memcpy(field + 1, &value, sizeof(value));
  return 1 + sizeof(value);
}

// The tag and the size field in one write: the common prefix of strings, lists and maps.
void WriteTagAndLength(uint8_t tag, size_t length, ByteStreamWriter* stream) {
  uint8_t header[1 + kMaxLengthField];
  header[0] = tag;
  stream->PutBytes(header, 1 + EncodeLength(length, header + 1));
}

}  // namespace

StandardCodecSerializer::StandardCodecSerializer() = default;

StandardCodecSerializer::~StandardCodecSerializer() = default;

const StandardCodecSerializer& StandardCodecSerializer::SharedSerializer() {
  static const StandardCodecSerializer instance;
  return instance;
}

void StandardCodecSerializer::WriteLength(size_t length, ByteStreamWriter* stream) const {
  uint8_t field[kMaxLengthField];
  stream->PutBytes(field, EncodeLength(length, field));
}

size_t StandardCodecSerializer::ReadLength(ByteStreamReader* stream) const {
  const uint8_t first = stream->TakeByte();
  if (first < 254) {
    return first;
  }
  if (first == 254) {
    return ReadRaw<uint16_t>(stream);
  }
  return ReadRaw<uint32_t>(stream);
}

namespace {

// Size field, padding, then the elements as one block. The padding goes out for an empty list
// too: the reader always skips it, and without it the reader would skip into the next value.
template <typename T>
void WriteBlock(uint8_t tag, const std::vector<T>& elements, uint8_t alignment,
                ByteStreamWriter* stream) {
  WriteTagAndLength(tag, elements.size(), stream);
  if (alignment > 1) {
    stream->AlignWrite(alignment);
  }
  if (elements.empty()) {
    return;
  }
  stream->PutBytes(reinterpret_cast<const uint8_t*>(elements.data()), elements.size() * sizeof(T));
}

// A size beyond what remains would be zero-filled garbage at best and an allocation the message
// never paid for at worst: it yields the empty container instead.
bool FitsInRemaining(size_t count, size_t element_size, const ByteStreamReader& stream) {
  if (count > stream.BytesRemaining() / element_size) {
    ReportInvalidRead();
    return false;
  }
  return true;
}

template <typename T>
std::vector<T> ReadBlock(const StandardCodecSerializer& serializer, uint8_t alignment,
                         ByteStreamReader* stream) {
  const size_t count = serializer.ReadLength(stream);
  if (alignment > 1) {
    stream->AlignRead(alignment);
  }
  if (count == 0) {
    // Nothing to copy, but an alignment that ran past the end of the data is a failed read.
    uint8_t none = 0;
    stream->TakeBytes(&none, 0);
    return std::vector<T>();
  }
  if (!FitsInRemaining(count, sizeof(T), *stream)) {
    return std::vector<T>();
  }
  std::vector<T> elements(count);
  stream->TakeBytes(reinterpret_cast<uint8_t*>(elements.data()), count * sizeof(T));
  return elements;
}

std::string ReadString(const StandardCodecSerializer& serializer, ByteStreamReader* stream) {
  const size_t count = serializer.ReadLength(stream);
  std::string string;
  if (count == 0 || !FitsInRemaining(count, 1, *stream)) {
    return string;
  }
  string.resize(count);
  stream->TakeBytes(reinterpret_cast<uint8_t*>(&string[0]), count);
  return string;
}

// True when the data ended before all announced entries were read; reading on could only yield
// nulls, one failed read each, for as many entries as the size field claims.
bool DataEnded(const ByteStreamReader& stream) {
  if (stream.BytesRemaining() == 0) {
    ReportInvalidRead();
    return true;
  }
  return false;
}

// Moves the reader to the end of the data, for bytes whose layout cannot be known.
void AbandonRest(ByteStreamReader* stream) {
  uint8_t scratch[256];
  for (size_t remaining = stream->BytesRemaining();
       remaining != 0 && remaining != ByteStreamReader::kUnknownRemaining;
       remaining = stream->BytesRemaining()) {
    stream->TakeBytes(scratch, remaining < sizeof(scratch) ? remaining : sizeof(scratch));
  }
}

// Skips count elements of element_size bytes; false (after the invalid-read line) when the data
// ends first.
bool SkipElements(uint64_t count, size_t element_size, ByteStreamReader* stream) {
  const size_t remaining = stream->BytesRemaining();
  if (remaining != ByteStreamReader::kUnknownRemaining && count > remaining / element_size) {
    ReportInvalidRead();
    AbandonRest(stream);
    return false;
  }
  uint8_t scratch[256];
  for (uint64_t left = count * element_size; left != 0;) {
    const size_t chunk = left < sizeof(scratch) ? static_cast<size_t>(left) : sizeof(scratch);
    stream->TakeBytes(scratch, chunk);
    left -= chunk;
  }
  return true;
}

// Reads past the payload of a list or map (its tag already taken) without building anything and
// without recursion, so a container refused for its depth still ends where its encoding ends and
// the values after it are read from the right place. A tag the standard format does not define
// has no known length: the rest of the data is abandoned rather than misread.
void SkipContainer(const StandardCodecSerializer& serializer, uint8_t type,
                   ByteStreamReader* stream) {
  uint64_t pending = serializer.ReadLength(stream) * uint64_t{type == kMap ? 2u : 1u};
  while (pending != 0) {
    if (DataEnded(*stream)) {
      return;
    }
    --pending;
    bool complete = true;
    switch (stream->TakeByte()) {
      case kNull:
      case kTrue:
      case kFalse:
        break;
      case kInt32:
        complete = SkipElements(1, 4, stream);
        break;
      case kInt64:
        complete = SkipElements(1, 8, stream);
        break;
      case kFloat64:
        stream->AlignRead(8);
        complete = SkipElements(1, 8, stream);
        break;
      case kLargeInt:
      case kString:
      case kUInt8List:
        complete = SkipElements(serializer.ReadLength(stream), 1, stream);
        break;
      case kInt32List:
      case kFloat32List: {
        const size_t count = serializer.ReadLength(stream);
        stream->AlignRead(4);
        complete = SkipElements(count, 4, stream);
        break;
      }
      case kInt64List:
      case kFloat64List: {
        const size_t count = serializer.ReadLength(stream);
        stream->AlignRead(8);
        complete = SkipElements(count, 8, stream);
        break;
      }
      case kList:
        pending += serializer.ReadLength(stream);
        break;
      case kMap:
        pending += uint64_t{2} * serializer.ReadLength(stream);
        break;
      default:
        AbandonRest(stream);
        return;
    }
    if (!complete) {
      return;
    }
  }
}

}  // namespace

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* stream) const {
  if (WireCount(value) > kMaxWireLength) {
    // The size field would keep only the low 32 bits and the receiver would misread everything
    // after it; a null keeps the rest of the message intact.
    std::cerr << "Value too large in StandardCodecSerializer::WriteValue: more than 4294967295 "
                 "elements."
              << std::endl;
    stream->PutByte(kNull);
    return;
  }
  switch (value.type()) {
    case ValueType::kNull:
      stream->PutByte(kNull);
      return;
    case ValueType::kBool:
      stream->PutByte(std::get<bool>(value) ? kTrue : kFalse);
      return;
    case ValueType::kInt32:
      stream->PutByte(kInt32);
      WriteRaw(std::get<int32_t>(value), stream);
      return;
    case ValueType::kInt64:
      stream->PutByte(kInt64);
      WriteRaw(std::get<int64_t>(value), stream);
      return;
    case ValueType::kDouble:
      stream->PutByte(kFloat64);
      stream->AlignWrite(8);
      WriteRaw(std::get<double>(value), stream);
      return;
    case ValueType::kString: {
      const std::string& string = std::get<std::string>(value);
      WriteTagAndLength(kString, string.size(), stream);
      if (!string.empty()) {
        stream->PutBytes(reinterpret_cast<const uint8_t*>(string.data()), string.size());
      }
      return;
    }
    case ValueType::kByteList:
      WriteBlock(kUInt8List, std::get<std::vector<uint8_t>>(value), 1, stream);
      return;
    case ValueType::kInt32List:
      WriteBlock(kInt32List, std::get<std::vector<int32_t>>(value), 4, stream);
      return;
    case ValueType::kInt64List:
      WriteBlock(kInt64List, std::get<std::vector<int64_t>>(value), 8, stream);
      return;
    case ValueType::kDoubleList:
      WriteBlock(kFloat64List, std::get<std::vector<double>>(value), 8, stream);
      return;
    case ValueType::kList: {
      const ValueList& list = std::get<ValueList>(value);
      WriteTagAndLength(kList, list.size(), stream);
      for (const EncodableValue& element : list) {
        WriteValue(element, stream);
      }
      return;
    }
    case ValueType::kMap: {
      const ValueMap& map = std::get<ValueMap>(value);
      WriteTagAndLength(kMap, map.size(), stream);
      for (const auto& entry : map) {
        WriteValue(entry.first, stream);
        WriteValue(entry.second, stream);
      }
      return;
    }
    case ValueType::kCustom:
      stream->PutByte(kNull);
      std::cerr << "Unhandled custom type in StandardCodecSerializer::WriteValue. "
                << "Custom types require codec extensions." << std::endl;
      return;
    case ValueType::kFloatList:
      WriteBlock(kFloat32List, std::get<std::vector<float>>(value), 4, stream);
      return;
    case ValueType::kCount:
      break;
  }
  stream->PutByte(kNull);
}

EncodableValue StandardCodecSerializer::ReadTaggedValue(ByteStreamReader* stream) const {
  const uint8_t type = stream->TakeByte();
  return ReadValueOfType(type, stream);
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
  switch (type) {
    case kNull:
      return EncodableValue();
    case kTrue:
      return EncodableValue(true);
    case kFalse:
      return EncodableValue(false);
    case kInt32:
      return EncodableValue(ReadRaw<int32_t>(stream));
    case kInt64:
      return EncodableValue(ReadRaw<int64_t>(stream));
    case kFloat64:
      stream->AlignRead(8);
      return EncodableValue(ReadRaw<double>(stream));
    case kLargeInt:
    case kString:
      return EncodableValue(ReadString(*this, stream));
    case kUInt8List:
      return EncodableValue(ReadBlock<uint8_t>(*this, 1, stream));
    case kInt32List:
      return EncodableValue(ReadBlock<int32_t>(*this, 4, stream));
    case kInt64List:
      return EncodableValue(ReadBlock<int64_t>(*this, 8, stream));
    case kFloat64List:
      return EncodableValue(ReadBlock<double>(*this, 8, stream));
    case kFloat32List:
      return EncodableValue(ReadBlock<float>(*this, 4, stream));
    case kList:
    case kMap:
      break;
    default:
      std::cerr << "Unknown type in StandardCodecSerializer::ReadValueOfType: "
                << static_cast<int>(type) << std::endl;
      return EncodableValue();
  }

  if (nesting_depth >= kMaxNestingDepth) {
    // Each level costs stack in this recursion and again when the value is destroyed. The refused
    // container reads as null, and reading goes on after its last byte.
    std::cerr << "Nesting too deep in StandardCodecSerializer::ReadValueOfType: "
              << static_cast<int>(type) << std::endl;
    SkipContainer(*this, type, stream);
    return EncodableValue();
  }
  NestingScope scope;
  const size_t count = ReadLength(stream);
  if (type == kList) {
    // No reservation from the size field: nested lists would each reserve against the same
    // remaining bytes, multiplying the memory by the depth. Growth keeps it near what is read.
    ValueList list;
    for (size_t i = 0; i < count && !DataEnded(*stream); ++i) {
      list.push_back(ReadTaggedValue(stream));
    }
    return EncodableValue(std::move(list));
  }
  ValueMap map;
  for (size_t i = 0; i < count && !DataEnded(*stream); ++i) {
    EncodableValue key = ReadTaggedValue(stream);
    EncodableValue entry = ReadTaggedValue(stream);
    // The first of two equivalent keys wins. Keys arrive in ascending order from any encoder
    // that follows the format, and the hint then settles each insert with one comparison.
    map.try_emplace(map.end(), std::move(key), std::move(entry));
  }
  return EncodableValue(std::move(map));
}

}  // namespace flutter
