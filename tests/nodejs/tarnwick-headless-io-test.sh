#!/usr/bin/env bash
# What a user of the headless program sees, against a real node and real pipes:
#  - a script that prints and exits at once delivers its last line, every time (50 runs), and the
#    end is told on standard error with the exit code and the restart to come;
#  - blank lines arrive, a prompt without a line feed appears (and the answer follows it on its
#    line: no line feed of ours), standard input reaches the script;
#  - a path with a double quote, '$', blanks and non-ASCII characters runs exactly that file,
#    which gets exactly one argument;
#  - another program's inspector on the port is never announced: the run ends with a message
#    that names the port and says to use --port.
set -u
tarnwick="$1"
command -v node >/dev/null || { echo "node is not installed: skipped"; exit 0; }
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in out err; do [[ -f $work/$f ]] && { echo "--- $f"; cat "$work/$f"; }; done; exit 1; }
free_port() { node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})'; }
wait_until() { local n=$1; shift; for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }
stop() { kill -TERM "$1" 2>/dev/null; wait "$1" 2>/dev/null; }

# 50 quick ends.
printf 'console.log("bye"); process.exit(3);\n' >"$work/bye.js"
for ((run = 0; run < 50; run++)); do
  rm -f "$work/out" "$work/err"  # a grep must not find the last run's lines
  "$tarnwick" --headless --no-break --port 0 "$work/bye.js" </dev/null >"$work/out" 2>"$work/err" &
  pid=$!
  wait_until 100 grep -qs 'exit code 3' "$work/err" || fail "run $run: the end was not told"
  stop "$pid"
  [[ $(cat "$work/out") == bye ]] || fail "run $run: the last line was lost"
  grep -Eqx 'tarnwick: the script ended with exit code 3; it starts again in [0-9]+ s \(Ctrl\+C to stop\)' "$work/err" \
    || fail "run $run: unexpected end message"
done

# Blank lines, a prompt, standard input.
cat >"$work/io.js" <<'JS'
console.log('first'); console.log(''); console.log('third');
process.stdout.write('prompt> ');
process.stdin.on('data', (d) => console.log('got ' + d.toString().trim()));
process.stdin.on('end', () => { console.log('input ended'); process.exit(0); });
JS
rm -f "$work/out" "$work/err"
mkfifo "$work/in"
"$tarnwick" --headless --no-break --port 0 "$work/io.js" <"$work/in" >"$work/out" 2>"$work/err" &
pid=$!
exec 3>"$work/in"
wait_until 100 grep -qs 'prompt> ' "$work/out" || fail "the prompt did not appear"
echo "hello" >&3
wait_until 100 grep -qs '^prompt> got hello$' "$work/out" || fail "standard input did not reach the script"
exec 3>&-
wait_until 100 grep -qs '^input ended$' "$work/out" || fail "the end of our input did not end the script's"
wait_until 100 grep -qs 'exit code 0' "$work/err" || fail "the end was not told"
stop "$pid"
[[ $(head -3 "$work/out") == $'first\n\nthird' ]] || fail "blank line lost"

# Any path: exactly that file, exactly one argument.
dir="$work/a folder"; mkdir -p "$dir"
name='dq"x $HOME `id` é.js'
printf 'console.log("args " + (process.argv.length - 1)); console.log("file " + process.argv[1]);\n' >"$dir/$name"
printf 'console.log("WRONG FILE");\n' >"$dir/dqx \$HOME \`id\` é.js"
rm -f "$work/out" "$work/err"
"$tarnwick" --headless --no-break --port "$(free_port)" "$dir/$name" </dev/null >"$work/out" 2>"$work/err" &
pid=$!
wait_until 100 grep -qs 'exit code' "$work/err" || fail "the script with a strange name did not end"
stop "$pid"
[[ $(grep -v '^DevTools: ' "$work/out") == "args 1"$'\n'"file $dir/$name" ]] || fail "wrong file or arguments"

# A foreign inspector on the port.
port=$(free_port)
node --inspect=127.0.0.1:"$port" -e 'setInterval(() => {}, 1000)' 2>/dev/null &
pids+=($!)
wait_until 100 curl -sf "http://127.0.0.1:$port/json" -o /dev/null || fail "the foreign inspector did not start"
printf 'setInterval(() => {}, 1000);\n' >"$work/mine.js"
timeout 20 "$tarnwick" --headless --port "$port" "$work/mine.js" </dev/null >"$work/out" 2>"$work/err"
status=$?
[[ $status == 1 ]] || fail "exit status $status with the port taken"
grep -qs '^DevTools: ' "$work/out" && fail "a foreign target was announced"
grep -qx "tarnwick: the inspector port $port is in use by another program; choose another port with --port N" \
  "$work/err" || fail "no port message"
echo "tarnwick headless input/output: all checks passed"
