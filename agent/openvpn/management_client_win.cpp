#include "agent/openvpn/management_client_win.h"

#include <ws2tcpip.h>
// iphlpapi.h needs the Winsock headers first.
#include <iphlpapi.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <utility>

#include "common/log/log.h"
#include "common/text/text.h"

namespace tovra::agent::openvpn {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view kPrompt = "ENTER PASSWORD:";
constexpr size_t kPromptBound = 256;     // bytes before the prompt that are tolerated
constexpr size_t kPreAuthCeiling = 512;  // never buffered before authentication
constexpr milliseconds kConnectRetry{50};
constexpr milliseconds kReaderSlice{500};  // the reader looks at its stop request this often
constexpr milliseconds kAuthSlice{250};    // as does authentication
constexpr milliseconds kCommandSendBudget{2000};

void Warn(const std::string& ascii_message) {
  common::Log(common::LogLevel::Warn,
              common::Utf8ToWide("openvpn_management_client: " + ascii_message));
}

std::string Decimal(uint64_t v) {
  return std::to_string(v);
}

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(SOCKET s) : s_(s) {}
  UniqueSocket(UniqueSocket&& o) noexcept : s_(o.release()) {}
  UniqueSocket& operator=(UniqueSocket&& o) noexcept {
    if (this != &o) {
      if (s_ != INVALID_SOCKET) ::closesocket(s_);
      s_ = o.release();
    }
    return *this;
  }
  ~UniqueSocket() {
    if (s_ != INVALID_SOCKET) ::closesocket(s_);
  }
  SOCKET get() const { return s_; }
  SOCKET release() { return std::exchange(s_, INVALID_SOCKET); }
  bool valid() const { return s_ != INVALID_SOCKET; }

 private:
  SOCKET s_ = INVALID_SOCKET;
};

enum class Readiness : uint8_t { ready, timed_out, failed };

// Waits until the socket can be read (or written) or `until` has passed, at
// least 1 ms. A failed connect shows in the exception set.
Readiness WaitReady(SOCKET s, bool for_write, Clock::time_point until) {
  const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
  const long ms = static_cast<long>(std::clamp<int64_t>(left, 1, 60'000));
  fd_set io;
  fd_set failures;
  FD_ZERO(&io);
  FD_ZERO(&failures);
  FD_SET(s, &io);
  FD_SET(s, &failures);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  const int r = ::select(0, for_write ? nullptr : &io, for_write ? &io : nullptr, &failures, &tv);
  if (r == SOCKET_ERROR) return Readiness::failed;
  if (r == 0) return Readiness::timed_out;
  if (FD_ISSET(s, &failures)) return Readiness::failed;
  return Readiness::ready;
}

// All of `bytes` before `deadline`, waiting for room when the socket has none.
bool SendAll(SOCKET s, std::span<const uint8_t> bytes, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20));
    const int n = ::send(s, reinterpret_cast<const char*>(bytes.data() + sent), chunk, 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int error = n == SOCKET_ERROR ? ::WSAGetLastError() : 0;
    if (error != WSAEWOULDBLOCK || Clock::now() >= deadline) return false;
    if (WaitReady(s, /*for_write=*/true, deadline) == Readiness::failed) return false;
  }
  return true;
}

// One non-blocking connection to 127.0.0.1:port, or nothing by `deadline`.
UniqueSocket ConnectOnce(uint16_t port, Clock::time_point deadline) {
  UniqueSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!s.valid()) return {};
  u_long non_blocking = 1;
  if (::ioctlsocket(s.get(), FIONBIO, &non_blocking) != 0) return {};
  // Commands are single small writes spaced apart; Nagle would hold the second
  // back until the first is acknowledged.
  const BOOL no_delay = TRUE;
  ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
               sizeof(no_delay));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = ::htons(port);
  to.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0) return s;
  if (::WSAGetLastError() != WSAEWOULDBLOCK) return {};
  if (WaitReady(s.get(), /*for_write=*/true, deadline) != Readiness::ready) return {};
  int error = 0;
  int len = sizeof(error);
  if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0 ||
      error != 0) {
    return {};
  }
  return s;
}

std::optional<uint16_t> LocalPort(SOCKET s) {
  sockaddr_in local{};
  int len = sizeof(local);
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) != 0) return std::nullopt;
  return ::ntohs(local.sin_port);
}

enum class ReadResult : uint8_t { line, timed_out, closed, overflow };

