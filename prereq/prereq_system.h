// The facts the prerequisite launcher gathers from the machine, and the one
// interface through which it gathers them and starts other programs.
//
// Every decision (which driver is good enough, which features to install, which
// exit code to return) is made by portable code over this interface, so the whole
// flow runs against fakes on any platform; the Win32 implementation only asks the
// system and carries out. Every query degrades to "absent"/"unknown" on failure and
// never reports or logs by itself: an unknown driver leads to installing the
// driver, an unverifiable post-install state to asking for a restart. Every query
// and step hands back the call that failed with its Win32 error, whether it only
// means "not there" (no such key, service, file or resource) or something else
// went wrong; the checks tell the two apart (tap_checks.h) and the launcher names
// it in its diagnostics (Note) where it decides.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/win32_error.h"

namespace tovra::prereq {

using common::Win32Error;

// A fact read from the machine: the value, or nothing with the call that could
// not read it. Nothing without an error: the thing is there but not of the kind
// asked for (a registry value of another type, a version resource without its
// fixed part).
template <typename T>
struct SystemFact {
  std::optional<T> value;
  Win32Error error{};
};

// A step carried out on the machine: whether it reached its goal, and the first
// call that failed on the way (also when the goal was reached anyway). Not done
// without an error: every call succeeded but the goal was not reached in time.
struct SystemStep {
  bool done = false;
  Win32Error error{};
};

// Four u16 components, most significant first; 0.0.0.0 means unknown.
struct DriverVersion {
  std::array<uint16_t, 4> parts{};

  [[nodiscard]] bool IsUnknown() const { return parts == std::array<uint16_t, 4>{}; }
  friend auto operator<=>(const DriverVersion&, const DriverVersion&) = default;
};

// What the Service Control Manager says about one service. disabled and enabled
// are both false when the configuration cannot be read; everything is false when
// the manager or the service cannot be opened.
struct ServiceSummary {
  bool exists = false;
  bool disabled = false;
  bool running_or_starting = false;
  bool enabled = false;
  // The first call that failed: the manager, the service (also when it does not
  // exist), its configuration or its status.
  Win32Error error{};

  friend bool operator==(const ServiceSummary&, const ServiceSummary&) = default;
};

// One present network-class device whose service is the TAP driver.
struct TapDevice {
  uint32_t device_instance = 0;
  bool has_problem = false;
  bool needs_restart = false;
  DriverVersion driver_version;  // 0.0.0.0 when the driver key says nothing usable
  std::wstring provider_name;    // empty when unknown
};

struct TapDeviceList {
  std::vector<TapDevice> devices;
  // The device list could not be had (then `devices` is empty), or the first
  // driver key or value of a listed device that could not be read.
  Win32Error error{};
};

// File attribute bits the path validation looks at (same values as Win32).
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;

enum class RunStatus : uint8_t {
  exited,       // exit_code is the process's own exit code
  not_started,  // CreateProcessW failed
  wait_failed,  // the wait or GetExitCodeProcess failed
  timed_out,    // still running when the time limit passed (left running)
};

struct RunResult {
  RunStatus status = RunStatus::not_started;
  uint32_t exit_code = 0;
  Win32Error error{};  // the failed start, wait or exit-code read; none when timed out
};

// A file the launcher opened and holds: read access, read sharing only, a
// reparse point opened as itself (a folder opens too, so that it can be judged).
// While the object lives nobody can open the file for writing, rename or delete
// it, so a program that opens it by path for reading (Windows Installer) reads
// the bytes that were checked. The queries ask the opened file, never the path.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
  [[nodiscard]] virtual SystemFact<uint32_t> Attributes() = 0;
  // The first 8 bytes in one read from the start; no value with the failed call
  // when the read fails, no value without an error when fewer bytes arrive.
  [[nodiscard]] virtual SystemFact<std::array<uint8_t, 8>> ReadSignature() = 0;
};

struct FileHold {
  std::unique_ptr<HeldFile> file;  // empty when the file could not be opened
  Win32Error error{};
};

class PrereqSystem {
 public:
  virtual ~PrereqSystem() = default;

  // ---- driver and service facts ----
  [[nodiscard]] virtual ServiceSummary QueryServiceSummary(const std::wstring& service_name) = 0;
  // Present TAP devices in device enumeration order; empty on any enumeration failure.
  [[nodiscard]] virtual TapDeviceList EnumerateTapDevices() = 0;
  [[nodiscard]] virtual bool IsNativeAmd64() = 0;
  // "ImagePath" of the TAP driver service key as read (REG_EXPAND_SZ expanded by
  // the read); no value when absent or not a string.
  [[nodiscard]] virtual SystemFact<std::wstring> ReadTapImagePath() = 0;
  // Full expansion of environment variables, whatever its length; nullopt on failure.
  [[nodiscard]] virtual std::optional<std::wstring> ExpandEnvironment(const std::wstring& text) = 0;
  // The fixed file version of a file's version resource; no value when there is none.
  [[nodiscard]] virtual SystemFact<DriverVersion> ReadFileVersion(const std::wstring& path) = 0;
  // The raw data of "PendingFileRenameOperations" as UTF-16 units (NULs included),
  // no value when the value is absent or not REG_MULTI_SZ.
  [[nodiscard]] virtual SystemFact<std::wstring> ReadPendingRenames() = 0;
  // Starts a service that is neither disabled nor running, then polls up to 15 s
  // for RUNNING; done when it ran. The error is the first failed call (opening
  // the manager or the service, the start, a status query).
  [[nodiscard]] virtual SystemStep StartServiceAndWait(const std::wstring& service_name) = 0;
  // Disables and re-enables every TAP device that needs a restart; not done when
  // any device status could not be read or a restarted device is still unhealthy.
  // Done with an error when there was no device list (nothing to restart).
  [[nodiscard]] virtual SystemStep RestartTapDevices() = 0;

  // ---- files and programs ----
  [[nodiscard]] virtual SystemFact<uint32_t> FileAttributes(const std::wstring& path) = 0;
  // Opens and holds `path` as HeldFile describes; the open's failure otherwise.
  [[nodiscard]] virtual FileHold HoldFile(const std::wstring& path) = 0;
  // The system directory; no value when it cannot be determined in 260 characters.
  [[nodiscard]] virtual SystemFact<std::wstring> SystemDirectory() = 0;
  // Default value of HKLM "SOFTWARE\OpenVPN" (64-bit view), expanded; no value
  // when absent or not a string.
  [[nodiscard]] virtual SystemFact<std::wstring> ReadOpenVpnDirectory() = 0;
  // Starts `application` with `command_line`, no window, no inherited handles,
  // and waits for it: without limit when timeout_ms is empty.
  [[nodiscard]] virtual RunResult Run(const std::wstring& application,
                                      const std::wstring& command_line,
                                      std::optional<uint32_t> timeout_ms) = 0;

  // ---- diagnostics ----
  // One line on a decision a failure shaped. The program shows nothing and writes
  // no file: the Win32 system hands the line to the debugger channel
  // (OutputDebugStringW), where a debugger or trace tool sees it and nothing else does.
  virtual void Note(std::wstring_view line) = 0;
};

}  // namespace tovra::prereq
