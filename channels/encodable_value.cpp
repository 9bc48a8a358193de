#include "channels/encodable_value.h"

#include <algorithm>
#include <cstddef>
#include <functional>

namespace flutter {
namespace {

// Walks pairs from the front; the first pair that is not equal decides, and an unordered pair
// (a NaN) means a does not order first. A common prefix puts the shorter list first.
template <typename Float>
bool FloatListLess(const std::vector<Float>& a, const std::vector<Float>& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (a[i] < b[i]) {
      return true;
    }
    if (!(a[i] == b[i])) {
      return false;
    }
  }
  return a.size() < b.size();
}

bool MapLess(const ValueMap& a, const ValueMap& b) {
  auto ia = a.begin();
  auto ib = b.begin();
  for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
    if (ia->first < ib->first) {
      return true;
    }
    if (ib->first < ia->first) {
      return false;
    }
    if (ia->second < ib->second) {
      return true;
    }
    if (ib->second < ia->second) {
      return false;
    }
  }
  return ia == a.end() && ib != b.end();
}

}  // namespace

bool operator<(const EncodableValue& a, const EncodableValue& b) {
  if (a.index() != b.index()) {
    return a.index() < b.index();
  }
  switch (a.index()) {
    case 0:
      return false;
    case 1:
      return std::get<bool>(a) < std::get<bool>(b);
    case 2:
      return std::get<int32_t>(a) < std::get<int32_t>(b);
    case 3:
      return std::get<int64_t>(a) < std::get<int64_t>(b);
    case 4:
      return std::get<double>(a) < std::get<double>(b);
    case 5:
      // char_traits<char> compares as unsigned char.
      return std::get<std::string>(a) < std::get<std::string>(b);
    case 6:
      return std::get<std::vector<uint8_t>>(a) < std::get<std::vector<uint8_t>>(b);
    case 7:
      return std::get<std::vector<int32_t>>(a) < std::get<std::vector<int32_t>>(b);
    case 8:
      return std::get<std::vector<int64_t>>(a) < std::get<std::vector<int64_t>>(b);
    case 9:
      return FloatListLess(std::get<std::vector<double>>(a), std::get<std::vector<double>>(b));
    case 10: {
      const ValueList& la = std::get<ValueList>(a);
      const ValueList& lb = std::get<ValueList>(b);
      return std::lexicographical_compare(la.begin(), la.end(), lb.begin(), lb.end());
    }
    case 11:
      return MapLess(std::get<ValueMap>(a), std::get<ValueMap>(b));
    case 12:
      return std::less<const EncodableValue*>()(&a, &b);
    case 13:
      return FloatListLess(std::get<std::vector<float>>(a), std::get<std::vector<float>>(b));
    default:
      return false;
  }
}

bool operator==(const EncodableValue& a, const EncodableValue& b) {
  if (a.index() != b.index()) {
    return false;
  }
  switch (a.index()) {
    case 0:
      return true;
    case 1:
      return std::get<bool>(a) == std::get<bool>(b);
    case 2:
      return std::get<int32_t>(a) == std::get<int32_t>(b);
    case 3:
      return std::get<int64_t>(a) == std::get<int64_t>(b);
    case 4:
      return std::get<double>(a) == std::get<double>(b);
    case 5:
      return std::get<std::string>(a) == std::get<std::string>(b);
    case 6:
      return std::get<std::vector<uint8_t>>(a) == std::get<std::vector<uint8_t>>(b);
    case 7:
      return std::get<std::vector<int32_t>>(a) == std::get<std::vector<int32_t>>(b);
    case 8:
      return std::get<std::vector<int64_t>>(a) == std::get<std::vector<int64_t>>(b);
    case 9:
      return std::get<std::vector<double>>(a) == std::get<std::vector<double>>(b);
    case 10:
      return std::get<ValueList>(a) == std::get<ValueList>(b);
    case 11:
      return std::get<ValueMap>(a) == std::get<ValueMap>(b);
    case 12:
      return &a == &b;
    case 13:
      return std::get<std::vector<float>>(a) == std::get<std::vector<float>>(b);
    default:
      return false;
  }
}

}  // namespace flutter
