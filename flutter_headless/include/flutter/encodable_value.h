// The value type of the standard message codec: a variant whose alternative order is
// part of the interface (plugins use std::get / std::holds_alternative on it).
#ifndef FLUTTER_HEADLESS_ENCODABLE_VALUE_H_
#define FLUTTER_HEADLESS_ENCODABLE_VALUE_H_

#include <any>
#include <cstdint>
#include <map>
#include <string>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;

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

  friend bool operator<(const EncodableValue& lhs, const EncodableValue& rhs) {
    return static_cast<const super&>(lhs) < static_cast<const super&>(rhs);
  }
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_ENCODABLE_VALUE_H_
