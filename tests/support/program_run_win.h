// Runs one of our programs as a user or a script runs it: from its folder, with
// standard input at the null device and its output in files (never pipes: an
// Agent the plugin starts inherits the Unix-level streams of the Wine process
// that started it and would hold a pipe open until it exits).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tovra::testing {

struct ProgramResult {
  std::optional<uint32_t> exit_code;  // nothing: still running at the deadline (then killed)
  std::string out;
  std::string err;
};

// Runs `dir`\`exe_name` with `args` (each quoted) in `dir`; `meanwhile` runs once
// it has started, given the file its standard output goes to.
ProgramResult RunProgramInFolder(
    const std::filesystem::path& dir, const std::wstring& exe_name,
    const std::vector<std::wstring>& args,
    const std::function<void(const std::filesystem::path& out)>& meanwhile = {},
    uint32_t timeout_ms = 180000);

// Runs a development script of tools\windows\dev (ZERKA_TEST_SOURCE_DIR names the
// source tree) with an optional argument; its exit code (0xFFFFFFFF: not started,
// 0xFFFFFFFE: still running after 120 s). Prints the script's output on failure.
uint32_t RunDevScript(const std::wstring& script, const std::wstring& argument = L"");

// A fresh folder "<temp>\<stem>-<pid>" (emptied first) with copies of the programs
// the environment variables `programs` name, as an installer would lay out the
// Service beside what it loads; empty when a variable is unset or a copy fails.
std::filesystem::path CopyProgramsToFreshFolder(const std::wstring& stem,
                                                const std::vector<const wchar_t*>& programs);

}  // namespace tovra::testing
