// The real ZerkaVPNService.exe under test, driven over its pipe like the Agent
// drives it: console mode (byte-exact replies, protocol rules, client handling),
// the command line without the SCM, and the SCM install/start/stop/remove path.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "common/base/byte_order.h"
#include "common/security/caller_identity_win.h"
#include "common/win/handles_win.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"
#include "service/service_rules.h"
#include "tests/support/child_process_win.h"
#include "tests/support/program_run_win.h"
#include "tests/support/stderr_capture_win.h"

namespace tovra::service {
namespace {

using common::Bytes;
using common::ConnectOptions;
using common::ConnectResult;
using common::Frame;
using common::PayloadReader;
using common::Status;
using common::UniqueHandle;
using tovra::testing::ChildProcess;
using tovra::testing::CountOccurrences;

constexpr uint32_t kIoMs = 5000;

std::wstring ServiceExe() {
  return tovra::testing::WinePathFromEnvironment(L"ZERKA_TEST_SERVICE_EXE");
}

ConnectResult TryConnect(uint32_t attempts, uint32_t busy_wait_ms) {
  ConnectOptions options;
  options.attempts = attempts;
  options.busy_wait_ms = busy_wait_ms;
  return common::ConnectToServer(common::kServicePipeRole, common::GetProcessSessionId(), options);
}

// Connects once the Service has created its pipe.
UniqueHandle Connect() {
  for (int i = 0; i < 200; ++i) {
    ConnectResult r = TryConnect(1, 0);
    if (r.error == Status::ok) return std::move(r.pipe);
    ::Sleep(100);  // polls for the pipe, 20 s at most
  }
  ADD_FAILURE() << "the Service pipe never appeared";
  return {};
}

bool WriteRaw(HANDLE pipe, Bytes bytes) {
  return common::PipeTransfer(pipe, bytes.data(), static_cast<uint32_t>(bytes.size()), kIoMs,
                              common::TransferDirection::Write);
}

std::optional<Bytes> ReadRaw(HANDLE pipe, uint32_t count) {
  Bytes bytes(count);
  if (!common::PipeTransfer(pipe, bytes.data(), count, kIoMs, common::TransferDirection::Read)) {
    return std::nullopt;
  }
  return bytes;
}

Bytes Request(uint16_t type, uint32_t request_id, const Bytes& payload = {}) {
  return *common::EncodeFrame(type, request_id, 0, payload);
}

// One reply as raw header bytes plus payload, checked for the echoed fields.
struct RawReply {
  Bytes header;
  Bytes payload;
  uint32_t generation = 0;
};

std::optional<RawReply> ReadReply(HANDLE pipe, uint16_t type, uint32_t request_id) {
  std::optional<Bytes> header = ReadRaw(pipe, 20);
  if (!header) return std::nullopt;
  RawReply r;
  r.header = *header;
  const uint8_t* h = header->data();
  EXPECT_EQ(h[4], 6);
  EXPECT_EQ(h[5], 0);
  EXPECT_EQ(common::LoadLe16(h + 6), type);
  EXPECT_EQ(common::LoadLe32(h + 8), request_id);
  r.generation = common::LoadLe32(h + 12);
  const uint32_t payload_length = common::LoadLe32(h + 16);
  EXPECT_EQ(common::LoadLe32(h), payload_length + 16);
  if (payload_length > 0) {
    std::optional<Bytes> payload = ReadRaw(pipe, payload_length);
    if (!payload) return std::nullopt;
    r.payload = *payload;
  }
  return r;
}

uint16_t StatusOf(const Bytes& payload) {
  return payload.size() >= 2 ? common::LoadLe16(payload.data()) : 0xFFFF;
}

class ServiceConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring exe = ServiceExe();
    ASSERT_FALSE(exe.empty()) << "ZERKA_TEST_SERVICE_EXE is not set";
    // Upper case on purpose: the switch is matched without regard to case.
    ASSERT_TRUE(service_.Start(exe, L"--CONSOLE", {}, tovra::testing::ChildOutput::capture));
  }

