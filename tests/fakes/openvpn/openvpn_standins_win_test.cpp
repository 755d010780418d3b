// The OpenVPN runtime stand-ins seen from the outside, with a raw pipe client
// and a raw management client: what the Agent's own clients will rely on.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "common/base/scope_exit.h"
#include "common/win/handles_win.h"
#include "tests/fakes/openvpn/interactive_service_standin_win.h"
#include "tests/fakes/openvpn/management_words.h"
#include "tests/support/wait_until.h"

namespace tovra::testing {
namespace {

using common::UniqueHandle;
using std::chrono::milliseconds;

constexpr uint32_t kIoMs = 10000;

std::wstring TestFolder(const wchar_t* stem) {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + stem + L"-" + std::to_wstring(::GetCurrentProcessId());
}

bool WriteText(const std::wstring& path, const std::string& text) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file &&
         ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

uint16_t FreeLoopbackPort() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  int size = sizeof addr;
  uint16_t port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
    port = ::ntohs(addr.sin_port);
  }
  ::closesocket(s);
  return port;
}

// Waits for an overlapped operation that `started` began; the error it
// completed with (0: success), or nothing when it did not start or did not end
// in time (then it is cancelled and its end awaited).
std::optional<DWORD> Await(HANDLE pipe, OVERLAPPED& ov, BOOL started, DWORD& bytes,
                           uint32_t timeout_ms) {
  if (!started) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return std::nullopt;
  }
  if (::WaitForSingleObject(ov.hEvent, timeout_ms) != WAIT_OBJECT_0) {
    ::CancelIoEx(pipe, &ov);
    ::GetOverlappedResult(pipe, &ov, &bytes, TRUE);
    return std::nullopt;
  }
  if (!::GetOverlappedResult(pipe, &ov, &bytes, FALSE)) return ::GetLastError();
  return 0;
}

struct PipeExchange {
  bool opened = false;
  uint32_t server_pid = 0;
  std::optional<std::wstring> reply;  // nothing: no reply in time
};

