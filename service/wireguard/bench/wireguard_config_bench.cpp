// Validation and rendering cost of a 16-peer configuration (the most peers
// accepted), each peer with a preshared key, keepalive and several AllowedIPs.
#include <benchmark/benchmark.h>

#include <string>

#include "service/wireguard/wireguard_config_validator.h"

using namespace tovra::service;

static std::string SixteenPeers() {
  const std::string key = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
  std::string c = "[Interface]\r\nPrivateKey = " + key +
                  "\r\nAddress = 10.8.0.2/32, fd00:8::2/128\r\nDNS = 10.8.0.1, corp.example\r\n"
                  "MTU = 1420\r\nListenPort = 51820\r\n";
  for (int i = 0; i < 16; ++i) {
    const std::string n = std::to_string(i + 1);
    c += "\r\n[Peer] # site " + n + "\r\nPublicKey = " + key + "\r\nPresharedKey = " + key +
         "\r\nEndpoint = vpn" + n + ".example.com:51820\r\nAllowedIPs = 10." + n +
         ".0.0/16, fd00:" + n + "::/64, 192.168." + n + ".0/24, 172.16." + n +
         ".0/24\r\nPersistentKeepalive = 25\r\n";
  }
  return c;
}

static void BM_ValidateSixteenPeers(benchmark::State& state) {
  const std::string config = SixteenPeers();
  if (ValidateWireGuardConfig(config).code != WireGuardConfigCode::kAccepted) {
    state.SkipWithError("fixture rejected");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(ValidateWireGuardConfig(config).text.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * config.size()));
  state.counters["input_bytes"] = static_cast<double>(config.size());
}
BENCHMARK(BM_ValidateSixteenPeers);

static void BM_RejectAtLastByte(benchmark::State& state) {
  // Worst case for a rejection: everything parses until a bad final line.
  const std::string config = SixteenPeers() + "Foo = 1\n";
  for (auto _ : state) benchmark::DoNotOptimize(ValidateWireGuardConfig(config).code);
}
BENCHMARK(BM_RejectAtLastByte);

BENCHMARK_MAIN();
