// A scriptable machine for the launcher's tests: every fact is a public field,
// every program start and service start is recorded, and program results are
// scripted per application path. Single-threaded; defaults describe a bare machine
// (no services, no devices, no files) with a system directory.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "prereq/prereq_system.h"

namespace tovra::prereq::testing {

struct RecordedRun {
  std::wstring application;
  std::wstring command_line;
  std::optional<uint32_t> timeout_ms;
  int held_files = 0;  // files held (HoldFile) while it ran
};

struct FakeFile {
  uint32_t attributes = 0x80;                       // FILE_ATTRIBUTE_NORMAL
  std::optional<std::array<uint8_t, 8>> signature;  // none: fewer than 8 bytes
  Win32Error open_error{};                          // HoldFile fails with it when set
};

// Counts itself in `held` while it lives.
class FakeHeldFile : public HeldFile {
 public:
  FakeHeldFile(const FakeFile& file, int& held) : file_(file), held_(held) { ++held_; }
  ~FakeHeldFile() override { --held_; }
  FakeHeldFile(const FakeHeldFile&) = delete;
  FakeHeldFile& operator=(const FakeHeldFile&) = delete;

  SystemFact<uint32_t> Attributes() override { return {file_.attributes, {}}; }
  SystemFact<std::array<uint8_t, 8>> ReadSignature() override { return {file_.signature, {}}; }

 private:
  FakeFile file_;
  int& held_;
};

// What a query of a missing file hands back.
inline constexpr Win32Error kFileNotFound{2, L"GetFileAttributesW"};

inline constexpr std::array<uint8_t, 8> kMsiSignature = {0xD0, 0xCF, 0x11, 0xE0,
                                                         0xA1, 0xB1, 0x1A, 0xE1};

class FakePrereqSystem : public PrereqSystem {
 public:
  std::map<std::wstring, ServiceSummary> services;
  std::vector<TapDevice> devices;
  Win32Error devices_error;  // handed back with the device list
  std::optional<std::vector<TapDevice>> devices_after_restart;
  bool amd64 = true;
  std::optional<std::wstring> tap_image_path;
  Win32Error tap_image_path_error;
  std::map<std::wstring, std::wstring> environment;  // name -> value for %name%
  bool expansion_fails = false;
  std::map<std::wstring, DriverVersion> file_versions;
  Win32Error file_version_error;  // for a path without a version
  std::optional<std::wstring> pending_renames;
  Win32Error pending_renames_error;
  bool service_start_succeeds = true;
  Win32Error service_start_error;
  bool restart_succeeds = true;
  Win32Error restart_error;
  std::map<std::wstring, FakeFile> files;
  std::optional<std::wstring> system_directory = L"C:\\Windows\\system32";
  Win32Error system_directory_error;  // when there is none
  std::wstring openvpn_directory;     // empty: absent
  Win32Error openvpn_directory_error{2, L"RegOpenKeyExW"};
  std::map<std::wstring, RunResult> run_results;  // by application; default exit 0

  std::vector<std::wstring> notes;
  std::vector<RecordedRun> runs;
  int held_files = 0;
  std::vector<std::wstring> started_services;
  std::vector<std::wstring> version_reads;
  int restart_calls = 0;

  ServiceSummary QueryServiceSummary(const std::wstring& name) override {
    auto it = services.find(name);
    return it == services.end() ? ServiceSummary{} : it->second;
  }
  TapDeviceList EnumerateTapDevices() override { return {devices, devices_error}; }
  bool IsNativeAmd64() override { return amd64; }
  SystemFact<std::wstring> ReadTapImagePath() override {
    return {tap_image_path, tap_image_path ? Win32Error{} : tap_image_path_error};
  }

  std::optional<std::wstring> ExpandEnvironment(const std::wstring& text) override {
    if (expansion_fails) return std::nullopt;
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
      size_t close = text[i] == L'%' ? text.find(L'%', i + 1) : std::wstring::npos;
      auto var = close == std::wstring::npos ? environment.end()
                                             : environment.find(text.substr(i + 1, close - i - 1));
      if (var != environment.end()) {
        out += var->second;
        i = close + 1;
      } else {
        out += text[i++];
      }
    }
    return out;
  }

  SystemFact<DriverVersion> ReadFileVersion(const std::wstring& path) override {
    version_reads.push_back(path);
    auto it = file_versions.find(path);
    if (it == file_versions.end()) return {std::nullopt, file_version_error};
    return {it->second, {}};
  }
  SystemFact<std::wstring> ReadPendingRenames() override {
    return {pending_renames, pending_renames ? Win32Error{} : pending_renames_error};
  }

  SystemStep StartServiceAndWait(const std::wstring& name) override {
    started_services.push_back(name);
    if (service_start_succeeds) services[name].running_or_starting = true;
    return {service_start_succeeds, service_start_error};
  }
  SystemStep RestartTapDevices() override {
    ++restart_calls;
    if (restart_succeeds && devices_after_restart) devices = *devices_after_restart;
    return {restart_succeeds, restart_error};
  }

  SystemFact<uint32_t> FileAttributes(const std::wstring& path) override {
    auto it = files.find(path);
    if (it == files.end()) return {std::nullopt, kFileNotFound};
    return {it->second.attributes, {}};
  }
  FileHold HoldFile(const std::wstring& path) override {
    auto it = files.find(path);
    if (it == files.end()) return {nullptr, {2, L"CreateFileW"}};
    if (it->second.open_error) return {nullptr, it->second.open_error};
    return {std::make_unique<FakeHeldFile>(it->second, held_files), {}};
  }
  SystemFact<std::wstring> SystemDirectory() override {
    return {system_directory, system_directory ? Win32Error{} : system_directory_error};
  }
  SystemFact<std::wstring> ReadOpenVpnDirectory() override {
    if (openvpn_directory.empty()) return {std::nullopt, openvpn_directory_error};
    return {openvpn_directory, {}};
  }

  RunResult Run(const std::wstring& application, const std::wstring& command_line,
                std::optional<uint32_t> timeout_ms) override {
    runs.push_back({application, command_line, timeout_ms, held_files});
    auto it = run_results.find(application);
    return it == run_results.end() ? RunResult{RunStatus::exited, 0, {}} : it->second;
  }

  void Note(std::wstring_view line) override { notes.emplace_back(line); }

  // Whether some note contains `text`.
  bool Noted(std::wstring_view text) const {
    for (const std::wstring& n : notes)
      if (n.find(text) != std::wstring::npos) return true;
    return false;
  }

  // A package file that passes every check.
  void AddPackage(const std::wstring& path) { files[path] = FakeFile{0x80, kMsiSignature, {}}; }
};

}  // namespace tovra::prereq::testing
