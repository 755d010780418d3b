// OpenVPN profile staging through the real Service (console mode) over its pipe,
// as the Agent asks for it, against a stand-in OpenVPN installation.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <string>

#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_names.h"
#include "common/security/caller_identity_win.h"
#include "common/text/text.h"
#include "tests/fakes/openvpn/openvpn_install_standin_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/pipe_wait_win.h"
#include "tests/support/wait_until.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tovra::common::Bytes;
using tovra::common::PayloadReader;
using tovra::common::PayloadWriter;

constexpr char kProfile[] =
    "client\ndev tun\nproto udp\nremote vpn.example.net 1194\nauth-user-pass\n"
    "<ca>\n-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n</ca>\n";

struct Staged {
  uint16_t status = 0xFFFF;
  std::string path;
  uint16_t result = 0xFFFF;
};

class OpenVpnStagingEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(install_.Install());
    staging_ = fs::path(tovra::testing::OpenVpnInstallStandIn::StandardConfigDir()) / L"zerkavpn";
  }
  void StartService() {
    ASSERT_TRUE(service_.Start(tovra::testing::WinePathFromEnvironment(L"ZERKA_TEST_SERVICE_EXE"),
                               L"--console", {}, tovra::testing::ChildOutput::capture));
    ASSERT_TRUE(tovra::testing::WaitForRolePipe(tovra::common::kServicePipeRole, 30000));
    tovra::common::ConnectOptions options;
    options.attempts = 20;
    auto connected = tovra::common::ConnectToServer(tovra::common::kServicePipeRole,
                                                    tovra::common::GetProcessSessionId(), options);
    ASSERT_EQ(connected.error, tovra::common::Status::ok);
    pipe_ = std::move(connected.pipe);
    ASSERT_TRUE(Ask(1, {}));  // hello
  }
  std::optional<Bytes> Ask(uint16_t type, const Bytes& payload) {
    auto reply = tovra::common::ExchangeRequest(pipe_.get(), type, ++id_, payload, 15000);
    if (!reply) return std::nullopt;
    return reply->payload;
  }
  Staged Stage(uint32_t key, const std::string& profile) {
    PayloadWriter w;
    w.WriteU32(key);
    EXPECT_TRUE(w.WriteString(profile));
    Staged s;
    const auto reply = Ask(12, w.bytes());
    if (!reply) return s;
    PayloadReader r(*reply);
    r.ReadU16(s.status);
    r.ReadString(s.path);
    r.ReadU16(s.result);
    return s;
  }
  std::optional<bool> Unstage(const std::string& path) {
    PayloadWriter w;
    EXPECT_TRUE(w.WriteString(path));
    const auto reply = Ask(13, w.bytes());
    if (!reply) return std::nullopt;
    PayloadReader r(*reply);
    uint16_t status = 0xFFFF;
    bool removed = false;
    if (!r.ReadU16(status) || status != 0 || !r.ReadBool(removed)) return std::nullopt;
    return removed;
  }

  tovra::testing::OpenVpnInstallStandIn install_;
  fs::path staging_;
  tovra::testing::ChildProcess service_;
  tovra::common::UniqueHandle pipe_;
  uint32_t id_ = 0;
};

