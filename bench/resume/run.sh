#!/usr/bin/env bash
# Resume after a kill: `clipferry-cli upload` of a large-ish source (sent
# unconverted) is killed with SIGKILL half-way through the upload, then
# `clipferry-cli run` finishes it. Prints the bytes the killed run and the
# rerun wrote (network and disk, from /proc/PID/io) beside a plain upload of
# the same file from zero; the two runs together less the plain one are the
# bytes done again (a plain run copies the source once and sends it once).
#   bench/resume/run.sh [BIN_DIR] [MiB]
set -euo pipefail
bin=$(realpath "${1:-build/bin}")
mib=${2:-160}
work=$(mktemp -d); trap 'kill "${server:-}" 2>/dev/null; rm -rf "$work"' EXIT
export CLIPFERRY_HOME=$work/home TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

# A short pause per chunk keeps the upload slow enough to be caught half-way.
CLIPFERRY_SERVER_PATCH_DELAY_MS=${PATCH_DELAY_MS:-50} \
  "$bin/clipferry-server" --data "$work/server" --demo --port 0 >"$work/server.out" 2>/dev/null &
server=$!
until grep -q listening "$work/server.out" 2>/dev/null; do sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/server.out")
folder=$("$bin/clipferry-server" --data "$work/server" folder add 0 Bench)

# Noise compresses badly: a few seconds of it make a source of the size asked for.
ffmpeg -v error -y -f lavfi -i "nullsrc=s=1280x720:r=25,geq=random(1)*255:128:128" -t 60 \
  -c:v mpeg4 -q:v 1 -fs $((mib << 20)) "$work/large.mp4"
size=$(stat -c %s "$work/large.mp4")
upload=("$bin/clipferry-cli" upload --server "$url" --account demo --password demo --folder "$folder"
  --convert none)

written() { awk '/^wchar/ {print $2}' "/proc/$1/io"; }

# The plain upload from zero, to a queue of its own.
"${upload[@]}" --queue "$work/plain.xml" "$work/large.mp4" >"$work/plain.log" 2>&1 & pid=$!
plain=0; while kill -0 $pid 2>/dev/null; do plain=$(written $pid 2>/dev/null || echo "$plain"); sleep 0.05; done
wait $pid

cp "$work/large.mp4" "$work/again.mp4"
"${upload[@]}" --queue "$work/queue.xml" "$work/again.mp4" >"$work/first.log" 2>&1 & pid=$!
first=0
while kill -0 $pid 2>/dev/null; do
  first=$(written $pid 2>/dev/null || echo "$first")
  held=$(find "$work/server/uploads" -type f -printf '%s\n' 2>/dev/null | sort -n | tail -1)
  if [ "${held:-0}" -ge $((size / 2)) ]; then kill -9 $pid; break; fi
  sleep 0.02
done
wait $pid 2>/dev/null || true
"$bin/clipferry-cli" run "$work/queue.xml" >"$work/second.log" 2>&1 & pid=$!
second=0; while kill -0 $pid 2>/dev/null; do second=$(written $pid 2>/dev/null || echo "$second"); sleep 0.05; done
wait $pid || { cat "$work/second.log" >&2; exit 1; }

resumed=$(sed -n 's/.*Upload resumed at byte \([0-9]*\) of.*/\1/p' "$work/second.log")
chunk=$((16 << 20))
echo "archive: $size bytes, chunk: $chunk bytes"
echo "plain upload from zero: $plain bytes written"
echo "killed run: $first bytes written; rerun resumed at byte ${resumed:-?}: $second bytes written"
echo "done again: $((first + second - plain)) bytes (target: below one chunk, $chunk)"
echo "left in the temporary folder: $(find "$TMPDIR" -mindepth 1 | wc -l) entries"
