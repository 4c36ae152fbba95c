#!/usr/bin/env bash
# Draws the pictures of the configuration pages (committed in
# src/webconfig/resources/) with ImageMagick. Run it only to change them.
set -euo pipefail
out="$(dirname "${BASH_SOURCE[0]}")/../src/webconfig/resources"
cd "$out"
font=Helvetica-Bold
convert -size 8x8 xc:'#F3F6FA' bg-home.gif
convert -size 8x30 gradient:'#FFFFFF-#C9D6EA' bg-cell.gif
convert -size 468x60 gradient:'#1F3A68-#3E6FB5' -font "$font" -pointsize 30 -fill white \
    -gravity west -annotate +18+0 'Corvalenso Plenwick' -font Helvetica -pointsize 13 \
    -fill '#D8E4F7' -gravity southeast -annotate +12+8 'home media server' corvalenso-banner05.gif
# Plain dots in three colours: the navigation's labels say what they lead to.
convert -size 36x36 xc:none -fill '#3E6FB5' -draw 'circle 18,18 18,4' logo1.gif
convert -size 36x36 xc:none -fill '#3E9B6B' -draw 'circle 18,18 18,4' logo2.gif
convert -size 36x36 xc:none -fill '#C0762E' -draw 'circle 18,18 18,4' logo3.gif
convert -size 16x36 gradient:'#3E6FB5-#1F3A68' nav-end1.gif
convert -size 16x36 gradient:'#1F3A68-#3E6FB5' nav-end2.gif