TEST_F(OpenVpnStagingEndToEnd, StaleProfilesAreSweptAtStartAndAProfileIsStagedAndUnstaged) {
  fs::create_directories(staging_);
  std::ofstream(staging_ / L"ovpn-x.ovpn") << "left over";
  std::ofstream(staging_ / L"OVPN-y.ovpn") << "not ours";
  StartService();
  EXPECT_FALSE(fs::exists(staging_ / L"ovpn-x.ovpn"));
  EXPECT_TRUE(fs::exists(staging_ / L"OVPN-y.ovpn"));
  EXPECT_NE(service_.Output().find("INFO openvpn staging: swept 1 stale config(s) on startup"),
            std::string::npos)
      << service_.Output();
  // Not ours to sweep, but the staged-profile count would see it.
  fs::remove(staging_ / L"OVPN-y.ovpn");

  const Staged staged = Stage(7, kProfile);
  ASSERT_EQ(staged.status, 0);
  ASSERT_EQ(staged.result, 0) << service_.Output();
  const fs::path file = tovra::common::Utf8ToWide(staged.path);
  EXPECT_EQ(file.parent_path(), staging_);
  EXPECT_EQ(file.filename().wstring().rfind(L"ovpn-7-", 0), 0u);
  const std::string text = tovra::testing::ReadFileFrom(file.wstring(), 0);
  EXPECT_EQ(text, std::string(kProfile) + "auth-nocache\n");
  EXPECT_NE(service_.Output().find("INFO stage_openvpn_config: staged for sid="),
            std::string::npos);
  // A staged profile keeps the machine-wide verdict active until it is removed.
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"Activity"), 1u);
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"ActivityReasons"), 0x08u);

  EXPECT_EQ(Unstage(staged.path), true);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"Activity"), 0u);
  EXPECT_EQ(Unstage(staged.path), true) << "a second unstage of the same path is true too";

  // Outside the staging folder: refused, and the file is untouched.
  const fs::path outside = staging_.parent_path() / L"ovpn-1-0123456789abcdef.ovpn";
  std::ofstream(outside) << "keep";
  EXPECT_EQ(Unstage(tovra::common::WideToUtf8(outside.wstring())), false);
  EXPECT_TRUE(fs::exists(outside));
  fs::remove(outside);
}

// The Agent's report of an OpenVPN tunnel makes the verdict active while it is
// fresh; one naming a process that is not openvpn.exe does not.
TEST_F(OpenVpnStagingEndToEnd, TheAgentsReportDecidesTheVerdictWithTheProcessCheck) {
  StartService();
  const auto report = [&](bool active, uint32_t pid) {
    PayloadWriter w;
    w.WriteBool(active);
    w.WriteU32(42);
    w.WriteU32(pid);
    return Ask(14, w.bytes());
  };
  ASSERT_EQ(report(true, 0), (Bytes{0, 0}));
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"Activity"), 1u);
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"ActivityReasons"), 0x20u);
  ASSERT_EQ(report(true, ::GetCurrentProcessId()), (Bytes{0, 0}));
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"Activity"), 0u);
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"ActivityReasons"), 0x80u);
  ASSERT_EQ(report(false, 0), (Bytes{0, 0}));
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"ActivityReasons"), 0u);
}

// The directory is judged again on every request: each untrusted setup Wine can
// produce refuses staging with stage result 1 and names its status.
TEST_F(OpenVpnStagingEndToEnd, EachUntrustedConfigurationDirectoryRefusesStaging) {
  StartService();
  using Install = tovra::testing::OpenVpnInstallStandIn;
  std::wstring unterminated = Install::StandardConfigDir();
  unterminated.pop_back();
  const struct {
    int status;
    std::function<bool(Install&)> setup;
  } rows[] = {
      {1, [](Install& i) { return i.SetConfigDir(std::nullopt); }},
      {2, [](Install& i) { return i.SetConfigDir(L""); }},
      {4, [&](Install& i) { return i.SetConfigDir(unterminated); }},
      {6, [](Install& i) { return i.RemoveConfigFolder(); }},
      {8, [](Install& i) { return i.InstallAutoConnectService(SERVICE_DEMAND_START); }},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(install_.Install()) << row.status;
    ASSERT_TRUE(row.setup(install_)) << row.status;
    const Staged staged = Stage(8, kProfile);
    EXPECT_EQ(staged.status, 0) << row.status;
    EXPECT_EQ(staged.result, 1) << row.status;
    EXPECT_TRUE(staged.path.empty()) << row.status;
    EXPECT_NE(service_.Output().find("WARN stage_openvpn_config: config_dir untrusted status=" +
                                     std::to_string(row.status)),
              std::string::npos)
        << service_.Output();
    if (row.status == 8) {
      ASSERT_TRUE(install_.RemoveAutoConnectService());
    }
  }
}

}  // namespace
