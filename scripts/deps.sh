#!/usr/bin/env bash
# Installs the Debian packages the build, tests and demo need; skips what is present.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config ccache libusb-1.0-0-dev
      libgtest-dev libgmock-dev libbenchmark-dev libxml2-dev usbutils file
      clang-14 clang-format-14 libclang-rt-14-dev g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 python3
      lintian help2man groff-base man-db systemd umockdev libumockdev-dev)
if [ -n "${TALIUN_EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$TALIUN_EXTRA_PACKAGES"
  pkgs+=("${extra[@]}")
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
