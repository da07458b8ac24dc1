#!/usr/bin/env bash
# The product without hardware, end to end: a simulated USB bus with a receipt printer and a
# printer with a customer display, the log daemon, and qxhost driving the component as a
# port-handler host does. Installs and builds what is missing, keeps every file in a temporary
# folder (nothing under /etc or /var), and leaves nothing running.
#
# --real-libusb: the same run on Debian's own libusb-1.0 instead of the simulated one. The devices
# (the same models as the simulator's) then sit behind usbfs emulated by umockdev; qxmockbus keeps
# the testbed and qxhost joins it through the umockdev preload.
set -euo pipefail
real=0
case "${1:-}" in
  --real-libusb) real=1 ;;
  "") ;;
  *) echo "usage: scripts/demo.sh [--real-libusb]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
repo=$PWD
build=${TALIUN_DEMO_BUILD:-build/release}
case $build in /*) ;; *) build=$repo/$build ;; esac
started=$SECONDS

if [ -t 1 ]; then bold=$'\e[1m' plain=$'\e[0m'; else bold='' plain=''; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
show() { printf '%s$ %s%s\n' "$bold" "$*" "$plain"; }

step "Packages and build (only what is missing)"
scripts/deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$repo/.ccache}"
mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "configuring $build"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$build/demo-configure.log" 2>&1 ||
    { cat "$build/demo-configure.log" >&2; exit 1; }
fi
targets=(Taliunqxusb usbsim taliunlogd qxhost)
[ $real = 1 ] && targets+=(qxmockbus)
cmake --build "$build" -j "${TALIUN_JOBS:-2}" --target "${targets[@]}" >"$build/demo-build.log" 2>&1 ||
  { tail -n 40 "$build/demo-build.log" >&2; exit 1; }
tail -n 1 "$build/demo-build.log"
setup_done=$SECONDS

tmp=$(mktemp -d "${TMPDIR:-/tmp}/taliun-demo.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Everything the component, the simulator and qxhost touch lives in $tmp.
export TALIUN_LOG_SOCKET=$tmp/taliunlogd.socket
export TALIUN_CONFIGURATION=$tmp/taliun.configuration
export TALIUN_USBSIM_CONFIG=$tmp/bus.conf
export QXHOST_PROPERTIES=$tmp/properties
if [ $real = 0 ]; then
  # The simulated libusb-1.0 takes the place of the real one; the component is the shipped binary.
  export LD_LIBRARY_PATH=$build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
fi
# On the real libusb qxhost runs inside the testbed that qxmockbus keeps.
qxhost() {
  if [ $real = 1 ]; then
    env UMOCKDEV_DIR="$bus_umockdev_dir" LD_PRELOAD="$bus_preload" "$build/tools/qxhost" "$@"
  else
    "$build/tools/qxhost" "$@"
  fi
}

# Waits until FILE holds at least COUNT lines matching PATTERN (fixed text).
wait_for() {
  local file=$1 pattern=$2 count=${3:-1} i
  for ((i = 0; i < 300; i++)); do
    [ "$(grep -cF -- "$pattern" "$file" 2>/dev/null || true)" -ge "$count" ] && return 0
    sleep 0.05
  done
  echo "demo: gave up waiting for '$pattern' in $file" >&2
  cat "$file" >&2
  return 1
}

# The simulated bus; the state keys (offline, input, present) are applied to the running devices.
receipt_offline=no receipt_input='' receipt_present=yes
write_bus() {
  if [ $real = 1 ]; then
    [ -p "$tmp/bus.ctl" ] || return 0
    {
      echo "offline receipt $receipt_offline"
      [ -n "$receipt_input" ] && [ "$receipt_input" != "${sent_input:-}" ] && echo "input receipt $receipt_input"
      if [ "$receipt_present" = no ]; then echo "unplug receipt"; else echo "plug receipt"; fi
    } >"$tmp/bus.ctl"
    sent_input=$receipt_input
    return 0
  fi
  {
    echo "spool = $tmp/spool"
    echo "[device receipt]"
    echo "kind = qx"
    echo "serial = R0001"
    echo "manufacturer = Korvo"
    echo "product_name = Receipt Printer"
    echo "model = QX-K40V"
    echo "offline = $receipt_offline"
    [ -n "$receipt_input" ] && echo "input = $receipt_input"
    echo "present = $receipt_present"
    echo "[device counter]"
    echo "kind = jv"
    echo "endpoints = 4"
    echo "serial = D0001"
    echo "manufacturer = Korvo"
    echo "product_name = Receipt Printer with Customer Display"
    echo "model = QX-D50"
  } >"$tmp/bus.conf.new"
  mv "$tmp/bus.conf.new" "$tmp/bus.conf"
}

# Control bytes shown escaped, one output line per line feed.
escaped() {
  LC_ALL=C perl -0777 -ne 's/\\/\\\\/g; s/([^\x20-\x7e\n])/sprintf("\\x%02X", ord $1)/ge; s/\n/\\n\n/g;
    print map { "    | $_\n" } split /\n/' "$1"
}

step "The log daemon on a private socket, the simulated bus"
"$build/tools/taliunlogd" --foreground --socket "$TALIUN_LOG_SOCKET" --output "$tmp/taliun.log" \
  >/dev/null 2>&1 &
pids+=($!)
for ((i = 0; i < 200; i++)); do [ -S "$TALIUN_LOG_SOCKET" ] && break; sleep 0.02; done
[ -S "$TALIUN_LOG_SOCKET" ] || { echo "demo: the log daemon did not start" >&2; exit 1; }
if [ $real = 1 ]; then
  "$build/tools/qxmockbus" --spool "$tmp/spool" --env "$tmp/bus.env" --control "$tmp/bus.ctl" \
    --device receipt:qx:R0001:QX-K40V --device counter:jv:D0001:QX-D50 >"$tmp/bus.log" 2>&1 &
  pids+=($!)
  for ((i = 0; i < 300; i++)); do [ -s "$tmp/bus.env" ] && [ -p "$tmp/bus.ctl" ] && break; sleep 0.02; done
  [ -s "$tmp/bus.env" ] || { echo "demo: the emulated bus did not start" >&2; cat "$tmp/bus.log" >&2; exit 1; }
  bus_umockdev_dir=$(sed -n 's/^UMOCKDEV_DIR=//p' "$tmp/bus.env")
  bus_preload=$(sed -n 's/^LD_PRELOAD=//p' "$tmp/bus.env")
  echo "log socket:    $TALIUN_LOG_SOCKET"
  echo "real libusb:   Debian's libusb-1.0 on usbfs emulated by umockdev ($bus_umockdev_dir)"
  echo "               receipt printer R0001, printer with display D0001 (the simulator's device models)"
else
  write_bus
  echo "log socket:    $TALIUN_LOG_SOCKET"
  echo "simulated bus: $TALIUN_USBSIM_CONFIG (receipt printer R0001, printer with display D0001)"
fi
# The host's tree knows one port, configured for the receipt printer's model; no device is named.
cat >"$QXHOST_PROPERTIES" <<'TREE'
/QX/Receipt/PortType = "USB"
/QX/Receipt/PortName = ""
/QX/Receipt/ModelName = "QX-K40V"
TREE
show qxhost version
qxhost version

step "Ports: the component identifies the devices, binds one, has the host create a port for the other"
show qxhost ports
qxhost ports
new_port=$(sed -n 's|^/QX/\([^/]*\)/PortName = "USB#VID_0X[0-9A-F]*##PID_0X202D0001"$|\1|p' "$QXHOST_PROPERTIES")
[ -n "$new_port" ] || { echo "demo: no port was created for the display device" >&2; exit 1; }
show qxhost add-port "JV/$new_port"
qxhost add-port "JV/$new_port"

step "A receipt and a line on the customer display"
printf '\033@\033a\001\033E\001KORVO MARKET\n\033E\000\033a\000Coffee              3.20\nBagel               2.10\n------------------------\nTOTAL               5.30\n\n\n\035V\001' \
  >"$tmp/receipt.bin"
show qxhost print Receipt receipt.bin
qxhost print Receipt "$tmp/receipt.bin"
show "printf '\\f  TOTAL   5.30' | qxhost print JV/$new_port -"
printf '\f  TOTAL   5.30' | qxhost print "JV/$new_port" -

step "Events: paper out and back, input from the printer, unplugged and plugged in again"
show qxhost watch Receipt
# The program itself in the background (not the function's subshell), so that SIGINT reaches it.
if [ $real = 1 ]; then
  UMOCKDEV_DIR="$bus_umockdev_dir" LD_PRELOAD="$bus_preload" "$build/tools/qxhost" watch Receipt >"$tmp/watch.out" 2>&1 &
else
  "$build/tools/qxhost" watch Receipt >"$tmp/watch.out" 2>&1 &
fi
watch_pid=$!
pids+=("$watch_pid")
wait_for "$tmp/watch.out" "power: ready (0)"
receipt_offline=yes write_bus
wait_for "$tmp/watch.out" "power: not ready (1)"
receipt_offline=no write_bus
wait_for "$tmp/watch.out" "power: ready (0)" 2
receipt_input='10 04 12' write_bus
wait_for "$tmp/watch.out" "input ("
receipt_input='10 04 12' receipt_present=no write_bus
wait_for "$tmp/watch.out" "power: unavailable (2)"
receipt_input='10 04 12' receipt_present=yes write_bus
wait_for "$tmp/watch.out" "hot-plug: arrived"
wait_for "$tmp/watch.out" "power: ready (0)" 3
kill -INT "$watch_pid"
wait "$watch_pid"
sed 's/^/    /' "$tmp/watch.out"

step "The log trace (from taliunlogd)"
# Without the power events and identification answers; each line: time, level, message.
sed -E -e '/Power Event|PnP Read|PnP DeviceID/d' \
  -e 's/^[0-9-]+ ([0-9:.]+) pid [0-9]+ tid [0-9]+ level ([0-9]+): /    \1 L\2 /' "$tmp/taliun.log" | tail -n 24
echo "    ($(wc -l <"$tmp/taliun.log") lines in all)"

step "What each $([ $real = 1 ] && echo "emulated" || echo "simulated") device received"
echo "  (each printer channel starts with the component's identification request, 10 14 12 00 03 ...)"
for channel in receipt/printer counter/printer counter/display; do
  file=$tmp/spool/$channel.out
  echo "  $channel: $(wc -c <"$file") bytes"
  [ -s "$file" ] && escaped "$file"
done

echo
echo "Demo finished in $((SECONDS - setup_done)) s (set-up and build: $((setup_done - started)) s); nothing is left running."
