#!/usr/bin/env bash
# The queue: four 60 s 1280x720 videos through `clipferry-cli upload` against
# the reference server behind a loopback link limited to 20 Mbit/s, once one
# at a time (--one-at-a-time) and once converting while uploading. Prints
# both wall times and their ratio (target: at most 0.65), and the ideal: the
# larger of the total encode time and the total upload time, plus the first
# encode and the last upload, with the per-entry times measured in the run
# one at a time (target: converting while uploading within 15 % of it).
#   bench/queue/run.sh [BIN_DIR] [MBIT_PER_SECOND] [VIDEOS]
set -euo pipefail
bin=$(realpath "${1:-build/bin}")
mbit=${2:-20}
count=${3:-4}
work=$(mktemp -d); trap 'kill "${link:-}" "${server:-}" 2>/dev/null; rm -rf "$work"' EXIT

"$bin/clipferry-server" --data "$work/server" --demo --port 0 >"$work/server.out" 2>/dev/null &
server=$!
until grep -q listening "$work/server.out" 2>/dev/null; do sleep 0.1; done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/server.out")
"$bin/bench_queue_link" "$port" $((mbit * 1000000)) >"$work/link.out" &
link=$!
until grep -q listening "$work/link.out" 2>/dev/null; do sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/link.out")

"$bin/clipferry-cli" sample video "$work/clip.mp4" --duration 60 --size 1280x720 >/dev/null
clips=()
for i in $(seq 1 "$count"); do cp "$work/clip.mp4" "$work/lecture$i.mp4"; clips+=("$work/lecture$i.mp4"); done

# Runs the queue into a folder of its own, each output line stamped with the
# time it came; prints the wall time.
run_queue() { # NAME [OPTION...]
  local name=$1; shift
  local folder start end
  folder=$("$bin/clipferry-server" --data "$work/server" folder add 0 "$name")
  start=$EPOCHREALTIME
  CLIPFERRY_HOME=$work/home-$name "$bin/clipferry-cli" upload --server "$url" --account demo --password demo \
    --folder "$folder" --resolution high --high-speed yes --queue "$work/$name.xml" "$@" "${clips[@]}" 2>&1 |
    while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >"$work/$name.log"
  end=$EPOCHREALTIME
  grep -q ': Failed' "$work/$name.log" && { cat "$work/$name.log" >&2; return 1; }
  echo "$end - $start" | bc
}

serial=$(run_queue one-at-a-time --one-at-a-time)
overlap=$(run_queue overlapped)

# Per entry, one at a time: preparing (server exchange, encode, key frames,
# images, packing) from "Transfering" to the upload's first status line, and
# uploading from there to "Finished".
read -r encode upload first last < <(awk '
  / Transfering$/ { start = $1; up = 0 }
  / Uploading data to / && !up { up = $1; e = up - start; encode += e; if (!n) first = e }
  / Finished$/ && up { u = $1 - up; upload += u; last = u; n++; up = 0 }
  END { printf "%.1f %.1f %.1f %.1f\n", encode, upload, first, last }' "$work/one-at-a-time.log")
ideal=$(echo "if ($encode > $upload) $encode + $first + $last else $upload + $first + $last" | bc)
tight=$(echo "if ($encode - $first > $upload - $last) $encode + $last else $upload + $first" | bc)

echo "$count x 60 s 1280x720 over a ${mbit} Mbit/s link (load $(cut -d' ' -f1-3 /proc/loadavg)):"
echo "one at a time: $serial s (encoding $encode s, uploading $upload s in all)"
echo "converting while uploading: $overlap s"
echo "ratio: $(echo "scale=2; $overlap / $serial" | bc) (target: at most 0.65)"
echo "ideal: $ideal s, converting while uploading is $(echo "scale=2; $overlap / $ideal" | bc) of it (target: at most 1.15)"
echo "(the pipeline's own bound, first encode + the longer of the rest + last upload: $tight s," \
  "$(echo "scale=2; $overlap / $tight" | bc) of it)"
