// ZerkaVPNService.exe
#include "service/service_host_win.h"

int wmain(int argc, wchar_t** argv) {
  return tovra::service::ServiceEntry(argc, argv);
}
