// The openvpn.exe stand-in (see openvpn_runtime_standin.h): the management
// interface subset the Agent drives, on one thread that waits on the exit event,
// the sockets' events and its next timer, never polling.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/secret_buffer.h"
#include "common/win/handles_win.h"
#include "tests/fakes/openvpn/management_words.h"
#include "tests/fakes/openvpn/openvpn_runtime_standin.h"
#include "tests/fakes/openvpn/standin_files_win.h"

namespace {

using tovra::common::SecretBuffer;
using tovra::common::UniqueHandle;
namespace fs = tovra::testing::openvpn_standin;

// OpenVPN's own bounds: a management line and the password read from stdin.
constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxManagementPassword = 256;
constexpr DWORD kSendWaitMs = 2000;

struct Script {
  SecretBuffer username = SecretBuffer::FromText("user");
  SecretBuffer password = SecretBuffer::FromText("pass");
  std::optional<std::string> fatal;
  bool no_prompt = false;
  bool ignore_exit_event = false;
  bool never_connect = false;
  uint32_t banner_bytes = 0;
  uint32_t exit_after_ms = 0;
  uint32_t connect_delay_ms = 0;
  uint64_t bytes_in = 1234;
  uint64_t bytes_out = 5678;
};

Script ReadScript(const std::wstring& folder) {
  Script s;
  for (const fs::ScriptEntry& e : fs::ReadScript(folder + L"\\" + kOpenVpnStandInScriptName)) {
    if (e.key == "username") {
      s.username = SecretBuffer::FromText(e.value);
    } else if (e.key == "password") {
      s.password = SecretBuffer::FromText(e.value);
    } else if (e.key == "fatal") {
      s.fatal = fs::Unescape(e.value);
    } else if (e.key == "no_prompt") {
      s.no_prompt = fs::FlagValue(e.value);
    } else if (e.key == "ignore_exit_event") {
      s.ignore_exit_event = fs::FlagValue(e.value);
    } else if (e.key == "never_connect") {
      s.never_connect = fs::FlagValue(e.value);
    } else if (e.key == "banner_bytes") {
      (void)fs::ParseNumber(e.value, s.banner_bytes);
    } else if (e.key == "exit_after_ms") {
      (void)fs::ParseNumber(e.value, s.exit_after_ms);
    } else if (e.key == "connect_delay_ms") {
      (void)fs::ParseNumber(e.value, s.connect_delay_ms);
    } else if (e.key == "bytes") {
      const size_t comma = e.value.find(',');
      if (comma != std::string::npos) {
        (void)fs::ParseNumber(std::string_view(e.value).substr(0, comma), s.bytes_in);
        (void)fs::ParseNumber(std::string_view(e.value).substr(comma + 1), s.bytes_out);
      }
    }
  }
  return s;
}

struct Args {
  std::wstring config;
  std::wstring port_text;
  std::wstring password_source;
  std::optional<std::wstring> exit_event;
  bool hold = false;
};

bool IsOption(const wchar_t* arg) {
  return arg[0] == L'-' && arg[1] == L'-';
}

std::optional<Args> ParseArgs() {
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr) return std::nullopt;
  Args a;
  bool have_config = false;
  bool have_management = false;
  // Values are the arguments up to the next option, as OpenVPN reads them.
  const auto values = [&](int i, int most) {
    std::vector<std::wstring> out;
    for (int j = i + 1; j < argc && static_cast<int>(out.size()) < most && !IsOption(argv[j]); ++j)
      out.emplace_back(argv[j]);
    return out;
  };
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view arg = argv[i];
    if (arg == L"--config") {
      const auto v = values(i, 1);
      if (v.size() == 1) {
        a.config = v[0];
        have_config = true;
      }
    } else if (arg == L"--management") {
      const auto v = values(i, 3);
      if (v.size() >= 2) {
        a.port_text = v[1];
        if (v.size() == 3) a.password_source = v[2];
        have_management = true;
      }
    } else if (arg == L"--service") {
      const auto v = values(i, 2);
      if (!v.empty()) a.exit_event = v[0];
    } else if (arg == L"--management-hold") {
      a.hold = true;
    }
  }
  ::LocalFree(argv);
  if (!have_config || !have_management) return std::nullopt;
  return a;
}