// The next line from `received`, receiving into it as needed until `until`.
// End of stream and every socket error other than "not ready yet" are closed.
ReadResult ReadLine(SOCKET s, LineAssembler& received, Clock::time_point until, std::string& line) {
  for (;;) {
    if (auto next = received.TakeLine()) {
      line = std::move(*next);
      return ReadResult::line;
    }
    if (received.Overflowed()) return ReadResult::overflow;
    if (Clock::now() >= until) return ReadResult::timed_out;
    const Readiness ready = WaitReady(s, /*for_write=*/false, until);
    if (ready == Readiness::failed) return ReadResult::closed;
    if (ready == Readiness::timed_out) continue;
    char buffer[1024];
    const int n = ::recv(s, buffer, sizeof(buffer), 0);
    if (n == 0) return ReadResult::closed;
    if (n < 0) {
      if (::WSAGetLastError() == WSAEWOULDBLOCK) continue;
      return ReadResult::closed;
    }
    received.Append(std::string_view(buffer, static_cast<size_t>(n)));
  }
}

}  // namespace

std::optional<std::vector<TcpOwnerRow>> ReadSystemTcpOwnerTable() {
  std::vector<DWORD> buffer;  // DWORD elements keep the table aligned
  DWORD size = 0;
  for (int attempt = 0;; ++attempt) {
    const DWORD r = ::GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE,
                                          AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
    if (r == NO_ERROR && !buffer.empty()) break;
    if ((r != ERROR_INSUFFICIENT_BUFFER && r != NO_ERROR) || attempt == 4) return std::nullopt;
    buffer.assign(size / sizeof(DWORD) + 256, 0);  // room for connections made meanwhile
    size = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
  }
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  const MIB_TCPROW_OWNER_PID* row = &table->table[0];
  std::vector<TcpOwnerRow> rows;
  rows.reserve(table->dwNumEntries);
  for (DWORD i = 0; i < table->dwNumEntries; ++i, ++row) {
    rows.push_back({::ntohl(row->dwLocalAddr), ::ntohs(static_cast<u_short>(row->dwLocalPort)),
                    ::ntohl(row->dwRemoteAddr), ::ntohs(static_cast<u_short>(row->dwRemotePort)),
                    row->dwOwningPid});
  }
  return rows;
}

OpenVpnManagementClient::OpenVpnManagementClient(TcpOwnerTableReader read_table)
    : read_table_(std::move(read_table)) {}

OpenVpnManagementClient::~OpenVpnManagementClient() {
  Close();
  std::lock_guard<std::mutex> lock(mu_);
  // Only reachable when destroyed from its own callback, which the header forbids.
  if (orphan_.joinable()) orphan_.detach();
}

ManagementConnectOutcome OpenVpnManagementClient::Connect(uint16_t port,
                                                          std::span<const uint8_t> password,
                                                          uint32_t timeout_ms,
                                                          uint32_t expected_peer_pid,
                                                          ManagementCallbacks callbacks) {
  if (!StartWinsock()) return ManagementConnectOutcome::failed;
  Close();
  auto stop = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = stop;
  }
  const auto deadline = Clock::now() + milliseconds(timeout_ms);

  UniqueSocket s;
  for (;;) {
    s = ConnectOnce(port, deadline);
    if (s.valid()) break;
    if (Clock::now() >= deadline || stop->load()) return ManagementConnectOutcome::failed;
    std::this_thread::sleep_for(std::min<Clock::duration>(kConnectRetry, deadline - Clock::now()));
  }

  // The listening end must be the process we started before it sees a byte.
  const std::optional<uint16_t> our_port = LocalPort(s.get());
  if (!our_port) return ManagementConnectOutcome::failed;
  PeerOwnerVerdict verdict = PeerOwnerVerdict::untrusted;
  for (int attempt = 0; attempt < 3; ++attempt) {
    // The listener's end of a fresh loopback connection can lag ours by a moment.
    if (attempt > 0) std::this_thread::sleep_for(milliseconds(20));
    const auto rows = read_table_ ? read_table_() : std::nullopt;
    if (!rows) {
      Warn("cannot read the TCP connection table; the management password was not sent");
      return ManagementConnectOutcome::failed;
    }
    verdict =
        JudgeManagementPeer(*rows, *our_port, port, ::GetCurrentProcessId(), expected_peer_pid);
    if (verdict != PeerOwnerVerdict::untrusted) break;
  }
  if (verdict == PeerOwnerVerdict::untrusted) {
    Warn("the management port's listener is not openvpn.exe (pid=" + Decimal(expected_peer_pid) +
         "); nothing was sent");
    ::shutdown(s.get(), SD_BOTH);
    return ManagementConnectOutcome::peer_untrusted;
  }
  if (verdict == PeerOwnerVerdict::undecidable) {
    Warn(
        "the platform reports no TCP connection owners, not even for our own end; the "
        "management listener's owner cannot be checked");
  }

  LineAssembler received;
  const ManagementConnectOutcome outcome =
      Authenticate(s.get(), received, password, deadline, *stop);
  if (outcome != ManagementConnectOutcome::connected) {
    ::shutdown(s.get(), SD_BOTH);
    return outcome;
  }

  std::lock_guard<std::mutex> lock(mu_);
  if (stop->load()) {  // closed while authenticating
    ::shutdown(s.get(), SD_BOTH);
    return ManagementConnectOutcome::failed;
  }
  last_send_.reset();
  connected_ = true;
  const SOCKET raw = s.get();
  try {
    reader_ = std::thread([this, raw, stop, received = std::move(received),
                           callbacks = std::move(callbacks)]() mutable {
      ReaderLoop(raw, received, *stop, callbacks);
    });
  } catch (const std::system_error&) {
    connected_ = false;
    ::shutdown(raw, SD_BOTH);
    return ManagementConnectOutcome::failed;
  }
  socket_ = s.release();
  return ManagementConnectOutcome::connected;
}

