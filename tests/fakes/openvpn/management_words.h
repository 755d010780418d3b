// Splitting a management-interface command line into words, as OpenVPN does:
// words are separated by spaces; a double-quoted word may hold spaces, and inside
// it a backslash makes the next character literal. The words may be credentials,
// so they are kept in self-wiping buffers. Portable; used by the openvpn.exe
// stand-in.
#pragma once

#include <string_view>
#include <vector>

#include "common/base/secret_buffer.h"

namespace tovra::testing {

// False (and `words` emptied) for an unterminated quote or a trailing backslash.
[[nodiscard]] inline bool SplitManagementWords(std::string_view line,
                                               std::vector<common::SecretBuffer>& words) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    common::SecretBuffer word;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\') {
          if (i == line.size()) break;
          word.push_back(static_cast<uint8_t>(line[i++]));
          continue;
        }
        word.push_back(static_cast<uint8_t>(c));
      }
      if (!closed) {
        words.clear();
        return false;
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
        word.push_back(static_cast<uint8_t>(line[i++]));
      }
    }
    words.push_back(std::move(word));
  }
  return true;
}

}  // namespace tovra::testing
