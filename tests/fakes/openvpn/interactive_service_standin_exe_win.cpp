// The Interactive Service stand-in and its squatter mode (see
// openvpn_runtime_standin.h). One thread serves the pipe, one client after
// another; the manager's control thread only signals the stop event, which
// every wait watches. Cancelled overlapped I/O is waited for before its buffer
// and OVERLAPPED go away.
#include <windows.h>
#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/secret_buffer.h"
#include "common/win/handles_win.h"
#include "tests/fakes/openvpn/openvpn_runtime_standin.h"
#include "tests/fakes/openvpn/standin_files_win.h"

namespace {

using tovra::common::SecretBuffer;
using tovra::common::UniqueHandle;
using tovra::common::UniqueLocal;
namespace fs = tovra::testing::openvpn_standin;

// A startup message is at most 1024 characters; anything far beyond that is
// not one.
constexpr DWORD kMaxMessageBytes = 64 * 1024;
constexpr DWORD kPipeBufferBytes = 8192;
// How long a served client may keep its end open after the reply.
constexpr ULONGLONG kClientLingerMs = 10000;
constexpr ULONGLONG kNoDeadline = ~0ULL;

constexpr DWORD kErrorStartupData = 0x20000002;

struct ServiceScript {
  std::optional<std::pair<uint32_t, std::string>> reply_error;
  std::optional<std::string> reply_raw;
  bool no_reply = false;
  bool hex_upper = false;
  bool no_pipe = false;
};

ServiceScript ReadServiceScript(const std::wstring& folder) {
  ServiceScript s;
  for (const fs::ScriptEntry& e : fs::ReadScript(folder + L"\\" + kOpenVpnStandInScriptName)) {
    if (e.key == "is_reply_error") {
      const size_t colon = e.value.find(':');
      uint32_t code = 0;
      const std::string_view digits =
          std::string_view(e.value).substr(0, colon).substr(e.value.rfind("0x", 0) == 0 ? 2 : 0);
      if (colon != std::string::npos && fs::ParseNumber(digits, code, 16))
        s.reply_error = std::make_pair(code, fs::Unescape(e.value.substr(colon + 1)));
    } else if (e.key == "is_reply_raw") {
      s.reply_raw = fs::Unescape(e.value);
    } else if (e.key == "is_no_reply") {
      s.no_reply = fs::FlagValue(e.value);
    } else if (e.key == "is_hex_upper") {
      s.hex_upper = fs::FlagValue(e.value);
    } else if (e.key == "is_no_pipe") {
      s.no_pipe = fs::FlagValue(e.value);
    }
  }
  return s;
}

// Set in wmain before the dispatcher starts.
HANDLE g_stop_event = nullptr;

std::mutex g_status_mutex;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
DWORD g_checkpoint = 0;

void Report(DWORD state, DWORD exit_code = NO_ERROR) {
  std::lock_guard lock(g_status_mutex);
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exit_code;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? ++g_checkpoint : 0;
  status.dwWaitHint = pending ? 2000 : 0;
  if (g_status_handle != nullptr) ::SetServiceStatus(g_status_handle, &status);
}

class PipeSecurity {
 public:
  // Everyone may connect: the stand-in checks no caller.
  PipeSecurity() {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                               &sd, nullptr)) {
      descriptor_.reset(sd);
      attributes_.lpSecurityDescriptor = sd;
    }
  }
  SECURITY_ATTRIBUTES* get() { return &attributes_; }

 private:
  UniqueLocal descriptor_;
  SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

UniqueHandle CreateInstance(PipeSecurity& security) {
  return UniqueHandle(::CreateNamedPipeW(
      kInteractiveServicePipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, security.get()));
}

// Waits for an overlapped operation started on `pipe`. Nothing when `stop` was
// signalled or the deadline passed: the operation is then cancelled and its
// completion awaited. Otherwise the error it completed with (0 for success).
std::optional<DWORD> Complete(HANDLE pipe, OVERLAPPED& ov, HANDLE stop, ULONGLONG deadline,
                              DWORD& bytes) {
  HANDLE waits[2] = {ov.hEvent, stop};
  const DWORD count = stop != nullptr ? 2 : 1;
  DWORD timeout = INFINITE;
  if (deadline != kNoDeadline) {
    const ULONGLONG now = ::GetTickCount64();
    timeout = deadline <= now ? 0 : static_cast<DWORD>(deadline - now);
  }
  if (::WaitForMultipleObjects(count, waits, FALSE, timeout) != WAIT_OBJECT_0) {
    ::CancelIoEx(pipe, &ov);
    ::GetOverlappedResult(pipe, &ov, &bytes, TRUE);
    return std::nullopt;
  }
  if (!::GetOverlappedResult(pipe, &ov, &bytes, FALSE)) return ::GetLastError();
  return 0;
}

bool Connect(HANDLE pipe, HANDLE stop, ULONGLONG deadline) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  if (::ConnectNamedPipe(pipe, &ov)) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return true;
  if (error != ERROR_IO_PENDING) return false;
  DWORD bytes = 0;
  const std::optional<DWORD> done = Complete(pipe, ov, stop, deadline, bytes);
  return done && *done == 0;
}

