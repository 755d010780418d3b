// Load through the plugin: 32 "Dart" calls kept in flight at once for a while,
// cycling through every host method, against the real Agent and a console-mode
// Service whose folder holds the WireGuard stand-ins (no OpenVPN installation:
// the OpenVPN calls answer with what the Agent says about that). Every call must
// be answered once, with a value or a documented error code; the program prints
// the throughput and the latency percentiles, overall and per method.
//
//   plugin_load.exe [SECONDS]      default 60; exit code 0 when every call was
//                                  answered that way, 1 otherwise, 2 when the
//                                  chain could not be set up
// with TOVRA_PLUGIN_DLL, TOVRA_AGENT_EXE, TOVRA_SERVICE_EXE,
// ZERKA_TEST_WIREGUARD_EXE and ZERKA_TEST_WIREGUARD_DLL set (Z: paths). A short
// run is the ctest entry plugin_load_smoke, which asserts completeness only.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/faults/dart_player_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/vpn_samples.h"
#include "tests/support/wait_until.h"

namespace {

namespace fs = std::filesystem;
using tovra::faults::Clock;
using tovra::faults::DartPlayer;
using tovra::faults::EncodableValue;
using tovra::faults::Reply;
using tovra::faults::Texts;

constexpr size_t kInFlight = 32;
constexpr const char* kConfig = tovra::testing::kSampleWireGuardConfig;
constexpr const char* kProfile = tovra::testing::kSampleOpenVpnProfile;

struct Method {
  const char* name;
  EncodableValue args;
};

std::vector<Method> EveryMethod() {
  return {{"getHealth", Texts({})},
          {"isAvailable", Texts({})},
          {"getAgentHealth", Texts({})},
          {"getServiceHealth", Texts({})},
          {"wireGuardStatus", Texts({})},
          {"startWireGuard", Texts({kConfig})},
          {"stopWireGuard", Texts({})},
          {"getOpenVpnCapabilities", Texts({})},
          {"startOpenVpn", Texts({kProfile, "user", "load-pass"})},
          {"getOpenVpnStatus", Texts({})},
          {"stopOpenVpn", Texts({})},
          {"startEvents", Texts({})}};
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(p * static_cast<double>(v.size()) + 0.999999);
  rank = std::clamp<size_t>(rank, 1, v.size());
  return v[rank - 1];
}

struct Tally {
  std::vector<double> latencies;
  std::map<std::string, size_t> outcomes;  // "value" or the error code
  size_t incomplete = 0;
};

// A console Service from a folder holding it and the WireGuard stand-ins.
bool StartService(tovra::testing::ChildProcess& service) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const fs::path dir = fs::path(temp) / (L"zerka-load-" + std::to_wstring(::GetCurrentProcessId()));
  std::error_code ec;
  fs::create_directories(dir, ec);
  for (const wchar_t* var :
       {L"TOVRA_SERVICE_EXE", L"ZERKA_TEST_WIREGUARD_EXE", L"ZERKA_TEST_WIREGUARD_DLL"}) {
    const fs::path from = tovra::testing::TestEnv(var);
    if (from.empty()) {
      std::fwprintf(stderr, L"%ls is not set\n", var);
      return false;
    }
    fs::copy_file(from, dir / from.filename(), fs::copy_options::overwrite_existing, ec);
    if (ec) return false;
  }
  return service.Start((dir / L"ZerkaVPNService.exe").wstring(), L"--console");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const double seconds = argc > 1 ? std::wcstod(argv[1], nullptr) : 60.0;
  if (!(seconds > 0)) {
    std::fwprintf(stderr, L"usage: plugin_load.exe [SECONDS]\n");
    return 2;
  }
  ::SetEnvironmentVariableW(L"ZERKA_AGENT_IDLE_SECONDS", L"60");
  tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
  tovra::testing::ChildProcess service;
  if (!StartService(service)) return 2;
  int exit_code = 0;
  {
    DartPlayer dart(L"zerka-load", true);
    if (!dart.ok()) return 2;
    // The chain is up once the Service answers through it.
    const bool up =
        tovra::testing::WaitUntil([&] { return dart.Call("getServiceHealth").value; },
                                  std::chrono::seconds(30), std::chrono::milliseconds(250));
    if (!up) {
      std::fprintf(stderr, "the Service never answered through the plugin\n");
      return 2;
    }

    const std::vector<Method> methods = EveryMethod();
    std::map<std::string, Tally> tallies;
    // Stable addresses: the engine holds a pointer to each call's reply.
    std::deque<Reply> replies;
    std::vector<std::pair<Reply*, const Method*>> in_flight;
    size_t next = 0;
    size_t sent = 0;
    auto send_one = [&] {
      const Method& m = methods[next++ % methods.size()];
      replies.emplace_back();
      Reply* r = &replies.back();
      if (dart.Send(m.name, m.args, r)) {
        in_flight.emplace_back(r, &m);
        ++sent;
      } else {
        ++tallies[m.name].incomplete;
      }
    };
    auto collect = [&] {
      for (auto it = in_flight.begin(); it != in_flight.end();) {
        if (it->first->replies == 0) {
          ++it;
          continue;
        }
        Tally& t = tallies[it->second->name];
        const Reply& r = *it->first;
        if (r.complete()) {
          t.latencies.push_back(Ms(r.answered - r.sent));
          ++t.outcomes[r.value ? "value" : r.error_code];
        } else {
          ++t.incomplete;
        }
        it = in_flight.erase(it);
      }
    };

    const auto begin = Clock::now();
    const auto end =
        begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (in_flight.size() < kInFlight) send_one();
    while (Clock::now() < end) {
      dart.PumpUntil(
          [&] {
            collect();
            return in_flight.size() < kInFlight;
          },
          end - Clock::now());
      while (Clock::now() < end && in_flight.size() < kInFlight) send_one();
    }
    // Let the last calls answer; each has its own reply time limit (at most 60 s).
    dart.PumpUntil(
        [&] {
          collect();
          return in_flight.empty();
        },
        std::chrono::seconds(150));
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    for (const auto& [r, m] : in_flight) ++tallies[m->name].incomplete;

    std::vector<double> all;
    size_t incomplete = 0;
    std::printf("plugin load: %zu calls in flight for %.1f s, %zu sent\n", kInFlight, seconds,
                sent);
    std::printf("  %-24s %7s %9s %9s %9s  outcomes\n", "method", "n", "p50 ms", "p99 ms", "max ms");
    for (const Method& m : methods) {
      const Tally& t = tallies[m.name];
      all.insert(all.end(), t.latencies.begin(), t.latencies.end());
      incomplete += t.incomplete;
      std::string outcomes;
      for (const auto& [what, n] : t.outcomes) outcomes += what + "=" + std::to_string(n) + " ";
      if (t.incomplete > 0) outcomes += "INCOMPLETE=" + std::to_string(t.incomplete);
      std::printf("  %-24s %7zu %9.2f %9.2f %9.2f  %s\n", m.name, t.latencies.size(),
                  Percentile(t.latencies, 0.5), Percentile(t.latencies, 0.99),
                  Percentile(t.latencies, 1.0), outcomes.c_str());
    }
    std::printf("  %-24s %7zu %9.2f %9.2f %9.2f\n", "all", all.size(), Percentile(all, 0.5),
                Percentile(all, 0.99), Percentile(all, 1.0));
    std::printf("throughput: %.1f calls/s over %.1f s (until the last reply)\n",
                static_cast<double>(all.size()) / elapsed, elapsed);
    std::printf("incomplete (no reply, an empty reply or an undocumented error): %zu\n",
                incomplete);
    exit_code = incomplete == 0 && !all.empty() ? 0 : 1;

    // Take down what the load left up, through the chain.
    (void)dart.Call("stopWireGuard");
    (void)dart.Call("stopOpenVpn");
  }
  service.Kill();
  tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
  std::fflush(stdout);
  return exit_code;
}
