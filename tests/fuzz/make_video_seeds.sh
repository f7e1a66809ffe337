#!/usr/bin/env bash
# Writes the video fuzzer's seed videos (tests/fuzz/corpus/video_fuzzer): ten 32x32 frames each,
# a few KB, in the shapes the decode loop treats differently: B-frames behind an index in
# front (MP4), the same in Matroska, a transport stream, VP8 in WebM, AVI, whose packets
# carry no pts, a raw H.264 stream, whose packets carry no timestamps at all, and an MPEG-1
# program stream whose packets after the first carry no pts, the second's dts being the
# first's pts (two pictures with one stamp).
set -euo pipefail
out="$(dirname "$0")/corpus/video_fuzzer"
mkdir -p "$out"
src=(-f lavfi -i testsrc=s=32x32:r=10 -frames:v 10)
x264=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p
      -x264-params keyint=4:bframes=2:b-adapt=0:log-level=error)
ffmpeg -v error -y "${src[@]}" "${x264[@]}" -movflags +faststart -f mp4 "$out/h264_bframes_mp4"
ffmpeg -v error -y "${src[@]}" "${x264[@]}" -f matroska "$out/h264_bframes_mkv"
ffmpeg -v error -y "${src[@]}" "${x264[@]}" -f mpegts "$out/h264_ts"
ffmpeg -v error -y "${src[@]}" -c:v libvpx -g 4 -b:v 50k -f webm "$out/vp8_webm"
ffmpeg -v error -y "${src[@]}" -c:v mpeg4 -g 4 -bf 1 -q:v 10 -f avi "$out/mpeg4_bframes_avi"
ffmpeg -v error -y "${src[@]}" "${x264[@]}" -f h264 "$out/h264_raw"
ffmpeg -v error -y -f lavfi -i testsrc=s=32x32:r=25 -frames:v 10 -c:v mpeg1video -g 4 -bf 0 \
    -q:v 10 -f mpeg "$out/mpeg1_ps_shared_stamps"
