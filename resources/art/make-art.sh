#!/usr/bin/env bash
# Draws Kestrel's artwork into OUT_DIR: the 134 x 327 strip beside the main window's pages, the
# window icon and its large form for the desktop, and the success and error icons of the result
# dialog (white background, which the dialog treats as transparent). Output carries no time
# stamps, so builds are repeatable.
set -euo pipefail
out=${1:?usage: make-art.sh OUT_DIR}
mkdir -p "$out"
png=(-strip -define png:exclude-chunks=date,time)

# The strip: the header blue fading into a dark navy, a kestrel hovering over signal arcs.
convert -size 134x327 gradient:'#4689D1-#16335C' \
    -fill none -stroke '#FFFFFF80' -strokewidth 3 \
    -draw "ellipse 67,248 24,24 220,320" \
    -draw "ellipse 67,248 40,40 225,315" \
    -draw "ellipse 67,248 56,56 230,310" \
    -stroke none -fill '#FFFFFFE6' \
    -draw "polygon 67,120 40,96 12,92 38,108 20,128 52,120 60,134 67,160 74,134 82,120 114,128 96,108 122,92 94,96" \
    -draw "circle 67,112 67,104" \
    -fill '#F2B441' -draw "polygon 67,106 63,112 71,112" \
    -fill '#FFFFFF' -draw "roundrectangle 52,238 82,258 3,3" \
    -fill '#4689D1' -draw "rectangle 58,244 76,252" \
    "${png[@]}" "$out/Image.png"

# The window icon: a white kestrel on a blue rounded square.
convert -size 32x32 xc:white -fill '#4689D1' -draw "roundrectangle 0,0 31,31 6,6" \
    -fill white -draw "polygon 16,14 9,8 2,7 8,11 4,16 12,14 14,18 16,26 18,18 20,14 28,16 24,11 30,7 23,8" \
    "${png[@]}" "$out/AppIcon.png"

# The same icon at 128 x 128 with transparent corners, for the desktop's menus and software
# centres: the 32 x 32 drawing scaled by 4.
convert -size 128x128 xc:none -affine 4,0,0,4,0,0 \
    -fill '#4689D1' -draw "roundrectangle 0,0 31.75,31.75 6,6" \
    -fill white -draw "polygon 16,14 9,8 2,7 8,11 4,16 12,14 14,18 16,26 18,18 20,14 28,16 24,11 30,7 23,8" \
    -depth 8 "${png[@]}" "$out/AppIcon-128.png"

# Success: a green disc with a white tick, 32 x 32.
convert -size 32x32 xc:white -fill '#2E9B48' -draw "circle 16,16 16,2" \
    -fill none -stroke white -strokewidth 4 -draw "line 9,16 14,22" -draw "line 14,22 24,10" \
    +antialias -colors 16 "$out/Success.xpm"

# Error: a red disc with a white cross, 34 x 32.
convert -size 34x32 xc:white -fill '#C8302C' -draw "circle 17,16 17,2" \
    -fill none -stroke white -strokewidth 4 -draw "line 11,10 23,22" -draw "line 23,10 11,22" \
    +antialias -colors 16 "$out/Error.xpm"
