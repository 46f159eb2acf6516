#!/usr/bin/env bash
# Runs every example program once, servers against their clients on
# loopback, each under a deadline. Usage: run.sh EXAMPLES_BIN_DIR
set -euo pipefail
bin=$1
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A port nobody listens on right now (the kernel's pick for port 0).
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# Starts a server in the background and waits (at most 10 s) until it says
# it is listening.
start_server() {
  local log=$1; shift
  "$@" >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q "listening" "$log" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || { cat "$log"; return 1; }
    sleep 0.1 # poll, with the 10 s bound above
  done
  echo "server did not start: $*"; cat "$log"; return 1
}

# Waits for the last server to exit successfully.
server_ok() {
  local log=$1
  if ! timeout 20 tail --pid="${pids[-1]}" -f /dev/null; then echo "server hung"; cat "$log"; return 1; fi
  wait "${pids[-1]}" || { echo "server failed"; cat "$log"; return 1; }
}

echo "== keygen"
timeout 10 "$bin/keygen" | grep -Eq '^public [0-9a-f]{64}$'

echo "== asynchronous echo"
port=$(free_port)
start_server "$work/echo.log" "$bin/echo_server" "$port" --once
timeout 20 "$bin/echo_client" "$port"
server_ok "$work/echo.log"

echo "== asynchronous echo in one process (the README's example, verbatim)"
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
awk '/^<!-- examples\/async_echo.cpp -->$/ {found=1; next} found && /^```cpp$/ {inside=1; next}
     inside && /^```$/ {exit} inside {print}' "$source_dir/README.md" >"$work/readme_async_echo.cpp"
diff -u "$source_dir/examples/async_echo.cpp" "$work/readme_async_echo.cpp"
port=$(free_port)
timeout 20 "$bin/async_echo" "$port" >"$work/async.log" 2>&1 || { cat "$work/async.log"; exit 1; }
grep -q "^client: ping$" "$work/async.log"
grep -q "^server: stream ended cleanly$" "$work/async.log"

echo "== TLS client and server"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
port=$(free_port)
start_server "$work/tls.log" "$bin/tls_server" "$port" "$work/cert.pem" "$work/key.pem"
SSL_CERT_FILE="$work/cert.pem" timeout 20 "$bin/tls_client" 127.0.0.1 "$port" --verify
server_ok "$work/tls.log"

echo "== multiplexed sender and receiver"
port=$(free_port)
start_server "$work/mux.log" "$bin/mux_receiver" "$port" 1000
timeout 20 "$bin/mux_sender" "$port" 3 1000
server_ok "$work/mux.log"
grep -q "received 1000 of 1000 messages in order" "$work/mux.log"
echo "all examples ran"
