#!/usr/bin/env bash
# Checks beyond the three test builds (cross builds, fuzzing, packaging): one script each in checks.d.
set -euo pipefail
cd "$(dirname "$0")/.."
for check in scripts/checks.d/*.sh; do
  [ -e "$check" ] || continue
  echo "--- $check"
  bash "$check"
done
