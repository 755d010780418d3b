// Test stand-ins for the WireGuard installation beside the Service.
//
// wireguard.dll: exports the three entry points the Service binds, with their
// published signatures, and answers from a script.
//
// wireguard.exe: a tunnel service. Run by the Service Control Manager with
// "/tunnelservice <configuration file>", it reports START_PENDING, reads the
// configuration file whole, writes an exact copy of it beside itself
// (kStandInReadCopyName), holds the named mutex kTunnelMutexPrefix + the file's
// base name (the adapter, as the DLL sees it), appends its timings
// (kStandInTimesName) and reports RUNNING; a stop releases the mutex and reports
// STOPPED. Run any other way it prints a usage line and exits non-zero.
//
// Scripting channel: a text file named "wireguard-standin.txt" in the folder the
// stand-in was loaded from, read again on every call (so a test changes the
// counters between two queries by rewriting it). No file means the defaults.
// One "key=value" per line; each stand-in ignores the other's keys.
//
// Read by wireguard.dll:
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
// Read by wireguard.exe when it starts:
//   running_delay_ms=N              stays START_PENDING (with rising checkpoints)
//                                   for N ms before reading the configuration
//   stops_after_ms=N                N ms after RUNNING it stops by itself: releases
//                                   the mutex and reports STOPPED with
//                                   kStandInGaveUpExitCode
//   no_adapter=1                    never creates the mutex (an adapter that
//                                   never appears)
//
// The interface's private key is filled with 0x5A bytes, so a test can see
// whether a caller wiped the buffer.
//
// The DLL is built twice: as wireguard.dll with all three exports, and as a
// variant that lacks WireGuardGetConfiguration (a library the Service must never
// use). Both also export StandInOpenCount and StandInCloseCount
// (LONG WINAPI (void)), the number of adapters opened and closed so far in this
// process.
#pragma once

inline constexpr wchar_t kStandInScriptName[] = L"wireguard-standin.txt";
inline constexpr wchar_t kTunnelMutexPrefix[] = L"Global\\ZerkaWireGuardStandIn.";
inline constexpr unsigned char kStandInPrivateKeyByte = 0x5A;
// Written by wireguard.exe beside itself: the bytes it read, and per start the
// lines "started_at_ms=<GetTickCount64 at process entry>" and
// "running_at_ms=<GetTickCount64 just before reporting RUNNING>".
inline constexpr wchar_t kStandInReadCopyName[] = L"wireguard-standin-read.conf";
inline constexpr wchar_t kStandInTimesName[] = L"wireguard-standin-times.txt";
// ERROR_SERVICE_SPECIFIC_ERROR, with service-specific code 1.
inline constexpr unsigned long kStandInGaveUpExitCode = 1066;
