// A stand-in for a started openvpn.exe in the process control tests, built as
// "openvpn.exe" in a folder of its own.
//   openvpn.exe wait <event>    exits 0 once the named event is signalled
//   openvpn.exe ignore <event>  never looks at the event (ends by force)
// Either mode gives up after two minutes so no test leaves it behind for long.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  constexpr DWORD kGiveUpMs = 120000;
  if (argc != 3) return 64;
  if (std::wcscmp(argv[1], L"ignore") == 0) {
    ::Sleep(kGiveUpMs);
    return 2;
  }
  if (std::wcscmp(argv[1], L"wait") != 0) return 64;
  HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, argv[2]);
  if (event == nullptr) return 3;
  const DWORD waited = ::WaitForSingleObject(event, kGiveUpMs);
  ::CloseHandle(event);
  return waited == WAIT_OBJECT_0 ? 0 : 4;
}
