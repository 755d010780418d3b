// Timing harness for the whole chain (plugin -> Agent -> Service) against what the
// pipes alone cost, all in one run on the same machine:
//   1. getServiceHealth through the plugin, loaded through the headless embedding;
//   2. the same request written by a raw pipe client straight to the Agent;
//   3. a raw two-hop named-pipe echo (client -> relay process -> echo process) with
//      the frame sizes of 2;
//   4. the Agent's cold start (first request with no Agent running) against
//      starting a trivial process;
//   5. 32 concurrent host calls against 32 sequential ones;
//   6. the parts of the plugin's own cost: the codec work of one call, a channel
//      dispatch answered at once on the platform thread, a hand-off to a thread
//      that already exists and back (what a pooled worker does), and a new thread
//      doing the same (what a worker per call did).
// A program, not a test: it prints figures and ratios and asserts nothing.
//
//   chain_bench.exe [ITERATIONS]   with TOVRA_PLUGIN_DLL, TOVRA_AGENT_EXE and
//                                  TOVRA_SERVICE_EXE set (scripts/bench does)
// The same executable plays the helper processes: --noop, --echo PIPE REPLY_BYTES,
// --relay IN_PIPE OUT_PIPE.
#include <windows.h>

#include <flutter_headless.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/security/caller_identity_win.h"
#include "common/ipc/frame.h"
#include "common/win/handles_win.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"
#include "plugin/pigeon_api.h"
#include "tests/support/child_process_win.h"
#include "tests/support/pipe_wait_win.h"
#include "tests/support/wait_until.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using flutter::EncodableList;
using flutter::EncodableValue;
using tovra::common::UniqueHandle;
using tovra_windows_vpn::PigeonCodec;

constexpr uint32_t kIoTimeoutMs = 30000;
constexpr size_t kConcurrent = 32;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Stats {
  double median = 0, p99 = 0, min = 0;
};

Stats Summarise(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.median = v[v.size() / 2];
  const size_t p99 = (v.size() * 99 + 99) / 100;  // ceil(0.99 n)
  s.p99 = v[std::min(v.size(), std::max<size_t>(p99, 1)) - 1];
  s.min = v.front();
  return s;
}

// The median over rounds of (median of x's block / median of y's block): blocks
// taken side by side met the same load, so this ratio drifts less with it.
double PairedRatio(const std::vector<double>& x, const std::vector<double>& y, size_t block) {
  std::vector<double> ratios;
  for (size_t i = 0; i + block <= x.size() && i + block <= y.size(); i += block) {
    const double mx = Summarise({x.begin() + i, x.begin() + i + block}).median;
    const double my = Summarise({y.begin() + i, y.begin() + i + block}).median;
    if (my > 0) ratios.push_back(mx / my);
  }
  return Summarise(ratios).median;
}

void PrintRow(const char* what, const Stats& s, size_t n) {
  std::printf("  %-46s median %8.3f ms   p99 %8.3f ms   min %8.3f ms   (n=%zu)\n", what, s.median,
              s.p99, s.min, n);
}

// ---- helper processes ----

UniqueHandle CreateServerPipe(const std::wstring& name) {
  return UniqueHandle(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536,
                                         65536, 0, nullptr));
}

bool AcceptClient(HANDLE pipe) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  if (::ConnectNamedPipe(pipe, &ov)) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return true;
  if (error != ERROR_IO_PENDING) return false;
  DWORD n = 0;
  return ::GetOverlappedResult(pipe, &ov, &n, TRUE) != FALSE;
}

UniqueHandle OpenClient(const std::wstring& name) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    UniqueHandle h(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (h) return h;
    ::Sleep(25);  // polls for the pipe, 5 s at most
  }
  return UniqueHandle();
}

// Answers every frame with a reply of `reply_bytes` payload bytes, until the client leaves.
int RunEcho(const std::wstring& name, uint32_t reply_bytes) {
  UniqueHandle pipe = CreateServerPipe(name);
  if (!pipe || !AcceptClient(pipe.get())) return 3;
  const tovra::common::Bytes reply(reply_bytes, 0x5A);
  while (auto frame = tovra::common::ReadFrame(pipe.get(), INFINITE)) {
    if (!tovra::common::WriteFrame(pipe.get(), frame->header.type, frame->header.request_id, 0,
                                   reply, kIoTimeoutMs)) {
      break;
    }
  }
  return 0;
}

