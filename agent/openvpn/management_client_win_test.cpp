// The management client against a scripted management interface on loopback:
// an in-process listener thread that plays OpenVPN's side from a script.
#include "agent/openvpn/management_client_win.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wait_until.h"
#include "tests/support/bytes.h"

namespace tovra::agent::openvpn {
namespace {

using tovra::testing::AsBytes;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using tovra::testing::WaitUntil;

constexpr uint32_t kOpenVpnPid = 4242;
constexpr std::string_view kManagementPassword = "mgmt \"pass\"";

// OpenVPN's side of one connection. The script runs on the peer's thread once a
// client connected; everything the client sent is kept with its arrival time.
class ScriptedPeer {
 public:
  class Conn {
   public:
    explicit Conn(ScriptedPeer& peer, SOCKET s) : peer_(peer), s_(s) {}
    void Send(std::string_view bytes) {
      ::send(s_, bytes.data(), static_cast<int>(bytes.size()), 0);
    }
    // Receives until `text` has arrived (true) or the client closed or 5 s passed.
    bool WaitFor(std::string_view text) {
      const auto deadline = Clock::now() + milliseconds(5000);
      while (peer_.Received().find(text) == std::string::npos) {
        if (Clock::now() >= deadline || !ReceiveOnce(deadline)) return false;
      }
      return true;
    }
    // True when the client ended the connection within 5 s.
    bool WaitClosed() {
      const auto deadline = Clock::now() + milliseconds(5000);
      while (Clock::now() < deadline) {
        if (!ReceiveOnce(deadline)) return true;
      }
      return false;
    }

   private:
    bool ReceiveOnce(Clock::time_point deadline) {
      fd_set r;
      FD_ZERO(&r);
      FD_SET(s_, &r);
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      const long ms = static_cast<long>(std::max<int64_t>(left, 1));
      timeval tv{ms / 1000, (ms % 1000) * 1000};
      if (::select(0, &r, nullptr, nullptr, &tv) <= 0) return true;
      char buffer[512];
      const int n = ::recv(s_, buffer, sizeof(buffer), 0);
      if (n <= 0) return false;
      std::lock_guard<std::mutex> lock(peer_.mu_);
      peer_.received_.append(buffer, static_cast<size_t>(n));
      peer_.arrivals_.emplace_back(peer_.received_.size(), Clock::now());
      return true;
    }
    ScriptedPeer& peer_;
    SOCKET s_;
  };

  explicit ScriptedPeer(std::function<void(Conn&)> script) {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(listener_, 1);
    int len = sizeof(a);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ::ntohs(a.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
      fd_set r;
      FD_ZERO(&r);
      FD_SET(listener_, &r);
      timeval tv{10, 0};
      if (::select(0, &r, nullptr, nullptr, &tv) <= 0) return;
      sockaddr_in from{};
      int from_len = sizeof(from);
      SOCKET s = ::accept(listener_, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (s == INVALID_SOCKET) return;
      const BOOL no_delay = TRUE;
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
                   sizeof(no_delay));
      client_port_ = ::ntohs(from.sin_port);
      Conn conn(*this, s);
      script(conn);
      ::closesocket(s);
    });
  }
  ~ScriptedPeer() {
    Join();
    ::closesocket(listener_);
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  uint16_t port() const { return port_; }
  std::string Received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  // When the byte at `offset` of everything received arrived.
  Clock::time_point ArrivalOf(size_t offset) {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [end, at] : arrivals_) {
      if (offset < end) return at;
    }
    return Clock::time_point::max();
  }
  // The TCP table as Windows shows it: both ends, with `server_pid` on the listener's.
  TcpOwnerTableReader Table(uint32_t our_pid, uint32_t server_pid) {
    return [this, our_pid, server_pid]() -> std::optional<std::vector<TcpOwnerRow>> {
      if (!WaitUntil([&] { return client_port_.load() != 0; }, milliseconds(5000))) return {};
      const uint32_t lo = 0x7F000001u;
      const uint16_t c = client_port_.load();
      return std::vector<TcpOwnerRow>{{lo, c, lo, port_, our_pid}, {lo, port_, lo, c, server_pid}};
    };
  }

