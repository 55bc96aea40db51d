#!/usr/bin/env bash
# scripts/run with options but no script debugs the example (and does not print the usage).
set -u
root="$1"
command -v node >/dev/null || { echo "node is not installed: skipped"; exit 0; }
work=$(mktemp -d); trap 'kill -TERM $pid 2>/dev/null; rm -rf "$work"' EXIT
port=$(node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})')
"$root/scripts/run" --headless --no-break --port "$port" </dev/null >"$work/out" 2>"$work/err" &
pid=$!
for ((i = 0; i < 600; i++)); do
  grep -qs '^Hello from Tarnwick' "$work/out" && grep -qs '^DevTools: ' "$work/out" && break
  sleep 0.1
done
kill -TERM $pid; wait $pid 2>/dev/null
grep -qs '^Hello from Tarnwick' "$work/out" || { echo "FAIL: the example did not run"; cat "$work/out" "$work/err"; exit 1; }
grep -qs "ws=127.0.0.1:$port/" "$work/out" || { echo "FAIL: the port option was lost"; cat "$work/out"; exit 1; }
grep -qs 'Usage' "$work/err" && { echo "FAIL: usage printed"; exit 1; }
echo "scripts/run: the example runs with options alone"
