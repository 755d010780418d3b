#include "tools/zerkactl/json_text.h"

#include <cstddef>
#include <cstdio>

#include "common/text/utf8.h"

namespace tovra::tools {

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const common::Utf8Step step = common::ScanUtf8(s, i);
    const size_t n = step.length;
    if (!step.valid) {
      out += "\\ufffd";  // one per maximal ill-formed prefix, as the text decoder does
      i += n;
      continue;
    }
    if (n > 1) {
      out.append(s.substr(i, n));
      i += n;
      continue;
    }
    const auto c = static_cast<unsigned char>(s[i++]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace tovra::tools
