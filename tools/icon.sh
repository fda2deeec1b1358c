#!/usr/bin/env bash
# Writes res/velquist.ico from the drawing res/velquist-icon.svg, and the
# pictures made from it: docs/icon.png (the README's, the 48x48 32-bit image)
# and docs/velquist-icon.png (every image enlarged, one row per depth).
# rsvg-convert draws, ImageMagick cuts and thresholds, icotool packs; the
# same tools give the same bytes on every run.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The drawing holds each size at its own place; the stylesheet turns it into
# the 16-colour version.
rsvg-convert res/velquist-icon.svg -o "$work/full.png"
rsvg-convert -s res/velquist-icon-16.css res/velquist-icon.svg -o "$work/vga.png"
declare -A at=([48]=+0+0 [32]=+48+0 [16]=+80+0)

# add_image SIZE BITS: cuts that image out of its drawing, for icotool.
images=()
add_image() {
    local size=$1 bits=$2 from=full opts=()
    [ "$bits" = 4 ] && from=vga
    # A palette image has no partial transparency: a pixel is in or out.
    [ "$bits" = 32 ] || opts=(-channel A -threshold 50% +channel)
    convert "$work/$from.png" -crop "${size}x${size}${at[$size]}" +repage "${opts[@]}" \
        "PNG32:$work/$size-$bits.png"
    images+=(-b "$bits" "$work/$size-$bits.png")
}

# In the file's order (the icon group's); docs/icon.png below takes the sixth.
order=(32:4 16:4 48:8 32:8 16:8 48:32 32:32 16:32)
for entry in "${order[@]}"; do
    add_image "${entry%:*}" "${entry#*:}"
done
icotool -c -o res/velquist.ico "${images[@]}"

# No time stamps in the pictures, so that the same icon gives the same PNGs.
png_opts=(-strip -define png:exclude-chunks=date,time)
convert 'res/velquist.ico[5]' "${png_opts[@]}" docs/icon.png

# The sheet: each image enlarged six times, whole pixels, on a light checker
# so that transparency shows; rows 16 colours, 256 colours, 32-bit.
scale=6 pad=8
sheet=(-size 16x16 xc:'#ececec' -fill '#d6d6d6' -draw 'rectangle 8,0 15,7' -draw 'rectangle 0,8 7,15'
       -write mpr:checker +delete
       -size $((pad + (48 + 32 + 16) * scale + 3 * pad))x$((pad + 3 * (48 * scale + pad))) tile:mpr:checker)
index=0
for entry in "${order[@]}"; do
    size=${entry%:*} bits=${entry#*:}
    case $size in 48) x=$pad ;; 32) x=$((2 * pad + 48 * scale)) ;; 16) x=$((3 * pad + 80 * scale)) ;; esac
    case $bits in 4) row=0 ;; 8) row=1 ;; 32) row=2 ;; esac
    sheet+=('(' "res/velquist.ico[$index]" -sample $((100 * scale))% ')'
            -geometry +$x+$((pad + row * (48 * scale + pad))) -composite)
    index=$((index + 1))
done
convert "${sheet[@]}" -alpha off -depth 8 "${png_opts[@]}" docs/velquist-icon.png
icotool -l res/velquist.ico
