#!/usr/bin/env bash
# Builds the product with clang so that -Wthread-safety checks the lock annotations
# (base/ThreadSafety.h) with warnings as errors: a member marked TS_GUARDED_BY that is read or
# written without its lock, or a TS_REQUIRES function called without it, fails the build.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs="${TALIUN_JOBS:-2}"
cmake -S . -B build/thread-safety -G Ninja -DCMAKE_C_COMPILER=clang-14 \
  -DCMAKE_CXX_COMPILER=clang++-14 -DTALIUN_WERROR=ON -DTALIUN_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
if ! cmake --build build/thread-safety -j "$jobs" >build/thread-safety/build.log 2>&1; then
  grep -E 'error:|warning:' build/thread-safety/build.log | sort -u >&2 || tail -n 40 build/thread-safety/build.log >&2
  echo "thread-safety: FAILED: clang's lock analysis or build (log: build/thread-safety/build.log)" >&2
  exit 1
fi
echo "thread-safety: clang -Wthread-safety -Werror builds the product clean"
