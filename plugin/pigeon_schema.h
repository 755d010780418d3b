// The Dart-facing surface as data: the custom types with their type bytes, the
// data classes' fields in wire order, the enums' values and both APIs' methods,
// spelled as the package's Pigeon definition spells them. The codec and the
// channel set-up in pigeon_api.cpp are the behaviour; this table describes them,
// unit tests hold it to that behaviour, and scripts compare it with
// packages/tovra_windows_vpn/pigeons/tovra_windows_vpn_api.dart, so the Dart
// side an app generates cannot drift from what this plugin speaks.
//
// Immutable after static initialisation; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tovra_windows_vpn::schema {

struct EnumValue {
  std::string_view name;
  int32_t value;  // Pigeon's Dart side sends the index, so values run 0..n-1
};

struct Enum {
  std::string_view name;
  uint8_t type_byte;
  std::vector<EnumValue> values;
};

// A data-class field or a method argument. `type` is the Dart spelling: int,
// bool, String, List<String>, or the name of a custom type.
struct Field {
  std::string_view name;
  std::string_view type;
};

struct Class {
  std::string_view name;
  uint8_t type_byte;
  std::vector<Field> fields;
};

struct Method {
  std::string_view name;
  std::vector<Field> args;
  std::string_view returns;  // "void" when the success value is null
};

struct Api {
  std::string_view name;
  std::string_view kind;  // "HostApi" or "FlutterApi"
  std::vector<Method> methods;
};

struct Schema {
  std::string_view package;  // the channel names' dev.flutter.pigeon.<package>. part
  std::vector<Enum> enums;
  std::vector<Class> classes;
  std::vector<Api> apis;
};

const Schema& PigeonSchema();

// The table as JSON (keys: package, enums, classes, apis), for the drift check.
std::string ToJson(const Schema& schema);

}  // namespace tovra_windows_vpn::schema
