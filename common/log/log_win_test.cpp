#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/win/handles_win.h"
#include "common/log/log.h"
#include "common/log/log_win.h"
#include "common/text/text.h"
#include "common/win/folder_chain_win.h"

namespace tovra::common {
namespace {

std::wstring ProgramData() {
  UniqueCoTaskString path;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, path.put()))) return {};
  return path.get();
}

std::wstring LogPath(const std::wstring& component) {
  return ProgramData() + L"\\Zerka\\vpn\\logs\\" + component + L".log";
}

std::string ReadAll(const std::wstring& path) {
  UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
  if (!f) return {};
  std::string out;
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(f.get(), buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // torn tail: caught by the shape check
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::wstring UniqueName(const wchar_t* stem) {
  return std::wstring(stem) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(::GetTickCount64());
}

struct ProcessResult {
  DWORD exit_code = 0xFFFFFFFF;
  std::string stderr_text;
};

// Starts the probe with stderr captured; does not wait when `wait` is false.
struct Probe {
  UniqueHandle process;
  UniqueHandle stderr_read;
};

std::wstring ProbePath() {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self);
  dir.resize(dir.find_last_of(L"\\/") + 1);
  return dir + L"log_writer_probe.exe";
}

Probe StartProbe(const std::wstring& args) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  Probe probe;
  if (!::CreatePipe(&read, &write, &sa, 1 << 20)) return probe;
  probe.stderr_read.reset(read);
  UniqueHandle write_owner(write);
  ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdError = write;
  si.hStdOutput = write;
  si.hStdInput = nullptr;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + ProbePath() + L"\" " + args;
  if (::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &si, &pi)) {
    ::CloseHandle(pi.hThread);
    probe.process.reset(pi.hProcess);
  }
  return probe;
}

ProcessResult Finish(Probe& probe) {
  ProcessResult r;
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(probe.stderr_read.get(), buf, sizeof buf, &n, nullptr) && n > 0) {
    r.stderr_text.append(buf, n);
  }
  ::WaitForSingleObject(probe.process.get(), 30000);
  ::GetExitCodeProcess(probe.process.get(), &r.exit_code);
  return r;
}

const char* kStamp = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)";