// Reads one message into `out` (appending), or counts what arrives with
// `out` == nullptr. False on a broken pipe, a stop, the deadline or an
// oversized message.
bool ReadMessage(HANDLE pipe, HANDLE stop, ULONGLONG deadline, SecretBuffer* out,
                 uint64_t& received) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  SecretBuffer chunk;
  chunk.resize(4096);
  for (;;) {
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    DWORD bytes = 0;
    DWORD error = 0;
    if (!::ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), nullptr, &ov)) {
      error = ::GetLastError();
    }
    if (error == 0 || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
      const std::optional<DWORD> done = Complete(pipe, ov, stop, deadline, bytes);
      if (!done) return false;
      error = *done;
    }
    if (error != 0 && error != ERROR_MORE_DATA) return false;
    received += bytes;
    if (out != nullptr) {
      out->append(chunk.data(), bytes);
      if (out->size() > kMaxMessageBytes) return false;
    }
    if (error == 0) return true;
  }
}

bool WriteMessage(HANDLE pipe, HANDLE stop, std::wstring_view text) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  DWORD bytes = 0;
  DWORD error = 0;
  if (!::WriteFile(pipe, text.data(), size, nullptr, &ov)) error = ::GetLastError();
  if (error == 0 || error == ERROR_IO_PENDING) {
    const std::optional<DWORD> done =
        Complete(pipe, ov, stop, ::GetTickCount64() + kClientLingerMs, bytes);
    return done && *done == 0 && bytes == size;
  }
  return false;
}

// Holds the connection until the client closes its end, as the service does
// while it runs what it started (bounded, so one idle client cannot hold the
// stand-in forever).
void AwaitClientGone(HANDLE pipe, HANDLE stop, ULONGLONG deadline) {
  uint64_t ignored = 0;
  while (ReadMessage(pipe, stop, deadline, nullptr, ignored)) {
  }
}

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  }
  return out;
}

std::wstring ErrorReply(DWORD code, std::wstring_view function, std::wstring_view text) {
  wchar_t head[16];
  std::swprintf(head, 16, L"0x%08x\n", static_cast<unsigned>(code));
  return std::wstring(head) + std::wstring(function) + L"\n" + std::wstring(text);
}

struct StartupMessage {
  std::wstring working_directory;
  std::wstring options;
  SecretBuffer stdin_utf8;
};

// The three NUL-terminated UTF-16LE strings; nothing for anything else.
std::optional<StartupMessage> ParseStartup(const SecretBuffer& bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  const std::wstring_view text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
  const size_t first = text.find(L'\0');
  if (first == std::wstring_view::npos) return std::nullopt;
  const size_t second = text.find(L'\0', first + 1);
  if (second == std::wstring_view::npos) return std::nullopt;
  const size_t third = text.find(L'\0', second + 1);
  if (third == std::wstring_view::npos) return std::nullopt;
  StartupMessage m;
  m.working_directory = text.substr(0, first);
  m.options = text.substr(first + 1, second - first - 1);
  const std::wstring_view input = text.substr(second + 1, third - second - 1);
  if (!input.empty()) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, input.data(), static_cast<int>(input.size()),
                                        nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::nullopt;
    m.stdin_utf8.resize(static_cast<size_t>(n));
    ::WideCharToMultiByte(CP_UTF8, 0, input.data(), static_cast<int>(input.size()),
                          reinterpret_cast<char*>(m.stdin_utf8.data()), n, nullptr, nullptr);
  }
  return m;
}

class InteractiveServiceStandIn {
 public:
  InteractiveServiceStandIn() : folder_(tovra::testing::OwnProgramFolder()) {}

  // Serves until the stop event; the exit code to report.
  DWORD Run() {
    if (ReadServiceScript(folder_).no_pipe) {
      Report(SERVICE_RUNNING);
      ::WaitForSingleObject(g_stop_event, INFINITE);
      return NO_ERROR;
    }
    // The next instance exists before a client is served, so the name never
    // vanishes between clients.
    UniqueHandle next = CreateInstance(security_);
    if (!next) return ::GetLastError();
    Report(SERVICE_RUNNING);
    while (::WaitForSingleObject(g_stop_event, 0) != WAIT_OBJECT_0) {
      UniqueHandle pipe = next ? std::move(next) : CreateInstance(security_);
      if (!pipe) {
        if (::WaitForSingleObject(g_stop_event, 100) == WAIT_OBJECT_0) break;
        continue;
      }
      if (!Connect(pipe.get(), g_stop_event, kNoDeadline)) continue;
      next = CreateInstance(security_);
      Serve(pipe.get());
      ::DisconnectNamedPipe(pipe.get());
    }
    return NO_ERROR;
  }

