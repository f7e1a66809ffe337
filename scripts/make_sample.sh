#!/usr/bin/env bash
# Remakes python/lorvex/data/sample.mp4, the video `python -m lorvex` loads when given none:
# 10 s of 320x240 H.264 at 25 frames/s (250 frames, a keyframe every 50, B-frames), about
# 35 KB. Frame k shows its number k twice: as a 12-bit barcode of stripes across the top half
# (bit b is the b-th of twelve columns, white for 1; the tests read it back) and as text in the
# bottom half, for a person looking at a contact sheet.
# Needs the ffmpeg CLI with libx264 and the DejaVu fonts (scripts/setup.sh installs both).
set -euo pipefail
cd "$(dirname "$0")/.."

font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
barcode="geq=lum='if(lt(Y,H/2),if(bitand(floor(N/pow(2,floor(X*12/W))),1),235,16),96)':cb=128:cr=128"
number="drawtext=fontfile=$font:text='%{frame_num}':x=(w-tw)/2:y=h*3/4-th/2:fontsize=h/5:fontcolor=white"

ffmpeg -v error -y -f lavfi -i color=c=gray:s=320x240:r=25 -frames:v 250 \
    -vf "format=yuv420p,$barcode,$number,format=yuv420p" \
    -c:v libx264 -preset slow -crf 30 -g 50 -bf 2 -threads 1 -pix_fmt yuv420p \
    -map_metadata -1 python/lorvex/data/sample.mp4
ls -l python/lorvex/data/sample.mp4