 private:
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::atomic<uint16_t> client_port_{0};
  std::thread thread_;
  std::mutex mu_;
  std::string received_;
  std::vector<std::pair<size_t, Clock::time_point>> arrivals_;
};

// Standard error of this process while it lives, where the log's lines go.
class StderrCapture {
 public:
  StderrCapture() {
    ::CreatePipe(&read_, &write_, nullptr, 0);
    previous_ = ::GetStdHandle(STD_ERROR_HANDLE);
    ::SetStdHandle(STD_ERROR_HANDLE, write_);
    drain_ = std::thread([this] {
      char buffer[1024];
      DWORD n = 0;
      while (::ReadFile(read_, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        std::lock_guard<std::mutex> lock(mu_);
        text_.append(buffer, n);
      }
    });
  }
  ~StderrCapture() { Stop(); }
  std::string Stop() {
    if (drain_.joinable()) {
      ::SetStdHandle(STD_ERROR_HANDLE, previous_);
      ::CloseHandle(write_);
      drain_.join();
      ::CloseHandle(read_);
    }
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
  }

 private:
  HANDLE read_ = nullptr, write_ = nullptr, previous_ = nullptr;
  std::thread drain_;
  std::mutex mu_;
  std::string text_;
};

// What the callbacks saw, in order.
struct Events {
  std::mutex mu;
  std::vector<std::string> seen;
  std::atomic<int> closed{0};
  void Add(std::string e) {
    std::lock_guard<std::mutex> lock(mu);
    seen.push_back(std::move(e));
  }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mu);
    return seen;
  }
  ManagementCallbacks Callbacks() {
    ManagementCallbacks c;
    c.state = [this](ManagementState s) { Add("state " + std::to_string(static_cast<int>(s))); };
    c.byte_counts = [this](uint64_t in, uint64_t out) {
      Add("bytes " + std::to_string(in) + " " + std::to_string(out));
    };
    c.hold = [this] { Add("hold"); };
    c.password_prompt = [this](PasswordPromptKind k) {
      Add("prompt " + std::to_string(static_cast<int>(k)));
    };
    c.fatal = [this](bool auth) { Add(auth ? "fatal auth" : "fatal"); };
    c.closed = [this] { ++closed; };
    return c;
  }
};

// Prompt, password, SUCCESS: the start of every connected script.
void Authenticate(ScriptedPeer::Conn& c) {
  c.Send("ENTER PASSWORD:");
  if (c.WaitFor(std::string(kManagementPassword) + "\n"))
    c.Send("SUCCESS: password is correct\r\n");
}

