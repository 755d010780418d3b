// Hostile local clients against the real ZerkaVPNService.exe (console mode) and
// ZerkaVPNAgent.exe on their session pipes: frames with every header field at its
// limits, lengths that lie, truncations, random bytes, mutated frames, the largest
// payload of every type, slow writers, a silent client and a storm of connections.
// Each case runs on a fresh connection; the replies it gets are checked against
// what the frame rules owe it, and then a fresh well-behaved client must be served
// by the same server process. Payloads carry a marker that must never reach a log.
//
// The cases come from a seed printed at the start; ZERKA_HOSTILE_SEED replays it.
// ZERKA_HOSTILE_ROUNDS sets the random cases per server (the long form).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "common/base/byte_order.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"
#include "common/security/caller_identity_win.h"
#include "common/text/text.h"
#include "tests/hostile/hostile_cases.h"
#include "tests/support/child_process_win.h"
#include "tests/support/pipe_wait_win.h"
#include "tests/support/secret_scan_win.h"

namespace tovra::testing::hostile {
namespace {

using common::Frame;
using common::PipeIoError;
using common::UniqueHandle;
using Clock = std::chrono::steady_clock;

// Both servers read and write with this time-out; a client waits it out plus a grace.
constexpr uint32_t kServerIoMs = 15000;
constexpr uint32_t kWaitMs = kServerIoMs + 5000;
constexpr uint32_t kDefaultRounds = 40;
constexpr uint32_t kStormConnections = 1000;

uint64_t MillisecondsSince(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string EnvText(const char* name) {
  char buffer[64] = {};
  const DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

// Opens the pipe, waiting out busy spells and the gaps between two instances.
UniqueHandle ConnectWithin(const std::wstring& name, uint32_t timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) return UniqueHandle(h);
    const DWORD error = ::GetLastError();
    if (Clock::now() >= deadline) return {};
    if (error == ERROR_PIPE_BUSY) {
      ::WaitNamedPipeW(name.c_str(), 200);
    } else {
      ::Sleep(1);  // the server is making its next instance; polled up to the deadline
    }
  }
}

struct Server {
  const char* label = "";
  ServerRole role = ServerRole::service;
  std::wstring pipe_name;
  ChildProcess process;
  uint32_t generation = 0;  // from the first probe; a change means a new process
  size_t cases = 0;
  size_t probes = 0;
  uint64_t longest_case_ms = 0;
  std::string longest_case;
};

// What is wrong with `reply` as the answer owed by `expected`; empty when nothing.
std::string CheckReply(const Server& server, const Frame& reply, const ExpectedReply& expected) {
  const common::FrameHeader& h = reply.header;
  if (h.version != common::kFrameVersion || h.reserved != 0) return "reply version/reserved";
  if (h.type != expected.type) {
    return "reply type " + std::to_string(h.type) + ", expected " + std::to_string(expected.type);
  }
  if (h.request_id != expected.request_id) {
    return "reply request_id " + std::to_string(h.request_id) + ", expected " +
           std::to_string(expected.request_id);
  }
  if (server.generation != 0 && h.generation != server.generation)
    return "reply generation changed";
  if (reply.payload.size() < 2) return "reply without a status";
  const uint16_t status = common::LoadLe16(reply.payload.data());
  if (status > 7) return "status " + std::to_string(status) + " is not in the catalogue";
  if (expected.status && status != *expected.status) {
    return "status " + std::to_string(status) + ", expected " + std::to_string(*expected.status);
  }
  if (status != 0 && reply.payload.size() != 2) return "a failure status with a body";
  if (status == 0 && expected.type == 1) {
    common::PayloadReader r(reply.payload);
    uint16_t ignored = 0;
    common::HelloInfo info;
    if (!r.ReadU16(ignored) || !r.ReadHelloInfo(info) || info.protocol != common::kFrameVersion) {
      return "hello reply unreadable";
    }
  }
  if (status == 0 && expected.type == 2 && reply.payload.size() != 2)
    return "ping reply with a body";
  return {};
}

// The writing half of a case, on its own thread so replies are read meanwhile: a
// server that answers while the client still writes must not stall either side.
bool WriteCase(HANDLE pipe, const HostileCase& c) {
  Bytes bytes = c.bytes;
  if (bytes.empty()) return true;
  if (c.byte_pause_ms == 0) {
    return common::PipeTransfer(pipe, bytes.data(), static_cast<uint32_t>(bytes.size()), kWaitMs,
                                common::TransferDirection::Write);
  }
  for (uint8_t& b : bytes) {
    if (!common::PipeTransfer(pipe, &b, 1, kWaitMs, common::TransferDirection::Write)) return false;
    ::Sleep(c.byte_pause_ms);  // the slow writer's pause is the behaviour under test
  }
  return true;
}

// Runs one case on a fresh connection; what went wrong, or empty.
std::string RunCase(Server& server, const HostileCase& c) {
  const Prediction prediction = PredictSession(server.role, c.bytes);
  const auto start = Clock::now();
  UniqueHandle pipe = ConnectWithin(server.pipe_name, kWaitMs);
  if (!pipe) return "could not connect";
  std::atomic<bool> wrote{false};
  std::thread writer([&] { wrote = WriteCase(pipe.get(), c); });
  // A slow writer's next request takes its whole byte-by-byte time to arrive.
  const uint32_t reply_wait_ms = kWaitMs + static_cast<uint32_t>(c.bytes.size()) * c.byte_pause_ms;
  std::string failure;
  for (size_t i = 0; i < prediction.replies.size() && failure.empty(); ++i) {
    common::ReadFrameResult read = common::ReadFrameDetailed(pipe.get(), reply_wait_ms);
    if (!read.frame) {
      failure = "reply " + std::to_string(i) + " of " + std::to_string(prediction.replies.size()) +
                (read.error == PipeIoError::timed_out ? " never came" : " lost: connection broken");
    } else {
      failure = CheckReply(server, *read.frame, prediction.replies[i]);
    }
  }
  if (failure.empty() && prediction.end == SessionEnd::closed) {
    common::ReadFrameResult read = common::ReadFrameDetailed(pipe.get(), kWaitMs);
    if (read.frame) failure = "an extra reply where the connection should close";
    if (read.error == PipeIoError::timed_out) failure = "the connection stayed open";
  }
  writer.join();
  if (failure.empty() && prediction.end != SessionEnd::closed && !wrote) {
    failure = "the server stopped reading";
  }
  if (failure.empty() && prediction.end == SessionEnd::idle) {
    // The connection still serves, and no stray reply is queued before this one.
    const uint32_t id = 0x5A5A0000u + static_cast<uint32_t>(server.cases & 0xFFFF);
    std::optional<Frame> ping = common::ExchangeRequest(pipe.get(), 2, id, {}, kWaitMs);
    failure = ping ? CheckReply(server, *ping, {2, id, 0}) : "no ping reply after the case";
  }
  const uint64_t took = MillisecondsSince(start);
  if (took > server.longest_case_ms) {
    server.longest_case_ms = took;
    server.longest_case = c.name;
  }
  ++server.cases;
  return failure;
}

// A well-behaved client on a fresh connection: hello, answered by the same process.
std::string Probe(Server& server, uint32_t request_id) {
  ++server.probes;
  if (!server.process.running()) return "the server process has exited";
  UniqueHandle pipe = ConnectWithin(server.pipe_name, kWaitMs);
  if (!pipe) return "probe could not connect within " + std::to_string(kWaitMs) + " ms";
  std::optional<Frame> hello = common::ExchangeRequest(pipe.get(), 1, request_id, {}, kWaitMs);
  if (!hello) return "probe hello got no reply";
  if (server.generation == 0) server.generation = hello->header.generation;
  return CheckReply(server, *hello, {1, request_id, 0});
}

class HostileClients : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string seed_text = EnvText("ZERKA_HOSTILE_SEED");
    std::optional<uint64_t> seed = ParseSeed(seed_text);
    if (!seed) seed = (uint64_t{std::random_device{}()} << 32) ^ ::GetTickCount64();
    seed_ = *seed;
    rounds_ =
        static_cast<uint32_t>(ParseSeed(EnvText("ZERKA_HOSTILE_ROUNDS")).value_or(kDefaultRounds));
    Rng rng(seed_);
    marker_ = MakeMarker(rng);
    std::printf(
        "hostile seed: 0x%016llX (replay with ZERKA_HOSTILE_SEED=0x%016llX), %u random "
        "cases per server\n",
        static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(seed_),
        static_cast<unsigned>(rounds_));
    std::fflush(stdout);
    logs_before_ = SnapshotLogs();
    service_.label = "service";
    service_.role = ServerRole::service;
    service_.pipe_name =
        common::FormatPipeName(common::kServicePipeRole, common::GetProcessSessionId())
            .value_or(L"");
    agent_.label = "agent";
    agent_.role = ServerRole::agent;
    agent_.pipe_name =
        common::FormatPipeName(common::kAgentPipeRole, common::GetProcessSessionId()).value_or(L"");
  }
  static void TearDownTestSuite() {
    for (Server* s : {&service_, &agent_}) {
      std::printf("%s: %zu cases, %zu probes, longest case %llu ms (%s)\n", s->label, s->cases,
                  s->probes, static_cast<unsigned long long>(s->longest_case_ms),
                  s->longest_case.c_str());
      s->process.Kill();
    }
  }

