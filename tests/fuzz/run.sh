#!/usr/bin/env bash
# Builds the fuzz targets (preset linux-fuzz) and runs each for a fixed time from a copy of its
# committed seed corpus (tests/fuzz/corpus/<target>; the copy grows, the committed corpus never
# changes). A crash, a sanitizer finding or a broken invariant fails the run; the input that
# caused it is kept in build/linux-fuzz/findings/.
#
#   tests/fuzz/run.sh [seconds per target, default 20] [target ...]
#   targets: signature manifest http_response (default: all three)
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(signature manifest http_response)

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings="$PWD/build/linux-fuzz/findings"
failed=0
for target in "${targets[@]}"; do
  cp -r "tests/fuzz/corpus/$target" "$work/$target"
  mkdir -p "$work/artifacts-$target"
  log="$work/$target.log"
  status=0
  # The manifest target's scratch folders go under $work too.
  TMPDIR="$work" "build/linux-fuzz/tests/fuzz/kvt_fuzz_$target" -max_total_time="$seconds" \
    -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts-$target/" "$work/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  if [ "$status" = 0 ]; then
    echo "ok   $target: ${runs:-?} runs in ${seconds} s (${rate:-?}/s), corpus $(ls "$work/$target" | wc -l) inputs"
  else
    failed=1
    mkdir -p "$findings"
    cp "$work/artifacts-$target/"* "$findings/" 2>/dev/null || true
    echo "FAIL $target (exit $status); inputs kept in $findings:"
    grep -E "invariant broken|ERROR: |runtime error|SUMMARY" "$log" | head -5 || true
    tail -n 30 "$log"
  fi
done
exit "$failed"