ManagementConnectOutcome OpenVpnManagementClient::Authenticate(SOCKET s, LineAssembler& received,
                                                               std::span<const uint8_t> password,
                                                               Clock::time_point deadline,
                                                               const std::atomic<bool>& stop) {
  if (!WaitForPrompt(s, received, deadline, stop)) return ManagementConnectOutcome::failed;
  std::optional<common::SecretBuffer> line = ManagementPasswordLine(password);
  if (!line) return ManagementConnectOutcome::failed;
  const bool sent = SendAll(s, line->span(), deadline);
  line.reset();  // wiped
  if (!sent) {
    Warn("failed to send the management password");
    return ManagementConnectOutcome::failed;
  }
  std::string reply;
  ReadResult r = ReadResult::timed_out;
  while (!stop.load()) {
    r = ReadLine(s, received, std::min(deadline, Clock::now() + kAuthSlice), reply);
    if (r != ReadResult::timed_out || Clock::now() >= deadline) break;
  }
  if (r != ReadResult::line) {
    Warn("no auth result line before timeout; leftover pre-auth bytes=" + Decimal(received.size()) +
         " preview=[" + PreviewBytes(received.buffered()) + "]");
    return ManagementConnectOutcome::failed;
  }
  switch (ClassifyManagementLine(reply).kind) {
    case LineKind::success:
      return ManagementConnectOutcome::connected;
    case LineKind::error:
      return ManagementConnectOutcome::password_rejected;
    default:
      Warn("unexpected management-auth reply=[" + PreviewBytes(reply) + "]");
      return ManagementConnectOutcome::failed;
  }
}

bool OpenVpnManagementClient::WaitForPrompt(SOCKET s, LineAssembler& received,
                                            Clock::time_point deadline,
                                            const std::atomic<bool>& stop) {
  for (;;) {
    if (received.TakeThrough(kPrompt)) return true;
    if (received.size() > kPromptBound) {
      Warn("pre-auth bound exceeded; bytes=" + Decimal(received.size()) + " preview=[" +
           PreviewBytes(received.buffered()) + "]");
      return false;
    }
    if (stop.load()) return false;
    if (Clock::now() >= deadline) {
      Warn("ENTER PASSWORD: not seen before timeout; pre-auth bytes=" + Decimal(received.size()) +
           " preview=[" + PreviewBytes(received.buffered()) + "]");
      return false;
    }
    const Readiness ready =
        WaitReady(s, /*for_write=*/false, std::min(deadline, Clock::now() + kAuthSlice));
    if (ready == Readiness::failed) return false;
    if (ready == Readiness::timed_out) continue;
    char buffer[kPromptBound];
    const int n = ::recv(s, buffer, sizeof(buffer), 0);
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) continue;
    if (n <= 0 || received.size() + static_cast<size_t>(n) > kPreAuthCeiling) return false;
    received.Append(std::string_view(buffer, static_cast<size_t>(n)));
  }
}