bool ConfigReadable(const std::wstring& path) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  char byte = 0;
  DWORD n = 0;
  return ::ReadFile(file.get(), &byte, 1, &n, nullptr) != FALSE;
}

// One line from standard input, without its line end; nothing at end of input
// before any byte or when the line is too long.
std::optional<SecretBuffer> ReadStdinLine() {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return std::nullopt;
  SecretBuffer line;
  for (;;) {
    char c = 0;
    DWORD n = 0;
    if (!::ReadFile(in, &c, 1, &n, nullptr) || n == 0) break;
    if (c == '\n') break;
    line.push_back(static_cast<uint8_t>(c));
    if (line.size() > kMaxManagementPassword) return std::nullopt;
    c = 0;
  }
  if (!line.empty() && line[line.size() - 1] == '\r') line.resize(line.size() - 1);
  if (line.empty()) return std::nullopt;
  return line;
}

class ManagementStandIn {
 public:
  ManagementStandIn(Script script, Args args, SecretBuffer management_password, HANDLE exit_event)
      : script_(std::move(script)),
        args_(std::move(args)),
        management_password_(std::move(management_password)),
        exit_event_(exit_event),
        seen_path_(tovra::testing::OwnProgramFolder() + L"\\" + kOpenVpnStandInSeenName) {}
  ~ManagementStandIn() {
    DropClient();
    if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
  }
  ManagementStandIn(const ManagementStandIn&) = delete;
  ManagementStandIn& operator=(const ManagementStandIn&) = delete;