TEST(LogWin, FileLinesHaveTheExactShape) {
  const std::wstring component = UniqueName(L"logtest");
  LogInit(component);
  Log(LogLevel::Info, L"plain line");
  LogWin32(LogLevel::Error, L"CreateNamedPipe failed", 5);
  Log(LogLevel::Warn, L"caf\u00e9 \u20ac \U0001F600");
  LogInit(L"");  // keeps the component and the open file

  const std::string text = ReadAll(LogPath(component));
  const auto lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 3u) << text;
  const std::string c = WideToUtf8(component);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(std::string(kStamp) + " \\[" + c + "\\] INFO plain line")))
      << lines[0];
  EXPECT_TRUE(
      std::regex_match(lines[1], std::regex(std::string(kStamp) + " \\[" + c +
                                            "\\] ERR  CreateNamedPipe failed \\(win32=5\\)")))
      << lines[1];
  EXPECT_NE(lines[2].find("WARN caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), std::string::npos)
      << "UTF-8 in the file: " << lines[2];
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST(LogWin, BeforeInitLinesUseTheDefaultComponentAndNoFile) {
  const std::wstring tag = UniqueName(L"early");
  Probe probe = StartProbe(L"- 1 2 " + tag);
  ASSERT_TRUE(probe.process);
  const ProcessResult r = Finish(probe);
  EXPECT_EQ(r.exit_code, 0u);
  const auto lines = SplitLines(r.stderr_text);
  ASSERT_EQ(lines.size(), 2u) << r.stderr_text;
  for (const auto& line : lines) {
    EXPECT_TRUE(
        std::regex_match(line, std::regex(std::string(kStamp) + " \\[tovra\\] INFO " +
                                          WideToUtf8(tag) + " t0 n[01] a{400} caf\xC3\xA9")))
        << line;
  }
  EXPECT_EQ(::GetFileAttributesW(LogPath(L"tovra").c_str()), INVALID_FILE_ATTRIBUTES)
      << "no file is opened before LogInit";
}

std::regex ProbeLineShape(const std::wstring& component) {
  return std::regex(std::string(kStamp) + " \\[" + WideToUtf8(component) +
                    "\\] INFO proc[AB] t([0-9]) n[0-9]+ ([a-z])\\2{399} caf\xC3\xA9");
}

int CountBadLines(const std::vector<std::string>& lines, const std::regex& shape) {
  int bad = 0;
  for (const auto& line : lines) {
    if (!std::regex_match(line, shape)) ++bad;
  }
  return bad;
}

TEST(LogWin, LinesOfManyThreadsNeverInterleave) {
  const std::wstring component = UniqueName(L"logthreads");
  Probe a = StartProbe(component + L" 8 150 procA");
  ASSERT_TRUE(a.process);
  const ProcessResult ra = Finish(a);
  EXPECT_EQ(ra.exit_code, 0u);
  const auto lines = SplitLines(ReadAll(LogPath(component)));
  EXPECT_EQ(lines.size(), 8u * 150u);
  EXPECT_EQ(CountBadLines(lines, ProbeLineShape(component)), 0);
  const auto err_lines = SplitLines(ra.stderr_text);
  EXPECT_EQ(err_lines.size(), 8u * 150u);
  EXPECT_EQ(CountBadLines(err_lines, ProbeLineShape(component)), 0) << "standard error too";
}

// Two processes share one file; each appends without truncating the other's lines.
// (Wine's append-only handles are not atomic across processes, unlike Windows',
// so the processes take turns here; see docs/wine-notes.md.)
TEST(LogWin, ProcessesAppendToTheSameFile) {
  const std::wstring component = UniqueName(L"logprocs");
  Probe a = StartProbe(component + L" 2 50 procA");
  ASSERT_TRUE(a.process);
  EXPECT_EQ(Finish(a).exit_code, 0u);
  Probe b = StartProbe(component + L" 2 50 procB");
  ASSERT_TRUE(b.process);
  EXPECT_EQ(Finish(b).exit_code, 0u);
  const auto lines = SplitLines(ReadAll(LogPath(component)));
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(CountBadLines(lines, ProbeLineShape(component)), 0);
  EXPECT_NE(lines.front().find("procA"), std::string::npos);
  EXPECT_NE(lines.back().find("procB"), std::string::npos);
}

class LogFileSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    base_ = std::wstring(temp) + UniqueName(L"tovra-logbase");
    ASSERT_TRUE(::CreateDirectoryW(base_.c_str(), nullptr));
  }
  std::wstring base_;
};

TEST_F(LogFileSafety, OpensAndAppends) {
  {
    UniqueHandle f = OpenLogFileUnder(base_, L"svc").file;
    ASSERT_TRUE(f);
    DWORD n = 0;
    ASSERT_TRUE(::WriteFile(f.get(), "one\r\n", 5, &n, nullptr));
  }
  {
    UniqueHandle f = OpenLogFileUnder(base_, L"svc").file;
    ASSERT_TRUE(f);
    DWORD n = 0;
    ASSERT_TRUE(::WriteFile(f.get(), "two\r\n", 5, &n, nullptr));
  }
  EXPECT_EQ(ReadAll(base_ + L"\\Zerka\\vpn\\logs\\svc.log"), "one\r\ntwo\r\n");
}

TEST_F(LogFileSafety, RefusesAFileWithASecondHardLink) {
  ASSERT_TRUE(OpenLogFileUnder(base_, L"svc"));
  const std::wstring logs = base_ + L"\\Zerka\\vpn\\logs\\";
  ASSERT_TRUE(
      ::CreateHardLinkW((logs + L"elsewhere.log").c_str(), (logs + L"svc.log").c_str(), nullptr));
  EXPECT_FALSE(OpenLogFileUnder(base_, L"svc"));
  EXPECT_FALSE(OpenLogFileUnder(base_, L"elsewhere"));
}

