#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer with ASan and UBSan) in build-fuzz/
# and runs each one for the given time:
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default: 60 s each, every target)
# Prints the executions run per target. Fails when a target finds a crash,
# leak, undefined behaviour, time-out or broken invariant; the input that did
# it is kept in build-fuzz/artifacts/<target>/ and the log in build-fuzz/logs/.
# Inputs that reached new code are kept in build-fuzz/corpus/<target>/ and
# used again by the next run, next to the checked-in seeds in tools/fuzz/corpus/.
# Reproduce one input: build-fuzz/tools/fuzz/<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
case "$seconds" in
  ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, got '$seconds'" >&2; exit 2 ;;
esac

scripts/deps.sh build fuzz

dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELKO_FUZZ=ON -DPELKO_BUILD_TESTS=OFF >/dev/null
nice -n 10 cmake --build "$dir" --target fuzz_all -j "$(nproc)" >"$dir/fuzz-build.log" 2>&1 || {
  cat "$dir/fuzz-build.log" >&2
  echo "fuzz.sh: building the fuzz targets failed" >&2
  exit 1
}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in tools/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$src" .cpp)")
  done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
mkdir -p "$dir/logs"
for t in "${targets[@]}"; do
  bin="$dir/tools/fuzz/$t"
  [ -x "$bin" ] || { echo "fuzz.sh: no such target: $t" >&2; failed+=("$t"); continue; }
  mkdir -p "$dir/corpus/$t" "$dir/artifacts/$t"
  case "$t" in
    fuzz_connector|fuzz_tcp_stream) max_len=8192 ;;
    *) max_len=1024 ;;
  esac
  dict=()
  [ -f "tools/fuzz/$t.dict" ] && dict=(-dict="tools/fuzz/$t.dict")
  log="$dir/logs/$t.log"
  rc=0
  # The gateway's console lines are silenced inside the targets (std::cout and
  # std::cerr) and its standard output is closed (-close_fd_mask=1); libFuzzer
  # and the sanitizers report on standard error.
  ASAN_OPTIONS=${ASAN_OPTIONS}:quarantine_size_mb=16 nice -n 10 "$bin" -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=1 \
    -timeout=30 -rss_limit_mb=2048 -max_len="$max_len" \
    -artifact_prefix="$dir/artifacts/$t/" "${dict[@]}" \
    "$dir/corpus/$t" "tools/fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  if [ "$rc" -eq 0 ]; then
    printf '%-22s %10s executions in %ss (%s/s)\n' "$t" "${execs:-?}" "$seconds" "${speed:-?}"
  else
    printf '%-22s FAILED (status %s) after %s executions; log: %s\n' "$t" "$rc" "${execs:-?}" "$log"
    grep -E 'ERROR|invariant broken|runtime error|SUMMARY|Test unit written' "$log" | head -n 20 || true
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz.sh: failures in: ${failed[*]}" >&2
  exit 1
fi