  bool Listen(uint16_t port) {
    listen_event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    client_event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!listen_event_ || !client_event_) return false;
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) return false;
    BOOL exclusive = TRUE;
    ::setsockopt(listener_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = ::htons(port);
    addr.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return false;
    if (::listen(listener_, 1) != 0) return false;
    return ::WSAEventSelect(listener_, listen_event_.get(), FD_ACCEPT) == 0;
  }

  // Runs until the script or a peer ends the process; its exit code.
  int Run() {
    const ULONGLONG started = ::GetTickCount64();
    if (script_.exit_after_ms != 0) exit_at_ = started + script_.exit_after_ms;
    bool watch_exit_event = exit_event_ != nullptr;
    while (!exit_code_) {
      HANDLE waits[2];
      DWORD count = 0;
      const bool watching_exit = watch_exit_event;
      if (watching_exit) waits[count++] = exit_event_;
      waits[count++] = client_ != INVALID_SOCKET ? client_event_.get() : listen_event_.get();
      const DWORD r = ::WaitForMultipleObjects(count, waits, FALSE, TimeoutMs());
      if (r == WAIT_FAILED) return Exit("error", 1);
      if (watching_exit && r == WAIT_OBJECT_0) {
        if (!script_.ignore_exit_event) return Exit("event", 0);
        watch_exit_event = false;  // manual-reset: watching it on would spin
        continue;
      }
      if (r != WAIT_TIMEOUT) {
        if (client_ != INVALID_SOCKET) {
          OnClientEvent();
        } else {
          OnListenEvent();
        }
      }
      RunTimers();
    }
    return *exit_code_;
  }

 private:
  DWORD TimeoutMs() const {
    std::optional<ULONGLONG> next;
    for (const std::optional<ULONGLONG>& t : {exit_at_, step_at_, bytecount_at_}) {
      if (t && (!next || *t < *next)) next = t;
    }
    if (!next) return INFINITE;
    const ULONGLONG now = ::GetTickCount64();
    return *next <= now ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(*next - now, 0x7FFFFFFF));
  }

  void RunTimers() {
    const ULONGLONG now = ::GetTickCount64();
    if (exit_at_ && *exit_at_ <= now) {
      Exit("timer", 1);
      return;
    }
    if (step_at_ && *step_at_ <= now) {
      step_at_.reset();
      FinishConnecting();
    }
    if (bytecount_at_ && *bytecount_at_ <= now) {
      SendByteCount();
    }
  }

  int Exit(const char* reason, int code) {
    fs::AppendLine(seen_path_, std::string("exit=") + reason + " code=" + std::to_string(code));
    exit_code_ = code;
    DropClient();
    return code;
  }

  void Seen(std::string line) { fs::AppendLine(seen_path_, std::move(line)); }

  void OnListenEvent() {
    WSANETWORKEVENTS events{};
    if (::WSAEnumNetworkEvents(listener_, listen_event_.get(), &events) != 0) return;
    if ((events.lNetworkEvents & FD_ACCEPT) == 0) return;
    SOCKET s = ::accept(listener_, nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    client_ = s;
    // The accepted socket inherits the listener's selection; it gets its own.
    if (::WSAEventSelect(client_, client_event_.get(), FD_READ | FD_CLOSE) != 0) {
      DropClient();
      return;
    }
    authenticated_ = management_password_.empty();
    if (script_.banner_bytes != 0) {
      static constexpr std::string_view kBanner = ">INFO:stand-in banner line\r\n";
      std::string banner;
      while (banner.size() < script_.banner_bytes) banner += kBanner;
      banner.resize(script_.banner_bytes);
      if (!Send(banner)) return;
    }
    if (!authenticated_) {
      if (!script_.no_prompt) (void)Send("ENTER PASSWORD:");
    } else {
      Greet();
    }
  }

  void Greet() {
    if (!SendLine(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info"))
      return;
    if (args_.hold && !hold_released_) (void)SendLine(">HOLD:Waiting for hold release:0");
  }

  void OnClientEvent() {
    WSANETWORKEVENTS events{};
    if (::WSAEnumNetworkEvents(client_, client_event_.get(), &events) != 0) {
      DropClient();
      return;
    }
    // Read what is there also on FD_CLOSE: the last lines may come with it.
    for (;;) {
      char chunk[1024];
      const int n = ::recv(client_, chunk, sizeof chunk, 0);
      if (n > 0) {
        input_.append(chunk, static_cast<size_t>(n));
        tovra::common::SecureZero(chunk, sizeof chunk);
        if (!ServeLines()) return;
        continue;
      }
      if (n == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) {
        DropClient();
        return;
      }
      break;
    }
    if ((events.lNetworkEvents & FD_CLOSE) != 0) DropClient();
  }

  // False once the client or the process is gone.
  bool ServeLines() {
    for (;;) {
      const std::string_view buffered = input_.view();
      const size_t end = buffered.find('\n');
      if (end == std::string_view::npos) {
        if (input_.size() > kMaxLine) {
          DropClient();
          return false;
        }
        return true;
      }
      SecretBuffer line;
      line.append(buffered.data(), end);
      if (!line.empty() && line[line.size() - 1] == '\r') line.resize(line.size() - 1);
      SecretBuffer rest;
      rest.append(buffered.data() + end + 1, buffered.size() - end - 1);
      input_ = std::move(rest);
      if (!authenticated_) {
        OnPasswordLine(line);
      } else {
        OnCommand(line);
      }
      if (exit_code_ || client_ == INVALID_SOCKET) return false;
    }
  }

  void OnPasswordLine(const SecretBuffer& line) {
    if (line == management_password_) {
      Seen("management_password=right");
      authenticated_ = true;
      if (SendLine("SUCCESS: password is correct")) Greet();
      return;
    }
    Seen("management_password=wrong");
    (void)SendLine("ERROR: bad password");
    DropClient();
  }

  void OnCommand(const SecretBuffer& line) {
    const std::string_view text = line.view();
    const size_t space = text.find(' ');
    std::string first_word(text.substr(0, std::min<size_t>(space, 32)));
    for (char& c : first_word) {
      if (c < 0x20 || c > 0x7E) c = '.';
    }
    Seen("command=" + first_word);

    std::vector<SecretBuffer> words;
    if (!tovra::testing::SplitManagementWords(text, words) || words.empty()) {
      (void)SendLine("ERROR: unknown command, enter 'help' for more options");
      return;
    }
    const std::string_view verb = words[0].view();
    const std::string_view arg1 = words.size() > 1 ? words[1].view() : std::string_view();
    if (verb == "state") {
      if (arg1 == "on" || arg1 == "off") {
        state_on_ = arg1 == "on";
        (void)SendLine(state_on_ ? "SUCCESS: real-time state notification set to ON"
                                 : "SUCCESS: real-time state notification set to OFF");
      } else {
        (void)SendLine("END");
      }
    } else if (verb == "bytecount") {
      uint32_t seconds = 0;
      if (words.size() != 2 || !fs::ParseNumber(arg1, seconds)) {
        (void)SendLine("ERROR: bytecount command requires an integer argument");
        return;
      }
      bytecount_seconds_ = seconds;
      if (!SendLine("SUCCESS: bytecount interval changed")) return;
      bytecount_at_.reset();
      if (connected_ && seconds != 0) bytecount_at_ = ::GetTickCount64() + seconds * 1000ULL;
    } else if (verb == "hold") {
      if (arg1 == "release") {
        const bool first = !hold_released_;
        hold_released_ = true;
        if (!SendLine("SUCCESS: hold release succeeded") || !first) return;
        if (script_.fatal) {
          (void)SendLine(">FATAL:" + *script_.fatal);
          Exit("fatal", 1);
          return;
        }
        awaiting_credentials_ = true;
        (void)SendLine(">PASSWORD:Need 'Auth' username/password");
      } else {
        (void)SendLine(hold_released_ ? "SUCCESS: hold=0" : "SUCCESS: hold=1");
      }
    } else if (verb == "username" || verb == "password") {
      OnCredential(verb == "username", words);
    } else if (verb == "signal") {
      if (!SendLine("SUCCESS: signal " + std::string(arg1) + " thrown")) return;
      if (arg1 == "SIGTERM") {
        SendState("EXITING", "SIGTERM");
        Exit("sigterm", 0);
      }
    } else {
      (void)SendLine("ERROR: unknown command, enter 'help' for more options");
    }
  }

  void OnCredential(bool is_username, std::vector<SecretBuffer>& words) {
    const char* what = is_username ? "username" : "password";
    if (words.size() != 3) {
      (void)SendLine(std::string("ERROR: the ") + what + " command requires two parameters");
      return;
    }
    if (!awaiting_credentials_ || words[1].view() != "Auth") {
      (void)SendLine(std::string("ERROR: no ") + what + " is currently needed at this time");
      return;
    }
    (is_username ? username_ : password_) = std::move(words[2]);
    (is_username ? have_username_ : have_password_) = true;
    if (!SendLine(std::string("SUCCESS: 'Auth' ") + what + " entered, but not yet verified"))
      return;
    if (!have_username_ || !have_password_) return;
    awaiting_credentials_ = false;
    const bool match = username_ == script_.username && password_ == script_.password;
    username_.clear();
    password_.clear();
    if (!match) {
      Seen("credentials=mismatch");
      (void)SendLine(">PASSWORD:Verification Failed: 'Auth'");
      Exit("auth_failed", 1);
      return;
    }
    Seen("credentials=match");
    SendState("CONNECTING");
    step_at_ = ::GetTickCount64() + script_.connect_delay_ms;
  }

  void FinishConnecting() {
    SendState("WAIT");
    if (script_.never_connect) return;
    SendState("AUTH");
    SendState("GET_CONFIG");
    SendState("ASSIGN_IP", "", "10.8.0.2");
    SendState("ADD_ROUTES");
    SendState("CONNECTED", "SUCCESS", "10.8.0.2", "127.0.0.1", "1194");
    connected_ = true;
    if (bytecount_seconds_ != 0) SendByteCount();
  }

  void SendByteCount() {
    bytecount_at_.reset();
    if (bytecount_seconds_ == 0 || client_ == INVALID_SOCKET) return;
    (void)SendLine(">BYTECOUNT:" + std::to_string(script_.bytes_in) + "," +
                   std::to_string(script_.bytes_out));
    bytecount_at_ = ::GetTickCount64() + bytecount_seconds_ * 1000ULL;
  }

  // Nine fields, as OpenVPN sends them; only while state notifications are on.
  void SendState(std::string_view name, std::string_view description = "",
                 std::string_view local_ip = "", std::string_view remote_ip = "",
                 std::string_view remote_port = "") {
    if (!state_on_) return;
    std::string line = ">STATE:" + std::to_string(static_cast<long long>(std::time(nullptr)));
    for (std::string_view field : {name, description, local_ip, remote_ip, remote_port}) {
      line += ',';
      line += field;
    }
    line += ",,,";
    (void)SendLine(line);
  }

  bool SendLine(std::string_view line) { return Send(std::string(line) + "\r\n"); }

  // False (and the client dropped) when the bytes could not all be sent.
  bool Send(std::string_view bytes) {
    if (client_ == INVALID_SOCKET) return false;
    while (!bytes.empty()) {
      const int n = ::send(client_, bytes.data(), static_cast<int>(bytes.size()), 0);
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(client_, &writable);
        timeval wait{static_cast<long>(kSendWaitMs / 1000), 0};
        if (::select(0, nullptr, &writable, nullptr, &wait) == 1) continue;
      }
      DropClient();
      return false;
    }
    return true;
  }

  // A new client starts again at the password prompt; the process state (hold,
  // credentials asked for, connected) stays, as in OpenVPN.
  void DropClient() {
    if (client_ == INVALID_SOCKET) return;
    ::shutdown(client_, SD_SEND);
    ::closesocket(client_);
    client_ = INVALID_SOCKET;
    input_.clear();
    authenticated_ = false;
    ::ResetEvent(client_event_.get());
  }

  Script script_;
  Args args_;
  SecretBuffer management_password_;
  HANDLE exit_event_;  // not owned
  std::wstring seen_path_;

  SOCKET listener_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;
  UniqueHandle listen_event_;
  UniqueHandle client_event_;
  SecretBuffer input_;

  bool authenticated_ = false;
  bool state_on_ = false;
  bool hold_released_ = false;
  bool awaiting_credentials_ = false;
  bool have_username_ = false;
  bool have_password_ = false;
  SecretBuffer username_;
  SecretBuffer password_;
  bool connected_ = false;
  uint32_t bytecount_seconds_ = 0;

  std::optional<ULONGLONG> exit_at_;
  std::optional<ULONGLONG> step_at_;
  std::optional<ULONGLONG> bytecount_at_;
  std::optional<int> exit_code_;
};

int Fail(const std::wstring& seen_path, const wchar_t* message) {
  std::fwprintf(stderr, L"openvpn stand-in: %ls\n", message);
  fs::AppendLine(seen_path, "exit=error code=1");
  return 1;
}

}  // namespace

