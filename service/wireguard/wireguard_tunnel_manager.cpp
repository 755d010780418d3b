#include "service/wireguard/wireguard_tunnel_manager.h"

#include <chrono>
#include <thread>
#include <utility>

#include "common/base/secret_buffer.h"
#include "common/log/log.h"
#include "service/wireguard/wireguard_config_validator.h"

namespace tovra::service {

using common::LogLevel;
using common::WireGuardError;
using common::WireGuardState;
using common::WireGuardStatusRecord;

uint64_t SystemTunnelClock::NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void SystemTunnelClock::SleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {

WireGuardResult Record(WireGuardState state, WireGuardError error) {
  WireGuardResult r;
  r.error = error;
  r.record.state = static_cast<uint8_t>(state);
  r.record.error = static_cast<uint16_t>(error);
  return r;
}

// Closes the manager's session on every path out of a sequence.
class ServiceSession {
 public:
  explicit ServiceSession(TunnelServiceControl& s) : s_(s) {}
  ServiceSession(const ServiceSession&) = delete;
  ServiceSession& operator=(const ServiceSession&) = delete;
  ~ServiceSession() { s_.Close(); }

 private:
  TunnelServiceControl& s_;
};

}  // namespace

WireGuardTunnelManager::WireGuardTunnelManager(std::wstring service_dir, TunnelPlatform platform)
    : platform_(platform) {
  paths_ = MakeTunnelPaths(service_dir, platform_.files.ProgramDataFolder());
  service_dir_usable_ = !paths_.program.empty();
}

void WireGuardTunnelManager::LoadLibraryOnce() {
  if (library_load_attempted_) return;
  library_load_attempted_ = true;
  // Only ever from an absolute path beside the Service; without one, no load.
  library_loaded_ = service_dir_usable_ && platform_.adapter.Load(paths_.library);
}

WireGuardStatusRecord WireGuardTunnelManager::QueryStatusLocked() {
  LoadLibraryOnce();
  const bool service_exists = platform_.services.Exists();
  const AdapterSnapshot snapshot =
      library_loaded_ ? platform_.adapter.Query(kTunnelName) : AdapterSnapshot{};
  WireGuardStatusRecord r;
  r.adapter_present = snapshot.present;
  r.rx_bytes = snapshot.rx_bytes;
  r.tx_bytes = snapshot.tx_bytes;
  r.last_handshake_ms = snapshot.last_handshake_ms;
  r.state = static_cast<uint8_t>(snapshot.present ? WireGuardState::up
                                 : service_exists ? WireGuardState::starting
                                                  : WireGuardState::down);
  r.error = 0;
  return r;
}

WireGuardResult WireGuardTunnelManager::Observed(WireGuardError error) {
  WireGuardResult r;
  r.error = error;
  r.record = QueryStatusLocked();
  r.record.error = static_cast<uint16_t>(error);
  return r;
}

void WireGuardTunnelManager::SecureDeleteConfig() {
  if (!paths_.config_file.empty()) platform_.files.SecureDelete(paths_.config_file);
}

WireGuardResult WireGuardTunnelManager::Start(std::string_view config) {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return Record(WireGuardState::starting, WireGuardError::busy);

  common::SecretBuffer rendered;
  {
    WireGuardConfigResult validated = ValidateWireGuardConfig(config);
    rendered = common::SecretBuffer::Absorb(validated.text);
    if (validated.code != WireGuardConfigCode::kAccepted) {
      common::Log(LogLevel::Warn, L"wireguard: config rejected (code=" +
                                      common::FormatDecimal(static_cast<uint16_t>(validated.code)) +
                                      L")");
      return Observed(WireGuardError::config_rejected);
    }
  }

  // Refusals before anything is touched: a tunnel that is up stays up, and the
  // reply says so.
  if (!service_dir_usable_ || !platform_.files.ProgramExists(paths_.program)) {
    common::Log(LogLevel::Error, L"wireguard: wireguard.exe not found beside the service");
    return Observed(WireGuardError::install_failed);
  }
  if (paths_.config_file.empty()) {
    common::Log(LogLevel::Error,
                L"wireguard: ProgramData folder unknown - cannot store the config");
    return Observed(WireGuardError::config_write_failed);
  }

  if (platform_.services.Exists()) (void)StopAndDeleteService();

  const auto store_failed = [&] {
    return Record(WireGuardState::down, WireGuardError::config_write_failed);
  };
  const std::wstring program_data = platform_.files.ProgramDataFolder();
  if (program_data.empty()) return store_failed();
  if (!platform_.files.PrepareConfigDirectory(program_data)) return store_failed();
  if (!platform_.files.WriteConfig(paths_.config_file, rendered.span())) return store_failed();
  rendered.clear();

  const auto fail = [&](WireGuardError error) {
    (void)StopAndDeleteService();
    SecureDeleteConfig();
    return Record(WireGuardState::down, error);
  };

  const uint32_t started =
      CreateAndStartService(TunnelServiceCommandLine(paths_.program, paths_.config_file));
  if (started != 0) return fail(static_cast<WireGuardError>(started));

  LoadLibraryOnce();
  for (int attempt = 0; attempt < kAdapterAttempts; ++attempt) {
    if (library_loaded_ && platform_.adapter.Query(kTunnelName).present) {
      SecureDeleteConfig();
      WireGuardResult up;
      up.record = QueryStatusLocked();
      up.record.state = static_cast<uint8_t>(WireGuardState::up);
      up.record.error = 0;
      common::Log(LogLevel::Info, L"wireguard: tunnel zerkavpnwireguard is up");
      return up;
    }
    platform_.clock.SleepMs(kAdapterPollMs);
  }
  common::Log(LogLevel::Error, L"wireguard: adapter zerkavpnwireguard never appeared");
  return fail(WireGuardError::adapter_never_appeared);
}

uint32_t WireGuardTunnelManager::CreateAndStartService(std::wstring_view command_line) {
  TunnelServiceControl& services = platform_.services;
  const auto install_failed = static_cast<uint32_t>(WireGuardError::install_failed);
  const auto start_failed = static_cast<uint32_t>(WireGuardError::start_failed);
  if (services.Connect(/*create_service_rights=*/true) != 0) {
    services.Close();
    return install_failed;
  }
  ServiceSession session(services);

  if (const uint32_t e = services.Create(command_line); e != 0) {
    if (e == scm::kErrorServiceMarkedForDelete) {
      common::LogWin32(LogLevel::Error,
                       L"wireguard: CreateService failed - the previous tunnel service is still "
                       L"marked for deletion",
                       e);
    } else {
      common::LogWin32(LogLevel::Error, L"wireguard: CreateService failed", e);
    }
    return install_failed;
  }

  if (const uint32_t e = services.SetSidTypeUnrestricted(); e == scm::kErrorInvalidLevel) {
    // No Windows that has service SIDs refuses the level itself: this platform
    // has none, so the tunnel runs without one.
    common::LogWin32(LogLevel::Warn,
                     L"wireguard: service SID type not supported on this platform -> continuing "
                     L"without SERVICE_SID_TYPE_UNRESTRICTED",
                     e);
  } else if (e != 0) {
    common::LogWin32(LogLevel::Error,
                     L"wireguard: set SERVICE_SID_TYPE_UNRESTRICTED failed -> aborting", e);
    (void)services.Delete();
    return install_failed;
  }

  services.SetDescription();

  const uint64_t started_at = platform_.clock.NowMs();
  if (const uint32_t e = services.Start(); e != 0) {
    common::LogWin32(LogLevel::Error, L"wireguard: StartService failed", e);
    (void)services.Delete();
    return start_failed;
  }
  for (;;) {
    const uint32_t state = services.QueryState();
    if (state == scm::kRunning) return 0;
    if (state == scm::kStopped || platform_.clock.NowMs() - started_at >= kRunningWaitMs) break;
    platform_.clock.SleepMs(kRunningPollMs);
  }
  common::Log(LogLevel::Error, L"wireguard: tunnel service did not reach RUNNING");
  return start_failed;
}

uint32_t WireGuardTunnelManager::StopAndDeleteService() {
  TunnelServiceControl& services = platform_.services;
  const auto incomplete = static_cast<uint32_t>(WireGuardError::stop_incomplete);
  if (services.Connect(/*create_service_rights=*/false) != 0) {
    services.Close();
    return incomplete;
  }
  bool deleted = false;
  bool stopped = false;
  const uint64_t began = platform_.clock.NowMs();
  const auto within_bound = [&] { return platform_.clock.NowMs() - began < kStopWaitMs; };
  {
    ServiceSession session(services);
    if (const uint32_t e = services.Open(); e != 0) {
      return e == scm::kErrorServiceDoesNotExist ? 0 : incomplete;
    }
    stopped = services.QueryState() == scm::kStopped;
    // A service still starting refuses the control; it is sent again until the
    // service takes it or the bound runs out.
    bool stop_accepted = false;
    while (!stopped) {
      if (!stop_accepted) {
        const uint32_t e = services.SendStop();
        stop_accepted = e == 0 || e == scm::kErrorServiceNotActive;
      }
      stopped = services.QueryState() == scm::kStopped;
      if (stopped || !within_bound()) break;
      platform_.clock.SleepMs(kStopPollMs);
    }
    const uint32_t e = services.Delete();
    deleted = e == 0 || e == scm::kErrorServiceMarkedForDelete;
  }
  // A deleted service lingers while handles to it are open; a replacing create
  // before it is gone fails, so wait for it within the same bound.
  bool gone = !services.Exists();
  while (deleted && !gone && within_bound()) {
    platform_.clock.SleepMs(kGonePollMs);
    gone = !services.Exists();
  }
  if (gone) return 0;
  return deleted && stopped ? 0 : incomplete;
}

WireGuardResult WireGuardTunnelManager::Stop() {
  std::lock_guard lock(mutex_);
  const uint32_t removed = StopAndDeleteService();
  SecureDeleteConfig();
  if (removed != 0) {
    common::Log(LogLevel::Warn, L"wireguard: stop did not fully complete");
    return Observed(WireGuardError::stop_incomplete);
  }
  return Record(WireGuardState::down, WireGuardError::none);
}

WireGuardStatusRecord WireGuardTunnelManager::QueryStatus() {
  std::lock_guard lock(mutex_);
  return QueryStatusLocked();
}

void WireGuardTunnelManager::Reconcile() {
  std::lock_guard lock(mutex_);
  if (platform_.services.Exists()) {
    common::Log(LogLevel::Warn,
                L"wireguard: reconcile - removing stale WireGuardTunnel$zerkavpnwireguard from a "
                L"prior run");
    (void)StopAndDeleteService();
  }
  SecureDeleteConfig();
}

}  // namespace tovra::service
