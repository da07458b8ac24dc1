#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for a bounded time over its seed corpus.
# Any crash, leak or sanitizer report fails the stage; the offending input is left in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${TALIUN_FUZZ_SECONDS:-60}"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTALIUN_SANITIZE=fuzzer -DTALIUN_FUZZ=ON -DTALIUN_WERROR=OFF -DTALIUN_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(cd fuzz && for g in */; do g=${g%/}; for u in "$g"/*.cpp; do [ -e "$u" ] && echo "fuzz_${g}_$(basename "$u" .cpp)"; done; done)
[ -n "$targets" ] || { echo "no fuzz targets"; exit 0; }
# shellcheck disable=SC2086
cmake --build build/fuzz -j "${TALIUN_JOBS:-2}" --target $targets
mkdir -p build/fuzz/artifacts
for t in $targets; do
  group=${t#fuzz_}; group=${group%%_*}
  corpus=fuzz/$group/corpus
  work=build/fuzz/corpus-$t
  rm -rf "$work"; mkdir -p "$work"
  echo "fuzzing $t for ${seconds}s"
  build/fuzz/fuzz/$t -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/artifacts/$t- -print_final_stats=1 "$work" "$corpus" 2>&1 | tail -n 12
done
