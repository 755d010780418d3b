// Validation cost of the largest profile accepted (16384 bytes): directives and
// both inline blocks, padded with certificate lines of typical width.
#include <benchmark/benchmark.h>

#include <string>

#include "common/openvpn/openvpn_profile_validator.h"

using namespace tovra::openvpn;

static std::string LargestProfile() {
  std::string p =
      "client\ndev tun\nproto udp\nremote vpn.example.com 1194\nresolv-retry infinite\n"
      "nobind\npersist-key\npersist-tun\nremote-cert-tls server\ncipher AES-256-GCM\n"
      "verb 3\nauth-user-pass\nauth-nocache\nkey-direction 1\n<tls-auth>\n"
      "# 2048 bit OpenVPN static key\n";
  for (int i = 0; i < 16; ++i) p += std::string(32, 'f') + "\n";
  p += "</tls-auth>\n<ca>\n-----BEGIN CERTIFICATE-----\n";
  const std::string tail = "-----END CERTIFICATE-----\n</ca>\n";
  while (p.size() + 65 + tail.size() <= kMaxProfileBytes) p += std::string(64, 'M') + "\n";
  p += std::string(kMaxProfileBytes - p.size() - tail.size() - 1, 'M') + "\n" + tail;
  return p;
}

static void BM_ValidateLargestProfile(benchmark::State& state) {
  const std::string profile = LargestProfile();
  if (profile.size() != kMaxProfileBytes ||
      ValidateOpenVpnProfile(profile) != OpenVpnProfileCode::kAccepted) {
    state.SkipWithError("fixture is not a largest accepted profile");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(ValidateOpenVpnProfile(profile));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMaxProfileBytes);
}
BENCHMARK(BM_ValidateLargestProfile);

static void BM_EnsureDirectiveOnLargestProfile(benchmark::State& state) {
  const std::string profile = LargestProfile();
  for (auto _ : state) benchmark::DoNotOptimize(EnsureDirective(profile, "route-method").size());
}
BENCHMARK(BM_EnsureDirectiveOnLargestProfile);

BENCHMARK_MAIN();
