#!/usr/bin/env bash
# Makes the pictures in docs/ from a build: the main window during a run in
# English and in Traditional Chinese, captured from a virtual display, and the
# dialogs through the test and bench programs that draw them.
#   docs/screenshots.sh [BIN, default build-dev/bin]
# Needs Xvfb, ffmpeg with x11grab and a CJK font (fonts-droid-fallback).
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=$(realpath "${1:-build-dev/bin}")
DOCS=$(realpath docs)
WORK=$(mktemp -d)
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$WORK"' EXIT

# A display wide enough for every column of the grid; the window fills it.
DISPLAY_NO=:$((90 + RANDOM % 100))
Xvfb "$DISPLAY_NO" -screen 0 1600x600x24 -nolisten tcp >/dev/null 2>&1 &
PIDS+=($!)
sleep 1

# Everything a run writes stays in the work folder.
fresh_home() { # fresh_home NAME
  export HOME=$WORK/$1 CLIPFERRY_HOME=$WORK/$1/data XDG_CONFIG_HOME=$WORK/$1/config \
    XDG_DATA_HOME=$WORK/$1/share XDG_RUNTIME_DIR=$WORK/$1/run TMPDIR=$WORK/$1/tmp
  mkdir -p "$CLIPFERRY_HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
  chmod 700 "$XDG_RUNTIME_DIR"
}
export CLIPFERRY_TOOLS=$BIN

fresh_home server
"$BIN/clipferry-server" --data "$WORK/server/data" --demo --host 127.0.0.1 --port 0 >"$WORK/server.out" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do grep -q listening "$WORK/server.out" && break; sleep 0.1; done
SERVER=$(grep -o 'http://[0-9.:]*' "$WORK/server.out" | head -1)
"$BIN/clipferry-cli" sample video "$WORK/keynote.mp4" --duration 40 --size 1280x720 >/dev/null
"$BIN/clipferry-cli" sample video "$WORK/lab.mp4" --duration 20 --size 640x360 >/dev/null

# main_window LANG FILE: two videos queued, the run started, the window caught mid-conversion.
main_window() {
  fresh_home "window-$1"
  "$BIN/clipferry-cli" upload --queue-only --server "$SERVER" --account demo --password demo \
    --title "Keynote: the year in review" --author "Ada Lovelace" "$WORK/keynote.mp4" >/dev/null
  "$BIN/clipferry-cli" upload --queue-only --server "$SERVER" --account demo --password demo \
    --title "Lab session" --author "Ada Lovelace" "$WORK/lab.mp4" >/dev/null
  DISPLAY=$DISPLAY_NO QT_QPA_PLATFORM=xcb "$BIN/clipferry" -geometry 1600x600+0+0 -s --run --lang "$1" >/dev/null 2>&1 &
  local window=$!
  sleep "${SHOT_DELAY:-6}"
  ffmpeg -loglevel error -y -f x11grab -video_size 1600x600 -i "$DISPLAY_NO+0,0" -frames:v 1 "$2"
  kill "$window"
  wait "$window" || true
}
main_window en "$DOCS/screenshot-main.png"
main_window zh_TW "$DOCS/screenshot-main-zh_TW.png"

# The dialogs, drawn offscreen by the programs that already know how to fill them.
fresh_home dialogs
export QT_QPA_PLATFORM=offscreen CLIPFERRY_SCREENSHOT_DIR=$DOCS
"$BIN/test_add_widgets" screenshot >/dev/null || true
"$BIN/test_update" screenshots >/dev/null || true
if [ -x "$BIN/bench_batch_search" ]; then
  "$BIN/bench_batch_search" --screenshot "$DOCS/screenshot-batch.png"
fi
ls -l "$DOCS"/screenshot-*.png
