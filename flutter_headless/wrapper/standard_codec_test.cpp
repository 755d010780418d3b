// The standard codec against its published byte format, plus round-trip and
// truncation properties.
#include <flutter/encodable_value.h>
#include <flutter/standard_codec_serializer.h>
#include <flutter/standard_message_codec.h>
#include <gtest/gtest.h>

#include <any>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using flutter::ByteStreamReader;
using flutter::ByteStreamWriter;
using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::StandardCodecSerializer;
using flutter::StandardMessageCodec;
using Bytes = std::vector<uint8_t>;

const StandardMessageCodec& Codec() {
  return StandardMessageCodec::GetInstance();
}

Bytes Encode(const EncodableValue& v, const StandardMessageCodec& codec = Codec()) {
  return *codec.EncodeMessage(v);
}

std::unique_ptr<EncodableValue> Decode(const Bytes& b,
                                       const StandardMessageCodec& codec = Codec()) {
  return codec.DecodeMessage(b.data(), b.size());
}

Bytes Hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

EncodableValue L(std::initializer_list<EncodableValue> items) {
  return EncodableValue(EncodableList(items));
}

struct Vector {
  const char* name;
  EncodableValue value;
  Bytes bytes;
};

class PublishedVectors : public ::testing::TestWithParam<Vector> {};

// Both directions: the C++ writer produces exactly these bytes, and they read back.
TEST_P(PublishedVectors, EncodeAndDecode) {
  const Vector& v = GetParam();
  EXPECT_EQ(Encode(v.value), v.bytes);
  auto decoded = Decode(v.bytes);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(*decoded, v.value);
}

std::vector<Vector> PublishedVectorTable() {
  const std::string a300(300, 'a');
  return {
      {"null_list", L({EncodableValue()}), Hex("0c 01 00")},
      {"true_list", L({EncodableValue(true)}), Hex("0c 01 01")},
      {"false", EncodableValue(false), Hex("02")},
      {"int32", EncodableValue(int32_t{6}), Hex("03 06 00 00 00")},
      {"int64", EncodableValue(int64_t{6}), Hex("04 06 00 00 00 00 00 00 00")},
      {"int32_negative", EncodableValue(int32_t{-2}), Hex("03 fe ff ff ff")},
      {"int64_min", EncodableValue(INT64_MIN), Hex("04 00 00 00 00 00 00 00 80")},
      {"string", EncodableValue("abc"), Hex("07 03 61 62 63")},
      {"config_list", L({EncodableValue("config text")}),
       Hex("0c 01 07 0b 63 6f 6e 66 69 67 20 74 65 78 74")},
      {"error_shape", L({EncodableValue("INTERNAL"), EncodableValue(""), EncodableValue()}),
       Hex("0c 03 07 08 49 4e 54 45 52 4e 41 4c 07 00 00")},
      {"exception_shape", L({EncodableValue("boom"), EncodableValue("Error"), EncodableValue()}),
       Hex("0c 03 07 04 62 6f 6f 6d 07 05 45 72 72 6f 72 00")},
      {"string_300", EncodableValue(a300), Concat(Hex("07 fe 2c 01"), Bytes(300, 'a'))},
      // float64 is aligned to 8 from the message start, not from the value.
      {"float_in_list", L({EncodableValue(1.5)}),
       Hex("0c 01 06 00 00 00 00 00 00 00 00 00 00 00 f8 3f")},
      {"float_top", EncodableValue(1.5), Hex("06 00 00 00 00 00 00 00 00 00 00 00 00 00 f8 3f")},
      {"float_after_bool", L({EncodableValue(true), EncodableValue(-2.0)}),
       Hex("0c 02 01 06 00 00 00 00 00 00 00 00 00 00 00 c0")},
      {"map", EncodableValue(EncodableMap{{EncodableValue("a"), EncodableValue(int32_t{1})}}),
       Hex("0d 01 07 01 61 03 01 00 00 00")},
      {"uint8list_unaligned", EncodableValue(Bytes{1, 2, 3}), Hex("08 03 01 02 03")},
      {"int32list", EncodableValue(std::vector<int32_t>{1, -1}),
       Hex("09 02 00 00 01 00 00 00 ff ff ff ff")},
      {"int64list", EncodableValue(std::vector<int64_t>{2}),
       Hex("0a 01 00 00 00 00 00 00 02 00 00 00 00 00 00 00")},
      {"float64list", EncodableValue(std::vector<double>{1.5}),
       Hex("0b 01 00 00 00 00 00 00 00 00 00 00 00 00 f8 3f")},
      {"float32list", EncodableValue(std::vector<float>{1.5f}), Hex("0e 01 00 00 00 00 c0 3f")},
      // Empty typed lists carry their padding too, as Dart writes and reads them.
      {"empty_int64list_then_true",
       L({EncodableValue(std::vector<int64_t>{}), EncodableValue(true)}),
       Hex("0c 02 0a 00 00 00 00 00 01")},
      {"nested", L({L({EncodableValue(int32_t{1}), L({})}), EncodableValue(EncodableMap{})}),
       Hex("0c 02 0c 02 03 01 00 00 00 0c 00 0d 00")},
  };
}

