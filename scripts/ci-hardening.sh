#!/usr/bin/env bash
# The hardening part of CI: scripts/ci-hardening.sh [FUZZ_SECONDS]
#   1. the whole test suite in the AddressSanitizer + UndefinedBehaviorSanitizer build,
#   2. the whole test suite in the ThreadSanitizer build,
#   3. every fuzz target for a smoke time (FUZZ_SECONDS each, default 20),
#   4. clang-tidy and cppcheck.
# Any sanitizer report fails the test that caused it. Every step runs even
# when an earlier one failed; the summary shows each step's result and time,
# and the script fails when any step did.
set -uo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${1:-20}

# Stop at the first report, with the stack, and fail the process.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

summary=()
failed=0
step() {
  local name=$1
  shift
  echo "=== $name"
  local start=$SECONDS
  if "$@"; then
    summary+=("$(printf '%-28s ok      %4ss' "$name" $((SECONDS - start)))")
  else
    summary+=("$(printf '%-28s FAILED  %4ss' "$name" $((SECONDS - start)))")
    failed=1
  fi
}

step "tests, ASan+UBSan" scripts/test.sh asan
step "tests, TSan" scripts/test.sh tsan
step "fuzzing, ${fuzz_seconds}s per target" scripts/fuzz.sh "$fuzz_seconds"
step "clang-tidy and cppcheck" scripts/lint.sh

echo "=== hardening summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