 private:
  void Serve(HANDLE pipe) {
    SecretBuffer message;
    uint64_t received = 0;
    if (!ReadMessage(pipe, g_stop_event, kNoDeadline, &message, received)) return;
    const ServiceScript script = ReadServiceScript(folder_);
    const ULONGLONG linger_until = ::GetTickCount64() + kClientLingerMs;
    if (script.no_reply) {
      AwaitClientGone(pipe, g_stop_event, kNoDeadline);
      return;
    }
    std::wstring reply;
    if (script.reply_raw) {
      reply = Widen(*script.reply_raw);
    } else if (script.reply_error) {
      wchar_t head[16];
      std::swprintf(head, 16, L"0x%08x\n", static_cast<unsigned>(script.reply_error->first));
      reply = head + Widen(script.reply_error->second);
    } else {
      reply = Start(message, script.hex_upper);
    }
    message.clear();
    if (WriteMessage(pipe, g_stop_event, reply)) AwaitClientGone(pipe, g_stop_event, linger_until);
  }

  std::wstring Start(const SecretBuffer& message, bool hex_upper) {
    std::optional<StartupMessage> startup = ParseStartup(message);
    if (!startup)
      return ErrorReply(kErrorStartupData, L"GetStartupData", L"malformed startup data");
    const std::wstring exe = folder_ + L"\\" + kOpenVpnStandInExeName;
    std::wstring command_line = L"\"" + exe + L"\" " + startup->options;

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) {
      const DWORD e = ::GetLastError();
      return ErrorReply(e, L"CreatePipe", L"cannot create the standard input pipe");
    }
    UniqueHandle child_input(read_end);
    UniqueHandle input(write_end);
    ::SetHandleInformation(input.get(), HANDLE_FLAG_INHERIT, 0);
    UniqueHandle output(::CreateFileW((folder_ + L"\\" + kOpenVpnStandInOutputName).c_str(),
                                      FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = child_input.get();
    si.hStdOutput = output.get();
    si.hStdError = output.get();
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(
            exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
            startup->working_directory.empty() ? nullptr : startup->working_directory.c_str(), &si,
            &pi)) {
      const DWORD e = ::GetLastError();
      return ErrorReply(e, L"CreateProcess", L"cannot start openvpn.exe");
    }
    ::CloseHandle(pi.hThread);
    children_.emplace_back(pi.hProcess);
    child_input.reset();
    DWORD written = 0;
    if (!startup->stdin_utf8.empty()) {
      (void)::WriteFile(input.get(), startup->stdin_utf8.data(),
                        static_cast<DWORD>(startup->stdin_utf8.size()), &written, nullptr);
    }
    input.reset();

    wchar_t reply[64];
    std::swprintf(reply, 64,
                  hex_upper ? L"0x00000000\n0x%08X\nProcess ID" : L"0x00000000\n0x%08x\nProcess ID",
                  static_cast<unsigned>(pi.dwProcessId));
    return reply;
  }

  std::wstring folder_;
  PipeSecurity security_;
  // Held until the service stops, so a test can still read a child's exit code.
  std::vector<UniqueHandle> children_;
};

DWORD WINAPI Control(DWORD control, DWORD, LPVOID, LPVOID) noexcept {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING);
      ::SetEvent(g_stop_event);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) noexcept {
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return;
  SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(argv[0], Control, nullptr);
  if (handle == nullptr) return;
  {
    std::lock_guard lock(g_status_mutex);
    g_status_handle = handle;
  }
  Report(SERVICE_START_PENDING);
  DWORD exit_code = ERROR_OUTOFMEMORY;
  try {
    InteractiveServiceStandIn standin;
    exit_code = standin.Run();
  } catch (...) {
  }
  Report(SERVICE_STOPPED, exit_code);
}

// Serves the pipe name to its first client and records what that client wrote.
int Squat(const std::wstring& record_path) {
  const ULONGLONG deadline = ::GetTickCount64() + kSquatterLifetimeMs;
  PipeSecurity security;
  UniqueHandle pipe = CreateInstance(security);
  if (!pipe) {
    const DWORD e = ::GetLastError();
    std::fwprintf(stderr, L"squatter: cannot create the pipe (error %lu)\n", e);
    return 1;
  }
  fs::AppendLine(record_path, "ready=1");
  const bool connected = Connect(pipe.get(), nullptr, deadline);
  uint64_t received = 0;
  if (connected) {
    while (ReadMessage(pipe.get(), nullptr, deadline, nullptr, received)) {
    }
  }
  fs::AppendLine(record_path, std::string("connected=") + (connected ? "1" : "0"));
  fs::AppendLine(record_path, "bytes=" + std::to_string(received));
  return 0;
}

int Usage() {
  std::fwprintf(stderr,
                L"usage: openvpnserv_standin.exe (run by the Service Control Manager)\n"
                L"       openvpnserv_standin.exe --squat <record file>\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"--squat") == 0) return Squat(argv[2]);
  if (argc != 1) return Usage();
  g_stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_stop_event == nullptr) return 1;
  wchar_t own_process[] = L"";  // ignored for an own-process service
  SERVICE_TABLE_ENTRYW table[] = {{own_process, ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    const DWORD e = ::GetLastError();
    Usage();
    std::fwprintf(stderr, L"not started by the Service Control Manager (error %lu)\n", e);
    return 1;
  }
  return 0;
}
