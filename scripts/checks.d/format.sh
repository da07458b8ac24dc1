#!/usr/bin/env bash
# The product code follows the committed .clang-format. Needs no build; reformat with
#   scripts/checks.d/format.sh --fix
set -euo pipefail
cd "$(dirname "$0")/../.."

# The library, its host contract and helpers, Quillon, the tools and the substitute host; the
# simulator, the test suites and the benchmarks keep their own layout.
folders=(component contract base portmanager portio usb threads log property markup mappingtool tools host)
formatter=clang-format-14
mapfile -t files < <(find "${folders[@]}" \( -name '*.cpp' -o -name '*.h' \) | sort)

if [ "${1:-}" = "--fix" ]; then
  "$formatter" -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  "$formatter" --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  printf '  %s\n' "${bad[@]}" >&2
  echo "format: FAILED: ${#bad[@]} of ${#files[@]} files differ from .clang-format (scripts/checks.d/format.sh --fix)" >&2
  exit 1
fi
echo "format: all ${#files[@]} product files follow .clang-format"
