#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "service/wireguard/address_parse.h"

namespace tovra::service {
namespace {

// inet_pton answers without Winsock being started (Wine does), but ws2_32 calls
// in general may fail with WSANOTINITIALISED. Should this one ever do so,
// Winsock is started once for the process and the call retried; the reference
// is never released, since the process may parse again at any time.
void StartWinsockOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

}  // namespace

bool PlatformInetPton(AddressFamily family, const char* text) {
  const int af = family == AddressFamily::kIpv6 ? AF_INET6 : AF_INET;
  IN6_ADDR address{};
  int result = inet_pton(af, text, &address);
  if (result == -1) {
    const int error = WSAGetLastError();
    if (error == WSANOTINITIALISED) {
      StartWinsockOnce();
      result = inet_pton(af, text, &address);
    }
  }
  return result == 1;
}

}  // namespace tovra::service
