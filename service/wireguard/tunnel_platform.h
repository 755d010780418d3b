// What the WireGuard tunnel manager needs from the machine, as small interfaces:
// the Service Control Manager (for the one tunnel service), the file system
// steps around the configuration file, the adapter query and a clock. The Win32
// implementations carry the calls out; tests drive the manager's every branch
// over scripted fakes, including answers Wine never gives.
//
// Errors are Win32 error codes (0 = success). All calls come from the manager
// with its mutex held, so implementations need no locking of their own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "service/wireguard/adapter_snapshot.h"

namespace tovra::service {

// Service states and the Win32 errors the manager decides on by value.
namespace scm {
inline constexpr uint32_t kStopped = 1;
inline constexpr uint32_t kStartPending = 2;
inline constexpr uint32_t kStopPending = 3;
inline constexpr uint32_t kRunning = 4;

inline constexpr uint32_t kErrorInvalidLevel = 124;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
}  // namespace scm

// The tunnel service "WireGuardTunnel$zerkavpnwireguard" through the Service
// Control Manager. Connect opens the manager; Create or Open then holds the
// service handle until Close, which closes both.
class TunnelServiceControl {
 public:
  virtual ~TunnelServiceControl() = default;
  [[nodiscard]] virtual uint32_t Connect(bool create_service_rights) = 0;
  // Own-process, demand start, LocalSystem, dependencies Nsi and TcpIp.
  [[nodiscard]] virtual uint32_t Create(std::wstring_view command_line) = 0;
  // For stop, delete and status query.
  [[nodiscard]] virtual uint32_t Open() = 0;
  [[nodiscard]] virtual uint32_t SetSidTypeUnrestricted() = 0;
  virtual void SetDescription() = 0;  // best effort
  [[nodiscard]] virtual uint32_t Start() = 0;
  // The current state, or 0 when it cannot be read.
  [[nodiscard]] virtual uint32_t QueryState() = 0;
  [[nodiscard]] virtual uint32_t SendStop() = 0;
  [[nodiscard]] virtual uint32_t Delete() = 0;
  virtual void Close() = 0;
  // Its own connection: whether the service can be opened for a status query.
  // An unreachable manager counts as the service not existing.
  [[nodiscard]] virtual bool Exists() = 0;
};

// The file system steps. The configuration file holds a private key, so the
// implementation never writes through a reparse point and creates the file new
// under a protected descriptor.
class TunnelFiles {
 public:
  virtual ~TunnelFiles() = default;
  [[nodiscard]] virtual bool ProgramExists(const std::wstring& path) = 0;
  // The ProgramData known folder, empty when it cannot be read.
  [[nodiscard]] virtual std::wstring ProgramDataFolder() = 0;
  // Creates <ProgramData>\Zerka\vpn\wireguard and protects it; false when the
  // folder cannot be made safe to hold the file.
  [[nodiscard]] virtual bool PrepareConfigDirectory(const std::wstring& program_data) = 0;
  [[nodiscard]] virtual bool WriteConfig(const std::wstring& path,
                                         std::span<const uint8_t> text) = 0;
  // Overwrites a regular file with zeros, then deletes it; a link is deleted as
  // a link. Nothing at the path is not an error.
  virtual void SecureDelete(const std::wstring& path) = 0;
};

// wireguard.dll.
class AdapterQuery {
 public:
  virtual ~AdapterQuery() = default;
  [[nodiscard]] virtual bool Load(const std::wstring& path) = 0;
  [[nodiscard]] virtual AdapterSnapshot Query(std::wstring_view adapter_name) = 0;
};

class TunnelClock {
 public:
  virtual ~TunnelClock() = default;
  [[nodiscard]] virtual uint64_t NowMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// steady_clock and a real sleep.
class SystemTunnelClock final : public TunnelClock {
 public:
  uint64_t NowMs() override;
  void SleepMs(uint32_t ms) override;
};

}  // namespace tovra::service
