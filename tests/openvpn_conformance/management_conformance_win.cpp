// Drives a real OpenVPN client's management interface with the Agent's
// management client, under Wine, for run_conformance.sh.
//   management_conformance <port> <success|wrong> <management password file>
//                          <username file> <password file>
// Secrets come from files so no shell or command line has to quote them. Prints
// one line per event; exit 0 when the scenario went as OpenVPN documents it,
// 1 when it did not, 2 on bad arguments.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "agent/openvpn/management_client_win.h"

namespace {

using namespace tovra::agent::openvpn;
using tovra::common::SecretBuffer;

// A file's bytes without a trailing line end.
SecretBuffer ReadSecret(const wchar_t* path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return SecretBuffer::Absorb(text);
}

struct Observed {
  std::mutex mu;
  std::condition_variable changed;
  bool connected = false;
  bool byte_count = false;
  bool auth_failed = false;
  bool closed = false;
  bool credentials_failed = false;
  void Set(bool Observed::*flag) {
    {
      std::lock_guard<std::mutex> lock(mu);
      this->*flag = true;
    }
    changed.notify_all();
  }
  template <typename Pred>
  bool Wait(std::chrono::seconds timeout, Pred pred) {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, timeout, [&] { return pred(*this); });
  }
};

void Say(const char* format, unsigned long long a = 0, unsigned long long b = 0) {
  std::printf(format, a, b);
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) return 2;
  const auto port = static_cast<uint16_t>(_wtoi(argv[1]));
  const bool expect_success = std::wstring(argv[2]) == L"success";
  const SecretBuffer management_password = ReadSecret(argv[3]);
  const SecretBuffer username = ReadSecret(argv[4]);
  const SecretBuffer password = ReadSecret(argv[5]);

  OpenVpnManagementClient client;  // the system's TCP table
  Observed seen;
  ManagementCallbacks callbacks;
  callbacks.hold = [&] {
    Say("hold");
    const bool ok = client.SendCommand("state on\n") && client.SendCommand(ByteCountCommand(1)) &&
                    client.SendCommand("hold release\n");
    if (!ok) seen.Set(&Observed::credentials_failed);
  };
  callbacks.password_prompt = [&](PasswordPromptKind kind) {
    Say("password prompt %llu", static_cast<unsigned long long>(kind));
    if (kind != PasswordPromptKind::username_and_password ||
        client.SendCredential(CredentialKind::username, username.span()) !=
            CredentialSendOutcome::sent ||
        client.SendCredential(CredentialKind::password, password.span()) !=
            CredentialSendOutcome::sent) {
      seen.Set(&Observed::credentials_failed);
    }
  };
  callbacks.state = [&](ManagementState state) {
    Say("state %llu", static_cast<unsigned long long>(state));
    if (state == ManagementState::connected) seen.Set(&Observed::connected);
  };
  callbacks.byte_counts = [&](uint64_t in, uint64_t out) {
    Say("bytecount %llu %llu", in, out);
    seen.Set(&Observed::byte_count);
  };
  callbacks.fatal = [&](bool auth_failed) {
    Say("fatal auth_failed=%llu", auth_failed ? 1 : 0);
    if (auth_failed) seen.Set(&Observed::auth_failed);
  };
  callbacks.closed = [&] {
    Say("closed");
    seen.Set(&Observed::closed);
  };

  const ManagementConnectOutcome outcome = client.Connect(
      port, management_password.span(), 15000, /*expected_peer_pid=*/0, std::move(callbacks));
  Say("connect outcome %llu", static_cast<unsigned long long>(outcome));
  if (outcome != ManagementConnectOutcome::connected) return 1;

  bool ok = false;
  if (expect_success) {
    ok = seen.Wait(std::chrono::seconds(30), [](const Observed& o) {
      return (o.connected && o.byte_count) || o.closed || o.auth_failed || o.credentials_failed;
    });
    ok = ok && seen.connected && seen.byte_count && !seen.auth_failed && !seen.credentials_failed;
    if (ok) {
      ok = client.SendCommand("signal SIGTERM\n") &&
           seen.Wait(std::chrono::seconds(15), [](const Observed& o) { return o.closed; });
      Say(ok ? "closed after SIGTERM" : "no close after SIGTERM");
    }
  } else {
    ok = seen.Wait(std::chrono::seconds(30),
                   [](const Observed& o) { return o.auth_failed || o.connected || o.closed; });
    ok = ok && seen.auth_failed && !seen.connected;
  }
  client.Close();
  Say(ok ? "scenario passed" : "scenario FAILED");
  return ok ? 0 : 1;
}