// The reason for a missing file names the folder or file and the code, for the
// one line LogInit writes to the debugger and standard error.
TEST_F(LogFileSafety, NamesWhatCouldNotBeUsed) {
  const std::wstring logs = base_ + L"\\Zerka\\vpn\\logs";
  ASSERT_TRUE(OpenLogFileUnder(base_, L"svc"));
  ASSERT_TRUE(
      ::CreateHardLinkW((logs + L"\\second.log").c_str(), (logs + L"\\svc.log").c_str(), nullptr));
  const LogFileOpening linked = OpenLogFileUnder(base_, L"svc");
  EXPECT_EQ(linked.error, (Win32Error{ERROR_TOO_MANY_LINKS, L"hard link check"}));
  EXPECT_EQ(linked.failed_path, logs + L"\\svc.log");
  EXPECT_EQ(DescribeLogFileFailure(linked), L"log: no log file, cannot use " + logs +
                                                L"\\svc.log: hard link check failed (win32=1142)");
}

// A program whose log file cannot be used still says why, on standard error,
// and keeps logging there.
TEST(LogWin, LogInitSaysOnStandardErrorWhyThereIsNoFile) {
  const std::wstring component = UniqueName(L"loglinked");
  const std::wstring path = LogPath(component);
  const std::wstring second = LogPath(component + L"-second");
  ASSERT_TRUE(OpenFolderChain(ProgramData(), {L"Zerka", L"vpn", L"logs"}));
  UniqueHandle made(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(made);
  made.reset();
  ASSERT_TRUE(::CreateHardLinkW(second.c_str(), path.c_str(), nullptr));

  Probe probe = StartProbe(component + L" 1 1 linked");
  ASSERT_TRUE(probe.process);
  const ProcessResult r = Finish(probe);
  EXPECT_EQ(r.exit_code, 0u);
  const auto lines = SplitLines(r.stderr_text);
  ASSERT_EQ(lines.size(), 2u) << r.stderr_text;
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(std::string(kStamp) + " \\[" + WideToUtf8(component) +
                           "\\] WARN log: no log file, cannot use .*\\\\" + WideToUtf8(component) +
                           "\\.log: hard link check failed \\(win32=1142\\)")))
      << lines[0];
  EXPECT_NE(lines[1].find("INFO linked t0 n0"), std::string::npos) << lines[1];
  EXPECT_EQ(ReadAll(path), "") << "nothing was written through the second link";
  ::DeleteFileW(second.c_str());
  ::DeleteFileW(path.c_str());
}

// The folder chain below is prepared by the test set-up with a Linux symbolic link,
// which Wine reports as a reparse point (its CreateSymbolicLinkW creates nothing).
TEST(LogFileSafetyReparse, RefusesAFolderThatIsAReparsePoint) {
  wchar_t base[MAX_PATH];
  if (::GetEnvironmentVariableW(L"TOVRA_LOG_REPARSE_BASE", base, MAX_PATH) == 0) {
    GTEST_SKIP() << "TOVRA_LOG_REPARSE_BASE not set";
  }
  const LogFileOpening opening = OpenLogFileUnder(base, L"svc");
  EXPECT_FALSE(opening);
  EXPECT_EQ(opening.error.code, kErrorReparsePointEncountered);
  EXPECT_EQ(opening.failed_path, std::wstring(base) + L"\\Zerka");
  EXPECT_FALSE(OpenLogFileUnder(base, L"svc"));
  const std::wstring target = std::wstring(base) + L"\\..\\target\\vpn";
  EXPECT_EQ(::GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES)
      << "nothing was created through the link";
}

}  // namespace
}  // namespace tovra::common
