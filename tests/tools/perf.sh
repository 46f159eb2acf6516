#!/usr/bin/env bash
# Asynchronous multiplexed runs of korvane-perf that used to crash or hang it.
# Usage: perf.sh TOOLS_DIR recursion|window|refused
set -euo pipefail
tools=$1
. "$(dirname "$0")/common.sh"

case $2 in
recursion)
  # Receives complete on the calling thread while messages are parked; on a
  # small stack, issuing the next receive from inside each completion
  # overflowed it within a few thousand messages.
  ulimit -s 512
  expect 0 "every message intact" "$tools/korvane-perf" --connections 4 --async --count 30000 --size 16
  ;;
window)
  # A peer that hangs up mid-stream fails one of the many sends in flight;
  # the others complete after the run has ended. Three rounds, since the
  # old fault did not crash every time.
  for round in 1 2 3; do
    port=$(free_port)
    "$tools/korvane-cat" --listen "$port" --connections 16 </dev/null >/dev/null 2>&1 &
    background+=($!)
    wait_listening "$port"
    expect 1 "^korvane-perf: (send failed|connect to|hello failed)" \
      "$tools/korvane-perf" --connect "127.0.0.1:$port" --connections 16 --async --seconds 5 --size 64
  done
  ;;
refused)
  # The largest message the tool takes does not fit a multiplexed frame. The
  # refused send must end the run with its reason, not leave the receiver
  # waiting for an end message.
  for mode in "" --async; do
    expect 1 "^korvane-perf: send failed: .*multiplexed frame" \
      "$tools/korvane-perf" --connections 2 $mode --count 2 --size 5242880
  done
  ;;
*) fail "unknown case $2" ;;
esac
echo "perf $2 passed"
