#!/usr/bin/env bash
# Regenerates every seed corpus in fuzz/corpus/ from the seed lists the fuzz
# targets declare (each target's seeds()), through the replay runners'
# --make-corpus mode. Inputs that a fuzzer found (files named found-*) are
# kept as they are; every other file is replaced, so the corpus is exactly
# the seed lists plus the findings.
#
#   fuzz/make-corpus.sh [BUILD_DIR]     (default: build-corpus)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-corpus}
targets=()
for source in fuzz/*.cpp; do
  name=$(basename "$source" .cpp)
  case "$name" in FuzzSupport|ReplayRunner) continue ;; esac
  targets+=("$name")
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DKORVANE_TOOLS=OFF -DKORVANE_EXAMPLES=OFF >/dev/null
fi
cmake --build "$build" -j 2 --target "${targets[@]/#/replay_}"

for target in "${targets[@]}"; do
  corpus=fuzz/corpus/$target
  mkdir -p "$corpus"
  find "$corpus" -maxdepth 1 -type f ! -name 'found-*' -delete
  "$build/fuzz/replay_$target" --make-corpus "$corpus"
done