TEST(ManagementClient, SuccessPathDeliversCallbacksAndSpacesCommands) {
  Events events;
  std::atomic<bool> script_ok{false};
  ScriptedPeer peer([&](ScriptedPeer::Conn& c) {
    // The prompt in two segments; the reply rides in the second, after the prompt.
    c.Send("ENTER PASS");
    // A pause on the wire is what makes the second half its own segment.
    std::this_thread::sleep_for(milliseconds(30));
    c.Send("WORD:SUCCESS: password is correct\r\n");
    if (!c.WaitFor(std::string(kManagementPassword) + "\n")) return;
    c.Send(">INFO:OpenVPN Management Interface Version 5\r\n>HOLD:Waiting for hold release:0\r\n");
    if (!c.WaitFor("hold release\n")) return;
    c.Send(">PASSWORD:Need 'Auth' username/password\r\n");
    if (!c.WaitFor("password \"Auth\" \"p\\\"w\\\\d\"\n")) return;
    c.Send(
        ">STATE:1700000001,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,127.0.0.1,50000,\r\n"
        ">BYTECOUNT:12,34\r\n"
        ">PASSWORD:Need 'Other' thing\r\n"
        ">PASSWORD:Verification Failed: 'Auth' ['expired']\r\n");
    if (!c.WaitFor("bytecount 1\n")) return;
    script_ok = true;
  });

  OpenVpnManagementClient client(peer.Table(::GetCurrentProcessId(), kOpenVpnPid));
  ManagementCallbacks callbacks = events.Callbacks();
  callbacks.hold = [&] {
    events.Add("hold");
    client.SendCommand("hold release\n");
  };
  callbacks.password_prompt = [&](PasswordPromptKind k) {
    events.Add("prompt " + std::to_string(static_cast<int>(k)));
    if (k != PasswordPromptKind::username_and_password) return;
    EXPECT_EQ(client.SendCredential(CredentialKind::username, AsBytes("user")),
              CredentialSendOutcome::sent);
    EXPECT_EQ(client.SendCredential(CredentialKind::password, AsBytes("p\"w\\d")),
              CredentialSendOutcome::sent);
    EXPECT_EQ(client.SendCredential(CredentialKind::password, AsBytes("bad\n")),
              CredentialSendOutcome::refused);
  };
  StderrCapture log;
  ASSERT_EQ(client.Connect(peer.port(), AsBytes(kManagementPassword), 5000, kOpenVpnPid,
                           std::move(callbacks)),
            ManagementConnectOutcome::connected);
  EXPECT_TRUE(client.IsConnected());
  ASSERT_TRUE(WaitUntil([&] { return events.Seen().size() >= 6; }, milliseconds(5000)));
  const auto before = peer.Received().size();
  EXPECT_TRUE(client.SendCommand("state on\n"));
  EXPECT_TRUE(client.SendCommand("bytecount 1\n"));
  peer.Join();
  EXPECT_TRUE(script_ok);

  EXPECT_EQ(events.Seen(), (std::vector<std::string>{"hold", "prompt 2", "state 10", "bytes 12 34",
                                                     "prompt 0", "fatal auth"}))
      << "and nothing else";
  // The peer closed its end: the reader ends, once.
  EXPECT_TRUE(WaitUntil([&] { return events.closed == 1; }, milliseconds(5000)));
  EXPECT_FALSE(client.IsConnected());
  const std::string received = peer.Received();
  EXPECT_EQ(received,
            std::string(kManagementPassword) +
                "\nhold release\nusername \"Auth\" \"user\"\npassword \"Auth\" \"p\\\"w\\\\d\"\n"
                "state on\nbytecount 1\n");
  // Back to back on the caller's side, 60 ms apart on the wire (less the
  // receiving side's own scheduling delay for the first of the two).
  const auto gap = peer.ArrivalOf(received.size() - 1) - peer.ArrivalOf(before);
  EXPECT_GE(std::chrono::duration_cast<milliseconds>(gap).count(), 50);
  client.Close();
  EXPECT_EQ(events.closed, 1);
  const std::string lines = log.Stop();
  EXPECT_NE(lines.find("openvpn_management_client: unrecognised >PASSWORD prompt wording=[Need "
                       "'Other' thing]"),
            std::string::npos);
  EXPECT_EQ(lines.find("p\\\"w"), std::string::npos);
  EXPECT_EQ(lines.find("no TCP connection owners"), std::string::npos);
}

