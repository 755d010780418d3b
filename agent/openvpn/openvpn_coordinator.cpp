#include "agent/openvpn/openvpn_coordinator.h"

#include <array>
#include <exception>
#include <utility>

#include "agent/openvpn/openvpn_command_line.h"
#include "common/base/secure_zero.h"
#include "common/log/log.h"
#include "common/openvpn/openvpn_profile_validator.h"

namespace tovra::agent::openvpn {
namespace {

using common::LogLevel;
using common::SecretBuffer;

constexpr std::string_view kAuthNoCache = "auth-nocache";

std::wstring WidenAscii(const SecretBuffer& text) {
  return std::wstring(text.begin(), text.end());
}

}  // namespace

// The username and password of one attempt. The reader thread answers prompts
// from them while the attempt runs; the attempt wipes them when it ends, and a
// prompt that comes later finds nothing to send.
struct OpenVpnCoordinator::Credentials {
  std::mutex lock;
  SecretBuffer username;
  SecretBuffer password;

  void Wipe() {
    std::lock_guard<std::mutex> hold(lock);
    username = SecretBuffer();
    password = SecretBuffer();
  }
};

ErrorKind ErrorForLaunchResult(int32_t launch_result) {
  switch (launch_result) {
    case 1:
      return ErrorKind::service_unavailable;
    case 2:
      return ErrorKind::launch_exchange_failed;
    case 3:
      return ErrorKind::not_permitted;
    case 4:
      return ErrorKind::rejected;
    default:
      return ErrorKind::no_port_or_launch;
  }
}

ErrorKind ErrorForStageResult(uint16_t stage_result) {
  switch (stage_result) {
    case 1:
      return ErrorKind::service_unavailable;
    case 2:
      return ErrorKind::not_permitted;
    case 3:
      return ErrorKind::rejected;
    default:
      return ErrorKind::internal;
  }
}

bool IsAcceptableCredential(std::span<const uint8_t> value) {
  if (value.empty() || value.size() > 255) return false;
  for (const uint8_t b : value) {
    if (b < 0x20 || b == 0x7F) return false;
  }
  return true;
}

OpenVpnCoordinator::OpenVpnCoordinator(CoordinatorSettings settings, CoordinatorParts parts)
    : settings_(settings), parts_(std::move(parts)) {
  const std::wstring dir = parts_.environment->StagingDirectory();
  if (!dir.empty()) parts_.environment->SweepStagingDirectory(dir);
  staging_dir_ = dir;
}

OpenVpnCoordinator::~OpenVpnCoordinator() {
  Stop();
  parts_.management->Close();
}

StartOutcome OpenVpnCoordinator::Start(StartRequest request) {
  StartOutcome out;
  SecretBuffer profile = tovra::openvpn::EnsureDirective(request.profile.view(), kAuthNoCache);
  request.profile = SecretBuffer();
  const tovra::openvpn::OpenVpnProfileCode code =
      tovra::openvpn::ValidateOpenVpnProfile(profile.view());
  if (code != tovra::openvpn::OpenVpnProfileCode::kAccepted) {
    out.refusal = code == tovra::openvpn::OpenVpnProfileCode::kNoValidProto
                      ? ErrorKind::profile_no_proto
                      : ErrorKind::invalid_request;
    return out;
  }
  if (!IsAcceptableCredential(request.username.span()) ||
      !IsAcceptableCredential(request.password.span())) {
    out.refusal = ErrorKind::invalid_request;
    return out;
  }

  std::lock_guard<std::mutex> threads(thread_lock_);
  if (attempt_thread_.joinable()) {
    bool active = false;
    {
      std::lock_guard<std::mutex> hold(status_lock_);
      active = status_.active;
    }
    if (active) {
      out.refusal = ErrorKind::already_active;
      return out;
    }
    attempt_thread_.join();
  }
  const uint32_t id = attempt_counter_.fetch_add(1) + 1;
  stop_flag_.store(false);
  {
    std::lock_guard<std::mutex> hold(status_lock_);
    status_ = {};
    status_.attempt_id = id;
    status_.active = true;
  }
  request.profile = std::move(profile);
  try {
    attempt_thread_ =
        std::thread([this, id, r = std::move(request)]() mutable { RunAttempt(id, std::move(r)); });
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> hold(status_lock_);
    if (Current(id)) {
      status_.active = false;
      status_.error_kind = ToWire(ErrorKind::internal);
    }
    return out;
  }
  out.started = true;
  out.attempt_id = id;
  return out;
}

void OpenVpnCoordinator::Stop() {
  stop_flag_.store(true);
  const uint32_t before = attempt_counter_.fetch_add(1);
  if (parts_.management->IsConnected()) {
    static_cast<void>(parts_.management->SendCommand("signal SIGTERM\n"));
  }
  StopProcess();
  parts_.management->Close();
  {
    std::lock_guard<std::mutex> hold(status_lock_);
    status_ = {};
    status_.attempt_id = before + 1;
  }
  std::lock_guard<std::mutex> threads(thread_lock_);
  if (attempt_thread_.joinable() && attempt_thread_.get_id() != std::this_thread::get_id()) {
    attempt_thread_.join();
  }
}

common::OpenVpnStatusRecord OpenVpnCoordinator::Snapshot() {
  std::lock_guard<std::mutex> hold(status_lock_);
  return status_;
}

uint32_t OpenVpnCoordinator::ReportedProcessId() {
  return parts_.process->process_id();
}

void OpenVpnCoordinator::StopProcess() {
  parts_.process->StopProcess(settings_.stop_wait_ms);
  std::wstring dir;
  {
    std::lock_guard<std::mutex> hold(status_lock_);
    dir = staging_dir_;
  }
  if (!dir.empty()) parts_.environment->DeleteStatusLog(dir);
}

void OpenVpnCoordinator::Unstage(std::wstring& staged_path) {
  if (staged_path.empty()) return;
  parts_.stager->Unstage(staged_path);
  staged_path.clear();
}

void OpenVpnCoordinator::EndAttempt(uint32_t attempt_id, std::wstring& staged_path,
                                    ErrorKind error) {
  // The error is recorded before the connection is closed, so the closed
  // notification that the close itself causes cannot stand in for it.
  if (error != ErrorKind::none) {
    std::lock_guard<std::mutex> hold(status_lock_);
    if (Current(attempt_id) && status_.error_kind == 0) status_.error_kind = ToWire(error);
  }
  Unstage(staged_path);
  StopProcess();
  parts_.management->Close();
  std::lock_guard<std::mutex> hold(status_lock_);
  if (Current(attempt_id)) status_.active = false;
}

ManagementCallbacks OpenVpnCoordinator::CallbacksFor(uint32_t id,
                                                     std::shared_ptr<Credentials> credentials) {
  ManagementCallbacks cb;
  cb.state = [this, id](ManagementState state) {
    std::lock_guard<std::mutex> hold(status_lock_);
    if (!Current(id)) return;
    status_.state = static_cast<uint8_t>(state);
    if (state == ManagementState::connected && status_.connected_since_ms == 0) {
      status_.connected_since_ms = parts_.environment->UnixMs();
    }
  };
  cb.byte_counts = [this, id](uint64_t in, uint64_t out) {
    std::lock_guard<std::mutex> hold(status_lock_);
    if (!Current(id)) return;
    status_.bytes_in = in;
    status_.bytes_out = out;
  };
  cb.hold = [this, id]() {
    if (!Current(id)) return;
    ManagementConnection& m = *parts_.management;
    static_cast<void>(m.SendCommand("state on\n"));
    static_cast<void>(
        m.SendCommand("bytecount " + std::to_string(settings_.bytecount_interval_s) + "\n"));
    static_cast<void>(m.SendCommand("hold release\n"));
  };
  cb.password_prompt = [this, id, credentials](PasswordPromptKind kind) {
    if (!Current(id)) return;
    const bool user =
        kind == PasswordPromptKind::username_and_password || kind == PasswordPromptKind::username;
    const bool pass =
        kind == PasswordPromptKind::username_and_password || kind == PasswordPromptKind::password;
    std::lock_guard<std::mutex> hold(credentials->lock);
    if (user && !credentials->username.empty() &&
        parts_.management->SendCredential(CredentialKind::username, credentials->username.span()) ==
            CredentialSendOutcome::refused) {
      common::Log(LogLevel::Error, L"openvpn_coordinator: auth username rejected by validator");
    }
    if (pass && !credentials->password.empty() &&
        parts_.management->SendCredential(CredentialKind::password, credentials->password.span()) ==
            CredentialSendOutcome::refused) {
      common::Log(LogLevel::Error, L"openvpn_coordinator: auth password rejected by validator");
    }
  };
  cb.fatal = [this, id](bool auth_failed) {
    std::lock_guard<std::mutex> hold(status_lock_);
    if (!Current(id) || status_.error_kind != 0) return;
    status_.error_kind = ToWire(auth_failed ? ErrorKind::auth_failed : ErrorKind::fatal);
  };
  cb.closed = [this, id]() {
    std::lock_guard<std::mutex> hold(status_lock_);
    if (!Current(id) || status_.error_kind != 0 || stop_flag_.load()) return;
    status_.error_kind = ToWire(ErrorKind::exited);
  };
  return cb;
}

void OpenVpnCoordinator::RunAttempt(uint32_t id, StartRequest request) {
  auto credentials = std::make_shared<Credentials>();
  credentials->username = std::move(request.username);
  credentials->password = std::move(request.password);
  std::wstring staged;
  try {
    RunAttemptSteps(id, request.profile, credentials, staged);
  } catch (const std::exception&) {
    EndAttempt(id, staged, ErrorKind::internal);
  }
  // The management connection is closed by now on every path, so no prompt
  // can be answered from the credentials after this.
  credentials->Wipe();
}

void OpenVpnCoordinator::RunAttemptSteps(uint32_t id, SecretBuffer& profile,
                                         std::shared_ptr<Credentials> credentials,
                                         std::wstring& staged) {
  OpenVpnEnvironment& env = *parts_.environment;
  const std::wstring dir = env.StagingDirectory();
  if (dir.empty()) return EndAttempt(id, staged, ErrorKind::internal);
  {
    std::lock_guard<std::mutex> hold(status_lock_);
    staging_dir_ = dir;
  }
  if (!Current(id)) return EndAttempt(id, staged, ErrorKind::none);
  if (!parts_.stager) return EndAttempt(id, staged, ErrorKind::internal);

  uint16_t stage_result = 4;
  staged = parts_.stager->Stage(id, profile.span(), stage_result);
  profile = SecretBuffer();
  if (staged.empty()) return EndAttempt(id, staged, ErrorForStageResult(stage_result));
  if (!Current(id)) return EndAttempt(id, staged, ErrorKind::none);

  const std::optional<uint16_t> port = env.AllocateLoopbackPort();
  if (!port) return EndAttempt(id, staged, ErrorKind::no_port_or_launch);

  std::array<uint8_t, 32> random{};
  env.RandomBytes(random);
  SecretBuffer management_password = HexText(random);
  common::SecureZero(random.data(), random.size());
  if (!Current(id)) return EndAttempt(id, staged, ErrorKind::none);

  std::array<uint8_t, 16> event_random{};
  env.RandomBytes(event_random);
  const std::wstring exit_event =
      std::wstring(kExitEventPrefix) + WidenAscii(HexText(event_random));
  if (!parts_.process->CreateExitEvent(exit_event)) {
    return EndAttempt(id, staged, ErrorKind::internal);
  }

  StartupInfo info;
  info.working_directory = dir;
  info.options_line = JoinOptionsLine(OpenVpnArguments(staged, *port, exit_event));
  info.stdin_text.reserve(management_password.size() + 1);
  info.stdin_text.append(management_password.data(), management_password.size());
  info.stdin_text.push_back('\n');
  const LaunchResult launch =
      parts_.launcher->Launch(info, settings_.pipe_wait_ms, settings_.io_timeout_ms);
  info.stdin_text = SecretBuffer();
  if (launch.result != 0) {
    parts_.process->CloseExitEvent();
    common::LogWin32(LogLevel::Error, L"openvpn_coordinator: interactive service launch rejected",
                     static_cast<uint32_t>(launch.result));
    return EndAttempt(id, staged, ErrorForLaunchResult(launch.result));
  }
  parts_.process->AdoptProcess(launch.process_id);
  if (!Current(id)) return EndAttempt(id, staged, ErrorKind::internal);

  const ManagementConnectOutcome connected = parts_.management->Connect(
      *port, management_password.span(), settings_.management_connect_timeout_ms, launch.process_id,
      CallbacksFor(id, credentials));
  management_password = SecretBuffer();
  if (connected != ManagementConnectOutcome::connected) {
    return EndAttempt(id, staged,
                      connected == ManagementConnectOutcome::password_rejected
                          ? ErrorKind::management_password_rejected
                          : ErrorKind::management_failed);
  }
  if (!Current(id)) return EndAttempt(id, staged, ErrorKind::internal);

  // Connecting: until the interface reports CONNECTED, a callback reports an
  // error, the process ends, or the connect timeout passes.
  const uint64_t connecting_since = env.SteadyMs();
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(status_lock_);
      if (!Current(id)) break;
      if (status_.state == static_cast<uint8_t>(ManagementState::connected)) break;
      if (status_.error_kind != 0) break;
    }
    if (parts_.process->HasExited()) return EndAttempt(id, staged, ErrorKind::exited);
    if (env.SteadyMs() - connecting_since >= settings_.connect_timeout_ms) {
      return EndAttempt(id, staged, ErrorKind::connect_timeout);
    }
    env.SleepMs(settings_.poll_ms);
  }
  bool ended = false;
  {
    std::lock_guard<std::mutex> hold(status_lock_);
    ended = !Current(id) || status_.error_kind != 0;
  }
  if (ended) return EndAttempt(id, staged, ErrorKind::none);

  // Connected: the staged profile is not needed any more. Supervise until the
  // attempt is superseded, a callback reports an error, or the process ends.
  Unstage(staged);
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(status_lock_);
      if (!Current(id) || !status_.active || status_.error_kind != 0) break;
    }
    if (parts_.process->HasExited()) {
      return EndAttempt(id, staged, stop_flag_.load() ? ErrorKind::none : ErrorKind::exited);
    }
    env.SleepMs(settings_.poll_ms);
  }
  EndAttempt(id, staged, ErrorKind::none);
}

}  // namespace tovra::agent::openvpn