INSTANTIATE_TEST_SUITE_P(Codec, PublishedVectors, ::testing::ValuesIn(PublishedVectorTable()),
                         [](const auto& tp) { return std::string(tp.param.name); });

struct SizeCase {
  size_t size;
  Bytes prefix;  // type byte and size bytes
};

class SizeBoundaries : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SizeBoundaries, StringAndListSizesUseTheShortestForm) {
  const SizeCase& c = GetParam();
  const std::string text(c.size, 'x');
  const Bytes encoded = Encode(EncodableValue(text));
  ASSERT_EQ(encoded.size(), c.prefix.size() + c.size);
  EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + static_cast<ptrdiff_t>(c.prefix.size())),
            c.prefix);
  auto decoded = Decode(encoded);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(std::get<std::string>(*decoded).size(), c.size);

  // The same size field heads a list.
  const EncodableValue list(EncodableList(c.size, EncodableValue()));
  const Bytes list_bytes = Encode(list);
  Bytes list_prefix = c.prefix;
  list_prefix[0] = 0x0c;
  EXPECT_EQ(
      Bytes(list_bytes.begin(), list_bytes.begin() + static_cast<ptrdiff_t>(list_prefix.size())),
      list_prefix);
  auto list_decoded = Decode(list_bytes);
  ASSERT_NE(list_decoded, nullptr);
  EXPECT_EQ(*list_decoded, list);
}

INSTANTIATE_TEST_SUITE_P(Codec, SizeBoundaries,
                         ::testing::Values(SizeCase{0, Hex("07 00")}, SizeCase{253, Hex("07 fd")},
                                           SizeCase{254, Hex("07 fe fe 00")},
                                           SizeCase{65535, Hex("07 fe ff ff")},
                                           SizeCase{65536, Hex("07 ff 00 00 01 00")}));

TEST(StandardCodec, IntegerWidthFollowsTheStoredAlternativeNotTheValue) {
  EXPECT_EQ(Encode(EncodableValue(int64_t{1}))[0], 0x04);
  EXPECT_EQ(Encode(EncodableValue(int32_t{1}))[0], 0x03);
  const auto from32 = Decode(Hex("03 ff ff ff 7f"));
  const auto from64 = Decode(Hex("04 ff ff ff 7f 00 00 00 00"));
  ASSERT_TRUE(from32 && from64);
  EXPECT_TRUE(std::holds_alternative<int32_t>(*from32));
  EXPECT_TRUE(std::holds_alternative<int64_t>(*from64));
  EXPECT_EQ(from32->LongValue(), 0x7fffffff);
  EXPECT_EQ(from64->LongValue(), 0x7fffffff);
  EXPECT_THROW(EncodableValue("x").LongValue(), std::bad_variant_access);
}

TEST(StandardCodec, ReaderQuirks) {
  // Legacy large integers arrive as their decimal text.
  EXPECT_EQ(*Decode(Hex("05 02 31 32")), EncodableValue("12"));
  // An unknown type byte reads as null and consumes nothing more.
  EXPECT_EQ(*Decode(Hex("0c 02 7f 01")), L({EncodableValue(), EncodableValue(true)}));
  EXPECT_EQ(*Decode(Hex("81 03 02 00 00 00")), EncodableValue())
      << "custom byte without a custom serializer";
  // Bytes after the value are ignored.
  EXPECT_EQ(*Decode(Hex("01 ff ff")), EncodableValue(true));
  // No bytes at all is null, as is a null pointer.
  EXPECT_EQ(*Codec().DecodeMessage(Bytes{}), EncodableValue());
  EXPECT_EQ(*Codec().DecodeMessage(nullptr, 0), EncodableValue());
  // Map keys repeat: the first one stays.
  EXPECT_EQ(*Decode(Hex("0d 02 03 01 00 00 00 01 03 01 00 00 00 02")),
            EncodableValue(EncodableMap{{EncodableValue(int32_t{1}), EncodableValue(true)}}));
}

