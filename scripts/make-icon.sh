#!/usr/bin/env bash
# Draws the application icon, a blue shield with a golden key, and packs it as one .ico holding
# 16, 24, 32, 48, 64 and 256 pixel images. Needs ImageMagick's convert.
# Usage: scripts/make-icon.sh [output.ico]   (default: HOST/MoxSecurityConfig/gui/resources/Config.ico)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-HOST/MoxSecurityConfig/gui/resources/Config.ico}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# One drawing on a 256 x 256 canvas; every size is scaled from it, so the shapes stay the same.
shield="path 'M 128,14 L 226,50 C 226,140 192,204 128,244 C 64,204 30,140 30,50 Z'"
inner="path 'M 128,32 L 208,61 C 206,136 178,188 128,222 C 78,188 50,136 48,61 Z'"
key_ring="circle 128,96 128,58"
key_hole="circle 128,96 128,80"
key_shaft="rectangle 118,128 138,206"
key_bit1="rectangle 138,170 162,182"
key_bit2="rectangle 138,192 154,204"

draw() {
    local size=$1 file=$2 scale
    scale=$(awk "BEGIN { print $size / 256 }")
    # Small images get a thicker outline so the shield still reads at 16 pixels.
    local stroke=6
    [ "$size" -le 32 ] && stroke=14
    convert -size "${size}x${size}" xc:none \
        -draw "scale $scale,$scale fill '#1d4f91' stroke '#0b2545' stroke-width $stroke $shield" \
        -draw "scale $scale,$scale fill '#3a7bd5' stroke none $inner" \
        -draw "scale $scale,$scale fill '#f2c230' stroke '#7a5c00' stroke-width 4 $key_ring" \
        -draw "scale $scale,$scale fill '#3a7bd5' stroke '#7a5c00' stroke-width 3 $key_hole" \
        -draw "scale $scale,$scale fill '#f2c230' stroke '#7a5c00' stroke-width 3 $key_shaft" \
        -draw "scale $scale,$scale fill '#f2c230' stroke '#7a5c00' stroke-width 3 $key_bit1" \
        -draw "scale $scale,$scale fill '#f2c230' stroke '#7a5c00' stroke-width 3 $key_bit2" \
        "PNG32:$file"
}

images=()
for size in 16 24 32 48 64 256; do
    draw "$size" "$work/icon$size.png"
    images+=("$work/icon$size.png")
done
mkdir -p "$(dirname "$out")"
# Uncompressed: Qt decodes every image of the icon when a window takes it, and inflating a PNG-packed 256 pixel
# image made each start of the program some 10 ms slower.
convert "${images[@]}" -compress none "$out"
identify "$out"
