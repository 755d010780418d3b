// The real machine behind PrereqSystem: the Service Control Manager, SetupAPI and
// the configuration manager, the registry (HKLM only), version resources and
// CreateProcessW. Stateless; every call opens and closes what it needs. Failures
// degrade to "absent"/"unknown" as PrereqSystem describes, with the failing call
// and its error beside the result; notes go to OutputDebugStringW.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "prereq/prereq_system.h"

namespace tovra::prereq {

class Win32PrereqSystem : public PrereqSystem {
 public:
  [[nodiscard]] ServiceSummary QueryServiceSummary(const std::wstring& service_name) override;
  [[nodiscard]] TapDeviceList EnumerateTapDevices() override;
  [[nodiscard]] bool IsNativeAmd64() override;
  [[nodiscard]] SystemFact<std::wstring> ReadTapImagePath() override;
  [[nodiscard]] std::optional<std::wstring> ExpandEnvironment(const std::wstring& text) override;
  [[nodiscard]] SystemFact<DriverVersion> ReadFileVersion(const std::wstring& path) override;
  [[nodiscard]] SystemFact<std::wstring> ReadPendingRenames() override;
  [[nodiscard]] SystemStep StartServiceAndWait(const std::wstring& service_name) override;
  [[nodiscard]] SystemStep RestartTapDevices() override;
  [[nodiscard]] SystemFact<uint32_t> FileAttributes(const std::wstring& path) override;
  [[nodiscard]] FileHold HoldFile(const std::wstring& path) override;
  [[nodiscard]] SystemFact<std::wstring> SystemDirectory() override;
  [[nodiscard]] SystemFact<std::wstring> ReadOpenVpnDirectory() override;
  [[nodiscard]] RunResult Run(const std::wstring& application, const std::wstring& command_line,
                              std::optional<uint32_t> timeout_ms) override;
  void Note(std::wstring_view line) override;
};

// The process command line split by CommandLineToArgvW; nullopt when it cannot be split.
[[nodiscard]] std::optional<std::vector<std::wstring>> SplitProcessCommandLine();

}  // namespace tovra::prereq
