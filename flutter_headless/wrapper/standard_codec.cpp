// The standard codec's byte format: one type byte, then the value. Sizes below 254
// take one byte, up to 0xFFFF take 254 and a u16, larger ones 255 and a u32. Typed
// lists and float64 are aligned from the start of the message; the reader always
// skips the padding, so the writer always writes it, empty typed lists included.
#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "byte_buffer_streams.h"
#include "flutter/standard_codec_serializer.h"
#include "flutter/standard_message_codec.h"

namespace flutter {

namespace {

enum class EncodedType : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,  // written only by old Dart code: the decimal digits as a string
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

// Far beyond anything a channel carries, and low enough that decoding, encoding
// and destroying such a value stays well inside a 1 MB thread stack.
constexpr int kMaxNestingDepth = 256;

// Reads in slices so that a declared size larger than the message fails at the
// end of the message rather than allocating what the size claims.
constexpr size_t kReadSliceBytes = 64 * 1024;
constexpr size_t kMaxReserveElements = 1024;

thread_local int read_depth = 0;

class DepthGuard {
 public:
  DepthGuard() {
    if (++read_depth > kMaxNestingDepth) {
      --read_depth;
      throw internal::DecodeError{"values nested too deeply"};
    }
  }
  ~DepthGuard() { --read_depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

void WriteType(EncodedType type, ByteStreamWriter* stream) {
  stream->WriteByte(static_cast<uint8_t>(type));
}

template <typename T>
std::vector<T> ReadVectorBody(size_t count, ByteStreamReader* stream) {
  std::vector<T> result;
  if constexpr (sizeof(T) > 1) {
    stream->ReadAlignment(static_cast<uint8_t>(sizeof(T)));
  }
  size_t done = 0;
  while (done < count) {
    const size_t slice = std::min(count - done, kReadSliceBytes / sizeof(T));
    std::vector<uint8_t> raw(slice * sizeof(T));
    stream->ReadBytes(raw.data(), raw.size());
    result.resize(done + slice);
    std::memcpy(result.data() + done, raw.data(), raw.size());
    done += slice;
  }
  return result;
}

}  // namespace

StandardCodecSerializer::StandardCodecSerializer() = default;
StandardCodecSerializer::~StandardCodecSerializer() = default;

const StandardCodecSerializer& StandardCodecSerializer::GetInstance() {
  static StandardCodecSerializer instance;
  return instance;
}

EncodableValue StandardCodecSerializer::ReadValue(ByteStreamReader* stream) const {
  DepthGuard guard;
  const uint8_t type = stream->ReadByte();
  return ReadValueOfType(type, stream);
}

size_t StandardCodecSerializer::ReadSize(ByteStreamReader* stream) const {
  const uint8_t byte = stream->ReadByte();
  if (byte < 254) {
    return byte;
  }
  if (byte == 254) {
    return stream->ReadInt16();
  }
  return static_cast<uint32_t>(stream->ReadInt32());
}

void StandardCodecSerializer::WriteSize(size_t size, ByteStreamWriter* stream) const {
  if (size < 254) {
    stream->WriteByte(static_cast<uint8_t>(size));
  } else if (size <= 0xFFFF) {
    stream->WriteByte(254);
    stream->WriteInt16(static_cast<int16_t>(static_cast<uint16_t>(size)));
  } else {
    stream->WriteByte(255);
    stream->WriteInt32(static_cast<int32_t>(static_cast<uint32_t>(size)));
  }
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
  switch (static_cast<EncodedType>(type)) {
    case EncodedType::kNull:
      return EncodableValue();
    case EncodedType::kTrue:
      return EncodableValue(true);
    case EncodedType::kFalse:
      return EncodableValue(false);
    case EncodedType::kInt32:
      return EncodableValue(stream->ReadInt32());
    case EncodedType::kInt64:
      return EncodableValue(stream->ReadInt64());
    case EncodedType::kFloat64:
      stream->ReadAlignment(8);
      return EncodableValue(stream->ReadDouble());
    case EncodedType::kLargeInt:
    case EncodedType::kString: {
      const size_t size = ReadSize(stream);
      std::vector<uint8_t> bytes = ReadVectorBody<uint8_t>(size, stream);
      return EncodableValue(std::string(bytes.begin(), bytes.end()));
    }
    case EncodedType::kUInt8List:
      return EncodableValue(ReadVectorBody<uint8_t>(ReadSize(stream), stream));
    case EncodedType::kInt32List:
      return EncodableValue(ReadVectorBody<int32_t>(ReadSize(stream), stream));
    case EncodedType::kInt64List:
      return EncodableValue(ReadVectorBody<int64_t>(ReadSize(stream), stream));
    case EncodedType::kFloat64List:
      return EncodableValue(ReadVectorBody<double>(ReadSize(stream), stream));
    case EncodedType::kFloat32List:
      return EncodableValue(ReadVectorBody<float>(ReadSize(stream), stream));
    case EncodedType::kList: {
      const size_t size = ReadSize(stream);
      EncodableList list;
      list.reserve(std::min(size, kMaxReserveElements));
      for (size_t i = 0; i < size; ++i) {
        list.push_back(ReadValue(stream));
      }
      return EncodableValue(std::move(list));
    }
    case EncodedType::kMap: {
      const size_t size = ReadSize(stream);
      EncodableMap map;
      for (size_t i = 0; i < size; ++i) {
        EncodableValue key = ReadValue(stream);
        EncodableValue value = ReadValue(stream);
        map.emplace(std::move(key), std::move(value));
      }
      return EncodableValue(std::move(map));
    }
  }
  std::cerr << "Unknown type in StandardCodecSerializer::ReadValueOfType: "
            << static_cast<int>(type) << std::endl;
  return EncodableValue();
}

namespace {

template <typename T>
void WriteVector(const StandardCodecSerializer&, const std::vector<T>& vector,
                 ByteStreamWriter* stream) {
  if constexpr (sizeof(T) > 1) {
    stream->WriteAlignment(static_cast<uint8_t>(sizeof(T)));
  }
  if (!vector.empty()) {
    stream->WriteBytes(reinterpret_cast<const uint8_t*>(vector.data()), vector.size() * sizeof(T));
  }
}

}  // namespace

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* stream) const {
  if (std::holds_alternative<std::monostate>(value)) {
    WriteType(EncodedType::kNull, stream);
  } else if (const bool* b = std::get_if<bool>(&value)) {
    WriteType(*b ? EncodedType::kTrue : EncodedType::kFalse, stream);
  } else if (const int32_t* i32 = std::get_if<int32_t>(&value)) {
    WriteType(EncodedType::kInt32, stream);
    stream->WriteInt32(*i32);
  } else if (const int64_t* i64 = std::get_if<int64_t>(&value)) {
    WriteType(EncodedType::kInt64, stream);
    stream->WriteInt64(*i64);
  } else if (const double* d = std::get_if<double>(&value)) {
    WriteType(EncodedType::kFloat64, stream);
    stream->WriteAlignment(8);
    stream->WriteDouble(*d);
  } else if (const std::string* s = std::get_if<std::string>(&value)) {
    WriteType(EncodedType::kString, stream);
    WriteSize(s->size(), stream);
    stream->WriteBytes(reinterpret_cast<const uint8_t*>(s->data()), s->size());
  } else if (const auto* u8 = std::get_if<std::vector<uint8_t>>(&value)) {
    WriteType(EncodedType::kUInt8List, stream);
    WriteSize(u8->size(), stream);
    WriteVector(*this, *u8, stream);
  } else if (const auto* i32s = std::get_if<std::vector<int32_t>>(&value)) {
    WriteType(EncodedType::kInt32List, stream);
    WriteSize(i32s->size(), stream);
    WriteVector(*this, *i32s, stream);
  } else if (const auto* i64s = std::get_if<std::vector<int64_t>>(&value)) {
    WriteType(EncodedType::kInt64List, stream);
    WriteSize(i64s->size(), stream);
    WriteVector(*this, *i64s, stream);
  } else if (const auto* f64s = std::get_if<std::vector<double>>(&value)) {
    WriteType(EncodedType::kFloat64List, stream);
    WriteSize(f64s->size(), stream);
    WriteVector(*this, *f64s, stream);
  } else if (const auto* f32s = std::get_if<std::vector<float>>(&value)) {
    WriteType(EncodedType::kFloat32List, stream);
    WriteSize(f32s->size(), stream);
    WriteVector(*this, *f32s, stream);
  } else if (const auto* list = std::get_if<EncodableList>(&value)) {
    WriteType(EncodedType::kList, stream);
    WriteSize(list->size(), stream);
    for (const EncodableValue& item : *list) {
      WriteValue(item, stream);
    }
  } else if (const auto* map = std::get_if<EncodableMap>(&value)) {
    WriteType(EncodedType::kMap, stream);
    WriteSize(map->size(), stream);
    for (const auto& [key, item] : *map) {
      WriteValue(key, stream);
      WriteValue(item, stream);
    }
  } else {
    // Writing nothing would shift every following byte; null keeps the message whole.
    std::cerr
        << "Unhandled custom type in StandardCodecSerializer::WriteValue; custom types need a "
           "serializer subclass"
        << std::endl;
    WriteType(EncodedType::kNull, stream);
  }
}

// ---- StandardMessageCodec ----

const StandardMessageCodec& StandardMessageCodec::GetInstance(
    const StandardCodecSerializer* serializer) {
  if (!serializer) {
    serializer = &StandardCodecSerializer::GetInstance();
  }
  // Never destroyed: plugins keep pointers to these for the life of the process.
  static std::mutex* lock = new std::mutex();
  static auto* instances =
      new std::map<const StandardCodecSerializer*, std::unique_ptr<StandardMessageCodec>>();
  std::lock_guard<std::mutex> hold(*lock);
  auto it = instances->find(serializer);
  if (it == instances->end()) {
    it = instances
             ->emplace(serializer,
                       std::unique_ptr<StandardMessageCodec>(new StandardMessageCodec(serializer)))
             .first;
  }
  return *it->second;
}

StandardMessageCodec::StandardMessageCodec(const StandardCodecSerializer* serializer)
    : serializer_(serializer) {}

StandardMessageCodec::~StandardMessageCodec() = default;

std::unique_ptr<EncodableValue> StandardMessageCodec::DecodeMessageInternal(
    const uint8_t* binary_message, const size_t message_size) const {
  if (message_size == 0) {
    return std::make_unique<EncodableValue>();
  }
  internal::ByteBufferStreamReader stream(binary_message, message_size);
  try {
    return std::make_unique<EncodableValue>(serializer_->ReadValue(&stream));
  } catch (const internal::DecodeError& e) {
    std::cerr << "StandardMessageCodec: invalid message: " << e.what << std::endl;
  } catch (const std::exception& e) {
    // A custom serializer met a field of the wrong type (std::get throws).
    std::cerr << "StandardMessageCodec: invalid message: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "StandardMessageCodec: invalid message" << std::endl;
  }
  return nullptr;
}

std::unique_ptr<std::vector<uint8_t>> StandardMessageCodec::EncodeMessageInternal(
    const EncodableValue& message) const {
  auto encoded = std::make_unique<std::vector<uint8_t>>();
  internal::ByteBufferStreamWriter stream(encoded.get());
  serializer_->WriteValue(message, &stream);
  return encoded;
}

}  // namespace flutter