  std::string Log() const { return service_.Output(); }

  Bytes Hello(HANDLE pipe, uint32_t request_id, std::string* generation_id,
              uint32_t* generation = nullptr) {
    EXPECT_TRUE(WriteRaw(pipe, Request(1, request_id)));
    std::optional<RawReply> reply = ReadReply(pipe, 1, request_id);
    if (!reply) {
      ADD_FAILURE() << "no hello reply";
      return {};
    }
    PayloadReader r(reply->payload);
    uint16_t status = 0xFFFF;
    common::HelloInfo info;
    EXPECT_TRUE(r.ReadU16(status) && r.ReadHelloInfo(info) && r.ReadString(*generation_id));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(info, common::MakeServiceHelloInfo());
    EXPECT_EQ(reply->payload.size(), 84u + generation_id->size());
    if (generation) *generation = reply->generation;
    return reply->header;
  }

  ChildProcess service_;
};

// Cases that wait out the Service's 15 s time-outs; a ctest entry of their own.
class ServiceConsoleSlow : public ServiceConsole {};

TEST_F(ServiceConsole, HelloPingAndHealthRepliesAreByteExact) {
  UniqueHandle pipe = Connect();
  ASSERT_TRUE(pipe);
  std::string generation_id;
  uint32_t generation = 0;
  Hello(pipe.get(), 1, &generation_id, &generation);
  EXPECT_NE(generation, 0u);
  // "<pid>-0x" and eight upper-case hex digits.
  const std::string pid_prefix = std::to_string(service_.pid()) + "-0x";
  ASSERT_EQ(generation_id.size(), pid_prefix.size() + 8) << generation_id;
  EXPECT_EQ(generation_id.substr(0, pid_prefix.size()), pid_prefix);
  EXPECT_EQ(generation_id.find_first_not_of("0123456789ABCDEF", pid_prefix.size()),
            std::string::npos);

  // ping ignores its payload; the reply is the 22 bytes of a status-only frame.
  ASSERT_TRUE(WriteRaw(pipe.get(), Request(2, 0xFFFFFFFF, Bytes{9, 9, 9, 9, 9})));
  std::optional<Bytes> ping = ReadRaw(pipe.get(), 22);
  ASSERT_TRUE(ping);
  Bytes expected_ping = {0x12, 0, 0, 0, 6, 0, 2, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  common::AppendLe32(expected_ping, generation);
  for (int b : {2, 0, 0, 0, 0, 0}) expected_ping.push_back(static_cast<uint8_t>(b));
  EXPECT_EQ(*ping, expected_ping);

  uint64_t first_uptime = 0;
  for (int round = 0; round < 2; ++round) {
    if (round == 1) {
      ::Sleep(1100);  // the uptime, counted in whole seconds, must move on
      pipe.reset();
      pipe = Connect();  // the same process across connections
      ASSERT_TRUE(pipe);
    }
    ASSERT_TRUE(WriteRaw(pipe.get(), Request(3, 40 + round)));
    std::optional<RawReply> health = ReadReply(pipe.get(), 3, 40 + round);
    ASSERT_TRUE(health);
    EXPECT_EQ(health->generation, generation);
    EXPECT_EQ(health->payload.size(), 2u + 1u + 80u + 2u + generation_id.size() + 8u);
    PayloadReader r(health->payload);
    uint16_t status = 0xFFFF;
    common::ServiceHealthRecord record;
    ASSERT_TRUE(r.ReadU16(status) && r.ReadServiceHealth(record));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(record.state, 2);
    EXPECT_EQ(record.hello_info, common::MakeServiceHelloInfo());
    EXPECT_EQ(record.generation_id, generation_id);
    if (round == 0) {
      first_uptime = record.uptime_seconds;
      EXPECT_LT(first_uptime, 60u);
    } else {
      EXPECT_GE(record.uptime_seconds, first_uptime);
    }
  }
  pipe.reset();
  const std::string log = Log();
  EXPECT_NE(log.find("INFO --console dev run (not started by SCM; keys off this process's own "
                     "user/session)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("INFO service starting generation=" + generation_id + " gen_num="),
            std::string::npos);
  EXPECT_EQ(CountOccurrences(log, "INFO caller_accepted pid=" +
                                      std::to_string(::GetCurrentProcessId()) + " session="),
            2u);
}

TEST_F(ServiceConsole, VersionFiveGetsOneMismatchReplyAndTheConnectionCloses) {
  UniqueHandle pipe = Connect();
  ASSERT_TRUE(pipe);
  Bytes frame = Request(1, 9);
  frame[4] = 5;
  ASSERT_TRUE(WriteRaw(pipe.get(), frame));
  std::optional<RawReply> reply = ReadReply(pipe.get(), 1, 9);
  ASSERT_TRUE(reply);
  EXPECT_NE(reply->generation, 0u);
  EXPECT_EQ(reply->payload, (Bytes{3, 0}));
  // Nothing more is served on this connection.
  WriteRaw(pipe.get(), Request(2, 10));
  EXPECT_FALSE(common::ReadFrame(pipe.get(), kIoMs));
  pipe.reset();

  UniqueHandle next = Connect();
  std::string generation_id;
  Hello(next.get(), 1, &generation_id);
  EXPECT_EQ(CountOccurrences(Log(), "WARN client protocol mismatch -> fail closed"), 1u);
}

TEST_F(ServiceConsoleSlow, ClientThatNeverReadsItsRepliesCannotHoldTheServiceForever) {
  UniqueHandle greedy = Connect();
  ASSERT_TRUE(greedy);
  // Requests without reading any reply, until the replies fill the pipe's buffer
  // and the Service's writes time out.
  Bytes many;
  for (uint32_t id = 1; id <= 2000; ++id) {
    const Bytes one = Request(3, id);
    many.insert(many.end(), one.begin(), one.end());
  }
  WriteRaw(greedy.get(), many);
  ConnectResult next = TryConnect(240, 500);  // about 30 s: a write time-out, then the flush
  ASSERT_EQ(next.error, Status::ok);
  std::string generation_id;
  Hello(next.pipe.get(), 1, &generation_id);
}

TEST_F(ServiceConsole, UnknownAndUnservedTypesGetUnsupportedAndTheConnectionStays) {
  UniqueHandle pipe = Connect();
  ASSERT_TRUE(pipe);
  uint32_t id = 100;
  for (uint16_t type : std::initializer_list<uint16_t>{4, 0, 15, 200, 0xFFFF, 8}) {
    ASSERT_TRUE(WriteRaw(pipe.get(), Request(type, ++id, Bytes{1, 2, 3})));
    std::optional<RawReply> reply = ReadReply(pipe.get(), type, id);
    ASSERT_TRUE(reply) << type;
    EXPECT_EQ(reply->payload, (Bytes{2, 0})) << type;
  }
  // Served types with a payload they cannot read: bad_request, and the connection stays.
  for (uint16_t type : std::initializer_list<uint16_t>{5, 12, 13, 14}) {
    ASSERT_TRUE(WriteRaw(pipe.get(), Request(type, ++id, Bytes{1, 2, 3})));
    std::optional<RawReply> unreadable = ReadReply(pipe.get(), type, id);
    ASSERT_TRUE(unreadable) << type;
    EXPECT_EQ(unreadable->payload, (Bytes{1, 0})) << type;
  }
  ASSERT_TRUE(WriteRaw(pipe.get(), Request(2, ++id)));
  std::optional<RawReply> ping = ReadReply(pipe.get(), 2, id);
  ASSERT_TRUE(ping);
  EXPECT_EQ(StatusOf(ping->payload), 0);
}

TEST_F(ServiceConsole, ClientsThatCloseMidFrameDoNotDisturbTheNext) {
  {
    UniqueHandle pipe = Connect();
    Bytes partial_header = Request(1, 1);
    partial_header.resize(10);
    ASSERT_TRUE(WriteRaw(pipe.get(), partial_header));
  }
  {
    UniqueHandle pipe = Connect();
    Bytes partial_payload = Request(5, 2, Bytes(100, 0x41));
    partial_payload.resize(20 + 50);
    ASSERT_TRUE(WriteRaw(pipe.get(), partial_payload));
  }
  {
    UniqueHandle pipe = Connect();
    Bytes malformed = Request(1, 3);
    malformed[0] = 5;  // frame_length below the minimum: the header does not decode
    ASSERT_TRUE(WriteRaw(pipe.get(), malformed));
    EXPECT_FALSE(common::ReadFrame(pipe.get(), kIoMs));
  }
  UniqueHandle pipe = Connect();
  std::string generation_id;
  Hello(pipe.get(), 4, &generation_id);
  EXPECT_FALSE(generation_id.empty());
  pipe.reset();
  const std::string log = Log();
  EXPECT_EQ(CountOccurrences(log, "caller_accepted"), 1u) << log;
  EXPECT_EQ(CountOccurrences(log, "WARN"), 0u) << log;
}

TEST_F(ServiceConsole, SecondClientWaitsWhileTheFirstIsServed) {
  UniqueHandle first = Connect();
  std::string generation_id;
  Hello(first.get(), 1, &generation_id);
  ConnectResult refused = TryConnect(1, 0);
  EXPECT_EQ(refused.error, Status::busy);

  std::thread release([&] {
    ::Sleep(1500);  // the second client must be kept waiting: the time is what is tested
    first.reset();
  });
  ConnectResult second = TryConnect(40, 500);
  release.join();
  ASSERT_EQ(second.error, Status::ok);
  std::string again;
  Hello(second.pipe.get(), 2, &again);
  EXPECT_EQ(again, generation_id);
}

TEST_F(ServiceConsoleSlow, SilentClientIsDroppedAfterFifteenSecondsWithoutALogLine) {
  UniqueHandle silent = Connect();
  ASSERT_TRUE(silent);
  const auto start = std::chrono::steady_clock::now();
  ConnectResult next = TryConnect(80, 500);  // waits out the silent client
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(next.error, Status::ok);
  EXPECT_GE(waited, std::chrono::seconds(10));  // only a lower bound: never flaky
  std::string generation_id;
  Hello(next.pipe.get(), 1, &generation_id);
  EXPECT_FALSE(common::ReadFrame(silent.get(), 1000));
  next.pipe.reset();
  // What the loop logged while serving (start-up may log about this machine's
  // missing WireGuard and OpenVPN installations).
  const std::string whole = Log();
  const size_t loop = whole.find("service starting");
  ASSERT_NE(loop, std::string::npos) << whole;
  const std::string log = whole.substr(loop);
  EXPECT_EQ(CountOccurrences(log, "caller_accepted"), 1u) << log;
  EXPECT_EQ(CountOccurrences(log, "WARN"), 0u) << log;
  EXPECT_EQ(CountOccurrences(log, "ERR "), 0u) << log;
}

TEST(ServiceCommandLine, WithoutArgumentsPrintsTheNotStartedMessageAndExitsOne) {
  const std::wstring exe = ServiceExe();
  ASSERT_FALSE(exe.empty());
  ChildProcess child;
  ASSERT_TRUE(child.Start(exe, L"", {}, tovra::testing::ChildOutput::capture));
  const std::optional<uint32_t> code = child.Wait(120000);
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 1u);
  std::string text = child.Output();
  std::erase(text, '\r');
  EXPECT_EQ(
      text,
      "ZerkaVPNService: not started by the SCM.\n"
      "  Install + start it with tools\\windows\\dev\\install_zerkavpn_vpn_service (elevated),\n"
      "  or run 'ZerkaVPNService.exe --console' for a foreground dev instance.\n");
}

// ---- the Service Control Manager path, through the development scripts ----

DWORD RunScript(const std::wstring& script, const std::wstring& argument = L"") {
  return tovra::testing::RunDevScript(script, argument);
}

std::string ReadServiceLog() {
  common::UniqueCoTaskString folder;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, folder.put()))) return {};
  const std::wstring path = std::wstring(folder.get()) + L"\\Zerka\\vpn\\logs\\service.log";
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  std::string text;
  char buf[4096];
  DWORD n = 0;
  while (file && ::ReadFile(file.get(), buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
  return text;
}

TEST(ServiceScm, InstalledStartedServesStopsCleanlyAndIsRemoved) {
  const std::wstring exe = ServiceExe();
  ASSERT_FALSE(exe.empty());
  ASSERT_EQ(RunScript(L"uninstall_zerkavpn_vpn_service.cmd"), 0u);  // a leftover of a failed run
  ASSERT_EQ(RunScript(L"install_zerkavpn_vpn_service.cmd", exe), 0u);

  common::UniqueServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_TRUE(scm);
  common::UniqueServiceHandle svc(
      ::OpenServiceW(scm.get(), L"ZerkaVPNService", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  ASSERT_TRUE(svc);
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  ASSERT_TRUE(::QueryServiceStatusEx(svc.get(), SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&status), sizeof status, &needed));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(status.dwControlsAccepted, 0xC5u);

  alignas(QUERY_SERVICE_CONFIGW) BYTE config_buf[8192];
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config_buf);
  ASSERT_TRUE(::QueryServiceConfigW(svc.get(), config, sizeof config_buf, &needed));
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_TRUE(common::EqualsIgnoreCase(
      config->lpServiceStartName ? config->lpServiceStartName : L"", L"LocalSystem"));

  UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
  ASSERT_TRUE(process);

  std::string generation_id;
  {
    UniqueHandle pipe = Connect();
    ASSERT_TRUE(pipe);
    std::optional<Frame> hello = common::ExchangeRequest(pipe.get(), 1, 1, {}, kIoMs);
    ASSERT_TRUE(hello);
    PayloadReader r(hello->payload);
    uint16_t reply_status = 0xFFFF;
    common::HelloInfo info;
    ASSERT_TRUE(r.ReadU16(reply_status) && r.ReadHelloInfo(info) && r.ReadString(generation_id));
    EXPECT_EQ(reply_status, 0);
    EXPECT_EQ(generation_id.rfind(std::to_string(status.dwProcessId) + "-0x", 0), 0u);
  }

  ASSERT_EQ(RunScript(L"uninstall_zerkavpn_vpn_service.cmd"), 0u);
  EXPECT_EQ(::WaitForSingleObject(process.get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
  svc.reset();
  bool removed = false;
  for (int i = 0; i < 100 && !removed; ++i) {
    common::UniqueServiceHandle gone(
        ::OpenServiceW(scm.get(), L"ZerkaVPNService", SERVICE_QUERY_STATUS));
    removed = !gone && ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    if (!removed) ::Sleep(100);  // polls the SCM, 10 s at most
  }
  EXPECT_TRUE(removed);

  // This run's lines: from its starting line to the end of the shared log file.
  const std::string log = ReadServiceLog();
  const size_t start =
      log.find("[service] INFO service starting generation=" + generation_id + " ");
  ASSERT_NE(start, std::string::npos) << log;
  const std::string run = log.substr(start);
  const std::string last = "[service] INFO service stopped cleanly\r\n";
  ASSERT_GE(run.size(), last.size());
  EXPECT_EQ(run.substr(run.size() - last.size()), last) << run;
  EXPECT_EQ(CountOccurrences(run, "caller_accepted"), 1u) << run;
}

}  // namespace
}  // namespace tovra::service
