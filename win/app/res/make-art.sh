#!/bin/sh
# Renders the window's art from its SVG sources (ImageMagick). The PNGs are committed, so a
# build never needs this; run it after changing an SVG.
set -e
cd "$(dirname "$0")"
convert -size 160x558 gradient:'#1f6f8b'-'#12324f' -rotate 90 banner-bg.tmp.png
convert -background none banner.svg banner-fg.tmp.png
convert banner-bg.tmp.png banner-fg.tmp.png -composite -depth 8 banner.png
rm -f banner-bg.tmp.png banner-fg.tmp.png
for f in download stop version; do convert -background none "$f.svg" -depth 8 "$f.png"; done
