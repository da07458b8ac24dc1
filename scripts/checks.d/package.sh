#!/usr/bin/env bash
# The Debian package: CPack builds it from the release tree (built by the release stage, or here),
# then its control data and contents are checked, lintian must find nothing, the log daemon's unit
# must pass systemd's own check, and the unpacked qxhost must find the unpacked component.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${TALIUN_PACKAGE_BUILD:-build/release}
jobs="${TALIUN_JOBS:-2}"
export CCACHE_DIR="${CCACHE_DIR:-$PWD/.ccache}"

fail() { echo "package: FAILED: $*" >&2; exit 1; }

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja >/dev/null
targets="Taliunqxusb qxhost taliunlogd taliun_changelog taliun_man_pages"
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
pcdir=$(sed -n 's/^TALIUN_PKGCONFIG_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
for path in ./usr/lib/taliunqxusb/libTaliunqxusb.so ./usr/include/taliun/component/PortHandler.h \
            ./usr/include/taliun/component/Data.h "./usr/$pcdir/taliunqxusb.pc" ./usr/bin/qxhost \
            ./usr/sbin/taliunlogd ./usr/lib/udev/rules.d/60-taliunqxusb.rules \
            ./usr/share/doc/taliunqxusb/examples/61-taliunqxusb-hotplug.rules \
            ./usr/share/doc/taliunqxusb/copyright ./usr/share/doc/taliunqxusb/changelog.gz \
            ./usr/lib/systemd/system/taliunlogd.service ./usr/lib/tmpfiles.d/taliunqxusb.conf; do
  grep -qxF "$path" <<<"$contents" || fail "$path missing"
done
for page in ./usr/share/man/man1/qxhost.1.gz ./usr/share/man/man8/taliunlogd.8.gz; do
  grep -qxF "$page" <<<"$contents" || fail "$page missing"
done
if grep -q quillon <<<"$targets"; then
  grep -qxF ./usr/bin/quillon <<<"$contents" || fail "quillon missing"
  grep -qxF ./usr/share/man/man1/quillon.1.gz <<<"$contents" || fail "quillon.1 missing"
fi
if grep -E 'usbsim|libusb-1.0.so|Test$|\.a$' <<<"$contents"; then fail "test-only files in the package"; fi

# Every tag is either fixed or overridden in the package with its reason.
lintian_out=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lintian_out"
lintian_out=$(grep -v '^running with root privileges' <<<"$lintian_out" || true)
[ -z "$lintian_out" ] || fail "lintian: $lintian_out"
echo "package: lintian: no errors, no warnings"

unpacked=$out/root
dpkg-deb -x "$deb" "$unpacked"
version=$(env -u QXHOST_LIBRARY -u LD_LIBRARY_PATH "$unpacked/usr/bin/qxhost" version) || fail "qxhost version"
grep -qF "($unpacked/usr/lib/taliunqxusb/libTaliunqxusb.so)" <<<"$version" ||
  fail "qxhost does not find the packaged component: $version"

# The manual pages render without a single warning.
for page in "$unpacked"/usr/share/man/man*/*.gz; do
  warnings=$(zcat "$page" | LC_ALL=C.UTF-8 groff -ww -man -Tutf8 -z 2>&1) || fail "groff $(basename "$page"): $warnings"
  [ -z "$warnings" ] || fail "groff $(basename "$page"): $warnings"
done
echo "package: manual pages: groff -ww clean"

# systemd checks the unit as it would load it: the package's files over this system's units, so
# that the targets it names and the daemon it starts are found. Its manual page is checked above.
verify_root=$out/verify-root
mkdir -p "$verify_root/usr/lib/systemd/system"
for units in /lib/systemd/system /usr/lib/systemd/system; do
  if [ -d "$units" ]; then cp -a "$units/." "$verify_root/usr/lib/systemd/system/"; fi
done
cp -a "$unpacked/." "$verify_root/"
verify_out=$(systemd-analyze verify --man=no --root="$verify_root" /usr/lib/systemd/system/taliunlogd.service 2>&1) ||
  fail "systemd-analyze verify: $verify_out"
[ -z "$verify_out" ] || fail "systemd-analyze verify: $verify_out"
echo "package: systemd-analyze verify taliunlogd.service: ok"
echo "package: ok: control data, contents and the unpacked tools"
