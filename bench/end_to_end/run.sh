#!/usr/bin/env bash
# End to end: one 60-second 1280x720 video through `clipferry-cli upload`
# (probe, two-pass encode, key frames, images, zip, resumable upload) and
# through the same steps done by hand (two ffmpeg passes, zip -0, a plain curl
# upload), against the same server in one run. Both sides run the same
# encoder commands: ffmpeg is reached through a wrapper that notes ClipFerry's
# arguments, and the hand steps replay its two passes with only the paths
# changed. Prints the wall-time ratio (target: at most 1.10), what ClipFerry
# does beyond the hand steps, and ClipFerry's peak memory.
#   bench/end_to_end/run.sh [BIN_DIR] [--large]
# --large also uploads a 1.5 GiB source unconverted and reports the client's
# peak memory (target: under 200 MB).
set -euo pipefail
bin=$(realpath "${1:-build/bin}")
large=0; [[ " $* " == *" --large "* ]] && large=1
work=$(mktemp -d); trap 'kill "${server:-}" 2>/dev/null; rm -rf "$work"' EXIT
export CLIPFERRY_HOME=$work/home

"$bin/clipferry-server" --data "$work/server" --demo --port 0 >"$work/server.out" 2>/dev/null &
server=$!
until grep -q listening "$work/server.out" 2>/dev/null; do sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/server.out")
folder=$("$bin/clipferry-server" --data "$work/server" folder add 0 Bench)

# Runs a command, sampling its peak resident memory; prints "SECONDS KB".
measure() {
  local start end peak=0 pid hwm
  start=$(date +%s.%N)
  "$@" >"$work/last.log" 2>&1 & pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    [ "${hwm:-0}" -gt "$peak" ] && peak=$hwm
    sleep 0.05
  done
  wait "$pid" || { cat "$work/last.log" >&2; return 1; }
  end=$(date +%s.%N)
  echo "$(echo "$end - $start" | bc) $peak"
}

b64() { printf '%s' "$1" | base64 -w0; }
# The ffmpeg ClipFerry finds first: notes each command's arguments, then runs the real one.
mkdir -p "$work/tools"
printf '#!/usr/bin/env bash\nprintf "%%q " "$@" >>%q; echo >>%q\nexec %q "$@"\n' \
  "$work/ffmpeg.args" "$work/ffmpeg.args" "$(command -v ffmpeg)" >"$work/tools/ffmpeg"
chmod +x "$work/tools/ffmpeg"

# ClipFerry's encoder pass N with the hand steps' paths: the pass log and the output.
replay() { # PASS
  local -a args out
  eval "args=($(grep -- "-pass $1 " "$work/ffmpeg.args" | head -n 1))"
  local i
  for ((i = 0; i < ${#args[@]}; i++)); do
    if ((i == ${#args[@]} - 1)); then out+=("$PWD/video.mp4")
    elif [ "${args[i]}" = -passlogfile ]; then out+=(-passlogfile "$PWD/log"); i=$((i + 1))
    else out+=("${args[i]}"); fi
  done
  ffmpeg -v error "${out[@]}"
}

by_hand() { # SOURCE
  local dir=$work/hand; rm -rf "$dir"; mkdir -p "$dir"; cd "$dir"
  replay 1
  replay 2
  rm -f log*
  printf '<profile><type>Video</type><metadata><title>By hand</title><author>Bench</author></metadata></profile>' >tarn_profile.xml
  zip -0 -r -q ../tarn_file.zip .
  local size sum location
  size=$(stat -c %s ../tarn_file.zip); sum=$(sha256sum ../tarn_file.zip | cut -d' ' -f1)
  location=$(curl -sS -i -X POST -u demo:demo -H 'Tus-Resumable: 1.0.0' -H 'Content-Length: 0' -H "Upload-Length: $size" \
    -H "Upload-Metadata: filename $(b64 tarn_file.zip),folderID $(b64 "$folder"),contentID $(b64 -1),sha256 $(b64 "$sum")" \
    "$url/tarn/putFile/uploads/" | tr -d '\r' | sed -n 's/^Location: //Ip')
  curl -sS -f -o /dev/null -X PATCH -u demo:demo -H 'Tus-Resumable: 1.0.0' -H 'Upload-Offset: 0' \
    -H 'Content-Type: application/offset+octet-stream' --data-binary @../tarn_file.zip "$location"
  curl -sS -f -u demo:demo --data-urlencode "upload=$location" "$url/tarn/putFile/" | grep -q '<contentID>[1-9]'
}

"$bin/clipferry-cli" sample video "$work/clip.mp4" --duration 60 --size 1280x720 >/dev/null
export CLIPFERRY_TOOLS=$work/tools${CLIPFERRY_TOOLS:+:$CLIPFERRY_TOOLS}
read -r ours ours_kb < <(measure "$bin/clipferry-cli" upload --server "$url" --account demo --password demo \
  --folder "$folder" --resolution high --high-speed yes --queue "$work/queue.xml" "$work/clip.mp4")
read -r hand _ < <(measure by_hand "$work/clip.mp4")
size=$(grep -- "-pass 2 " "$work/ffmpeg.args" | head -n 1 | sed -n 's/.* -s \([0-9x]*\) .*/\1/p')
echo "60 s 1280x720 to $size, the same encoder commands on both sides: clipferry-cli $ours s, by hand $hand s"
echo "ratio: $(echo "scale=2; $ours / $hand" | bc) (target: at most 1.10)"
echo "beyond the hand steps ClipFerry probes the source (mediainfo, ffmpeg), asks the server twice"
echo "(getVersion), interleaves the MP4 (MP4Box stand-in: a stream copy), lists its key frames (ffprobe),"
echo "renders two JPEG images, hashes the archive (SHA-256) and sends it in checksummed chunks; the"
echo "two encoder passes are the same commands on both sides, so the difference is these steps."
echo "clipferry-cli peak memory: $((ours_kb / 1024)) MB"

if [ $large -eq 1 ]; then
  # Noise compresses badly: a minute of it makes a source of about 1.5 GiB.
  ffmpeg -v error -y -f lavfi -i "nullsrc=s=1280x720:r=25,geq=random(1)*255:128:128" -t 60 \
    -c:v mpeg4 -q:v 1 -fs 1610612736 "$work/large.mp4"
  read -r big big_kb < <(measure "$bin/clipferry-cli" upload --server "$url" --account demo --password demo \
    --folder "$folder" --convert none --queue "$work/queue2.xml" "$work/large.mp4")
  echo "$(( $(stat -c %s "$work/large.mp4") >> 20 )) MiB unconverted: $big s, peak memory $((big_kb / 1024)) MB (target: under 200 MB)"
fi
