#!/usr/bin/env bash
# Coverage-guided fuzzing: builds the libFuzzer targets of tests/fuzz/ with
# clang under AddressSanitizer and UndefinedBehaviorSanitizer, assertions
# on, into build-fuzz/ (or $VANTREL_FUZZ_BUILD), then runs each for SECONDS
# (default 60), two at a time, from its seed corpus in tests/fuzz/corpus/
# (what it finds goes to a temporary directory; the repository is only
# read). Prints each target's executions per second and the edges it
# covered. A crash, a failed assertion or check, or any sanitizer report
# fails the run; the input that did it is kept in the build's artifacts/.
# Usage: fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "fuzz.sh needs root (packages)" >&2; exit 1; }
  exec sudo "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(request_input form settings_env status_json)

"$root/scripts/setup.sh" fuzz
build=${VANTREL_FUZZ_BUILD:-$root/build-fuzz}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
mkdir -p "$build/artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {
  local name=$1
  mkdir -p "$work/$name"
  "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
    "$work/$name" "$root/tests/fuzz/corpus/$name" >"$work/$name.log" 2>&1
}

summary() {
  local name=$1 log=$work/$1.log
  local total cov execs
  total=$(grep -oE 'Loaded [0-9]+ modules +\(([0-9]+) inline 8-bit counters' "$log" | grep -oE '\(([0-9]+)' | tr -d '(' | head -n 1 || true)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+' || true)
  execs=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  printf '%-14s %9s exec/s   %5s of %5s edges covered (%s %%)\n' "$name" "${execs:-?}" "${cov:-?}" "${total:-?}" \
    "$(awk -v c="${cov:-0}" -v t="${total:-0}" 'BEGIN { printf "%.1f", t ? 100 * c / t : 0 }')"
}

status=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for name in "${targets[@]:i:2}"; do
    run "$name" &
    pids+=("$!")
  done
  for j in "${!pids[@]}"; do
    name=${targets[$((i + j))]}
    if ! wait "${pids[$j]}"; then
      echo "fuzz_$name failed:" >&2
      tail -n 40 "$work/$name.log" >&2
      status=1
    fi
  done
done
echo "Fuzzing, ${seconds} s per target:"
for name in "${targets[@]}"; do summary "$name"; done
exit "$status"