// Sends `message` as one message and reads one reply.
PipeExchange Exchange(const std::wstring& message, uint32_t reply_wait_ms = kIoMs) {
  PipeExchange x;
  UniqueHandle pipe(::CreateFileW(kInteractiveServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  if (!pipe) return x;
  x.opened = true;
  ULONG pid = 0;
  if (::GetNamedPipeServerProcessId(pipe.get(), &pid)) x.server_pid = pid;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return x;
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  DWORD bytes = 0;
  const DWORD size = static_cast<DWORD>(message.size() * sizeof(wchar_t));
  const std::optional<DWORD> written = Await(
      pipe.get(), ov, ::WriteFile(pipe.get(), message.data(), size, nullptr, &ov), bytes, kIoMs);
  if (written != DWORD{0} || bytes != size) return x;
  std::wstring reply;
  for (;;) {
    wchar_t buffer[2048];
    OVERLAPPED rov{};
    rov.hEvent = event.get();
    ::ResetEvent(event.get());
    bytes = 0;
    const std::optional<DWORD> read =
        Await(pipe.get(), rov, ::ReadFile(pipe.get(), buffer, sizeof buffer, nullptr, &rov), bytes,
              reply_wait_ms);
    if (!read || (*read != 0 && *read != ERROR_MORE_DATA)) return x;
    reply.append(buffer, bytes / sizeof(wchar_t));
    if (*read == 0) break;
  }
  x.reply = reply;
  return x;
}

std::wstring StartupMessage(const std::wstring& dir, const std::wstring& options,
                            const std::wstring& input) {
  return dir + L'\0' + options + L'\0' + input + L'\0';
}

std::optional<uint32_t> PidOfSuccess(const std::wstring& reply) {
  constexpr std::wstring_view kHead = L"0x00000000\n0x";
  constexpr std::wstring_view kTail = L"\nProcess ID";
  if (reply.size() != kHead.size() + 8 + kTail.size() || reply.rfind(kHead, 0) != 0 ||
      reply.substr(kHead.size() + 8) != kTail)
    return std::nullopt;
  const std::wstring digits = reply.substr(kHead.size(), 8);
  for (wchar_t c : digits) {
    if (!std::iswxdigit(c)) return std::nullopt;
  }
  return static_cast<uint32_t>(std::wcstoul(digits.c_str(), nullptr, 16));
}

class WinsockScope {
 public:
  WinsockScope() {
    WSADATA data{};
    ok_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockScope() {
    if (ok_) ::WSACleanup();
  }
  WinsockScope(const WinsockScope&) = delete;
  WinsockScope& operator=(const WinsockScope&) = delete;

 private:
  bool ok_ = false;
};

// A plain management client: bytes in, lines out, every wait bounded.
class ManagementPeer {
 public:
  ~ManagementPeer() { Close(); }

  bool Connect(uint16_t port) {
    return WaitUntil(
        [&] {
          Close();
          s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
          sockaddr_in addr{};
          addr.sin_family = AF_INET;
          addr.sin_port = ::htons(port);
          addr.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
          return ::connect(s_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        },
        milliseconds(kIoMs), milliseconds(50));
  }
  void Close() {
    if (s_ != INVALID_SOCKET) ::closesocket(s_);
    s_ = INVALID_SOCKET;
    buffer_.clear();
  }
  bool Send(const std::string& text) {
    return ::send(s_, text.data(), static_cast<int>(text.size()), 0) ==
           static_cast<int>(text.size());
  }
  // Everything up to and including `needle`; false at end of stream or time-out.
  bool ReadThrough(const std::string& needle) {
    for (;;) {
      const size_t at = buffer_.find(needle);
      if (at != std::string::npos) {
        buffer_.erase(0, at + needle.size());
        return true;
      }
      if (!Receive()) return false;
    }
  }
  std::optional<std::string> ReadLine() {
    for (;;) {
      const size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return line;
      }
      if (!Receive()) return std::nullopt;
    }
  }
  // The first line starting with `prefix`, skipping others.
  std::optional<std::string> ReadLineStarting(const std::string& prefix) {
    for (;;) {
      std::optional<std::string> line = ReadLine();
      if (!line || line->rfind(prefix, 0) == 0) return line;
    }
  }
  // What has arrived and was not read as a line yet.
  const std::string& pending() const { return buffer_; }
  // True when the peer closed the connection.
  bool ReadsEndOfStream() {
    while (Receive()) {
    }
    return closed_;
  }

 private:
  bool Receive() {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s_, &readable);
    timeval wait{static_cast<long>(kIoMs / 1000), 0};
    if (::select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
    char chunk[1024];
    const int n = ::recv(s_, chunk, sizeof chunk, 0);
    closed_ = n <= 0;
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  SOCKET s_ = INVALID_SOCKET;
  std::string buffer_;
  bool closed_ = false;
};

// The fields of a >STATE line after the time.
std::vector<std::string> StateFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = line.find(':') + 1;
  for (;;) {
    const size_t comma = line.find(',', start);
    fields.push_back(line.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return fields;
}

TEST(ManagementWords, QuotedValuesWithEscapes) {
  std::vector<common::SecretBuffer> words;
  ASSERT_TRUE(SplitManagementWords(R"(password "Auth" "a \"b\" \\c")", words));
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[1].view(), "Auth");
  EXPECT_EQ(words[2].view(), R"(a "b" \c)");
  EXPECT_FALSE(SplitManagementWords(R"(password "Auth" "open)", words));
  EXPECT_FALSE(SplitManagementWords(R"(password "Auth" "ends in \)", words));
}

// How a run ends, after the management password and the hold.
enum class Ending { exit_event, sigterm, wrong_credentials, fatal };

struct EndRow {
  const char* name;
  Ending ending;
  const char* script;
  uint32_t exit_code;
  const char* exit_reason;
};

class OpenVpnRun : public ::testing::TestWithParam<EndRow> {};

TEST_P(OpenVpnRun, FromStartupMessageToItsEnd) {
  const EndRow& row = GetParam();
  WinsockScope winsock;
  OpenVpnRuntimeStandIn standin(TestFolder(L"ovpn-standins-run"));
  // The expected username holds a quote and a backslash, the password a space:
  // the stand-in must undo the management quoting.
  ASSERT_TRUE(standin.Install(std::string("username=a\"l\\ice\npassword=se cret\nbytes=12,34\n") +
                              row.script));
  ASSERT_TRUE(standin.StartService());

  const std::wstring config = standin.folder() + L"\\ovpn 1.conf";
  const common::ScopeExit remove_config([&] { ::DeleteFileW(config.c_str()); });
  ASSERT_TRUE(WriteText(config, "client\n"));
  const std::wstring event_name =
      L"Zerka-OpenVpnExit-standin-" + std::to_wstring(::GetCurrentProcessId());
  UniqueHandle exit_event(::CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  ASSERT_TRUE(exit_event);
  const uint16_t port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  const std::wstring options = L"--config \"" + config + L"\" --management 127.0.0.1 " +
                               std::to_wstring(port) +
                               L" stdin --management-hold --management-query-passwords"
                               L" --management-signal --service " +
                               event_name + L" 0";

  const PipeExchange x = Exchange(StartupMessage(standin.folder(), options, L"mgmt-secret\n"));
  ASSERT_TRUE(x.reply) << "no reply";
  EXPECT_EQ(x.server_pid, OpenVpnRuntimeStandIn::ServiceProcessId());
  const std::optional<uint32_t> pid = PidOfSuccess(*x.reply);
  ASSERT_TRUE(pid) << "reply: " << std::string(x.reply->begin(), x.reply->end());

  ManagementPeer peer;
  if (row.ending == Ending::sigterm) {
    // A wrong management password closes the connection; the next one starts over.
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(peer.ReadThrough("ENTER PASSWORD:"));
    ASSERT_TRUE(peer.Send("not-it\n"));
    EXPECT_EQ(peer.ReadLine(), "ERROR: bad password");
    EXPECT_TRUE(peer.ReadsEndOfStream());
    EXPECT_EQ(standin.SeenValue("management_password"), "wrong");
  }
  ASSERT_TRUE(peer.Connect(port));
  ASSERT_TRUE(peer.ReadThrough("ENTER PASSWORD:"));
  ASSERT_TRUE(peer.Send("mgmt-secret\n"));
  EXPECT_EQ(peer.ReadLine(), "SUCCESS: password is correct");
  EXPECT_EQ(peer.ReadLineStarting(">HOLD:"), ">HOLD:Waiting for hold release:0");
  ASSERT_TRUE(peer.Send("state on\n"));
  EXPECT_EQ(peer.ReadLine(), "SUCCESS: real-time state notification set to ON");
  ASSERT_TRUE(peer.Send("bytecount 1\n"));
  EXPECT_EQ(peer.ReadLine(), "SUCCESS: bytecount interval changed");
  ASSERT_TRUE(peer.Send("hold release\n"));
  EXPECT_EQ(peer.ReadLine(), "SUCCESS: hold release succeeded");

  if (row.ending == Ending::fatal) {
    EXPECT_EQ(peer.ReadLine(), ">FATAL:scripted failure");
  } else {
    EXPECT_EQ(peer.ReadLine(), ">PASSWORD:Need 'Auth' username/password");
    ASSERT_TRUE(peer.Send("username \"Auth\" \"a\\\"l\\\\ice\"\n"));
    EXPECT_EQ(peer.ReadLine(), "SUCCESS: 'Auth' username entered, but not yet verified");
    const bool wrong = row.ending == Ending::wrong_credentials;
    ASSERT_TRUE(
        peer.Send(wrong ? "password \"Auth\" \"se cre\"\n" : "password \"Auth\" \"se cret\"\n"));
    EXPECT_EQ(peer.ReadLine(), "SUCCESS: 'Auth' password entered, but not yet verified");
    if (wrong) {
      EXPECT_EQ(peer.ReadLine(), ">PASSWORD:Verification Failed: 'Auth'");
    } else {
      const std::optional<std::string> connecting = peer.ReadLineStarting(">STATE:");
      ASSERT_TRUE(connecting);
      EXPECT_EQ(StateFields(*connecting)[1], "CONNECTING");
      std::optional<std::string> state = peer.ReadLineStarting(">STATE:");
      while (state && StateFields(*state)[1] != "CONNECTED")
        state = peer.ReadLineStarting(">STATE:");
      ASSERT_TRUE(state);
      const std::vector<std::string> fields = StateFields(*state);
      ASSERT_EQ(fields.size(), 9u) << *state;
      EXPECT_EQ(fields[2], "SUCCESS");
      EXPECT_EQ(fields[3], "10.8.0.2");
      EXPECT_EQ(peer.ReadLineStarting(">BYTECOUNT:"), ">BYTECOUNT:12,34");
      // And again a second later: the interval runs.
      EXPECT_EQ(peer.ReadLineStarting(">BYTECOUNT:"), ">BYTECOUNT:12,34");
      EXPECT_EQ(standin.SeenValue("credentials"), "match");
    }
  }
  if (row.ending == Ending::exit_event) {
    ASSERT_TRUE(::SetEvent(exit_event.get()));
  } else if (row.ending == Ending::sigterm) {
    ASSERT_TRUE(peer.Send("signal SIGTERM\n"));
    EXPECT_EQ(peer.ReadLine(), "SUCCESS: signal SIGTERM thrown");
    const std::optional<std::string> exiting = peer.ReadLineStarting(">STATE:");
    ASSERT_TRUE(exiting);
    const std::vector<std::string> fields = StateFields(*exiting);
    EXPECT_EQ(fields.size(), 9u);
    EXPECT_EQ(fields[1], "EXITING");
    EXPECT_EQ(fields[2], "SIGTERM");
  }
  EXPECT_EQ(OpenVpnRuntimeStandIn::WaitForOpenVpnExit(*pid, kIoMs), row.exit_code);

  EXPECT_EQ(standin.SeenValue("exit"), row.exit_reason);
  EXPECT_EQ(standin.SeenValue("config"), std::string(config.begin(), config.end()));
  EXPECT_EQ(standin.SeenValue("port"), std::to_string(port));
  EXPECT_EQ(standin.SeenValue("exit_event"), std::string(event_name.begin(), event_name.end()));
  EXPECT_EQ(standin.SeenValue("management_password"), "right");
  std::vector<std::string> expected{"state", "bytecount", "hold"};
  if (row.ending != Ending::fatal) expected.insert(expected.end(), {"username", "password"});
  if (row.ending == Ending::sigterm) expected.push_back("signal");
  EXPECT_EQ(standin.SeenCommands(), expected);
  const std::string seen = standin.SeenText();
  for (const char* secret : {"mgmt-secret", "a\"l\\ice", "se cre"}) {
    EXPECT_EQ(seen.find(secret), std::string::npos) << secret;
  }
}

INSTANTIATE_TEST_SUITE_P(Endings, OpenVpnRun,
                         ::testing::Values(EndRow{"exit_event", Ending::exit_event, "", 0,
                                                  "event code=0"},
                                           EndRow{"sigterm_after_a_wrong_management_password",
                                                  Ending::sigterm, "", 0, "sigterm code=0"},
                                           EndRow{"wrong_credentials", Ending::wrong_credentials,
                                                  "", 1, "auth_failed code=1"},
                                           EndRow{"fatal", Ending::fatal,
                                                  "fatal=scripted failure\n", 1, "fatal code=1"}),
                         [](const ::testing::TestParamInfo<EndRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

// The quiet variants: a banner and no prompt, an exit event that is ignored,
// and the process ending by itself.
TEST(OpenVpnStandIn, BannerWithoutPromptThenItsOwnTimer) {
  WinsockScope winsock;
  OpenVpnRuntimeStandIn standin(TestFolder(L"ovpn-standins-quiet"));
  ASSERT_TRUE(
      standin.Install("no_prompt\nbanner_bytes=300\nignore_exit_event\nexit_after_ms=3000\n"));
  ASSERT_TRUE(standin.StartService());
  const std::wstring config = standin.folder() + L"\\quiet.conf";
  const common::ScopeExit remove_config([&] { ::DeleteFileW(config.c_str()); });
  ASSERT_TRUE(WriteText(config, "client\n"));
  const std::wstring event_name =
      L"Zerka-OpenVpnExit-quiet-" + std::to_wstring(::GetCurrentProcessId());
  UniqueHandle exit_event(::CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  ASSERT_TRUE(exit_event);
  const uint16_t port = FreeLoopbackPort();
  const PipeExchange x = Exchange(StartupMessage(
      standin.folder(),
      L"--config \"" + config + L"\" --management 127.0.0.1 " + std::to_wstring(port) +
          L" stdin --management-hold --service " + event_name + L" 0",
      L"pw\n"));
  ASSERT_TRUE(x.reply);
  const std::optional<uint32_t> pid = PidOfSuccess(*x.reply);
  ASSERT_TRUE(pid);

  ManagementPeer peer;
  ASSERT_TRUE(peer.Connect(port));
  ASSERT_TRUE(::SetEvent(exit_event.get()));
  EXPECT_TRUE(peer.ReadsEndOfStream());  // at the timer, not at the event
  EXPECT_EQ(peer.pending().size(), 300u);
  EXPECT_EQ(peer.pending().find("ENTER PASSWORD:"), std::string::npos);
  EXPECT_EQ(OpenVpnRuntimeStandIn::WaitForOpenVpnExit(*pid, kIoMs), 1u);
  EXPECT_EQ(standin.SeenValue("exit"), "timer code=1");
}

struct ReplyRow {
  const char* name;
  const char* script;
  bool well_formed_message;
  const wchar_t* exact_reply;  // nullptr: a success reply, or no reply when no_reply
  bool no_reply;
};

TEST(InteractiveServiceStandIn, ScriptedRepliesStartNothing) {
  const ReplyRow rows[] = {
      {"error", "is_reply_error=0x20000001:openvpn\\nconfig needs admin approval", true,
       L"0x20000001\nopenvpn\nconfig needs admin approval", false},
      {"raw", "is_reply_raw=0x0000000", true, L"0x0000000", false},
      {"malformed", "", false, L"0x20000002\nGetStartupData\nmalformed startup data", false},
      {"no_reply", "is_no_reply", true, nullptr, true},
  };
  OpenVpnRuntimeStandIn standin(TestFolder(L"ovpn-standins-replies"));
  ASSERT_TRUE(standin.Install());
  ASSERT_TRUE(standin.StartService());
  for (const ReplyRow& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(standin.WriteScript(row.script));
    const std::wstring message = row.well_formed_message
                                     ? StartupMessage(standin.folder(), L"--config x.conf", L"pw\n")
                                     : std::wstring(L"no separators");
    // A reply comes at once or never.
    const PipeExchange x = Exchange(message, row.no_reply ? 1500 : kIoMs);
    ASSERT_TRUE(x.opened);
    if (row.no_reply) {
      EXPECT_FALSE(x.reply);
    } else {
      EXPECT_EQ(x.reply, std::wstring(row.exact_reply));
    }
  }
  EXPECT_TRUE(standin.SeenLines().empty()) << "an openvpn.exe was started";
}

TEST(InteractiveServiceStandIn, UpperCaseHexOnRequest) {
  OpenVpnRuntimeStandIn standin(TestFolder(L"ovpn-standins-hex"));
  ASSERT_TRUE(standin.Install("is_hex_upper\n"));
  ASSERT_TRUE(standin.StartService());
  // Starts an openvpn.exe that gives up at once (no configuration): only the
  // reply's shape matters here. Repeated until a pid has a letter digit.
  bool saw_letter = false;
  for (int i = 0; i < 16 && !saw_letter; ++i) {
    const PipeExchange x = Exchange(StartupMessage(
        standin.folder(), L"--config missing.conf --management 127.0.0.1 1 stdin", L"pw\n"));
    ASSERT_TRUE(x.reply);
    const std::optional<uint32_t> pid = PidOfSuccess(*x.reply);
    ASSERT_TRUE(pid);
    EXPECT_EQ(OpenVpnRuntimeStandIn::WaitForOpenVpnExit(*pid, kIoMs), 1u);
    const std::wstring digits = x.reply->substr(13, 8);
    for (wchar_t c : digits) {
      EXPECT_FALSE(c >= L'a' && c <= L'f') << "lower-case digit";
      saw_letter = saw_letter || (c >= L'A' && c <= L'F');
    }
  }
  EXPECT_TRUE(saw_letter);
  EXPECT_EQ(standin.SeenValue("exit"), "error code=1");
}

TEST(InteractiveServiceStandIn, SquatterRecordsWhatItReceived) {
  OpenVpnRuntimeStandIn standin(TestFolder(L"ovpn-standins-squat"));
  // The service runs but leaves the name to the squatter: the pipe's server is
  // then not the service's process.
  ASSERT_TRUE(standin.Install("is_no_pipe\n"));
  ASSERT_TRUE(standin.StartService());
  const uint32_t service_pid = OpenVpnRuntimeStandIn::ServiceProcessId();
  ASSERT_NE(service_pid, 0u);
  for (const size_t written : {size_t{0}, size_t{10}}) {
    SCOPED_TRACE(written);
    ASSERT_TRUE(standin.StartSquatter());
    {
      UniqueHandle pipe(::CreateFileW(kInteractiveServicePipe, GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(pipe);
      ULONG server = 0;
      ASSERT_TRUE(::GetNamedPipeServerProcessId(pipe.get(), &server));
      EXPECT_EQ(server, standin.squatter_pid());
      EXPECT_NE(server, service_pid);
      if (written != 0) {
        const std::string bytes(written, 'x');
        DWORD n = 0;
        ASSERT_TRUE(
            ::WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(written), &n, nullptr));
      }
    }
    EXPECT_EQ(standin.WaitForSquatter(kIoMs), uint64_t{written});
    EXPECT_TRUE(standin.SquatterWasConnected());
  }
}

}  // namespace
}  // namespace tovra::testing