TEST(StandardCodec, InvalidMessagesFailInsteadOfReadingZerosOrAllocatingWhatTheyClaim) {
  const std::vector<Bytes> invalid = {
      Hex("03 01 02"),                 // int32 cut short
      Hex("0c 03 00 00"),              // list shorter than its size
      Hex("07 ff ff ff ff ff"),        // 4 GiB string in a few bytes
      Hex("0a ff ff ff ff 0f 00 00"),  // int64 list claiming 256 M elements
      Hex("0c ff ff ff ff ff 00"),     // list claiming 4 G elements
      Hex("0d fe ff ff"),              // map with no entries present
      Hex("06 00 00"),                 // float64 padding missing
      Hex("07 fe 01"),                 // size's second byte missing
  };
  for (const Bytes& b : invalid) {
    EXPECT_EQ(Decode(b), nullptr) << ::testing::PrintToString(b);
  }
}

TEST(StandardCodec, NestingIsBounded) {
  auto nested = [](int depth) {
    Bytes b;
    for (int i = 0; i < depth; ++i) {
      b.push_back(0x0c);
      b.push_back(0x01);
    }
    b.push_back(0x00);
    return b;
  };
  EXPECT_NE(Decode(nested(255)), nullptr);
  EXPECT_EQ(Decode(nested(256)), nullptr);
  EXPECT_EQ(Decode(nested(100000)), nullptr);
  EXPECT_NE(Decode(nested(10)), nullptr) << "the depth count is restored after a failure";
}

// A fixed-seed generator of values the codec must carry unchanged.
class ValueGenerator {
 public:
  explicit ValueGenerator(uint32_t seed) : rng_(seed) {}

  EncodableValue Next(int depth = 0) {
    const int kind = static_cast<int>(rng_() % (depth > 3 ? 11 : 13));
    switch (kind) {
      case 0:
        return EncodableValue();
      case 1:
        return EncodableValue(rng_() % 2 == 0);
      case 2:
        return EncodableValue(static_cast<int32_t>(rng_()));
      case 3:
        return EncodableValue(static_cast<int64_t>((uint64_t{rng_()} << 32) | rng_()));
      case 4:
        return EncodableValue(static_cast<double>(static_cast<int32_t>(rng_())) / 7.0);
      case 5:
        return EncodableValue(std::string(rng_() % 300, static_cast<char>('a' + rng_() % 26)));
      case 6:
        return EncodableValue(Bytes(rng_() % 20, 0xab));
      case 7:
        return EncodableValue(std::vector<int32_t>(rng_() % 5, -7));
      case 8:
        return EncodableValue(std::vector<int64_t>(rng_() % 5, 1LL << 40));
      case 9:
        return EncodableValue(std::vector<double>(rng_() % 5, 0.25));
      case 10:
        return EncodableValue(std::vector<float>(rng_() % 5, 2.5f));
      case 11: {
        EncodableList list;
        for (uint32_t i = rng_() % 5; i > 0; --i) list.push_back(Next(depth + 1));
        return EncodableValue(std::move(list));
      }
      default: {
        EncodableMap map;
        for (uint32_t i = rng_() % 4; i > 0; --i) map.emplace(Next(depth + 1), Next(depth + 1));
        return EncodableValue(std::move(map));
      }
    }
  }

 private:
  std::mt19937 rng_;
};

TEST(StandardCodec, RandomValuesRoundTripAndEveryTruncationFails) {
  ValueGenerator gen(20261207);
  for (int i = 0; i < 300; ++i) {
    // Behind a one-byte prefix too, so alignment is exercised from odd offsets.
    const EncodableValue value = i % 2 ? gen.Next() : L({EncodableValue(true), gen.Next()});
    const Bytes bytes = Encode(value);
    auto decoded = Decode(bytes);
    ASSERT_NE(decoded, nullptr);
    ASSERT_EQ(*decoded, value) << "case " << i;
    for (size_t cut = 1; cut < bytes.size(); ++cut) {
      ASSERT_EQ(Codec().DecodeMessage(bytes.data(), cut), nullptr)
          << "case " << i << " cut at " << cut;
    }
  }
}

// A serializer shaped like Pigeon's: enums as tag + int, classes as tag + field list.
struct Enum {
  int value = 0;
};

// Fields: a nullable int, a string, an enum.
struct Record {
  std::optional<int64_t> count;
  std::string label;
  Enum kind;
};

class TestSerializer : public StandardCodecSerializer {
 public:
  static const TestSerializer& Instance() {
    static TestSerializer instance;
    return instance;
  }

