#!/usr/bin/env bash
# The layers of the design: no product folder includes a header of, or links the library of, a
# folder it may not use (README, "Design"; the rules are in scripts/include-graph.py). Needs no build.
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! out=$(python3 scripts/include-graph.py --check); then
  echo "$out" >&2
  echo "layers: FAILED: dependencies point up or sideways (the graph: scripts/include-graph.py)" >&2
  exit 1
fi
echo "layers: every include and link points down"
