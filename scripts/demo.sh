#!/usr/bin/env bash
# The demo command: builds the native target, then plays the demo session
# through chimectl against the companion process. Extra arguments go to
# chimectl.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash scripts/setup.sh native
cmake --preset native
cmake --build --preset native -j"${CHIMEWELL_JOBS:-2}"
# The demo keeps its store and files in a folder of its own, with the trace on.
export XDG_DOCUMENTS_DIR="$ROOT/build/demo-documents"
export isDebug=${isDebug:-1}
mkdir -p "$XDG_DOCUMENTS_DIR"
echo "Documents folder of this demo: $XDG_DOCUMENTS_DIR"
exec build/native/tools/chimectl/chimectl run \
  --exe build/native/src/host/chimewell \
  scripts/demo-session.jsonl "$@"
