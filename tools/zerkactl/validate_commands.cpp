#include "tools/zerkactl/validate_commands.h"

#include <filesystem>
#include <fstream>
#include <ostream>

#include "common/openvpn/openvpn_profile_validator.h"
#include "common/base/scope_exit.h"
#include "common/base/secure_zero.h"
#include "service/wireguard/wireguard_config_validator.h"
#include "tools/zerkactl/zerkactl.h"

namespace tovra::tools {
namespace {

using common::ScopeExit;
using common::SecureZero;

// One byte beyond a validator's limit is enough for it to answer "too long".
std::optional<std::string> ReadSubject(std::span<const std::string> args, std::string_view name,
                                       size_t validator_limit, std::ostream& err) {
  if (args.size() != 1) {
    err << "usage: zerkactl " << name << " FILE\n";
    return std::nullopt;
  }
  auto bytes = ReadFileBytes(args[0], validator_limit + 1);
  if (!bytes) err << "zerkactl: cannot read \"" << args[0] << "\"\n";
  return bytes;
}

}  // namespace

std::optional<std::string> ReadFileBytes(const std::string& path, size_t limit) {
  const std::u8string utf8_path(path.begin(), path.end());
  std::error_code ec;
  if (std::filesystem::is_directory(std::filesystem::path(utf8_path), ec)) return std::nullopt;
  std::ifstream file(std::filesystem::path(utf8_path), std::ios::binary);
  if (!file) return std::nullopt;
  std::string bytes(limit, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(limit));
  if (file.bad()) {
    SecureZero(bytes);
    return std::nullopt;
  }
  // Shrinking keeps the capacity, so the caller's wipe still covers every byte read.
  bytes.resize(static_cast<size_t>(file.gcount()));
  return bytes;
}

int RunValidateWireGuard(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  std::optional<std::string> config =
      ReadSubject(args, "validate-wireguard", service::kMaxWireGuardConfigBytes, err);
  if (!config) return kExitUsage;
  ScopeExit wipe_config([&] { SecureZero(*config); });

  service::WireGuardConfigResult result = service::ValidateWireGuardConfig(*config);
  ScopeExit wipe_result([&] { SecureZero(result.text); });
  err << "code " << static_cast<unsigned>(result.code) << ": "
      << service::WireGuardConfigCodeMeaning(result.code) << '\n';
  if (result.code != service::WireGuardConfigCode::kAccepted) return kExitRejected;
  out.write(result.text.data(), static_cast<std::streamsize>(result.text.size()));
  out.flush();
  if (!out) {
    err << "zerkactl: cannot write the rendered configuration\n";
    return kExitUsage;
  }
  return kExitOk;
}

int RunValidateOpenVpn(std::span<const std::string> args, std::ostream& /*out*/,
                       std::ostream& err) {
  std::optional<std::string> profile =
      ReadSubject(args, "validate-openvpn", openvpn::kMaxProfileBytes, err);
  if (!profile) return kExitUsage;
  ScopeExit wipe_profile([&] { SecureZero(*profile); });

  const openvpn::OpenVpnProfileCode code = openvpn::ValidateOpenVpnProfile(*profile);
  err << "code " << static_cast<unsigned>(code) << ": " << openvpn::OpenVpnProfileCodeMeaning(code)
      << '\n';
  return code == openvpn::OpenVpnProfileCode::kAccepted ? kExitOk : kExitRejected;
}

}  // namespace tovra::tools
