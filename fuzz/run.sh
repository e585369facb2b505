#!/usr/bin/env bash
# Runs the fuzz targets built in build/fuzz (cmake --preset fuzz), one after the other.
#
#   fuzz/run.sh fuzz [seconds]   each target for `seconds` (300), on its checked-in seeds, growing
#                                build/fuzz-corpus/<target>; fuzz/ is never written
#   fuzz/run.sh check [seconds]  each target for `seconds` (20) on a fresh copy of its seeds; fails
#                                when any target finds a crash, a leak or a broken property
#   fuzz/run.sh merge            adds to fuzz/corpus/<target> the inputs of build/fuzz-corpus/<target>
#                                that reach code its seeds don't
#
# FUZZ_TARGETS="config crypto" narrows the run. Crashing inputs go to build/fuzz-artifacts/; a
# crash is reproduced by running the target with the input's path as its argument.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/fuzz/fuzz
build=$root/build
read -r -a targets <<< "${FUZZ_TARGETS:-ipc_framing config crypto xml_print safe_file}"
mode=${1:-}

# The targets that touch files work in a directory of their own, so every path handed over is
# absolute. A run that hangs for 10 seconds counts as a crash.
common=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1)

# One line per target for the reliability figures: executions, corpus size, verdict.
summarise() {
  local target=$1 log=$2 corpus=$3 status=$4
  local execs files bytes
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  files=$(find "$corpus" -type f | wc -l)
  bytes=$(du -sb "$corpus" | cut -f1)
  printf '%-12s %12s execs  corpus %6s inputs %9s bytes  %s\n' "$target" "${execs:-?}" \
    "$files" "$bytes" "$([ "$status" -eq 0 ] && echo ok || echo "FAILED (exit $status, log $log)")"
}

run() {
  local seconds=$1 fresh=$2
  local failed=0 target corpus log status
  mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
  for target in "${targets[@]}"; do
    [ -x "$bin/fuzz_$target" ] || { echo "no fuzz target $target: build the fuzz preset" >&2; exit 2; }
    if [ "$fresh" = yes ]; then
      corpus=$build/fuzz-check/$target
      rm -rf "$corpus"
      mkdir -p "$corpus"
      cp "$root/fuzz/corpus/$target/." "$corpus/" -r
      seeds=()
    else
      corpus=$build/fuzz-corpus/$target
      mkdir -p "$corpus"
      seeds=("$root/fuzz/corpus/$target")
    fi
    log=$build/fuzz-logs/$target.log
    status=0
    "$bin/fuzz_$target" "${common[@]}" -max_total_time="$seconds" \
      -artifact_prefix="$build/fuzz-artifacts/$target-" "$corpus" "${seeds[@]}" > "$log" 2>&1 ||
      status=$?
    summarise "$target" "$log" "$corpus" "$status"
    if [ "$status" -ne 0 ]; then
      failed=1
      grep -m1 -E 'ERROR:|SUMMARY:|^[a-z_]+: ' "$log" >&2 || true
    fi
  done
  return $failed
}

case "$mode" in
  fuzz) run "${2:-300}" no ;;
  check) run "${2:-20}" yes ;;
  merge)
    mkdir -p "$build/fuzz-logs"
    for target in "${targets[@]}"; do
      [ -d "$build/fuzz-corpus/$target" ] || continue
      "$bin/fuzz_$target" -merge=1 "$root/fuzz/corpus/$target" "$build/fuzz-corpus/$target" \
        > "$build/fuzz-logs/$target-merge.log" 2>&1
      echo "$target: $(find "$root/fuzz/corpus/$target" -type f | wc -l) seeds"
    done
    ;;
  *)
    echo "usage: $0 fuzz [seconds] | check [seconds] | merge" >&2
    exit 2
    ;;
esac
