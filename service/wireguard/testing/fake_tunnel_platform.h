// Scripted stand-ins for the tunnel manager's machine: a clock that advances
// only when slept on, a Service Control Manager whose tunnel service moves
// through its states by that clock, the file steps and the adapter. Each records
// what was asked of it, so tests assert sequences as well as results.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "service/wireguard/tunnel_platform.h"

namespace tovra::service::testing {

inline constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

class FakeClock final : public TunnelClock {
 public:
  uint64_t NowMs() override { return now; }
  void SleepMs(uint32_t ms) override {
    now += ms;
    ++sleeps;
  }
  uint64_t now = 1000;
  int sleeps = 0;
};

class FakeServices final : public TunnelServiceControl {
 public:
  explicit FakeServices(FakeClock& clock) : clock_(clock) {}

  // ---- script ----
  uint32_t connect_error = 0;
  uint32_t create_error = 0;
  uint32_t sid_error = 0;
  uint32_t start_error = 0;
  uint32_t open_error = 0;  // an error other than "does not exist"
  uint32_t delete_error = 0;
  uint64_t running_after_ms = 300;        // after the start call; kNever: stays START_PENDING
  bool stops_by_itself = false;           // goes STOPPED instead of RUNNING
  uint64_t refuses_stop_until_ms = 0;     // absolute clock time; 1061 before it
  uint64_t stopped_after_ms = 100;        // after an accepted stop; kNever: stuck
  uint64_t lingers_after_delete_ms = 15;  // Exists() stays true this long; kNever: forever
  std::function<void()> on_connect;       // runs inside Connect (to hold a caller there)

  // ---- state ----
  bool exists = false;
  uint32_t state = scm::kStopped;
  std::vector<std::string> calls;
  std::wstring command_line;

  void InstallRunning() {
    exists = true;
    state = scm::kRunning;
  }

  uint32_t Connect(bool create) override {
    Update();
    calls.push_back(create ? "connect+create" : "connect");
    if (on_connect) on_connect();
    return connect_error;
  }
  uint32_t Create(std::wstring_view line) override {
    Update();
    calls.push_back("create");
    if (create_error != 0) return create_error;
    if (exists) return deleted_at_ != kNever ? scm::kErrorServiceMarkedForDelete : 1073;
    exists = true;
    state = scm::kStopped;
    deleted_at_ = kNever;
    command_line.assign(line);
    return 0;
  }
  uint32_t Open() override {
    Update();
    calls.push_back("open");
    if (open_error != 0) return open_error;
    return exists ? 0 : scm::kErrorServiceDoesNotExist;
  }
  uint32_t SetSidTypeUnrestricted() override {
    calls.push_back("sid");
    return sid_error;
  }
  void SetDescription() override { calls.push_back("description"); }
  uint32_t Start() override {
    Update();
    calls.push_back("start");
    if (start_error != 0) return start_error;
    state = scm::kStartPending;
    started_at_ = clock_.now;
    return 0;
  }
  uint32_t QueryState() override {
    Update();
    return exists ? state : 0;
  }
  uint32_t SendStop() override {
    Update();
    calls.push_back("stop");
    if (state == scm::kStopped) return scm::kErrorServiceNotActive;
    if (clock_.now < refuses_stop_until_ms) return scm::kErrorServiceCannotAcceptCtrl;
    state = scm::kStopPending;
    stop_at_ = clock_.now;
    return 0;
  }
  uint32_t Delete() override {
    Update();
    calls.push_back("delete");
    if (delete_error != 0) return delete_error;
    if (deleted_at_ != kNever) return scm::kErrorServiceMarkedForDelete;
    deleted_at_ = clock_.now;
    Update();
    return 0;
  }
  void Close() override { calls.push_back("close"); }
  bool Exists() override {
    Update();
    ++exists_queries;
    return exists;
  }
  int exists_queries = 0;

 private:
  void Update() {
    const uint64_t now = clock_.now;
    if (state == scm::kStartPending && running_after_ms != kNever &&
        now - started_at_ >= running_after_ms) {
      state = stops_by_itself ? scm::kStopped : scm::kRunning;
    }
    if (state == scm::kStopPending && stopped_after_ms != kNever &&
        now - stop_at_ >= stopped_after_ms) {
      state = scm::kStopped;
    }
    // A deleted service goes once it is stopped and its lingering time is over.
    if (exists && deleted_at_ != kNever && state == scm::kStopped &&
        lingers_after_delete_ms != kNever && now - deleted_at_ >= lingers_after_delete_ms) {
      exists = false;
      deleted_at_ = kNever;
    }
  }

  FakeClock& clock_;
  uint64_t started_at_ = 0;
  uint64_t stop_at_ = 0;
  uint64_t deleted_at_ = kNever;
};

class FakeFiles final : public TunnelFiles {
 public:
  bool program_exists = true;
  std::wstring program_data = L"C:\\ProgramData";
  std::wstring program_data_later;  // what a later read returns; empty: the same
  bool use_program_data_later = false;
  bool prepare_ok = true;
  bool write_ok = true;

  std::map<std::wstring, std::string> files;  // what exists on the fake disk
  std::vector<std::string> calls;
  std::string last_written;

  bool ProgramExists(const std::wstring& path) override {
    calls.push_back("program-exists");
    program_path = path;
    return program_exists;
  }
  std::wstring ProgramDataFolder() override {
    ++program_data_reads;
    return use_program_data_later && program_data_reads > 1 ? program_data_later : program_data;
  }
  bool PrepareConfigDirectory(const std::wstring& base) override {
    calls.push_back("prepare");
    prepared_under = base;
    return prepare_ok;
  }
  bool WriteConfig(const std::wstring& path, std::span<const uint8_t> text) override {
    calls.push_back("write");
    if (!write_ok) return false;
    last_written.assign(reinterpret_cast<const char*>(text.data()), text.size());
    files[path] = last_written;
    return true;
  }
  void SecureDelete(const std::wstring& path) override {
    calls.push_back("delete");
    files.erase(path);
  }

  std::wstring program_path;
  std::wstring prepared_under;
  int program_data_reads = 0;
};

// The adapter exists while the fake tunnel service runs (or always/never).
class FakeAdapter final : public AdapterQuery {
 public:
  explicit FakeAdapter(FakeServices& services) : services_(services) {}
  enum class Presence { WhileRunning, Never };
  Presence presence = Presence::WhileRunning;
  bool load_ok = true;
  AdapterSnapshot counters{false, 1000, 2000, 1700000000000};

  bool Load(const std::wstring& path) override {
    ++loads;
    loaded_from = path;
    return load_ok;
  }
  AdapterSnapshot Query(std::wstring_view name) override {
    ++queries;
    queried_name.assign(name);
    if (presence == Presence::Never || !services_.exists ||
        services_.QueryState() != scm::kRunning) {
      return {};
    }
    AdapterSnapshot s = counters;
    s.present = true;
    return s;
  }
  int loads = 0;
  int queries = 0;
  std::wstring loaded_from;
  std::wstring queried_name;

 private:
  FakeServices& services_;
};

}  // namespace tovra::service::testing