void OpenVpnManagementClient::ReaderLoop(SOCKET s, LineAssembler& received,
                                         const std::atomic<bool>& stop,
                                         ManagementCallbacks& callbacks) {
  try {
    while (!stop.load()) {
      std::string line;
      const ReadResult r = ReadLine(s, received, Clock::now() + kReaderSlice, line);
      if (r == ReadResult::timed_out) continue;
      if (r != ReadResult::line) break;  // closed, or a malformed overlong line
      const ParsedLine p = ClassifyManagementLine(line);
      if (p.kind == LineKind::password_prompt && p.prompt == PasswordPromptKind::unrecognised &&
          line.size() > 14 && line.starts_with(">PASSWORD:Need ")) {
        Warn("unrecognised >PASSWORD prompt wording=[" +
             PreviewBytes(std::string_view(line).substr(10), 48) + "]");
      }
      bool malformed = false;
      switch (p.kind) {
        case LineKind::state:
          if (callbacks.state) callbacks.state(p.state);
          break;
        case LineKind::byte_count:
          if (callbacks.byte_counts) callbacks.byte_counts(p.bytes_in, p.bytes_out);
          break;
        case LineKind::hold:
          if (callbacks.hold) callbacks.hold();
          break;
        case LineKind::password_prompt:
          if (callbacks.password_prompt) callbacks.password_prompt(p.prompt);
          break;
        case LineKind::fatal:
        case LineKind::auth_verification_failed:
          if (callbacks.fatal) callbacks.fatal(p.auth_failed);
          break;
        case LineKind::malformed:
          malformed = true;
          break;
        default:
          break;
      }
      if (malformed) break;
    }
  } catch (...) {
    Warn("a management callback failed; the reader stops");
  }
  connected_ = false;
  try {
    if (callbacks.closed) callbacks.closed();
  } catch (...) {
    Warn("the closed callback failed");
  }
}

bool OpenVpnManagementClient::SendBytes(std::span<const uint8_t> bytes) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (socket_ == INVALID_SOCKET) return false;
    if (last_send_) {
      const auto due = *last_send_ + kCommandSpacing;
      if (Clock::now() < due) std::this_thread::sleep_until(due);
    }
    const bool sent = SendAll(socket_, bytes, Clock::now() + kCommandSendBudget);
    last_send_ = Clock::now();
    if (sent) return true;
  }
  Warn("command send FAILED, first word='" +
       CommandFirstWordPreview(
           std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())) +
       "'");
  return false;
}

bool OpenVpnManagementClient::SendCommand(std::string_view command) {
  return SendBytes({reinterpret_cast<const uint8_t*>(command.data()), command.size()});
}

CredentialSendOutcome OpenVpnManagementClient::SendCredential(CredentialKind kind,
                                                              std::span<const uint8_t> value) {
  std::optional<common::SecretBuffer> command = CredentialCommand(kind, value);
  if (!command) return CredentialSendOutcome::refused;
  return SendBytes(command->span()) ? CredentialSendOutcome::sent
                                    : CredentialSendOutcome::send_failed;
}

void OpenVpnManagementClient::Close() {
  SOCKET s = INVALID_SOCKET;
  std::thread reader;
  bool on_reader = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_) stop_->store(true);
    s = std::exchange(socket_, INVALID_SOCKET);
    if (reader_.joinable() && reader_.get_id() == std::this_thread::get_id()) {
      // A callback closing its own connection: the reader cannot join itself,
      // so the next Close, Connect or the destructor joins it.
      on_reader = true;
      orphan_ = std::move(reader_);
    } else {
      reader = std::move(reader_);
    }
  }
  if (s != INVALID_SOCKET) ::shutdown(s, SD_BOTH);
  if (reader.joinable()) reader.join();
  // The reader is gone (or is this thread, which leaves its loop on the stop
  // request without touching the socket again), so the handle can go.
  if (s != INVALID_SOCKET) ::closesocket(s);
  connected_ = false;
  if (!on_reader) JoinOrphanedReader();
}

void OpenVpnManagementClient::JoinOrphanedReader() {
  std::thread orphan;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!orphan_.joinable() || orphan_.get_id() == std::this_thread::get_id()) return;
    orphan = std::move(orphan_);
  }
  orphan.join();
}

}  // namespace tovra::agent::openvpn
