// Owns the Service's one WireGuard tunnel: the tunnel service that runs
// wireguard.exe, the configuration file it reads, and the status query.
//
// Threading: the pipe loop's thread calls Start, Stop, QueryStatus and
// Reconcile; the control dispatcher's thread may call Stop during a service stop.
// One mutex serialises them; Start only tries it and answers busy at once.
// The configuration file exists from the moment it is written until the adapter
// exists or the start fails, and is overwritten with zeros before it is removed.
// Failures travel in the result's error (a WireGuardError), never as exceptions.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "common/ipc/messages.h"
#include "service/wireguard/tunnel_names.h"
#include "service/wireguard/tunnel_platform.h"

namespace tovra::service {

struct TunnelPlatform {
  TunnelServiceControl& services;
  TunnelFiles& files;
  AdapterQuery& adapter;
  TunnelClock& clock;
};

struct WireGuardResult {
  common::WireGuardError error = common::WireGuardError::none;
  common::WireGuardStatusRecord record;
};

// Bounds of the waits, in milliseconds.
inline constexpr uint64_t kRunningWaitMs = 20000;
inline constexpr uint32_t kRunningPollMs = 250;
inline constexpr uint64_t kStopWaitMs = 12000;
inline constexpr uint32_t kStopPollMs = 200;
inline constexpr uint32_t kGonePollMs = 50;
inline constexpr int kAdapterAttempts = 30;
inline constexpr uint32_t kAdapterPollMs = 500;

class WireGuardTunnelManager {
 public:
  // `service_dir` is the folder of the Service's executable (empty when it could
  // not be read). Reads ProgramData once; touches nothing on disk.
  WireGuardTunnelManager(std::wstring service_dir, TunnelPlatform platform);
  WireGuardTunnelManager(const WireGuardTunnelManager&) = delete;
  WireGuardTunnelManager& operator=(const WireGuardTunnelManager&) = delete;

  // `config` is the request's text; the caller keeps and wipes it. The rendered
  // copy is wiped here on every path.
  [[nodiscard]] WireGuardResult Start(std::string_view config);
  [[nodiscard]] WireGuardResult Stop();
  [[nodiscard]] common::WireGuardStatusRecord QueryStatus();
  // Removes a tunnel service and a configuration file left by an earlier run.
  void Reconcile();

  const TunnelPaths& paths() const { return paths_; }

 private:
  common::WireGuardStatusRecord QueryStatusLocked();
  void LoadLibraryOnce();
  uint32_t CreateAndStartService(std::wstring_view command_line);
  uint32_t StopAndDeleteService();
  void SecureDeleteConfig();
  [[nodiscard]] WireGuardResult Observed(common::WireGuardError error);

  std::mutex mutex_;
  TunnelPlatform platform_;
  TunnelPaths paths_;
  bool service_dir_usable_ = false;
  bool library_load_attempted_ = false;
  bool library_loaded_ = false;
};

}  // namespace tovra::service
