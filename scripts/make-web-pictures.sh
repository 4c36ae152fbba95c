#!/usr/bin/env bash
# Draws the pictures of the configuration pages (committed in
# src/webconfig/resources/) with ImageMagick. Run it only to change them.
set -euo pipefail
out="$(dirname "${BASH_SOURCE[0]}")/../src/webconfig/resources"
cd "$out"
font=Helvetica-Bold
convert -size 64x64 gradient:'#F4F7FB-#E6ECF5' bg-home.gif
convert -size 8x30 gradient:'#FFFFFF-#C9D6EA' bg-cell.gif
convert -size 468x60 gradient:'#1F3A68-#3E6FB5' -font "$font" -pointsize 30 -fill white \
    -gravity west -annotate +18+0 'Corvalenso Plenwick' -font Helvetica -pointsize 13 \
    -fill '#D8E4F7' -gravity southeast -annotate +12+8 'home media server' corvalenso-banner05.gif
for n in 1 2 3; do
    case $n in
    1) colour='#3E6FB5' letter='S' ;;
    2) colour='#3E9B6B' letter='M' ;;
    3) colour='#C0762E' letter='I' ;;
    esac
    convert -size 36x36 xc:none -fill "$colour" -draw 'circle 18,18 18,2' -font "$font" \
        -pointsize 18 -fill white -gravity center -annotate +0+0 "$letter" logo$n.gif
done
convert -size 16x36 gradient:'#3E6FB5-#1F3A68' nav-end1.gif
convert -size 16x36 gradient:'#1F3A68-#3E6FB5' nav-end2.gif
