#!/usr/bin/env bash
# Runs every fuzz target for SECONDS seconds (default 300) on a fresh seed
# corpus plus what earlier runs in BUILD kept. A crash, a sanitizer report,
# a failed check or an input that takes over a second stops the run with
# a non-zero status; the input is kept as BUILD/fuzz/artifacts/TARGET-*
# (replay it with BUILD/bin/TARGET_fuzz FILE, then make it a test).
# usage: fuzz/run.sh [BUILD] [SECONDS]
set -euo pipefail
build=${1:-build-fuzz}
secs=${2:-300}
# Absolute: the targets move into a scratch directory of their own.
build=$(cd "$build" && pwd)
bin=$build/bin
work=$build/fuzz
rm -rf "$work/seeds"
"$bin/makeseeds" "$work/seeds"
mkdir -p "$work/artifacts"
for t in image calls check; do
  seeds=$work/seeds/image
  maxlen=262144
  if [ "$t" = calls ]; then
    seeds=$work/seeds/calls
    maxlen=8192
  fi
  corpus=$work/corpus-$t
  mkdir -p "$corpus"
  echo "== ${t}_fuzz for ${secs}s"
  status=0
  nice "$bin/${t}_fuzz" -max_total_time="$secs" -timeout=1 -rss_limit_mb=2048 \
    -max_len="$maxlen" -print_final_stats=1 -artifact_prefix="$work/artifacts/$t-" \
    "$corpus" "$seeds" >"$work/$t.log" 2>&1 || status=$?
  # Progress and dictionary lines are many; the rest (and any report) is shown.
  grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)|^[[:space:]]+NEW_FUNC|# Uses: [0-9]+$' "$work/$t.log" || true
  if [ "$status" -ne 0 ]; then
    echo "${t}_fuzz found a problem (status $status); the input is in $work/artifacts" >&2
    exit 1
  fi
done
