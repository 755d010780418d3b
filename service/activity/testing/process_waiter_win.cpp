// Test helper: a process that stays alive until told to go, so a test can
// examine it while it runs (copied under another name where the name matters).
//   process_waiter <event-name>
// Waits for the named event, at most two minutes so a forgotten one never lingers.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, argv[1]);
  if (event == nullptr) return 3;
  const DWORD waited = ::WaitForSingleObject(event, 120000);
  ::CloseHandle(event);
  return waited == WAIT_OBJECT_0 ? 0 : 4;
}
