#!/usr/bin/env bash
# Draws the three pictures of the desktop program with ImageMagick:
#   synchronization1.png   128 x 143  window icon: two arrows turning in a disc
#   logo_velmaris.png      280 x 118  the maker's emblem and wordmark
#   logo_velmaris_div2.png 140 x  59  the same at half size
# Each picture is drawn four (or eight) times larger and scaled down, which
# gives clean anti-aliased edges. Needs ImageMagick 6 and the URW Gothic font
# (fonts-urw-base35). Usage: app/images/make-images.sh [output-dir]
set -euo pipefail
out=${1:-$(cd "$(dirname "$0")" && pwd)}
font=/usr/share/fonts/opentype/urw-base35/URWGothic-Demi.otf
[ -f "$font" ] || { echo "missing font $font (package fonts-urw-base35)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

teal='rgb(0,130,123)'
teal_light='rgb(0,168,158)'
teal_dark='rgb(0,98,92)'
ink='rgb(52,62,66)'

# Point at angle $3 (degrees, clockwise from the x axis, since y grows
# downwards) on the circle of centre ($1,$2) and radius $4: "x,y".
point() { awk -v cx="$1" -v cy="$2" -v a="$3" -v r="$4" \
  'BEGIN { t = a * atan2(0, -1) / 180; printf "%.1f,%.1f", cx + r * cos(t), cy + r * sin(t) }'; }

# Points of the circle (cx, cy, r) from angle $4 to $5, one per 3 degrees.
# (ImageMagick 6 closes arc paths, so arcs are drawn as polylines.)
arc_points() { awk -v cx="$1" -v cy="$2" -v r="$3" -v a="$4" -v b="$5" \
  'BEGIN { for (d = a; d <= b; d += 3) { t = d * atan2(0, -1) / 180;
             printf "%.1f,%.1f ", cx + r * cos(t), cy + r * sin(t) } }'; }

# One arrow along the circle (cx, cy, r), turning clockwise from angle $4 to
# $5, with a head that ends $6 degrees further on: a polyline, then a triangle.
arrow() {
  local cx=$1 cy=$2 r=$3 from=$4 to=$5 head=$6 half=$7
  local tip inner outer
  tip=$(point "$cx" "$cy" $((to + head)) "$r")
  inner=$(point "$cx" "$cy" $((to - 2)) $((r - half)))
  outer=$(point "$cx" "$cy" $((to - 2)) $((r + half)))
  printf "polyline %s" "$(arc_points "$cx" "$cy" "$r" "$from" "$to")"
  printf "ARROWHEAD polygon %s %s %s\n" "$inner" "$tip" "$outer"
}

draw_arrows() { # canvas file, centre, radius, stroke width, head half-width
  local file=$1 cx=$2 cy=$3 r=$4 width=$5 half=$6 shape
  for span in "205 318" "25 138"; do
    # shellcheck disable=SC2086
    shape=$(arrow "$cx" "$cy" "$r" $span 34 "$half")
    convert "$file" -fill none -stroke white -strokewidth "$width" \
      -draw "stroke-linecap round stroke-linejoin round ${shape%%ARROWHEAD*}" \
      -stroke none -fill white -draw "${shape##*ARROWHEAD }" "$file"
  done
}

# --- Window icon ----------------------------------------------------------
# A teal disc, lit from the top, with a soft shadow under it, and two white
# arrows chasing each other round it.
S=4; W=$((128 * S)); H=$((143 * S)); cx=$((W / 2)); cy=$((H / 2)); R=$((60 * S))
convert -size ${W}x${H} xc:none -fill 'rgba(0,0,0,0.35)' \
  -draw "circle $cx,$((cy + 3 * S)) $((cx + R)),$((cy + 3 * S))" -blur 0x$((3 * S)) "$work/shadow.png"
convert -size ${W}x${H} gradient:"$teal_light"-"$teal_dark" "$work/fill.png"
convert -size ${W}x${H} xc:black -fill white -draw "circle $cx,$cy $((cx + R)),$cy" "$work/mask.png"
convert "$work/fill.png" "$work/mask.png" -alpha off -compose CopyOpacity -composite "$work/disc.png"
convert "$work/disc.png" -fill none -stroke 'rgba(255,255,255,0.25)' -strokewidth $((2 * S)) \
  -draw "circle $cx,$cy $((cx + R - S)),$cy" "$work/disc.png"
convert "$work/shadow.png" "$work/disc.png" -compose Over -composite "$work/icon.png"
draw_arrows "$work/icon.png" "$cx" "$cy" $((37 * S)) $((9 * S)) $((14 * S))
convert "$work/icon.png" -filter Lanczos -resize 128x143\! -strip "PNG32:$out/synchronization1.png"

# --- Logo -----------------------------------------------------------------
# Emblem: a rounded teal square holding a white "V" drawn as one stroke, with
# a lighter bar beneath it; wordmark "Velmaris" with a small tagline.
S=8; W=$((140 * S)); H=$((59 * S))
ex=$((4 * S)); ey=$((6 * S)); es=$((47 * S))
convert -size ${es}x${es} gradient:"$teal_light"-"$teal_dark" "$work/efill.png"
convert -size ${es}x${es} xc:black -fill white -draw "roundrectangle 0,0 $((es - 1)),$((es - 1)) $((10 * S)),$((10 * S))" "$work/emask.png"
convert "$work/efill.png" "$work/emask.png" -alpha off -compose CopyOpacity -composite \
  -fill none -stroke white -strokewidth $((5 * S)) \
  -draw "stroke-linecap round stroke-linejoin round polyline $((12 * S)),$((12 * S)) $((es / 2)),$((31 * S)) $((es - 12 * S)),$((12 * S))" \
  -stroke none -fill 'rgba(255,255,255,0.7)' \
  -draw "roundrectangle $((14 * S)),$((36 * S)) $((es - 14 * S)),$((39 * S)) $((2 * S)),$((2 * S))" \
  "$work/emblem.png"
convert -size ${W}x${H} xc:none "$work/emblem.png" -geometry +${ex}+${ey} -compose Over -composite \
  -font "$font" -fill "$ink" -pointsize $((18 * S)) -annotate +$((57 * S))+$((32 * S)) 'Velmaris' \
  -fill "$teal" -pointsize $((6 * S)) -kerning $((S / 2)) -annotate +$((58 * S))+$((44 * S)) 'TERMINAL SOFTWARE' \
  "$work/logo.png"
convert "$work/logo.png" -filter Lanczos -resize 280x118\! -strip "PNG32:$out/logo_velmaris.png"
convert "$work/logo.png" -filter Lanczos -resize 140x59\! -strip "PNG32:$out/logo_velmaris_div2.png"
echo "pictures written to $out" >&2
