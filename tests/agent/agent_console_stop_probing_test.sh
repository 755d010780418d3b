#!/usr/bin/env bash
# A console stop ends the Agent even while a client keeps its link open and probes
# it every 2 s (the plugin's event pump): the Agent logs "agent stopped", exits 0,
# and the client sees its link closed.
#   agent_console_stop_probing_test.sh <ZerkaVPNAgent.exe> <agent_prober.exe>
set -uo pipefail
source "$(dirname "$0")/../../scripts/wine-env.sh"
agent=$1
prober=$2
log="$WINEPREFIX/drive_c/ProgramData/Zerka/vpn/logs/agent.log"
offset=$(stat -c %s "$log" 2>/dev/null || echo 0)
probes=$(mktemp)
agent_pid=
prober_pid=
cleanup() {
  [ -n "$agent_pid" ] && kill -9 "$agent_pid" 2>/dev/null
  [ -n "$prober_pid" ] && kill -9 "$prober_pid" 2>/dev/null
  rm -f "$probes"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- prober:"; cat "$probes"
  echo "--- agent log:"; tail -c +$((offset + 1)) "$log" 2>/dev/null | tail -n 20
  exit 1
}
# Polls a condition every 0.1 s for at most $1 seconds.
wait_for() {
  local seconds=$1; shift
  for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  "$@"
}
agent_log_has() { tail -c +$((offset + 1)) "$log" 2>/dev/null | grep -q "$1"; }
agent_gone() { ! kill -0 "$agent_pid" 2>/dev/null; }
prober_gone() { ! kill -0 "$prober_pid" 2>/dev/null; }

set -m  # own process groups, and SIGINT not ignored in background jobs
wine "$agent" </dev/null >/dev/null 2>&1 &
agent_pid=$!
wait_for 10 agent_log_has "agent starting" || fail "agent did not start"
wine "$prober" </dev/null >"$probes" 2>&1 &
prober_pid=$!
# Two answered probes: the link is open and being probed on the pump's period.
wait_for 30 grep -q "probe 2 ok" "$probes" || fail "the prober was not answered twice"

kill -INT "$agent_pid"
# Well inside the 15 s a silent client would take: the probes never let it be silent.
wait_for 8 agent_gone || fail "agent still running 8 s after SIGINT while probed"
wait "$agent_pid"
rc=$?
agent_pid=
[ "$rc" -eq 0 ] || fail "exit code $rc"
agent_log_has "INFO agent stopped" || fail "no 'agent stopped' line"
wait_for 15 prober_gone || fail "the prober's link was not closed"
prober_pid=
grep -q "link closed" "$probes" || fail "the prober did not see its link closed"
echo "agent stopped on SIGINT while probed every 2 s, exit code 0"