TEST(ManagementClient, AuthenticationFailuresAndPreAuthBounds) {
  struct Case {
    const char* what;
    std::function<void(ScriptedPeer::Conn&)> script;
    ManagementConnectOutcome outcome;
    const char* log;  // expected in the log, or nullptr for no line at all
    bool peer_gets_password;
  };
  const Case cases[] = {
      {"ERROR: reply",
       [](ScriptedPeer::Conn& c) {
         c.Send("ENTER PASSWORD:");
         if (c.WaitFor("\n")) c.Send("ERROR: bad password\r\n");
       },
       ManagementConnectOutcome::password_rejected, nullptr, true},
      {"300-byte banner",
       [](ScriptedPeer::Conn& c) {
         c.Send(std::string(300, 'b'));
         (void)c.WaitClosed();
       },
       ManagementConnectOutcome::failed,
       "openvpn_management_client: pre-auth bound exceeded; bytes=", false},
      {"unexpected reply",
       [](ScriptedPeer::Conn& c) {
         c.Send("ENTER PASSWORD:");
         if (c.WaitFor("\n")) c.Send(">HOLD:Waiting for hold release:0\r\n");
       },
       ManagementConnectOutcome::failed,
       "openvpn_management_client: unexpected management-auth reply=[>HOLD:Waiting", true},
      {"closed after the prompt",
       [](ScriptedPeer::Conn& c) {
         c.Send("ENTER PASSWORD:");
         (void)c.WaitFor("\n");
       },
       ManagementConnectOutcome::failed,
       "openvpn_management_client: no auth result line before timeout; leftover pre-auth bytes=0",
       true},
      {"untrusted listener",
       [](ScriptedPeer::Conn& c) {
         c.Send("ENTER PASSWORD:");
         (void)c.WaitClosed();
       },
       ManagementConnectOutcome::peer_untrusted,
       "openvpn_management_client: the management port's listener is not", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer(c.script);
    const bool untrusted = c.outcome == ManagementConnectOutcome::peer_untrusted;
    OpenVpnManagementClient client(
        peer.Table(::GetCurrentProcessId(), untrusted ? kOpenVpnPid + 1 : kOpenVpnPid));
    Events events;
    StderrCapture log;
    EXPECT_EQ(client.Connect(peer.port(), AsBytes(kManagementPassword), 3000, kOpenVpnPid,
                             events.Callbacks()),
              c.outcome);
    EXPECT_FALSE(client.IsConnected());
    peer.Join();
    const std::string lines = log.Stop();
    if (c.log == nullptr) {
      EXPECT_EQ(lines, "");
    } else {
      EXPECT_NE(lines.find(c.log), std::string::npos) << lines;
    }
    EXPECT_EQ(lines.find("\"pass\""), std::string::npos);
    EXPECT_EQ(peer.Received(), c.peer_gets_password ? std::string(kManagementPassword) + "\n" : "");
    EXPECT_EQ(events.closed, 0);  // no reader was started
  }
}

TEST(ManagementClient, PlatformWithoutOwnersWarnsAndGoesOn) {
  ScriptedPeer peer([](ScriptedPeer::Conn& c) {
    Authenticate(c);
    (void)c.WaitClosed();
  });
  OpenVpnManagementClient client(peer.Table(0, 0));  // every row owner 0, as Wine shows
  Events events;
  StderrCapture log;
  EXPECT_EQ(client.Connect(peer.port(), AsBytes(kManagementPassword), 5000, kOpenVpnPid,
                           events.Callbacks()),
            ManagementConnectOutcome::connected);
  client.Close();
  peer.Join();
  EXPECT_NE(log.Stop().find("openvpn_management_client: the platform reports no TCP connection "
                            "owners"),
            std::string::npos);
  EXPECT_EQ(events.closed, 1);
}

TEST(ManagementClient, ReaderEndsOnceOnLossOrMalformedInput) {
  const char* const endings[] = {
      "",                      // the peer just closes
      ">BYTECOUNT:12\r\n",     // malformed: one field
      ">BYTECOUNT:1,2,3\r\n",  // malformed: three fields
      nullptr,                 // 5000 bytes without a line end
  };
  for (const char* ending : endings) {
    SCOPED_TRACE(ending ? ending : "overlong");
    ScriptedPeer peer([&](ScriptedPeer::Conn& c) {
      Authenticate(c);
      c.Send(ending ? std::string(ending) : std::string(5000, 'z'));
      // Malformed input with the connection still open: the client must end it.
      if (ending == nullptr || *ending != '\0') {
        EXPECT_TRUE(c.WaitClosed());
      }
    });
    OpenVpnManagementClient client(peer.Table(::GetCurrentProcessId(), kOpenVpnPid));
    Events events;
    ASSERT_EQ(client.Connect(peer.port(), AsBytes(kManagementPassword), 5000, kOpenVpnPid,
                             events.Callbacks()),
              ManagementConnectOutcome::connected);
    EXPECT_TRUE(WaitUntil([&] { return events.closed.load() == 1; }, milliseconds(5000)));
    EXPECT_FALSE(client.IsConnected());
    client.Close();
    peer.Join();
    EXPECT_EQ(events.closed, 1);
    EXPECT_TRUE(events.Seen().empty());
  }
}

TEST(ManagementClient, CloseRacesAndCloseFromACallback) {
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    const bool from_callback = round % 2 == 1;
    ScriptedPeer peer([](ScriptedPeer::Conn& c) {
      Authenticate(c);
      c.Send(">HOLD:Waiting for hold release:0\r\n");
      EXPECT_TRUE(c.WaitClosed());
    });
    OpenVpnManagementClient client(peer.Table(::GetCurrentProcessId(), kOpenVpnPid));
    Events events;
    ManagementCallbacks callbacks = events.Callbacks();
    std::atomic<bool> held{false};
    callbacks.hold = [&] {
      if (from_callback) client.Close();
      held = true;
    };
    ASSERT_EQ(client.Connect(peer.port(), AsBytes(kManagementPassword), 5000, kOpenVpnPid,
                             std::move(callbacks)),
              ManagementConnectOutcome::connected);
    ASSERT_TRUE(WaitUntil([&] { return held.load(); }, milliseconds(5000)));
    std::thread other([&] { client.Close(); });
    client.Close();
    other.join();
    EXPECT_TRUE(WaitUntil([&] { return events.closed.load() == 1; }, milliseconds(5000)));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(client.SendCommand("state on\n"));
    peer.Join();
    EXPECT_EQ(events.closed, 1);
  }
}

}  // namespace
}  // namespace tovra::agent::openvpn
