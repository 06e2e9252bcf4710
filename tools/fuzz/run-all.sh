#!/usr/bin/env bash
# Runs every fuzz target in parallel for a given time, each from its
# checked-in corpus and a working corpus of its own, then merges what the
# working corpora found back into small corpora (libFuzzer -merge=1) and
# prints each target's inputs per second.
#
#   tools/fuzz/run-all.sh [-t SECONDS] [-j JOBS] [-b BUILD] [-o DIR] [-u] [TARGET...]
#
#   -t  seconds per target (default 60)
#   -j  targets run at once (default: the processors)
#   -b  the build directory (default build/fuzz, the `fuzz` preset with
#       AddressSanitizer; build/fuzz-fast runs about four times as many inputs
#       without it)
#   -o  working directory (default BUILD/run): DIR/corpus/<target> keeps
#       what the runs found, DIR/merged/<target> the merged corpus,
#       DIR/logs/<target>.log each run's output, crashes land in DIR/crashes
#   -u  copy the merged corpus back into tools/fuzz/corpus/<target> (only
#       the inputs that add coverage; review before committing)
#   TARGET  names without the fuzz_ prefix (default: all)
#
# Needs the preset built: cmake --preset fuzz && cmake --build --preset fuzz
# (or fuzz-fast). Prints each target's inputs per second and inputs run, and
# exits non-zero when a target crashed or found an oracle failure.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$root/build/fuzz"
seconds=60
jobs="$(nproc)"
out=""
update=0
while getopts "t:j:b:o:uh" opt; do
  case "$opt" in
    t) seconds="$OPTARG" ;;
    j) jobs="$OPTARG" ;;
    b) build="$(cd "$OPTARG" && pwd)" ;;
    o) out="$OPTARG" ;;
    u) update=1 ;;
    *) sed -n '2,25p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
bin="$build/tools/fuzz"
out="${out:-$build/run}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(datapath registers requests receive control descriptors scenario)
fi
for t in "${targets[@]}"; do
  if [ ! -x "$bin/fuzz_$t" ]; then
    echo "missing $bin/fuzz_$t: build the fuzz (or fuzz-fast) preset" >&2
    exit 2
  fi
done
mkdir -p "$out/logs" "$out/crashes"

run_one() {
  local t="$1" rc=0
  mkdir -p "$out/corpus/$t"
  # Each target writes its crash files and machine histories into crashes/.
  (cd "$out/crashes" &&
    "$bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$out/crashes/${t}-" \
      "$out/corpus/$t" "$here/corpus/$t" >"$out/logs/$t.log" 2>&1) || rc=$?
  echo "$rc" >"$out/logs/$t.rc"
}

running=0
for t in "${targets[@]}"; do
  rm -f "$out/logs/$t.rc"
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
printf '%-12s %10s %12s %8s  %s\n' target "inputs/s" inputs corpus result
for t in "${targets[@]}"; do
  log="$out/logs/$t.log"
  # libFuzzer's last status line and its final statistics.
  rate="$(grep -o 'exec/s: [0-9]*' "$log" | tail -1 | awk '{print $2}')"
  total="$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')"
  mkdir -p "$out/merged/$t"
  "$bin/fuzz_$t" -merge=1 "$out/merged/$t" "$here/corpus/$t" "$out/corpus/$t" \
    >"$out/logs/$t.merge.log" 2>&1 || true
  size="$(find "$out/merged/$t" -type f | wc -l)"
  result=ok
  if [ "$(cat "$out/logs/$t.rc" 2>/dev/null || echo 1)" != 0 ]; then
    result="FAILED (see $log)"
    failed=1
  fi
  printf '%-12s %10s %12s %8s  %s\n' "$t" "${rate:-?}" "${total:-?}" "$size" "$result"
  if [ "$update" = 1 ]; then
    # Only what adds coverage to the checked-in corpus.
    "$bin/fuzz_$t" -merge=1 "$here/corpus/$t" "$out/merged/$t" >>"$out/logs/$t.merge.log" 2>&1 || true
  fi
done
[ "$failed" = 0 ]
