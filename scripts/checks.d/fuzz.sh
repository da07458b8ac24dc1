#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for a bounded time over its seed corpus.
# Any crash, leak, time-out or sanitizer report fails the stage; the offending input is left in
# build/fuzz/artifacts (add it to the target's corpus as regress-<what> once the fault is mended).
#
# New inputs go to a scratch corpus (the first directory on the command line); the committed corpus
# (second) is only read. TALIUN_FUZZ_SECONDS sets the time per target (default 40 s: the build and
# eight targets stay within about 12 minutes on two cores). build/fuzz/summary.txt gets one line per
# target with its executions and result.
set -uo pipefail
cd "$(dirname "$0")/../.."
seconds="${TALIUN_FUZZ_SECONDS:-40}"
jobs="${TALIUN_JOBS:-2}"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTALIUN_SANITIZE=fuzzer -DTALIUN_FUZZ=ON -DTALIUN_WERROR=OFF -DTALIUN_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
  || exit 1
targets=$(cd fuzz && for g in */; do g=${g%/}; for u in "$g"/*.cpp; do [ -e "$u" ] && echo "fuzz_${g}_$(basename "$u" .cpp)"; done; done)
[ -n "$targets" ] || { echo "no fuzz targets"; exit 0; }
# shellcheck disable=SC2086
cmake --build build/fuzz -j "$jobs" --target $targets || exit 1
mkdir -p build/fuzz/artifacts
summary=build/fuzz/summary.txt
: >"$summary"
failed=()
for t in $targets; do
  group=${t#fuzz_}; group=${group%%_*}
  corpus=fuzz/$group/corpus
  work=build/fuzz/corpus-$t
  log=build/fuzz/$t.log
  rm -rf "$work"; mkdir -p "$work"
  echo "fuzzing $t for ${seconds}s"
  build/fuzz/fuzz/$t -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build/fuzz/artifacts/$t-" -print_final_stats=1 "$work" "$corpus" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  seeds=$(find "$corpus" -type f | wc -l)
  found=$(find "$work" -type f | wc -l)
  if [ $rc -eq 0 ] && ! grep -qE '^==[0-9]+==ERROR|^SUMMARY: .*Sanitizer|runtime error:' "$log"; then
    echo "$t ok execs=${execs:-?} seconds=$seconds seeds=$seeds new_inputs=$found" | tee -a "$summary"
  else
    echo "$t FAILED (exit $rc) execs=${execs:-?}" | tee -a "$summary"
    grep -E 'ERROR|SUMMARY|runtime error|violated|Test unit written|artifact' "$log" | head -n 20
    tail -n 40 "$log"
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