  void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const override {
    if (const auto* custom = std::get_if<CustomEncodableValue>(&value)) {
      if (custom->type() == typeid(Enum)) {
        stream->WriteByte(129);
        WriteValue(EncodableValue(static_cast<int32_t>(std::any_cast<Enum>(*custom).value)),
                   stream);
        return;
      }
      if (custom->type() == typeid(Record)) {
        const auto& r = std::any_cast<const Record&>(*custom);
        stream->WriteByte(130);
        WriteValue(
            EncodableValue(EncodableList{r.count ? EncodableValue(*r.count) : EncodableValue(),
                                         EncodableValue(r.label), CustomEncodableValue(r.kind)}),
            stream);
        return;
      }
    }
    StandardCodecSerializer::WriteValue(value, stream);
  }

 protected:
  EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const override {
    if (type == 129) {
      // The generated-code shape: the conditional needs CustomEncodableValue to
      // convert implicitly to EncodableValue (and not the other way round).
      const auto& v = ReadValue(stream);
      return v.IsNull() ? EncodableValue()
                        : CustomEncodableValue(Enum{static_cast<int>(v.LongValue())});
    }
    if (type == 130) {
      // std::get and at() throw on a malformed record, as generated code does.
      const auto list = std::get<EncodableList>(ReadValue(stream));
      Record r;
      if (!list.at(0).IsNull()) r.count = list.at(0).LongValue();
      r.label = std::get<std::string>(list.at(1));
      r.kind = std::any_cast<Enum>(std::get<CustomEncodableValue>(list.at(2)));
      return CustomEncodableValue(r);
    }
    return StandardCodecSerializer::ReadValueOfType(type, stream);
  }
};

TEST(CustomSerializer, EnumsAndClassesUseTheirTypeBytes) {
  const auto& codec = StandardMessageCodec::GetInstance(&TestSerializer::Instance());
  EXPECT_EQ(&codec, &StandardMessageCodec::GetInstance(&TestSerializer::Instance()));
  EXPECT_NE(&codec, &StandardMessageCodec::GetInstance());

  EXPECT_EQ(Encode(CustomEncodableValue(Enum{2}), codec), Hex("81 03 02 00 00 00"));
  // C++ writes enums as int32, Dart as int64; both read.
  for (const Bytes& enum_bytes : {Hex("81 03 02 00 00 00"), Hex("81 04 02 00 00 00 00 00 00 00")}) {
    auto v = Decode(enum_bytes, codec);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::any_cast<Enum>(std::get<CustomEncodableValue>(*v)).value, 2);
  }
  auto null_enum = Decode(Hex("81 00"), codec);
  ASSERT_NE(null_enum, nullptr);
  EXPECT_TRUE(null_enum->IsNull()) << "a null enum is null, not enumerator 0";

  const Bytes record = Hex("82 0c 03 00 07 01 78 81 03 01 00 00 00");
  EXPECT_EQ(Encode(CustomEncodableValue(Record{std::nullopt, "x", Enum{1}}), codec), record);
  auto back = Decode(Concat(Hex("0c 01"), record), codec);
  ASSERT_NE(back, nullptr);
  const auto& r = std::any_cast<const Record&>(
      std::get<CustomEncodableValue>(std::get<EncodableList>(*back)[0]));
  EXPECT_FALSE(r.count.has_value());
  EXPECT_EQ(r.label, "x");
  EXPECT_EQ(r.kind.value, 1);
  // Dart's int64 count inside the record.
  auto with_count =
      Decode(Hex("82 0c 03 04 05 00 00 00 00 00 00 00 07 00 81 04 03 00 00 00 00 00 00 00"), codec);
  ASSERT_NE(with_count, nullptr);
  const auto& r2 = std::any_cast<const Record&>(std::get<CustomEncodableValue>(*with_count));
  EXPECT_EQ(r2.count, 5);
  EXPECT_EQ(r2.kind.value, 3);

  // A class whose fields have the wrong types fails the decode; it does not throw.
  EXPECT_EQ(Decode(Hex("82 03 01 00 00 00"), codec), nullptr) << "not a list";
  EXPECT_EQ(Decode(Hex("82 0c 01 00"), codec), nullptr) << "too few fields";
  EXPECT_EQ(Decode(Hex("82 0c 03 00 03 01 00 00 00 81 03 01 00 00 00"), codec), nullptr)
      << "int for string";
  EXPECT_EQ(Decode(Hex("82 0c 03 00 07 00 00"), codec), nullptr)
      << "null enum where a value is required";
  // Without the subclass, a custom value is written as null so the message stays whole.
  EXPECT_EQ(Encode(L({CustomEncodableValue(Record{}), EncodableValue(true)})), Hex("0c 02 00 01"));
}

}  // namespace
