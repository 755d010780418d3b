// Timing of a tunnel start under the real Service Control Manager, with the
// wireguard.exe and wireguard.dll stand-ins in a fresh install folder: how long
// Start takes from its call to its return, against how long the tunnel program
// itself took from its process entry to RUNNING (read from the stand-in's
// times file; both sides read GetTickCount64). Each run is a Start then a Stop.
// A program, not a test: it prints figures and asserts nothing.
//
//   bench_wireguard_tunnel.exe WIREGUARD_EXE WIREGUARD_DLL [RUNS]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "service/wireguard/wireguard_tunnel_win.h"
#include "tests/fakes/wireguard/standin_script_win.h"
#include "tests/fakes/wireguard/wireguard_standin.h"

namespace {

using tovra::service::WinWireGuardTunnel;
using tovra::service::WireGuardResult;
using Clock = std::chrono::steady_clock;

constexpr char kConfig[] =
    "[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"
    "Address = 10.0.0.2/32\n"
    "[Peer]\nPublicKey = ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM=\n"
    "Endpoint = 192.0.2.1:51820\nAllowedIPs = 0.0.0.0/0\n";

struct Run {
  double start_ms = 0;      // Start's call to its return (steady clock)
  uint64_t launch_ms = 0;   // Start's call to the program's process entry
  uint64_t program_ms = 0;  // the program's entry to RUNNING
  uint64_t after_ms = 0;    // RUNNING to Start's return
  double stop_ms = 0;       // Stop's call to its return
};

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

template <typename T>
T Median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? T{} : v[v.size() / 2];
}

// The last "started_at_ms" and "running_at_ms" the stand-in appended.
bool ReadTimes(const std::wstring& path, uint64_t& started_at, uint64_t& running_at) {
  bool started = false;
  bool running = false;
  for (const auto& line : tovra::testing::ReadScriptLines(path)) {
    if (line.key == "started_at_ms")
      started = tovra::testing::ParseScriptNumber(line.value, started_at);
    if (line.key == "running_at_ms")
      running = tovra::testing::ParseScriptNumber(line.value, running_at);
  }
  return started && running;
}

// The usual step of GetTickCount64 over about 300 ms (the median of its
// changes; the first one is partial and left out): the resolution of every
// figure read from the tick counter.
uint64_t TickStep() {
  std::vector<uint64_t> steps;
  uint64_t last = ::GetTickCount64();
  const uint64_t until = last + 300;
  bool first = true;
  for (uint64_t now = last; now < until; now = ::GetTickCount64()) {
    if (now == last) continue;
    if (!first) steps.push_back(now - last);
    first = false;
    last = now;
  }
  return Median(steps);
}

std::wstring MakeInstallFolder(const std::wstring& exe, const std::wstring& dll) {
  wchar_t base[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, base);
  const std::wstring folder =
      std::wstring(base) + L"zerka-wg-bench-" + std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(folder.c_str(), nullptr);
  if (!::CopyFileW(exe.c_str(), (folder + L"\\wireguard.exe").c_str(), FALSE) ||
      !::CopyFileW(dll.c_str(), (folder + L"\\wireguard.dll").c_str(), FALSE)) {
    return {};
  }
  return folder;
}

void RemoveInstallFolder(const std::wstring& folder) {
  for (const wchar_t* name :
       {L"wireguard.exe", L"wireguard.dll", kStandInReadCopyName, kStandInTimesName}) {
    ::DeleteFileW((folder + L"\\" + name).c_str());
  }
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fwprintf(stderr,
                  L"usage: bench_wireguard_tunnel.exe WIREGUARD_EXE WIREGUARD_DLL [RUNS]\n");
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 5;
  const std::wstring folder = MakeInstallFolder(argv[1], argv[2]);
  if (folder.empty()) {
    std::fwprintf(stderr, L"cannot lay out the install folder\n");
    return 1;
  }
  const std::wstring times = folder + L"\\" + kStandInTimesName;

  std::vector<Run> results;
  {
    WinWireGuardTunnel tunnel(folder);
    tunnel.manager().Reconcile();  // a tunnel left by an earlier, interrupted run
    for (int i = 0; i < runs; ++i) {
      ::DeleteFileW(times.c_str());
      Run run;
      const uint64_t called_tick = ::GetTickCount64();
      const Clock::time_point called = Clock::now();
      const WireGuardResult r = tunnel.manager().Start(kConfig);
      const Clock::time_point returned = Clock::now();
      const uint64_t returned_tick = ::GetTickCount64();
      uint64_t started_at = 0;
      uint64_t running_at = 0;
      const bool timed = ReadTimes(times, started_at, running_at);
      const Clock::time_point stop_called = Clock::now();
      (void)tunnel.manager().Stop();
      run.stop_ms = Ms(Clock::now() - stop_called);
      if (r.error != tovra::common::WireGuardError::none || !timed) {
        std::printf("run %d: start failed (error %u)\n", i + 1, static_cast<unsigned>(r.error));
        RemoveInstallFolder(folder);
        return 1;
      }
      run.start_ms = Ms(returned - called);
      run.launch_ms = started_at - called_tick;
      run.program_ms = running_at - started_at;
      run.after_ms = returned_tick - running_at;
      results.push_back(run);
    }
  }
  RemoveInstallFolder(folder);

  std::printf("GetTickCount64 resolution: %llu ms\n", static_cast<unsigned long long>(TickStep()));
  std::printf("%-6s %14s %18s %20s %18s %10s\n", "run", "Start (ms)", "call->entry (ms)",
              "entry->RUNNING (ms)", "RUNNING->ret (ms)", "Stop (ms)");
  std::vector<double> start, stop;
  std::vector<uint64_t> launch, program, after;
  for (size_t i = 0; i < results.size(); ++i) {
    const Run& r = results[i];
    std::printf("%-6zu %14.1f %18llu %20llu %18llu %10.1f\n", i + 1, r.start_ms,
                static_cast<unsigned long long>(r.launch_ms),
                static_cast<unsigned long long>(r.program_ms),
                static_cast<unsigned long long>(r.after_ms), r.stop_ms);
    start.push_back(r.start_ms);
    stop.push_back(r.stop_ms);
    launch.push_back(r.launch_ms);
    program.push_back(r.program_ms);
    after.push_back(r.after_ms);
  }
  const double start_median = Median(start);
  const uint64_t program_median = Median(program);
  std::printf("%-6s %14.1f %18llu %20llu %18llu %10.1f\n", "median", start_median,
              static_cast<unsigned long long>(Median(launch)),
              static_cast<unsigned long long>(program_median),
              static_cast<unsigned long long>(Median(after)), Median(stop));
  std::printf("Start / tunnel program's own entry->RUNNING (medians): %.1f\n",
              program_median == 0 ? 0.0 : start_median / static_cast<double>(program_median));
  return 0;
}
