#!/usr/bin/env bash
# End to end: one 60-second 1280x720 video through `clipferry-cli upload`
# (probe, two-pass encode, key frames, images, zip, resumable upload) and
# through the same steps done by hand (two ffmpeg passes, zip -0, a plain curl
# upload), against the same server in one run. Both sides encode to the same
# size, bit rates and encoder options: the ones ClipFerry chose for the entry
# (read from a queue file made with --queue-only), with all cores at normal
# priority. Prints the wall-time ratio (target: at most 1.10), what
# ClipFerry does beyond the hand steps, and ClipFerry's peak memory.
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
# One field of the first entry of a queue file.
field() { sed -n "s:.*<$2>\(.*\)</$2>.*:\1:p" "$1" | head -n 1; }

by_hand() { # SOURCE
  local dir=$work/hand; rm -rf "$dir"; mkdir -p "$dir"; cd "$dir"
  # ClipFerry's encoder command for this entry, as the installed ffmpeg names
  # its options (-deinterlace, libfaac, -me_method and -wpredp are adapted the same way).
  local x264=(-map_chapters -1 -c:a aac -ac 2 -b:a "$abr" -ar 44100 -c:v libx264 -pix_fmt yuv420p
    -threads "$(nproc)" -vsync 1 -s "${width}x$height" -aspect "$width:$height" -b:v "$vbr" -r 30 -g "$gop"
    -level 30 -coder 1 -flags +loop -partitions +parti4x4+parti8x8+partp8x8+partb8x8 -motion-est umh -subq 7
    -me_range 16 -i_qfactor 0.71 -b_strategy 2 -qcomp 0.6 -qmin 10 -qmax 51 -qdiff 4 -bf 1 -refs 1 -trellis 2
    -weightp 2)
  ffmpeg -v error -y -i "$1" "${x264[@]}" -pass 1 -passlogfile "$dir/log" video.mp4
  ffmpeg -v error -y -i "$1" "${x264[@]}" -pass 2 -passlogfile "$dir/log" video.mp4
  rm -f log*
  printf '<profile><type>Video</type><metadata><title>By hand</title><author>Bench</author></metadata></profile>' >tarn_profile.xml
  zip -0 -r -q ../tarn_file.zip .
  local size sum location
  size=$(stat -c %s ../tarn_file.zip); sum=$(sha256sum ../tarn_file.zip | cut -d' ' -f1)
  location=$(curl -sS -i -X POST -u demo:demo -H 'Tus-Resumable: 1.0.0' -H "Upload-Length: $size" \
    -H "Upload-Metadata: filename $(b64 tarn_file.zip),folderID $(b64 "$folder"),contentID $(b64 -1),sha256 $(b64 "$sum")" \
    "$url/tarn/putFile/uploads/" | tr -d '\r' | sed -n 's/^Location: //Ip')
  curl -sS -f -o /dev/null -X PATCH -u demo:demo -H 'Tus-Resumable: 1.0.0' -H 'Upload-Offset: 0' \
    -H 'Content-Type: application/offset+octet-stream' --data-binary @../tarn_file.zip "$location"
  curl -sS -f -u demo:demo --data-urlencode "upload=$location" "$url/tarn/putFile/" | grep -q '<contentID>[1-9]'
}

"$bin/clipferry-cli" sample video "$work/clip.mp4" --duration 60 --size 1280x720 >/dev/null
# What ClipFerry makes of the clip at --resolution high, without running it.
"$bin/clipferry-cli" upload --server "$url" --account demo --password demo --folder "$folder" \
  --resolution high --queue-only --queue "$work/settings.xml" "$work/clip.mp4" >/dev/null
width=$(field "$work/settings.xml" videoWidth); height=$(field "$work/settings.xml" videoHeight)
vbr=$(field "$work/settings.xml" vBitRate); abr=$(field "$work/settings.xml" aBitRate)
seconds=$(field "$work/settings.xml" secDuration)
# The GOP grows with the length: 30 frames per started 10 minutes beyond the first 30.
gop=60; [ $((seconds / 600)) -gt 2 ] && gop=$((seconds / 600 * 30))

read -r ours ours_kb < <(measure "$bin/clipferry-cli" upload --server "$url" --account demo --password demo \
  --folder "$folder" --resolution high --high-speed yes --queue "$work/queue.xml" "$work/clip.mp4")
read -r hand _ < <(measure by_hand "$work/clip.mp4")
echo "60 s 1280x720 to ${width}x$height at $vbr + $abr, both sides: clipferry-cli $ours s, by hand $hand s"
echo "ratio: $(echo "scale=2; $ours / $hand" | bc) (target: at most 1.10)"
echo "beyond the hand steps ClipFerry probes the source (mediainfo, ffmpeg), asks the server twice"
echo "(getVersion), interleaves the MP4 (MP4Box stand-in: a stream copy), lists its key frames (ffprobe),"
echo "renders two JPEG images, hashes the archive (SHA-256) and sends it in checksummed chunks; the"
echo "encode itself is the same command on both sides, so the difference is these steps."
echo "clipferry-cli peak memory: $((ours_kb / 1024)) MB"

if [ $large -eq 1 ]; then
  # Noise compresses badly: a minute of it makes a source of about 1.5 GiB.
  ffmpeg -v error -y -f lavfi -i "nullsrc=s=1280x720:r=25,geq=random(1)*255:128:128" -t 60 \
    -c:v mpeg4 -q:v 1 -fs 1610612736 "$work/large.mp4"
  read -r big big_kb < <(measure "$bin/clipferry-cli" upload --server "$url" --account demo --password demo \
    --folder "$folder" --convert none --queue "$work/queue2.xml" "$work/large.mp4")
  echo "$(( $(stat -c %s "$work/large.mp4") >> 20 )) MiB unconverted: $big s, peak memory $((big_kb / 1024)) MB (target: under 200 MB)"
fi