  void RecordSeed() { RecordProperty("hostile_seed", std::to_string(seed_)); }

  static void EnsureService() {
    if (service_.process.running()) return;
    const std::wstring exe = TestEnv(L"TOVRA_SERVICE_EXE");
    ASSERT_FALSE(exe.empty()) << "TOVRA_SERVICE_EXE not set";
    ASSERT_TRUE(service_.process.Start(exe, L"--console"));
    ASSERT_TRUE(WaitForPipe(service_.pipe_name, 30000)) << "the Service never listened";
    service_.generation = 0;
    ASSERT_EQ(Probe(service_, 1), "");
  }
  // Leaves the machine's activity verdict as a quiet Agent would, then ends the
  // Service: the hostile reports must not outlive the suite.
  static void StopService() {
    if (!service_.process.running()) return;
    UniqueHandle pipe = ConnectWithin(service_.pipe_name, kWaitMs);
    const Bytes quiet(9, 0);
    std::optional<Frame> reply =
        pipe ? common::ExchangeRequest(pipe.get(), 14, 1, quiet, kWaitMs) : std::nullopt;
    EXPECT_TRUE(reply && reply->payload == common::StatusOnlyPayload(common::Status::ok));
    pipe.reset();
    service_.process.Kill();
    ASSERT_TRUE(WaitUntil([] { return !PipeExists(service_.pipe_name); },
                          std::chrono::milliseconds(kWaitMs)));
  }
  static void EnsureAgent() {
    if (agent_.process.running()) return;
    const std::wstring exe = TestEnv(L"TOVRA_AGENT_EXE");
    ASSERT_FALSE(exe.empty()) << "TOVRA_AGENT_EXE not set";
    ASSERT_TRUE(agent_.process.Start(exe, L"", {L"ZERKA_AGENT_IDLE_SECONDS=900"}));
    ASSERT_TRUE(WaitForPipe(agent_.pipe_name, 30000)) << "the Agent never listened";
    agent_.generation = 0;
    ASSERT_EQ(Probe(agent_, 1), "");
  }

