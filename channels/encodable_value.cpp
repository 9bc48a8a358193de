#include "channels/encodable_value.h"

#include <algorithm>
#include <cstddef>
#include <functional>

namespace flutter {
namespace {

// -1, 0 or 1 from the two less-than tests; 0 also when neither holds because of a NaN.
template <typename T>
int CompareScalars(const T& a, const T& b) {
  if (a < b) {
    return -1;
  }
  if (b < a) {
    return 1;
  }
  return 0;
}

// Integer and byte lists: by element (signed for integers, unsigned for bytes), shorter first on
// a common prefix.
template <typename T>
int CompareIntegerLists(const std::vector<T>& a, const std::vector<T>& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) {
      return a[i] < b[i] ? -1 : 1;
    }
  }
  return CompareScalars(a.size(), b.size());
}

// The first pair that is not equal decides, and an unordered pair (a NaN) makes the two lists
// equivalent, whatever follows. A common prefix puts the shorter list first.
template <typename Float>
int CompareFloatLists(const std::vector<Float>& a, const std::vector<Float>& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (!(a[i] == b[i])) {
      return CompareScalars(a[i], b[i]);
    }
  }
  return CompareScalars(a.size(), b.size());
}

int CompareStrings(const std::string& a, const std::string& b) {
  // char_traits<char> compares the bytes as unsigned char.
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// Each element pair is compared once, so nested lists cost their size, not 2^depth.
int CompareLists(const ValueList& a, const ValueList& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const int order = Compare(a[i], b[i]);
    if (order != 0) {
      return order;
    }
  }
  return CompareScalars(a.size(), b.size());
}

int CompareMaps(const ValueMap& a, const ValueMap& b) {
  auto ia = a.begin();
  auto ib = b.begin();
  for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
    int order = Compare(ia->first, ib->first);
    if (order == 0) {
      order = Compare(ia->second, ib->second);
    }
    if (order != 0) {
      return order;
    }
  }
  return CompareScalars(a.size(), b.size());
}

bool EqualLists(const ValueList& a, const ValueList& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i])) {
      return false;
    }
  }
  return true;
}

bool EqualMaps(const ValueMap& a, const ValueMap& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
    if (!(ia->first == ib->first) || !(ia->second == ib->second)) {
      return false;
    }
  }
  return true;
}

// Values compared on this thread, for showing that comparison cost stays linear.
thread_local uint64_t value_steps = 0;

template <ValueType type>
const ValuePayload<type>& Get(const EncodableValue& value) {
  return std::get<static_cast<size_t>(type)>(value.AsVariant());
}

}  // namespace

uint64_t ValueStepsForTesting() { return value_steps; }

int Compare(const EncodableValue& a, const EncodableValue& b) {
  ++value_steps;
  if (a.index() != b.index()) {
    return a.index() < b.index() ? -1 : 1;
  }
  switch (a.type()) {
    case ValueType::kNull:
      return 0;
    case ValueType::kBool:
      return CompareScalars(Get<ValueType::kBool>(a), Get<ValueType::kBool>(b));
    case ValueType::kInt32:
      return CompareScalars(Get<ValueType::kInt32>(a), Get<ValueType::kInt32>(b));
    case ValueType::kInt64:
      return CompareScalars(Get<ValueType::kInt64>(a), Get<ValueType::kInt64>(b));
    case ValueType::kDouble:
      return CompareScalars(Get<ValueType::kDouble>(a), Get<ValueType::kDouble>(b));
    case ValueType::kString:
      return CompareStrings(Get<ValueType::kString>(a), Get<ValueType::kString>(b));
    case ValueType::kByteList:
      return CompareIntegerLists(Get<ValueType::kByteList>(a), Get<ValueType::kByteList>(b));
    case ValueType::kInt32List:
      return CompareIntegerLists(Get<ValueType::kInt32List>(a), Get<ValueType::kInt32List>(b));
    case ValueType::kInt64List:
      return CompareIntegerLists(Get<ValueType::kInt64List>(a), Get<ValueType::kInt64List>(b));
    case ValueType::kDoubleList:
      return CompareFloatLists(Get<ValueType::kDoubleList>(a), Get<ValueType::kDoubleList>(b));
    case ValueType::kList:
      return CompareLists(Get<ValueType::kList>(a), Get<ValueType::kList>(b));
    case ValueType::kMap:
      return CompareMaps(Get<ValueType::kMap>(a), Get<ValueType::kMap>(b));
    case ValueType::kCustom:
      // The opaque payload has no order of its own; a custom value is equivalent only to itself.
      if (&a == &b) {
        return 0;
      }
      return std::less<const EncodableValue*>()(&a, &b) ? -1 : 1;
    case ValueType::kFloatList:
      return CompareFloatLists(Get<ValueType::kFloatList>(a), Get<ValueType::kFloatList>(b));
    case ValueType::kCount:
      break;
  }
  return 0;
}

bool operator<(const EncodableValue& a, const EncodableValue& b) { return Compare(a, b) < 0; }

bool operator==(const EncodableValue& a, const EncodableValue& b) {
  ++value_steps;
  if (a.index() != b.index()) {
    return false;
  }
  switch (a.type()) {
    case ValueType::kNull:
      return true;
    case ValueType::kBool:
      return Get<ValueType::kBool>(a) == Get<ValueType::kBool>(b);
    case ValueType::kInt32:
      return Get<ValueType::kInt32>(a) == Get<ValueType::kInt32>(b);
    case ValueType::kInt64:
      return Get<ValueType::kInt64>(a) == Get<ValueType::kInt64>(b);
    case ValueType::kDouble:
      return Get<ValueType::kDouble>(a) == Get<ValueType::kDouble>(b);
    case ValueType::kString:
      return Get<ValueType::kString>(a) == Get<ValueType::kString>(b);
    case ValueType::kByteList:
      return Get<ValueType::kByteList>(a) == Get<ValueType::kByteList>(b);
    case ValueType::kInt32List:
      return Get<ValueType::kInt32List>(a) == Get<ValueType::kInt32List>(b);
    case ValueType::kInt64List:
      return Get<ValueType::kInt64List>(a) == Get<ValueType::kInt64List>(b);
    case ValueType::kDoubleList:
      return Get<ValueType::kDoubleList>(a) == Get<ValueType::kDoubleList>(b);
    case ValueType::kList:
      return EqualLists(Get<ValueType::kList>(a), Get<ValueType::kList>(b));
    case ValueType::kMap:
      return EqualMaps(Get<ValueType::kMap>(a), Get<ValueType::kMap>(b));
    case ValueType::kCustom:
      return &a == &b;
    case ValueType::kFloatList:
      return Get<ValueType::kFloatList>(a) == Get<ValueType::kFloatList>(b);
    case ValueType::kCount:
      break;
  }
  return false;
}

}  // namespace flutter
