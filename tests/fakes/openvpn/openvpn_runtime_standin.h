// Test stand-ins for the runtime parts of an OpenVPN installation: openvpn.exe
// and the Interactive Service that starts it. Both live in one folder and read
// one script file there.
//
// openvpn.exe ("openvpn_exe_standin"): takes the arguments the Agent passes
// (--config F --management 127.0.0.1 PORT stdin --management-hold
// --management-query-passwords --management-signal --service EVENT 0; others are
// ignored, quoted ones are fine). It exits 1 with a line on standard error when
// the configuration cannot be read, the exit event cannot be opened or the port
// cannot be bound. It reads the management password as one line from standard
// input, listens on 127.0.0.1:PORT for one client at a time and speaks this
// subset of the management interface (lines end in "\r\n"):
//   - on connect: the banner (banner_bytes), then "ENTER PASSWORD:" (no line end)
//   - the password line: "SUCCESS: password is correct" and
//     ">HOLD:Waiting for hold release:0"; a wrong one: "ERROR: bad password",
//     and the connection is closed; the stand-in keeps listening for the next
//     client (as OpenVPN does)
//   - "state on" / "state off": SUCCESS; >STATE lines are sent only while on
//   - "bytecount N": SUCCESS; from CONNECTED on ">BYTECOUNT:in,out" at once and
//     every N s (N = 0 stops them)
//   - "hold release": SUCCESS; the first one is followed by the fatal line
//     (script) or ">PASSWORD:Need 'Auth' username/password"
//   - username "Auth" "v" / password "Auth" "v" (value quoted, "\\" and "\""
//     escaped): "SUCCESS: 'Auth' username entered, but not yet verified" /
//     "... password entered ..."; once both are in, matching credentials give
//     >STATE CONNECTING, WAIT, AUTH, GET_CONFIG, ASSIGN_IP, ADD_ROUTES and
//     ">STATE:<t>,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,," (each nine
//     fields) and a first >BYTECOUNT; others ">PASSWORD:Verification Failed:
//     'Auth'" and exit 1
//   - "signal SIGTERM": SUCCESS, ">STATE:<t>,EXITING,SIGTERM,,,,,," and exit 0
//   - anything else: "ERROR: unknown command, enter 'help' for more options"
// Signalling the exit event ends it with 0. It is single-threaded: one wait on
// the exit event, the sockets' events and its next timer.
//
// The Interactive Service ("interactive_service_standin"): run by the Service
// Control Manager as kInteractiveServiceName, it reports RUNNING once its first
// pipe instance exists and serves kInteractiveServicePipe in message mode, one
// client after another, until stopped. Per client it reads one startup message
// (UTF-16LE: working directory NUL options NUL standard input NUL), starts
// openvpn.exe from its own folder with the command line "\"<exe>\" <options>"
// in that working directory, writes the standard input text (as UTF-8) into the
// child's standard input and closes it, and answers "0x00000000\n0x%08x\nProcess ID".
// A malformed message is answered "0x20000002\nGetStartupData\n...", a failed
// start "0x<Win32 error>\nCreateProcess\n...". It keeps the handles of what it
// started until it stops, so a test can read their exit codes by pid. The
// children's standard output and error go to kOpenVpnStandInOutputName beside it.
//
// Run as "openvpnserv_standin.exe --squat <record file>" from a test, it is a
// squatter: it serves the same pipe name, never starts anything, writes
// "ready=1" into the record file once its instance exists, and when its first
// client disconnects (or after kSquatterLifetimeMs without one) appends
// "connected=0|1" and "bytes=<bytes received>" and exits 0.
//
// Script: kOpenVpnStandInScriptName beside the programs, "key=value" lines; a
// key alone (or "key=1") sets a flag, "key=0" clears it. openvpn.exe reads it
// when it starts, the service for every client. In texts, the two characters "\n" stand
// for a line end.
// openvpn.exe:
//   username=TEXT password=TEXT  the credentials it accepts (default user/pass)
//   fatal=TEXT                   after the first hold release: ">FATAL:TEXT", exit 1
//   no_prompt                    never sends "ENTER PASSWORD:"
//   banner_bytes=N               sends N bytes of ">INFO:" lines before the prompt
//   ignore_exit_event            keeps running when the exit event is signalled
//   exit_after_ms=N              exits 1 by itself N ms after it started
//   never_connect                after the credentials stays in WAIT
//   bytes=IN,OUT                 the byte counts reported (default 1234,5678)
//   connect_delay_ms=N           time between CONNECTING and the states after it
// Interactive Service:
//   is_reply_error=0xCODE:TEXT   answers "0xCODE\nTEXT" and starts nothing
//   is_reply_raw=TEXT            answers exactly TEXT and starts nothing
//   is_no_reply                  reads the message, never answers, and keeps the
//                                pipe until the client goes
//   is_hex_upper                 upper-case hexadecimal digits in the success reply
//   is_no_pipe                   read when the service starts: it runs without
//                                serving the pipe (a squatter then owns the name
//                                while the service is RUNNING)
//
// What openvpn.exe saw, appended line by line to kOpenVpnStandInSeenName beside
// it (never a secret): "config=<path>", "port=<n>", "exit_event=<name>",
// "management_password=right|wrong", "credentials=match|mismatch",
// "command=<first word>" for each command after the management password, and
// "exit=<event|sigterm|fatal|auth_failed|timer|error> code=<n>" last.
#pragma once

inline constexpr wchar_t kOpenVpnStandInScriptName[] = L"openvpn-standin.txt";
inline constexpr wchar_t kOpenVpnStandInSeenName[] = L"openvpn-standin-seen.txt";
inline constexpr wchar_t kOpenVpnStandInOutputName[] = L"openvpn-standin-output.txt";
inline constexpr wchar_t kOpenVpnStandInExeName[] = L"openvpn.exe";
inline constexpr wchar_t kInteractiveServiceStandInExeName[] = L"openvpnserv_standin.exe";
inline constexpr wchar_t kInteractiveServiceName[] = L"OpenVPNServiceInteractive";
inline constexpr wchar_t kInteractiveServicePipe[] = L"\\\\.\\pipe\\openvpn\\service";
inline constexpr unsigned long kSquatterLifetimeMs = 30000;
