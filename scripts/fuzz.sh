#!/usr/bin/env bash
# Runs every fuzz target the fuzz preset builds (the list CMake writes to
# build/fuzz/fuzz/targets.txt) for a fixed time (default 60 s) from its seed corpus.
# New inputs are kept in the build tree (build/fuzz/fuzz/corpus), so runs add
# up without touching the seeds; a crashing input lands in
# build/fuzz/fuzz/artifacts/<target>/ and the script fails.
#   bash scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

mapfile -t targets <build/fuzz/fuzz/targets.txt
[ "${#targets[@]}" -gt 0 ] || { echo "no fuzz targets in build/fuzz/fuzz/targets.txt" >&2; exit 1; }

status=0
for target in "${targets[@]}"; do
  work="build/fuzz/fuzz/corpus/$target"
  artifacts="build/fuzz/fuzz/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  echo "== $target: $seconds s"
  if ! "build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=5 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$target" \
      >"build/fuzz/fuzz/$target.log" 2>&1; then
    echo "$target FAILED; see build/fuzz/fuzz/$target.log and $artifacts/" >&2
    tail -n 30 "build/fuzz/fuzz/$target.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "build/fuzz/fuzz/$target.log" || true
  fi
done
exit "$status"
