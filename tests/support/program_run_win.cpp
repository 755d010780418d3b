#include "tests/support/program_run_win.h"

#include <windows.h>

#include <cstdio>

#include "common/win/handles_win.h"
#include "tests/support/child_process_win.h"

namespace tovra::testing {

namespace fs = std::filesystem;

namespace {

std::wstring Quote(const std::wstring& s) {
  return L"\"" + s + L"\"";
}

}  // namespace

ProgramResult RunProgramInFolder(const fs::path& dir, const std::wstring& exe_name,
                                 const std::vector<std::wstring>& args,
                                 const std::function<void(const fs::path& out)>& meanwhile,
                                 uint32_t timeout_ms) {
  static int counter = 0;
  const fs::path out_path = dir / (L"out-" + std::to_wstring(++counter) + L".txt");
  const fs::path err_path = dir / (L"err-" + std::to_wstring(counter) + L".txt");
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  const auto open = [&](const fs::path& p, DWORD access, DWORD disposition) {
    return common::UniqueHandle(::CreateFileW(p.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              &sa, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  ProgramResult r;
  common::UniqueHandle out = open(out_path, GENERIC_WRITE, CREATE_ALWAYS);
  common::UniqueHandle err = open(err_path, GENERIC_WRITE, CREATE_ALWAYS);
  common::UniqueHandle in = open(L"NUL", GENERIC_READ, OPEN_EXISTING);
  if (!out || !err) {
    r.err = "cannot create the output files";
    return r;
  }
  const fs::path exe = dir / exe_name;
  std::wstring command = Quote(exe.wstring());
  for (const auto& a : args) command += L" " + Quote(a);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in.get();
  si.hStdOutput = out.get();
  si.hStdError = err.get();
  PROCESS_INFORMATION pi{};
  BOOL started = FALSE;
  DWORD error = 0;
  // Wine now and then fails a process start with ERROR_INTERNAL_ERROR under load;
  // that is the harness, not the program under test.
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    started = ::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               dir.c_str(), &si, &pi);
    error = started ? 0 : ::GetLastError();
    if (!started && error != ERROR_INTERNAL_ERROR) break;
    if (!started) ::Sleep(200);  // a back-off: there is nothing to observe before a retry
  }
  out.reset();
  err.reset();
  in.reset();
  if (!started) {
    r.err = "CreateProcessW failed: " + std::to_string(error);
    return r;
  }
  common::UniqueHandle process(pi.hProcess);
  common::UniqueHandle thread(pi.hThread);
  if (meanwhile) meanwhile(out_path);
  if (::WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    r.exit_code = code;
  } else {
    ::TerminateProcess(process.get(), 99);
    ::WaitForSingleObject(process.get(), 10000);
  }
  r.out = ReadFileFrom(out_path.wstring(), 0);
  r.err = ReadFileFrom(err_path.wstring(), 0);
  return r;
}

uint32_t RunDevScript(const std::wstring& script, const std::wstring& argument) {
  const std::wstring dir = WinePathFromEnvironment(L"ZERKA_TEST_SOURCE_DIR");
  std::wstring cmd = L"cmd.exe /c \"\"" + dir + L"\\tools\\windows\\dev\\" + script + L"\"";
  if (!argument.empty()) cmd += L" \"" + argument + L"\"";
  cmd += L"\"";
  ChildProcess child;
  if (!child.StartCommandLine(cmd)) return 0xFFFFFFFF;
  const std::optional<uint32_t> code = child.Wait(120000);
  if (!code || *code != 0) std::fprintf(stderr, "%s\n", child.Output().c_str());
  return code.value_or(0xFFFFFFFE);
}

fs::path CopyProgramsToFreshFolder(const std::wstring& stem,
                                   const std::vector<const wchar_t*>& programs) {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const fs::path folder = fs::path(temp) / (stem + L"-" + std::to_wstring(::GetCurrentProcessId()));
  std::error_code ec;
  fs::remove_all(folder, ec);
  if (!fs::create_directories(folder, ec)) return {};
  for (const wchar_t* variable : programs) {
    const fs::path from = TestEnv(variable);
    if (from.empty() ||
        !fs::copy_file(from, folder / from.filename(), fs::copy_options::overwrite_existing, ec)) {
      std::fwprintf(stderr, L"cannot copy the program %ls names\n", variable);
      return {};
    }
  }
  return folder;
}

}  // namespace tovra::testing
