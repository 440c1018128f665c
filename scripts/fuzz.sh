#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each of them briefly against its kept corpus
# (fuzz/corpus/<name>/). Inputs the fuzzer finds on the way go to a scratch folder; a crash
# leaves its input under <build>/fuzz-artifacts/ and fails the script.
#
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target name ...]
#   YR_FUZZ_BUILD_DIR  build folder (default build-fuzz)
#   YR_JOBS            parallel compile jobs (default 3)
# Needs clang and libclang-rt-14-dev: YR_WITH_FUZZ=1 bash scripts/install-deps.sh (as root).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
[ $# -gt 0 ] && shift
build=${YR_FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${YR_JOBS:-3}

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing; run YR_WITH_FUZZ=1 bash scripts/install-deps.sh as root" >&2
  exit 1
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DYR_BUILD_FUZZ=ON -DYR_SANITIZE=ON -DYR_BUILD_TESTS=OFF -DYR_BUILD_BENCH=OFF >/dev/null

if [ $# -gt 0 ]; then
  names=("$@")
else
  mapfile -t names < <(sort -u "$build/fuzz/targets.txt")
fi
if [ ${#names[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets found" >&2
  exit 1
fi

ninja -C "$build" -j"$jobs" "${names[@]/#/fuzz_}" >/dev/null

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=()
for n in "${names[@]}"; do
  corpus="$root/fuzz/corpus/$n"
  mkdir -p "$scratch/$n"
  seeds=()
  [ -d "$corpus" ] && seeds=("$corpus")
  echo "fuzz: $n for ${secs}s (seeds: ${corpus})"
  if "$build/fuzz/fuzz_$n" -max_total_time="$secs" -timeout=25 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$n-" "$scratch/$n" "${seeds[@]}" >"$scratch/$n.log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|peak_rss_mb|new_units_added)' "$scratch/$n.log" | sed "s/^/fuzz: $n /" || true
    echo "fuzz: $n: no finding"
  else
    tail -n 40 "$scratch/$n.log" >&2
    echo "fuzz: $n: FAILED (artifacts in $artifacts)" >&2
    failed+=("$n")
  fi
done

[ ${#failed[@]} -eq 0 ] || { echo "fuzz: failed: ${failed[*]}" >&2; exit 1; }
echo "fuzz: all ${#names[@]} target(s) ran without a finding"
