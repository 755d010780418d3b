// zerka-service-request: sends the Service the requests only the Agent sends
// (profile staging and the OpenVPN activity report), for development and the demo.
// It checks the Service's pipe owner before anything leaves, as the Agent does.
//
//   zerka-service-request stage KEY FILE     stage the profile in FILE under KEY
//   zerka-service-request unstage PATH       remove a staged profile
//   zerka-service-request report ACTIVE PID  report OpenVPN active (1) or not (0)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <optional>
#include <string>

#include "common/base/secret_buffer.h"
#include "common/base/secure_zero.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_names.h"
#include "common/ipc/pipe_owner_win.h"
#include "common/security/caller_identity_win.h"
#include "common/text/text.h"

namespace {

using tovra::common::Bytes;

int Usage() {
  std::fputs("usage: zerka-service-request stage KEY FILE | unstage PATH | report ACTIVE PID\n",
             stderr);
  return 2;
}

std::optional<uint32_t> Number(const wchar_t* text) {
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (end == text || *end != L'\0' || value > 0xFFFFFFFFul) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// Connects, checks the owner, says hello and exchanges one request.
std::optional<Bytes> Ask(uint16_t type, std::span<const uint8_t> payload) {
  tovra::common::ConnectOptions options;
  // The Service serves one client at a time and re-creates its pipe between
  // clients: a pipe that is busy or briefly absent is tried again, for about 10 s.
  options.attempts = 40;
  options.busy_wait_ms = 250;
  options.on_absent = [] {
    ::Sleep(250);
    return true;
  };
  auto connected = tovra::common::ConnectToServer(tovra::common::kServicePipeRole,
                                                  tovra::common::GetProcessSessionId(), options);
  if (connected.error != tovra::common::Status::ok) {
    std::fputs("zerka-service-request: the Service's pipe is not there\n", stderr);
    return std::nullopt;
  }
  if (!tovra::common::IsTrustedServerPipe(connected.pipe.get()).trusted) {
    std::fputs("zerka-service-request: the pipe's owner is not trusted; nothing sent\n", stderr);
    return std::nullopt;
  }
  if (!tovra::common::ExchangeRequest(connected.pipe.get(), 1, 1, {}, 15000)) return std::nullopt;
  auto reply = tovra::common::ExchangeRequest(connected.pipe.get(), type, 2, payload, 15000);
  if (!reply) {
    std::fputs("zerka-service-request: no reply\n", stderr);
    return std::nullopt;
  }
  return std::move(reply->payload);
}

int Stage(uint32_t key, const wchar_t* file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Usage();
  // The profile may hold keys: it goes straight into wiped storage.
  tovra::common::SecretBuffer profile;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    profile.append(chunk, static_cast<size_t>(in.gcount()));
  }
  tovra::common::SecureZero(chunk, sizeof chunk);
  tovra::common::SecretPayloadWriter writer;
  writer.Reserve(4 + tovra::common::WireStringSize(profile.view()));
  writer.WriteU32(key);
  if (!writer.WriteString(profile.view())) return Usage();
  const auto reply = Ask(12, writer.bytes());
  if (!reply) return 1;
  tovra::common::PayloadReader r(*reply);
  uint16_t status = 0xFFFF, result = 0xFFFF;
  std::string path;
  if (!r.ReadU16(status) || status != 0) {
    std::printf("status %u\n", status);
    return 1;
  }
  r.ReadString(path);
  r.ReadU16(result);
  std::printf("stage_result %u%s%s\n", result, path.empty() ? "" : " staged_path ", path.c_str());
  return result == 0 ? 0 : 1;
}

int Unstage(const wchar_t* path) {
  tovra::common::PayloadWriter writer;
  if (!writer.WriteString(tovra::common::WideToUtf8(path))) return Usage();
  const auto reply = Ask(13, writer.bytes());
  if (!reply) return 1;
  tovra::common::PayloadReader r(*reply);
  uint16_t status = 0xFFFF;
  bool removed = false;
  if (!r.ReadU16(status) || status != 0 || !r.ReadBool(removed)) return 1;
  std::printf("removed %s\n", removed ? "yes" : "no");
  return removed ? 0 : 1;
}

int Report(uint32_t active, uint32_t pid) {
  tovra::common::PayloadWriter writer;
  writer.WriteBool(active != 0);
  writer.WriteU32(0);
  writer.WriteU32(pid);
  const auto reply = Ask(14, writer.bytes());
  if (!reply) return 1;
  tovra::common::PayloadReader r(*reply);
  uint16_t status = 0xFFFF;
  r.ReadU16(status);
  std::printf("status %u\n", status);
  return status == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  if (command == L"stage" && argc == 4) {
    const auto key = Number(argv[2]);
    return key ? Stage(*key, argv[3]) : Usage();
  }
  if (command == L"unstage" && argc == 3) return Unstage(argv[2]);
  if (command == L"report" && argc == 4) {
    const auto active = Number(argv[2]);
    const auto pid = Number(argv[3]);
    return active && pid ? Report(*active, *pid) : Usage();
  }
  return Usage();
}
