// Test stand-in for wireguard.dll: exports the three entry points the Service
// binds, with their published signatures, and answers from a script.
//
// Scripting channel: a text file named "wireguard-standin.txt" in the folder the
// stand-in DLL was loaded from, read again on every call (so a test changes the
// counters between two queries by rewriting it). No file means the defaults.
// One "key=value" per line:
//
//   adapter=tunnel|present|absent   tunnel (default): the adapter exists while a
//                                   named mutex kTunnelMutexPrefix + adapter name
//                                   exists (the tunnel program stand-in holds it
//                                   while it runs); present/absent: always/never
//   peer=TX,RX,HANDSHAKE,ALLOWED    one peer (repeatable): byte counters, last
//                                   handshake in FILETIME units, allowed-IP count
//   required_size=N                 the size the first call asks for (default: the
//                                   real size of the configuration)
//   reported_size=N                 the size the filling call reports written
//
// The interface's private key is filled with 0x5A bytes, so a test can see
// whether a caller wiped the buffer.
//
// Built twice: as wireguard.dll with all three exports, and as a variant that
// lacks WireGuardGetConfiguration (a library the Service must never use).
// Both also export StandInOpenCount and StandInCloseCount (LONG WINAPI (void)),
// the number of adapters opened and closed so far in this process.
#pragma once

inline constexpr wchar_t kStandInScriptName[] = L"wireguard-standin.txt";
inline constexpr wchar_t kTunnelMutexPrefix[] = L"Global\\ZerkaWireGuardStandIn.";
inline constexpr unsigned char kStandInPrivateKeyByte = 0x5A;
