// zerkactl: the developer's command-line tool. Each subcommand is one entry in
// a table (name, argument summary, handler), so later subcommands are added by
// writing a handler and one table line.
//
// RunZerkactl is the whole program apart from the process entry point: it takes
// the arguments after the program name as UTF-8 and writes only to the streams
// it is given, so tests can run it in memory. Exit codes: 0 success or accepted,
// 1 rejected, 2 usage or I/O error.
#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace tovra::tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRejected = 1;
inline constexpr int kExitUsage = 2;

using SubcommandHandler = int (*)(std::span<const std::string> args, std::ostream& out,
                                  std::ostream& err);

struct Subcommand {
  std::string_view name;
  std::string_view arguments;  // for the usage text, e.g. "FILE"
  std::string_view summary;
  SubcommandHandler run;
};

// The table the dispatcher searches, in usage order.
std::span<const Subcommand> Subcommands();

int RunZerkactl(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace tovra::tools