  // Every case, each followed by a probe; stops at the first failure.
  void RunAll(Server& server, const std::vector<HostileCase>& cases) {
    for (size_t i = 0; i < cases.size(); ++i) {
      const std::string failure = RunCase(server, cases[i]);
      ASSERT_EQ(failure, "") << server.label << " case " << i << " '" << cases[i].name
                             << "', seed 0x" << std::hex << seed_;
      const std::string probe = Probe(server, 0x10000u + static_cast<uint32_t>(i));
      ASSERT_EQ(probe, "") << server.label << " after case " << i << " '" << cases[i].name
                           << "', seed 0x" << std::hex << seed_;
    }
  }

  void FramesAgainst(Server& server, uint64_t stream) {
    RecordSeed();
    Rng rng(seed_ ^ stream);
    std::vector<HostileCase> cases = BoundaryCases(rng, marker_);
    for (HostileCase& c : MaximumPayloadCases(rng, marker_)) cases.push_back(std::move(c));
    for (uint32_t i = 0; i < rounds_; ++i) cases.push_back(RandomCase(rng, marker_));
    // A slow writer: a hello and a ping, one byte at a time.
    HostileCase slow{"slow writer", RequestFrame(1, 501)};
    const Bytes ping = RequestFrame(2, 502);
    slow.bytes.insert(slow.bytes.end(), ping.begin(), ping.end());
    slow.byte_pause_ms = rounds_ > kDefaultRounds ? 1000 : 40;
    cases.push_back(std::move(slow));
    const auto start = Clock::now();
    RunAll(server, cases);
    std::printf("%s: %zu frame cases in %llu ms\n", server.label, cases.size(),
                static_cast<unsigned long long>(MillisecondsSince(start)));
  }

  static inline uint64_t seed_ = 0;
  static inline uint32_t rounds_ = kDefaultRounds;
  static inline std::string marker_;
  static inline LogSnapshot logs_before_;
  static inline Server service_;
  static inline Server agent_;
};

