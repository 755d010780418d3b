// TOVRAPrereqLauncher: run by the product installer with the path of the OpenVPN
// package. A GUI-subsystem program that opens no window and writes nothing; its
// exit code is its whole answer.
#include <windows.h>

#include "prereq/launcher.h"
#include "prereq/prereq_system_win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  tovra::prereq::Win32PrereqSystem system;
  return static_cast<int>(
      tovra::prereq::RunLauncher(tovra::prereq::SplitProcessCommandLine(), system));
}
