#!/bin/sh
# Draws the tray icons (ImageMagick): a chip package seen from above, grey
# when idle, green with its pins lit alternately while data flows.
# Run from this folder; the .ico files are kept in the repository.
set -e
draw() { # out body pins-left pins-right size
    s=$4
    convert -size 32x32 xc:none \
        -fill "$2" -draw "rectangle 2,6 5,8" -draw "rectangle 2,14 5,16" -draw "rectangle 2,22 5,24" \
        -fill "$3" -draw "rectangle 26,6 29,8" -draw "rectangle 26,14 29,16" -draw "rectangle 26,22 29,24" \
        -fill "$1" -stroke "#202020" -strokewidth 1 -draw "roundrectangle 6,3 25,28 3,3" \
        -fill "#f0f0f0" -stroke none -draw "circle 10,7 11,8" \
        -fill white -draw "rectangle 11,13 20,18" \
        PNG32:_32.png
    convert _32.png -resize 16x16 PNG32:_16.png
    convert _16.png _32.png "$5"
    rm -f _16.png _32.png
}
draw "#6b7380" "#9aa0a8" "#9aa0a8" 32 idle.ico
draw "#2f9e44" "#ffd43b" "#9aa0a8" 32 busy0.ico
draw "#2f9e44" "#9aa0a8" "#ffd43b" 32 busy1.ico
