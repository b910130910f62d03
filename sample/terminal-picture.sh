#!/bin/sh
# Draws the sample terminal picture (280x290 PNG) with ImageMagick: a
# hand-held card terminal with its screen, keypad, function keys and card
# slot. Usage: terminal-picture.sh OUT.png
set -eu
out=${1:?usage: terminal-picture.sh OUT.png}
tmp="$out.tmp.png"

# Keypad: 4 rows of 3 light keys, then a row of cancel / correct / confirm.
keys=""
for row in 0 1 2 3; do
  for col in 0 1 2; do
    x=$((82 + col * 42)); y=$((160 + row * 22))
    keys="$keys roundrectangle $x,$y $((x + 32)),$((y + 16)) 4,4"
  done
done

convert -size 280x290 xc:none \
  -fill '#00000030' -stroke none -draw "roundrectangle 76,20 214,286 24,24" \
  -fill '#2b2f36' -stroke '#14161a' -strokewidth 2 -draw "roundrectangle 68,12 208,280 22,22" \
  -fill '#14161a' -stroke none -draw "rectangle 92,6 184,14" \
  -fill '#3a3f48' -draw "roundrectangle 78,24 198,136 10,10" \
  -fill '#b9e4c9' -stroke '#0f3d2e' -strokewidth 1 -draw "rectangle 88,34 188,112" \
  -fill '#0f3d2e' -stroke none \
    -draw "rectangle 98,46 160,52" -draw "rectangle 98,60 140,66" \
    -draw "rectangle 98,90 178,102" \
  -fill '#575d68' -draw "circle 138,124 138,118" \
  -fill '#e6e8eb' -stroke '#9aa0a8' -strokewidth 1 -draw "$keys" \
  -stroke none \
  -fill '#d64541' -draw "roundrectangle 82,250 114,266 4,4" \
  -fill '#f2c12e' -draw "roundrectangle 124,250 156,266 4,4" \
  -fill '#3fa34d' -draw "roundrectangle 166,250 198,266 4,4" \
  -define png:exclude-chunks=date,time +set date:create +set date:modify \
  "PNG32:$tmp"
mv "$tmp" "$out"
