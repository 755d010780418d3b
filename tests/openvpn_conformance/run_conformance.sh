#!/usr/bin/env bash
# The Agent's management client (management_conformance.exe, under Wine) against
# Debian's real OpenVPN: a TLS server with a username/password check and a client
# with "dev null", both on 127.0.0.1 inside a private network namespace, the
# client's management interface held and querying passwords.
#   run_conformance.sh <management_conformance.exe> [<test-results dir>]
# Cases: the success path (hold, state on, bytecount, hold release, credentials
# with quotes and backslashes, CONNECTED, BYTECOUNT, signal SIGTERM) and a wrong
# password (the auth failure reaches the fatal callback). Exit 0 passed, 1
# failed, 77 skipped (no namespaces, tun, or openvpn here). Keys are made per
# run in a temporary folder; every process is killed on exit.
set -uo pipefail

driver=$(realpath "${1:?usage: run_conformance.sh <driver.exe> [results dir]}")
results=${2:-}
name=openvpn_management_conformance
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

skip() {
  echo "$name: SKIPPED: $*"
  exit 77
}

# ---- outside the namespace: check what is needed, then re-enter inside one.
if [ -z "${TOVRA_CONFORMANCE_INSIDE:-}" ]; then
  for tool in openvpn openssl python3 unshare ip timeout wine; do
    command -v "$tool" >/dev/null 2>&1 || skip "'$tool' is not installed (scripts/setup installs it)"
  done
  [ -c /dev/net/tun ] || skip "/dev/net/tun is not available"
  unshare -n true 2>/dev/null || skip "cannot create a network namespace (needs root or CAP_SYS_ADMIN)"
  export TOVRA_CONFORMANCE_INSIDE=1
  exec timeout -k 5 110 unshare -n bash "$0" "$@"
fi

# ---- inside the private namespace.
# Wine creates sockets in its wineserver, so the driver's sockets live in the
# wineserver's network namespace: this test runs a wineserver of its own, inside
# this namespace, on a prefix of its own (made once, ~20 s), and never touches
# the project's main prefix or its server.
source "$root/scripts/wine-env.sh"
export WINEPREFIX=${TOVRA_CONFORMANCE_WINEPREFIX:-$root/build/wineprefix-conformance}
work=$(mktemp -d /tmp/tovra-ovpn-conformance.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  # Up to 2 s for them to end on their own; then they are killed.
  for _ in $(seq 20); do
    alive=0
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
    [ "$alive" -eq 0 ] && break
    sleep 0.1
  done
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

ip link set lo up || skip "cannot bring up loopback in the namespace"
# A server of this prefix left in another namespace would take our sockets there.
wineserver -k >/dev/null 2>&1
wine_prepare

cases=()  # "name|status|message"
record() { cases+=("$1|$2|$3"); echo "$name: $1: $2${3:+ ($3)}"; }

write_report() {
  [ -n "$results" ] || return 0
  mkdir -p "$results"
  local failures=0 skipped=0 entry body=""
  for entry in "${cases[@]}"; do
    IFS='|' read -r case_name status message <<<"$entry"
    message=${message//&/&amp;}; message=${message//</&lt;}; message=${message//\"/&quot;}
    case $status in
      passed) body+="    <testcase name=\"$case_name\" classname=\"$name\" result=\"completed\"/>"$'\n' ;;
      skipped) skipped=$((skipped + 1))
        body+="    <testcase name=\"$case_name\" classname=\"$name\" result=\"skipped\"><skipped message=\"$message\"/></testcase>"$'\n' ;;
      *) failures=$((failures + 1))
        body+="    <testcase name=\"$case_name\" classname=\"$name\" result=\"completed\"><failure message=\"$message\"/></testcase>"$'\n' ;;
    esac
  done
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<testsuites tests="%d" failures="%d" skipped="%d" name="%s">\n  <testsuite name="%s" tests="%d" failures="%d" skipped="%d">\n%s  </testsuite>\n</testsuites>\n' \
    "${#cases[@]}" "$failures" "$skipped" "$name" "$name" "${#cases[@]}" "$failures" "$skipped" "$body" \
    >"$results/$name.xml"
}

# ---- keys and configurations, made for this run only.
cd "$work"
{
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=conformance-ca -keyout ca.key -out ca.crt &&
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -subj /CN=conformance-server -keyout server.key -out server.csr &&
  printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n' >server.ext &&
  openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
    -extfile server.ext -out server.crt
} >keys.log 2>&1 || { cat keys.log; record keys failed "openssl could not make the keys"; write_report; exit 1; }

