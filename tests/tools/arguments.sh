#!/usr/bin/env bash
# Every tool and example answers --help, refuses a bad argument with one
# reason and status 2 before it listens or connects, and reports a failed
# connect as one line with status 1. Usage: arguments.sh TOOLS_DIR EXAMPLES_DIR
set -euo pipefail
tools=$1 examples=$2
. "$(dirname "$0")/common.sh"

for program in "$tools"/korvane-{perf,cat,demo,keygen} "$examples"/{echo_server,echo_client,tls_server,tls_client,mux_sender,mux_receiver,keygen}; do
  expect 0 '^usage: ' "$program" --help
done

expect 2 "from 1 to 65535, got '70000'" "$examples/echo_server" 70000
expect 2 "got '--help2'" "$examples/echo_client" --help2
expect 2 "unknown argument 'extra'" "$examples/echo_server" 7000 extra
expect 2 "expected 3 arguments" "$examples/tls_server" 7000
expect 2 "CONNECTIONS: expected a whole number from 1 to 64" "$examples/mux_sender" 7000 0 10
expect 2 "unknown argument" "$tools/korvane-demo" --fast
expect 2 "^korvane-perf: --listen: expected a whole number" "$tools/korvane-perf" --listen 70000
expect 2 "^korvane-perf: --check: expected full or sequence" "$tools/korvane-perf" --check some
expect 2 "^korvane-cat: --connect: expected HOST:PORT" "$tools/korvane-cat" --connect nowhere

# Nobody listens on $port: one line, status 1, no figures.
port=$(free_port)
expect 1 "^korvane-perf: connect to 127.0.0.1:$port failed" "$tools/korvane-perf" --connect "127.0.0.1:$port"
[ "$(wc -l <<<"$last_output")" -eq 1 ] || fail "korvane-perf printed more than its error: $last_output"
expect 1 "^korvane-cat: " "$tools/korvane-cat" --connect "127.0.0.1:$port"
expect 1 "connect failed" "$examples/echo_client" "$port"

# A peer's bytes reach the terminal only as printable text: a hello that
# carries an escape sequence is quoted with the sequence defused.
port=$(free_port)
"$tools/korvane-perf" --listen "$port" >"$TMPDIR_TOOLS/listener.out" 2>&1 &
listener=$!
background+=("$listener")
wait_listening "$port"
printf '\033[2Jhello\n' | timeout 20 "$tools/korvane-cat" --connect "127.0.0.1:$port" >/dev/null 2>&1 || true
timeout 20 tail --pid="$listener" -f /dev/null || fail "korvane-perf --listen did not end"
wait "$listener" && fail "korvane-perf accepted a foreign hello"
grep -q 'unexpected hello' "$TMPDIR_TOOLS/listener.out" || fail "no hello complaint: $(cat "$TMPDIR_TOOLS/listener.out")"
if grep -q $'\033' "$TMPDIR_TOOLS/listener.out"; then fail "korvane-perf printed the peer's escape byte"; fi
echo "argument checks passed"
