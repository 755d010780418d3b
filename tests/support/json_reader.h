// Test helper: a small strict JSON reader, so tests check --json output the way a
// script's parser sees it (UTF-8 strings, no trailing commas, no duplicate keys).
// Header-only and portable.
#pragma once

#include <cctype>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovra::testsupport {

struct Json {
  enum class Type { null, boolean, number, string, array, object } type = Type::null;
  bool boolean = false;
  std::string text;  // string value, or the number's literal
  std::vector<Json> items;
  std::map<std::string, Json> members;

  const Json& operator[](const std::string& key) const {
    static const Json kMissing;
    const auto it = members.find(key);
    return it == members.end() ? kMissing : it->second;
  }
  bool has(const std::string& key) const { return members.count(key) != 0; }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view s) : s_(s) {}
  // The whole text must be one value, optionally followed by a newline.
  std::optional<Json> Document() {
    Json v;
    if (!Value(v)) return std::nullopt;
    Space();
    return i_ == s_.size() ? std::optional<Json>(v) : std::nullopt;
  }

 private:
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
      ++i_;
  }
  bool Literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  bool Value(Json& v) {
    Space();
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '{') return Object(v);
    if (c == '[') return Array(v);
    if (c == '"') {
      v.type = Json::Type::string;
      return String(v.text);
    }
    if (Literal("true")) return v.type = Json::Type::boolean, v.boolean = true, true;
    if (Literal("false")) return v.type = Json::Type::boolean, true;
    if (Literal("null")) return true;
    return Number(v);
  }
  bool Number(Json& v) {
    const size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    const size_t digits = i_;
    while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
    if (i_ == digits || (s_[digits] == '0' && i_ - digits > 1)) return false;
    if (i_ < s_.size() && s_[i_] == '.') {
      const size_t frac = ++i_;
      while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
      if (i_ == frac) return false;
    }
    v.type = Json::Type::number;
    v.text = std::string(s_.substr(start, i_ - start));
    return true;
  }
  bool String(std::string& out) {
    ++i_;  // opening quote
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return ValidUtf8(out);
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          if (i_ + 4 > s_.size()) return false;
          const uint32_t cp =
              static_cast<uint32_t>(std::stoul(std::string(s_.substr(i_, 4)), nullptr, 16));
          i_ += 4;
          if (cp < 0x80) {
            out += static_cast<char>(cp);
          } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          }
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  static bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      const size_t n = c < 0x80           ? 1
                       : (c >> 5) == 0x6  ? 2
                       : (c >> 4) == 0xE  ? 3
                       : (c >> 3) == 0x1E ? 4
                                          : 0;
      if (n == 0 || (n == 2 && c < 0xC2) || i + n > s.size()) return false;
      for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
      }
      i += n;
    }
    return true;
  }
  bool Array(Json& v) {
    v.type = Json::Type::array;
    ++i_;
    Space();
    if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
    while (true) {
      Json item;
      if (!Value(item)) return false;
      v.items.push_back(std::move(item));
      Space();
      if (i_ >= s_.size()) return false;
      if (s_[i_] == ']') return ++i_, true;
      if (s_[i_++] != ',') return false;
    }
  }
  bool Object(Json& v) {
    v.type = Json::Type::object;
    ++i_;
    Space();
    if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
    while (true) {
      Space();
      std::string key;
      if (i_ >= s_.size() || s_[i_] != '"' || !String(key)) return false;
      Space();
      if (i_ >= s_.size() || s_[i_++] != ':') return false;
      Json member;
      if (!Value(member)) return false;
      if (!v.members.emplace(key, std::move(member)).second) return false;  // duplicate key
      Space();
      if (i_ >= s_.size()) return false;
      if (s_[i_] == '}') return ++i_, true;
      if (s_[i_++] != ',') return false;
    }
  }

  std::string_view s_;
  size_t i_ = 0;
};

inline std::optional<Json> ParseJson(const std::string& text) {
  return JsonReader(text).Document();
}

}  // namespace tovra::testsupport
