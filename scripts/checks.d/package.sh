#!/usr/bin/env bash
# The Debian package: CPack builds it from the release tree (built by the release stage, or here),
# then its control data and contents are checked and the unpacked qxhost must find the unpacked
# component.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${TALIUN_PACKAGE_BUILD:-build/release}
jobs="${TALIUN_JOBS:-2}"
export CCACHE_DIR="${CCACHE_DIR:-$PWD/.ccache}"

fail() { echo "package: FAILED: $*" >&2; exit 1; }

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja >/dev/null
targets="Taliunqxusb qxhost taliunlogd"
all_targets=$(cmake --build "$build" --target help)
grep -q '^quillon:' <<<"$all_targets" && targets+=" quillon"
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets >/dev/null

out=$PWD/build/package
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$out"/taliunqxusb_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no .deb in $out"
echo "package: built $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB)"

[ "$(dpkg-deb -f "$deb" Package)" = taliunqxusb ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$(sed -n 's/^Version: //p' "$build/packaging/taliunqxusb.pc")" ] ||
  fail "the package version differs from the component's"
dpkg-deb -f "$deb" Depends | grep -q 'libusb-1.0-0' || fail "no dependency on libusb-1.0-0"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/lib/libTaliunqxusb.so ./usr/include/taliun/component/PortHandler.h \
            ./usr/include/taliun/component/Data.h ./usr/lib/pkgconfig/taliunqxusb.pc ./usr/bin/qxhost \
            ./usr/sbin/taliunlogd ./usr/lib/udev/rules.d/60-taliunqxusb.rules \
            ./usr/share/doc/taliunqxusb/examples/61-taliunqxusb-hotplug.rules; do
  grep -qxF "$path" <<<"$contents" || fail "$path missing"
done
if grep -q quillon <<<"$targets"; then grep -qxF ./usr/bin/quillon <<<"$contents" || fail "quillon missing"; fi
if grep -E 'usbsim|libusb-1.0.so|Test$|\.a$' <<<"$contents"; then fail "test-only files in the package"; fi

unpacked=$out/root
dpkg-deb -x "$deb" "$unpacked"
version=$(env -u QXHOST_LIBRARY -u LD_LIBRARY_PATH "$unpacked/usr/bin/qxhost" version) || fail "qxhost version"
grep -qF "($unpacked/usr/lib/libTaliunqxusb.so)" <<<"$version" || fail "qxhost does not find the packaged component: $version"
echo "package: ok: control data, contents and the unpacked tools"
