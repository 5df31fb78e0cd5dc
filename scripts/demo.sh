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
# Times relative to today, so that the today files list something.
today=$(date -d 'today 00:00' +%s)
session="$ROOT/build/demo_session.jsonl"
sed -e "s/@YESTERDAY_0900@/$((today - 86400 + 9 * 3600))/g" \
    -e "s/@TODAY_0000@/$today/g" \
    -e "s/@NEXT_WEEK@/$((today + 7 * 86400 + 10 * 3600))/g" \
    scripts/demo_session.jsonl > "$session"

build/native/tools/chimectl/chimectl run \
  --exe build/native/src/host/chimewell \
  "$session" "$@"

today_dir="$XDG_DOCUMENTS_DIR/Pelicorda/Calendar/Cache/users/demo/today"
for file in reminder.json daysmatter.json; do
  echo "--- $today_dir/$file"
  cat "$today_dir/$file" 2>/dev/null || echo "(none)"
  echo
done
