#include <flutter/encodable_value.h>
#include <gtest/gtest.h>

#include <any>
#include <string>
#include <type_traits>

namespace {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::EncodableValueVariant;

// Plugins index the variant by type; the order is part of the interface.
template <size_t I, typename T>
constexpr bool At = std::is_same_v<std::variant_alternative_t<I, EncodableValueVariant>, T>;
static_assert(At<0, std::monostate> && At<1, bool> && At<2, int32_t> && At<3, int64_t> &&
              At<4, double> && At<5, std::string> && At<6, std::vector<uint8_t>> &&
              At<7, std::vector<int32_t>> && At<8, std::vector<int64_t>> &&
              At<9, std::vector<double>> && At<10, EncodableList> && At<11, EncodableMap> &&
              At<12, CustomEncodableValue> && At<13, std::vector<float>>);
static_assert(std::variant_size_v<EncodableValueVariant> == 14);

TEST(EncodableValue, ConstructionPicksTheExpectedAlternative) {
  EXPECT_TRUE(EncodableValue().IsNull());
  EXPECT_EQ(EncodableValue("text").index(), 5u) << "a literal is a string, not a bool";
  EncodableValue v;
  v = "assigned";
  EXPECT_EQ(std::get<std::string>(v), "assigned");
  EXPECT_EQ(EncodableValue(int32_t{1}).index(), 2u);
  EXPECT_EQ(EncodableValue(int64_t{1}).index(), 3u);
  EXPECT_EQ(EncodableValue(EncodableList{EncodableValue(true)}).index(), 10u);
}

TEST(EncodableValue, OrderingMakesValuesUsableAsMapKeys) {
  EncodableMap map;
  map[EncodableValue("b")] = EncodableValue(int32_t{2});
  map[EncodableValue("a")] = EncodableValue(int32_t{1});
  map[EncodableValue(int32_t{5})] = EncodableValue();
  map[EncodableValue(EncodableList{EncodableValue(true)})] = EncodableValue(true);
  EXPECT_EQ(map.size(), 4u);
  EXPECT_EQ(map.at(EncodableValue("a")), EncodableValue(int32_t{1}));
  const std::less<EncodableValue> less;
  EXPECT_TRUE(less(EncodableValue(int32_t{5}), EncodableValue("a")))
      << "alternatives order by index first";
  EXPECT_TRUE(less(EncodableValue(EncodableList{EncodableValue(int32_t{1})}),
                   EncodableValue(EncodableList{EncodableValue(int32_t{1}), EncodableValue()})));
  EXPECT_FALSE(less(EncodableValue(), EncodableValue()));
}

TEST(CustomEncodableValue, KeepsItsTypeAndValue) {
  const CustomEncodableValue custom(std::string("inside"));
  EXPECT_EQ(custom.type(), typeid(std::string));
  EXPECT_EQ(std::any_cast<std::string>(static_cast<const std::any&>(custom)), "inside");
  const EncodableValue wrapped(custom);
  EXPECT_EQ(wrapped.index(), 12u);
}

}  // namespace
