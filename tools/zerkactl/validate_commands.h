// The validate-* subcommands: read a file as raw bytes, run the same validator
// the Service or the Agent runs, print "code N: meaning" to the error stream and,
// for an accepted WireGuard configuration, the rendered text byte for byte to
// the output stream. File contents and rendered text are wiped before return,
// since both may hold private keys.
#pragma once

#include <iosfwd>
#include <optional>
#include <span>
#include <string>

namespace tovra::tools {

int RunValidateWireGuard(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int RunValidateOpenVpn(std::span<const std::string> args, std::ostream& out, std::ostream& err);

// Reads at most `limit` bytes of the file at the UTF-8 path `path`, so that a
// huge or endless file (a device, a pipe) cannot exhaust memory. Empty on an
// open or read error.
[[nodiscard]] std::optional<std::string> ReadFileBytes(const std::string& path, size_t limit);

}  // namespace tovra::tools
