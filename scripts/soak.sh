#!/usr/bin/env bash
# Soak run (not part of CI): the release build of the component writes TALIUN_SOAK_WRITES print jobs
# (default 100,000) to two simulated printers and a customer display, unplugging and replugging one
# of the devices every TALIUN_SOAK_REPLUG_EVERY writes (default 500). Every TALIUN_SOAK_SAMPLE
# seconds (default 1) this script samples the process from outside: open file descriptors, threads
# and resident memory. At the end it says whether they stayed flat (the second half of the run never
# above the first half by more than the tolerances) and whether every byte arrived.
#
#   scripts/soak.sh                 # full run: about a minute after the build on two cores
#   TALIUN_SOAK_WRITES=20000 scripts/soak.sh
#
# Output: build/soak/samples.csv (seconds,fds,threads,rss_kb) and build/soak/soak.log; exit status 0
# when flat and nothing was lost.
set -euo pipefail
cd "$(dirname "$0")/.."
writes="${TALIUN_SOAK_WRITES:-100000}"
every="${TALIUN_SOAK_REPLUG_EVERY:-500}"
period="${TALIUN_SOAK_SAMPLE:-1}"
fd_tolerance=2       # descriptors
thread_tolerance=2   # threads (short-lived log workers may be caught in a sample)
rss_tolerance_kb=4096
build=build/soak

mkdir -p "$build"
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release &&
       cmake --build "$build" -j "${TALIUN_JOBS:-2}" --target stress_soak; } >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log"
  exit 1
fi
samples="$build/samples.csv"
log="$build/soak.log"
echo "seconds,fds,threads,rss_kb" >"$samples"

"$build/tests/stress/stress_soak" "$writes" "$every" >"$log" 2>&1 &
pid=$!
start=$(date +%s)
while kill -0 "$pid" 2>/dev/null; do
  if [ -r "/proc/$pid/status" ]; then
    fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l || true)
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$threads" ] && [ -n "$rss" ] && echo "$(( $(date +%s) - start )),$fds,$threads,$rss" >>"$samples"
  fi
  sleep "$period"
done
set +e
wait "$pid"
status=$?
set -e
cat "$log"

# Flat: after a warm-up of the first tenth of the samples, the run is split in halves. Descriptors
# and threads must not raise their floor (the lowest sample of a half: connections to the log daemon
# and short-lived workers come and go, a leak lifts the floor), resident memory not its peak, by more
# than the tolerances.
verdict=$(awk -F, -v ft="$fd_tolerance" -v tt="$thread_tolerance" -v rt="$rss_tolerance_kb" '
  NR > 1 { n++; s[n] = $1; f[n] = $2; t[n] = $3; r[n] = $4 }
  END {
    if (n < 6) { print "too few samples (" n ") to judge"; exit }
    w = int(n / 10); mid = w + int((n - w) / 2)
    f1 = f2 = t1 = t2 = 1e9; r1 = r2 = 0
    for (i = w + 1; i <= n; i++) {
      if (i <= mid) { if (f[i] < f1) f1 = f[i]; if (t[i] < t1) t1 = t[i]; if (r[i] > r1) r1 = r[i] }
      else          { if (f[i] < f2) f2 = f[i]; if (t[i] < t2) t2 = t[i]; if (r[i] > r2) r2 = r[i] }
    }
    flat = (f2 <= f1 + ft && t2 <= t1 + tt && r2 <= r1 + rt)
    printf "%d samples over %d s; first half / second half: fds floor %d / %d, threads floor %d / %d, RSS peak %d / %d kB: %s\n",
      n, s[n], f1, f2, t1, t2, r1, r2, flat ? "FLAT" : "GROWING"
  }' "$samples")
echo "soak: $verdict"
if [ "$status" -ne 0 ]; then
  echo "soak: the run failed (exit $status)"
  exit 1
fi
case "$verdict" in
  *FLAT*) exit 0 ;;
  *) exit 1 ;;
esac
