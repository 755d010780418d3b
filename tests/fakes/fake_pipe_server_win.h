// A scriptable stand-in for a pipe server (the Service or the Agent) speaking the
// frame protocol, run on a thread of the test process. It records every frame it
// receives and answers through a handler the test supplies.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/ipc/frame.h"
#include "common/win/handles_win.h"

namespace tovra::testing {

class FakePipeServer {
 public:
  // Returns the reply payload for a request, or nothing to close the connection
  // without replying.
  using Handler = std::function<std::optional<common::Bytes>(const common::Frame&)>;

  // `owner_sid`, when given, becomes the owner in the pipe's security descriptor
  // (a squatter posing as a server).
  // Returns once the first pipe instance exists (or after kReadyTimeoutMs).
  FakePipeServer(std::wstring pipe_name, Handler handler,
                 std::optional<std::wstring> owner_sid = std::nullopt);
  ~FakePipeServer();

  void set_generation(uint32_t generation) { generation_ = generation; }
  // Closes the current client connection (as a restarting server would).
  void DropClient();

  std::vector<common::Frame> received();
  int connections() const { return connections_; }
  // Client sessions that have ended (the client closed, was dropped or the
  // handler closed it).
  int disconnections() const { return disconnections_; }
  const std::wstring& name() const { return name_; }

  // A handler answering hello with `protocol` and ping/others with status 0.
  static std::optional<common::Bytes> HelloReply(uint16_t protocol,
                                                 const std::string& generation_id);

 private:
  static constexpr DWORD kReadyTimeoutMs = 5000;

  void Run();

  std::wstring name_;
  Handler handler_;
  std::optional<std::wstring> owner_sid_;
  std::atomic<uint32_t> generation_{0x11111111};
  std::atomic<bool> stop_{false};
  std::atomic<bool> drop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> disconnections_{0};
  common::UniqueHandle stop_event_;
  common::UniqueHandle ready_event_;  // set once the first instance exists
  std::mutex mutex_;
  std::vector<common::Frame> received_;
  std::thread thread_;
};

// Opens a pipe by name as the clients do (overlapped, read/write), or returns an
// invalid handle.
common::UniqueHandle OpenPipeClient(const std::wstring& name);

std::wstring UniquePipeName(const wchar_t* stem);

}  // namespace tovra::testing
