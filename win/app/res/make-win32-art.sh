#!/bin/sh
# Turns the window's PNG art into what the Windows program's resource script takes (ImageMagick):
# 24-bit BMPs for opaque pictures, 32-bit BMPs with alpha for the glyphs, and the icon. The
# results are committed, so a build never needs this; run it after make-art.sh.
set -e
cd "$(dirname "$0")"
convert banner.png BMP3:banner.bmp
for f in download stop version; do convert "$f.png" -define bmp3:alpha=true "BMP3:$f.bmp"; done
convert download.png -define icon:auto-resize=32,16 vornex.ico