int wmain() {
  const std::wstring folder = tovra::testing::OwnProgramFolder();
  const std::wstring seen_path = folder + L"\\" + kOpenVpnStandInSeenName;
  const std::optional<Args> args = ParseArgs();
  if (!args) {
    std::fwprintf(stderr,
                  L"usage: openvpn.exe --config FILE --management 127.0.0.1 PORT stdin"
                  L" [--management-hold] [--service EVENT 0] ...\n");
    return 1;
  }
  fs::AppendLine(seen_path, "config=" + fs::ToUtf8(args->config));
  fs::AppendLine(seen_path, "port=" + fs::ToUtf8(args->port_text));
  if (args->exit_event) fs::AppendLine(seen_path, "exit_event=" + fs::ToUtf8(*args->exit_event));

  uint16_t port = 0;
  if (!fs::ParseNumber(fs::ToUtf8(args->port_text), port) || port == 0)
    return Fail(seen_path, L"the management port is not a port number");
  if (!ConfigReadable(args->config)) return Fail(seen_path, L"cannot read the configuration file");

  UniqueHandle exit_event;
  if (args->exit_event) {
    exit_event.reset(::OpenEventW(SYNCHRONIZE, FALSE, args->exit_event->c_str()));
    if (!exit_event) return Fail(seen_path, L"cannot open the exit event");
  }

  SecretBuffer management_password;
  if (args->password_source == L"stdin") {
    std::optional<SecretBuffer> line = ReadStdinLine();
    if (!line) return Fail(seen_path, L"no management password on standard input");
    management_password = std::move(*line);
  }

  WSADATA wsa{};
  if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail(seen_path, L"WSAStartup failed");
  int code = 1;
  {
    ManagementStandIn standin(ReadScript(folder), *args, std::move(management_password),
                              exit_event.get());
    if (!standin.Listen(port)) {
      code = Fail(seen_path, L"cannot listen on the management port");
    } else {
      code = standin.Run();
    }
  }
  ::WSACleanup();
  return code;
}
