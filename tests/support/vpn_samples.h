// Inputs the end-to-end tests and the load program send through the chain: a
// WireGuard configuration the validator accepts and an OpenVPN profile that asks
// for a username and password. No real key or server.
#pragma once

namespace tovra::testing {

inline constexpr char kSampleWireGuardConfig[] =
    "[Interface]\r\nPrivateKey = yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=\r\n"
    "Address = 10.64.0.2/32\r\n\r\n[Peer]\r\n"
    "PublicKey = xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=\r\n"
    "AllowedIPs = 0.0.0.0/0\r\nEndpoint = vpn.example.net:51820\r\n";

inline constexpr char kSampleOpenVpnProfile[] =
    "client\ndev tun\nproto udp\nremote vpn.example.net 1194\nauth-user-pass\n"
    "<ca>\n-----BEGIN CERTIFICATE-----\nMIIBzone\n-----END CERTIFICATE-----\n</ca>\n";

}  // namespace tovra::testing