TEST_F(HostileClients, ServiceAnswersOrDropsEveryHostileFrameAndServesTheNextClient) {
  ASSERT_NO_FATAL_FAILURE(EnsureService());
  FramesAgainst(service_, 0x5E47);
}

// Both servers at once: neither relays here, so their time-outs run side by side.
TEST_F(HostileClients, SilentClientsAndConnectionStormsLeaveBothServersServing) {
  ASSERT_NO_FATAL_FAILURE(EnsureService());
  ASSERT_NO_FATAL_FAILURE(EnsureAgent());
  std::mutex mutex;
  std::vector<std::string> failures;
  auto fail = [&](const Server& s, const std::string& what) {
    std::lock_guard lock(mutex);
    failures.push_back(std::string(s.label) + ": " + what);
  };
  // A client that connects and never writes, and (long form) one that falls
  // silent inside a header.
  auto silent = [&](Server& s, size_t header_bytes) {
    UniqueHandle quiet = ConnectWithin(s.pipe_name, kWaitMs);
    if (!quiet) return fail(s, "the silent client could not connect");
    Bytes partial = RequestFrame(1, 600);
    partial.resize(header_bytes);
    if (header_bytes > 0 &&
        !common::PipeTransfer(quiet.get(), partial.data(), static_cast<uint32_t>(partial.size()),
                              kWaitMs, common::TransferDirection::Write)) {
      return fail(s, "the silent client could not write");
    }
    const auto start = Clock::now();
    if (std::string probe = Probe(s, 700); !probe.empty())
      return fail(s, "after silence: " + probe);
    if (MillisecondsSince(start) > kWaitMs) fail(s, "the silent client held the server too long");
    common::ReadFrameResult read = common::ReadFrameDetailed(quiet.get(), 1000);
    if (read.frame || read.error != PipeIoError::broken)
      fail(s, "the silent client was not dropped");
  };
  auto storm = [&](Server& s) {
    for (uint32_t i = 0; i < kStormConnections; ++i) {
      UniqueHandle pipe = ConnectWithin(s.pipe_name, kWaitMs);
      if (!pipe) return fail(s, "storm connection " + std::to_string(i) + " failed");
      pipe.reset();
      if ((i + 1) % 250 == 0) {
        if (std::string probe = Probe(s, 800 + i); !probe.empty()) {
          return fail(s, "after " + std::to_string(i + 1) + " connections: " + probe);
        }
      }
    }
  };
  const auto start = Clock::now();
  {
    std::thread a([&] {
      silent(service_, 0);
      if (rounds_ > kDefaultRounds) silent(service_, 11);
    });
    std::thread b([&] {
      silent(agent_, 0);
      if (rounds_ > kDefaultRounds) silent(agent_, 11);
    });
    a.join();
    b.join();
  }
  const uint64_t silent_ms = MillisecondsSince(start);
  {
    std::thread a([&] { storm(service_); });
    std::thread b([&] { storm(agent_); });
    a.join();
    b.join();
  }
  std::printf("silent clients: %llu ms; %u connections to each server: %llu ms\n",
              static_cast<unsigned long long>(silent_ms), kStormConnections,
              static_cast<unsigned long long>(MillisecondsSince(start) - silent_ms));
  for (const std::string& f : failures) ADD_FAILURE() << f;
  service_.cases += 2;
  agent_.cases += 2;
}

TEST_F(HostileClients, AgentAnswersOrDropsEveryHostileFrameAndServesTheNextClient) {
  // Without a Service the Agent's relays fail at once, and their status is fixed.
  ASSERT_NO_FATAL_FAILURE(StopService());
  ASSERT_NO_FATAL_FAILURE(EnsureAgent());
  FramesAgainst(agent_, 0xA6E7);
}

TEST_F(HostileClients, NoLogHoldsPayloadBytes) {
  RecordSeed();
  ASSERT_FALSE(marker_.empty());
  const std::vector<SecretHit> hits =
      FindSecretsInLogs({{"payload marker", marker_}}, &logs_before_);
  EXPECT_TRUE(hits.empty()) << DescribeSecretHits(hits) << "seed 0x" << std::hex << seed_;
  // The scan reads the logs the servers wrote during the suite.
  EXPECT_GT(ReadFileFrom(ZerkaLogPath(L"service"), logs_before_.sizes[L"service.log"]).size(), 0u);
}

}  // namespace
}  // namespace tovra::testing::hostile
