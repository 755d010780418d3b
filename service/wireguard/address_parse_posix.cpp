#include <arpa/inet.h>
#include <netinet/in.h>

#include "service/wireguard/address_parse.h"

namespace tovra::service {

bool PlatformInetPton(AddressFamily family, const char* text) {
  unsigned char address[sizeof(struct in6_addr)];
  return inet_pton(family == AddressFamily::kIpv6 ? AF_INET6 : AF_INET, text, address) == 1;
}

}  // namespace tovra::service