# Credentials with the characters the credential command must escape.
printf '%s\n' 'mgmt "pw" \ 1' >management.pw
printf '%s\n' 'us"er\name' >user.txt
printf '%s\n' 'p a\"ss\\w"d' >pass.txt
printf '%s\n' 'not the password' >wrong.txt

cat >verify.sh <<'EOF'
#!/bin/sh
# auth-user-pass-verify via-file: line 1 username, line 2 password.
[ "$(sed -n 1p "$1")" = "$(cat "$(dirname "$0")/user.txt")" ] &&
  [ "$(sed -n 2p "$1")" = "$(cat "$(dirname "$0")/pass.txt")" ]
EOF
chmod +x verify.sh

server_port=11940
cat >server.conf <<EOF
dev tun
proto udp
local 127.0.0.1
port $server_port
server 10.201.0.0 255.255.255.0
topology subnet
ca $work/ca.crt
cert $work/server.crt
key $work/server.key
dh none
verify-client-cert none
script-security 2
auth-user-pass-verify $work/verify.sh via-file
tmp-dir $work
verb 3
EOF

openvpn --config server.conf >server.log 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  grep -q 'Initialization Sequence Completed' server.log && break
  kill -0 "${pids[0]}" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q 'Initialization Sequence Completed' server.log; then
  if grep -qiE 'tun|tap' server.log && ! kill -0 "${pids[0]}" 2>/dev/null; then
    tail -n 5 server.log
    skip "the OpenVPN server cannot create a tun device in the namespace"
  fi
  tail -n 20 server.log
  record server failed "the OpenVPN server did not start"
  write_report
  exit 1
fi

# The client reads its management password only from a terminal: run it on a
# pseudo-terminal and type the password when it asks.
cat >client_pty.py <<'EOF'
import os, pty, sys, termios, time
password = open(sys.argv[1], 'rb').read().rstrip(b'\n') + b'\n'
pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
seen = b''
typed = False
with open('client.log', 'ab') as log:
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        log.write(chunk); log.flush()
        seen = (seen + chunk)[-200:]
        if not typed and b'Management Password' in seen:
            # Type only once echo is off: switching it off flushes pending input.
            for _ in range(300):
                if not termios.tcgetattr(fd)[3] & termios.ECHO:
                    break
                time.sleep(0.01)
            os.write(fd, password); typed = True
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
EOF

run_case() {  # case-name driver-mode password-file
  local case_name=$1 mode=$2 password_file=$3 management_port=$4
  cat >client.conf <<EOF
client
dev null
proto udp
remote 127.0.0.1 $server_port
nobind
ca $work/ca.crt
auth-user-pass
auth-retry none
ifconfig-noexec
route-noexec
management 127.0.0.1 $management_port stdin
management-hold
management-query-passwords
verb 3
EOF
  : >client.log
  timeout -k 2 45 python3 client_pty.py management.pw openvpn --config client.conf &
  local client=$!
  pids+=("$client")
  for _ in $(seq 100); do
    grep -q "MANAGEMENT: TCP Socket listening" client.log && break
    sleep 0.1
  done
  timeout -k 5 50 wine "$driver" "$management_port" "$mode" management.pw user.txt "$password_file" \
    </dev/null >"driver-$case_name.log" 2>&1
  local rc=$?
  tr -d '\r' <"driver-$case_name.log" | sed "s/^/  driver: /"
  if [ $rc -eq 0 ]; then
    record "$case_name" passed ""
  else
    echo "  --- client log"; tail -n 25 client.log | sed 's/^/  /'
    record "$case_name" failed "driver exit $rc"
  fi
  for _ in $(seq 50); do kill -0 "$client" 2>/dev/null || break; sleep 0.1; done
  kill -TERM "$client" 2>/dev/null
  wait "$client" 2>/dev/null
}

run_case SuccessPath success pass.txt 11950
run_case WrongPassword wrong wrong.txt 11951

write_report
failed=0
for entry in "${cases[@]}"; do [[ $entry == *"|failed|"* ]] && failed=$((failed + 1)); done
echo "$name: $(( ${#cases[@]} - failed )) passed, $failed failed"
[ $failed -eq 0 ]
