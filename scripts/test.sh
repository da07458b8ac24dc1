#!/usr/bin/env bash
# Builds everything and runs the whole test suite: a normal build, then the same suite under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

export CCACHE_DIR="${CCACHE_DIR:-$PWD/.ccache}"
jobs="${TALIUN_JOBS:-2}"
stages="${TALIUN_STAGES:-release asan tsan extra}"

run_stage() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600)
}

for stage in $stages; do
  echo "=== stage: $stage"
  case "$stage" in
    release) run_stage build/release -DTALIUN_BENCH=ON ;;
    asan)    ASAN_OPTIONS=detect_leaks=1 run_stage build/asan -DTALIUN_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug ;;
    tsan)    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_stage build/tsan -DTALIUN_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug ;;
    extra)   [ -x scripts/extra-checks.sh ] && scripts/extra-checks.sh ;;
    *) echo "unknown stage $stage" >&2; exit 2 ;;
  esac
done
echo "All stages passed."