// Forwards each frame from its client to the echo and the answer back, on one
// connection each way, as the Agent does with its Service link.
int RunRelay(const std::wstring& in_name, const std::wstring& out_name) {
  UniqueHandle upstream = OpenClient(out_name);
  UniqueHandle pipe = CreateServerPipe(in_name);
  if (!upstream || !pipe || !AcceptClient(pipe.get())) return 3;
  while (auto request = tovra::common::ReadFrame(pipe.get(), INFINITE)) {
    const auto& h = request->header;
    if (!tovra::common::WriteFrame(upstream.get(), h.type, h.request_id, 0, request->payload,
                                   kIoTimeoutMs))
      break;
    auto reply = tovra::common::ReadFrame(upstream.get(), kIoTimeoutMs);
    if (!reply) break;
    if (!tovra::common::WriteFrame(pipe.get(), reply->header.type, reply->header.request_id, 0,
                                   reply->payload, kIoTimeoutMs)) {
      break;
    }
  }
  return 0;
}

std::wstring SelfPath() {
  wchar_t self[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::wstring(self, n);
}

// ---- the plugin, played as Dart ----

using RegisterFn = void (*)(FlutterDesktopPluginRegistrarRef);

RegisterFn LoadPlugin() {
  const fs::path plugin = tovra::testing::TestEnv(L"TOVRA_PLUGIN_DLL");
  const fs::path agent = tovra::testing::TestEnv(L"TOVRA_AGENT_EXE");
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const fs::path dir =
      fs::path(temp) / (L"tovra-bench-" + std::to_wstring(::GetCurrentProcessId()));
  std::error_code ec;
  fs::create_directories(dir, ec);
  for (const fs::path& from : {plugin, plugin.parent_path() / L"flutter_windows.dll", agent}) {
    fs::copy_file(from, dir / from.filename(), fs::copy_options::overwrite_existing, ec);
  }
  HMODULE module =
      ::LoadLibraryExW((dir / plugin.filename()).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return nullptr;
  return reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(
      ::GetProcAddress(module, "TovraWindowsVpnPluginCApiRegisterWithRegistrar")));
}

class Dart {
 public:
  explicit Dart(RegisterFn reg) : engine_(FlutterHeadlessEngineCreate()) {
    if (engine_) reg(FlutterHeadlessEngineGetRegistrar(engine_, "tovra_windows_vpn"));
    message_ = *PigeonCodec().EncodeMessage(EncodableValue(EncodableList{}));
    channel_ = std::string(tovra_windows_vpn::kHostChannelPrefix) + "getServiceHealth";
  }
  ~Dart() {
    if (engine_) FlutterHeadlessEngineDestroy(engine_);
  }
  bool ok() const { return engine_ != nullptr; }
  FlutterHeadlessEngineRef engine() const { return engine_; }

  // A message to a channel no plugin handles: the engine answers it empty, so
  // this is the embedding's own post-and-pump cost.
  bool Unhandled() {
    uint8_t* reply = nullptr;
    size_t size = 0;
    const bool answered = FlutterHeadlessEngineSendToPluginAndWait(
        engine_, "bench.unhandled", message_.data(), message_.size(), 10000, &reply, &size);
    if (reply) FlutterHeadlessFree(reply);
    return answered;
  }

  // One getServiceHealth; true when it answered with a value.
  bool ServiceHealth() {
    uint8_t* reply = nullptr;
    size_t size = 0;
    if (!FlutterHeadlessEngineSendToPluginAndWait(engine_, channel_.c_str(), message_.data(),
                                                  message_.size(), 90000, &reply, &size)) {
      return false;
    }
    bool value = false;
    if (reply) {
      auto decoded = PigeonCodec().DecodeMessage(reply, size);
      const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
      value = list != nullptr && list->size() == 1;
      if (value) last_reply_.assign(reply, reply + size);
      FlutterHeadlessFree(reply);
    }
    return value;
  }

  // A host call the plugin answers at once on the platform thread (a missing
  // argument): the channel dispatch with its codec work, no worker, no pipe.
  bool DispatchOnly() {
    static const tovra::common::Bytes null_arg =
        *PigeonCodec().EncodeMessage(EncodableValue(EncodableList{EncodableValue()}));
    const std::string channel =
        std::string(tovra_windows_vpn::kHostChannelPrefix) + "startWireGuard";
    uint8_t* reply = nullptr;
    size_t size = 0;
    const bool answered = FlutterHeadlessEngineSendToPluginAndWait(
        engine_, channel.c_str(), null_arg.data(), null_arg.size(), 10000, &reply, &size);
    const bool ok = answered && reply != nullptr;
    if (reply) FlutterHeadlessFree(reply);
    return ok;
  }

  const tovra::common::Bytes& message() const { return message_; }
  const tovra::common::Bytes& last_reply() const { return last_reply_; }

  // `count` calls sent at once; returns when every reply has come.
  bool ConcurrentServiceHealth(size_t count) {
    struct Pending {
      FlutterHeadlessEngineRef engine;
      size_t left;
      size_t values = 0;
    } pending{engine_, count};
    for (size_t i = 0; i < count; ++i) {
      FlutterHeadlessEngineSendToPlugin(
          engine_, channel_.c_str(), message_.data(), message_.size(),
          [](const uint8_t* data, size_t size, void* user) {
            auto* p = static_cast<Pending*>(user);
            auto decoded = data ? PigeonCodec().DecodeMessage(data, size) : nullptr;
            const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
            if (list && list->size() == 1) ++p->values;
            if (--p->left == 0) FlutterHeadlessEngineQuitLoop(p->engine);
          },
          &pending);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (pending.left > 0 && Clock::now() < deadline) FlutterHeadlessEngineRunLoop(engine_, 1000);
    return pending.left == 0 && pending.values == count;
  }

 private:
  FlutterHeadlessEngineRef engine_;
  tovra::common::Bytes message_;
  tovra::common::Bytes last_reply_;
  std::string channel_;
};

// A thread that exists already and waits on a condition variable, as a pooled
// worker does; each Kick wakes it and it wakes the platform thread.
class ExistingThread {
 public:
  explicit ExistingThread(FlutterHeadlessEngineRef engine)
      : thread_([this, engine] {
          std::unique_lock lock(mutex_);
          for (;;) {
            changed_.wait(lock, [&] { return kicks_ > 0 || stop_; });
            if (stop_) return;
            --kicks_;
            FlutterHeadlessEngineQuitLoop(engine);
          }
        }) {}
  ~ExistingThread() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  void Kick() {
    {
      std::lock_guard lock(mutex_);
      ++kicks_;
    }
    changed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int kicks_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// The four codec steps of one call (Dart encodes the request, the plugin decodes
// it, the plugin encodes the reply, Dart decodes it), averaged over `n` rounds.
double CodecPerCallMs(const tovra::common::Bytes& request, const tovra::common::Bytes& reply,
                      size_t n) {
  const auto& codec = PigeonCodec();
  auto decoded_reply = codec.DecodeMessage(reply.data(), reply.size());
  if (!decoded_reply) return -1;
  size_t sink = 0;
  const auto start = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    sink += codec.EncodeMessage(EncodableValue(EncodableList{}))->size();
    sink += codec.DecodeMessage(request.data(), request.size()) != nullptr;
    sink += codec.EncodeMessage(*decoded_reply)->size();
    sink += codec.DecodeMessage(reply.data(), reply.size()) != nullptr;
  }
  const double ms = Ms(Clock::now() - start) / static_cast<double>(n);
  return sink == 0 ? -1 : ms;
}

// ---- raw frames ----

// Times `n` request/reply exchanges on an open client pipe.
std::vector<double> TimeExchanges(HANDLE pipe, uint16_t type, size_t n, size_t* reply_bytes) {
  std::vector<double> times;
  for (uint32_t id = 1; id <= n; ++id) {
    const auto start = Clock::now();
    auto reply = tovra::common::ExchangeRequest(pipe, type, id, {}, kIoTimeoutMs);
    const auto end = Clock::now();
    if (!reply) {
      std::fprintf(stderr, "chain_bench: exchange %u failed\n", id);
      break;
    }
    if (reply_bytes) *reply_bytes = reply->payload.size();
    times.push_back(Ms(end - start));
  }
  return times;
}

// Figures that are compared are taken in alternating blocks, so both meet the
// same machine load; the first call of a block wakes processes that sat idle
// during the other block and is not counted.
constexpr size_t kBlock = 10;

template <typename Fn>
void Block(std::vector<double>& into, Fn&& once) {
  if (!once()) return;
  for (size_t i = 0; i < kBlock; ++i) {
    const auto start = Clock::now();
    if (!once()) return;
    into.push_back(Ms(Clock::now() - start));
  }
}

bool StartChild(tovra::testing::ChildProcess& child, const std::wstring& args) {
  return child.Start(SelfPath(), args);
}

double TimeTrivialProcess() {
  tovra::testing::ChildProcess child;
  const auto start = Clock::now();
  if (!StartChild(child, L"--noop")) return -1;
  child.Wait(60000);
  return Ms(Clock::now() - start);
}

int RunBenchmark(size_t iterations) {
  const uint32_t session = tovra::common::GetProcessSessionId();
  const std::wstring agent_pipe =
      *tovra::common::FormatPipeName(tovra::common::kAgentPipeRole, session);
  ::SetEnvironmentVariableW(L"ZERKA_AGENT_IDLE_SECONDS", L"300");
  tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");

  tovra::testing::ChildProcess service;
  if (!service.Start(tovra::testing::TestEnv(L"TOVRA_SERVICE_EXE"), L"--console")) {
    std::fprintf(stderr, "chain_bench: cannot start the Service (TOVRA_SERVICE_EXE)\n");
    return 1;
  }
  if (!tovra::testing::WaitForRolePipe(tovra::common::kServicePipeRole, 30000)) {
    std::fprintf(stderr, "chain_bench: the Service never listened\n");
    return 1;
  }
  RegisterFn reg = LoadPlugin();
  if (!reg) {
    std::fprintf(stderr, "chain_bench: cannot load the plugin (TOVRA_PLUGIN_DLL)\n");
    return 1;
  }

  std::printf("chain benchmark: %zu iterations per round-trip figure\n\n", iterations);

  // 4a. Cold start first, while nothing is warm: each round a fresh engine and
  // plugin, no Agent running, and the time of its first getServiceHealth.
  constexpr int kColdRounds = 5;
  std::vector<double> cold, warm_first, trivial;
  for (int round = 0; round < kColdRounds; ++round) {
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
    // A cold start finds no Agent pipe.
    if (!tovra::testing::WaitUntil([&] { return !tovra::testing::PipeExists(agent_pipe); },
                                   std::chrono::seconds(10))) {
      std::fprintf(stderr, "chain_bench: the killed Agent's pipe is still there\n");
    }
    {
      Dart dart(reg);
      const auto start = Clock::now();
      const bool ok = dart.ServiceHealth();
      const double ms = Ms(Clock::now() - start);
      if (ok) cold.push_back(ms);
    }
    {
      // A fresh plugin while the Agent already runs: the connection and handshake alone.
      Dart dart(reg);
      const auto start = Clock::now();
      if (dart.ServiceHealth()) warm_first.push_back(Ms(Clock::now() - start));
    }
    trivial.push_back(TimeTrivialProcess());
  }

  // The machine's load changes during a run, so figures that are compared are
  // taken in alternating blocks: the plugin's round trip and its parts with the
  // raw echo, and the raw Agent client (which needs the Agent's one client slot,
  // so in a phase of its own) with the raw echo again.
  //
  // First the size of the Agent's reply, for an echo of the same frame sizes.
  tovra::common::ConnectOptions options;
  options.attempts = 3;
  options.busy_wait_ms = 2000;
  const uint16_t health_type =
      tovra::common::ToWire(tovra::common::MessageType::get_service_health);
  size_t reply_bytes = 0;
  {
    auto probe = tovra::common::ConnectToServer(tovra::common::kAgentPipeRole, session, options);
    if (probe.pipe &&
        tovra::common::ExchangeRequest(probe.pipe.get(),
                                       tovra::common::ToWire(tovra::common::MessageType::hello), 1,
                                       {}, kIoTimeoutMs)) {
      TimeExchanges(probe.pipe.get(), health_type, 1, &reply_bytes);
    }
  }
  if (reply_bytes == 0) {
    std::fprintf(stderr, "chain_bench: raw client could not reach the Agent\n");
    return 1;
  }
  ::Sleep(300);  // the Agent serves one client at a time: let it take the next

  // The raw two-hop echo: a 20-byte request, a reply of the Agent's size.
  const std::wstring stem = L"\\\\.\\pipe\\tovra-bench-" + std::to_wstring(::GetCurrentProcessId());
  tovra::testing::ChildProcess echo, relay;
  UniqueHandle echo_pipe;
  if (StartChild(echo, L"--echo " + stem + L"-echo " + std::to_wstring(reply_bytes)) &&
      tovra::testing::WaitForPipe(stem + L"-echo", 10000) &&
      StartChild(relay, L"--relay " + stem + L"-relay " + stem + L"-echo")) {
    echo_pipe = OpenClient(stem + L"-relay");
  }
  if (!echo_pipe) {
    std::fprintf(stderr, "chain_bench: the raw two-hop echo did not start\n");
    return 1;
  }
  TimeExchanges(echo_pipe.get(), health_type, 20, nullptr);  // warm-up
  const auto echo_once = [&] {
    return tovra::common::ExchangeRequest(echo_pipe.get(), health_type, 1, {}, kIoTimeoutMs)
        .has_value();
  };

  // 1 and 6. Through the plugin, with its parts and the echo.
  std::vector<double> plugin, echo_with_plugin, engine_only, worker_wake, dispatch_only,
      existing_wake;
  double codec_ms = -1;
  {
    Dart dart(reg);
    if (!dart.ok() || !dart.ServiceHealth()) {
      std::fprintf(stderr, "chain_bench: getServiceHealth through the plugin failed\n");
      return 1;
    }
    for (int i = 0; i < 20; ++i) dart.ServiceHealth();  // warm-up
    ExistingThread existing(dart.engine());
    for (size_t done = 0; done < iterations; done += kBlock) {
      bool ok = true;
      Block(plugin, [&] { return ok = dart.ServiceHealth(); });
      if (!ok) break;
      Block(echo_with_plugin, [&] { return echo_once(); });
      Block(engine_only, [&] { return dart.Unhandled(); });
      Block(dispatch_only, [&] { return dart.DispatchOnly(); });
      Block(existing_wake, [&] {
        existing.Kick();
        return FlutterHeadlessEngineRunLoop(dart.engine(), 5000) == 1;
      });
    }
    // A new thread per wake-up, for comparison only: thread creation and teardown
    // would disturb the interleaved figures, so it runs on its own.
    for (size_t i = 0; i < iterations; ++i) {
      const auto start = Clock::now();
      std::thread([engine = dart.engine()] { FlutterHeadlessEngineQuitLoop(engine); }).detach();
      if (FlutterHeadlessEngineRunLoop(dart.engine(), 5000) == 1)
        worker_wake.push_back(Ms(Clock::now() - start));
    }
    codec_ms = CodecPerCallMs(dart.message(), dart.last_reply(), iterations * 10);
  }
  ::Sleep(300);  // the plugin's connection is gone with its engine

  // 2. A raw client straight to the Agent, after its handshake, with the echo.
  auto connection = tovra::common::ConnectToServer(tovra::common::kAgentPipeRole, session, options);
  std::vector<double> raw_agent, echo_with_agent;
  if (connection.pipe &&
      tovra::common::ExchangeRequest(connection.pipe.get(),
                                     tovra::common::ToWire(tovra::common::MessageType::hello), 1,
                                     {}, kIoTimeoutMs)) {
    TimeExchanges(connection.pipe.get(), health_type, 20, &reply_bytes);
    for (size_t done = 0; done < iterations; done += kBlock) {
      bool ok = true;
      Block(raw_agent, [&] {
        return ok = tovra::common::ExchangeRequest(connection.pipe.get(), health_type, 1, {},
                                                   kIoTimeoutMs)
                        .has_value();
      });
      if (!ok) break;
      Block(echo_with_agent, [&] { return echo_once(); });
    }
  } else {
    std::fprintf(stderr,
                 "chain_bench: raw client could not reach the Agent (status %u, win32 %u)\n",
                 static_cast<unsigned>(connection.error), connection.win32.code);
  }
  connection.pipe.reset();
  echo_pipe.reset();

  // 5. 32 host calls at once against 32 one after another.
  Dart dart(reg);
  for (int i = 0; i < 20; ++i) dart.ServiceHealth();  // connect and warm up
  constexpr int kBurstRounds = 10;
  std::vector<double> sequential, concurrent;
  for (int round = 0; round < kBurstRounds; ++round) {
    auto start = Clock::now();
    bool ok = true;
    for (size_t i = 0; i < kConcurrent && ok; ++i) ok = dart.ServiceHealth();
    if (ok) sequential.push_back(Ms(Clock::now() - start));
    start = Clock::now();
    if (dart.ConcurrentServiceHealth(kConcurrent)) concurrent.push_back(Ms(Clock::now() - start));
  }

  const Stats p = Summarise(plugin), a = Summarise(raw_agent), e = Summarise(echo_with_plugin);
  const Stats e2 = Summarise(echo_with_agent);
  const Stats c = Summarise(cold), w = Summarise(warm_first), t = Summarise(trivial);
  const Stats s = Summarise(sequential), k = Summarise(concurrent);
  const Stats eo = Summarise(engine_only), ww = Summarise(worker_wake);
  const Stats d = Summarise(dispatch_only), xw = Summarise(existing_wake);
  std::printf("round trips (request 20 bytes, reply %zu payload bytes):\n", reply_bytes);
  PrintRow("getServiceHealth through the plugin", p, plugin.size());
  PrintRow("raw two-hop named-pipe echo, with the plugin", e, echo_with_plugin.size());
  PrintRow("get_service_health by a raw client to the Agent", a, raw_agent.size());
  PrintRow("raw two-hop named-pipe echo, with the raw client", e2, echo_with_agent.size());
  std::printf("\nparts of the plugin's own cost:\n");
  PrintRow("embedding round trip, no plugin handler", eo, engine_only.size());
  PrintRow("host call answered at once (channel dispatch)", d, dispatch_only.size());
  PrintRow("existing thread woken, waking the platform thread", xw, existing_wake.size());
  PrintRow("new worker thread waking the platform thread", ww, worker_wake.size());
  std::printf("  %-46s mean   %8.4f ms\n", "codec work of one call (4 steps)", codec_ms);
  std::printf("\nstart-up:\n");
  PrintRow("Agent cold start (first call, no Agent)", c, cold.size());
  PrintRow("first call of a fresh plugin, Agent running", w, warm_first.size());
  PrintRow("start and end a trivial process", t, trivial.size());
  std::printf("\n%zu host calls (whole batch):\n", kConcurrent);
  PrintRow("sequential", s, sequential.size());
  PrintRow("concurrent", k, concurrent.size());

  const auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
  std::printf("\nratios (medians):\n");
  std::printf("  plugin / raw two-hop echo          %6.2f\n", ratio(p.median, e.median));
  std::printf("  raw Agent client / raw echo        %6.2f\n", ratio(a.median, e2.median));
  std::printf("  plugin / raw echo, paired blocks   %6.2f\n",
              PairedRatio(plugin, echo_with_plugin, kBlock));
  std::printf("  raw Agent / raw echo, paired       %6.2f\n",
              PairedRatio(raw_agent, echo_with_agent, kBlock));
  std::printf("  Agent cold start / trivial process %6.2f\n", ratio(c.median, t.median));
  std::printf("  concurrent / sequential            %6.2f\n", ratio(k.median, s.median));
  std::printf("  p99 plugin / p99 raw echo          %6.2f\n", ratio(p.p99, e.p99));
  // What one plugin call is made of, as shares of the plugin's round trip: the
  // pipe exchange (the raw Agent client, carried over from its own phase through
  // the echo measured beside each, paired by blocks), the channel dispatch
  // (includes the embedding's round trip and the codec), the hand-off to a worker
  // and back, and what none of these explains. Once with medians (what a loaded
  // machine gives) and once with minimums (the cost itself, without waiting for a
  // core).
  const double exchange = PairedRatio(raw_agent, echo_with_agent, kBlock) * e.median;
  const double exchange_min = ratio(a.min, e2.min) * e.min;
  const auto share = [&](const char* what, double median_part, double min_part) {
    std::printf("  %-34s %6.2f   %6.2f\n", what, ratio(median_part, p.median),
                ratio(min_part, p.min));
  };
  std::printf("\nshare of the plugin's round trip:   median  minimum\n");
  share("pipe exchange (raw Agent client)", exchange, exchange_min);
  share("channel dispatch, answered at once", d.median, d.min);
  share("  of which embedding round trip", eo.median, eo.min);
  share("  of which codec work", codec_ms, codec_ms);
  share("hand-off to a worker and back", xw.median, xw.min);
  share("rest", p.median - exchange - d.median - xw.median, p.min - exchange_min - d.min - xw.min);
  share("for comparison: a new thread per call", ww.median, ww.min);

  tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"--noop") return 0;
  if (mode == L"--echo" && argc == 4)
    return RunEcho(argv[2], static_cast<uint32_t>(std::wcstoul(argv[3], nullptr, 10)));
  if (mode == L"--relay" && argc == 4) return RunRelay(argv[2], argv[3]);
  size_t iterations = 300;
  if (argc > 1) {
    iterations = std::wcstoul(argv[1], nullptr, 10);
    if (iterations == 0 || iterations > 100000) {
      std::fprintf(stderr, "usage: chain_bench [ITERATIONS 1..100000]\n");
      return 2;
    }
  }
  return RunBenchmark(iterations);
}
