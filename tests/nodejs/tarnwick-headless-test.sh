#!/usr/bin/env bash
# End-to-end run of the headless program against a real node:
#  - one "DevTools: " line whose target id is the one the inspector lists on /json;
#  - SIGTERM ends tarnwick and its node;
#  - SIGKILL of tarnwick leaves no node behind;
#  - a program that cannot be started gives exit status 1 with the logged error.
set -u
tarnwick="$1"; script="$2"
command -v node >/dev/null || { echo "node is not installed: skipped"; exit 0; }
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; [[ -f $work/out ]] && { echo "--- stdout"; cat "$work/out"; echo "--- stderr"; cat "$work/err"; }; exit 1; }

free_port() { node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})'; }
# Waits up to $1 tenths of a second for the command in the rest of the arguments to succeed.
wait_until() { local n=$1; shift; for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }
node_of() { pgrep -f -- "--inspect-brk=127.0.0.1:$1 "; }
export -f node_of  # the waits below call it from bash -c

run() {  # starts tarnwick on a fresh port; sets pid and port
  port=$(free_port)
  # The background job opens its files later: an earlier run's output must not answer the wait.
  rm -f "$work/out" "$work/err"
  "$tarnwick" --headless --port "$port" "$script" >"$work/out" 2>"$work/err" &
  pid=$!
  wait_until 100 grep -qs '^DevTools: ' "$work/out" || fail "no DevTools line"
}

run
line=$(grep '^DevTools: ' "$work/out")
[[ $line == "DevTools: devtools://devtools/bundled/js_app.html?"*"ws=127.0.0.1:$port/"* ]] || fail "unexpected line: $line"
id=${line##*/}
curl -s "http://127.0.0.1:$port/json" | grep -q "\"id\": \"$id\"" || fail "id $id is not the inspector's"
[[ $(grep -c '^DevTools: ' "$work/out") == 1 ]] || fail "more than one DevTools line"
grep -q 'Debugger listening' "$work/err" && fail "inspector banner not filtered"
node_pid=$(node_of "$port") || fail "no node child"
kill -TERM "$pid"
wait_until 50 bash -c "! kill -0 $pid 2>/dev/null" || fail "tarnwick still runs after SIGTERM"
wait "$pid"; status=$?
[[ $status == 0 ]] || fail "exit status $status after SIGTERM"
wait_until 50 bash -c "! node_of $port >/dev/null" || fail "node $node_pid survived SIGTERM"

run
node_pid=$(node_of "$port") || fail "no node child"
kill -KILL "$pid"; wait "$pid" 2>/dev/null
wait_until 50 bash -c "! node_of $port >/dev/null" || fail "node $node_pid survived SIGKILL of tarnwick"

"$tarnwick" --headless --node /no/such/node "$script" >"$work/out" 2>"$work/err"; status=$?
[[ $status == 1 ]] || fail "exit status $status for a missing node"
grep -qx 'tarnwick: Error Creating Process \[2\] No such file or directory' "$work/err" || fail "unexpected error text"

# Headless needs an existing script (the window would take a missing one into its path box).
"$tarnwick" --headless "$work/missing.js" >"$work/out" 2>"$work/err"; status=$?
[[ $status == 2 ]] || fail "exit status $status for a missing script"
grep -q '^Usage: tarnwick' "$work/err" || fail "no usage for a missing script"
echo "tarnwick headless: all checks passed"
