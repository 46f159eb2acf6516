# Helpers for the tool tests: a bounded command run with its output checked.

fail() { echo "FAIL: $*"; exit 1; }

# A port nobody listens on right now (the kernel's pick for port 0).
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# expect STATUS PATTERN COMMAND...: runs COMMAND (20 s at most, no input),
# fails unless it exits with STATUS and its output matches PATTERN.
expect() {
  local want=$1 pattern=$2 rc=0 out
  shift 2
  out=$(timeout 20 "$@" 2>&1 </dev/null) || rc=$?
  [ "$rc" -eq "$want" ] || fail "$* exited $rc, expected $want: $out"
  grep -Eq -- "$pattern" <<<"$out" || fail "$*: no match for '$pattern' in: $out"
  last_output=$out
}

# Waits (10 s at most) until something listens on TCP port $1.
wait_listening() {
  for _ in $(seq 100); do
    ss -ltnH "sport = :$1" | grep -q . && return 0
    sleep 0.1 # poll, bounded above
  done
  fail "nothing listens on port $1"
}

# Scratch space and the background programs of this test, removed and
# stopped (by their own ids) when it ends.
TMPDIR_TOOLS=$(mktemp -d)
background=()
trap 'for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$TMPDIR_TOOLS"' EXIT
