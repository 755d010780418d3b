#!/usr/bin/env bash
# A console stop signal ends the Agent's loop: Ctrl+C (SIGINT to the Wine process)
# reaches its console control handler, it logs "agent stopped" and exits with 0.
#   agent_console_stop_test.sh <path of ZerkaVPNAgent.exe>
set -uo pipefail
source "$(dirname "$0")/../../scripts/wine-env.sh"
agent=$1
log="$WINEPREFIX/drive_c/ProgramData/Zerka/vpn/logs/agent.log"
offset=$(stat -c %s "$log" 2>/dev/null || echo 0)
fail() { echo "FAIL: $*"; tail -c +$((offset + 1)) "$log" 2>/dev/null | tail -n 20; exit 1; }

set -m  # own process group, and SIGINT not ignored in the background job
wine "$agent" </dev/null >/dev/null 2>&1 &
pid=$!
for _ in $(seq 100); do
  tail -c +$((offset + 1)) "$log" 2>/dev/null | grep -q "agent starting" && break
  sleep 0.1
done
tail -c +$((offset + 1)) "$log" | grep -q "agent starting" || { kill -9 $pid; fail "agent did not start"; }
sleep 0.5
kill -INT $pid
for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
kill -0 $pid 2>/dev/null && { kill -9 $pid; fail "agent still running 10 s after SIGINT"; }
wait $pid
rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc"
tail -c +$((offset + 1)) "$log" | grep -q "INFO agent stopped" || fail "no 'agent stopped' line"
echo "agent stopped on SIGINT with exit code 0"
