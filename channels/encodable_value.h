#ifndef CHANNELS_ENCODABLE_VALUE_H_
#define CHANNELS_ENCODABLE_VALUE_H_

#include <any>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;

// Lists and maps own their elements by value, so a value is a tree that copies deeply.
using ValueList = std::vector<EncodableValue>;
// Keys are unique under EncodableValue's operator<; iteration runs in ascending key order.
using ValueMap = std::map<EncodableValue, EncodableValue>;
using EncodableList = ValueList;
using EncodableMap = ValueMap;

// Holds one object of any copyable type. The standard codec cannot encode it; a derived
// serializer can. std::any keeps small objects inside the holder.
class CustomValue {
 public:
  template <typename T, typename = std::enable_if_t<!std::is_same_v<std::decay_t<T>, CustomValue>>>
  explicit CustomValue(T&& value) : value_(std::forward<T>(value)) {}

  const std::any& value() const { return value_; }
  const std::type_info& type() const { return value_.type(); }

  // The held object, or null when it is of another type.
  template <typename T>
  const T* get_if() const {
    return std::any_cast<T>(&value_);
  }

 private:
  std::any value_;
};
using CustomEncodableValue = CustomValue;

using EncodableVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<int32_t>, std::vector<int64_t>, std::vector<double>, ValueList,
                 ValueMap, CustomValue, std::vector<float>>;

// The alternatives of EncodableVariant by name, in its index order. The order is part of the wire
// format and of the ordering below, so it never changes. Code that treats each alternative in
// turn switches on EncodableValue::type() with a case for every name and no default, so that the
// compiler (-Wswitch) points at every switch that a new alternative would leave behind.
enum class ValueType : size_t {
  kNull,
  kBool,
  kInt32,
  kInt64,
  kDouble,
  kString,  // UTF-8 bytes
  kByteList,
  kInt32List,
  kInt64List,
  kDoubleList,
  kList,
  kMap,
  kCustom,
  kFloatList,
  kCount,  // not an alternative: the number of them
};

// The payload type of each alternative.
template <ValueType type>
using ValuePayload = std::variant_alternative_t<static_cast<size_t>(type), EncodableVariant>;

static_assert(std::variant_size_v<EncodableVariant> == static_cast<size_t>(ValueType::kCount),
              "every alternative needs a name in ValueType");
static_assert(std::is_same_v<ValuePayload<ValueType::kNull>, std::monostate>);
static_assert(std::is_same_v<ValuePayload<ValueType::kBool>, bool>);
static_assert(std::is_same_v<ValuePayload<ValueType::kInt32>, int32_t>);
static_assert(std::is_same_v<ValuePayload<ValueType::kInt64>, int64_t>);
static_assert(std::is_same_v<ValuePayload<ValueType::kDouble>, double>);
static_assert(std::is_same_v<ValuePayload<ValueType::kString>, std::string>);
static_assert(std::is_same_v<ValuePayload<ValueType::kByteList>, std::vector<uint8_t>>);
static_assert(std::is_same_v<ValuePayload<ValueType::kInt32List>, std::vector<int32_t>>);
static_assert(std::is_same_v<ValuePayload<ValueType::kInt64List>, std::vector<int64_t>>);
static_assert(std::is_same_v<ValuePayload<ValueType::kDoubleList>, std::vector<double>>);
static_assert(std::is_same_v<ValuePayload<ValueType::kList>, ValueList>);
static_assert(std::is_same_v<ValuePayload<ValueType::kMap>, ValueMap>);
static_assert(std::is_same_v<ValuePayload<ValueType::kCustom>, CustomValue>);
static_assert(std::is_same_v<ValuePayload<ValueType::kFloatList>, std::vector<float>>);

// The value carried by every channel; its alternatives are named by ValueType above.
// It derives publicly from std::variant, so index(), std::get, std::get_if and
// std::holds_alternative apply directly (std::visit needs the variant base: AsVariant()).
class EncodableValue : public EncodableVariant {
 public:
  using EncodableVariant::EncodableVariant;

  EncodableValue() = default;
  EncodableValue(const EncodableValue&) = default;
  EncodableValue(EncodableValue&&) = default;
  EncodableValue& operator=(const EncodableValue&) = default;
  EncodableValue& operator=(EncodableValue&&) = default;
  ~EncodableValue() = default;

  // A C string is a string, never a bool (keys such as "renderExclusive" rely on it); a null
  // pointer gives the empty string.
  EncodableValue(const char* string) : EncodableVariant(FromCString(string)) {}
  EncodableValue& operator=(const char* string) {
    EncodableVariant::operator=(FromCString(string));
    return *this;
  }

  bool IsNull() const { return std::holds_alternative<std::monostate>(*this); }

  // The held alternative by name.
  ValueType type() const { return static_cast<ValueType>(index()); }

  const EncodableVariant& AsVariant() const { return *this; }
  EncodableVariant& AsVariant() { return *this; }

 private:
  static std::string FromCString(const char* string) {
    return string != nullptr ? std::string(string) : std::string();
  }
};

// Strict weak ordering used as the ValueMap key comparison: the alternative index first, then the
// payload (unsigned bytes for strings and byte lists, signed numeric order for integers, IEEE
// less-than for floating point so a NaN is unordered, lexicographic for every list and for maps,
// and the EncodableValue object's address for custom values).
// Costs time linear in the smaller of the two values: one three-way comparison walks both once.
bool operator<(const EncodableValue& a, const EncodableValue& b);
inline bool operator>(const EncodableValue& a, const EncodableValue& b) { return b < a; }
inline bool operator<=(const EncodableValue& a, const EncodableValue& b) { return !(b < a); }
inline bool operator>=(const EncodableValue& a, const EncodableValue& b) { return !(a < b); }

// The same ordering as a three-way answer: negative when a orders before b, positive when b
// orders before a, 0 when the two are equivalent (the same ValueMap key). One call decides what
// a < b and b < a together would, at the cost of one of them.
int Compare(const EncodableValue& a, const EncodableValue& b);

// Structural equality: the same alternative holding equal payloads (IEEE == for floating point,
// so a NaN equals nothing; a custom value equals only itself).
bool operator==(const EncodableValue& a, const EncodableValue& b);
inline bool operator!=(const EncodableValue& a, const EncodableValue& b) { return !(a == b); }

// Test seam: how many values Compare and operator== have visited on this thread, nested values
// included.
uint64_t ValueStepsForTesting();

}  // namespace flutter

#endif  // CHANNELS_ENCODABLE_VALUE_H_
