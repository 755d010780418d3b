// The value type of the standard message codec: a variant whose alternative order is
// part of the interface (plugins use std::get / std::holds_alternative on it).
#ifndef FLUTTER_HEADLESS_ENCODABLE_VALUE_H_
#define FLUTTER_HEADLESS_ENCODABLE_VALUE_H_

#include <algorithm>
#include <any>
#include <functional>
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
}  // namespace flutter

// Declared before EncodableMap names it: the map orders its keys with
// EncodableValue::Less (see there why not with the variant's own ordering).
namespace std {
template <>
struct less<flutter::EncodableValue> {
  bool operator()(const flutter::EncodableValue& lhs, const flutter::EncodableValue& rhs) const;
};
}  // namespace std

namespace flutter {

using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::map<EncodableValue, EncodableValue>;

// A value only a serializer subclass knows how to write (Pigeon's data classes and
// enums). Ordering and equality are by identity: such values are not map keys.
class CustomEncodableValue {
 public:
  explicit CustomEncodableValue(const std::any& value) : value_(value) {}
  ~CustomEncodableValue() = default;

  operator std::any&() { return value_; }
  operator const std::any&() const { return value_; }

  const std::type_info& type() const noexcept { return value_.type(); }

  bool operator<(const CustomEncodableValue& other) const { return this < &other; }
  bool operator==(const CustomEncodableValue& other) const { return this == &other; }

 private:
  std::any value_;
};

using EncodableValueVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<int32_t>, std::vector<int64_t>, std::vector<double>, EncodableList,
                 EncodableMap, CustomEncodableValue, std::vector<float>>;

class EncodableValue : public EncodableValueVariant {
 public:
  using super = EncodableValueVariant;
  using super::super;
  using super::operator=;

  explicit EncodableValue() = default;

  // Without these, a string literal would pick the bool alternative.
  explicit EncodableValue(const char* string) : super(std::string(string)) {}
  EncodableValue& operator=(const char* other) {
    *this = std::string(other);
    return *this;
  }

  // Custom values convert implicitly, so a serializer can return one and a list
  // can be built from them (EncodableList{CustomEncodableValue(x)}).
  EncodableValue(const CustomEncodableValue& value) : super(value) {}

  // Every other alternative converts only explicitly (this hides the variant's
  // implicit converting constructor): an accidental pointer would otherwise become
  // a bool without a word from the compiler.
  template <class T>
  constexpr explicit EncodableValue(T&& t) noexcept : super(t) {}

  bool IsNull() const { return std::holds_alternative<std::monostate>(*this); }

  // Dart's ints arrive as either width; this reads both. Throws
  // std::bad_variant_access for any other alternative.
  int64_t LongValue() const {
    if (std::holds_alternative<int32_t>(*this)) {
      return std::get<int32_t>(*this);
    }
    return std::get<int64_t>(*this);
  }

  // Alternatives order by index, then by value; lists and maps lexicographically.
  friend bool operator<(const EncodableValue& lhs, const EncodableValue& rhs) {
    return Less(lhs, rhs);
  }

  // The ordering behind operator< and std::less (so behind every EncodableMap).
  // Spelled out rather than taken from the variant: the variant's operator<
  // reaches, through the nested list and map, C++20's three-way comparison of this
  // very type, which GCC rejects as a constraint that depends on itself. For the
  // same reason, code built with GCC should order values with std::less rather than
  // with `<` written out.
  static bool Less(const EncodableValue& lhs, const EncodableValue& rhs) {
    if (lhs.index() != rhs.index()) {
      return lhs.index() < rhs.index();
    }
    return std::visit(
        [&rhs](const auto& left) -> bool {
          using T = std::decay_t<decltype(left)>;
          const T& right = std::get<T>(rhs);
          if constexpr (std::is_same_v<T, std::monostate>) {
            return false;
          } else if constexpr (std::is_same_v<T, EncodableList>) {
            return std::lexicographical_compare(left.begin(), left.end(), right.begin(),
                                                right.end(), Less);
          } else if constexpr (std::is_same_v<T, EncodableMap>) {
            return std::lexicographical_compare(left.begin(), left.end(), right.begin(),
                                                right.end(), [](const auto& a, const auto& b) {
                                                  if (Less(a.first, b.first)) return true;
                                                  if (Less(b.first, a.first)) return false;
                                                  return Less(a.second, b.second);
                                                });
          } else {
            return left < right;
          }
        },
        static_cast<const super&>(lhs));
  }
};

}  // namespace flutter

namespace std {
inline bool less<flutter::EncodableValue>::operator()(const flutter::EncodableValue& lhs,
                                                      const flutter::EncodableValue& rhs) const {
  return flutter::EncodableValue::Less(lhs, rhs);
}
}  // namespace std

#endif  // FLUTTER_HEADLESS_ENCODABLE_VALUE_H_
